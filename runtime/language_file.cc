// Language files: profile-file reader, built-in string table and the choice of
// the language in use. Stateless apart from immutable LanguageFile values.
#include "runtime/language_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "engine/names.h"
#include "engine/unique_fd.h"

namespace norvane {
namespace {

std::string lower_copy(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(), lower_ascii);
  return result;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string lookup_key(std::string_view section, std::string_view key) {
  std::string result = lower_copy(trim(section));
  result.push_back('\n');
  result += lower_copy(trim(key));
  return result;
}

// A profile reader drops one pair of matching quotes around a value, which
// lets a translator keep leading or trailing blanks ("\" \"").
std::string_view unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value.remove_prefix(1);
    value.remove_suffix(1);
  }
  return value;
}

constexpr std::array<std::pair<int, std::string_view>, 40> kBuiltinStrings = {{
    {4, "Failed to create dialog"},
    {5, "An entry with this name already exists."},
    {6, "A name for the local domain is required."},
    {7, "Not a valid email address."},
    {8, "Version"},
    {9, "Remove"},
    {10, "Exit"},
    {11, "entries"},
    {12, "Ready on Port"},
    {13, "Failed to listen on Port"},
    {15, "Initialization failed"},
    {16, "Preferences"},
    {17, "Name"},
    {18, "Type"},
    {19, "Resource"},
    {20, "TTL (s)"},
    {21, "Access"},
    {22, "Host Range"},
    {23, "Date"},
    {24, "Time"},
    {25, "Operation"},
    {27, "Language"},
    {28, "Module"},
    {29, "Host Name:"},
    {30, "Domain:"},
    {31, "Alias:"},
    {32, "Host or Domain:"},
    {33, "IP Address:"},
    {34, "Name Server:"},
    {35, "Host Name:"},
    {36, "Preference:"},
    {37, " "},
    {38, " "},
    {39, " "},
    {40, "Mail Server:"},
    {41, "IP Address (A)"},
    {42, "Nameserver (NS)"},
    {43, "Alias (CNAME)"},
    {44, "Mail Server (MX)"},
    {45, "The settings could not be saved."},
}};

bool is_german(std::string_view locale_language) {
  const size_t end = locale_language.find_first_of("_-.@");
  const std::string_view code = locale_language.substr(0, end);
  return lower_copy(code) == "de";
}

}  // namespace

std::string_view cut_utf8(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t end = max_bytes;
  // Back up over continuation bytes (10xxxxxx) so that the cut falls before the
  // lead byte of the character it would split. At most three steps: a longer
  // run is not UTF-8 and is cut where it stands.
  for (int step = 0; step < 3 && end > 0; ++step) {
    if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80) break;
    --end;
  }
  if ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) end = max_bytes;
  return text.substr(0, end);
}

LanguageFile LanguageFile::parse(std::string_view text) {
  LanguageFile file;
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::string section;
  bool in_section = false;
  while (!text.empty() && file.key_count_ < kMaxKeys) {
    const size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    line = cut_utf8(line, kMaxLineBytes);
    line = trim(line);
    // No key begins with ";", so skipping comment lines changes no lookup.
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      line.remove_prefix(1);
      const size_t close = line.find(']');
      section = lower_copy(trim(line.substr(0, close)));
      in_section = true;
      continue;
    }
    const size_t equals = line.find('=');
    if (!in_section || equals == std::string_view::npos) continue;
    const std::string_view key = trim(line.substr(0, equals));
    if (key.empty()) continue;
    std::string lookup = section;
    lookup.push_back('\n');
    lookup += lower_copy(key);
    if (file.values_.emplace(std::move(lookup), unquote(trim(line.substr(equals + 1)))).second) {
      ++file.key_count_;
    }
  }
  return file;
}

std::optional<LanguageFile> LanguageFile::load(const std::string& path) {
  // Only regular files: a FIFO would block the open, a device never ends.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  FilePointer file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::nullopt;
  // Read in blocks and keep at most kMaxLineBytes of each line, so that a
  // megabyte-long line costs a few kilobytes of memory.
  std::string text;
  std::array<char, 16384> block;
  size_t line_length = 0;
  size_t total = 0;
  while (total < kMaxFileBytes) {
    const size_t count = std::fread(block.data(), 1, block.size(), file.get());
    if (count == 0) break;
    total += count;
    for (size_t i = 0; i < count; ++i) {
      const char c = block[i];
      if (c == '\n') {
        line_length = 0;
        text.push_back(c);
      } else if (line_length < kMaxLineBytes + 4) {
        // A few bytes beyond the budget let parse cut on a character boundary.
        ++line_length;
        text.push_back(c);
      }
    }
  }
  if (std::ferror(file.get())) return std::nullopt;
  return parse(text);
}

std::optional<std::string> LanguageFile::value(std::string_view section, std::string_view key,
                                               size_t size) const {
  if (size <= 1) return std::nullopt;
  const auto found = values_.find(lookup_key(section, key));
  if (found == values_.end()) return std::nullopt;
  const std::string_view cut = cut_utf8(found->second, size - 1);
  if (cut.empty()) return std::nullopt;
  return std::string(cut);
}

std::string_view builtin_string(int id) {
  for (const auto& [entry_id, text] : kBuiltinStrings) {
    if (entry_id == id) return text;
  }
  return {};
}

LanguageChoice choose_language(std::string_view user_value, std::string_view machine_value,
                               std::string_view locale_language,
                               const std::string& resource_directory) {
  // The stored name is read into a 32-byte buffer.
  constexpr size_t kNameBytes = 32;
  LanguageChoice choice;
  std::string name(cut_utf8(user_value, kNameBytes - 1));
  if (name.empty()) name = cut_utf8(machine_value, kNameBytes - 1);
  if (name.empty() && is_german(locale_language)) name = "deutsch.ini";
  if (!name.empty()) {
    const std::string path = resource_directory + "Languages/" + name;
    std::optional<LanguageFile> file = LanguageFile::load(path);
    if (file && file->value("Common", "LANGUAGE", 32)) {
      choice.path = path;
      choice.file = std::move(file);
    }
  }
  std::optional<std::string> title;
  if (choice.file) title = choice.file->value("Common", "Title", 64);
  choice.window_title = title ? *title : std::string(kProductTitle);
  choice.failed_text = load_text(choice, 4, "FAILED", 64);
  return choice;
}

std::string load_text(const LanguageChoice& language, int id, std::string_view key, size_t size) {
  if (size <= 1) return std::string();
  if (language.file) {
    if (std::optional<std::string> text = language.file->value("Strings", key, size)) return *text;
  }
  if (id == 0) return std::string();
  return std::string(cut_utf8(builtin_string(id), size - 1));
}

std::vector<std::string> list_language_files(const std::string& resource_directory) {
  // Enough for any real installation; a folder flooded with files stays cheap.
  constexpr size_t kMaxFiles = 1000;
  std::vector<std::string> names;
  std::error_code error;
  std::filesystem::directory_iterator entries(resource_directory + "Languages", error);
  if (error) return names;
  for (auto entry = std::filesystem::begin(entries); entry != std::filesystem::end(entries);
       entry.increment(error)) {
    if (error || names.size() >= kMaxFiles) break;
    std::error_code type_error;
    if (!entry->is_regular_file(type_error)) continue;
    std::string name = entry->path().filename().string();
    if (name.size() > 4 && lower_copy(std::string_view(name).substr(name.size() - 4)) == ".ini") {
      names.push_back(std::move(name));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace norvane
