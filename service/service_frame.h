// The frame of the ostrum program: the command line, console mode, the
// start-up, serve and shut-down sequence, and the stop controls. Signals are
// taken by one thread with sigwait; handlers never do real work.
#pragma once

namespace norvane {

inline constexpr const char* kServiceName = "DNSserver";
inline constexpr const char* kDisplayName = "DNS Server";
inline constexpr const char* kServiceDescription = "Resolves Internet names to IP addresses";

// Runs the whole program for `argv`; returns the exit code.
int ostrum_main(int argc, char** argv);

// Console mode: prints the debugging line, takes Ctrl+C and Ctrl+\ as stop
// requests and runs the server until it stops. Returns 0.
int run_console(int argc, char** argv);

// The start-up, serve and shut-down sequence. Returns 0.
int run_server(int argc, char** argv);

// A console event: 0 for Ctrl+C, 1 for Ctrl+Break (Ctrl+\ here). Prints
// "Stopping DNS Server." and stops the server for those two; returns whether
// it handled the event.
bool console_control_handler(int event);

// Asks the running server to stop.
void stop_server();

}  // namespace norvane
