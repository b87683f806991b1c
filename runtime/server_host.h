// The server host: one engine and its running parts (log file, network server,
// zone refresher, address watcher) taken through the start-up, serve and
// shut-down sequence. A program runs one host per server start; several hosts
// may live in one process. Thread-safety: start and run are called on one
// thread (the server thread); stop may be called from any thread at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>

#include "engine/engine.h"
#include "runtime/auto_config.h"
#include "runtime/log_file.h"
#include "runtime/network_server.h"
#include "runtime/settings_store.h"
#include "runtime/zone_refresh.h"

namespace norvane {

// What a program hears from its host. Both calls come on the server thread;
// an implementation that drives a window posts them on to its own thread.
class ServerObserver {
 public:
  virtual ~ServerObserver() = default;
  // Start-up has finished: `listening` tells whether the UDP and TCP
  // listeners on `port` (the configured port) and the forwarding socket
  // opened. When they did not, run() returns at once.
  virtual void on_ready(uint16_t port, bool listening) = 0;
  // The shut-down sequence has finished; the host serves no more.
  virtual void on_stopped() = 0;
};

struct ServerHostOptions {
  // Console mode: the log level is raised to at least 2 and lines go to
  // `console_stream` instead of the dated log file.
  bool console = false;
  std::FILE* console_stream = stdout;
  // Where the lines of the start-up go until the log file opens (not owned).
  std::FILE* startup_stream = stderr;
  // Not owned; may be null.
  ServerObserver* observer = nullptr;
  // Called once at the end of start(), after the sockets opened (or failed
  // to) and before the observer's on_ready: the program attaches the
  // services that reach the host from outside (the control channel), which
  // must never serve a server that is not running.
  std::function<void(class ServerHost&)> attach;
  // Called once at the very end of the shut-down sequence, after the log
  // file closed and before on_stopped: the attached services end here.
  std::function<void()> detach;
  // Called on the server thread with a one-line text for a failure of the
  // shut-down sequence that loses data (the cache dump could not be
  // written), after the failure's log line; errno is the failure's. The
  // service makes a system log entry of it. May be empty.
  std::function<void(const char* text)> report_failure;
};

class ServerHost {
 public:
  // `store` holds the settings; the host keeps it for its whole life.
  ServerHost(SettingsStore store, ServerHostOptions options);
  // Runs the shut-down sequence when start() ran and run() did not.
  ~ServerHost();
  ServerHost(const ServerHost&) = delete;
  ServerHost& operator=(const ServerHost&) = delete;

  // The start-up sequence: writes the program path into the store, reads the
  // settings, opens the log, loads the zone file (else imports the hosts
  // file, or refreshes from the primary), loads the cache dump, starts
  // auto-configuration and opens the sockets, writing the ready line. A stop
  // requested before or during start-up makes run() return at once; the
  // sequence itself still completes. Returns whether the sockets opened;
  // false too when called a second time (a host is started once).
  bool start();

  // Serves until stop() is called or the sockets failed, then runs the
  // shut-down sequence: the server stops, the refresher and the watcher end,
  // the cache dump is saved (a dump that cannot be written is logged and
  // reported through report_failure) and the log file closes. Returns at once, doing
  // nothing, when start() did not run or run() already ran.
  void run();

  // Asks the host to stop: wakes run()'s loop, or makes a later run() return
  // at once. Returns without waiting. Safe from any thread, more than once.
  void stop();
  bool stop_requested() const;

  // Starts a refresh from the primary on the refresher's thread; false when
  // one is running, the host is not started, or it is shutting down.
  bool zone_refresh_start();

  // The engine served: valid for the host's whole life, readable by other
  // threads under the engine's own locks.
  Engine& engine() { return engine_; }
  SettingsStore& store() { return store_; }
  // The port the listeners are bound to; 0 until they are.
  uint16_t port() const;

 private:
  void shut_down();
  void save_cache_dump();

  SettingsStore store_;
  ServerHostOptions options_;
  Engine engine_;
  LogFile log_file_;
  ZoneRefresher refresher_;
  std::unique_ptr<AddressWatcher> watcher_;
  // Owned by the server thread.
  bool started_ = false;
  bool finished_ = false;
  // Whether start-up has finished and shut-down not begun: refreshes asked
  // for from other threads are taken only then.
  std::atomic<bool> serving_{false};
  // Guards server_ and stop_requested_ against stop() from other threads.
  mutable std::mutex stop_lock_;
  std::unique_ptr<NetworkServer> server_;
  bool stop_requested_ = false;
};

}  // namespace norvane
