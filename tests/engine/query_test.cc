// Query processing: dispatch and error replies, the answer of every type from
// the local database, wildcards, limits, flags, statistics and log lines.
// Replies are read back with ldns rather than with our own decoder.
#include "engine/query.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/dns_message.h"
#include "engine/engine.h"
#include "tests/engine/engine_test_support.h"

namespace norvane {
namespace {

using namespace test_support;

constexpr uint16_t kTypeAaaa = 28;

// Lines written to `log` while `body` runs, each without its 19-character
// timestamp and the blank behind it.
template <class Body>
std::vector<std::string> logged_lines(TransactionLog& log, uint32_t level, Body&& body) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* stream = open_memstream(&text, &size);
  const uint32_t previous_level = log.level();
  log.set_level(level);
  std::FILE* previous = log.set_stream(stream);
  body();
  log.set_stream(previous);
  log.set_level(previous_level);
  std::fclose(stream);
  std::istringstream all(std::string(text, size));
  std::free(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(all, line);) {
    const bool stamped = line.size() >= 20 && line[4] == '-' && line[19] == ' ';
    EXPECT_TRUE(stamped) << line;
    lines.push_back(stamped ? line.substr(20) : line);
  }
  return lines;
}

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    load_office_lan(engine_);
    context_.client_address.sin_family = AF_INET;
    context_.client_address.sin_addr.s_addr = ipv4(10, 0, 0, 5);
  }

  Served ask(std::string_view name, uint16_t type, bool tcp = false) {
    return serve(engine_, context_, make_query(name, type), tcp);
  }

  Engine engine_;
  RequestContext context_;
};

// "host.office.lan" IN A with id 0xABCD and the given flags and counts,
// written out byte by byte.
std::vector<uint8_t> host_query_bytes(uint16_t flags, uint8_t ancount, uint8_t nscount,
                                      uint8_t arcount) {
  std::vector<uint8_t> bytes = {0xAB,    0xCD, 0,   0,   0,   1,   0, ancount, 0,   nscount, 0,
                                arcount, 4,    'h', 'o', 's', 't', 6, 'o',     'f', 'f',     'i',
                                'c',     'e',  3,   'l', 'a', 'n', 0, 0,       1,   0,       1};
  write_u16(&bytes[2], flags);
  return bytes;
}

TEST_F(QueryTest, ResponsesAndMessagesWithoutHeaderGetNoReply) {
  const auto response = host_query_bytes(0x8180, 0, 0, 0);
  const std::vector<uint8_t> runt(response.begin(), response.begin() + 11);
  for (const auto& request : {response, runt, std::vector<uint8_t>{}}) {
    Reply reply;
    EXPECT_EQ(handle_message(engine_, context_, reply, kUdpReplyLimit, request), -1);
  }
  EXPECT_EQ(engine_.statistics.snapshot(), (std::array<uint32_t, 11>{}));
}

