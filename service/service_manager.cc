// The unit file and the systemctl calls behind "-install" and "-remove".
#include "service/service_manager.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/program_directory.h"
#include "runtime/settings.h"
#include "runtime/settings_store.h"
#include "service/event_log.h"
#include "service/service_identity.h"
#include "service/unit_template.h"

extern char** environ;

namespace norvane {
namespace {

constexpr const char* kUnitFileName = "DNSserver.service";

// "/var/lib/norvane/" as "/var/lib/norvane"; "/" stays.
std::string without_final_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// What one systemctl run came to.
struct CommandOutcome {
  bool succeeded = false;
  std::string output;      // standard output, when it was captured
  std::string error_text;  // why it failed, as "text (0xcode)"
};

std::string join(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) {
    if (!out.empty()) out += ' ';
    out += word;
  }
  return out;
}

// Runs systemctl with `arguments`; its standard error always goes to ours so
// that the administrator sees systemd's own reason for a failure. With
// `capture` its standard output is read into the outcome.
CommandOutcome run_systemctl(const ServiceManager& manager,
                             const std::vector<std::string>& arguments, bool capture = false) {
  CommandOutcome outcome;
  std::vector<std::string> words = {manager.systemctl};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  // Our own texts must be out before the child writes into the same stream.
  std::fflush(manager.out);
  std::fflush(stdout);
  int pipe_fds[2] = {-1, -1};
  if (capture && pipe2(pipe_fds, O_CLOEXEC) != 0) {
    outcome.error_text = system_error_text();
    return outcome;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (capture) posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  pid_t child = -1;
  const int spawn_error = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (capture) close(pipe_fds[1]);
  if (spawn_error != 0) {
    if (capture) close(pipe_fds[0]);
    outcome.error_text = system_error_text(spawn_error);
    return outcome;
  }
  if (capture) {
    char buffer[512];
    for (;;) {
      const ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      // is-active prints one word; anything longer is not a state anyway.
      if (outcome.output.size() < 4096) outcome.output.append(buffer, static_cast<size_t>(got));
    }
    close(pipe_fds[0]);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      outcome.error_text = system_error_text();
      return outcome;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    outcome.succeeded = true;
    return outcome;
  }
  char text[160];
  if (WIFEXITED(status)) {
    const int code = WEXITSTATUS(status);
    std::snprintf(text, sizeof text, "exited with status %d (0x%x)", code,
                  static_cast<unsigned>(code));
  } else {
    const int signal_number = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    std::snprintf(text, sizeof text, "was ended by signal %d (0x%x)", signal_number,
                  static_cast<unsigned>(signal_number));
  }
  outcome.error_text = "systemctl " + join(arguments) + " " + text;
  return outcome;
}

void pause_for(std::chrono::milliseconds interval) { std::this_thread::sleep_for(interval); }

// Makes a rename or unlink in `directory` durable.
void sync_directory(const std::string& directory) {
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

// Puts `text` at `path` in one step and only when nothing is there yet: a
// temporary file in the same folder is written and synced, then moved into
// place without replacing. A temporary named ".#..." is one systemd skips
// when it reads the folder. False with errno set (EEXIST when the unit is
// already there); no temporary is left behind.
bool create_file_once(const std::string& directory, const std::string& path,
                      const std::string& text) {
  std::string temporary = directory + "/.#" + kUnitFileName + "XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool written = fchmod(fd, 0644) == 0 && write_all(fd, text) && fsync(fd) == 0;
  int code = errno;
  if (close(fd) != 0 && written) {
    written = false;
    code = errno;
  }
  if (written) {
    if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
      sync_directory(directory);
      return true;
    }
    code = errno;
    // A file system without the no-replace rename still refuses a link over
    // an existing name.
    if (code == EINVAL || code == ENOSYS) {
      code = link(temporary.c_str(), path.c_str()) == 0 ? 0 : errno;
    }
  }
  unlink(temporary.c_str());
  if (code == 0) {
    sync_directory(directory);
    return true;
  }
  errno = code;
  return false;
}

void remove_unit_file(const ServiceManager& manager) {
  unlink(manager.unit_path().c_str());
  sync_directory(manager.unit_directory);
}

// The folder of the unit must be writable to install or remove: the
// equivalent of opening the service manager with full access.
bool unit_directory_writable(const ServiceManager& manager) {
  return access(manager.unit_directory.c_str(), W_OK | X_OK) == 0;
}

// The current state of the service; false when systemctl cannot tell.
bool query_state(const ServiceManager& manager, ServiceState& state) {
  const CommandOutcome outcome = run_systemctl(manager, {"is-active", kServiceName}, true);
  // is-active exits non-zero for every state but active; the word decides.
  return parse_active_state(outcome.output, state);
}

void print(const ServiceManager& manager, const char* format, const std::string& text = {}) {
  std::fprintf(manager.out, format, kDisplayName, text.c_str());
  std::fflush(manager.out);
}

// `word` as one word of a unit setting: quoted when it holds a blank, "%"
// doubled; empty when systemd would refuse it.
std::string unit_word(const std::string& word) {
  // systemd splits a setting at blanks unless the word is quoted, expands
  // "%" specifiers even in paths, and refuses a program path holding a quote
  // or a backslash; a line break would end the setting. Words that cannot be
  // written plainly are quoted or have their "%" doubled; those that systemd
  // would refuse are refused here already.
  bool needs_quotes = false;
  std::string escaped;
  for (const char c : word) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '"' || c == '\\' || c == '\'') return {};
    if (c == ' ') needs_quotes = true;
    if (c == '%') escaped += '%';
    escaped += c;
  }
  return needs_quotes ? "\"" + escaped + "\"" : escaped;
}

}  // namespace

