// Language files of the windowed program: a small reader with profile-file
// semantics, the built-in English string table, and the choice of the file in
// use. No GUI toolkit here. A loaded LanguageFile is immutable and may be read
// from any thread; the other functions keep no state.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/log_file.h"

namespace norvane {

// A language file read with profile-file semantics: sections and keys match
// without case, a missing key or an empty value counts as missing, values are
// cut to a byte budget on a UTF-8 character boundary.
class LanguageFile {
 public:
  // Bounds that keep a hostile file from exhausting memory or time: bytes kept
  // of one line (the rest of a longer line is skipped), keys kept in all, and
  // bytes read of the whole file.
  static constexpr size_t kMaxLineBytes = 4096;
  static constexpr size_t kMaxKeys = 100000;
  static constexpr size_t kMaxFileBytes = 16 * 1024 * 1024;

  // Reads the whole file (up to kMaxFileBytes). std::nullopt when the path is
  // not a regular file or cannot be opened. A leading UTF-8 byte-order mark is
  // skipped; lines end at "\n" with an optional "\r".
  static std::optional<LanguageFile> load(const std::string& path);

  // Parses text already in memory with the same rules as load.
  static LanguageFile parse(std::string_view text);

  // The value of `key` in `section`, cut to at most size - 1 bytes without
  // splitting a UTF-8 sequence; std::nullopt when the section or key is
  // missing or the (cut) value is empty.
  std::optional<std::string> value(std::string_view section, std::string_view key,
                                   size_t size) const;

  // Number of keys kept, over all sections.
  size_t key_count() const { return key_count_; }

 private:
  // Lower-cased "section\nkey" -> value. The first occurrence of a key wins, as
  // a profile reader finds the first matching line.
  std::unordered_map<std::string, std::string> values_;
  size_t key_count_ = 0;
};

// `text` cut to at most `max_bytes` bytes, backing up so that no UTF-8
// sequence is split.
std::string_view cut_utf8(std::string_view text, size_t max_bytes);

// The built-in English string table keyed by its ids (4 "Failed to create
// dialog" ... 44 "Mail Server (MX)"); an empty view for an unknown id.
std::string_view builtin_string(int id);

// The built-in product title is kProductTitle of runtime/log_file.h. A second
// inline variable of that name with another type would be the same symbol to
// the linker, and a log line could then read a string_view as a char pointer.

// The language state: path of the language file in use (empty = built-in
// English), the file itself, the main window's title and the text shown when a
// dialog cannot be created.
struct LanguageChoice {
  std::string path;
  std::optional<LanguageFile> file;
  std::string window_title;
  std::string failed_text;
};

// Chooses the language file. The user store's "Language" value wins; when it is
// empty the machine store's is used; when both are empty a German locale
// language ("de", "de_DE", "de-AT") picks "deutsch.ini", any other none. The
// file is resource_directory + "Languages/" + name; a file that cannot be read
// or has no Common/LANGUAGE is not used (so "English", which names no file,
// selects the built-in texts). The window title is Common/Title (64 bytes) or
// kProductTitle; failed_text is load_text(4, "FAILED", 64).
LanguageChoice choose_language(std::string_view user_value, std::string_view machine_value,
                               std::string_view locale_language,
                               const std::string& resource_directory);

// The Strings value of `key` cut to size - 1 bytes when a language file is in
// use and has it; else the built-in entry `id` cut the same way; else empty.
std::string load_text(const LanguageChoice& language, int id, std::string_view key, size_t size);

// Names of the "*.ini" files (suffix matched without case) in
// resource_directory + "Languages/", sorted; empty when the folder is missing.
std::vector<std::string> list_language_files(const std::string& resource_directory);

}  // namespace norvane
