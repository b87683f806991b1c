// Status reports over the sd_notify datagram protocol, spoken directly: one
// UNIX datagram per report to the address in NOTIFY_SOCKET.
#include "service/status_report.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "service/event_log.h"
#include "service/service_identity.h"

namespace norvane {
namespace {

std::string extend_timeout(uint32_t wait_hint_ms) {
  return "EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{wait_hint_ms} * 1000);
}

}  // namespace

std::string notify_message(const ServiceStatus& status) {
  const std::string display = kDisplayName;
  switch (status.current_state) {
    case ServiceState::kStartPending: {
      std::string message =
          "STATUS=Starting " + display + " (checkpoint " + std::to_string(status.checkpoint) + ")";
      if (status.wait_hint != 0) message += "\n" + extend_timeout(status.wait_hint);
      return message;
    }
    case ServiceState::kRunning:
      return "READY=1\nSTATUS=" + display + " running";
    case ServiceState::kStopPending: {
      std::string message = "STOPPING=1\nSTATUS=Stopping " + display + " (checkpoint " +
                            std::to_string(status.checkpoint) + ")";
      if (status.wait_hint != 0) message += "\n" + extend_timeout(status.wait_hint);
      return message;
    }
    case ServiceState::kStopped:
      break;
  }
  return "STATUS=" + display + " stopped";
}

bool StatusReporter::register_handler(const char* notify_socket) {
  std::lock_guard<std::mutex> guard(lock_);
  registered_ = true;
  usable_ = false;
  send_reports_ = false;
  if (notify_socket == nullptr || notify_socket[0] == '\0') {
    usable_ = true;
    return true;
  }
  const size_t length = std::strlen(notify_socket);
  // A path needs its terminating zero inside sun_path; an abstract name is
  // counted by the address length and needs none.
  const bool abstract = notify_socket[0] == '@';
  if ((notify_socket[0] != '/' && !abstract) || length < 2 ||
      length + (abstract ? 0 : 1) > sizeof(sockaddr_un{}.sun_path)) {
    errno = EINVAL;
    return false;
  }
  address_.assign(notify_socket, length);
  if (abstract) address_[0] = '\0';
  usable_ = true;
  send_reports_ = true;
  return true;
}

bool StatusReporter::send(const std::string& message) const {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, address_.data(), address_.size());
  const bool abstract = address_[0] == '\0';
  const auto address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                                     address_.size() + (abstract ? 0 : 1));
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // A full receive queue on the manager's side must not stall the stop
  // control; the report then fails like any other.
  const ssize_t sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                              reinterpret_cast<const sockaddr*>(&address), address_length);
  const int code = errno;
  close(fd);
  errno = code;
  return sent == static_cast<ssize_t>(message.size());
}

bool StatusReporter::report_service_status(ServiceState state, uint32_t exit_code,
                                           uint32_t wait_hint) {
  if (console_mode()) return true;
  bool delivered = false;
  {
    // The datagram goes out under the lock (it never blocks), so the manager
    // receives the reports in the order the record took them.
    std::lock_guard<std::mutex> guard(lock_);
    // Before registration there is no one to report to: a stop control that
    // races the service's start, or a program that runs the server without
    // the service frame. After STOPPED the service is gone for the manager.
    if (!registered_ || stopped_reported_) return false;
    // A stop control during the start-up wins: the start reports that follow
    // it would tell the manager the service is starting or ready again. The
    // start goes on and finds the server stopped at once.
    const bool starting = state == ServiceState::kStartPending || state == ServiceState::kRunning;
    if (starting && status_.current_state == ServiceState::kStopPending) return true;
    status_.service_type = kServiceOwnProcess;
    status_.current_state = state;
    status_.win32_exit_code = exit_code;
    status_.service_specific_exit_code = 0;
    status_.wait_hint = wait_hint;
    status_.controls_accepted = state == ServiceState::kStartPending ? 0 : kAcceptStop;
    status_.checkpoint =
        state == ServiceState::kRunning || state == ServiceState::kStopped ? 0 : checkpoint_++;
    if (state == ServiceState::kStopped) stopped_reported_ = true;
    if (!usable_) {
      errno = ENOTCONN;
    } else {
      delivered = !send_reports_ || send(notify_message(status_));
    }
  }
  if (!delivered) report_error_event("SetServiceStatus");
  return delivered;
}

void StatusReporter::set_current_state(ServiceState state) {
  std::lock_guard<std::mutex> guard(lock_);
  status_.current_state = state;
}

ServiceStatus StatusReporter::status() const {
  std::lock_guard<std::mutex> guard(lock_);
  return status_;
}

}  // namespace norvane