ServiceManager ServiceManager::from_environment() {
  ServiceManager manager;
  const char* directory = std::getenv("NORVANE_UNIT_DIR");
  if (directory != nullptr && directory[0] != '\0') manager.unit_directory = directory;
  // The service is granted the store and data directory it reads as it is
  // configured now; a later change of "Directory" needs a new unit.
  const SettingsStore store = SettingsStore::machine();
  manager.settings_store = store.folder();
  manager.data_directory = store.store_read_text(kMainKey, "Directory", "", kImageDirectorySize);
  if (manager.data_directory.empty()) manager.data_directory = default_data_directory();
  return manager;
}

std::string ServiceManager::unit_path() const {
  std::string path = unit_directory;
  if (path.empty() || path.back() != '/') path += '/';
  return path + kUnitFileName;
}

std::string unit_file_text(const UnitPaths& paths) {
  const std::string* const absolute[] = {&paths.program, &paths.data_directory,
                                         &paths.settings_store};
  for (const std::string* path : absolute) {
    if (path->empty() || path->front() != '/') return {};
  }
  const std::string program = unit_word(paths.program);
  // "-": a folder that is missing does not keep the service from starting;
  // the server then reports what it cannot write.
  const std::string data = unit_word("-" + without_final_slashes(paths.data_directory));
  const std::string store = unit_word("-" + without_final_slashes(paths.settings_store));
  if (program.empty() || data.empty() || store.empty()) return {};
  std::string text = kUnitTemplate;
  const std::pair<std::string_view, const std::string*> fields[] = {
      {"@PROGRAM@", &program}, {"-@DATA_DIRECTORY@", &data}, {"-@SETTINGS_STORE@", &store}};
  for (const auto& [placeholder, value] : fields) {
    for (size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value->size())) {
      text.replace(at, placeholder.size(), *value);
    }
  }
  return text;
}

bool parse_active_state(const std::string& text, ServiceState& state) {
  std::string word = text;
  while (!word.empty() && (word.back() == '\n' || word.back() == '\r' || word.back() == ' '))
    word.pop_back();
  if (word == "inactive" || word == "failed") {
    state = ServiceState::kStopped;
  } else if (word == "deactivating") {
    state = ServiceState::kStopPending;
  } else if (word == "activating") {
    state = ServiceState::kStartPending;
  } else if (word == "active" || word == "reloading" || word == "refreshing") {
    state = ServiceState::kRunning;
  } else {
    return false;
  }
  return true;
}

