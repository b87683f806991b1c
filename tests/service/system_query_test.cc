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

class SystemQueryTest : public RunningServerTest<SystemQueryTest> {
 public:
  static std::unique_ptr<ServerTree> make_tree() {
    return std::make_unique<ServerTree>(find_free_port(), kOfficeZone);
  }
};

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

// ---- Reply format against strict readers ----

constexpr int kBigSet = 100;

// The office zone with a name of 100 addresses, a three-link alias chain and
// an alias loop; queries, transfers and updates from 127.0.0.1 only.
std::string format_zone() {
  std::string zone(kOfficeZone);
  for (int i = 0; i < kBigSet; ++i) zone += "big\tA\t10.1.0." + std::to_string(i) + "\n";
  zone += "chain1\tCNAME\tchain2\nchain2\tCNAME\tchain3\nchain3\tCNAME\thost\n";
  zone += "loop1\tCNAME\tloop2\nloop2\tCNAME\tloop1\n";
  return zone;
}

class SystemReplyFormatTest : public RunningServerTest<SystemReplyFormatTest> {
 public:
  static std::unique_ptr<ServerTree> make_tree() {
    return std::make_unique<ServerTree>(find_free_port(), format_zone(), "office.lan",
                                        "AccessControl=1\n[Velisk\\Access]\n0=QZU,127.0.0.1\n");
  }

 protected:
  ClientReply dig(const std::string& options, const std::string& question, std::string* output) {
    const CommandResult run =
        run_command("dig +noedns +norec +time=2 +tries=1 " + options + " @127.0.0.1 -p " +
                    std::to_string(port()) + " " + question);
    *output = run.output + run.errors;
    return parse_client_output(run.output);
  }
};

// RFC 2181 section 9: over UDP the reply keeps what fits and sets TC (dig
// told to ignore it shows the flag; left alone it asks again over TCP);
// over TCP all 100 addresses arrive in one reply.
TEST_F(SystemReplyFormatTest, LargeSetSetsTcOverUdpAndArrivesWholeOverTcp) {
  std::string output;
  const ClientReply udp = dig("+ignore", "big.office.lan A", &output);
  ASSERT_TRUE(udp.answered) << output;
  EXPECT_TRUE(udp.has_flag("tc")) << output;
  EXPECT_GT(udp.answer.size(), 0u) << output;
  EXPECT_LT(udp.answer.size(), static_cast<size_t>(kBigSet)) << output;

  for (const char* options : {"+tcp", ""}) {
    SCOPED_TRACE(options);
    const ClientReply whole = dig(options, "big.office.lan A", &output);
    ASSERT_TRUE(whole.answered) << output;
    EXPECT_EQ(whole.status, "NOERROR");
    EXPECT_FALSE(whole.has_flag("tc")) << output;
    EXPECT_EQ(whole.answer.size(), static_cast<size_t>(kBigSet)) << output;
  }
}

// glibc's resolver wants the addresses in the reply; a chain inside the
// zone is followed to them, and a loop ends after each alias once.
TEST_F(SystemReplyFormatTest, AliasChainsReachTheAddresses) {
  std::string output;
  const ClientReply chain = dig("", "chain1.office.lan A", &output);
  EXPECT_EQ(chain.status, "NOERROR") << output;
  EXPECT_EQ(chain.answer,
            (Texts{"chain1.office.lan. 300 IN CNAME chain2.office.lan.",
                   "chain2.office.lan. 300 IN CNAME chain3.office.lan.",
                   "chain3.office.lan. 300 IN CNAME host.office.lan.", kHost20, kHost21}))
      << output;
  const ClientReply loop = dig("", "loop1.office.lan A", &output);
  EXPECT_EQ(loop.status, "NOERROR") << output;
  EXPECT_EQ(loop.answer, (Texts{"loop1.office.lan. 300 IN CNAME loop2.office.lan.",
                                "loop2.office.lan. 300 IN CNAME loop1.office.lan."}))
      << output;
}

// One update (RFC 2136) of office.lan adding "name A address".
std::vector<uint8_t> update_adding(uint16_t id, std::string_view name, uint8_t last_byte) {
  std::vector<uint8_t> out = make_query(id, "office.lan", LDNS_RR_TYPE_SOA, 0, 5);
  out[9] = 1;  // UPCOUNT
  std::vector<uint8_t> owner = make_query(0, name, 0);
  out.insert(out.end(), owner.begin() + 12, owner.end() - 4);
  out.insert(out.end(), {0, 1, 0, 1, 0, 0, 1, 44, 0, 4, 10, 9, 9, last_byte});
  return out;
}

