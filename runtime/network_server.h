// The network server: the UDP and TCP listeners on the DNS port, the listener
// loop and one thread per TCP connection. Thread-safety: server_loop runs on
// one thread (the listener thread); server_stop may be called from any thread
// and wakes the loop and every connection thread through one event descriptor.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/query.h"
#include "runtime/forwarding.h"
#include "runtime/log_file.h"

namespace norvane {

// Prepares the process for networking: a peer that closes its connection must
// not kill the process with SIGPIPE. Returns 1.
int network_startup();

// Closes a valid descriptor and returns -1 for the caller to store.
int close_socket(int socket);

// The IPv4 address of a host name (network order): 0 for an absent or empty
// name, the address of a dotted quad, else the first IPv4 address the
// system's lookup gives; INADDR_NONE (all bits set) when that fails.
uint32_t resolve_host(const char* name);

// A UDP socket bound to `address` (network order) and `port`, broadcast
// allowed; -1 on failure.
int open_udp_socket(uint32_t address, uint16_t port);
// A TCP socket bound to resolve_host(host) and `port`, listening; -1 on failure.
int open_tcp_listener(const char* host, uint16_t port);
// A TCP connection to address:port (network order address) that gets 10
// seconds to complete; -1 on failure.
int connect_tcp(uint32_t address, uint16_t port);

class NetworkServer {
 public:
  // TCP connections are bounded in number and closed when idle, so that idle
  // or slow clients cannot hold every thread (RFC 7766 section 6.2.3 and
  // 6.2.4: servers manage their resources and close idle connections; a few
  // seconds of idle time is what it recommends). A request must arrive whole
  // within kTcpRequestTimeoutMs of its first byte, however the bytes trickle
  // in, so a client cannot hold its place by sending a byte now and then;
  // and one client address may hold only kMaxTcpPerAddress places, so one
  // host cannot take all of them.
  static constexpr int kMaxTcpConnections = 64;
  static constexpr int kMaxTcpPerAddress = 16;
  static constexpr int kTcpIdleTimeoutMs = 10'000;
  static constexpr int kTcpRequestTimeoutMs = 10'000;
  // How long the listener loop waits for traffic before it turns anyway.
  static constexpr int kLoopWakeMs = 30'000;

  // The bounds above, as one value so that tests can shorten them.
  struct TcpLimits {
    int max_connections = kMaxTcpConnections;
    int max_per_address = kMaxTcpPerAddress;
    int idle_timeout_ms = kTcpIdleTimeoutMs;
    int request_timeout_ms = kTcpRequestTimeoutMs;
  };

  NetworkServer(Engine& engine, LogFile& log_file);
  ~NetworkServer();
  NetworkServer(const NetworkServer&) = delete;
  NetworkServer& operator=(const NetworkServer&) = delete;

  // Opens the UDP listener, the TCP listener (both on any address and the
  // configured port) and the forwarding sockets; logs the bind error and sets
  // the stop flag when one fails. Returns whether all opened.
  bool open_sockets();
  // Writes the ready line when the log is open.
  void log_ready();

  // Serves until the stop flag is set; returns at once when it already is.
  void server_loop();
  // Sets the stop flag and wakes the loop and every connection thread, which
  // close their own sockets; the loop closes the listeners when it ends (the
  // destructor when it never ran). Safe from any thread; never closes a
  // descriptor another thread may be waiting on.
  void server_stop();
  bool stopping() const { return stop_.load(); }

  // Replaces the TCP bounds; call before server_loop.
  void set_tcp_limits(const TcpLimits& limits) { limits_ = limits; }

  // Called at every turn of the loop with the time (secondary refresh).
  void set_turn_hook(std::function<void(std::time_t)> hook) { turn_hook_ = std::move(hook); }

  // The port the listeners are bound to (0 before open_sockets).
  uint16_t port() const { return port_; }

 private:
  struct Connection;
  // The upstream side of a client connection whose request was forwarded.
  struct TcpRelay {
    int upstream = -1;
    uint32_t server = 0;
    uint16_t client_xid = 0;
    uint16_t server_xid = 0;
    // Bytes of the current reply still to pass (0: the next byte opens one).
    size_t remaining = 0;
    // The opening (length and id) of the next reply, gathered across pieces.
    std::vector<uint8_t> header;
    // Whether the current reply is the one asked for (others are skipped).
    bool passing = false;
  };

  // One turn of the listener loop; false when the loop is to end.
  bool serve_turn();
  // Receives and answers one batch of datagrams; returns how many arrived.
  int serve_udp();
  void accept_connection();
  void serve_connection(Connection& connection);
  // The request loop of one connection (serve_connection's body).
  void serve_requests(Connection& connection, RequestContext& context, TcpRelay& relay,
                      Reply& reply, std::vector<uint8_t>& request, const char* client);
  // Reads one request from the client and answers or forwards it; false
  // when the connection is to end.
  bool serve_tcp_request(Connection& connection, RequestContext& context, TcpRelay& relay,
                         Reply& reply, std::vector<uint8_t>& request, const char* client);
  // Sends `request` (with its length prefix) to the next external server on
  // a new upstream connection, replacing the relay's earlier one.
  void forward_tcp(RequestContext& context, TcpRelay& relay, std::vector<uint8_t>& request);
  // Passes what the upstream connection delivers on to the client, piece by
  // piece, with the client's id put back; replies with another id are
  // skipped whole.
  void relay_tcp_reply(Connection& connection, RequestContext& context, TcpRelay& relay,
                       const char* client);
  void reap_connections(bool all);
  void close_sockets();
  // Hands the reply of a dynamic update over UDP to the zone writer, which
  // sends it to `peer` once its change is saved (Reply::awaits_save).
  void park_udp_update_reply(const Reply& reply, size_t length, const sockaddr_in& peer);
  // Reads exactly `length` bytes; false on end of stream, error, stop or
  // when `deadline` passes first.
  bool read_exact(int socket, uint8_t* data, size_t length,
                  std::chrono::steady_clock::time_point deadline);

  Engine& engine_;
  LogFile& log_file_;
  std::atomic<bool> stop_{false};
  int wake_fd_ = -1;
  int udp_ = -1;
  int tcp_ = -1;
  uint16_t port_ = 0;
  std::function<void(std::time_t)> turn_hook_;
  TcpLimits limits_;
  Forwarder forwarder_;
  // The UDP listener as the zone writer's thread sees it when it sends the
  // parked replies of updates: the socket is marked closed under the lock
  // before the listener closes it, so a late reply is dropped rather than
  // sent on a descriptor that may have been reused.
  struct UdpOutlet {
    std::mutex lock;
    int socket = -1;
  };
  std::shared_ptr<UdpOutlet> udp_outlet_ = std::make_shared<UdpOutlet>();
  std::mutex connections_lock_;
  std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace norvane
