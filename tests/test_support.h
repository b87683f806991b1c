// Helpers every test suite shares: a scratch folder that removes itself and
// whole-file reads. Used from one test thread.
#pragma once

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace norvane::test_support {

// A fresh folder "/tmp/<prefix>-XXXXXX", removed with its contents when the
// object goes. The path is empty (and the test fails) when it cannot be made.
class ScratchFolder {
 public:
  explicit ScratchFolder(std::string_view prefix) {
    std::string pattern = "/tmp/" + std::string(prefix) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp " << pattern;
      return;
    }
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A name in wire form, label by label, written here rather than by the
// engine's encoder so that a fault there cannot hide a matching one in a
// reader.
inline std::vector<uint8_t> wire_name(std::string_view name) {
  std::vector<uint8_t> out;
  while (!name.empty()) {
    const std::string_view label = name.substr(0, name.find('.'));
    out.push_back(uint8_t(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    name.remove_prefix(std::min(name.size(), label.size() + 1));
  }
  out.push_back(0);
  return out;
}

// Sends all of `data` on a connected socket; false when the peer is gone.
inline bool send_all(int fd, const std::vector<uint8_t>& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t sent = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

// The whole file as text; empty when it cannot be read.
inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `body` in a forked child once `enter` has prepared it; `enter`
// returns 0, or 77 when what it needs is not available here, or another exit
// code for a failure. Returns "" on success, "skip" for 77, else the reason
// the child failed (its gtest failures are printed by the child).
inline std::string in_child_process(const std::function<int()>& enter,
                                    const std::function<void()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    const int refused = enter();
    if (refused != 0) _exit(refused);
    body();
    _exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return "skip";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  return "child status " + std::to_string(status);
}

// Runs `body` in a child process in a new network namespace with lo up, so
// that a test may listen on 127.0.0.1:53. Returns as in_child_process.
inline std::string in_private_network(const std::function<void()>& body) {
  return in_child_process(
      [] {
        if (unshare(CLONE_NEWNET) != 0) return 77;
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strcpy(request.ifr_name, "lo");
        request.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
        const int result = ioctl(fd, SIOCSIFFLAGS, &request);
        close(fd);
        return result == 0 ? 0 : 78;
      },
      body);
}

// Runs `body` in a child process with mounts of its own and a fresh tmpfs of
// `size` bytes over `folder` (whose files it hides): a small disk to fill
// without filling the machine's. Returns as in_child_process.
inline std::string on_private_tmpfs(const std::string& folder, size_t size,
                                    const std::function<void()>& body) {
  return in_child_process(
      [&folder, size] {
        if (unshare(CLONE_NEWNS) != 0) return 77;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        const std::string options = "size=" + std::to_string(size);
        return mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0 ? 0 : 77;
      },
      body);
}

}  // namespace norvane::test_support
