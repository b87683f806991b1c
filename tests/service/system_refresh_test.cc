// A secondary whose primary never closes its transfer, in a private network
// namespace so that the primary can listen on 127.0.0.1:53: the server
// answers from its zone file while the transfer runs, abandons the transfer
// at its record bound and keeps its memory and its data.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/system_test_support.h"

namespace norvane::system_test {
namespace {

using test_support::in_private_network;

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v >> 16);
  put16(out, v & 0xffff);
}
void put_name(std::vector<uint8_t>& out, std::string_view name) {
  const std::vector<uint8_t> wire = test_support::wire_name(name);
  out.insert(out.end(), wire.begin(), wire.end());
}

// One transfer message with its length prefix: the SOA alone (`first`), or
// 100 address records s<n>.office.lan from `next` on.
std::vector<uint8_t> transfer_message(uint16_t id, bool first, uint32_t& next) {
  std::vector<uint8_t> out = {0, 0};
  put16(out, id);
  put16(out, 0x8400);
  put16(out, 0);
  put16(out, first ? 1 : 100);
  put32(out, 0);
  auto record = [&](std::string_view owner, uint16_t type, const std::vector<uint8_t>& rdata) {
    put_name(out, owner);
    put16(out, type);
    put16(out, 1);
    put32(out, 300);
    put16(out, uint32_t(rdata.size()));
    out.insert(out.end(), rdata.begin(), rdata.end());
  };
  if (first) {
    std::vector<uint8_t> soa;
    put_name(soa, "ns1.office.lan");
    put_name(soa, "hostmaster.office.lan");
    for (uint32_t v : {99u, 3600u, 600u, 86400u, 300u}) put32(soa, v);
    record("office.lan", 6, soa);
  } else {
    for (int i = 0; i < 100; ++i, ++next)
      record("s" + std::to_string(next) + ".office.lan", 1,
             {10, uint8_t(next >> 16), uint8_t(next >> 8), uint8_t(next)});
  }
  out[0] = uint8_t((out.size() - 2) >> 8);
  out[1] = uint8_t(out.size() - 2);
  return out;
}

// A primary on 127.0.0.1:53 that answers every transfer request with the SOA
// and then address records, 100 every 20 ms, never the closing SOA, until the
// client goes away or the primary is stopped.
class EndlessPrimary {
 public:
  EndlessPrimary() {
    listener_ = socket_from(SOCK_STREAM, "127.0.0.1", 53);
    EXPECT_TRUE(listener_.valid());
    listen(listener_.get(), 4);
    thread_ = std::thread([this] { serve(); });
  }
  ~EndlessPrimary() {
    stop_ = true;
    thread_.join();
  }
  bool streaming() const { return streaming_; }
  int transfers_ended() const { return ended_; }

 private:
  void serve() {
    while (!stop_) {
      pollfd wait{listener_.get(), POLLIN, 0};
      if (poll(&wait, 1, 100) != 1) continue;
      UniqueFd peer(accept(listener_.get(), nullptr, nullptr));
      uint8_t request[512];
      const ssize_t got = recv(peer.get(), request, sizeof request, 0);
      if (got < 4) continue;
      const uint16_t id = uint16_t(request[2] << 8 | request[3]);
      uint32_t next = 0;
      streaming_ = true;
      for (bool first = true; !stop_; first = false) {
        const std::vector<uint8_t> piece = transfer_message(id, first, next);
        if (send(peer.get(), piece.data(), piece.size(), MSG_NOSIGNAL) < 0) break;
        std::this_thread::sleep_for(milliseconds(20));
      }
      streaming_ = false;
      ++ended_;
    }
  }

  UniqueFd listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> streaming_{false};
  std::atomic<int> ended_{0};
};

// The resident set of `pid` at its peak, in KiB (VmHWM); 0 when unknown.
long peak_resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  return 0;
}

// An answer for host.office.lan from the zone file: both addresses.
void expect_zone_file_answer(uint16_t port, uint16_t id) {
  UniqueFd client = udp_client(port);
  const std::vector<uint8_t> query = make_query(id, "host.office.lan", 1);
  ASSERT_EQ(send(client.get(), query.data(), query.size(), 0), ssize_t(query.size()));
  const auto reply = receive_datagram(client.get(), milliseconds(5'000));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(read_u16(*reply, 0), id);
  EXPECT_EQ(read_u16(*reply, 2) & 0xf, 0);
  EXPECT_EQ(read_u16(*reply, 6), 2);
}

TEST(SystemRefreshTest, NeverEndingTransferIsAbandonedWhileQueriesAreAnswered) {
  const std::string result = in_private_network([] {
    EndlessPrimary primary;
    ServerTree tree(find_free_port(), kOfficeZone, "office.lan",
                    "Primary=127.0.0.1\nTransferMaxRecords=20000\n");
    ServerProcess::Options options;
    options.wait_ready = false;
    ServerProcess server(tree, options);

    // 20,000 records at 100 every 20 ms keep the transfer open for about
    // four seconds; the server must be serving its zone file meanwhile.
    for (int i = 0; i < 500 && !primary.streaming() && primary.transfers_ended() == 0; ++i)
      std::this_thread::sleep_for(milliseconds(20));
    ASSERT_TRUE(primary.streaming()) << server.output();
    ASSERT_TRUE(server.wait_for_output(" ready\n", milliseconds(10'000))) << server.output();
    expect_zone_file_answer(tree.port(), 0x1234);
    EXPECT_TRUE(primary.streaming()) << "the transfer ended before the query was answered";

    EXPECT_TRUE(
        server.wait_for_output("abandoned: more than 20000 records", milliseconds(30'000), true))
        << server.output();
    for (int i = 0; i < 500 && primary.transfers_ended() == 0; ++i)
      std::this_thread::sleep_for(milliseconds(20));
    EXPECT_GE(primary.transfers_ended(), 1);
    // The zone file's data is still served, and 20,000 staged records never
    // came near the size of a runaway transfer.
    expect_zone_file_answer(tree.port(), 0x4321);
    const long peak = peak_resident_kib(server.pid());
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 128 * 1024) << peak << " KiB";
  });
  if (result == "skip") GTEST_SKIP() << "no network namespaces";
  EXPECT_EQ(result, "");
}

}  // namespace
}  // namespace norvane::system_test