// Error replies carry the request's header and its question, nothing else:
// no record the request announced or carried (an EDNS OPT record would tell
// the client that the server speaks EDNS), no bytes behind the question. QR
// and AA set, opcode and RD kept, TC, RA and Z cleared, the code in place,
// QDCOUNT the questions kept and the other counts 0.
TEST_F(QueryTest, ErrorRepliesCarryTheHeaderAndQuestionOnly) {
  // An EDNS OPT record: root owner, type 41, payload 4096, no options.
  const std::vector<uint8_t> opt = {0, 0, 41, 0x10, 0x00, 0, 0, 0, 0, 0, 0};
  auto with_opt = [&](uint16_t flags) {
    auto bytes = host_query_bytes(flags, 0, 0, 1);
    bytes.insert(bytes.end(), opt.begin(), opt.end());
    return bytes;
  };
  auto with_tail = [](std::vector<uint8_t> bytes, std::vector<uint8_t> tail) {
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
  };
  // The question name runs off the end: nothing of it can be echoed.
  auto cut = host_query_bytes(0x0100, 1, 0, 0);
  cut.resize(20);
  struct Case {
    const char* what;
    std::vector<uint8_t> request;
    uint32_t primary;
    bool refuse_queries;
    uint16_t expected_flags;
    uint16_t questions = 1;
  };
  const Case cases[] = {
      {"ANCOUNT 1", host_query_bytes(0x0100, 1, 0, 0), 0, false, 0x8501},
      {"NSCOUNT 1 and a record", with_tail(host_query_bytes(0x0100, 0, 1, 0), opt), 0, false,
       0x8501},
      {"ARCOUNT 1 (EDNS)", with_opt(0x0100 | 0x0200), 0, false, 0x8501},
      {"EDNS query refused", with_opt(0x0100), 0, true, 0x8505},
      {"EDNS status query", with_opt(0x1000 | 0x0100), 0, false, 0x9504},
      {"status query", host_query_bytes(0x1000 | 0x0100 | 0x0200 | 0x0080 | 0x0070, 0, 0, 0), 0,
       false, 0x9504},
      {"inverse query with trailing bytes", with_tail(host_query_bytes(0x0800, 0, 0, 0), {1, 2, 3}),
       0, false, 0x8C04},
      // An update whose zone section names type A is malformed.
      {"update", host_query_bytes(0x2800, 0, 0, 0), 0, false, 0xAC01},
      {"update on a secondary", host_query_bytes(0x2800, 0, 0, 0), ipv4(192, 168, 1, 250), false,
       0xAC04},
      {"unreadable question", cut, 0, false, 0x8501, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    engine_.settings.primary = c.primary;
    engine_.settings.access_control = c.refuse_queries ? 1 : 0;
    Reply reply;
    std::vector<uint8_t> expected = host_query_bytes(c.expected_flags, 0, 0, 0);
    if (c.questions == 0) expected.resize(12);
    write_u16(&expected[4], c.questions);
    EXPECT_EQ(handle_message(engine_, context_, reply, kUdpReplyLimit, c.request),
              static_cast<int>(expected.size()));
    EXPECT_EQ(reply.message, expected);
  }
  EXPECT_EQ(engine_.statistics.errors, std::size(cases));
  EXPECT_EQ(engine_.statistics.answers, 0u);
  EXPECT_EQ(engine_.statistics.queries, 0u);
}

// Bytes behind the last question are not part of the reply: 23 of them,
// shaped as "example. 999999 IN A 1.2.3.4", must not become an answer.
TEST_F(QueryTest, BytesBehindTheQuestionsAreNotEchoed) {
  const std::vector<uint8_t> forged = {7, 'e', 'x',  'a',  'm',  'p', 'l', 'e', 0, 0, 1, 0,
                                       1, 0,   0x0F, 0x42, 0x3F, 0,   4,   1,   2, 3, 4};
  ASSERT_EQ(forged.size(), 23u);
  auto request = host_query_bytes(0x0100, 0, 0, 0);
  request.insert(request.end(), forged.begin(), forged.end());
  for (const bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "tcp" : "udp");
    const Served served = serve(engine_, context_, request, tcp);
    EXPECT_EQ(served.flags, 0x8580);
    EXPECT_EQ(served.answer, (std::vector<std::string>{kHostA10, kHostA11}));
    // Header, question and the two 31-byte records, to the byte.
    EXPECT_EQ(served.message.size(), 33u + 2 * 31);
    EXPECT_EQ(std::vector<uint8_t>(served.message.begin() + 12, served.message.begin() + 33),
              std::vector<uint8_t>(request.begin() + 12, request.begin() + 33));
  }
}

TEST_F(QueryTest, OnlyTheFirstThreeOfFiveQuestionsAreAnsweredAndQdcountIsKept) {
  const auto request = make_request(7, 0x0100,
                                    {{"host.office.lan", kTypeA},
                                     {"mail.office.lan", kTypeA},
                                     {"ns1.office.lan", kTypeA},
                                     {"printer.office.lan", kTypeA},
                                     {"pc.lab.office.lan", kTypeA}});
  const Served served = serve(engine_, context_, request);
  EXPECT_EQ(served.qdcount, 5);
  EXPECT_EQ(served.answer, (std::vector<std::string>{kHostA10, kHostA11, kMailA, kNs1A}));
  EXPECT_EQ(engine_.statistics.a_queries, 3u);
  EXPECT_EQ(engine_.statistics.queries, 3u);
}

