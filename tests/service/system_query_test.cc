// Answers of a running server to real clients (dig and kdig, over UDP and
// TCP) and to hand-built queries read back with ldns: every record type of the
// local domain, wildcards, NXDOMAIN against NODATA, and the requests it must
// refuse or drop without falling over.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/service/system_test_support.h"

namespace norvane::system_test {
namespace {

constexpr char kSoa[] =
    "office.lan. 3600 IN SOA ns1.office.lan. hostmaster.office.lan. 2026120701 3600 600 86400 300";
constexpr char kHost20[] = "host.office.lan. 300 IN A 192.168.10.20";
constexpr char kHost21[] = "host.office.lan. 300 IN A 192.168.10.21";

using Texts = std::vector<std::string>;

struct QueryCase {
  const char* label;
  const char* name;  // as given to dig: a reverse lookup is "-x <address>"
  const char* type;
  const char* status;
  std::optional<bool> authoritative;  // unset: not checked
  std::vector<std::string> answer;
  std::vector<std::string> authority;
  std::optional<std::vector<std::string>> additional;  // unset: not checked
};

const std::vector<QueryCase>& query_cases() {
  static const std::vector<QueryCase> cases = {
      {"address", "host.office.lan", "A", "NOERROR", true, {kHost20, kHost21}, {}, Texts{}},
      {"own ttl",
       "printer.office.lan",
       "A",
       "NOERROR",
       true,
       {"printer.office.lan. 600 IN A 192.168.10.40"},
       {},
       Texts{}},
      {"name case ignored", "HOST.Office.LAN", "A", "NOERROR", true, {kHost20, kHost21}, {}, {}},
      {"name server with its address",
       "office.lan",
       "NS",
       "NOERROR",
       true,
       {"office.lan. 300 IN NS ns1.office.lan."},
       {},
       Texts{"ns1.office.lan. 300 IN A 192.168.10.1"}},
      {"mail exchange with its address",
       "office.lan",
       "MX",
       "NOERROR",
       true,
       {"office.lan. 300 IN MX 10 mail.office.lan."},
       {},
       Texts{"mail.office.lan. 300 IN A 192.168.10.25"}},
      {"alias followed to the addresses",
       "www.office.lan",
       "A",
       "NOERROR",
       true,
       {"www.office.lan. 300 IN CNAME host.office.lan.", kHost20, kHost21},
       {},
       {}},
      // The SOA travels with the refresh interval as its TTL.
      {"start of authority", "office.lan", "SOA", "NOERROR", true, {kSoa}, {}, {}},
      {"pointer from an address record",
       "-x 192.168.10.20",
       "PTR",
       "NOERROR",
       {},
       {"20.10.168.192.in-addr.arpa. 300 IN PTR host.office.lan."},
       {},
       {}},
      {"any at the apex",
       "office.lan",
       "ANY",
       "NOERROR",
       true,
       {"office.lan. 300 IN NS ns1.office.lan.", "office.lan. 300 IN MX 10 mail.office.lan."},
       {},
       {}},
      {"any on an address name",
       "host.office.lan",
       "ANY",
       "NOERROR",
       true,
       {kHost20, kHost21},
       {},
       {}},
      {"wildcard one label down",
       "a.lab.office.lan",
       "A",
       "NOERROR",
       true,
       {"a.lab.office.lan. 300 IN A 192.168.10.99"},
       {},
       {}},
      {"wildcard two labels down",
       "x.y.lab.office.lan",
       "A",
       "NOERROR",
       true,
       {"x.y.lab.office.lan. 300 IN A 192.168.10.99"},
       {},
       {}},
      // lab.office.lan exists only as the parent of the wildcard (RFC 4592
      // section 2.2.2): it has no data, and the wildcard does not cover it.
      {"wildcard parent is empty", "lab.office.lan", "A", "NOERROR", true, {}, {}, {}},
      {"missing name", "nope.office.lan", "A", "NXDOMAIN", true, {}, {}, {}},
      {"missing name two labels down", "a.nope.office.lan", "MX", "NXDOMAIN", true, {}, {}, {}},
      {"existing name without the type", "host.office.lan", "MX", "NOERROR", true, {}, {}, {}},
      {"wildcard name without the type", "a.lab.office.lan", "MX", "NOERROR", true, {}, {}, {}},
      {"name server of a name below the domain",
       "host.office.lan",
       "NS",
       "NOERROR",
       true,
       {},
       {kSoa},
       {}},
      {"soa of a name below the domain", "host.office.lan", "SOA", "NOERROR", true, {}, {kSoa}, {}},
      {"name server of a missing name", "nope.office.lan", "NS", "NXDOMAIN", true, {}, {kSoa}, {}},
  };
  return cases;
}

class SystemQueryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tree_ = std::make_unique<ServerTree>(find_free_port(), kOfficeZone);
    server_ = std::make_unique<ServerProcess>(*tree_);
  }
  static void TearDownTestSuite() {
    server_.reset();
    tree_.reset();
  }

