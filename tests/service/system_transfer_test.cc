// Zone transfer from a running server: a zone too large for one TCP message
// reaches dig and kdig in several, every record exactly once between the
// opening and closing SOA; over UDP only the opening SOA fits.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/service/system_test_support.h"

namespace norvane::system_test {
namespace {

constexpr int kBulkRecords = 8000;
constexpr char kSoa[] =
    "office.lan. 3600 IN SOA ns1.office.lan. hostmaster.office.lan. 2026120701 3600 600 86400 300";

std::string bulk_address(int i) {
  return "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
}

// The office zone plus kBulkRecords address records named b0 .. b7999:
// about 176 KB of records even with every owner's domain compressed, so
// three TCP messages at the least.
std::string bulk_zone() {
  std::string zone(kOfficeZone);
  for (int i = 0; i < kBulkRecords; ++i)
    zone += "b" + std::to_string(i) + "\tA\t" + bulk_address(i) + "\n";
  return zone;
}

// Every record the transfer must carry once between the SOAs, as the clients
// print it.
std::vector<std::string> expected_records() {
  std::vector<std::string> records = {
      "office.lan. 300 IN NS ns1.office.lan.",         "office.lan. 300 IN MX 10 mail.office.lan.",
      "ns1.office.lan. 300 IN A 192.168.10.1",         "host.office.lan. 300 IN A 192.168.10.20",
      "host.office.lan. 300 IN A 192.168.10.21",       "mail.office.lan. 300 IN A 192.168.10.25",
      "www.office.lan. 300 IN CNAME host.office.lan.", "printer.office.lan. 600 IN A 192.168.10.40",
      "*.lab.office.lan. 300 IN A 192.168.10.99",
  };
  for (int i = 0; i < kBulkRecords; ++i)
    records.push_back("b" + std::to_string(i) + ".office.lan. 300 IN A " + bulk_address(i));
  return sorted(records);
}

class SystemTransferTest : public RunningServerTest<SystemTransferTest, false> {
 public:
  static std::unique_ptr<ServerTree> make_tree() {
    return std::make_unique<ServerTree>(find_free_port(), bulk_zone());
  }
};

// The record lines of a client's transfer listing, in the order printed.
std::vector<std::string> listed_records(const std::string& output) {
  std::vector<std::string> records;
  for (const std::string& line : split_lines(output))
    if (!line.empty() && line[0] != ';') records.push_back(squeeze(line));
  return records;
}

TEST_F(SystemTransferTest, LargeZoneArrivesInSeveralMessagesEveryRecordOnce) {
  struct Client {
    const char* command;
    std::regex summary;  // the client's count of records and messages
  };
  const Client clients[] = {
      {"dig +noedns +time=5 +tries=1", std::regex(R"(XFR size: (\d+) records \(messages (\d+))")},
      {"kdig +timeout=5 +retry=0", std::regex(R"(\((\d+) messages, (\d+) records\))")},
  };
  const std::vector<std::string> expected = expected_records();
  for (const Client& client : clients) {
    SCOPED_TRACE(client.command);
    const CommandResult run = run_command(std::string(client.command) + " @127.0.0.1 -p " +
                                          std::to_string(port()) + " office.lan AXFR");
    ASSERT_EQ(run.exit_code, 0) << run.errors << run.output.substr(0, 2000);
    const std::vector<std::string> records = listed_records(run.output);
    ASSERT_GE(records.size(), 2u) << run.output.substr(0, 2000);
    EXPECT_EQ(records.front(), kSoa);
    EXPECT_EQ(records.back(), kSoa);
    const std::vector<std::string> inner(records.begin() + 1, records.end() - 1);
    // Sorted lists that are equal hold every record exactly once: a
    // duplicate or a loss at a message boundary shows up as a difference.
    const std::vector<std::string> got = sorted(inner);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "records missing or repeated";

    std::smatch summary;
    ASSERT_TRUE(std::regex_search(run.output, summary, client.summary)) << client.command;
    const bool dig = std::string(client.command).starts_with("dig");
    const int messages = std::stoi(summary[dig ? 2 : 1]);
    const int count = std::stoi(summary[dig ? 1 : 2]);
    EXPECT_EQ(count, kBulkRecords + 11);
    EXPECT_GE(messages, 3);
  }
}

// Over UDP a transfer that does not fit 1500 bytes carries only the opening
// SOA; the client then knows to ask again over TCP.
TEST_F(SystemTransferTest, UdpTransferCarriesOnlyTheOpeningSoa) {
  const auto reply = udp_exchange(port(), make_query(0x7A7A, "office.lan", LDNS_RR_TYPE_AXFR));
  ASSERT_TRUE(reply.has_value());
  EXPECT_LE(reply->size(), 1500u);
  const LdnsPacket packet = parse_with_ldns(*reply);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(ldns_pkt_id(packet.get()), 0x7A7A);
  EXPECT_EQ(ldns_pkt_get_rcode(packet.get()), LDNS_RCODE_NOERROR);
  EXPECT_EQ(section_texts(packet.get(), LDNS_SECTION_ANSWER), std::vector<std::string>{kSoa});
}

// Our own reading of the TCP stream: each message is a whole DNS message of
// its own (ldns reads it alone, its names point only into it), with the
// transfer's id, and the stream ends
// right after the closing SOA so the connection can carry the next query.
TEST_F(SystemTransferTest, TcpMessagesStandAloneAndConnectionStaysUsable) {
  UniqueFd connection = connect_tcp_to(port());
  ASSERT_TRUE(connection.valid());
  ASSERT_TRUE(
      send_all(connection.get(), framed(make_query(0x7B7B, "office.lan", LDNS_RR_TYPE_AXFR))));
  std::map<std::string, int> seen;
  int soas = 0;
  int messages = 0;
  while (soas < 2) {
    const auto message = read_tcp_message(connection.get(), milliseconds(5'000));
    ASSERT_TRUE(message.has_value()) << "stream ended after " << messages << " messages";
    ++messages;
    const LdnsPacket packet = parse_with_ldns(*message);
    ASSERT_NE(packet, nullptr) << "message " << messages << " unreadable";
    EXPECT_EQ(ldns_pkt_id(packet.get()), 0x7B7B);
    // Pointers lead only backwards into the same message.
    EXPECT_EQ(find_compressed_name(*message, true), "") << "message " << messages;
    for (const std::string& record : section_texts(packet.get(), LDNS_SECTION_ANSWER)) {
      EXPECT_LT(soas, 2) << "record after the closing SOA: " << record;
      if (record == kSoa)
        ++soas;
      else
        ++seen[record];
    }
  }
  EXPECT_GE(messages, 3);
  EXPECT_EQ(seen.size(), expected_records().size());
  for (const auto& [record, count] : seen) EXPECT_EQ(count, 1) << record;

  ASSERT_TRUE(send_all(connection.get(), framed(make_query(0x7C7C, "b4999.office.lan", 1))));
  const auto after = read_tcp_message(connection.get());
  ASSERT_TRUE(after.has_value());
  const LdnsPacket packet = parse_with_ldns(*after);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(ldns_pkt_id(packet.get()), 0x7C7C);
  EXPECT_EQ(section_texts(packet.get(), LDNS_SECTION_ANSWER),
            std::vector<std::string>{"b4999.office.lan. 300 IN A 10.0.19.135"});
}

}  // namespace
}  // namespace norvane::system_test
