// The control channel's server: a SOCK_SEQPACKET UNIX socket at
// $NORVANE_CONTROL (default the abstract name "norvane_dns_server"), one
// thread per connection, each message answered by ControlCommands.
// Thread-safety: start, stop and the hook setters may be called from any one
// thread; the listener and connection threads are internal.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "runtime/settings_store.h"
#include "service/control_commands.h"

namespace norvane {

// At most this many connections are served at once; a further client is
// accepted and closed at once, so a flood of idle connections cannot exhaust
// the server's threads. The last kReservedPrivilegedConnections places are
// kept for privileged peers (those who may write the settings store), and
// one unprivileged user may hold only kMaxConnectionsPerUser, so no local
// user can lock the administrator out. A connection that sends nothing for
// kControlIdleTimeoutMs is closed.
inline constexpr size_t kMaxControlConnections = 64;
inline constexpr size_t kReservedPrivilegedConnections = 8;
inline constexpr size_t kMaxConnectionsPerUser = 8;
inline constexpr int kControlIdleTimeoutMs = 30'000;

// The bounds above, as one value so that tests can shorten them.
struct ControlLimits {
  size_t max_connections = kMaxControlConnections;
  size_t reserved_privileged = kReservedPrivilegedConnections;
  size_t per_user = kMaxConnectionsPerUser;
  int idle_timeout_ms = kControlIdleTimeoutMs;
};

class ControlServer {
 public:
  // `store` is the machine store: the privilege test is made against it and
  // the settings commands write it. Both must outlive the server.
  ControlServer(Engine& engine, SettingsStore& store, ControlLimits limits = {});
  ~ControlServer();  // stops and joins
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Binds the socket at $NORVANE_CONTROL (or the default) and starts the
  // listener thread. False when the socket cannot be bound (for example when
  // another server holds the name) or the server was already started.
  bool start();
  // Binds `address` instead of the environment's ("@name" abstract, else a
  // path); for tests that run several servers.
  bool start(const std::string& address);
  // Sets the stop flag, wakes the listener and every connection (a command
  // that is running finishes first) and joins them all. A path socket is
  // removed. Safe to call more than once.
  void stop();

  // Command 15 (refresh from the primary) calls this; until it is set the
  // command fails with its code. The hook starts the refresh on a thread of
  // its own and returns nonzero when it did.
  void set_refresh_hook(std::function<int()> hook);
  // Routes (commands 31-34) call this with network-order addresses; it
  // returns 1 on success, 0 on failure. Until it is set every route change
  // counts as failed.
  void set_route_hook(
      std::function<int(uint32_t destination, uint32_t mask, uint32_t gateway)> hook);

  // The commands, for callers that answer messages without a socket.
  ControlCommands& commands() { return commands_; }

 private:
  struct Connection {
    int socket = -1;
    // The peer as the kernel saw it at connect time (SO_PEERCRED).
    uid_t uid = 0;
    bool privileged = false;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  // The thread functions catch what escapes their loop, report it and end
  // the thread, never the process.
  void listen_loop();
  void accept_connections();
  void serve(Connection& connection);
  void serve_messages(Connection& connection, std::optional<ControlSession>& session);
  // Joins and frees connections whose thread has ended. Takes connections_lock_.
  void reap_finished();
  // Whether a new connection from `uid` may take a place now.
  bool admits_locked(uid_t uid, bool privileged) const;

  ControlCommands commands_;
  SettingsStore& store_;
  const ControlLimits limits_;
  int listen_socket_ = -1;
  std::string address_;
  // Readable once stop() was called: every thread polls it beside its socket.
  int stop_event_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread listener_;
  std::mutex connections_lock_;
  std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace norvane
