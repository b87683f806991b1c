// Error entries of the service in the system log (syslog, ident "DNSserver",
// facility daemon, priority error), the text of the last system error, and
// the console mode flag that silences entries and status reports.
// Thread-safe: entries may be written from any thread.
#pragma once

#include <string>

namespace norvane {

// Console mode: set by "-debug" before anything else runs. While it is set
// no event entries and no status reports are made.
void set_console_mode(bool on);
bool console_mode();

// The first string of every entry: "DNSserver error: <code>" with the
// decimal system error code.
std::string event_heading(int error_code);

// Writes one error entry: the heading for the errno current at the call,
// then ": ", then `text`. Takes errno before anything else can change it and
// leaves it as it was. Nothing in console mode.
void report_error_event(const char* text);

// The text of the errno current at the call as "message (0xcode)", the code
// in hexadecimal. Leaves errno as it was.
std::string system_error_text();
// The same for a given error code.
std::string system_error_text(int error_code);

}  // namespace norvane
