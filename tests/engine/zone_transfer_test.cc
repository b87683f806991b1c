// Zone transfers (AXFR): content and order, the UDP fallback to the opening
// SOA, and the split of a large zone over several TCP messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/query.h"
#include "engine/record_writer.h"
#include "tests/engine/engine_test_support.h"

namespace norvane {
namespace {

using namespace test_support;

// SOA, the domain's NS, every A, CNAME and MX record in list order, SOA.
const std::vector<std::string> kOfficeLanTransfer = {
    kSoa, kNs, kNs1A, kHostA10, kHostA11, kWwwCname, kMx, kMailA, kPrinterA, kPcA, kSoa};

class ZoneTransferTest : public ::testing::Test {
 protected:
  void SetUp() override { load_office_lan(engine_); }

  // Adds `count` A records below the domain and returns the records the
  // transfer must then carry, as ldns prints them.
  std::vector<std::string> add_hosts(int count) {
    std::vector<std::string> texts(kOfficeLanTransfer.begin(), kOfficeLanTransfer.end() - 1);
    for (int i = 0; i < count; ++i) {
      char owner[32];
      std::snprintf(owner, sizeof owner, "h%05d.office.lan", i);
      const uint8_t high = static_cast<uint8_t>(i >> 8), low = static_cast<uint8_t>(i);
      add_record(engine_, kTypeA, owner, 60, ipv4(10, 9, high, low));
      texts.push_back(std::string(owner) + ". 60 IN A 10.9." + std::to_string(high) + "." +
                      std::to_string(low));
    }
    texts.push_back(kSoa);
    return texts;
  }

  Engine engine_;
  RequestContext context_;
};

TEST_F(ZoneTransferTest, SmallZoneTravelsInOneMessageBetweenTwoSoaRecords) {
  for (const bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "tcp" : "udp");
    const Served served = serve(engine_, context_, make_query("office.lan", kTypeAxfr), tcp);
    EXPECT_EQ(served.flags & (kFlagQr | kFlagAa | kFlagRcode), kFlagQr | kFlagAa);
    EXPECT_EQ(served.qdcount, 1);
    EXPECT_EQ(served.answer, kOfficeLanTransfer);
    EXPECT_TRUE(served.authority.empty());
    EXPECT_TRUE(served.additional.empty());
    EXPECT_TRUE(served.continuation.empty());
  }
}

TEST_F(ZoneTransferTest, ReplyCarriesOnlyTheTransferQuestion) {
  const auto request =
      make_request(0x4242, 0, {{"host.office.lan", kTypeA}, {"office.lan", kTypeAxfr}});
  const Served served = serve(engine_, context_, request, /*tcp=*/true);
  ASSERT_NE(served.packet, nullptr);
  EXPECT_EQ(served.qdcount, 1);
  const ldns_rr_list* questions = ldns_pkt_question(served.packet.get());
  ASSERT_EQ(ldns_rr_list_rr_count(questions), 1u);
  EXPECT_EQ(ldns_rr_get_type(ldns_rr_list_rr(questions, 0)), LDNS_RR_TYPE_AXFR);
  EXPECT_EQ(served.answer, kOfficeLanTransfer);
}

TEST_F(ZoneTransferTest, ZoneBeyondTheQueryLimitGrowsOverTcpAndKeepsOnlyTheSoaOverUdp) {
  const auto expected = add_hosts(300);
  const Served udp = serve(engine_, context_, make_query("office.lan", kTypeAxfr));
  EXPECT_EQ(udp.answer, std::vector<std::string>{kSoa});
  EXPECT_LT(udp.message.size(), kUdpReplyLimit);
  // TC tells the client that the zone needs TCP.
  EXPECT_EQ(udp.flags & (kFlagTc | kFlagAa | kFlagRcode), kFlagTc | kFlagAa);

  const Served tcp = serve(engine_, context_, make_query("office.lan", kTypeAxfr), true);
  EXPECT_GT(tcp.message.size(), kUdpReplyLimit);
  EXPECT_EQ(tcp.flags & kFlagTc, 0);
  EXPECT_TRUE(tcp.continuation.empty());
  EXPECT_EQ(tcp.answer, expected);
}

// A transfer question for a name that is not a zone apex gets the negative
// answer of any other question: a name error when the name does not exist,
// no data when it does (RFC 2308 sections 2.1 and 2.2).
TEST_F(ZoneTransferTest, TransferOfAMissingNameIsANameError) {
  struct Case {
    const char* name;
    uint16_t rcode;
  };
  for (const Case& c : {Case{"nosuch.office.lan", kRcodeNxDomain}, Case{"host.office.lan", 0},
                        Case{"lab.office.lan", 0}}) {
    for (const bool tcp : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (tcp ? " tcp" : " udp"));
      const Served served = serve(engine_, context_, make_query(c.name, kTypeAxfr), tcp);
      EXPECT_EQ(served.flags & (kFlagQr | kFlagAa | kFlagTc | kFlagRcode),
                kFlagQr | kFlagAa | c.rcode);
      EXPECT_EQ(served.qdcount, 1);
      EXPECT_TRUE(served.answer.empty());
      EXPECT_TRUE(served.continuation.empty());
    }
  }
}

