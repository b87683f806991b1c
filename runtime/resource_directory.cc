// The folder of the windowed program's language files and documents.
#include "runtime/resource_directory.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>

#include "runtime/program_directory.h"

namespace norvane {
namespace {

bool directory_exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

}  // namespace

std::string choose_resource_directory(std::string_view environment_value,
                                      const std::string& program_folder,
                                      bool (*share_exists)(const std::string&)) {
  if (!environment_value.empty()) {
    std::string result(environment_value);
    while (result.size() > 1 && result.back() == '/') result.pop_back();
    if (result != "/") result.push_back('/');
    return result;
  }
  // An installed program lives in <prefix>/bin and its data in
  // <prefix>/share/norvane; a program run from the build tree keeps its data
  // beside itself, so the share folder is only taken when it exists.
  const std::optional<std::string> prefix = install_prefix(program_folder);
  if (prefix) {
    const std::string share = *prefix + "share/norvane/";
    if (share_exists(share)) return share;
  }
  return program_folder;
}

std::string resource_directory() {
  const char* value = std::getenv("NORVANE_RESOURCE_DIR");
  return choose_resource_directory(value ? value : "", program_directory(), directory_exists);
}

}  // namespace norvane
