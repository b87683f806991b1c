// The ostrum program frame. The status record lives in one process-wide
// reporter because the stop control (on the dispatcher thread) and the
// service thread both report through it; it carries its own lock.
#include "service/service_frame.h"

#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>

#include "runtime/server_host.h"
#include "runtime/settings_store.h"
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

// The stop controls' way to the server: the host of the run in progress, and
// a stop that came before that host was attached (it stops the host at once).
// Process-wide because the controls arrive on the signal and dispatcher
// threads, which know nothing of the run; it carries its own lock.
class StopControls {
 public:
  void request_stop() {
    std::lock_guard<std::mutex> guard(lock_);
    pending_ = true;
    if (host_ != nullptr) host_->stop();
  }
  void attach(ServerHost& host) {
    std::lock_guard<std::mutex> guard(lock_);
    host_ = &host;
    if (pending_) host.stop();
  }
  // The stop, if any, belonged to the run that ends here.
  void detach() {
    std::lock_guard<std::mutex> guard(lock_);
    host_ = nullptr;
    pending_ = false;
  }

 private:
  std::mutex lock_;
  ServerHost* host_ = nullptr;
  bool pending_ = false;
};

StopControls& stop_controls() {
  static StopControls controls;
  return controls;
}

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
  stop_controls().request_stop();
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
  ServerHostOptions options;
  options.console = argc > 1 && is_switch(argv[1], "-debug");
  // The control channel starts after the sockets and before the loop, so
  // that it never serves a server that is not running; it ends last.
  std::unique_ptr<ControlServer> control;
  options.attach = [&control](ServerHost& host) {
    control = std::make_unique<ControlServer>(host.engine(), host.store());
    control->set_refresh_hook([&host] { return host.zone_refresh_start() ? 1 : 0; });
    control->set_route_hook(apply_route);
    control->start();
  };
  options.detach = [&control] {
    if (control != nullptr) control->stop();
    control.reset();
  };
  // A cache dump that cannot be written at stop goes to the system log too:
  // the service is stopping, and nobody may read its log file for days.
  options.report_failure = [](const char* text) { report_error_event(text); };
  ServerHost host(SettingsStore::machine(), std::move(options));
  stop_controls().attach(host);
  host.start();
  host.run();
  stop_controls().detach();
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
      if (signal_number == SIGINT)
        console_control_handler(0);
      else if (signal_number == SIGQUIT)
        console_control_handler(1);
      else
        stop_server();  // SIGTERM: the service manager's stop control
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