// An authority SOA written for an early question must not end up in front
// of answers written for a later one.
TEST_F(QueryTest, RecordsStayInSectionOrderAcrossQuestions) {
  const Served served = serve(
      engine_, context_,
      make_request(
          9, 0x0100,
          {{"nosuch.office.lan", kTypeNs}, {"office.lan", kTypeMx}, {"host.office.lan", kTypeA}}));
  EXPECT_EQ(ldns_pkt_get_rcode(served.packet.get()), LDNS_RCODE_NOERROR);
  EXPECT_EQ(served.answer, (std::vector<std::string>{kMx, kHostA10, kHostA11}));
  EXPECT_EQ(served.authority, std::vector<std::string>{kSoa});
  EXPECT_EQ(served.additional, std::vector<std::string>{kMailA});
}

struct AnswerCase {
  const char* name;
  uint16_t type;
  int rcode;
  bool aa;
  std::vector<std::string> answer;
  std::vector<std::string> authority = {};
  std::vector<std::string> additional = {};
};

void expect_reply(const Served& served, const AnswerCase& c) {
  ASSERT_NE(served.packet, nullptr);
  EXPECT_EQ(ldns_pkt_get_rcode(served.packet.get()), c.rcode);
  EXPECT_EQ(ldns_pkt_aa(served.packet.get()), c.aa);
  EXPECT_FALSE(ldns_pkt_tc(served.packet.get()));
  EXPECT_EQ(served.answer, c.answer);
  EXPECT_EQ(served.authority, c.authority);
  EXPECT_EQ(served.additional, c.additional);
}

TEST_F(QueryTest, EachTypeIsAnsweredFromTheLocalDatabase) {
  const std::string ptr = "10.1.168.192.in-addr.arpa. 300 IN PTR host.office.lan.";
  const AnswerCase cases[] = {
      {"host.office.lan", kTypeA, 0, true, {kHostA10, kHostA11}},
      {"HOST.Office.LAN", kTypeA, 0, true, {kHostA10, kHostA11}},
      // A name with only a CNAME gets it, then the addresses of its target.
      {"www.office.lan", kTypeA, 0, true, {kWwwCname, kHostA10, kHostA11}},
      {"www.office.lan", kTypeCname, 0, true, {kWwwCname, kHostA10, kHostA11}},
      {"office.lan", kTypeNs, 0, true, {kNs}, {}, {kNs1A}},
      // The SOA carries the refresh value as TTL, not the minimum.
      {"office.lan", kTypeSoa, 0, true, {kSoa}, {}, {kNs, kNs1A}},
      {"office.lan", kTypeMx, 0, true, {kMx}, {}, {kMailA}},
      {"office.lan", kTypeAny, 0, true, {kNs, kMx}, {}, {kNs1A, kMailA}},
      {"host.office.lan", kTypeAny, 0, true, {kHostA10, kHostA11}},
      // printer.office.lan shares the address but comes later in the list.
      {"10.1.168.192.in-addr.arpa", kTypePtr, 0, false, {ptr}},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + type_mnemonic(c.type));
    expect_reply(ask(c.name, c.type), c);
  }
}

