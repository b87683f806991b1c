// The ostrum program frame.
#include "service/service_frame.h"

#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/netlink.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/engine.h"
#include "engine/zone_file.h"
#include "runtime/log_file.h"
#include "runtime/network_server.h"
#include "runtime/settings.h"
#include "runtime/settings_store.h"

namespace norvane {
namespace {

std::atomic<bool> console_mode{false};

// The server currently running, for the stop controls.
std::mutex running_lock;
NetworkServer* running_server = nullptr;
std::atomic<bool> stop_requested{false};

bool is_switch(const char* argument, const char* name) {
  return argument != nullptr && strcasecmp(argument, name) == 0;
}

// The platform's network configuration interface is there when a routing
// netlink socket can be opened.
bool load_ip_helper() {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// The text of errno as "message (0xcode)".
std::string system_error_text() {
  const int code = errno;
  char text[256];
  std::snprintf(text, sizeof text, "%s (0x%x)", std::strerror(code), static_cast<unsigned>(code));
  return text;
}

void print_usage() {
  std::printf("%s -install     to install the service\n", "Ostrum");
  std::printf("%s -remove      to remove the service\n", "Ostrum");
  std::printf("%s -debug       to run the service as a console application\n", "Ostrum");
  std::printf("\nStartServiceCtrlDispatcher being called.\n");
  std::printf("This may take several seconds.  Please wait.\n");
  std::fflush(stdout);
}

// Blocks the stop signals in every thread started from now on; the signal
// thread takes them with sigwait.
sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void stop_server() {
  stop_requested = true;
  std::lock_guard<std::mutex> guard(running_lock);
  if (running_server != nullptr) running_server->server_stop();
}

bool console_control_handler(int event) {
  if (event != 0 && event != 1) return false;
  std::printf("Stopping %s.\n", kDisplayName);
  std::fflush(stdout);
  stop_server();
  return true;
}

int run_server(int argc, char** argv) {
  Engine engine;
  LogFile log_file(engine);
  // Lines of the start-up go to standard error until the log file opens.
  engine.log.set_stream(stderr);
  if (!network_startup()) return 0;

  SettingsStore store = SettingsStore::machine();
  const std::string directory = program_directory();
  store.store_write_text(kMainKey, "Path", directory.c_str());
  if (!directory.empty() && chdir(directory.c_str()) != 0) {
    // Only relative paths depend on it; the data directory is absolute.
  }
  engine.settings.network_configuration = load_ip_helper() ? 1 : 0;
  settings_read(engine, store);
  if (argc > 1 && is_switch(argv[1], "-debug")) {
    if (engine.log.level() < 2) engine.log.set_level(2);
    log_file.use_console(stdout);
  }
  log_file.log_roll(std::time(nullptr));

  NetworkServer server(engine, log_file);
  {
    std::lock_guard<std::mutex> guard(running_lock);
    running_server = &server;
    if (stop_requested) server.server_stop();
  }
  // server_start: the zone's defaults, the zone file, the sockets.
  zone_settings_read(engine, store);
  install_zone_save_hook(engine);
  zone_load(engine, 1);
  if (engine.settings.cache_dump.load() != 0) engine.cache.cache_load_dump();
  if (server.open_sockets()) server.log_ready();
  // The start-up lines are out at once, not at the loop's first wake-up.
  engine.log.flush();

  server.server_loop();
  server.server_stop();
  if (engine.settings.cache_dump.load() != 0) engine.cache.cache_save_dump();
  {
    std::lock_guard<std::mutex> guard(running_lock);
    running_server = nullptr;
  }
  engine.log.flush();
  log_file.close();
  return 0;
}

int run_console(int argc, char** argv) {
  console_mode = true;
  std::printf("Debugging %s.\n", kDisplayName);
  std::fflush(stdout);
  sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::atomic<bool> finished{false};
  std::thread signals([&set, &finished] {
    for (;;) {
      int signal_number = 0;
      if (sigwait(&set, &signal_number) != 0) continue;
      if (finished.load()) return;
      if (signal_number == SIGINT) console_control_handler(0);
      else if (signal_number == SIGQUIT) console_control_handler(1);
      else stop_server();  // SIGTERM: the service manager's stop control
    }
  });
  run_server(argc, argv);
  finished = true;
  // Wake the signal thread so it can end.
  pthread_kill(signals.native_handle(), SIGTERM);
  signals.join();
  return 0;
}

int ostrum_main(int argc, char** argv) {
  const char* argument = argc > 1 ? argv[1] : nullptr;
  if (is_switch(argument, "-debug")) return run_console(argc, argv);
  if (is_switch(argument, "-install") || is_switch(argument, "-remove")) {
    // Until the service manager is wired in it cannot be reached.
    errno = ENOSYS;
    std::printf("OpenSCManager failed - %s\n", system_error_text().c_str());
    return 0;
  }
  print_usage();
  return 0;
}

}  // namespace norvane
