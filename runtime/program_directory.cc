// The running program's folder from /proc/self/exe.
#include "runtime/program_directory.h"

#include <unistd.h>

namespace norvane {

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

}  // namespace norvane