TEST_F(QueryTest, ExistingNameWithoutTheTypeIsNodataAndMissingNameIsNxdomain) {
  const AnswerCase cases[] = {
      {"office.lan", kTypeA, 0, true, {}},
      {"host.office.lan", kTypeMx, 0, true, {}},
      {"host.office.lan", kTypeAaaa, 0, true, {}},
      {"lab.office.lan", kTypeA, 0, true, {}},  // only has records below it
      {"host.office.lan", kTypeNs, 0, true, {}, {kSoa}},
      {"host.office.lan", kTypeSoa, 0, true, {}, {kSoa}},
      {"nosuch.office.lan", kTypeA, 3, true, {}},
      {"nosuch.office.lan", kTypeMx, 3, true, {}},
      {"nosuch.office.lan", kTypeNs, 3, true, {}, {kSoa}},
      {"x.pc.lab.office.lan", kTypeA, 3, true, {}},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + type_mnemonic(c.type));
    expect_reply(ask(c.name, c.type), c);
  }
}

TEST_F(QueryTest, OnlyNamesOutsideTheDomainAreForwarded) {
  context_.server_address = ipv4(8, 8, 8, 8);
  Reply reply;
  EXPECT_EQ(handle_message(engine_, context_, reply, kUdpReplyLimit,
                           make_query("backoffice.lan", kTypeA)),
            0);
  EXPECT_EQ(engine_.statistics.forwarded, 1u);
  // Another class is not answered locally even for a local name.
  EXPECT_EQ(handle_message(engine_, context_, reply, kUdpReplyLimit,
                           make_request(1, 0x0100, {{"host.office.lan", kTypeA, 3}})),
            0);
  EXPECT_EQ(engine_.statistics.forwarded, 2u);
  EXPECT_EQ(engine_.statistics.queries, 1u);

  expect_reply(ask("nosuch.office.lan", kTypeA), {"nosuch.office.lan", kTypeA, 3, true, {}});
  EXPECT_EQ(engine_.statistics.forwarded, 2u);
}

TEST(QueryWithoutDomainTest, NothingIsAuthoritativeAndUnknownNamesFailOrForward) {
  Engine engine;
  RequestContext context;
  add_record(engine, kTypeA, "host.lan", 300, ipv4(10, 1, 1, 1));

  const Served known = serve(engine, context, make_query("host.lan", kTypeA));
  EXPECT_EQ(known.flags, 0x8180);  // no AA, RA for RD, rcode 0
  EXPECT_EQ(known.answer, std::vector<std::string>{"host.lan. 300 IN A 10.1.1.1"});

  const Served unknown = serve(engine, context, make_query("other.lan", kTypeA));
  EXPECT_EQ(unknown.flags, 0x8100 | kRcodeServFail);

  context.server_address = ipv4(8, 8, 8, 8);
  EXPECT_EQ(serve(engine, context, make_query("other.lan", kTypeA)).result, 0);
  EXPECT_EQ(engine.statistics.forwarded, 1u);
}

TEST_F(QueryTest, WildcardCoversDeeperNamesButNeitherOwnedNamesNorTheDomain) {
  add_record(engine_, kTypeA, "*.office.lan", 3600, ipv4(192, 168, 1, 99));
  add_record(engine_, kTypeMx, "*.lab.office.lan", 3600, 5, "mail.office.lan");
  const AnswerCase cases[] = {
      {"host.office.lan", kTypeA, 0, true, {kHostA10, kHostA11}},
      {"x.y.office.lan", kTypeA, 0, true, {"x.y.office.lan. 3600 IN A 192.168.1.99"}},
      {"nosuch.office.lan", kTypeA, 0, true, {"nosuch.office.lan. 3600 IN A 192.168.1.99"}},
      {"office.lan", kTypeA, 0, true, {}},
      // Covered by the wildcard, so the name exists: no data rather than no name.
      {"x.y.office.lan", kTypeMx, 0, true, {}},
      {"z.lab.office.lan",
       kTypeMx,
       0,
       true,
       {"z.lab.office.lan. 3600 IN MX 5 mail.office.lan."},
       {},
       {kMailA}},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + type_mnemonic(c.type));
    expect_reply(ask(c.name, c.type), c);
  }
}

