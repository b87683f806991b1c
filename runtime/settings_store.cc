// The settings store as a folder with one text file per hive.
//
// File form: a line "[key]" opens a key; a line "name=text" inside a key is a
// value whose text runs to the end of the line, exactly as written. Other
// lines (blank lines, comments an administrator added) are kept as they are.
// A "\r" at the end of a line is taken as part of a CRLF line end, not of the
// text: writes refuse texts holding one, so only an editor can have put it
// there.
#include "runtime/settings_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "engine/atomic_file.h"
#include "engine/names.h"
#include "engine/text_helpers.h"
#include "runtime/program_directory.h"

namespace norvane {
namespace {

constexpr const char* kFileName = "settings.ini";
constexpr const char* kLockName = "settings.lock";

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (write errors of some
  // file systems appear only here).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool has_line_break_or_nul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A key path must fit on its header line.
bool valid_key(std::string_view subkey) {
  return !subkey.empty() && !has_line_break_or_nul(subkey);
}

// A value name must fit before the "=" of its line and must not make the line
// look like a key header.
bool valid_value_name(std::string_view value) {
  return !has_line_break_or_nul(value) && value.find('=') == std::string_view::npos &&
         (value.empty() || value.front() != '[');
}

std::string_view without_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// One line of the file, classified.
struct ParsedLine {
  enum Kind { kOther, kHeader, kValue } kind = kOther;
  std::string_view name;  // the key of a header, the name of a value
  std::string_view text;  // the text of a value
};

ParsedLine parse_line(std::string_view raw) {
  const std::string_view line = without_cr(raw);
  ParsedLine parsed;
  if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
    parsed.kind = ParsedLine::kHeader;
    parsed.name = line.substr(1, line.size() - 2);
    return parsed;
  }
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return parsed;
  parsed.kind = ParsedLine::kValue;
  parsed.name = line.substr(0, equals);
  parsed.text = line.substr(equals + 1);
  return parsed;
}

std::vector<std::string_view> split_lines(std::string_view content) {
  std::vector<std::string_view> lines;
  while (!content.empty()) {
    const size_t end = content.find('\n');
    if (end == std::string_view::npos) {
      lines.push_back(content);
      break;
    }
    lines.push_back(content.substr(0, end));
    content.remove_prefix(end + 1);
  }
  return lines;
}

// Calls visit(name, text) for each value of `subkey` in file order until it
// returns true. Values before the first header belong to no key.
template <class Visit>
void for_each_value(std::string_view content, std::string_view subkey, Visit visit) {
  bool in_key = false;
  for (std::string_view raw : split_lines(content)) {
    const ParsedLine line = parse_line(raw);
    if (line.kind == ParsedLine::kHeader) {
      in_key = names_equal(line.name, subkey);
    } else if (line.kind == ParsedLine::kValue && in_key) {
      if (visit(line.name, line.text)) return;
    }
  }
}

// The whole file, an empty text when it does not exist, nothing when it exists
// but cannot be read.
std::optional<std::string> read_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::string();
    return std::nullopt;
  }
  FileDescriptor file(fd);
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<size_t>(got));
  }
  return content;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t put = ::write(fd, data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

// Creates the folder and any missing parents with mode 0755.
bool make_folder(const std::string& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (!part.empty() && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Applies one change to the lines of the file. A new value goes behind the
// last value of the first section of its key, or into a new section at the end.
void apply_change(std::vector<std::string>& lines, std::string_view subkey,
                  const StoreBatch::Change& change) {
  const std::string new_line = change.value + "=" + change.text;
  std::vector<std::string> result;
  result.reserve(lines.size() + 3);
  bool in_key = false;
  bool in_first_key = false;
  bool key_seen = false;
  bool written = false;
  size_t insert_at = 0;
  for (std::string& raw : lines) {
    const ParsedLine line = parse_line(raw);
    if (line.kind == ParsedLine::kHeader) {
      in_key = names_equal(line.name, subkey);
      in_first_key = in_key && !key_seen;
      key_seen = key_seen || in_key;
      result.push_back(std::move(raw));
      if (in_first_key) insert_at = result.size();
      continue;
    }
    const bool is_value = line.kind == ParsedLine::kValue && in_key;
    if (is_value && names_equal(line.name, change.value)) {
      // The first occurrence is replaced; later duplicates (hand edits) go,
      // so that reads return the text just written.
      if (!change.remove && !written) {
        result.push_back(new_line);
        written = true;
      }
      continue;
    }
    result.push_back(std::move(raw));
    if (is_value && in_first_key) insert_at = result.size();
  }
  if (!change.remove && !written) {
    if (key_seen) {
      result.insert(result.begin() + static_cast<std::ptrdiff_t>(insert_at), new_line);
    } else {
      if (!result.empty() && !without_cr(result.back()).empty()) result.emplace_back();
      result.push_back("[" + std::string(subkey) + "]");
      result.push_back(new_line);
    }
  }
  lines = std::move(result);
}

std::string home_folder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return std::string();
}

}  // namespace

void StoreBatch::set_text(std::string_view value, const char* text) {
  Change change;
  change.value = std::string(value);
  change.remove = text == nullptr;
  if (text != nullptr) change.text = text;
  changes_.push_back(std::move(change));
}

void StoreBatch::set_number(std::string_view value, uint32_t number, uint32_t fallback) {
  if (number == fallback) {
    remove(value);
    return;
  }
  set_text(value, std::to_string(number).c_str());
}

void StoreBatch::set_address(std::string_view value, uint32_t address) {
  if (address == 0) {
    remove(value);
    return;
  }
  char text[kIpv4TextSize];
  set_text(value, format_ipv4(address, text));
}

SettingsStore::SettingsStore(std::string folder) : folder_(std::move(folder)) {}

SettingsStore SettingsStore::machine() {
  const char* folder = std::getenv("NORVANE_MACHINE_STORE");
  if (folder != nullptr && folder[0] != '\0') return SettingsStore(folder);
  return SettingsStore(default_machine_store());
}

SettingsStore SettingsStore::user() {
  const char* folder = std::getenv("NORVANE_USER_STORE");
  if (folder != nullptr && folder[0] != '\0') return SettingsStore(folder);
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG base
  // directory rules require.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return SettingsStore(join_path(config, "norvane"));
  return SettingsStore(join_path(home_folder(), ".config/norvane"));
}

size_t SettingsStore::remove_stale_temporaries() const {
  return norvane::remove_stale_temporaries(folder_, {kFileName}, std::time(nullptr));
}

std::string SettingsStore::file_path() const { return join_path(folder_, kFileName); }

std::string SettingsStore::store_read_text(std::string_view subkey, std::string_view value,
                                           std::string_view fallback, size_t size) const {
  const size_t limit = size == 0 ? 0 : size - 1;
  std::string result(fallback.substr(0, limit));
  const std::optional<std::string> content = read_file(file_path());
  if (!content) return result;
  for_each_value(*content, subkey, [&](std::string_view name, std::string_view text) {
    if (!names_equal(name, value)) return false;
    if (text.size() <= limit) result = std::string(text);
    return true;
  });
  return result;
}

int SettingsStore::store_write_text(std::string_view subkey, std::string_view value,
                                    const char* text) {
  StoreBatch batch;
  batch.set_text(value, text);
  return store_apply(subkey, batch);
}

int SettingsStore::store_delete(std::string_view subkey, std::string_view value) {
  return store_write_text(subkey, value, nullptr);
}

uint32_t SettingsStore::store_read_number(std::string_view subkey, std::string_view value,
                                          uint32_t fallback) const {
  const std::string stored = store_read_text(subkey, value, "", 64);
  std::string_view text = stored;
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return fallback;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return fallback;
    number = number * 10 + static_cast<uint64_t>(c - '0');
    if (number > UINT32_MAX) return fallback;
  }
  const auto result = static_cast<uint32_t>(number);
  return negative ? 0u - result : result;
}