void install_service(const ServiceManager& manager) {
  char executable[512];
  const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable);
  if (length < 0 || static_cast<size_t>(length) >= sizeof executable) {
    if (length >= 0) errno = ENAMETOOLONG;
    print(manager, "Unable to install %s - %s\n", system_error_text());
    return;
  }
  const std::string path(executable, static_cast<size_t>(length));
  // A program that was replaced or deleted since it started reads as
  // "... (deleted)"; a unit pointing there could never start.
  if (access(path.c_str(), X_OK) != 0) {
    print(manager, "Unable to install %s - %s\n", system_error_text());
    return;
  }
  const std::string unit =
      unit_file_text(UnitPaths{path, manager.data_directory, manager.settings_store});
  if (unit.empty()) {
    print(manager, "Unable to install %s - %s\n", system_error_text(EINVAL));
    return;
  }
  if (!unit_directory_writable(manager)) {
    std::fprintf(manager.out, "OpenSCManager failed - %s\n", system_error_text().c_str());
    std::fflush(manager.out);
    return;
  }
  if (!create_file_once(manager.unit_directory, manager.unit_path(), unit)) {
    print(manager, "%s service installation failed - %s\n", system_error_text());
    return;
  }
  // Loading and enabling belong to the registration: when either fails the
  // service is not installed, and the unit goes again so that the next run
  // does not find a half-installed service in its way.
  for (const std::vector<std::string>& step : {std::vector<std::string>{"daemon-reload"},
                                               std::vector<std::string>{"enable", kServiceName}}) {
    const CommandOutcome outcome = run_systemctl(manager, step);
    if (!outcome.succeeded) {
      remove_unit_file(manager);
      if (step.front() != "daemon-reload") run_systemctl(manager, {"daemon-reload"});
      print(manager, "%s service installation failed - %s\n", outcome.error_text);
      return;
    }
  }
  print(manager, "%s installed.\n");
  // As with a start request to any service manager, whether the service
  // comes up is its own affair; it reports its failures itself.
  run_systemctl(manager, {"start", kServiceName});
  print(manager, "%s started.\n");
}

bool stop_and_wait(const ServiceManager& manager) {
  ServiceState state = ServiceState::kStopped;
  bool known = query_state(manager, state);
  bool accepted = false;
  if (known && state != ServiceState::kStopped) {
    // --no-block: the request is queued and the wait below is ours, bounded
    // by the polls, rather than systemctl's own.
    accepted = run_systemctl(manager, {"--no-block", "stop", kServiceName}).succeeded;
    if (!accepted) known = query_state(manager, state);
  }
  if (accepted) {
    std::fprintf(manager.out, "Stopping %s.", kDisplayName);
    std::fflush(manager.out);
    pause_for(manager.poll_interval);
    known = query_state(manager, state);
    // A queued stop can still read "active" before systemd begins it, so
    // every state short of stopped counts as still stopping.
    for (int polls = 0; known && state != ServiceState::kStopped && polls < manager.max_polls;
         ++polls) {
      std::fputc('.', manager.out);
      std::fflush(manager.out);
      pause_for(manager.poll_interval);
      known = query_state(manager, state);
    }
  }
  if (known && state == ServiceState::kStopped) {
    print(manager, "\n%s stopped.\n");
    return true;
  }
  print(manager, "\n%s failed to stop.\n");
  return false;
}

void remove_service(const ServiceManager& manager) {
  if (!unit_directory_writable(manager)) {
    std::fprintf(manager.out, "OpenSCManager failed - %s\n", system_error_text().c_str());
    std::fflush(manager.out);
    return;
  }
  struct stat unit_stat {};
  if (lstat(manager.unit_path().c_str(), &unit_stat) != 0) {
    print(manager, "%s failed to access service - %s\n", system_error_text());
    return;
  }
  stop_and_wait(manager);
  // A unit deleted while still enabled would leave its links behind.
  const CommandOutcome disabled = run_systemctl(manager, {"disable", kServiceName});
  if (!disabled.succeeded) {
    print(manager, "%s failed to delete service - %s\n", disabled.error_text);
    return;
  }
  if (unlink(manager.unit_path().c_str()) != 0) {
    print(manager, "%s failed to delete service - %s\n", system_error_text());
    return;
  }
  sync_directory(manager.unit_directory);
  run_systemctl(manager, {"daemon-reload"});
  print(manager, "%s deleted.\n");
}

}  // namespace norvane