// Over UDP a set that does not fit keeps the records that do and says so
// with TC (RFC 2181 section 9); over TCP the whole set of 100 arrives.
TEST_F(QueryTest, LargeSetIsTruncatedWithTcOverUdpAndWholeOverTcp) {
  // Question 36 bytes, each record 34: the 43rd record ends at 1498, below
  // the UDP limit of 1500; the 44th would end at 1532.
  for (uint32_t i = 0; i < 100; ++i) {
    add_record(engine_, kTypeA, "abcdefg.office.lan", 60, ipv4(10, 0, 0, static_cast<uint8_t>(i)));
  }
  struct Case {
    bool tcp;
    size_t records;
    uint16_t flags;
  };
  for (const Case& c : {Case{false, 43, 0x8780}, Case{true, 100, 0x8580}}) {
    SCOPED_TRACE(c.tcp ? "tcp" : "udp");
    const Served served = ask("abcdefg.office.lan", kTypeA, c.tcp);
    EXPECT_EQ(served.flags, c.flags);
    EXPECT_EQ(served.message.size(), 36 + 34 * c.records);
    ASSERT_EQ(served.answer.size(), c.records);
    EXPECT_EQ(served.answer.back(),
              "abcdefg.office.lan. 60 IN A 10.0.0." + std::to_string(c.records - 1));
    EXPECT_EQ(header_word(served.message, 3), c.records);
  }
  // A set that fits is not marked.
  EXPECT_EQ(ask("host.office.lan", kTypeA).flags & kFlagTc, 0);
}

TEST_F(QueryTest, AdditionalRecordsThatDoNotFitAreDroppedWhole) {
  struct Case {
    int exchanges;
    size_t additional;
    size_t length;
  };
  // Request 32 bytes; each MX 45 bytes; each exchange address 31 bytes.
  for (const Case& c : {Case{10, 10, 32 + 450 + 310}, Case{25, 0, 32 + 1125}}) {
    SCOPED_TRACE(c.exchanges);
    Engine engine;
    load_office_lan(engine);
    for (int i = 0; i < c.exchanges; ++i) {
      char exchange[32];
      std::snprintf(exchange, sizeof exchange, "mx%02d.office.lan", i);
      add_record(engine, kTypeMx, "big.office.lan", 60, static_cast<uint32_t>(i), exchange);
      add_record(engine, kTypeA, exchange, 60, ipv4(10, 0, 1, static_cast<uint8_t>(i)));
    }
    const Served served = serve(engine, context_, make_query("big.office.lan", kTypeMx));
    EXPECT_EQ(served.answer.size(), static_cast<size_t>(c.exchanges));
    EXPECT_EQ(served.additional.size(), c.additional);
    EXPECT_EQ(header_word(served.message, 5), c.additional);
    EXPECT_EQ(served.message.size(), c.length);
    EXPECT_EQ(served.flags & kFlagTc, 0);
  }
}

// A byte behind the last record is a malformed message to strict readers.
TEST_F(QueryTest, RepliesHaveTheirExactLength) {
  // host: 33-byte question + two 31-byte records = 95; mail: 33 + 31 = 64;
  // a name error: the question alone.
  struct Case {
    const char* name;
    size_t length;
    uint8_t last;
  };
  for (const Case& c : {Case{"host.office.lan", 95, 11}, Case{"mail.office.lan", 64, 20},
                        Case{"nosuch.office.lan", 35, 1}}) {
    SCOPED_TRACE(c.name);
    const Served served = ask(c.name, kTypeA);
    ASSERT_EQ(served.message.size(), c.length);
    EXPECT_EQ(served.message.back(), c.last);
  }
}

