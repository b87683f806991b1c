// The control channel's file commands: listing a folder with a wildcard
// pattern, opening a file, reading it line by line and closing it. Searches
// and files belong to the connection that opened them (ControlSession) and
// are named by handles that are checked before every use. A connection
// without privilege reaches only regular files directly inside the data
// directory (the log files, the zone file, the cache dump), for reading.
// Runs under the command lock of ControlCommands.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "engine/text_helpers.h"
#include "service/control_commands.h"

namespace norvane {

namespace {

using Buffer = std::array<uint8_t, kControlMessageSize>;

constexpr size_t kWithValue = kControlHeaderSize;

std::span<uint8_t> payload_of(Buffer& buffer) {
  return std::span<uint8_t>(buffer).subspan(kControlHeaderSize);
}
uint64_t handle_of(const Buffer& buffer) { return read_le64(buffer, kControlHeaderSize); }
void set_status(Buffer& buffer, uint32_t status) { write_le32(buffer, 0, status); }
void set_value(Buffer& buffer, uint32_t value) { write_le32(buffer, 4, value); }

// A requested name as a path: relative names are taken from the data
// directory, since the server's working directory means nothing to a client.
std::string request_path(const std::string& data_directory, const std::string& name) {
  if (!name.empty() && name.front() == '/') return name;
  return join_path(data_directory, name);
}

// The folder part and the last component of `path`.
std::pair<std::string, std::string> split_path(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::optional<std::string> canonical_path(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

// The canonical data directory when `folder` resolves to it exactly.
std::optional<std::string> same_as_data_directory(const std::string& folder,
                                                  const std::string& data_directory) {
  if (data_directory.empty()) return std::nullopt;
  auto data = canonical_path(data_directory);
  auto wanted = canonical_path(folder);
  if (!data || !wanted || *data != *wanted) return std::nullopt;
  return data;
}

FindRecord find_record_of(const std::string& name, const struct stat& status) {
  FindRecord record;
  if (S_ISDIR(status.st_mode)) record.attributes |= kFileAttributeDirectory;
  if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    record.attributes |= kFileAttributeReadOnly;
  }
  if (record.attributes == 0) record.attributes = kFileAttributeNormal;
  // Linux keeps no creation time in stat; the status change time is the
  // closest it has.
  record.creation_time = file_time_from_unix(status.st_ctim.tv_sec, status.st_ctim.tv_nsec);
  record.access_time = file_time_from_unix(status.st_atim.tv_sec, status.st_atim.tv_nsec);
  record.write_time = file_time_from_unix(status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
  record.size = static_cast<uint64_t>(status.st_size);
  record.name = name;
  return record;
}

// The names in `folder` that match `pattern` ("*" and "?" wildcards; "*.*"
// matches every name, as clients written for the Windows pattern rules
// expect), sorted, at most kMaxSearchEntries. Symbolic links are described
// as themselves, not as what they point to.
std::vector<FindRecord> find_files(const std::string& folder, std::string pattern) {
  std::vector<FindRecord> found;
  if (pattern == "*.*") pattern = "*";
  DIR* directory = ::opendir(folder.c_str());
  if (directory == nullptr) return found;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name.size() >= kFindNameSize) continue;
    if (::fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
    names.push_back(name);
    if (names.size() >= kMaxSearchEntries) break;
  }
  std::sort(names.begin(), names.end());
  const int folder_fd = ::dirfd(directory);
  for (const std::string& name : names) {
    struct stat status {};
    if (::fstatat(folder_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    found.push_back(find_record_of(name, status));
  }
  ::closedir(directory);
  return found;
}

enum class OpenResult { kOpened, kFailed, kOutside };

// Opens `name` for reading when it is a regular file directly inside the
// data directory. The last component is opened relative to the canonical
// folder without following a symbolic link, so a link planted in the data
// directory cannot lead outside it, and non-blocking, so a FIFO there cannot
// hang the command lock.
OpenResult open_inside_data_directory(const std::string& data_directory, const std::string& name,
                                      std::FILE** file) {
  const auto [folder, base] = split_path(request_path(data_directory, name));
  if (base.empty() || base == "." || base == "..") return OpenResult::kOutside;
  const auto data = same_as_data_directory(folder, data_directory);
  if (!data) return OpenResult::kOutside;
  const int folder_fd = ::open(data->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd < 0) return OpenResult::kFailed;
  const int fd = ::openat(folder_fd, base.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  const int open_error = errno;
  ::close(folder_fd);
  if (fd < 0) return open_error == ELOOP ? OpenResult::kOutside : OpenResult::kFailed;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return OpenResult::kFailed;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  *file = ::fdopen(fd, "r");
  if (*file == nullptr) {
    ::close(fd);
    return OpenResult::kFailed;
  }
  return OpenResult::kOpened;
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool ControlCommands::put_next_found_locked(ControlSession::Search& search, uint64_t handle,
                                            Buffer& buffer) {
  while (search.next < search.found.size()) {
    const auto record = encode_find_record(search.found[search.next++]);
    if (!record) continue;
    write_le64(buffer, kControlHeaderSize, handle);
    std::copy(record->begin(), record->end(), payload_of(buffer).begin() + kHandleSize);
    return true;
  }
  return false;
}

size_t ControlCommands::list_files_first_locked(ControlSession& session, Buffer& buffer) {
  const auto pattern_text = read_field_text(payload_of(buffer), 0, kControlPayloadSize);
  if (!pattern_text || pattern_text->empty()) return kWithValue;
  const std::string data_directory = *engine_.settings.data_directory.get();
  const auto [folder, pattern] = split_path(request_path(data_directory, *pattern_text));
  if (pattern.empty() || folder.find_first_of("*?[") != std::string::npos) return kWithValue;
  if (!session.privileged() && !same_as_data_directory(folder, data_directory)) {
    set_status(buffer, kControlRefused);
    return 4;
  }
  if (session.searches_.size() >= kMaxSearchesPerConnection) return kWithValue;
  ControlSession::Search search;
  search.found = find_files(folder, pattern);
  const uint64_t handle = new_handle_locked();
  if (!put_next_found_locked(search, handle, buffer)) return kWithValue;
  session.searches_.emplace(handle, std::move(search));
  return kListFilesReplySize;
}

size_t ControlCommands::list_files_next_locked(ControlSession& session, Buffer& buffer) {
  const uint64_t handle = handle_of(buffer);
  auto search = session.searches_.find(handle);
  if (search != session.searches_.end() && put_next_found_locked(search->second, handle, buffer)) {
    set_value(buffer, 1);
    return kListFilesReplySize;
  }
  set_value(buffer, 0);
  return kWithValue;
}

size_t ControlCommands::list_files_end_locked(ControlSession& session, Buffer& buffer) {
  set_value(buffer, session.searches_.erase(handle_of(buffer)) != 0 ? 1 : 0);
  return kWithValue;
}

size_t ControlCommands::open_file_locked(ControlSession& session, Buffer& buffer) {
  auto request = decode_open_file_request(payload_of(buffer));
  if (!request || request->name.empty() || request->mode.empty()) {
    write_le64(buffer, kControlHeaderSize, 0);
    return kOpenFileReplySize;
  }
  const std::string mode = lowered(request->mode);
  const std::string data_directory = *engine_.settings.data_directory.get();
  std::FILE* file = nullptr;
  if (!session.privileged()) {
    if (mode != "r") {
      set_status(buffer, kControlRefused);
      return 4;
    }
    if (session.files_.size() < kMaxFilesPerConnection &&
        open_inside_data_directory(data_directory, request->name, &file) == OpenResult::kOutside) {
      set_status(buffer, kControlRefused);
      return 4;
    }
  } else if (session.files_.size() < kMaxFilesPerConnection) {
    const std::string path = request_path(data_directory, request->name);
    struct stat status {};
    // A FIFO or socket would block the open, and with it every command.
    const bool blocking_kind = ::stat(path.c_str(), &status) == 0 &&
                               (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
    if (!blocking_kind) file = std::fopen(path.c_str(), (mode + "e").c_str());
  }
  uint64_t handle = 0;
  if (file != nullptr) {
    handle = new_handle_locked();
    session.files_.emplace(handle, std::unique_ptr<std::FILE, ControlSession::FileCloser>(file));
  }
  write_le64(buffer, kControlHeaderSize, handle);
  return kOpenFileReplySize;
}

size_t ControlCommands::close_file_locked(ControlSession& session, Buffer& buffer) {
  auto open = session.files_.find(handle_of(buffer));
  int result = 1;
  if (open != session.files_.end()) {
    std::FILE* file = open->second.release();
    session.files_.erase(open);
    result = std::fclose(file) == 0 ? 0 : 1;
  }
  set_value(buffer, static_cast<uint32_t>(result));
  return kWithValue;
}

size_t ControlCommands::read_line_locked(ControlSession& session, Buffer& buffer) {
  std::FILE* file = session.file_of(handle_of(buffer));
  size_t length = 0;
  if (file != nullptr) {
    auto payload = payload_of(buffer);
    while (length < kMaxReadLine) {
      const int c = std::getc(file);
      if (c == EOF) break;
      payload[length++] = static_cast<uint8_t>(c);
      if (c == '\n') break;
    }
    payload[length] = 0;
  }
  set_value(buffer, static_cast<uint32_t>(length));
  return length == 0 ? kWithValue : kControlHeaderSize + length + 1;
}

}  // namespace norvane
