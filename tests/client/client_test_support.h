// Helpers for pallix's system tests: ostrum -debug with its own store and
// control socket (optionally in a network namespace of its own, so route
// changes never touch the host), and pallix run with its own store,
// optionally as nobody. Not thread-safe; the client tests run one at a time.
#pragma once

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/service/system_test_support.h"

namespace norvane::client_test {

using system_test::Clock;
using system_test::milliseconds;

using system_test::ExecList;

// The control socket and pallix's own store (only the default server), in a
// folder every user may enter, so that nobody can reach the socket.
class ClientTree {
 public:
  ClientTree() {
    char pattern[] = "/tmp/norvane-client-XXXXXX";
    if (mkdtemp(pattern) != nullptr) root_ = pattern;
    chmod(root_.c_str(), 0755);
  }
  ~ClientTree() {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  ClientTree(const ClientTree&) = delete;
  ClientTree& operator=(const ClientTree&) = delete;

  std::string control() const { return (root_ / "control.sock").string(); }
  std::filesystem::path store() const { return root_ / "client-store"; }

 private:
  std::filesystem::path root_;
};

// ostrum -debug on the tree's store with its control socket at `control`;
// with `namespace_setup` in a new network namespace after that shell text ran
// there. Ready once the ready line is out and the socket exists; stopped with
// SIGINT (killed when it hangs) at the end.
class ControlledServer {
 public:
  ControlledServer(const system_test::ServerTree& tree, const std::string& control,
                   const std::string& namespace_setup)
      : output_path_(tree.output_file()) {
    std::vector<std::string> environment = system_test::server_environment(tree);
    environment.push_back("NORVANE_CONTROL=" + control);
    ExecList envp(std::move(environment));
    ExecList argv(namespace_setup.empty()
                      ? std::vector<std::string>{NORVANE_OSTRUM_PATH, "-debug"}
                      : std::vector<std::string>{"/usr/bin/unshare", "-n", "/bin/sh", "-c",
                                                 namespace_setup + " && exec \"$0\" -debug",
                                                 NORVANE_OSTRUM_PATH});
    UniqueFd sink(open(output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    pid_ = system_test::spawn_tied(argv.pointers.data(), envp.pointers.data(), sink.get());
    const auto deadline = Clock::now() + milliseconds(10'000);
    while (pid_ > 0 &&
           (system_test::read_text(output_path_).find(" ready\n") == std::string::npos ||
            !std::filesystem::exists(control))) {
      if (Clock::now() >= deadline || waitpid(pid_, &status_, WNOHANG) == pid_) {
        ADD_FAILURE() << "ostrum not ready with its control socket; output:\n"
                      << system_test::read_text(output_path_);
        break;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
  }
  ~ControlledServer() {
    if (pid_ <= 0 || waitpid(pid_, &status_, WNOHANG) == pid_) return;
    kill(pid_, SIGINT);
    const auto deadline = Clock::now() + milliseconds(5'000);
    while (waitpid(pid_, &status_, WNOHANG) != pid_) {
      if (Clock::now() >= deadline) {
        ADD_FAILURE() << "ostrum did not stop within 5 s of SIGINT; killed";
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        return;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
  }
  ControlledServer(const ControlledServer&) = delete;
  ControlledServer& operator=(const ControlledServer&) = delete;

  pid_t pid() const { return pid_; }

 private:
  std::filesystem::path output_path_;
  pid_t pid_ = -1;
  int status_ = 0;
};

struct PallixRun {
  int exit_code = -1;  // -1 when killed by a signal
  std::string output;  // standard output and error
};

// Runs pallix with `words` (no shell in between), its store and control
// address given, as nobody when asked; killed after 20 seconds. With
// `hosts_file`, pallix runs in a mount namespace of its own that sees that
// file as /etc/hosts (exit code 125 when that cannot be arranged).
inline PallixRun run_pallix(const std::filesystem::path& store, const std::string& control,
                            std::vector<std::string> words, bool as_nobody = false,
                            const std::filesystem::path& hosts_file = {}) {
  constexpr uid_t kNobody = 65534;
  const std::string hosts = hosts_file.string();
  ExecList envp({"PATH=/usr/bin:/bin", "NORVANE_MACHINE_STORE=" + store.string(),
                 "NORVANE_CONTROL=" + control});
  words.insert(words.begin(), NORVANE_PALLIX_PATH);
  ExecList argv(std::move(words));
  PallixRun run;
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return run;
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipe_ends[1], 1);
    dup2(pipe_ends[1], 2);
    if (!hosts.empty() && (unshare(CLONE_NEWNS) != 0 ||
                           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                           mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0))
      _exit(125);
    if (as_nobody && (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                      setresuid(kNobody, kNobody, kNobody) != 0))
      _exit(126);
    execve(argv.pointers[0], argv.pointers.data(), envp.pointers.data());
    _exit(127);
  }
  close(pipe_ends[1]);
  UniqueFd reader(pipe_ends[0]);
  if (child < 0) return run;
  const auto deadline = Clock::now() + milliseconds(20'000);
  for (char buffer[4096];;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    pollfd ready{reader.get(), POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) != 1) {
      ADD_FAILURE() << "pallix did not finish within 20 s; killed";
      kill(child, SIGKILL);
      break;
    }
    const ssize_t got = read(reader.get(), buffer, sizeof buffer);
    if (got <= 0) break;
    run.output.append(buffer, static_cast<size_t>(got));
  }
  int status = 0;
  waitpid(child, &status, 0);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace norvane::client_test
