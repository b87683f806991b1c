// ostrum as a systemd service: the usage lines and switches, the sd_notify
// reports read from a notification socket the test opens, SIGTERM as the stop
// control, the syslog entries read from a /dev/log of the test's own (in a
// mount namespace), and -install/-remove against a stand-in systemctl that
// records its calls (no service manager runs here). Unit files are checked
// with the real systemd-analyze where it is installed.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <map>

#include "service/service_identity.h"
#include "service/service_manager.h"
#include "tests/service/system_test_support.h"

namespace norvane::system_test {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUsage =
    "Ostrum -install     to install the service\n"
    "Ostrum -remove      to remove the service\n"
    "Ostrum -debug       to run the service as a console application\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/norvane-frame-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A UNIX datagram socket bound at a path or, for "@name", an abstract name:
// the service manager's notification socket, or a system log.
class DatagramSink {
 public:
  explicit DatagramSink(std::string address) : address_(std::move(address)) {
    fd_ = UniqueFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un bound{};
    bound.sun_family = AF_UNIX;
    std::memcpy(bound.sun_path, address_.data(), address_.size());
    if (address_[0] == '@') bound.sun_path[0] = '\0';
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                                    address_.size() + (address_[0] == '@' ? 0 : 1));
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&bound), length) != 0)
      ADD_FAILURE() << "cannot bind " << address_;
  }
  const std::string& address() const { return address_; }

  // The next datagram within `wait`, or nothing.
  std::optional<std::string> next(milliseconds wait) {
    const auto datagram = receive_datagram(fd_.get(), wait);
    if (!datagram) return std::nullopt;
    return std::string(datagram->begin(), datagram->end());
  }

 private:
  std::string address_;
  UniqueFd fd_;
};

// The assignments of one sd_notify datagram.
std::map<std::string, std::string> assignments(const std::string& message) {
  std::map<std::string, std::string> out;
  for (const std::string& line : split_lines(message)) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) out[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return out;
}

