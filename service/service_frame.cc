// The ostrum program frame. The status record lives in one process-wide
// reporter because the stop control (on the dispatcher thread) and the
// service thread both report through it; it carries its own lock.
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
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/atomic_file.h"
#include "engine/cache_dump.h"
#include "engine/engine.h"
#include "engine/hosts_file.h"
#include "engine/zone_file.h"
#include "runtime/auto_config.h"
#include "runtime/log_file.h"
#include "runtime/network_server.h"
#include "runtime/settings.h"
#include "runtime/settings_store.h"
#include "runtime/zone_refresh.h"
#include "service/control_server.h"
#include "service/event_log.h"
#include "service/routes.h"
#include "service/service_manager.h"
#include "service/status_report.h"

namespace norvane {
namespace {

StatusReporter& status_reporter() {
  static StatusReporter reporter;
  return reporter;
}

// The server currently running, for the stop controls.
std::mutex running_lock;
NetworkServer* running_server = nullptr;
std::atomic<bool> stop_requested{false};

sigset_t signal_set(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : signals) sigaddset(&set, signal_number);
  return set;
}

// Whether systemd started this process: it sets INVOCATION_ID for every
// service it runs and NOTIFY_SOCKET for those that report their state.
bool started_by_service_manager() {
  const char* notify = std::getenv("NOTIFY_SOCKET");
  const char* invocation = std::getenv("INVOCATION_ID");
  return (notify != nullptr && notify[0] != '\0') ||
         (invocation != nullptr && invocation[0] != '\0');
}

}  // namespace

bool is_switch(const char* argument, const char* name) {
  return argument != nullptr && strcasecmp(argument, name) == 0;
}

void print_usage() {
  std::printf("%s -install     to install the service\n", "Ostrum");
  std::printf("%s -remove      to remove the service\n", "Ostrum");
  std::printf("%s -debug       to run the service as a console application\n", "Ostrum");
  std::printf("\nStartServiceCtrlDispatcher being called.\n");
  std::printf("This may take several seconds.  Please wait.\n");
  std::fflush(stdout);
}

void stop_server() {
  // STOP_PENDING goes out before the server is told: once told, the service
  // thread may reach its STOPPED report at once, and the manager must not
  // hear "stopping" after "stopped".
  status_reporter().report_service_status(ServiceState::kStopPending, 0, kPendingWaitHintMs);
  stop_requested = true;
  std::lock_guard<std::mutex> guard(running_lock);
  if (running_server != nullptr) running_server->server_stop();
}

void service_control_handler(int control) {
  if (control != kServiceControlStop && control != kServiceControlShutdown) return;
  status_reporter().set_current_state(ServiceState::kStopPending);
  stop_server();
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
  // Saves interrupted by a crash or a kill leave their temporaries behind.
  remove_stale_temporaries(*engine.settings.data_directory.get(),
                           {kZoneFileName, kCacheDumpFileName}, std::time(nullptr));
  store.remove_stale_temporaries();

  NetworkServer server(engine, log_file);
  {
    // A stop control that came during the start-up ends the loop at once.
    std::lock_guard<std::mutex> guard(running_lock);
    running_server = &server;
    if (stop_requested) server.server_stop();
  }
  // server_start: the zone's defaults, the zone file (else the hosts file,
  // or a refresh from the primary), the cache dump, auto-configuration, the
  // sockets.
  zone_settings_read(engine, store);
  install_zone_save_hook(engine);
  ZoneRefresher refresher(engine);
  if (zone_load(engine, 1) == 0) {
    import_system_hosts(engine);
  } else {
    refresher.refresh_at_start();
  }
  if (engine.settings.cache_dump.load() != 0) engine.cache.cache_load_dump();
  AddressWatcher watcher(engine);
  if (engine.settings.network_configuration.load() != 0) watcher.start();
  if (server.open_sockets()) server.log_ready();
  // The start-up lines are out at once, not at the loop's first wake-up.
  engine.log.flush();

  // The control channel starts after the sockets and before the loop, so
  // that it never serves a server that is not running.
  ControlServer control(engine, store);
  control.set_refresh_hook([&refresher] { return refresher.zone_refresh_start() ? 1 : 0; });
  control.set_route_hook(apply_route);
  control.start();
  server.set_turn_hook([&refresher](std::time_t now) { refresher.on_turn(now); });

  server.server_loop();
  server.server_stop();
  refresher.stop();
  watcher.stop();
  if (engine.settings.cache_dump.load() != 0) engine.cache.cache_save_dump();
  {
    std::lock_guard<std::mutex> guard(running_lock);
    running_server = nullptr;
  }
  engine.log.flush();
  log_file.close();
  // The pipe stop flag: the control channel ends last.
  control.stop();
  return 0;
}

void start_service(int argc, char** argv) {
  StatusReporter& reporter = status_reporter();
  if (!reporter.report_service_status(ServiceState::kStartPending, 0, kPendingWaitHintMs) ||
      !reporter.report_service_status(ServiceState::kRunning, 0, 0)) {
    report_error_event("Unable to start service");
    return;
  }
  // RUNNING goes out before anything is loaded: the start-up work below
  // happens while the service manager already shows the service as running.
  run_server(argc, argv);
}

void service_main(int argc, char** argv) {
  StatusReporter& reporter = status_reporter();
  if (!reporter.register_handler(std::getenv("NOTIFY_SOCKET"))) {
    // No report can reach the manager, but the reason must not be silent.
    report_error_event("RegisterServiceCtrlHandler failed.");
    return;
  }
  if (reporter.report_service_status(ServiceState::kStartPending, 0, kPendingWaitHintMs))
    start_service(argc, argv);
  reporter.report_service_status(ServiceState::kStopped, 0, 0);
}

int run_dispatcher(int argc, char** argv) {
  if (!started_by_service_manager()) {
    // No service manager to connect to: the code a console start gets.
    errno = ENOTCONN;
    report_error_event("StartServiceCtrlDispatcher failed.");
    return 0;
  }
  // Blocked before any thread starts, so every thread inherits the mask and
  // SIGTERM reaches only the sigwait below.
  sigset_t set = signal_set({SIGTERM});
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::atomic<bool> finished{false};
  const pthread_t dispatcher = pthread_self();
  std::thread service([argc, argv, &finished, dispatcher] {
    service_main(argc, argv);
    finished = true;
    pthread_kill(dispatcher, SIGTERM);
  });
  for (;;) {
    int signal_number = 0;
    if (sigwait(&set, &signal_number) != 0) continue;
    if (finished.load()) break;
    service_control_handler(kServiceControlStop);
  }
  service.join();
  return 0;
}

int run_console(int argc, char** argv) {
  set_console_mode(true);
  std::printf("Debugging %s.\n", kDisplayName);
  std::fflush(stdout);
  sigset_t set = signal_set({SIGINT, SIGQUIT, SIGTERM});
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
  start_service(argc, argv);
  finished = true;
  // Wake the signal thread so it can end.
  pthread_kill(signals.native_handle(), SIGTERM);
  signals.join();
  return 0;
}

int ostrum_main(int argc, char** argv) {
  // Only the first argument counts; further arguments are ignored.
  const char* argument = argc > 1 ? argv[1] : nullptr;
  if (is_switch(argument, "-debug")) return run_console(argc, argv);
  if (is_switch(argument, "-install")) {
    install_service(ServiceManager::from_environment());
    return 0;
  }
  if (is_switch(argument, "-remove")) {
    remove_service(ServiceManager::from_environment());
    return 0;
  }
  print_usage();
  return run_dispatcher(argc, argv);
}

}  // namespace norvane
