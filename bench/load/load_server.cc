// Runs the server with its stored settings, as the service does, until SIGINT
// or SIGTERM. For load measurements only.
#include <pthread.h>
#include <signal.h>

#include <thread>

#include "service/service_frame.h"

int main() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread signals([&set] {
    int signal_number = 0;
    sigwait(&set, &signal_number);
    norvane::stop_server();
  });
  signals.detach();
  char name[] = "load_server";
  char* argv[] = {name, nullptr};
  return norvane::run_server(1, argv);
}