  static uint16_t port() { return tree_->port(); }

  static std::unique_ptr<ServerTree> tree_;
  static std::unique_ptr<ServerProcess> server_;
};

std::unique_ptr<ServerTree> SystemQueryTest::tree_;
std::unique_ptr<ServerProcess> SystemQueryTest::server_;

void expect_client_reply(const ClientReply& got, const QueryCase& want, const std::string& how,
                         const std::string& output) {
  SCOPED_TRACE(how + " " + want.label + ":\n" + output);
  ASSERT_TRUE(got.answered);
  EXPECT_EQ(got.status, want.status);
  EXPECT_TRUE(got.has_flag("qr"));
  if (want.authoritative) {
    EXPECT_EQ(got.has_flag("aa"), *want.authoritative);
  }
  EXPECT_FALSE(got.has_opt);
  EXPECT_EQ(sorted(got.answer), sorted(want.answer));
  EXPECT_EQ(sorted(got.authority), sorted(want.authority));
  if (want.additional) {
    EXPECT_EQ(sorted(got.additional), sorted(*want.additional));
  }
}

// The user-visible path: the same question through both clients and both
// transports gets the same reply.
TEST_F(SystemQueryTest, RealClientsGetTheExpectedReplyOverUdpAndTcp) {
  struct Client {
    const char* label;
    const char* command;
  };
  const Client clients[] = {
      {"dig udp", "dig +noedns +norec +time=2 +tries=1"},
      {"dig tcp", "dig +noedns +norec +time=2 +tries=1 +tcp"},
      {"kdig udp", "kdig +norec +timeout=2 +retry=0"},
      {"kdig tcp", "kdig +norec +timeout=2 +retry=0 +tcp"},
  };
  for (const QueryCase& want : query_cases()) {
    const std::string question = std::string(want.name).starts_with("-x")
                                     ? std::string(want.name)
                                     : std::string(want.name) + " " + want.type;
    for (const Client& client : clients) {
      const CommandResult run = run_command(std::string(client.command) + " @127.0.0.1 -p " +
                                            std::to_string(port()) + " " + question);
      expect_client_reply(parse_client_output(run.output), want, client.label,
                          run.output + run.errors);
    }
  }
}

uint16_t type_code(const char* type) { return ldns_get_rr_type_by_name(type); }

std::string query_name(const QueryCase& want) {
  if (!std::string(want.name).starts_with("-x")) return want.name;
  // "-x a.b.c.d" asks for d.c.b.a.in-addr.arpa.
  std::string address = std::string(want.name).substr(3);
  std::vector<std::string> parts;
  for (size_t begin = 0;;) {
    const size_t dot = address.find('.', begin);
    parts.insert(parts.begin(), address.substr(begin, dot - begin));
    if (dot == std::string::npos) break;
    begin = dot + 1;
  }
  std::string name;
  for (const std::string& part : parts) name += part + ".";
  return name + "in-addr.arpa";
}

