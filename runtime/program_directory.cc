// The running program's folder from /proc/self/exe, and the folders of an
// installed tree found from it.
#include "runtime/program_directory.h"

#include <unistd.h>

#include <filesystem>
#include <string_view>
#include <system_error>

namespace norvane {
namespace {

constexpr const char* kSystemMachineStore = "/etc/norvane";

bool ends_with(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool directory_exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

}  // namespace

std::string program_directory() {
  // readlink does not say whether it truncated, so grow the buffer until the
  // link fits with room to spare.
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return std::string();
    if (static_cast<size_t>(length) < path.size()) {
      path.resize(static_cast<size_t>(length));
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  path.resize(slash + 1);
  return path;
}

std::optional<std::string> install_prefix(const std::string& program_folder) {
  for (const std::string_view tail : {std::string_view("/bin/"), std::string_view("/sbin/")}) {
    if (ends_with(program_folder, tail)) {
      return program_folder.substr(0, program_folder.size() - tail.size() + 1);
    }
  }
  return std::nullopt;
}

std::string prefix_folder(const std::string& prefix, const std::string& name) {
  if (prefix == "/" || prefix == "/usr/") return "/" + name + "/";
  return prefix + name + "/";
}

std::string default_data_directory(const std::string& program_folder,
                                   bool (*exists)(const std::string&)) {
  const std::optional<std::string> prefix = install_prefix(program_folder);
  if (prefix) {
    const std::string state = prefix_folder(*prefix, "var") + "lib/norvane/";
    if (exists(state)) return state;
  }
  return program_folder;
}

std::string default_data_directory() {
  return default_data_directory(program_directory(), directory_exists);
}

std::string default_machine_store(const std::string& program_folder,
                                  bool (*exists)(const std::string&)) {
  const std::optional<std::string> prefix = install_prefix(program_folder);
  if (prefix) {
    const std::string store = prefix_folder(*prefix, "etc") + "norvane";
    if (store != kSystemMachineStore && exists(store)) return store;
  }
  return kSystemMachineStore;
}

std::string default_machine_store() {
  return default_machine_store(program_directory(), directory_exists);
}

}  // namespace norvane
