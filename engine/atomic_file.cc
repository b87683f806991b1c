// Atomic file replacement: temporary, fsync, rename, folder fsync.
#include "engine/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace

bool replace_file_atomically(const std::string& directory, const std::string& path,
                             std::string_view text, mode_t mode, bool keep_mode) {
  const size_t slash = path.find_last_of('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temporary = join_path(directory, base + ".XXXXXX");
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
