// The server thread of the windowed program: owns the server host and runs
// its start and serve loop on one std::thread. start, stop_and_join and the
// destructor belong to the GUI thread; the host's observer is called on the
// server thread.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "runtime/server_host.h"

namespace norvane {

class ServerThread {
 public:
  // How long the exit sequence waits for the stop (cache dump saved, log
  // closed) before it gives up on the thread.
  static constexpr std::chrono::seconds kStopBound{10};

  // A host serving the settings of `store`. `observer` (may be null, must
  // outlive the thread) hears the host's ready and stopped reports on the
  // server thread.
  ServerThread(SettingsStore store, ServerObserver* observer);
  // Stops and joins within kStopBound.
  ~ServerThread();
  ServerThread(const ServerThread&) = delete;
  ServerThread& operator=(const ServerThread&) = delete;

  // The engine the host serves. Its members carry their own locks.
  Engine& engine() { return host_->engine(); }
  // The host, for what reaches its running parts (the refresher).
  ServerHost& host() { return *host_; }

  // Starts the thread: the host's start, then its loop until stopped.
  // False when the thread cannot be created.
  bool start();
  // Asks the host to stop (also before or during its start) and waits up to
  // `bound` for the thread to end. True when it ended and was joined; false
  // when it is still running: it is then detached and the host is left to
  // it, since freeing the engine under a running thread would be worse than
  // leaving it to the process exit.
  bool stop_and_join(std::chrono::milliseconds bound = kStopBound);
  bool running() const { return thread_.joinable(); }

 private:
  std::unique_ptr<ServerHost> host_;
  std::thread thread_;
  std::future<void> finished_;
};

}  // namespace norvane
