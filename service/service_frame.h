// The frame of the ostrum program: the command line, the service entry point
// and its status reports, console mode, and the stop controls, which reach
// the server host of the run in progress. Signals are taken by one thread with
// sigwait; handlers never do real work.
#pragma once

#include "service/service_identity.h"

namespace norvane {

// The stop and shutdown controls of the service manager; SIGTERM arrives as
// the stop control.
inline constexpr int kServiceControlStop = 1;
inline constexpr int kServiceControlShutdown = 5;

// Runs the whole program for `argv`; returns the exit code (always 0).
int ostrum_main(int argc, char** argv);

// Whether `argument` is the switch `name`: the same word without regard to
// case, nothing more and nothing less.
bool is_switch(const char* argument, const char* name);

// Prints the five usage lines.
void print_usage();

// The dispatcher, after the usage lines: when the service manager started
// the program (NOTIFY_SOCKET or INVOCATION_ID is set) runs service_main on a
// thread of its own and takes SIGTERM on this one as the stop control until
// it returns; otherwise writes the event entry
// "StartServiceCtrlDispatcher failed.". Returns 0.
int run_dispatcher(int argc, char** argv);

// The service entry point: registers for reports and controls, reports
// START_PENDING and runs start_service, and at the end reports STOPPED. When
// the reports cannot be registered returns at once without a report.
void service_main(int argc, char** argv);

// Reports START_PENDING and RUNNING, then runs the server. When either
// report fails writes "Unable to start service" and does not run it.
void start_service(int argc, char** argv);

// Console mode: prints the debugging line, takes Ctrl+C and Ctrl+\ as stop
// requests and runs the server until it stops. Returns 0.
int run_console(int argc, char** argv);

// The start-up, serve and shut-down sequence: one ServerHost on the machine
// store with the control channel attached, console mode for "-debug".
// Returns 0.
int run_server(int argc, char** argv);

// A service control: the stop and shutdown controls set STOP_PENDING and stop
// the server; every other control is ignored.
void service_control_handler(int control);

// A console event: 0 for Ctrl+C, 1 for Ctrl+Break (Ctrl+\ here). Prints
// "Stopping DNS Server." and stops the server for those two; returns whether
// it handled the event.
bool console_control_handler(int event);

// Asks the running server to stop (or the one about to start, which then
// stops at once) and reports STOP_PENDING. Safe from any thread.
void stop_server();

}  // namespace norvane
