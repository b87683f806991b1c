// The network server run in-process on loopback, driven over real sockets:
// forwarding over UDP and TCP at once to a small upstream (the pending table
// is shared between the listener and connection threads, so this suite is
// the one to run under AddressSanitizer), and TCP clients that trickle their
// requests in one byte at a time.
#include "runtime/network_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/log_file.h"
#include "tests/test_support.h"

namespace norvane {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

sockaddr_in loopback_address(uint16_t port, const char* host = "127.0.0.1") {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, host, &address.sin_addr);
  return address;
}

uint16_t bound_port(int fd) {
  sockaddr_in bound{};
  socklen_t size = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
  return ntohs(bound.sin_port);
}

// A port free for both UDP and TCP on loopback.
uint16_t free_port() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    Fd udp(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in any = loopback_address(0, "0.0.0.0");
    if (bind(udp.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) continue;
    const uint16_t port = bound_port(udp.get());
    Fd tcp(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in same = loopback_address(port, "0.0.0.0");
    if (bind(tcp.get(), reinterpret_cast<sockaddr*>(&same), sizeof same) == 0) return port;
  }
  return 0;
}

// A query for `name` type A, recursion desired, written byte by byte.
Bytes make_query(uint16_t id, const std::string& name) {
  Bytes query = {
      static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t start = 0;
  while (start < name.size()) {
    const size_t dot = std::min(name.find('.', start), name.size());
    query.push_back(static_cast<uint8_t>(dot - start));
    query.insert(query.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                 name.begin() + static_cast<std::ptrdiff_t>(dot));
    start = dot + 1;
  }
  query.insert(query.end(), {0, 0, 1, 0, 1});
  return query;
}

Bytes framed(const Bytes& message) {
  Bytes out(message.size() + 2);
  out[0] = static_cast<uint8_t>(message.size() >> 8);
  out[1] = static_cast<uint8_t>(message.size());
  std::copy(message.begin(), message.end(), out.begin() + 2);
  return out;
}

using test_support::send_all;

bool read_exact(int fd, uint8_t* data, size_t length, milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (length > 0) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) return false;
    const ssize_t got = recv(fd, data, length, 0);
    if (got <= 0) return false;
    data += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

std::optional<Bytes> read_framed(int fd, milliseconds wait = milliseconds(5'000)) {
  uint8_t prefix[2];
  if (!read_exact(fd, prefix, 2, wait)) return std::nullopt;
  Bytes message(size_t{prefix[0]} << 8 | prefix[1]);
  if (!read_exact(fd, message.data(), message.size(), wait)) return std::nullopt;
  return message;
}

uint16_t id_of(const Bytes& message) {
  return message.size() < 2 ? 0 : static_cast<uint16_t>(message[0] << 8 | message[1]);
}

// Whether the peer has closed `fd` (end of stream or reset), without waiting.
bool closed_now(int fd) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, 0) != 1) return false;
  uint8_t scratch[512];
  return recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) <= 0;
}

Fd connect_from(const char* source, uint16_t port) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in local = loopback_address(0, source);
  const sockaddr_in remote = loopback_address(port);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0)
    return {};
  const int on = 1;
  setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// An upstream name server on loopback that answers every query, over UDP
