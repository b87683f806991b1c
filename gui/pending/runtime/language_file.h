// Stand-in until the runtime's own language_file lands.
#pragma once
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "runtime/log_file.h"
namespace norvane {
class LanguageFile {
 public:
  static std::optional<LanguageFile> load(const std::string& path);
  std::optional<std::string> value(std::string_view section, std::string_view key,
                                   size_t size) const;

 private:
  std::map<std::string, std::string> values_;
};
std::string builtin_string(int id);
struct LanguageChoice {
  std::string path;
  std::optional<LanguageFile> file;
  std::string window_title = kProductTitle;
  std::string failed_text = "Failed to create dialog";
};
LanguageChoice choose_language(std::string_view user_value, std::string_view machine_value,
                               std::string_view locale_language,
                               const std::string& resource_directory);
std::string load_text(const LanguageChoice& choice, int id, std::string_view key, size_t size);
std::vector<std::string> list_language_files(const std::string& resource_directory);
}  // namespace norvane