// Aliases inside the database are followed to the addresses at the end of
// the chain (RFC 1034 section 4.3.2), at most eight links and never round a
// loop; a target outside the database stays as it is.
TEST_F(QueryTest, CnameChainsAreFollowedInsideTheDatabase) {
  add_record(engine_, kTypeCname, "chain1.office.lan", 60, 0, "chain2.office.lan");
  add_record(engine_, kTypeCname, "chain2.office.lan", 60, 0, "chain3.office.lan");
  add_record(engine_, kTypeCname, "chain3.office.lan", 60, 0, "www.office.lan");
  add_record(engine_, kTypeCname, "loop1.office.lan", 60, 0, "loop2.office.lan");
  add_record(engine_, kTypeCname, "loop2.office.lan", 60, 0, "loop1.office.lan");
  add_record(engine_, kTypeCname, "self.office.lan", 60, 0, "self.office.lan");
  add_record(engine_, kTypeCname, "away.office.lan", 60, 0, "www.example.com");
  for (int i = 0; i < 10; ++i) {
    add_record(engine_, kTypeCname, "long" + std::to_string(i) + ".office.lan", 60, 0,
               "long" + std::to_string(i + 1) + ".office.lan");
  }
  add_record(engine_, kTypeA, "long10.office.lan", 60, ipv4(10, 0, 0, 10));
  auto link = [](const std::string& from, const std::string& to) {
    return from + ".office.lan. 60 IN CNAME " + to + ".";
  };
  std::vector<std::string> long_chain;
  for (int i = 0; i < 8; ++i)
    long_chain.push_back(
        link("long" + std::to_string(i), "long" + std::to_string(i + 1) + ".office.lan"));
  const AnswerCase cases[] = {
      {"chain1.office.lan",
       kTypeA,
       0,
       true,
       {link("chain1", "chain2.office.lan"), link("chain2", "chain3.office.lan"),
        link("chain3", "www.office.lan"), kWwwCname, kHostA10, kHostA11}},
      {"chain2.office.lan",
       kTypeCname,
       0,
       true,
       {link("chain2", "chain3.office.lan"), link("chain3", "www.office.lan"), kWwwCname, kHostA10,
        kHostA11}},
      {"loop1.office.lan",
       kTypeA,
       0,
       true,
       {link("loop1", "loop2.office.lan"), link("loop2", "loop1.office.lan")}},
      {"self.office.lan", kTypeA, 0, true, {link("self", "self.office.lan")}},
      {"away.office.lan", kTypeA, 0, true, {link("away", "www.example.com")}},
      {"long0.office.lan", kTypeA, 0, true, long_chain},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + type_mnemonic(c.type));
    expect_reply(ask(c.name, c.type), c);
  }
}

TEST_F(QueryTest, ReplyFlagsKeepIdAndRdSetAaAndRaOnlyWhereDue) {
  struct Case {
    const char* name;
    uint16_t request_flags;
    uint16_t reply_flags;
  };
  const Case cases[] = {
      {"host.office.lan", 0x0100, 0x8580},
      {"host.office.lan", 0x0000, 0x8400},
      {"host.office.lan", 0x0100 | 0x0200 | 0x0070, 0x8580},
      {"host.office.lan", 0x0400 | 0x0080 | 0x000F, 0x8400},
      {"nosuch.office.lan", 0x0100, 0x8583},
      {"10.1.168.192.in-addr.arpa", 0x0100, 0x8180},
      // Outside the domain, nothing to answer and no server to ask: SERVFAIL
      // without AA or RA.
      {"backoffice.lan", 0x0100, 0x8102},
      {"example.com", 0x0100, 0x8102},
      {"4.3.2.1.in-addr.arpa", 0x0100, 0x8102},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.request_flags));
    const uint16_t type = std::isdigit(c.name[0]) ? kTypePtr : kTypeA;
    const Served served =
        serve(engine_, context_, make_query(c.name, type, c.request_flags, 0xBEEF));
    EXPECT_EQ(header_word(served.message, 0), 0xBEEF);
    EXPECT_EQ(served.flags, c.reply_flags);
  }
}