// Every kind of reply the server builds, read by dnspython without leave to
// skip trailing bytes: each answer type, a name error, a truncated and a
// whole large set, the error replies (with an OPT record in the request, and
// with bytes behind the question), a zone transfer and an update reply.
TEST_F(SystemReplyFormatTest, EveryKindOfReplyReadsWithDnspython) {
  struct Exchange {
    const char* what;
    std::vector<uint8_t> request;
    bool tcp;
    const char* source;
    int rcode;
  };
  auto with_tail = [](std::vector<uint8_t> bytes, std::vector<uint8_t> tail) {
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
  };
  std::vector<uint8_t> opt_status = make_edns_query(0x5101, "host.office.lan", 1);
  opt_status[2] = 2 << 3;  // opcode 2, status
  const Exchange exchanges[] = {
      {"A", make_query(0x5001, "host.office.lan", 1), false, "127.0.0.1", 0},
      {"NS", make_query(0x5002, "office.lan", 2), false, "127.0.0.1", 0},
      {"MX", make_query(0x5003, "office.lan", 15), false, "127.0.0.1", 0},
      {"SOA", make_query(0x5004, "office.lan", 6), true, "127.0.0.1", 0},
      {"PTR", make_query(0x5005, "20.10.168.192.in-addr.arpa", 12), false, "127.0.0.1", 0},
      {"CNAME", make_query(0x5006, "www.office.lan", 5), false, "127.0.0.1", 0},
      {"chain", make_query(0x5007, "chain1.office.lan", 1), false, "127.0.0.1", 0},
      {"NXDOMAIN", make_query(0x5008, "nope.office.lan", 1), false, "127.0.0.1", 3},
      {"NODATA", make_query(0x5009, "host.office.lan", 28), false, "127.0.0.1", 0},
      {"ANY", make_query(0x500A, "office.lan", 255), false, "127.0.0.1", 0},
      {"truncated", make_query(0x500B, "big.office.lan", 1), false, "127.0.0.1", 0},
      {"whole set", make_query(0x500C, "big.office.lan", 1), true, "127.0.0.1", 0},
      {"bytes behind the question",
       with_tail(make_query(0x500D, "host.office.lan", 1),
                 {7, 'e', 'x',  'a',  'm',  'p', 'l', 'e', 0, 0, 1, 0,
                  1, 0,   0x0F, 0x42, 0x3F, 0,   4,   1,   2, 3, 4}),
       false, "127.0.0.1", 0},
      {"FORMERR", make_edns_query(0x500E, "host.office.lan", 1), false, "127.0.0.1", 1},
      {"NOTIMP", opt_status, false, "127.0.0.1", 4},
      {"REFUSED", make_edns_query(0x500F, "host.office.lan", 1), false, "127.0.0.2", 5},
      {"AXFR refused", make_query(0x5010, "office.lan", 252), true, "127.0.0.2", 5},
      {"AXFR of a missing name", make_query(0x5011, "nope.office.lan", 252), true, "127.0.0.1", 3},
      {"update", update_adding(0x5012, "fresh.office.lan", 7), false, "127.0.0.1", 0},
      {"update over TCP", update_adding(0x5013, "fresher.office.lan", 8), true, "127.0.0.1", 0},
  };
  for (const Exchange& exchange : exchanges) {
    SCOPED_TRACE(exchange.what);
    std::optional<std::vector<uint8_t>> reply;
    if (exchange.tcp) {
      UniqueFd connection = connect_tcp_from(exchange.source, port());
      ASSERT_TRUE(connection.valid());
      ASSERT_TRUE(send_all(connection.get(), framed(exchange.request)));
      reply = read_tcp_message(connection.get());
    } else {
      reply = udp_exchange_from(exchange.source, port(), exchange.request);
    }
    ASSERT_TRUE(reply.has_value());
    ASSERT_GE(reply->size(), 12u);
    EXPECT_EQ(read_u16(*reply, 0), read_u16(exchange.request, 0));
    EXPECT_EQ(read_u16(*reply, 2) & 0xF, exchange.rcode);
  }

  // A whole zone transfer over TCP: every message up to the closing SOA.
  UniqueFd connection = connect_tcp_to(port());
  ASSERT_TRUE(connection.valid());
  ASSERT_TRUE(send_all(connection.get(), framed(make_query(0x5020, "office.lan", 252))));
  int soas = 0;
  for (int messages = 0; soas < 2 && messages < 10; ++messages) {
    const auto message = read_tcp_message(connection.get());
    ASSERT_TRUE(message.has_value());
    const LdnsPacket packet = parse_with_ldns(*message);
    ASSERT_NE(packet, nullptr);
    for (const std::string& record : section_texts(packet.get(), LDNS_SECTION_ANSWER))
      soas += record.find(" SOA ") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(soas, 2);
  EXPECT_GE(reply_recorder().replies.size(), std::size(exchanges) + 1);
}

}  // namespace
}  // namespace norvane::system_test