// Whether this process may give a child a mount namespace of its own.
bool mount_namespace_available() {
  const pid_t child = fork();
  if (child == 0) _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ostrum with `arguments`, run with the test's environment less the
// variables that steer it, plus `environment`. With `syslog_socket`, it runs
// in a mount namespace of its own whose /dev is a fresh tmpfs holding only
// "log", a link to that socket: only runs that serve nothing can do without
// the rest of /dev. Standard output and error go to one file.
class OstrumRun {
 public:
  OstrumRun(const ScratchDir& scratch, std::vector<std::string> arguments,
            std::vector<std::string> environment, const std::string& syslog_socket = {})
      : output_path_(scratch.path() / "ostrum-output.txt") {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view variable(*entry);
      if (variable.starts_with("NORVANE_") || variable.starts_with("NOTIFY_SOCKET=") ||
          variable.starts_with("INVOCATION_ID="))
        continue;
      const std::string_view name = variable.substr(0, variable.find('=') + 1);
      const bool replaced = std::any_of(environment.begin(), environment.end(),
                                        [&](const std::string& e) { return e.starts_with(name); });
      if (!replaced) variables.emplace_back(variable);
    }
    variables.insert(variables.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::string program = NORVANE_OSTRUM_PATH;
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    UniqueFd sink(open(output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const bool isolate = !syslog_socket.empty();
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      if (isolate && (unshare(CLONE_NEWNS) != 0 ||
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                      mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 ||
                      symlink(syslog_socket.c_str(), "/dev/log") != 0))
        _exit(126);
      dup2(sink.get(), 1);
      dup2(sink.get(), 2);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    if (pid_ < 0) ADD_FAILURE() << "fork failed";
  }
  ~OstrumRun() {
    if (pid_ <= 0 || exited_) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
  OstrumRun(const OstrumRun&) = delete;
  OstrumRun& operator=(const OstrumRun&) = delete;

  pid_t pid() const { return pid_; }
  std::string output() const { return read_text(output_path_); }
  void signal(int signal_number) const { kill(pid_, signal_number); }

  // The exit code once the process ends within `wait`: -1 for a signal,
  // nothing when it is still running.
  std::optional<int> wait_exit(milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    while (!exited_) {
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        exited_ = true;
        break;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  fs::path output_path_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// Asks the server on `port` for an address until it answers, for up to five
// seconds: proof that the service really serves.
bool answers_queries(uint16_t port) {
  const auto deadline = Clock::now() + milliseconds(5'000);
  while (Clock::now() < deadline) {
    if (udp_exchange(port, make_query(0x5151, "host.office.lan", 1), milliseconds(200)))
      return true;
  }
  return false;
}

// A systemctl that records each call as one line and answers is-active from
// a list of states (the last one repeats); the commands named in `failing`
// (their whole argument text) exit with 1.
class StandInSystemctl {
 public:
  explicit StandInSystemctl(const ScratchDir& scratch, std::vector<std::string> states = {},
                            std::vector<std::string> failing = {})
      : directory_(scratch.path() / "bin"),
        calls_(scratch.path() / "systemctl-calls"),
        states_(scratch.path() / "systemctl-states") {
    fs::create_directories(directory_);
    std::string state_lines;
    for (const std::string& state : states) state_lines += state + "\n";
    ServerTree::write_file(states_, state_lines);
    std::string script = "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + calls_.string() + "'\n";
    script +=
        "if [ \"$1\" = is-active ]; then\n"
        "  state=$(head -n 1 '" +
        states_.string() +
        "')\n"
        "  if [ $(wc -l < '" +
        states_.string() + "') -gt 1 ]; then sed -i 1d '" + states_.string() +
        "'; fi\n"
        "  echo \"${state:-inactive}\"\n"
        "  [ \"$state\" = active ] && exit 0\n"
        "  exit 3\n"
        "fi\n";
    for (const std::string& command : failing)
      script += "[ \"$*\" = '" + command + "' ] && exit 1\n";
    script += "exit 0\n";
    ServerTree::write_file(program(), script);
    fs::permissions(program(), fs::perms::owner_all);
  }
  fs::path directory() const { return directory_; }
  fs::path program() const { return directory_ / "systemctl"; }
  std::vector<std::string> calls() const { return split_lines(read_text(calls_)); }
  // PATH with this systemctl found first.
  std::string path_variable() const {
    const char* path = std::getenv("PATH");
    return "PATH=" + directory_.string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
  }

 private:
  fs::path directory_;
  fs::path calls_;
  fs::path states_;
};

// The manager of the tests that call the service manager functions directly:
// the stand-in, a unit folder, and console texts gathered in memory.
struct InProcessManager {
  InProcessManager(const ScratchDir& scratch, const StandInSystemctl& systemctl) {
    manager.unit_directory = (scratch.path() / "units").string();
    fs::create_directories(manager.unit_directory);
    manager.systemctl = systemctl.program().string();
    manager.poll_interval = milliseconds(10);
    manager.out = open_memstream(&buffer, &size);
  }
  ~InProcessManager() {
    std::fclose(manager.out);
    std::free(buffer);
  }
  std::string text() {
    std::fflush(manager.out);
    return std::string(buffer, size);
  }
  ServiceManager manager;
  char* buffer = nullptr;
  size_t size = 0;
};

bool systemd_analyze_available() {
  return run_command("command -v systemd-analyze").exit_code == 0;
}

// ---- Command line and the dispatcher ----

// Started by hand, the dispatcher has no service manager to reach: the usage
// lines, one error entry in the system log (daemon, error, ident DNSserver,
// the heading with the error code, then the text) and exit code 0. A switch
// with anything appended is no switch. A notification address that cannot
// be used ends the service before it reports anything; one that leads
// nowhere fails every report and the server never runs.
TEST(ServiceFrameTest, DispatcherFailuresGoToTheSystemLog) {
  if (!mount_namespace_available()) GTEST_SKIP() << "needs a mount namespace (root)";
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    std::vector<std::string> entries;
  };
  const std::string no_dispatcher = "DNSserver error: 107: StartServiceCtrlDispatcher failed.";
  const std::vector<Case> cases = {
      {{}, {}, {no_dispatcher}},
      {{"-debugx"}, {}, {no_dispatcher}},
      {{"-INSTALL2"}, {}, {no_dispatcher}},
      {{"remove"}, {}, {no_dispatcher}},
      {{""}, {}, {no_dispatcher}},
      {{},
       {"NOTIFY_SOCKET=relative/notify"},
       {"DNSserver error: 22: RegisterServiceCtrlHandler failed."}},
      {{},
       {"NOTIFY_SOCKET=/" + std::string(108, 'n')},
       {"DNSserver error: 22: RegisterServiceCtrlHandler failed."}},
      {{},
       {"NOTIFY_SOCKET=/nonexistent-norvane/notify"},
       {"DNSserver error: 2: SetServiceStatus", "DNSserver error: 2: SetServiceStatus"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.arguments.empty() ? "(none)" : "'" + c.arguments[0] + "'") + " " +
                 (c.environment.empty() ? "" : c.environment[0]));
    ScratchDir scratch;
    DatagramSink syslog((scratch.path() / "log").string());
    OstrumRun run(scratch, c.arguments, c.environment, syslog.address());
    EXPECT_EQ(run.wait_exit(milliseconds(5'000)), 0);
    EXPECT_EQ(run.output(), kUsage);
    const std::string ident = "DNSserver[" + std::to_string(run.pid()) + "]: ";
    for (const std::string& expected : c.entries) {
      const std::optional<std::string> entry = syslog.next(milliseconds(1'000));
      ASSERT_TRUE(entry.has_value()) << "missing entry " << expected;
      EXPECT_TRUE(entry->starts_with("<27>")) << *entry;  // daemon (3) * 8 + error (3)
      const size_t at = entry->find(ident);
      ASSERT_NE(at, std::string::npos) << *entry;
      EXPECT_EQ(entry->substr(at + ident.size()), expected);
    }
    EXPECT_FALSE(syslog.next(milliseconds(100)).has_value());
  }
}

// -debug in any mix of case is console mode: no usage lines, the debugging
// line, and no status reports even when a notification socket is offered.
TEST(ServiceFrameTest, DebugSwitchInAnyCaseRunsTheConsoleWithoutReports) {
  for (const char* argument : {"-debug", "-DEBUG", "-DeBuG"}) {
    SCOPED_TRACE(argument);
    ScratchDir scratch;
    ServerTree tree(find_free_port(), kOfficeZone);
    DatagramSink notify((scratch.path() / "notify").string());
    OstrumRun run(
        scratch, {argument, "ignored"},
        {"NORVANE_MACHINE_STORE=" + tree.store().string(), "NOTIFY_SOCKET=" + notify.address()});
    ASSERT_TRUE(answers_queries(tree.port())) << run.output();
    run.signal(SIGINT);
    EXPECT_EQ(run.wait_exit(milliseconds(5'000)), 0);
    const std::vector<std::string> lines = split_lines(run.output());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Debugging DNS Server.");
    EXPECT_NE(run.output().find("\nStopping DNS Server.\n"), std::string::npos) << run.output();
    EXPECT_FALSE(notify.next(milliseconds(100)).has_value());
  }
}

// ---- Status reports and the stop control ----

// The reports of one service run, in order: START_PENDING with checkpoints 1
// and 2 and the three-second extension, READY=1, and after SIGTERM
// STOPPING=1 with checkpoint 3, then the stopped status; exit code 0. Both
// forms of notification address are reached.
TEST(ServiceFrameTest, StatusReportsFollowTheServiceLifeInOrder) {
  for (const bool abstract : {false, true}) {
    SCOPED_TRACE(abstract ? "abstract address" : "path address");
    ScratchDir scratch;
    ServerTree tree(find_free_port(), kOfficeZone);
    DatagramSink notify(abstract ? "@norvane-notify-" + std::to_string(getpid())
                                 : (scratch.path() / "notify").string());
    OstrumRun run(
        scratch, {},
        {"NORVANE_MACHINE_STORE=" + tree.store().string(), "NOTIFY_SOCKET=" + notify.address()});
    std::vector<std::map<std::string, std::string>> reports;
    for (int i = 0; i < 3; ++i) {
      const std::optional<std::string> message = notify.next(milliseconds(5'000));
      ASSERT_TRUE(message.has_value()) << "report " << i << "\n" << run.output();
      reports.push_back(assignments(*message));
    }
    EXPECT_EQ(reports[0]["STATUS"], "Starting DNS Server (checkpoint 1)");
    EXPECT_EQ(reports[0]["EXTEND_TIMEOUT_USEC"], "3000000");
    EXPECT_EQ(reports[1]["STATUS"], "Starting DNS Server (checkpoint 2)");
    EXPECT_EQ(reports[1]["EXTEND_TIMEOUT_USEC"], "3000000");
    EXPECT_EQ(reports[2]["READY"], "1");
    EXPECT_EQ(reports[2].count("STOPPING"), 0u);
    ASSERT_TRUE(answers_queries(tree.port())) << run.output();

    run.signal(SIGTERM);
    const std::optional<std::string> stopping = notify.next(milliseconds(5'000));
    ASSERT_TRUE(stopping.has_value());
    auto report = assignments(*stopping);
    EXPECT_EQ(report["STOPPING"], "1");
    EXPECT_EQ(report["STATUS"], "Stopping DNS Server (checkpoint 3)");
    EXPECT_EQ(report["EXTEND_TIMEOUT_USEC"], "3000000");
    const std::optional<std::string> stopped = notify.next(milliseconds(5'000));
    ASSERT_TRUE(stopped.has_value());
    report = assignments(*stopped);
    EXPECT_EQ(report["STATUS"], "DNS Server stopped");
    EXPECT_EQ(report.count("READY") + report.count("STOPPING"), 0u);
    EXPECT_EQ(run.wait_exit(milliseconds(5'000)), 0);
    EXPECT_TRUE(run.output().starts_with(kUsage)) << run.output();
    EXPECT_FALSE(notify.next(milliseconds(100)).has_value());
  }
}

// SIGTERM right after the first report lands while the server is still
// starting: the stop must not be lost, the manager never hears "ready" or
// "starting" after "stopping", the checkpoints keep counting from 1 without
// repeats, and the service ends with the stopped report and exit code 0.
TEST(ServiceFrameTest, StopDuringStartUpIsNotLost) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    ScratchDir scratch;
    ServerTree tree(find_free_port(), kOfficeZone);
    DatagramSink notify((scratch.path() / "notify").string());
    OstrumRun run(
        scratch, {},
        {"NORVANE_MACHINE_STORE=" + tree.store().string(), "NOTIFY_SOCKET=" + notify.address()});
    std::vector<std::string> messages;
    const std::optional<std::string> first = notify.next(milliseconds(5'000));
    ASSERT_TRUE(first.has_value()) << run.output();
    messages.push_back(*first);
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait_exit(milliseconds(10'000)), 0) << run.output();
    while (auto message = notify.next(milliseconds(100))) messages.push_back(*message);
    EXPECT_EQ(assignments(messages.back())["STATUS"], "DNS Server stopped");
    bool stopping = false;
    std::vector<std::string> checkpoints;
    for (const std::string& message : messages) {
      auto report = assignments(message);
      if (stopping) {
        EXPECT_EQ(report.count("READY"), 0u) << message;
        EXPECT_FALSE(report["STATUS"].starts_with("Starting")) << message;
      }
      stopping = stopping || report.count("STOPPING") == 1;
      const std::string& status = report["STATUS"];
      const size_t at = status.find("(checkpoint ");
      if (at != std::string::npos)
        checkpoints.push_back(status.substr(at + 12, status.size() - at - 13));
    }
    EXPECT_TRUE(stopping);
    ASSERT_GE(checkpoints.size(), 2u);
    for (size_t i = 0; i < checkpoints.size(); ++i)
      EXPECT_EQ(checkpoints[i], std::to_string(i + 1));
  }
}

// A service started without a notification socket (INVOCATION_ID alone)
// still serves and still stops on SIGTERM.
TEST(ServiceFrameTest, ServiceWithoutNotificationSocketStopsOnSigterm) {
  ScratchDir scratch;
  ServerTree tree(find_free_port(), kOfficeZone);
  OstrumRun run(scratch, {},
                {"NORVANE_MACHINE_STORE=" + tree.store().string(),
                 "INVOCATION_ID=0123456789abcdef0123456789abcdef"});
  ASSERT_TRUE(answers_queries(tree.port())) << run.output();
  run.signal(SIGTERM);
  EXPECT_EQ(run.wait_exit(milliseconds(5'000)), 0) << run.output();
}

// ---- Install and remove ----

// -install in any case writes a unit systemd accepts for this very program,
// then reloads, enables and starts it; nothing temporary stays behind.
// -remove then stops nothing (the service reads inactive), disables it and
// deletes the unit.
TEST(ServiceFrameTest, InstallThenRemoveThroughSystemctl) {
  const bool analyze = systemd_analyze_available();
  for (const auto& [install, remove] :
       {std::pair{"-install", "-remove"}, std::pair{"-INSTALL", "-ReMoVe"}}) {
    SCOPED_TRACE(install);
    ScratchDir scratch;
    StandInSystemctl systemctl(scratch, {"inactive"});
    const fs::path units = scratch.path() / "units";
    fs::create_directories(units);
    const std::vector<std::string> environment = {"NORVANE_UNIT_DIR=" + units.string(),
                                                  systemctl.path_variable()};
    OstrumRun installing(scratch, {install}, environment);
    EXPECT_EQ(installing.wait_exit(milliseconds(10'000)), 0);
    EXPECT_EQ(installing.output(), "DNS Server installed.\nDNS Server started.\n");
    const fs::path unit = units / "DNSserver.service";
    const std::vector<std::string> lines = split_lines(read_text(unit));
    for (const std::string& expected :
         std::vector<std::string>{"Description=Resolves Internet names to IP addresses",
                                  "Type=notify", "After=network-online.target",
                                  "Wants=network-online.target", "WantedBy=multi-user.target",
                                  "ExecStart=" + fs::canonical(NORVANE_OSTRUM_PATH).string()})
      EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
    EXPECT_EQ(fs::status(unit).permissions() & fs::perms::all, fs::perms(0644));
    EXPECT_EQ(std::distance(fs::directory_iterator(units), fs::directory_iterator()), 1);
    EXPECT_EQ(systemctl.calls(),
              (std::vector<std::string>{"daemon-reload", "enable DNSserver", "start DNSserver"}));
    if (analyze) {
      const CommandResult verified =
          run_command("systemd-analyze verify --man=no " + unit.string());
      EXPECT_EQ(verified.exit_code, 0) << verified.errors;
    }

    OstrumRun removing(scratch, {remove}, environment);
    EXPECT_EQ(removing.wait_exit(milliseconds(10'000)), 0);
    EXPECT_EQ(removing.output(), "\nDNS Server stopped.\nDNS Server deleted.\n");
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_EQ(systemctl.calls(), (std::vector<std::string>{"daemon-reload", "enable DNSserver",
                                                           "start DNSserver", "is-active DNSserver",
                                                           "disable DNSserver", "daemon-reload"}));
  }
}

// A running service is asked to stop and waited for: the stopping line, a
// dot for each poll that still finds it deactivating, then the stopped line
// and the deletion.
TEST(ServiceFrameTest, RemoveWaitsForARunningServiceWithDots) {
  ScratchDir scratch;
  StandInSystemctl systemctl(scratch, {"active", "deactivating", "deactivating", "inactive"});
  const fs::path units = scratch.path() / "units";
  fs::create_directories(units);
  ServerTree::write_file(units / "DNSserver.service", "[Unit]\n");
  OstrumRun removing(scratch, {"-remove"},
                     {"NORVANE_UNIT_DIR=" + units.string(), systemctl.path_variable()});
  EXPECT_EQ(removing.wait_exit(milliseconds(10'000)), 0);
  EXPECT_EQ(removing.output(),
            "Stopping DNS Server...\nDNS Server stopped.\nDNS Server deleted.\n");
  EXPECT_EQ(systemctl.calls(), (std::vector<std::string>{
                                   "is-active DNSserver", "--no-block stop DNSserver",
                                   "is-active DNSserver", "is-active DNSserver",
                                   "is-active DNSserver", "disable DNSserver", "daemon-reload"}));
  EXPECT_FALSE(fs::exists(units / "DNSserver.service"));
}

// A service that never stops is given one pause and thirty polls, no more;
// the deletion is still attempted. A unit that cannot be disabled is kept.
TEST(ServiceFrameTest, StopWaitIsBoundedAndDeletionFollows) {
  {
    ScratchDir scratch;
    StandInSystemctl systemctl(scratch, {"active", "deactivating"});
    InProcessManager in_process(scratch, systemctl);
    ServerTree::write_file(in_process.manager.unit_path(), "[Unit]\n");
    remove_service(in_process.manager);
    EXPECT_EQ(in_process.text(), "Stopping DNS Server." + std::string(30, '.') +
                                     "\nDNS Server failed to stop.\nDNS Server deleted.\n");
    const std::vector<std::string> calls = systemctl.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "is-active DNSserver"), 1 + 1 + 30);
    EXPECT_FALSE(fs::exists(in_process.manager.unit_path()));
  }
  {
    ScratchDir scratch;
    StandInSystemctl systemctl(scratch, {"inactive"}, {"disable DNSserver"});
    InProcessManager in_process(scratch, systemctl);
    ServerTree::write_file(in_process.manager.unit_path(), "[Unit]\n");
    remove_service(in_process.manager);
    EXPECT_EQ(in_process.text(),
              "\nDNS Server stopped.\nDNS Server failed to delete service - systemctl disable "
              "DNSserver exited with status 1 (0x1)\n");
    EXPECT_TRUE(fs::exists(in_process.manager.unit_path()));
  }
}

// Every failing step of an installation prints its line and leaves no unit
// behind, except the unit that was already there, which stays untouched.
TEST(ServiceFrameTest, FailedInstallationLeavesNothingBehind) {
  struct Case {
    const char* name;
    std::vector<std::string> failing;
    bool already_installed;
    bool missing_systemctl;
    std::string output;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"installed twice",
       {},
       true,
       false,
       "DNS Server service installation failed - File exists (0x11)\n",
       {}},
      {"reload fails",
       {"daemon-reload"},
       false,
       false,
       "DNS Server service installation failed - systemctl daemon-reload exited with status 1 "
       "(0x1)\n",
       {"daemon-reload"}},
      {"enable fails",
       {"enable DNSserver"},
       false,
       false,
       "DNS Server service installation failed - systemctl enable DNSserver exited with status 1 "
       "(0x1)\n",
       {"daemon-reload", "enable DNSserver", "daemon-reload"}},
      {"no systemctl",
       {},
       false,
       true,
       "DNS Server service installation failed - No such file or directory (0x2)\n",
       {}},
      // The start is not checked: the service reports its own failures.
      {"start fails",
       {"start DNSserver"},
       false,
       false,
       "DNS Server installed.\nDNS Server started.\n",
       {"daemon-reload", "enable DNSserver", "start DNSserver"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    StandInSystemctl systemctl(scratch, {}, c.failing);
    InProcessManager in_process(scratch, systemctl);
    if (c.missing_systemctl) in_process.manager.systemctl = "/nonexistent-norvane/systemctl";
    const std::string earlier = "[Unit]\nDescription=earlier\n";
    if (c.already_installed) ServerTree::write_file(in_process.manager.unit_path(), earlier);
    install_service(in_process.manager);
    EXPECT_EQ(in_process.text(), c.output);
    EXPECT_EQ(systemctl.calls(), c.calls);
    const bool kept = c.output.find("installed.") != std::string::npos || c.already_installed;
    EXPECT_EQ(fs::exists(in_process.manager.unit_path()), kept);
    if (c.already_installed) {
      EXPECT_EQ(read_text(in_process.manager.unit_path()), earlier);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(in_process.manager.unit_directory),
                            fs::directory_iterator()),
              kept ? 1 : 0);
  }
}

// Without write access to the unit folder nothing is tried; a service that
// is not installed cannot be removed.
TEST(ServiceFrameTest, MissingUnitFolderOrUnitIsReported) {
  ScratchDir scratch;
  StandInSystemctl systemctl(scratch);
  InProcessManager in_process(scratch, systemctl);
  remove_service(in_process.manager);
  in_process.manager.unit_directory = (scratch.path() / "absent").string();
  install_service(in_process.manager);
  remove_service(in_process.manager);
  EXPECT_EQ(in_process.text(),
            "DNS Server failed to access service - No such file or directory (0x2)\n"
            "OpenSCManager failed - No such file or directory (0x2)\n"
            "OpenSCManager failed - No such file or directory (0x2)\n");
  EXPECT_TRUE(systemctl.calls().empty());
}

// The program's path goes into ExecStart= and the data directory and store
// into ReadWritePaths= so that systemd reads exactly those paths: a blank is
// quoted, a "%" doubled, a final "/" dropped, and what systemd refuses in a
// path (quotes, backslashes, control characters) refuses the unit.
TEST(ServiceFrameTest, UnitNamesThePathsAsSystemdReadsThem) {
  const bool analyze = systemd_analyze_available();
  ScratchDir scratch;
  struct Case {
    std::string directory;   // under the scratch folder
    std::string exec_start;  // behind the scratch folder's path; empty: refused
  };
  const std::vector<Case> cases = {
      {"plain", "plain/ostrum"},
      {"with blank",
       "\""
       "/with blank/ostrum\""},
      {"50%", "50%%/ostrum"},
      {"quote\"d", ""},
      {"back\\slash", ""},
      {"apo'strophe", ""},
      {"line\nbreak", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory);
    const fs::path folder = scratch.path() / c.directory;
    const fs::path program = folder / "ostrum";
    const UnitPaths paths{program.string(), (folder / "data/").string(), "/etc/norvane"};
    const std::string text = unit_file_text(paths);
    // The same path as data directory or store is refused alike.
    const std::string as_data = unit_file_text({"/usr/sbin/ostrum", paths.program, "/etc/norvane"});
    const std::string as_store =
        unit_file_text({"/usr/sbin/ostrum", "/var/lib/norvane", paths.program});
    if (c.exec_start.empty()) {
      EXPECT_EQ(text, "");
      EXPECT_EQ(as_data, "");
      EXPECT_EQ(as_store, "");
      continue;
    }
    const bool quoted = c.exec_start[0] == '"';
    const std::string expected = quoted ? "\"" + scratch.path().string() + c.exec_start.substr(1)
                                        : scratch.path().string() + "/" + c.exec_start;
    EXPECT_NE(text.find("\nExecStart=" + expected + "\n"), std::string::npos) << text;
    const std::string data = quoted ? "\"-" + expected.substr(1, expected.size() - 8) + "data\""
                                    : "-" + expected.substr(0, expected.size() - 6) + "data";
    EXPECT_NE(text.find("\nReadWritePaths=" + data + " -/etc/norvane\n"), std::string::npos)
        << text;
    if (!analyze) continue;
    fs::create_directories(program.parent_path());
    fs::copy_file("/bin/true", program);
    const fs::path unit = scratch.path() / "DNSserver.service";
    ServerTree::write_file(unit, text);
    const CommandResult verified = run_command("systemd-analyze verify --man=no " + unit.string());
    EXPECT_EQ(verified.exit_code, 0) << verified.errors;
    fs::remove(unit);
  }
  EXPECT_EQ(unit_file_text({"relative/ostrum", "/var/lib/norvane", "/etc/norvane"}), "");
  EXPECT_EQ(unit_file_text({"/usr/sbin/ostrum", "data", "/etc/norvane"}), "");
  EXPECT_EQ(unit_file_text({"/usr/sbin/ostrum", "/var/lib/norvane", ""}), "");
}

// The unit carries the service's identity and the confinement a packaged
// DNS server is expected to have; nothing of the template's own notation
// is left in it.
TEST(ServiceFrameTest, UnitIsConfinedToItsPortRoutesAndFolders) {
  const std::string text =
      unit_file_text({"/usr/sbin/ostrum", "/var/lib/norvane/", "/etc/norvane"});
  const std::vector<std::string> lines = split_lines(text);
  for (const std::string& expected : std::vector<std::string>{
           std::string("Description=") + kServiceDescription, "ExecStart=/usr/sbin/ostrum",
           "CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_NET_ADMIN", "ProtectSystem=strict",
           "ReadWritePaths=-/var/lib/norvane -/etc/norvane", "StateDirectory=norvane",
           "ProtectHome=yes", "PrivateTmp=yes", "NoNewPrivileges=yes"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
  }
  for (const char* placeholder : {"@PROGRAM@", "@DATA_DIRECTORY@", "@SETTINGS_STORE@"}) {
    EXPECT_EQ(text.find(placeholder), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace norvane::system_test