TEST_F(QueryTest, StatisticsCountEachQuestionUnderItsType) {
  enum Counter { kA, kNsQ, kCname, kMxQ, kAxfr, kPtr, kQueries, kAnswers };
  struct Case {
    const char* name;
    uint16_t type;
    int counter;  // -1: only under queries
  };
  const Case cases[] = {
      {"host.office.lan", kTypeA, kA},        {"office.lan", kTypeNs, kNsQ},
      {"www.office.lan", kTypeCname, kCname}, {"office.lan", kTypeMx, kMxQ},
      {"office.lan", kTypeAxfr, kAxfr},       {"10.1.168.192.in-addr.arpa", kTypePtr, kPtr},
      {"office.lan", kTypeSoa, -1},           {"office.lan", kTypeAny, -1},
      {"host.office.lan", kTypeAaaa, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + type_mnemonic(c.type));
    const auto before = engine_.statistics.snapshot();
    ask(c.name, c.type);
    const auto after = engine_.statistics.snapshot();
    std::array<uint32_t, 11> expected = before;
    if (c.counter >= 0) ++expected[c.counter];
    ++expected[kQueries];
    ++expected[kAnswers];
    EXPECT_EQ(after, expected);
  }
}

TEST_F(QueryTest, ConcurrentQueriesKeepCountersAndRepliesExact) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 1000;
  std::vector<std::thread> threads;
  std::array<int, kThreads> bad_replies{};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &bad_replies] {
      RequestContext context;
      const auto a = make_query("host.office.lan", kTypeA);
      const auto mx = make_query("office.lan", kTypeMx);
      for (int i = 0; i < kRounds; ++i) {
        Reply reply;
        const bool ask_a = (i + t) % 2 == 0;
        const int result = handle_message(engine_, context, reply, kUdpReplyLimit, ask_a ? a : mx);
        const bool good = result > 0 && reply.message.size() >= 12 &&
                          read_u16(&reply.message[2]) == 0x8580 &&
                          read_u16(&reply.message[6]) == (ask_a ? 2 : 1) &&
                          read_u16(&reply.message[10]) == (ask_a ? 0 : 1);
        if (!good) ++bad_replies[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad_replies, (std::array<int, kThreads>{}));
  const uint32_t total = kThreads * kRounds;
  EXPECT_EQ(engine_.statistics.a_queries, total / 2);
  EXPECT_EQ(engine_.statistics.mx_queries, total / 2);
  EXPECT_EQ(engine_.statistics.queries, total);
  EXPECT_EQ(engine_.statistics.answers, total);
  EXPECT_EQ(engine_.statistics.errors, 0u);
}

TEST_F(QueryTest, LogLinesDescribeTheRequestAndEveryLocalRecord) {
  std::vector<std::string> lines =
      logged_lines(engine_.log, 3, [this] { ask("host.office.lan", kTypeA); });
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "packet id 1234 flags 100 counter 1 0 0 0",
                       "query (10.0.0.5 udp) host.office.lan IN A",
                       "local query 1",
                       "local host.office.lan 300 IN A 192.168.1.10",
                       "local host.office.lan 300 IN A 192.168.1.11",
                   }));

  lines = logged_lines(engine_.log, 1, [this] {
    ask("office.lan", kTypeSoa, /*tcp=*/true);
    ask("10.1.168.192.in-addr.arpa", kTypePtr);
    ask("office.lan", kTypeMx);
  });
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "query (10.0.0.5 tcp) office.lan IN SOA",
                       "local office.lan 10800 IN SOA ns1.office.lan hostmaster.ns1.office.lan "
                       "2024 10800 3600 604800 900",
                       "local office.lan 3600 IN NS ns1.office.lan",
                       "local ns1.office.lan 3600 IN A 192.168.1.1",
                       "query (10.0.0.5 udp) 10.1.168.192.in-addr.arpa IN PTR",
                       "local 10.1.168.192.in-addr.arpa 300 IN PTR host.office.lan",
                       "query (10.0.0.5 udp) office.lan IN MX",
                       "local office.lan 3600 IN MX 10 mail.office.lan",
                       "local mail.office.lan 3600 IN A 192.168.1.20",
                   }));

  lines = logged_lines(engine_.log, 2, [this] { ask("example.com", kTypeA); });
  EXPECT_EQ(lines, (std::vector<std::string>{"query (10.0.0.5 udp) example.com IN A",
                                             "local query 0", "no server"}));
}

}  // namespace
}  // namespace norvane
