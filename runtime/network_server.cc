// The network server: sockets, the listener loop and TCP connection threads.
#include "runtime/network_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "engine/dns_message.h"
#include "engine/dynamic_update.h"
#include "engine/query.h"
#include "engine/text_helpers.h"
#include "runtime/forwarding.h"
#include "runtime/serving_guard.h"

namespace norvane {
namespace {

constexpr size_t kUdpRequestSize = 1536;
constexpr int kUdpBatch = 32;
constexpr int kUdpBatchesPerTurn = 16;

bool set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Sends all of `data`; false when the peer is gone or too slow.
bool send_all(int socket, const uint8_t* data, size_t length) {
  while (length > 0) {
    const ssize_t sent = send(socket, data, length, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// Sends every byte of `pieces` (`left` of them), in as few calls as the
// socket takes; a piece sent in part is resumed where it stopped.
bool send_pieces(int socket, iovec* next, size_t left) {
  while (left > 0) {
    msghdr header{};
    header.msg_iov = next;
    header.msg_iovlen = left;
    ssize_t sent = sendmsg(socket, &header, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    while (left > 0 && static_cast<size_t>(sent) >= next->iov_len) {
      sent -= static_cast<ssize_t>(next->iov_len);
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<uint8_t*>(next->iov_base) + sent;
      next->iov_len -= static_cast<size_t>(sent);
    }
  }
  return true;
}

// Sends one message behind its two-byte length prefix (RFC 1035 section
// 4.2.2) in one call.
bool send_framed(int socket, std::span<const uint8_t> message) {
  uint8_t head[2];
  write_u16(head, static_cast<uint16_t>(message.size()));
  std::array<iovec, 2> pieces{{{head, 2}, {const_cast<uint8_t*>(message.data()), message.size()}}};
  return send_pieces(socket, pieces.data(), pieces.size());
}

// Sends the reply's messages, each behind its length prefix, gathered into as
// few system calls as the socket takes rather than two per message. Adds the
// bytes sent to `sent_total`.
bool send_reply(int socket, const Reply& reply, size_t& sent_total) {
  // Prefixes and pieces for a batch of messages; IOV_MAX is at least 1024.
  constexpr size_t kBatch = 256;
  std::array<std::array<uint8_t, 2>, kBatch> heads;
  std::array<iovec, 2 * kBatch> pieces;
  const size_t count = 1 + reply.continuation.size();
  for (size_t first = 0; first < count; first += kBatch) {
    const size_t batch = std::min(kBatch, count - first);
    for (size_t i = 0; i < batch; ++i) {
      const std::vector<uint8_t>& message =
          first + i == 0 ? reply.message : reply.continuation[first + i - 1];
      write_u16(heads[i].data(), static_cast<uint16_t>(message.size()));
      pieces[2 * i] = {heads[i].data(), 2};
      pieces[2 * i + 1] = {const_cast<uint8_t*>(message.data()), message.size()};
      sent_total += message.size() + 2;
    }
    if (!send_pieces(socket, pieces.data(), 2 * batch)) return false;
  }
  return true;
}

}  // namespace

int network_startup() {
  signal(SIGPIPE, SIG_IGN);
  return 1;
}

int close_socket(int socket) {
  if (socket >= 0) close(socket);
  return -1;
}

uint32_t resolve_host(const char* name) {
  if (name == nullptr || *name == '\0') return 0;
  int valid = 0;
  const uint32_t address = parse_ipv4(name, &valid);
  if (valid) return address;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return INADDR_NONE;
  const uint32_t result = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return result;
}

namespace {

// Binds `fd` to `address` (network order) and `port` (host order).
bool bind_ipv4(int fd, uint32_t address, uint16_t port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = address;
  local.sin_port = htons(port);
  return bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

}  // namespace

int open_udp_socket(uint32_t address, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  if (!bind_ipv4(fd, address, port)) return close_socket(fd);
  return fd;
}

int open_tcp_listener(const char* host, uint16_t port) {
  const uint32_t address = resolve_host(host);
  if (address == INADDR_NONE) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A restart must not wait for old connections in TIME_WAIT; a second live
  // listener on the port is still refused.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (!bind_ipv4(fd, address, port) || listen(fd, 16) != 0) return close_socket(fd);
  return fd;
}

int connect_tcp(uint32_t address, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  set_nonblocking(fd);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = address;
  remote.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    if (errno != EINPROGRESS) return close_socket(fd);
    pollfd wait{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if (poll(&wait, 1, 10'000) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 ||
        error != 0)
      return close_socket(fd);
  }
  const int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

struct NetworkServer::Connection {
  int socket = -1;
  sockaddr_in peer{};
  std::thread thread;
  std::atomic<bool> done{false};
};

NetworkServer::NetworkServer(Engine& engine, LogFile& log_file)
    : engine_(engine), log_file_(log_file), forwarder_(engine) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

NetworkServer::~NetworkServer() {
  server_stop();
  reap_connections(true);
  close_sockets();
  wake_fd_ = close_socket(wake_fd_);
}

bool NetworkServer::open_sockets() {
  const uint16_t port = static_cast<uint16_t>(engine_.settings.port.load());
  udp_ = open_udp_socket(INADDR_ANY, port);
  if (udp_ >= 0) tcp_ = open_tcp_listener(nullptr, port);
  if (udp_ < 0 || tcp_ < 0) {
    engine_.log.write(1, "Error, bind on port %u failed\n", unsigned{port});
    stop_ = true;
    return false;
  }
  if (!forwarder_.open_sockets(port)) {
    engine_.log.write(1, "Error, bind failed\n");
    stop_ = true;
    return false;
  }
  set_nonblocking(udp_);
  set_nonblocking(tcp_);
  port_ = port;
  {
    std::lock_guard<std::mutex> guard(udp_outlet_->lock);
    udp_outlet_->socket = udp_;
  }
  return true;
}

void NetworkServer::log_ready() {
  engine_.log.write(1, "%s %s ready\n", kProductTitle, kProductVersion);
}

void NetworkServer::server_loop() {
  bool reported = false;
  while (!stop_.load()) {
    try {
      if (!serve_turn()) break;
    } catch (...) {
      // Serving goes on; the fault is logged once, not at every turn.
      if (!reported) log_thread_exception(engine_.log, "udp listener");
      reported = true;
    }
  }
  reap_connections(true);
  close_sockets();
}

bool NetworkServer::serve_turn() {
  {
    // The forwarding sockets follow the three fixed ones; their set changes
    // as they are re-opened on new ports.
    std::vector<pollfd> waits{{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    for (const int fd : forwarder_.reply_sockets()) waits.push_back({fd, POLLIN, 0});
    const int ready = poll(waits.data(), waits.size(), kLoopWakeMs);
    if (ready < 0 && errno != EINTR) return false;
    if (stop_.load()) return false;
    const std::time_t now = std::time(nullptr);
    log_file_.log_roll(now);
    // The turn's lines are collected without the log lock and written with
    // the flush at its end, before the next wait.
    TransactionLog::Batch lines(engine_.log);
    // Every source that is ready is served in each turn, in order of
    // precedence, so that a stream of datagrams cannot starve new
    // connections.
    if (ready > 0) {
      // Under load the socket is drained in several batches per turn, so the
      // per-turn work (log switch check, flush) is shared by many requests.
      if (waits[0].revents & POLLIN)
        for (int batch = 0; batch < kUdpBatchesPerTurn && serve_udp() == kUdpBatch; ++batch) {
        }
      for (size_t i = 3; i < waits.size(); ++i) {
        if (!(waits[i].revents & POLLIN)) continue;
        for (int reply = 0; reply < kUdpBatch && forwarder_.relay_udp_reply(waits[i].fd); ++reply) {
        }
      }
      if (waits[1].revents & POLLIN) accept_connection();
    }
    forwarder_.close_retired(now);
    reap_connections(false);
    if (turn_hook_) turn_hook_(now);
    if (engine_.log.level() != 0) engine_.log.flush();
  }
  return true;
}

int NetworkServer::serve_udp() {
  // Requests are taken and answered in batches: one system call each way
  // for up to kUdpBatch datagrams under load.
  thread_local std::vector<std::array<uint8_t, kUdpRequestSize>> requests(kUdpBatch);
  thread_local std::vector<Reply> replies(kUdpBatch);
  std::array<sockaddr_in, kUdpBatch> peers{};
  std::array<iovec, kUdpBatch> in_vectors{};
  std::array<mmsghdr, kUdpBatch> in{};
  for (int i = 0; i < kUdpBatch; ++i) {
    in_vectors[i] = {requests[i].data(), kUdpRequestSize};
    in[i].msg_hdr.msg_name = &peers[i];
    in[i].msg_hdr.msg_namelen = sizeof peers[i];
    in[i].msg_hdr.msg_iov = &in_vectors[i];
    in[i].msg_hdr.msg_iovlen = 1;
  }
  const int received = recvmmsg(udp_, in.data(), kUdpBatch, MSG_DONTWAIT, nullptr);
  if (received <= 0) return 0;
  forwarder_.purge_pending(std::time(nullptr));

  std::array<iovec, kUdpBatch> out_vectors{};
  std::array<mmsghdr, kUdpBatch> out{};
  std::array<int, kUdpBatch> origin{};
  int answers = 0;
  char client[kIpv4TextSize];
  for (int i = 0; i < received; ++i) {
    // A datagram larger than the receive buffer is dropped whole.
    if (in[i].msg_hdr.msg_flags & MSG_TRUNC) continue;
    const size_t length = in[i].msg_len;
    if (engine_.log.enabled(2))
      engine_.log.write(2, "%s udp request len %d\n", format_ipv4(peers[i].sin_addr.s_addr, client),
                        static_cast<int>(length));
    if (length < 1) continue;
    RequestContext context;
    context.socket = udp_;
    context.client_address = peers[i];
    context.server_address = forwarder_.peek_name_server(context.server_port);
    const std::span<uint8_t> request(requests[i].data(), length);
    int result = -1;
    try {
      request_fault_point();
      replies[i].awaits_save = false;
      result = handle_message(engine_, context, replies[i], kUdpReplyLimit, request);
      if (result == 0) forwarder_.forward_udp(context, request);
      // An update's reply leaves once its change is on disk; the listener
      // goes on serving meanwhile.
      if (result > 0 && replies[i].awaits_save) {
        park_udp_update_reply(replies[i], static_cast<size_t>(result), peers[i]);
        continue;
      }
    } catch (const std::bad_alloc&) {
      // Out of memory while answering this request: it is dropped.
      continue;
    }
    if (result <= 0) continue;
    out_vectors[answers] = {replies[i].message.data(), static_cast<size_t>(result)};
    out[answers].msg_hdr.msg_name = &peers[i];
    out[answers].msg_hdr.msg_namelen = sizeof peers[i];
    out[answers].msg_hdr.msg_iov = &out_vectors[answers];
    out[answers].msg_hdr.msg_iovlen = 1;
    origin[answers] = i;
    ++answers;
  }
  int sent = 0;
  while (sent < answers) {
    const int n = sendmmsg(udp_, out.data() + sent, static_cast<unsigned>(answers - sent), 0);
    if (n > 0) {
      if (engine_.log.enabled(2)) {
        for (int k = sent; k < sent + n; ++k) {
          const Reply& reply = replies[origin[k]];
          engine_.log.write(2, "%s udp reply sent len %u xid %u\n",
                            format_ipv4(peers[origin[k]].sin_addr.s_addr, client),
                            static_cast<unsigned>(out[k].msg_len),
                            unsigned{read_u16(reply.message.data())});
        }
      }
      sent += n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // The first datagram of the rest could not be sent: report it and go on
    // with the others.
    engine_.log.write(2, "%s udp reply failed %d\n",
                      format_ipv4(peers[origin[sent]].sin_addr.s_addr, client), n);
    ++sent;
  }
  return received;
}

void NetworkServer::accept_connection() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int fd = accept4(tcp_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::lock_guard<std::mutex> guard(connections_lock_);
    int active = 0;
    int from_peer = 0;
    for (const auto& c : connections_) {
      if (c->done.load()) continue;
      ++active;
      if (c->peer.sin_addr.s_addr == peer.sin_addr.s_addr) ++from_peer;
    }
    if (active >= limits_.max_connections || from_peer >= limits_.max_per_address) {
      // Refused at once: a client beyond the bound gets a closed connection
      // rather than a thread.
      close(fd);
      continue;
    }
    // A client that stops reading must not block its thread for ever.
    timeval send_timeout{limits_.idle_timeout_ms / 1000, (limits_.idle_timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
    auto connection = std::make_unique<Connection>();
    connection->socket = fd;
    connection->peer = peer;
    Connection& ref = *connection;
    try {
      ref.thread = std::thread([this, &ref] { serve_connection(ref); });
    } catch (const std::system_error&) {
      close(fd);
      continue;
    }
    connections_.push_back(std::move(connection));
  }
}

bool NetworkServer::read_exact(int socket, uint8_t* data, size_t length,
                               std::chrono::steady_clock::time_point deadline) {
  while (length > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    std::array<pollfd, 2> waits{{{socket, POLLIN, 0}, {wake_fd_, POLLIN, 0}}};
    // Rounded up, so that the wait does not end just short of the deadline
    // and spin.
    const int ready = poll(waits.data(), waits.size(), static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || stop_.load() || (waits[1].revents & POLLIN)) return false;
    if (ready == 0) continue;
    const ssize_t got = recv(socket, data, length, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

void NetworkServer::serve_connection(Connection& connection) {
  RequestContext context;
  context.socket = connection.socket;
  context.client_address = connection.peer;
  TcpRelay relay;
  Reply reply;
  // A zone transfer's full messages leave while the rest is encoded.
  reply.stream = [&connection](std::span<const uint8_t> message) {
    return send_framed(connection.socket, message);
  };
  std::vector<uint8_t> request;
  char client[kIpv4TextSize];
  format_ipv4(connection.peer.sin_addr.s_addr, client);
  try {
    serve_requests(connection, context, relay, reply, request, client);
  } catch (...) {
    log_thread_exception(engine_.log, "tcp connection");
  }
  relay.upstream = close_socket(relay.upstream);
  close(connection.socket);
  connection.socket = -1;
  if (engine_.log.level() != 0) engine_.log.flush();
  connection.done = true;
}

void NetworkServer::serve_requests(Connection& connection, RequestContext& context, TcpRelay& relay,
                                   Reply& reply, std::vector<uint8_t>& request,
                                   const char* client) {
  while (!stop_.load()) {
    std::array<pollfd, 3> waits{
        {{connection.socket, POLLIN, 0}, {wake_fd_, POLLIN, 0}, {relay.upstream, POLLIN, 0}}};
    const int ready = poll(waits.data(), relay.upstream >= 0 ? 3 : 2, limits_.idle_timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || stop_.load()) break;
    // Each wake-up's lines go to the log in one piece.
    TransactionLog::Batch lines(engine_.log);
    if (waits[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (!serve_tcp_request(connection, context, relay, reply, request, client)) break;
    }
    if (relay.upstream >= 0 && (waits[2].revents & (POLLIN | POLLHUP | POLLERR)))
      relay_tcp_reply(connection, context, relay, client);
  }
}

bool NetworkServer::serve_tcp_request(Connection& connection, RequestContext& context,
                                      TcpRelay& relay, Reply& reply, std::vector<uint8_t>& request,
                                      const char* client) {
  // The whole request, its length prefix included, must be in within the
  // request time of its first byte (RFC 7766 section 6.2.3): the clock does
  // not start again with each byte that trickles in.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(limits_.request_timeout_ms);
  uint8_t prefix[2];
  if (!read_exact(connection.socket, prefix, 2, deadline)) return false;
  const uint16_t length = read_u16(prefix);
  if (length == 0) return false;
  // The prefix stays in front of the body so that a forwarded request goes
  // out as it came in.
  request.resize(length + 2);
  std::memcpy(request.data(), prefix, 2);
  if (!read_exact(connection.socket, request.data() + 2, length, deadline)) return false;
  engine_.log.write(2, "%s tcp request len %d\n", client, static_cast<int>(length));
  context.request_length = length;
  context.server_address = forwarder_.peek_name_server(context.server_port);
  const std::span<uint8_t> body(request.data() + 2, length);
  int result = -1;
  try {
    request_fault_point();
    reply.awaits_save = false;
    result = handle_message(engine_, context, reply, kTcpReplyLimit, body);
    // An update's reply waits for its save; only this connection waits.
    if (result > 0 && reply.awaits_save)
      settle_update_reply(engine_, std::span(reply.message.data(), static_cast<size_t>(result)),
                          engine_.zone.save());
  } catch (const std::bad_alloc&) {
    // Out of memory while answering this request: it is dropped and the
    // connection waits for the next one.
    return true;
  }
  if (result < 0) return false;
  if (result == 0) {
    forward_tcp(context, relay, request);
    return true;
  }
  size_t sent_total = 0;
  if (!send_reply(connection.socket, reply, sent_total)) {
    engine_.log.write(2, "%s tcp rply failed %d\n", client, -1);
    return false;
  }
  engine_.log.write(2, "%s tcp reply sent len %u xid %u\n", client,
                    static_cast<unsigned>(sent_total), unsigned{read_u16(reply.message.data())});
  return true;
}

void NetworkServer::forward_tcp(RequestContext& context, TcpRelay& relay,
                                std::vector<uint8_t>& request) {
  uint16_t port = 0;
  const uint32_t server = forwarder_.next_name_server(port);
  char address[kIpv4TextSize];
  format_ipv4(server, address);
  relay.upstream = close_socket(relay.upstream);
  relay.header.clear();
  relay.remaining = 0;
  relay.client_xid = read_u16(request.data() + 2);
  relay.server_xid = forwarder_.fresh_id(server, port);
  relay.server = server;
  write_u16(request.data() + 2, relay.server_xid);
  context.client_xid = relay.client_xid;
  context.server_xid = relay.server_xid;
  context.forwarded_at = std::time(nullptr);
  relay.upstream = connect_tcp(server, port);
  if (relay.upstream < 0) {
    engine_.log.write(2, "%s tcp forwarding request failed\n", address);
    return;
  }
  if (!send_all(relay.upstream, request.data(), request.size()))
    engine_.log.write(2, "%s tcp forwarding request failed %d\n", address, -1);
}

void NetworkServer::relay_tcp_reply(Connection& connection, RequestContext& context,
                                    TcpRelay& relay, const char* client) {
  uint8_t piece[kUdpRequestSize];
  const ssize_t received = recv(relay.upstream, piece, sizeof piece, MSG_DONTWAIT);
  if (received < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (received <= 0) {
    relay.upstream = close_socket(relay.upstream);
    return;
  }
  char server[kIpv4TextSize];
  format_ipv4(relay.server, server);
  // The stream is passed on as it arrives. Each reply opens with its length
  // and id; a piece may end inside that opening or hold the end of one reply
  // and the start of the next, so the opening is gathered before it is judged.
  size_t at = 0;
  size_t relayed = 0;
  bool ok = true;
  const size_t total = static_cast<size_t>(received);
  while (at < total && ok) {
    if (relay.remaining == 0) {
      while (relay.header.size() < 4 && at < total) relay.header.push_back(piece[at++]);
      if (relay.header.size() < 4) break;
      const size_t whole = size_t{read_u16(relay.header.data())} + 2;
      if (whole < 4) {
        // Not a DNS reply: the stream cannot be followed any further.
        relay.upstream = close_socket(relay.upstream);
        return;
      }
      const uint16_t id = read_u16(relay.header.data() + 2);
      relay.passing = id == relay.server_xid;
      relay.remaining = whole - 4;
      if (relay.passing) {
        engine_.log.write(2, "%s tcp reply received len %u xid %u\n", server,
                          static_cast<unsigned>(total), unsigned{id});
        write_u16(relay.header.data() + 2, relay.client_xid);
        ok = send_all(connection.socket, relay.header.data(), 4);
        relayed += 4;
      }
      relay.header.clear();
      continue;
    }
    const size_t take = std::min(relay.remaining, total - at);
    if (relay.passing) {
      ok = send_all(connection.socket, piece + at, take);
      relayed += take;
    }
    relay.remaining -= take;
    at += take;
  }
  if (!ok) {
    engine_.log.write(2, "%s tcp forwarding reply failed\n", client);
  } else if (relayed > 0) {
    engine_.log.write(2, "%s tcp reply forwarded len %u xid %u\n", client,
                      static_cast<unsigned>(relayed), unsigned{context.client_xid});
  }
}

void NetworkServer::reap_connections(bool all) {
  std::lock_guard<std::mutex> guard(connections_lock_);
  for (auto it = connections_.begin(); it != connections_.end();) {
    Connection& c = **it;
    if (all || c.done.load()) {
      if (c.thread.joinable()) c.thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void NetworkServer::server_stop() {
  stop_ = true;
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    // The counter stays readable, so every waiter sees it, now and later.
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
  }
}

void NetworkServer::park_udp_update_reply(const Reply& reply, size_t length,
                                          const sockaddr_in& peer) {
  auto message = std::make_shared<std::vector<uint8_t>>(
      reply.message.begin(), reply.message.begin() + static_cast<std::ptrdiff_t>(length));
  Engine& engine = engine_;
  engine_.zone.request_save([&engine, message, peer, outlet = udp_outlet_](bool saved) {
    settle_update_reply(engine, *message, saved);
    std::lock_guard<std::mutex> guard(outlet->lock);
    if (outlet->socket < 0) return;
    const ssize_t sent = sendto(outlet->socket, message->data(), message->size(), MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    char client[kIpv4TextSize];
    if (engine.log.enabled(2))
      engine.log.write(2, "%s udp reply sent len %d xid %u\n",
                       format_ipv4(peer.sin_addr.s_addr, client), static_cast<int>(sent),
                       unsigned{read_u16(message->data())});
  });
}

void NetworkServer::close_sockets() {
  {
    std::lock_guard<std::mutex> guard(udp_outlet_->lock);
    udp_outlet_->socket = -1;
  }
  udp_ = close_socket(udp_);
  tcp_ = close_socket(tcp_);
  forwarder_.close_sockets();
}

}  // namespace norvane
