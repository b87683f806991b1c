// Error entries in the system log. Thread-safe: glibc's syslog serialises
// its own writes; the log is opened once for the whole process.
#include "service/event_log.h"

#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "service/service_identity.h"

namespace norvane {
namespace {

std::atomic<bool> console_mode_flag{false};
std::once_flag syslog_opened;

}  // namespace

void set_console_mode(bool on) { console_mode_flag = on; }
bool console_mode() { return console_mode_flag.load(); }

std::string event_heading(int error_code) {
  return std::string(kServiceName) + " error: " + std::to_string(error_code);
}

void report_error_event(const char* text) {
  const int code = errno;
  if (console_mode()) return;
  // openlog keeps the pointer, so the ident must be a literal that lives for
  // the whole process. The log is never closed: an entry written from one
  // thread while another closes it would be dropped.
  std::call_once(syslog_opened, [] { openlog(kServiceName, LOG_PID, LOG_DAEMON); });
  syslog(LOG_DAEMON | LOG_ERR, "%s: %s", event_heading(code).c_str(), text != nullptr ? text : "");
  errno = code;
}

std::string system_error_text(int error_code) {
  char message[256];
  // The GNU strerror_r returns its text, which need not be in `message`.
  const char* text = strerror_r(error_code, message, sizeof message);
  char line[320];
  std::snprintf(line, sizeof line, "%s (0x%x)", text, static_cast<unsigned>(error_code));
  return line;
}

std::string system_error_text() {
  const int code = errno;
  std::string text = system_error_text(code);
  errno = code;
  return text;
}

}  // namespace norvane
