// The exception boundaries of the serving threads: a fault injected into one
// request (out of memory, or anything else) loses that request, or at worst
// that connection, and the server goes on answering; an unexpected exception
// is logged once.
#include "runtime/serving_guard.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/server_host.h"
#include "tests/runtime/server_tree_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;

// The faults the hook throws, one per request, in order; then none.
enum class Fault { kNone, kOutOfMemory, kUnexpected };
std::vector<Fault> pending_faults;
std::atomic<size_t> next_fault{0};
std::atomic<size_t> fault_count{0};

void injected_fault() {
  const size_t index = next_fault.fetch_add(1);
  if (index >= fault_count.load()) return;
  switch (pending_faults[index]) {
    case Fault::kNone:
      return;
    case Fault::kOutOfMemory:
      throw std::bad_alloc();
    case Fault::kUnexpected:
      throw std::runtime_error("injected fault");
  }
}

// Arms the hook with `faults` for the following requests; disarms it when
// it goes out of scope.
class InjectedFaults {
 public:
  explicit InjectedFaults(std::vector<Fault> faults) {
    pending_faults = std::move(faults);
    next_fault = 0;
    fault_count = pending_faults.size();
    request_fault_hook = &injected_fault;
  }
  ~InjectedFaults() {
    request_fault_hook = nullptr;
    fault_count = 0;
  }
  InjectedFaults(const InjectedFaults&) = delete;
  InjectedFaults& operator=(const InjectedFaults&) = delete;
};

// A query for "www.guard.lan" A with `id`.
std::vector<uint8_t> query(uint16_t id) {
  std::vector<uint8_t> message{
      static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  for (const char* label : {"www", "guard", "lan"}) {
    message.push_back(static_cast<uint8_t>(std::strlen(label)));
    message.insert(message.end(), label, label + std::strlen(label));
  }
  message.insert(message.end(), {0, 0, 1, 0, 1});
  return message;
}

timeval receive_limit() { return timeval{5, 0}; }

// One UDP socket talking to the server.
class UdpClient {
 public:
  explicit UdpClient(uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    server_.sin_family = AF_INET;
    server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server_.sin_port = htons(port);
    const timeval limit = receive_limit();
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  void send_query(uint16_t id) {
    const auto message = query(id);
    sendto(fd_.get(), message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&server_),
           sizeof server_);
  }
  // The id of the next reply; nothing when none came.
  std::optional<uint16_t> next_id() {
    uint8_t reply[512];
    const ssize_t got = recv(fd_.get(), reply, sizeof reply, 0);
    if (got < 12) return std::nullopt;
    return static_cast<uint16_t>(reply[0] << 8 | reply[1]);
  }

 private:
  UniqueFd fd_;
  sockaddr_in server_{};
};

// Waits, bounded, until the hook has been called `count` times: the request
// that raised the fault has been taken.
void wait_for_requests(size_t count) {
  for (int i = 0; i < 500 && next_fault.load() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(next_fault.load(), count);
}

// One TCP connection to the server.
class TcpClient {
 public:
  explicit TcpClient(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    const timeval limit = receive_limit();
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    connected_ = connect(fd_.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
  }
  bool connected() const { return connected_; }
  void send_query(uint16_t id) {
    auto message = query(id);
    const uint16_t length = static_cast<uint16_t>(message.size());
    message.insert(message.begin(),
                   {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    send(fd_.get(), message.data(), message.size(), MSG_NOSIGNAL);
  }
  // The id of the next reply; nothing when the connection ended or nothing came.
  std::optional<uint16_t> next_id() {
    uint8_t prefix[2];
    if (!read_all(prefix, 2)) return std::nullopt;
    std::vector<uint8_t> reply(static_cast<size_t>(prefix[0] << 8 | prefix[1]));
    if (reply.size() < 12 || !read_all(reply.data(), reply.size())) return std::nullopt;
    return static_cast<uint16_t>(reply[0] << 8 | reply[1]);
  }

 private:
  bool read_all(uint8_t* data, size_t length) {
    while (length > 0) {
      const ssize_t got = recv(fd_.get(), data, length, 0);
      if (got <= 0) return false;
      data += got;
      length -= static_cast<size_t>(got);
    }
    return true;
  }

  UniqueFd fd_;
  bool connected_ = false;
};

class ServingGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<ServerHost>(tree_.store(), ServerHostOptions{});
    ASSERT_TRUE(host_->start());
    thread_ = std::thread([this] { host_->run(); });
  }
  void TearDown() override { stop(); }
  void stop() {
    if (thread_.joinable()) {
      host_->stop();
      thread_.join();
    }
    host_.reset();
  }
  // Lines across the log files that contain `text`.
  int log_lines_with(const std::string& text) const {
    return tree_.log_lines_where(
        [&](const std::string& line) { return line.find(text) != std::string::npos; });
  }

  const test_support::ServerTree tree_{
      "norvane-guard", {"guard.lan", 1, "10.7.0.1", "10.7.0.2", test_support::free_port()}};
  const fs::path root_ = tree_.root();
  const uint16_t port_ = tree_.port();
  std::unique_ptr<ServerHost> host_;
  std::thread thread_;
};

TEST_F(ServingGuardTest, UdpListenerDropsTheFaultyRequestAndServesOn) {
  UdpClient client(port_);
  client.send_query(1);
  ASSERT_EQ(client.next_id(), std::optional<uint16_t>(1));
  {
    InjectedFaults faults({Fault::kOutOfMemory});
    client.send_query(2);
    client.send_query(3);
    // Replies come in request order, so a reply to 2 would come first.
    EXPECT_EQ(client.next_id(), std::optional<uint16_t>(3));
  }
  {
    // Each faulty request alone in its batch: the whole batch is lost.
    InjectedFaults faults({Fault::kUnexpected, Fault::kUnexpected});
    client.send_query(4);
    wait_for_requests(1);
    client.send_query(5);
    wait_for_requests(2);
    client.send_query(6);
    EXPECT_EQ(client.next_id(), std::optional<uint16_t>(6));
  }
  stop();
  // Logged once, though it happened twice.
  EXPECT_EQ(log_lines_with("udp listener: unexpected exception: injected fault"), 1);
}

TEST_F(ServingGuardTest, TcpConnectionDropsTheRequestOrEndsAloneOnAFault) {
  {
    InjectedFaults faults({Fault::kOutOfMemory});
    TcpClient client(port_);
    ASSERT_TRUE(client.connected());
    // The first request is lost; the connection answers the next one.
    client.send_query(10);
    client.send_query(11);
    EXPECT_EQ(client.next_id(), std::optional<uint16_t>(11));
  }
  {
    InjectedFaults faults({Fault::kUnexpected});
    TcpClient client(port_);
    ASSERT_TRUE(client.connected());
    client.send_query(12);
    EXPECT_EQ(client.next_id(), std::nullopt);
  }
  TcpClient fresh(port_);
  ASSERT_TRUE(fresh.connected());
  fresh.send_query(13);
  EXPECT_EQ(fresh.next_id(), std::optional<uint16_t>(13));
  UdpClient udp(port_);
  udp.send_query(14);
  EXPECT_EQ(udp.next_id(), std::optional<uint16_t>(14));
  stop();
  EXPECT_EQ(log_lines_with("tcp connection: unexpected exception: injected fault"), 1);
}

}  // namespace
}  // namespace norvane
