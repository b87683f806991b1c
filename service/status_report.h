// Status reports to the service manager: the service's state record, the
// checkpoint counter, and the sd_notify datagrams that carry each report.
// Thread-safe: the service thread and the stop control report concurrently.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace norvane {

enum class ServiceState : uint32_t {
  kStopped = 1,
  kStartPending = 2,
  kStopPending = 3,
  kRunning = 4,
};

inline constexpr uint32_t kServiceOwnProcess = 16;
inline constexpr uint32_t kAcceptStop = 1;
// The wait hint of the start and stop reports, in milliseconds.
inline constexpr uint32_t kPendingWaitHintMs = 3000;

// The service's state as last reported.
struct ServiceStatus {
  uint32_t service_type = kServiceOwnProcess;
  ServiceState current_state = ServiceState::kStopped;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t checkpoint = 0;
  uint32_t wait_hint = 0;
};

// The sd_notify datagram for `status`: assignments separated by "\n".
// START_PENDING: "STATUS=" with the checkpoint and "EXTEND_TIMEOUT_USEC=" from
// the wait hint; RUNNING: "READY=1"; STOP_PENDING: "STOPPING=1", the
// checkpoint and the extension; STOPPED: a "STATUS=" line only. Every report updates STATUS= so
// that `systemctl status` never shows a stale phase.
std::string notify_message(const ServiceStatus& status);

class StatusReporter {
 public:
  StatusReporter() = default;
  StatusReporter(const StatusReporter&) = delete;
  StatusReporter& operator=(const StatusReporter&) = delete;

  // Takes the service manager's notification address (the NOTIFY_SOCKET
  // value: a path starting with "/", or "@" for an abstract name). Null or
  // empty: the manager asked for no reports, and every report succeeds
  // without sending. False when the address cannot be used (any other form,
  // or too long for a UNIX socket address); reports then fail.
  bool register_handler(const char* notify_socket);

  // Records the report (state, exit code, wait hint in ms) and sends it.
  // Controls accepted: none while starting, else stop. Checkpoint: 0 for
  // RUNNING and STOPPED, else the counter's value, which then grows by one;
  // the counter starts at 1 and is never reset. On a failed send writes the
  // event entry "SetServiceStatus". Returns whether the report was
  // delivered. In console mode returns true and touches nothing; before
  // register_handler and after STOPPED returns false and touches nothing.
  // START_PENDING and RUNNING after a stop control (current state
  // STOP_PENDING) return true without a report: the stop stands.
  bool report_service_status(ServiceState state, uint32_t exit_code, uint32_t wait_hint);

  // Sets the current state without a report (the stop control does this
  // before it stops the server).
  void set_current_state(ServiceState state);

  ServiceStatus status() const;

 private:
  bool send(const std::string& message) const;

  mutable std::mutex lock_;
  ServiceStatus status_;
  uint32_t checkpoint_ = 1;
  bool registered_ = false;
  bool stopped_reported_ = false;
  bool usable_ = false;
  bool send_reports_ = false;
  // The notification address as the kernel takes it: a path, or an
  // abstract name behind its leading zero byte.
  std::string address_;
};

}  // namespace norvane
