// pallix: the command-line client of the control channel. Runs one command
// line and returns the exit code. Single-threaded.
#pragma once

namespace norvane {

// Runs the words of `argv` after the program name against the server named
// by a host word, else by the stored default ("Server" under the main key of
// the machine store), else this machine's control channel ($NORVANE_CONTROL,
// else "@norvane_dns_server"). Prints to standard output. Exit codes:
// 0 for usage texts, an unreachable server and failures of add, remove and
// setdefault; add and remove return 4 when done; print returns 0 when the
// listing reached its end (or a request failed) and 1 when the server had no
// record to give; setdefault, gateway, -gateway, routes and -routes return 1.
int pallix_main(int argc, char** argv);

}  // namespace norvane