TEST_F(ZoneTransferTest, TcpTransferOfManyRecordsIsSplitWithEveryRecordOnce) {
  const auto expected = add_hosts(5000);

  const Served served = serve(engine_, context_, make_query("office.lan", kTypeAxfr, 0, 0x7777),
                              /*tcp=*/true);
  ASSERT_GT(served.result, 0);
  ASSERT_FALSE(served.continuation.empty());

  std::vector<std::vector<uint8_t>> messages = {served.message};
  messages.insert(messages.end(), served.continuation.begin(), served.continuation.end());
  std::vector<std::string> received;
  for (size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE("message " + std::to_string(i));
    const std::vector<uint8_t>& message = messages[i];
    EXPECT_LE(message.size(), kMaxTcpMessage);
    ASSERT_GE(message.size(), 12u);
    EXPECT_EQ(header_word(message, 0), 0x7777);
    EXPECT_EQ(header_word(message, 1) & (kFlagQr | kFlagAa | kFlagTc | kFlagRcode),
              kFlagQr | kFlagAa);
    LdnsPacket packet(parse_with_ldns(message));
    ASSERT_NE(packet, nullptr);
    const auto answers = section_texts(packet.get(), LDNS_SECTION_ANSWER);
    EXPECT_FALSE(answers.empty());
    EXPECT_EQ(answers.size(), header_word(message, 3));
    received.insert(received.end(), answers.begin(), answers.end());
  }
  // In order, so every record arrives once, the first message opens with the
  // SOA and the last one closes with it.
  EXPECT_EQ(received.size(), expected.size());
  for (size_t i = 0; i < std::min(received.size(), expected.size()); ++i) {
    if (received[i] != expected[i]) {
      ADD_FAILURE() << "record " << i << ": got " << received[i] << ", expected " << expected[i];
      break;
    }
  }
}

// The writer on its own: names compressed only with pointers back into the
// same message (decode_name follows no other), each name read back as
// written, and a hand-off that takes full messages sees the same bytes the
// writer keeps without one.
TEST(TransferWriterTest, MessagesReadAloneAndHandOffSeesTheSameBytes) {
  struct Entry {
    std::string owner;
    uint16_t type;
    std::string target;
  };
  // Apex, names below it, the same owner twice, names outside the zone and
  // the root, repeated so that the records fill several messages.
  std::vector<Entry> entries;
  for (int i = 0; i < 3000; ++i) {
    const std::string host = "h" + std::to_string(i) + ".sub.office.lan";
    entries.push_back({host, kTypeA, ""});
    entries.push_back({host, kTypeCname, "office.lan"});
    entries.push_back({"office.lan", kTypeNs, "ns.example.net"});
    entries.push_back({"x" + std::to_string(i) + ".example", kTypeMx, ""});
    entries.push_back({"office.lan.example", kTypeCname, host});
  }
  std::vector<uint8_t> first(DnsHeader::kSize);
  append_name(first, "office.lan");
  append_u16(first, kTypeAxfr);
  append_u16(first, kClassIn);

  auto encode = [&](std::vector<std::vector<uint8_t>>& kept, TransferWriter::HandOff hand_off) {
    TransferWriter writer(kept, first, "office.lan", std::move(hand_off));
    for (const Entry& e : entries) {
      if (e.type == kTypeA)
        writer.put_a(e.owner, 60, 0x0100000a);
      else if (e.type == kTypeMx)
        writer.put_mx(e.owner, 60, 5, e.target);
      else
        writer.put_name(e.owner, e.type, 60, e.target);
    }
    return writer.counts();
  };
  std::vector<std::vector<uint8_t>> kept;
  const std::vector<uint16_t> counts = encode(kept, {});
  ASSERT_EQ(counts.size(), kept.size());
  ASSERT_GT(kept.size(), 3u);

  size_t entry = 0;
  char text[kNameBufferSize];
  for (size_t m = 0; m < kept.size(); ++m) {
    SCOPED_TRACE("message " + std::to_string(m));
    const std::vector<uint8_t>& message = kept[m];
    EXPECT_LE(message.size(), kMaxTransferMessage);
    size_t at = DnsHeader::kSize;
    if (m == 0) at = first.size();
    for (uint16_t r = 0; r < counts[m]; ++r, ++entry) {
      ASSERT_LT(entry, entries.size());
      const Entry& e = entries[entry];
      at = decode_name(message.data(), message.size(), at, text, sizeof text);
      ASSERT_LE(at + 10, message.size());
      EXPECT_EQ(std::string(text), "." + e.owner) << "record " << entry;
      EXPECT_EQ(read_u16(message.data() + at), e.type);
      const size_t end = at + 10 + read_u16(message.data() + at + 8);
      at += 10;
      if (e.type == kTypeA) {
        at += 4;
      } else {
        if (e.type == kTypeMx) at += 2;
        at = decode_name(message.data(), message.size(), at, text, sizeof text);
        EXPECT_EQ(std::string(text), e.target.empty() ? "" : "." + e.target) << "record " << entry;
      }
      EXPECT_EQ(at, end) << "record " << entry;
    }
    EXPECT_EQ(at, message.size());
  }
  EXPECT_EQ(entry, entries.size());

  // Taking every full message: the writer keeps only the last.
  std::vector<std::vector<uint8_t>> taken;
  std::vector<std::vector<uint8_t>> rest;
  const std::vector<uint16_t> rest_counts =
      encode(rest, [&taken](std::vector<uint8_t>& message, uint16_t) {
        taken.push_back(message);
        return true;
      });
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest_counts.back(), counts.back());
  taken.push_back(rest.front());
  EXPECT_TRUE(taken == kept);
}

}  // namespace
}  // namespace norvane
