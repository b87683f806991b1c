// Stand-in implementations (see README.md).
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "runtime/language_file.h"
#include "runtime/program_directory.h"
#include "runtime/resource_directory.h"

namespace norvane {
namespace {
std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}
}  // namespace

std::string resource_directory() {
  const char* env = std::getenv("NORVANE_RESOURCE_DIR");
  if (env != nullptr && env[0] != '\0') {
    std::string dir = env;
    if (dir.back() != '/') dir += '/';
    return dir;
  }
  return program_directory();
}

std::optional<LanguageFile> LanguageFile::load(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  LanguageFile file;
  std::string section;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      section = lower(line.substr(1, line.find(']') - 1));
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    file.values_.emplace(section + "\n" + lower(line.substr(0, eq)), line.substr(eq + 1));
  }
  return file;
}

std::optional<std::string> LanguageFile::value(std::string_view section, std::string_view key,
                                               size_t size) const {
  auto found = values_.find(lower(section) + "\n" + lower(key));
  if (found == values_.end() || found->second.empty()) return std::nullopt;
  std::string text = found->second;
  if (size > 0 && text.size() > size - 1) {
    size_t cut = size - 1;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  return text;
}

std::string builtin_string(int id) {
  switch (id) {
    case 4: return "Failed to create dialog";
    case 9: return "Remove";
    case 10: return "Exit";
    case 11: return "entries";
    case 12: return "Ready on Port";
    case 13: return "Failed to listen on Port";
    case 15: return "Initialization failed";
    case 17: return "Name";
    case 18: return "Type";
    case 19: return "Resource";
    case 20: return "TTL (s)";
    case 23: return "Date";
    case 24: return "Time";
    case 25: return "Operation";
    default: return "";
  }
}

LanguageChoice choose_language(std::string_view user_value, std::string_view machine_value,
                               std::string_view locale_language,
                               const std::string& resource_directory) {
  LanguageChoice choice;
  std::string name(user_value.empty() ? machine_value : user_value);
  if (name.empty() && locale_language == "de") name = "deutsch.ini";
  if (name.empty()) return choice;
  const std::string path = resource_directory + "Languages/" + name;
  auto file = LanguageFile::load(path);
  if (!file || !file->value("Common", "LANGUAGE", 32)) return choice;
  choice.path = path;
  choice.file = std::move(file);
  if (auto title = choice.file->value("Common", "Title", 64)) choice.window_title = *title;
  choice.failed_text = load_text(choice, 4, "FAILED", 64);
  return choice;
}

std::string load_text(const LanguageChoice& choice, int id, std::string_view key, size_t size) {
  if (choice.file) {
    if (auto text = choice.file->value("Strings", key, size)) return *text;
  }
  return id != 0 ? builtin_string(id) : std::string();
}

std::vector<std::string> list_language_files(const std::string& resource_directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(resource_directory + "Languages", error))
    if (entry.path().extension() == ".ini") names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace norvane
