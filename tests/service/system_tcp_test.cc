// DNS over TCP on a running server, driven through raw sockets: several
// queries on one connection, a request that arrives in pieces, the idle
// timeout and the bound on concurrent connections (RFC 7766 sections 6.2).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/system_test_support.h"

namespace norvane::system_test {
namespace {

class SystemTcpTest : public RunningServerTest<SystemTcpTest> {
 public:
  static std::unique_ptr<ServerTree> make_tree() {
    return std::make_unique<ServerTree>(find_free_port(), kOfficeZone);
  }
};

// The reply's id and answer texts; fails the test when ldns cannot read it.
struct Answer {
  uint16_t id = 0;
  std::vector<std::string> records;
};

Answer read_answer(const std::vector<uint8_t>& message) {
  const LdnsPacket packet = parse_with_ldns(message);
  if (packet == nullptr) {
    ADD_FAILURE() << "ldns cannot read the reply";
    return {};
  }
  return {ldns_pkt_id(packet.get()), section_texts(packet.get(), LDNS_SECTION_ANSWER)};
}

// Two framed queries written with one send: the server must not lose the
// second one that sits in its buffer behind the first (RFC 7766 section 6.2.1).
TEST_F(SystemTcpTest, TwoQueriesInOneWriteGetTwoReplies) {
  UniqueFd connection = connect_tcp_to(port());
  ASSERT_TRUE(connection.valid());
  std::vector<uint8_t> both = framed(make_query(0x0101, "ns1.office.lan", 1));
  const std::vector<uint8_t> second = framed(make_query(0x0202, "printer.office.lan", 1));
  both.insert(both.end(), second.begin(), second.end());
  ASSERT_TRUE(send_all(connection.get(), both));

  const auto first_reply = read_tcp_message(connection.get());
  ASSERT_TRUE(first_reply.has_value());
  const auto second_reply = read_tcp_message(connection.get());
  ASSERT_TRUE(second_reply.has_value());
  const Answer a = read_answer(*first_reply);
  const Answer b = read_answer(*second_reply);
  EXPECT_EQ(a.id, 0x0101);
  EXPECT_EQ(a.records, std::vector<std::string>{"ns1.office.lan. 300 IN A 192.168.10.1"});
  EXPECT_EQ(b.id, 0x0202);
  EXPECT_EQ(b.records, std::vector<std::string>{"printer.office.lan. 600 IN A 192.168.10.40"});
}

// A request split across segments, once inside the length prefix and once
// inside the message, is put back together before it is answered.
TEST_F(SystemTcpTest, RequestInPiecesIsAnswered) {
  const std::vector<uint8_t> request = framed(make_query(0x0303, "mail.office.lan", 1));
  const size_t splits[] = {1, 9};
  for (const size_t split : splits) {
    SCOPED_TRACE("first piece " + std::to_string(split) + " bytes");
    UniqueFd connection = connect_tcp_to(port());
    ASSERT_TRUE(connection.valid());
    const int on = 1;
    setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ASSERT_TRUE(send_all(connection.get(), {request.begin(), request.begin() + split}));
    std::this_thread::sleep_for(milliseconds(300));
    ASSERT_TRUE(send_all(connection.get(), {request.begin() + split, request.end()}));
    const auto reply = read_tcp_message(connection.get());
    ASSERT_TRUE(reply.has_value());
    const Answer answer = read_answer(*reply);
    EXPECT_EQ(answer.id, 0x0303);
    EXPECT_EQ(answer.records, std::vector<std::string>{"mail.office.lan. 300 IN A 192.168.10.25"});
  }
}

// A connection that sends nothing is closed after about ten seconds, whether
// it never asked anything or went quiet after a query.
TEST_F(SystemTcpTest, IdleConnectionIsClosedByTheServer) {
  UniqueFd silent = connect_tcp_to(port());
  UniqueFd quiet = connect_tcp_to(port());
  ASSERT_TRUE(silent.valid());
  ASSERT_TRUE(quiet.valid());
  ASSERT_TRUE(send_all(quiet.get(), framed(make_query(0x0404, "host.office.lan", 1))));
  ASSERT_TRUE(read_tcp_message(quiet.get()).has_value());
  const auto start = Clock::now();
  // Not before several seconds have passed: a client gets time to ask again.
  EXPECT_FALSE(closed_by_peer(silent.get(), milliseconds(5'000)));
  EXPECT_TRUE(closed_by_peer(silent.get(), milliseconds(10'000)));
  const auto spent = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  EXPECT_TRUE(closed_by_peer(quiet.get(), milliseconds(15'000) - spent));
}

// The loopback addresses the bound tests connect from: one address may hold
// only 16 places, so 64 take four.
constexpr const char* kSources[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};

// A connection from `source` that has been answered once, so that the
// server has surely taken it into its count; invalid when it was not served.
UniqueFd served_connection(const char* source, uint16_t port, uint16_t id) {
  UniqueFd connection = connect_tcp_from(source, port);
  if (!connection.valid() ||
      !send_all(connection.get(), framed(make_query(id, "host.office.lan", 1))))
    return {};
  const auto reply = read_tcp_message(connection.get(), milliseconds(2'000));
  if (!reply || read_answer(*reply).id != id) return {};
  return connection;
}

// 64 connections are served at once; the 65th is closed at once rather than
// queued, and a freed place is taken by the next client.
TEST_F(SystemTcpTest, ConnectionsBeyondTheBoundAreClosedAtOnce) {
  constexpr int kBound = 64;
  std::vector<UniqueFd> held;
  for (int i = 0; i < kBound; ++i) {
    UniqueFd connection =
        served_connection(kSources[i % 4], port(), static_cast<uint16_t>(0x5000 + i));
    ASSERT_TRUE(connection.valid()) << "connection " << i << " not served";
    held.push_back(std::move(connection));
  }

  UniqueFd extra = connect_tcp_to(port());
  ASSERT_TRUE(extra.valid());
  send_all(extra.get(), framed(make_query(0x5100, "host.office.lan", 1)));
  EXPECT_TRUE(closed_by_peer(extra.get(), milliseconds(2'000)));

  // Those already in stay served.
  ASSERT_TRUE(send_all(held.back().get(), framed(make_query(0x5101, "host.office.lan", 1))));
  const auto still = read_tcp_message(held.back().get());
  ASSERT_TRUE(still.has_value());
  EXPECT_EQ(read_answer(*still).id, 0x5101);

  held.pop_back();
  // The server notices the close on its connection thread; give it a moment.
  bool served = false;
  for (int attempt = 0; attempt < 20 && !served; ++attempt) {
    std::this_thread::sleep_for(milliseconds(100));
    UniqueFd next = connect_tcp_to(port());
    if (!next.valid() || !send_all(next.get(), framed(make_query(0x5200, "host.office.lan", 1))))
      continue;
    served = read_tcp_message(next.get(), milliseconds(1'000)).has_value();
  }
  EXPECT_TRUE(served) << "a freed place was not given to a new connection";
}

// One client address holds at most 16 of the 64 places (RFC 7766 section
// 6.2.3: a server may limit connections per client), so one host cannot
// starve the others; other addresses are still served.
TEST_F(SystemTcpTest, OneAddressCannotTakeEveryPlace) {
  constexpr int kPerAddress = 16;
  std::vector<UniqueFd> held;
  for (int i = 0; i < kPerAddress; ++i) {
    UniqueFd connection = served_connection("127.0.0.6", port(), static_cast<uint16_t>(0x6000 + i));
    ASSERT_TRUE(connection.valid()) << "connection " << i << " not served";
    held.push_back(std::move(connection));
  }
  UniqueFd extra = connect_tcp_from("127.0.0.6", port());
  ASSERT_TRUE(extra.valid());
  send_all(extra.get(), framed(make_query(0x6100, "host.office.lan", 1)));
  EXPECT_TRUE(closed_by_peer(extra.get(), milliseconds(2'000)));
  EXPECT_TRUE(served_connection("127.0.0.7", port(), 0x6101).valid());
}

}  // namespace
}  // namespace norvane::system_test
