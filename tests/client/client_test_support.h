// Helpers for pallix's system tests: ostrum -debug with its own store, data
// directory and control socket (optionally in a network namespace of its
// own, so that route changes never touch the host), and pallix run with its
// own store, optionally as the user nobody. Not thread-safe; the client tests
// run one at a time.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/service/system_test_support.h"

namespace norvane::client_test {

using system_test::Clock;
using system_test::milliseconds;

// The unprivileged account of the refusal tests.
inline constexpr uid_t kNobody = 65534;

// A scratch folder for the client side: the control socket and pallix's own
// machine store (which only holds the default server). Readable by every
// user, so that nobody can reach the socket.
class ClientTree {
 public:
  ClientTree() {
    char pattern[] = "/tmp/norvane-client-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
      return;
    }
    root_ = pattern;
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

// ostrum -debug with the tree's store and the control socket at `control`.
// With `namespace_setup`, the server runs in a network namespace of its own
// (unshare -n) after that shell text has run there. The constructor returns
// once the ready line is out and the socket exists; the destructor stops the
// server with SIGINT and kills it when it hangs.
class ControlledServer {
 public:
  ControlledServer(const system_test::ServerTree& tree, const std::string& control,
                   const std::string& namespace_setup = "")
      : output_path_(tree.output_file()) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
      if (!std::string_view(*entry).starts_with("NORVANE_")) environment.emplace_back(*entry);
    environment.push_back("NORVANE_MACHINE_STORE=" + tree.store().string());
    environment.push_back("NORVANE_CONTROL=" + control);
    std::vector<std::string> words;
    if (namespace_setup.empty()) {
      words = {NORVANE_OSTRUM_PATH, "-debug"};
    } else {
      words = {"/usr/bin/unshare", "-n", "/bin/sh", "-c",
               namespace_setup + " && exec \"$0\" -debug", NORVANE_OSTRUM_PATH};
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    system_test::UniqueFd sink(
        open(output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      dup2(sink.get(), 1);
      dup2(sink.get(), 2);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    if (pid_ < 0) {
      ADD_FAILURE() << "fork failed";
      return;
    }
    const auto deadline = Clock::now() + milliseconds(10'000);
    while (output().find(" ready\n") == std::string::npos ||
           !std::filesystem::exists(control)) {
      if (Clock::now() >= deadline || waitpid(pid_, &status_, WNOHANG) == pid_) {
        ADD_FAILURE() << "ostrum not ready with its control socket; output:\n" << output();
        return;
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
  std::string output() const { return system_test::read_text(output_path_); }

 private:
  std::filesystem::path output_path_;
  pid_t pid_ = -1;
  int status_ = 0;
};

struct PallixRun {
  int exit_code = -1;  // -1 when it was killed by a signal
  std::string output;  // standard output and error
};

// Runs pallix with `words` (no shell in between), its machine store at
// `store` and its control address `control`, as nobody when asked; killed
// after 20 seconds.
inline PallixRun run_pallix(const std::filesystem::path& store, const std::string& control,
                            std::vector<std::string> words, bool as_nobody = false) {
  std::vector<std::string> environment = {"PATH=/usr/bin:/bin",
                                          "NORVANE_MACHINE_STORE=" + store.string(),
                                          "NORVANE_CONTROL=" + control};
  words.insert(words.begin(), NORVANE_PALLIX_PATH);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  int pipe_ends[2];
  PallixRun run;
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return run;
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipe_ends[1], 1);
    dup2(pipe_ends[1], 2);
    if (as_nobody && (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                      setresuid(kNobody, kNobody, kNobody) != 0))
      _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(pipe_ends[1]);
  system_test::UniqueFd reader(pipe_ends[0]);
  if (child < 0) return run;
  const auto deadline = Clock::now() + milliseconds(20'000);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    pollfd ready{reader.get(), POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) != 1) {
      ADD_FAILURE() << "pallix did not finish within 20 s; killed";
      kill(child, SIGKILL);
      break;
    }
    char buffer[4096];
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