// and TCP, with the query itself turned into a reply (same id and question,
// no records). One thread; a TCP client gets one reply and a close.
class Upstream {
 public:
  Upstream() {
    const sockaddr_in any = loopback_address(0);
    udp_ = Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    bind(udp_.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    port_ = bound_port(udp_.get());
    tcp_ = Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    setsockopt(tcp_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in same = loopback_address(port_);
    if (bind(tcp_.get(), reinterpret_cast<const sockaddr*>(&same), sizeof same) != 0 ||
        listen(tcp_.get(), 64) != 0)
      port_ = 0;
    thread_ = std::thread([this] { serve(); });
  }
  ~Upstream() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return port_; }

 private:
  static void make_reply(Bytes& message) {
    if (message.size() >= 12) message[2] |= 0x80;
  }
  void serve() {
    while (!stop_.load()) {
      std::array<pollfd, 2> waits{{{udp_.get(), POLLIN, 0}, {tcp_.get(), POLLIN, 0}}};
      if (poll(waits.data(), waits.size(), 100) <= 0) continue;
      if (waits[0].revents & POLLIN) {
        Bytes message(1536);
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t got = recvfrom(udp_.get(), message.data(), message.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &size);
        if (got > 0) {
          message.resize(static_cast<size_t>(got));
          make_reply(message);
          sendto(udp_.get(), message.data(), message.size(), 0,
                 reinterpret_cast<const sockaddr*>(&from), size);
        }
      }
      if (waits[1].revents & POLLIN) {
        Fd client(accept4(tcp_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) continue;
        std::optional<Bytes> message = read_framed(client.get(), milliseconds(2'000));
        if (!message) continue;
        make_reply(*message);
        send_all(client.get(), framed(*message));
      }
    }
  }

  Fd udp_;
  Fd tcp_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One NetworkServer on a free port with its loop on a thread of its own.
class RunningServer {
 public:
  explicit RunningServer(const NetworkServer::TcpLimits& limits, uint16_t upstream_port = 0)
      : log_file_(engine_) {
    engine_.log.set_level(0);
    port_ = free_port();
    engine_.settings.port.store(port_);
    if (upstream_port != 0)
      engine_.settings.external_servers.set(
          {ExternalServer{htonl(INADDR_LOOPBACK), upstream_port}});
    server_ = std::make_unique<NetworkServer>(engine_, log_file_);
    server_->set_tcp_limits(limits);
    opened_ = server_->open_sockets();
    if (opened_) loop_ = std::thread([this] { server_->server_loop(); });
  }
  ~RunningServer() {
    server_->server_stop();
    if (loop_.joinable()) loop_.join();
  }
  bool opened() const { return opened_; }
  uint16_t port() const { return port_; }

 private:
  Engine engine_;
  LogFile log_file_;
  uint16_t port_ = 0;
  bool opened_ = false;
  std::unique_ptr<NetworkServer> server_;
  std::thread loop_;
};

// Forwarded queries over UDP (listener thread) and TCP (connection threads)
// at once: both take forwarding ids from the same pending table while the
// listener adds and removes its entries. Every query must come back with its
// own id; under AddressSanitizer a table read outside its lock shows up as a
// use-after-free.
TEST(NetworkServerTest, ForwardedUdpAndTcpQueriesRunTogether) {
  Upstream upstream;
  ASSERT_NE(upstream.port(), 0);
  RunningServer server({}, upstream.port());
  ASSERT_TRUE(server.opened());
  constexpr int kThreads = 4;
  constexpr int kQueries = 150;
  std::atomic<int> udp_answered{0};
  std::atomic<int> tcp_answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
      const sockaddr_in to = loopback_address(server.port());
      connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
      for (int i = 0; i < kQueries; ++i) {
        const uint16_t id = static_cast<uint16_t>(t << 12 | i);
        const Bytes query =
            make_query(id, "u" + std::to_string(t) + "-" + std::to_string(i) + ".remote.test");
        // A datagram may be lost; one more try each.
        for (int attempt = 0; attempt < 2; ++attempt) {
          send(fd.get(), query.data(), query.size(), 0);
          pollfd ready{fd.get(), POLLIN, 0};
          Bytes reply(1536);
          ssize_t got = -1;
          while (poll(&ready, 1, 2'000) == 1 &&
                 (got = recv(fd.get(), reply.data(), reply.size(), 0)) > 0) {
            reply.resize(static_cast<size_t>(got));
            if (id_of(reply) == id) break;
            reply.resize(1536);
            got = -1;
          }
          if (got > 0) {
            ++udp_answered;
            break;
          }
        }
      }
    });
    clients.emplace_back([&, t] {
      Fd fd = connect_from("127.0.0.1", server.port());
      for (int i = 0; i < kQueries && fd.valid(); ++i) {
        const uint16_t id = static_cast<uint16_t>(0x8000 | t << 12 | i);
        if (!send_all(fd.get(), framed(make_query(id, "t" + std::to_string(t) + "-" +
                                                          std::to_string(i) + ".remote.test"))))
          break;
        const std::optional<Bytes> reply = read_framed(fd.get());
        if (!reply || id_of(*reply) != id) break;
        ++tcp_answered;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(udp_answered.load(), kThreads * kQueries);
  EXPECT_EQ(tcp_answered.load(), kThreads * kQueries);
}

// Clients that send their request one byte at a time, each byte well within
// the idle time, are cut off once the request time has passed since its
// first byte (RFC 7766 section 6.2.3), and the places they held go to a
// fresh client.
TEST(NetworkServerTest, TricklingClientsAreCutOffAndAFreshClientIsServed) {
  NetworkServer::TcpLimits limits;
  limits.max_connections = 6;
  limits.max_per_address = 6;
  limits.idle_timeout_ms = 5'000;
  limits.request_timeout_ms = 600;
  RunningServer server(limits);
  ASSERT_TRUE(server.opened());

  const Bytes request = framed(make_query(0x1234, "a-rather-long-name.somewhere.example"));
  std::vector<Fd> slow;
  for (int i = 0; i < limits.max_connections; ++i) {
    slow.push_back(connect_from("127.0.0.1", server.port()));
    ASSERT_TRUE(slow.back().valid());
  }
  // Every place is taken: one more client is turned away.
  {
    std::this_thread::sleep_for(milliseconds(100));
    Fd extra = connect_from("127.0.0.1", server.port());
    ASSERT_TRUE(extra.valid());
    send_all(extra.get(), framed(make_query(0x0001, "x.example")));
    EXPECT_FALSE(read_framed(extra.get(), milliseconds(1'000)).has_value());
  }
  // One byte per 200 ms on every connection; the whole request would take
  // several seconds, far beyond the request time.
  std::vector<bool> cut(slow.size(), false);
  size_t cut_count = 0;
  for (size_t sent = 0; sent < request.size() && cut_count < slow.size(); ++sent) {
    for (size_t c = 0; c < slow.size(); ++c) {
      if (cut[c]) continue;
      if (closed_now(slow[c].get()) ||
          send(slow[c].get(), &request[sent], 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
        cut[c] = true;
        ++cut_count;
      }
    }
    std::this_thread::sleep_for(milliseconds(200));
  }
  EXPECT_EQ(cut_count, slow.size()) << "a trickling client kept its place to the end";

  // The server notices the ends on its connection threads; give it a moment.
  bool served = false;
  for (int attempt = 0; attempt < 20 && !served; ++attempt) {
    Fd fresh = connect_from("127.0.0.1", server.port());
    if (fresh.valid() && send_all(fresh.get(), framed(make_query(0x4321, "y.example")))) {
      const std::optional<Bytes> reply = read_framed(fresh.get(), milliseconds(1'000));
      served = reply && id_of(*reply) == 0x4321;
    }
    if (!served) std::this_thread::sleep_for(milliseconds(100));
  }
  EXPECT_TRUE(served) << "no place came free for a fresh client";
}

}  // namespace
}  // namespace norvane