// The exact bytes: our own query, the reply decoded by ldns, its id echoed,
// the question returned, no name compressed, and an alias ahead of the
// records it leads to (RFC 1034 section 3.6.2).
TEST_F(SystemQueryTest, RepliesCarryExactSectionsWithoutCompression) {
  uint16_t id = 0x4100;
  for (const QueryCase& want : query_cases()) {
    for (const bool tcp : {false, true}) {
      SCOPED_TRACE(std::string(want.label) + (tcp ? " over tcp" : " over udp"));
      const std::vector<uint8_t> query = make_query(++id, query_name(want), type_code(want.type));
      const std::optional<std::vector<uint8_t>> reply =
          tcp ? tcp_exchange(port(), query) : udp_exchange(port(), query);
      ASSERT_TRUE(reply.has_value());
      EXPECT_EQ(find_compressed_name(*reply), "");
      const LdnsPacket packet = parse_with_ldns(*reply);
      ASSERT_NE(packet, nullptr);
      EXPECT_EQ(ldns_pkt_id(packet.get()), id);
      EXPECT_TRUE(ldns_pkt_qr(packet.get()));
      EXPECT_FALSE(ldns_pkt_tc(packet.get()));
      char* status = ldns_pkt_rcode2str(ldns_pkt_get_rcode(packet.get()));
      EXPECT_STREQ(status, want.status);
      std::free(status);
      if (want.authoritative) {
        EXPECT_EQ(ldns_pkt_aa(packet.get()), *want.authoritative);
      }
      ASSERT_EQ(ldns_pkt_qdcount(packet.get()), 1);
      const ldns_rr* question = ldns_rr_list_rr(ldns_pkt_question(packet.get()), 0);
      EXPECT_EQ(ldns_rr_get_type(question), type_code(want.type));
      const std::vector<std::string> answer = section_texts(packet.get(), LDNS_SECTION_ANSWER);
      EXPECT_EQ(sorted(answer), sorted(want.answer));
      if (!want.answer.empty() && want.answer.front().find(" CNAME ") != std::string::npos) {
        ASSERT_FALSE(answer.empty());
        EXPECT_EQ(answer.front(), want.answer.front());
      }
      EXPECT_EQ(sorted(section_texts(packet.get(), LDNS_SECTION_AUTHORITY)),
                sorted(want.authority));
      if (want.additional) {
        EXPECT_EQ(sorted(section_texts(packet.get(), LDNS_SECTION_ADDITIONAL)),
                  sorted(*want.additional));
      }
    }
  }
}

// The server does not speak EDNS: a query with an OPT record is a format
// error, and the reply must not carry an OPT of its own (RFC 6891 section 7).
TEST_F(SystemQueryTest, EdnsQueryGetsFormerrWithoutOpt) {
  const CommandResult dig = run_command("dig +norec +time=2 +tries=1 @127.0.0.1 -p " +
                                        std::to_string(port()) + " host.office.lan A");
  const ClientReply by_dig = parse_client_output(dig.output);
  EXPECT_TRUE(by_dig.answered) << dig.output;
  EXPECT_EQ(by_dig.status, "FORMERR") << dig.output;
  EXPECT_FALSE(by_dig.has_opt) << dig.output;
  EXPECT_TRUE(by_dig.answer.empty()) << dig.output;

  for (const bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "tcp" : "udp");
    const std::vector<uint8_t> query = make_edns_query(0x0E0D, "host.office.lan", 1);
    const auto reply = tcp ? tcp_exchange(port(), query) : udp_exchange(port(), query);
    ASSERT_TRUE(reply.has_value());
    const LdnsPacket packet = parse_with_ldns(*reply);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(ldns_pkt_id(packet.get()), 0x0E0D);
    EXPECT_EQ(ldns_pkt_get_rcode(packet.get()), LDNS_RCODE_FORMERR);
    EXPECT_EQ(ldns_pkt_ancount(packet.get()), 0);
    EXPECT_EQ(ldns_pkt_arcount(packet.get()), 0);
    EXPECT_FALSE(ldns_pkt_edns(packet.get()));
  }
}

// A datagram larger than the server's 1536-byte receive buffer is dropped
// whole, never answered from its truncated head; the next query is served.
TEST_F(SystemQueryTest, OversizedDatagramIsDroppedAndServingGoesOn) {
  std::vector<uint8_t> oversized = make_query(0x0B16, "host.office.lan", 1);
  oversized.resize(1600, 0);
  EXPECT_FALSE(udp_exchange(port(), oversized, milliseconds(1'000)).has_value());

  const auto reply = udp_exchange(port(), make_query(0x0B17, "host.office.lan", 1));
  ASSERT_TRUE(reply.has_value());
  const LdnsPacket packet = parse_with_ldns(*reply);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(ldns_pkt_id(packet.get()), 0x0B17);
  EXPECT_EQ(ldns_pkt_ancount(packet.get()), 2);
}

// Records cannot be changed over DNS yet: an update (RFC 2136) is refused as
// not implemented, and the zone stays as it was.
}  // namespace
}  // namespace norvane::system_test