int SettingsStore::store_write_number(std::string_view subkey, std::string_view value,
                                      uint32_t number, uint32_t fallback) {
  StoreBatch batch;
  batch.set_number(value, number, fallback);
  return store_apply(subkey, batch);
}

uint32_t SettingsStore::store_read_address(std::string_view subkey, std::string_view value) const {
  const std::string text = store_read_text(subkey, value, "", kIpv4TextSize);
  return parse_ipv4(text.c_str());
}

std::vector<std::pair<std::string, std::string>> SettingsStore::store_read_key(
    std::string_view subkey) const {
  std::vector<std::pair<std::string, std::string>> values;
  const std::optional<std::string> content = read_file(file_path());
  if (!content) return values;
  for_each_value(*content, subkey, [&](std::string_view name, std::string_view text) {
    for (const auto& [known, unused] : values) {
      if (names_equal(known, name)) return false;
    }
    values.emplace_back(std::string(name), std::string(text));
    return false;
  });
  return values;
}

int SettingsStore::store_apply(std::string_view subkey, const StoreBatch& batch) {
  if (!valid_key(subkey)) return 0;
  for (const StoreBatch::Change& change : batch.changes()) {
    if (!valid_value_name(change.value) || has_line_break_or_nul(change.text)) return 0;
  }
  if (!make_folder(folder_)) return 0;

  // The lock file is never removed, so every writer locks the same inode. A
  // user who may not create it may still lock an existing one; such a user
  // then fails below, where the file would be replaced.
  const std::string lock_path = join_path(folder_, kLockName);
  int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0) lock_fd = ::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (lock_fd < 0) return 0;
  FileDescriptor lock(lock_fd);
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return 0;
  }

  const std::string path = file_path();
  struct stat existing {};
  const bool exists = ::stat(path.c_str(), &existing) == 0;
  // Renaming needs only the folder's permission; the file's own permission
  // must be honoured too, since it is what tells administrators from others.
  if (exists && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return 0;
  const std::optional<std::string> content = read_file(path);
  if (!content) return 0;

  std::vector<std::string> lines;
  for (std::string_view line : split_lines(*content)) lines.emplace_back(line);
  for (const StoreBatch::Change& change : batch.changes()) apply_change(lines, subkey, change);
  std::string output;
  for (const std::string& line : lines) {
    output += line;
    output += '\n';
  }

  std::string temporary = temporary_template(folder_, kFileName);
  const int temp_fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (temp_fd < 0) return 0;
  FileDescriptor file(temp_fd);
  bool ok = ::fchmod(file.get(), exists ? (existing.st_mode & 07777) : 0644) == 0;
  if (ok && exists && ::geteuid() == 0) {
    // An administrator's edit keeps the file with its owner; failure to do so
    // leaves a root-owned file, which is still a correct store.
    (void)::fchown(file.get(), existing.st_uid, existing.st_gid);
  }
  ok = ok && write_all(file.get(), output) && ::fsync(file.get()) == 0;
  ok = file.close() && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return 0;
  }
  // The rename itself is durable only once the folder is synced. The new file
  // is in place either way, so a failure here is not reported as one.
  const int folder_fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd >= 0) {
    (void)::fsync(folder_fd);
    ::close(folder_fd);
  }
  return 1;
}

}  // namespace norvane
