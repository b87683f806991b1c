// Atomic file replacement: temporary, fsync, rename, folder fsync.
#include "engine/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "engine/text_helpers.h"

namespace norvane {
namespace {

bool write_all(int fd, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

constexpr std::string_view kTemporaryMarker = ".tmp-";
constexpr size_t kRandomPartLength = 6;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alphanumeric(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The writer's pid when `name` is "<base>.tmp-<pid>-XXXXXX" for one of
// `bases`, else -1.
pid_t temporary_writer(std::string_view name, std::initializer_list<std::string_view> bases) {
  for (std::string_view base : bases) {
    if (!name.starts_with(base)) continue;
    std::string_view rest = name.substr(base.size());
    if (!rest.starts_with(kTemporaryMarker)) continue;
    rest.remove_prefix(kTemporaryMarker.size());
    if (rest.size() < kRandomPartLength + 2) continue;
    const std::string_view random = rest.substr(rest.size() - kRandomPartLength);
    const std::string_view pid = rest.substr(0, rest.size() - kRandomPartLength - 1);
    if (rest[pid.size()] != '-' || pid.size() > 9) continue;
    bool valid = !pid.empty();
    for (char c : pid) valid = valid && is_digit(c);
    for (char c : random) valid = valid && is_alphanumeric(c);
    if (!valid) continue;
    pid_t writer = 0;
    for (char c : pid) writer = writer * 10 + (c - '0');
    return writer;
  }
  return -1;
}

bool writer_gone(pid_t writer) {
  if (writer <= 0 || writer == ::getpid()) return true;
  return ::kill(writer, 0) != 0 && errno == ESRCH;
}

struct DirectoryCloser {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

}  // namespace

std::string temporary_template(const std::string& directory, std::string_view base) {
  std::string name(base);
  name += kTemporaryMarker;
  name += std::to_string(::getpid());
  name += '-';
  name.append(kRandomPartLength, 'X');
  return join_path(directory, name);
}

size_t remove_stale_temporaries(const std::string& directory,
                                std::initializer_list<std::string_view> bases, std::time_t now) {
  const std::string folder = directory.empty() ? "." : directory;
  std::unique_ptr<DIR, DirectoryCloser> listing(::opendir(folder.c_str()));
  if (!listing) return 0;
  const int folder_fd = ::dirfd(listing.get());
  size_t removed = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    const pid_t writer = temporary_writer(entry->d_name, bases);
    if (writer < 0) continue;
    struct stat file;
    // Never follows a link: only our own regular files go.
    if (::fstatat(folder_fd, entry->d_name, &file, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(file.st_mode))
      continue;
    const std::time_t idle = now - file.st_mtime;
    const bool stale = idle >= kAbandonedTemporarySeconds ||
                       (idle >= kStaleTemporarySeconds && writer_gone(writer));
    if (stale && ::unlinkat(folder_fd, entry->d_name, 0) == 0) ++removed;
  }
  return removed;
}

bool replace_file_atomically(const std::string& directory, const std::string& path,
                             std::string_view text, mode_t mode, bool keep_mode) {
  const size_t slash = path.find_last_of('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temporary = temporary_template(directory, base);
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  // mkostemp makes the file private; readers such as the windowed program
  // must still be able to open the new one.
  struct stat old_file;
  if (keep_mode && ::stat(path.c_str(), &old_file) == 0 && S_ISREG(old_file.st_mode))
    mode = old_file.st_mode & 07777;
  ::fchmod(fd, mode);
  bool ok = write_all(fd, text) && ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The new file is complete and in place whatever this returns (some file
  // systems refuse fsync on a folder), so it does not turn into a failure.
  const int directory_fd =
      ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory_fd >= 0) {
    ::fsync(directory_fd);
    ::close(directory_fd);
  }
  return true;
}

}  // namespace norvane
