// Registration of the DNS service with systemd: the unit file
// DNSserver.service and the systemctl calls that install, start, stop and
// remove it, with the console texts of each step. Not thread-safe; install
// and remove run in a short-lived process of their own.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "service/status_report.h"

namespace norvane {

// Where the unit goes and how the service manager is reached. The defaults
// are the system's own; tests move them.
struct ServiceManager {
  // The folder of DNSserver.service.
  std::string unit_directory = "/etc/systemd/system";
  // The systemctl program: a name looked up on PATH, or a path.
  std::string systemctl = "systemctl";
  // The stop wait: one pause after the stop request, then at most
  // `max_polls` further pauses while the service is still stopping.
  std::chrono::milliseconds poll_interval{1000};
  int max_polls = 30;
  // Where the console texts go.
  std::FILE* out = stdout;
  // The folders the service may write besides its state directory: the data
  // directory and the machine store, as the running program finds them.
  std::string data_directory = "/var/lib/norvane";
  std::string settings_store = "/etc/norvane";

  // The defaults with NORVANE_UNIT_DIR applied when it is set and not empty,
  // and the machine store and data directory this program would use.
  static ServiceManager from_environment();

  std::string unit_path() const;
};

// The paths filled into the unit: all absolute.
struct UnitPaths {
  std::string program;
  std::string data_directory;
  std::string settings_store;
};

// The unit file from the one unit template shared with the package, with the
// program in ExecStart= and the data directory and store in ReadWritePaths=
// (final "/" dropped). An empty text when a path is not absolute or systemd
// could not take it (a control character, a quote or a backslash in it). A
// path with blanks is quoted and a "%" doubled, as systemd's syntax asks.
std::string unit_file_text(const UnitPaths& paths);

// Writes the unit for the running program, makes systemd load and enable it
// and starts the service, printing "DNS Server installed." and
// "DNS Server started." or the failure line of the step that failed. A unit
// that is already there is left alone ("service installation failed" with
// the text of EEXIST); a unit written by a run whose systemctl steps failed
// is removed again, so a failed run leaves nothing behind.
void install_service(const ServiceManager& manager);

// Stops the service (stop_and_wait), disables it and deletes the unit,
// printing the texts of each step. The deletion is tried whatever the stop
// gave.
void remove_service(const ServiceManager& manager);

// Asks systemd to stop the service and waits for it: prints
// "Stopping DNS Server." when the request was accepted, then a dot for every
// poll that still finds the service stopping. Prints and returns whether it
// ended stopped ("\nDNS Server stopped.\n") or not
// ("\nDNS Server failed to stop.\n").
bool stop_and_wait(const ServiceManager& manager);

// The state that `systemctl is-active` printed: "inactive" and "failed" are
// STOPPED, "deactivating" STOP_PENDING, "activating" START_PENDING, "active",
// "reloading" and "refreshing" RUNNING; anything else is no state.
bool parse_active_state(const std::string& text, ServiceState& state);

}  // namespace norvane
