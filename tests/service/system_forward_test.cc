// Forwarding through a running server to real upstream servers (further
// ostrum instances, each serving a domain of its own on its own port): the
// relayed reply, the cache that learns from it, the TTL settings, round
// robin, TCP relaying, the access list, the cache dump across a restart, and
// the checks that keep forged replies away from clients and the cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/system_test_support.h"

namespace norvane::system_test {
namespace {

constexpr uint16_t kTypeA = LDNS_RR_TYPE_A;
constexpr uint16_t kTypeAxfr = LDNS_RR_TYPE_AXFR;
constexpr uint16_t kRecursionDesired = 0x0100;
// QR, RD and RA: the flags of a plain answer from a recursive server.
constexpr uint16_t kReplyFlags = 0x8180;
// Long enough for a forwarded query to come back over loopback many times
// over; used where the point is that no reply comes.
constexpr milliseconds kSilence{700};

// The upstream's domain. Every TTL is explicit: an omitted one would repeat
// the TTL of the line before.
constexpr std::string_view kRemoteZone =
    "$ORIGIN remote.test.\n"
    "@\tSOA\tns1.remote.test.\thostmaster.remote.test. 2026120801 3600 600 86400 300\n"
    "@\t300\tNS\tns1\n"
    "ns1\t300\tA\t10.9.9.1\n"
    "www\t300\tA\t10.9.9.80\n"
    "brief\t1\tA\t10.9.9.11\n"
    "alpha\t300\tA\t10.9.9.21\n"
    "beta\t300\tA\t10.9.9.22\n"
    "gamma\t300\tA\t10.9.9.23\n"
    "delta\t300\tA\t10.9.9.24\n";

constexpr char kWww[] = "www.remote.test. IN A 10.9.9.80";

// A zone "rr.test" whose wildcard answers every name with 10.0.0.<which>,
// so that the address tells which upstream answered.
std::string round_robin_zone(int which) {
  return "$ORIGIN rr.test.\n"
         "@\tSOA\tns1.rr.test.\thostmaster.rr.test. 1 3600 600 86400 300\n"
         "@\t60\tNS\tns1\n"
         "ns1\t60\tA\t10.0.1." +
         std::to_string(which) + "\n*\t60\tA\t10.0.0." + std::to_string(which) + "\n";
}

// One `ostrum -debug` with a tree of its own. stop() and start() run the
// same tree again, with its settings and data directory (and any cache dump
// in it) kept.
class Server {
 public:
  Server(std::string_view domain, std::string_view zone, const std::string& settings = "")
      : tree_(find_free_port(), zone, domain, settings) {
    start();
  }
  void start() { process_ = std::make_unique<ServerProcess>(tree_); }
  // SIGINT and a wait for the exit, as a console stop.
  void stop() { process_.reset(); }
  uint16_t port() const { return tree_.port(); }
  const ServerTree& tree() const { return tree_; }
  std::string output() const { return read_text(tree_.output_file()); }

 private:
  ServerTree tree_;
  std::unique_ptr<ServerProcess> process_;
};

// The main key's values naming the loopback `ports` as DNS1, DNS2, ...
std::string upstream_settings(std::initializer_list<uint16_t> ports) {
  std::string text;
  int slot = 0;
  for (const uint16_t port : ports) {
    ++slot;
    text += "DNS" + std::to_string(slot) + "=127.0.0.1\n";
    text += "DNS-Port" + std::to_string(slot) + "=" + std::to_string(port) + "\n";
  }
  return text;
}

// A forwarder for office.lan with `ports` as its upstreams.
std::unique_ptr<Server> forwarder_to(std::initializer_list<uint16_t> ports,
                                     const std::string& more_settings = "") {
  return std::make_unique<Server>("office.lan", kOfficeZone,
                                  upstream_settings(ports) + more_settings);
}

// What a reply says, read with ldns.
struct Seen {
  uint16_t id = 0;
  int rcode = -1;
  bool authoritative = false;
  std::vector<std::string> records;  // the answer section without TTLs
  std::vector<uint32_t> ttls;
};

std::optional<Seen> read_seen(const std::optional<std::vector<uint8_t>>& message) {
  if (!message) return std::nullopt;
  const LdnsPacket packet = parse_with_ldns(*message);
  if (packet == nullptr) {
    ADD_FAILURE() << "ldns cannot read the reply";
    return std::nullopt;
  }
  Seen seen;
  seen.id = ldns_pkt_id(packet.get());
  seen.rcode = ldns_pkt_get_rcode(packet.get());
  seen.authoritative = ldns_pkt_aa(packet.get());
  for (const std::string& text : section_texts(packet.get(), LDNS_SECTION_ANSWER)) {
    const size_t owner_end = text.find(' ');
    const size_t ttl_end = text.find(' ', owner_end + 1);
    seen.ttls.push_back(
        static_cast<uint32_t>(std::stoul(text.substr(owner_end + 1, ttl_end - owner_end - 1))));
    seen.records.push_back(text.substr(0, owner_end) + text.substr(ttl_end));
  }
  return seen;
}

// A query with RD set, as a stub resolver sends it, over UDP from `source`.
std::optional<Seen> ask(uint16_t port, uint16_t id, std::string_view name,
                        const char* source = "127.0.0.1", uint16_t type = kTypeA) {
  return read_seen(udp_exchange_from(source, port, make_query(id, name, type, kRecursionDesired)));
}

std::optional<Seen> ask_tcp(int connection, uint16_t id, std::string_view name,
                            uint16_t type = kTypeA) {
  if (!send_all(connection, framed(make_query(id, name, type, kRecursionDesired))))
    return std::nullopt;
  return read_seen(read_tcp_message(connection));
}

struct DigRun {
  ClientReply reply;
  std::string text;
};

DigRun dig(uint16_t port, const std::string& arguments) {
  const CommandResult run = run_command("dig +noedns +time=2 +tries=1 @127.0.0.1 -p " +
                                        std::to_string(port) + " " + arguments);
  return {parse_client_output(run.output), run.output + run.errors};
}

using Texts = std::vector<std::string>;

// ---- Relaying over UDP and answering from the cache ----

// The forwarder is a relay: the client gets the upstream's reply byte for
// byte but under its own id, so the upstream's AA bit for its own domain
// comes through as well.
TEST(SystemForwardUdpTest, RelayedReplyIsTheUpstreamReplyUnderTheClientId) {
  Server upstream("remote.test", kRemoteZone);
  const auto forwarder = forwarder_to({upstream.port()});
  const auto direct = udp_exchange(
      upstream.port(), make_query(0x1111, "www.remote.test", kTypeA, kRecursionDesired));
  const auto relayed = udp_exchange(
      forwarder->port(), make_query(0x2222, "www.remote.test", kTypeA, kRecursionDesired));
  ASSERT_TRUE(direct.has_value());
  ASSERT_TRUE(relayed.has_value()) << forwarder->output();
  ASSERT_EQ(relayed->size(), direct->size());
  EXPECT_EQ(read_u16(*relayed, 0), 0x2222);
  EXPECT_TRUE(std::equal(relayed->begin() + 2, relayed->end(), direct->begin() + 2));

  const std::optional<Seen> seen = read_seen(relayed);
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->rcode, LDNS_RCODE_NOERROR);
  EXPECT_TRUE(seen->authoritative);
  EXPECT_EQ(seen->records, Texts{kWww});
  EXPECT_EQ(seen->ttls, std::vector<uint32_t>{300});

  // A real client on a name not asked before.
  const DigRun run = dig(forwarder->port(), "alpha.remote.test A");
  EXPECT_EQ(run.reply.status, "NOERROR") << run.text;
  EXPECT_EQ(run.reply.answer, Texts{"alpha.remote.test. 300 IN A 10.9.9.21"}) << run.text;
}

// Once learned, the name is answered with the upstream gone. The answer is
// the cache's, not an authority's: AA clear (RFC 1035 section 4.1.1).
TEST(SystemForwardUdpTest, CachedAnswerOutlivesTheUpstream) {
  auto upstream = std::make_unique<Server>("remote.test", kRemoteZone);
  const auto forwarder = forwarder_to({upstream->port()});
  const std::optional<Seen> relayed = ask(forwarder->port(), 0x3001, "www.remote.test");
  ASSERT_TRUE(relayed.has_value()) << forwarder->output();
  EXPECT_TRUE(relayed->authoritative);
  upstream.reset();

  const std::optional<Seen> cached = ask(forwarder->port(), 0x3002, "www.remote.test");
  ASSERT_TRUE(cached.has_value()) << forwarder->output();
  EXPECT_EQ(cached->id, 0x3002);
  EXPECT_EQ(cached->rcode, LDNS_RCODE_NOERROR);
  EXPECT_FALSE(cached->authoritative);
  EXPECT_EQ(cached->records, Texts{kWww});
  ASSERT_EQ(cached->ttls.size(), 1u);
  EXPECT_GT(cached->ttls[0], 0u);
  EXPECT_LE(cached->ttls[0], 300u);

  const DigRun run = dig(forwarder->port(), "www.remote.test A");
  EXPECT_EQ(run.reply.status, "NOERROR") << run.text;
  EXPECT_FALSE(run.reply.has_flag("aa")) << run.text;
  ASSERT_EQ(run.reply.answer.size(), 1u) << run.text;
  EXPECT_NE(run.reply.answer[0].find("IN A 10.9.9.80"), std::string::npos) << run.text;

  // The upstream really is gone: a name the cache does not hold goes unanswered.
  EXPECT_FALSE(
      udp_exchange(forwarder->port(), make_query(0x3003, "beta.remote.test", kTypeA), kSilence)
          .has_value());
}

// Clients whose queries carry the same id are told apart by their address
// and port, not by the id: each gets the answer to its own question.
TEST(SystemForwardUdpTest, ClientsSharingAnIdEachGetTheirOwnAnswer) {
  Server upstream("remote.test", kRemoteZone);
  const auto forwarder = forwarder_to({upstream.port()});
  struct Client {
    const char* name;
    const char* record;
    UniqueFd socket;
  };
  Client clients[] = {{"alpha.remote.test", "alpha.remote.test. IN A 10.9.9.21", {}},
                      {"beta.remote.test", "beta.remote.test. IN A 10.9.9.22", {}},
                      {"gamma.remote.test", "gamma.remote.test. IN A 10.9.9.23", {}},
                      {"delta.remote.test", "delta.remote.test. IN A 10.9.9.24", {}}};
  constexpr uint16_t kSharedId = 0x7777;
  // Every query is out before the first reply is read, so that all of them
  // are pending upstream at once.
  for (Client& client : clients) {
    client.socket = udp_client(forwarder->port());
    ASSERT_TRUE(client.socket.valid());
    const std::vector<uint8_t> query = make_query(kSharedId, client.name, kTypeA);
    ASSERT_EQ(send(client.socket.get(), query.data(), query.size(), 0),
              static_cast<ssize_t>(query.size()));
  }
  for (Client& client : clients) {
    SCOPED_TRACE(client.name);
    const std::optional<Seen> seen =
        read_seen(receive_datagram(client.socket.get(), milliseconds(2'000)));
    ASSERT_TRUE(seen.has_value()) << forwarder->output();
    EXPECT_EQ(seen->id, kSharedId);
    EXPECT_EQ(seen->records, Texts{client.record});
  }
}

// ---- The TTL settings ----

// ClientTTL caps what a client is told, whether the answer is relayed or
// comes from the cache; a TTL below the cap passes unchanged.
TEST(SystemForwardTtlTest, ClientTtlCapsRelayedAndCachedAnswers) {
  Server upstream("remote.test", kRemoteZone);
  const auto forwarder = forwarder_to({upstream.port()}, "ClientTTL=60\n");

  const std::optional<Seen> relayed = ask(forwarder->port(), 0x6001, "www.remote.test");
  ASSERT_TRUE(relayed.has_value()) << forwarder->output();
  EXPECT_TRUE(relayed->authoritative);  // the upstream's own reply
  EXPECT_EQ(relayed->records, Texts{kWww});
  EXPECT_EQ(relayed->ttls, std::vector<uint32_t>{60});

  const std::optional<Seen> cached = ask(forwarder->port(), 0x6002, "www.remote.test");
  ASSERT_TRUE(cached.has_value());
  EXPECT_FALSE(cached->authoritative);
  EXPECT_EQ(cached->records, Texts{kWww});
  EXPECT_EQ(cached->ttls, std::vector<uint32_t>{60});

  const std::optional<Seen> short_lived = ask(forwarder->port(), 0x6003, "brief.remote.test");
  ASSERT_TRUE(short_lived.has_value());
  EXPECT_EQ(short_lived->records, Texts{"brief.remote.test. IN A 10.9.9.11"});
  EXPECT_EQ(short_lived->ttls, std::vector<uint32_t>{1});

  const DigRun run = dig(forwarder->port(), "www.remote.test A");
  EXPECT_EQ(run.reply.answer, Texts{"www.remote.test. 60 IN A 10.9.9.80"}) << run.text;
}

// ServerTTL is the least time the cache keeps a learned record: a record
// with a TTL of one second is still answered well after that second, with
// the upstream gone.
TEST(SystemForwardTtlTest, ServerTtlKeepsAShortLivedRecord) {
  auto upstream = std::make_unique<Server>("remote.test", kRemoteZone);
  const auto forwarder = forwarder_to({upstream->port()}, "ServerTTL=600\n");
  const std::optional<Seen> relayed = ask(forwarder->port(), 0x6101, "brief.remote.test");
  ASSERT_TRUE(relayed.has_value()) << forwarder->output();
  EXPECT_EQ(relayed->ttls, std::vector<uint32_t>{1});
  upstream.reset();
  // The cache counts whole seconds: past 2.5 s the record's own lifetime
  // is over whatever the rounding.
  std::this_thread::sleep_for(milliseconds(2'500));

  const std::optional<Seen> cached = ask(forwarder->port(), 0x6102, "brief.remote.test");
  ASSERT_TRUE(cached.has_value()) << forwarder->output();
  EXPECT_FALSE(cached->authoritative);
  EXPECT_EQ(cached->records, Texts{"brief.remote.test. IN A 10.9.9.11"});
}

// ---- Choosing the upstream ----

// Forwarded queries, over either transport, take the upstreams in turn from
// DNS1. An answer from the cache is not forwarded and so takes no turn.
TEST(SystemForwardRoundRobinTest, ForwardedQueriesTakeTheUpstreamsInTurn) {
  Server first("rr.test", round_robin_zone(1));
  Server second("rr.test", round_robin_zone(2));
  Server third("rr.test", round_robin_zone(3));
  const auto forwarder = forwarder_to({first.port(), second.port(), third.port()});
  struct Step {
    const char* name;
    bool tcp;
    const char* address;
    bool relayed;  // the upstream's reply (AA set) rather than the cache's
  };
  const Step steps[] = {
      {"a.rr.test", false, "10.0.0.1", true},  {"b.rr.test", false, "10.0.0.2", true},
      {"c.rr.test", false, "10.0.0.3", true},  {"d.rr.test", false, "10.0.0.1", true},
      {"a.rr.test", false, "10.0.0.1", false}, {"e.rr.test", false, "10.0.0.2", true},
      {"f.rr.test", true, "10.0.0.3", true},   {"g.rr.test", false, "10.0.0.1", true},
  };
  uint16_t id = 0x4400;
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.name) + (step.tcp ? " over tcp" : " over udp"));
    std::optional<Seen> seen;
    if (step.tcp) {
      UniqueFd connection = connect_tcp_to(forwarder->port());
      ASSERT_TRUE(connection.valid());
      seen = ask_tcp(connection.get(), ++id, step.name);
    } else {
      seen = ask(forwarder->port(), ++id, step.name);
    }
    ASSERT_TRUE(seen.has_value()) << forwarder->output();
    EXPECT_EQ(seen->id, id);
    EXPECT_EQ(seen->records, Texts{std::string(step.name) + ". IN A " + step.address});
    EXPECT_EQ(seen->authoritative, step.relayed);
  }
}

// ---- TCP ----

// A query over TCP is relayed over a TCP connection of its own to the
// upstream and comes back under the client's id; the next query on the same
// client connection is relayed too. TCP replies are not learned.
TEST(SystemForwardTcpTest, RepliesComeBackUnderTheClientIdAndAreNotCached) {
  auto upstream = std::make_unique<Server>("remote.test", kRemoteZone);
  const auto forwarder = forwarder_to({upstream->port()});

  const DigRun run = dig(forwarder->port(), "+tcp www.remote.test A");
  EXPECT_EQ(run.reply.status, "NOERROR") << run.text;
  EXPECT_EQ(run.reply.answer, Texts{"www.remote.test. 300 IN A 10.9.9.80"}) << run.text;
  EXPECT_EQ(run.text.find("mismatch"), std::string::npos) << run.text;

  const std::vector<uint8_t> query =
      make_query(0x0A01, "alpha.remote.test", kTypeA, kRecursionDesired);
  std::vector<uint8_t> direct_query = query;
  direct_query[0] = 0x0B;
  const auto direct = tcp_exchange(upstream->port(), direct_query);
  ASSERT_TRUE(direct.has_value());

  UniqueFd connection = connect_tcp_to(forwarder->port());
  ASSERT_TRUE(connection.valid());
  ASSERT_TRUE(send_all(connection.get(), framed(query)));
  const auto relayed = read_tcp_message(connection.get());
  ASSERT_TRUE(relayed.has_value()) << forwarder->output();
  ASSERT_EQ(relayed->size(), direct->size());
  EXPECT_EQ(read_u16(*relayed, 0), 0x0A01);
  EXPECT_TRUE(std::equal(relayed->begin() + 2, relayed->end(), direct->begin() + 2));

  const std::optional<Seen> second = ask_tcp(connection.get(), 0x0A02, "beta.remote.test");
  ASSERT_TRUE(second.has_value()) << forwarder->output();
  EXPECT_EQ(second->id, 0x0A02);
  EXPECT_EQ(second->records, Texts{"beta.remote.test. IN A 10.9.9.22"});

  upstream.reset();
  EXPECT_FALSE(
      udp_exchange(forwarder->port(), make_query(0x0A03, "www.remote.test", kTypeA), kSilence)
          .has_value());
}

// ---- The access list ----

// Access lists as the settings hold them.
constexpr const char* kAddressAndRange =
    "AccessControl=1\n[Velisk\\Access]\n0=Q ,127.0.0.2\n1=Q Z,127.0.0.5-127.0.0.9\n";
constexpr const char* kLoopbackQueryOnly =
    "AccessControl=1\n[Velisk\\Access]\n0=Q ,127.0.0.2\n1=Q,127.0.0.1\n";
constexpr const char* kEveryAddressQueries = "AccessControl=1\n[Velisk\\Access]\n0=Q,*\n";
constexpr const char* kListButControlOff = "AccessControl=0\n[Velisk\\Access]\n0=Q,127.0.0.2\n";

// What a source gets under an access list; the rows of one list stand
// together.
struct AccessCase {
  const char* settings;
  const char* source;
  const char* name;
  uint16_t type;  // A over UDP, AXFR over TCP
  int rcode;
};

const std::vector<AccessCase>& access_cases() {
  static const std::vector<AccessCase> cases = {
      {kAddressAndRange, "127.0.0.1", "host.office.lan", kTypeA, LDNS_RCODE_REFUSED},
      {kAddressAndRange, "127.0.0.1", "www.remote.test", kTypeA, LDNS_RCODE_REFUSED},
      {kAddressAndRange, "127.0.0.2", "host.office.lan", kTypeA, LDNS_RCODE_NOERROR},
      {kAddressAndRange, "127.0.0.2", "www.remote.test", kTypeA, LDNS_RCODE_NOERROR},
      {kAddressAndRange, "127.0.0.2", "office.lan", kTypeAxfr, LDNS_RCODE_REFUSED},
      {kAddressAndRange, "127.0.0.3", "host.office.lan", kTypeA, LDNS_RCODE_REFUSED},
      {kAddressAndRange, "127.0.0.4", "host.office.lan", kTypeA, LDNS_RCODE_REFUSED},
      {kAddressAndRange, "127.0.0.5", "office.lan", kTypeAxfr, LDNS_RCODE_NOERROR},
      {kAddressAndRange, "127.0.0.9", "www.remote.test", kTypeA, LDNS_RCODE_NOERROR},
      {kAddressAndRange, "127.0.0.9", "office.lan", kTypeAxfr, LDNS_RCODE_NOERROR},
      {kAddressAndRange, "127.0.0.10", "host.office.lan", kTypeA, LDNS_RCODE_REFUSED},
      {kLoopbackQueryOnly, "127.0.0.1", "www.remote.test", kTypeA, LDNS_RCODE_NOERROR},
      {kLoopbackQueryOnly, "127.0.0.1", "host.office.lan", kTypeA, LDNS_RCODE_NOERROR},
      {kLoopbackQueryOnly, "127.0.0.1", "office.lan", kTypeAxfr, LDNS_RCODE_REFUSED},
      {kLoopbackQueryOnly, "127.0.0.3", "www.remote.test", kTypeA, LDNS_RCODE_REFUSED},
      {kEveryAddressQueries, "127.0.0.1", "www.remote.test", kTypeA, LDNS_RCODE_NOERROR},
      {kEveryAddressQueries, "127.0.0.77", "host.office.lan", kTypeA, LDNS_RCODE_NOERROR},
      {kEveryAddressQueries, "127.0.0.1", "office.lan", kTypeAxfr, LDNS_RCODE_REFUSED},
      {kListButControlOff, "127.0.0.1", "www.remote.test", kTypeA, LDNS_RCODE_NOERROR},
      {kListButControlOff, "127.0.0.1", "office.lan", kTypeAxfr, LDNS_RCODE_NOERROR},
  };
  return cases;
}

// A client without Q is refused every query, local or forwarded, and one
// without Z every zone transfer; ranges include both ends.
TEST(SystemForwardAccessTest, ClientsGetWhatTheirRightsAllow) {
  Server upstream("remote.test", kRemoteZone);
  std::unique_ptr<Server> forwarder;
  const char* running_settings = nullptr;
  uint16_t id = 0x5500;
  for (const AccessCase& want : access_cases()) {
    // One forwarder serves the rows of one list.
    if (want.settings != running_settings) {
      forwarder.reset();
      forwarder = forwarder_to({upstream.port()}, want.settings);
      running_settings = want.settings;
    }
    SCOPED_TRACE(std::string(want.settings) + want.source + " " + want.name +
                 (want.type == kTypeAxfr ? " AXFR" : " A"));
    std::optional<Seen> seen;
    if (want.type == kTypeAxfr) {
      UniqueFd connection = connect_tcp_from(want.source, forwarder->port());
      ASSERT_TRUE(connection.valid());
      seen = read_seen([&]() -> std::optional<std::vector<uint8_t>> {
        if (!send_all(connection.get(), framed(make_query(++id, want.name, kTypeAxfr))))
          return std::nullopt;
        return read_tcp_message(connection.get());
      }());
    } else {
      seen = ask(forwarder->port(), ++id, want.name, want.source);
    }
    ASSERT_TRUE(seen.has_value()) << forwarder->output();
    EXPECT_EQ(seen->id, id);
    EXPECT_EQ(seen->rcode, want.rcode);
    if (want.rcode == LDNS_RCODE_REFUSED) {
      EXPECT_TRUE(seen->records.empty());
    } else if (want.type == kTypeAxfr) {
      ASSERT_FALSE(seen->records.empty());
      EXPECT_TRUE(seen->records.front().starts_with("office.lan. IN SOA "))
          << seen->records.front();
    } else {
      EXPECT_EQ(seen->records.size(), want.name == std::string("www.remote.test") ? 1u : 2u);
    }
  }
}

// ---- The cache dump ----

// With CacheDump=1 the cache is written to cache.dmp at the stop and read
// back at the start: the learned name is answered with no upstream running.
TEST(SystemForwardCacheDumpTest, LearnedNamesSurviveARestart) {
  auto upstream = std::make_unique<Server>("remote.test", kRemoteZone);
  const auto forwarder = forwarder_to({upstream->port()}, "CacheDump=1\n");
  const std::optional<Seen> relayed = ask(forwarder->port(), 0x0D01, "www.remote.test");
  ASSERT_TRUE(relayed.has_value()) << forwarder->output();
  EXPECT_EQ(relayed->records, Texts{kWww});

  forwarder->stop();
  const std::filesystem::path dump = forwarder->tree().data() / "cache.dmp";
  ASSERT_TRUE(std::filesystem::exists(dump)) << forwarder->output();
  EXPECT_NE(read_text(dump).find("www.remote.test\tA\t10.9.9.80\t"), std::string::npos)
      << read_text(dump);
  upstream.reset();

  forwarder->start();
  const std::optional<Seen> restored = ask(forwarder->port(), 0x0D02, "www.remote.test");
  ASSERT_TRUE(restored.has_value()) << forwarder->output();
  EXPECT_EQ(restored->id, 0x0D02);
  EXPECT_FALSE(restored->authoritative);
  EXPECT_EQ(restored->records, Texts{kWww});
  ASSERT_EQ(restored->ttls.size(), 1u);
  EXPECT_GT(restored->ttls[0], 0u);
  EXPECT_LE(restored->ttls[0], 300u);
}

// ---- No upstream ----

// With nowhere to forward to, a name outside the local domain is a server
// failure (RFC 1035 section 4.1.1), answered at once; local names are served.
TEST(SystemForwardNoUpstreamTest, OutsideNameGetsServfail) {
  const auto forwarder = forwarder_to({});
  const DigRun run = dig(forwarder->port(), "www.remote.test A");
  EXPECT_EQ(run.reply.status, "SERVFAIL") << run.text;
  EXPECT_TRUE(run.reply.answer.empty()) << run.text;

  const std::optional<Seen> seen = ask(forwarder->port(), 0x0E01, "mail.example.org");
  ASSERT_TRUE(seen.has_value()) << forwarder->output();
  EXPECT_EQ(seen->id, 0x0E01);
  EXPECT_EQ(seen->rcode, LDNS_RCODE_SERVFAIL);
  EXPECT_TRUE(seen->records.empty());

  const std::optional<Seen> local = ask(forwarder->port(), 0x0E02, "mail.office.lan");
  ASSERT_TRUE(local.has_value());
  EXPECT_EQ(local->rcode, LDNS_RCODE_NOERROR);
  EXPECT_TRUE(local->authoritative);
  EXPECT_EQ(local->records, Texts{"mail.office.lan. IN A 192.168.10.25"});
}

// ---- Matching replies to requests ----

// A reply written byte by byte: the question, then one A record whose owner
// is a compression pointer to the question name, as most servers write it.
std::vector<uint8_t> upstream_reply(uint16_t id, uint16_t flags, std::string_view name,
                                    std::array<uint8_t, 4> address, uint32_t ttl) {
  std::vector<uint8_t> out = make_query(id, name, kTypeA, flags);
  out[7] = 1;  // ANCOUNT
  out.insert(out.end(), {0xC0, 0x0C, 0, 1, 0, 1, uint8_t(ttl >> 24), uint8_t(ttl >> 16),
                         uint8_t(ttl >> 8), uint8_t(ttl), 0, 4});
  out.insert(out.end(), address.begin(), address.end());
  return out;
}

// The next datagram on `fd` within `wait` and its sender.
std::optional<std::vector<uint8_t>> receive_from(int fd, sockaddr_in& from, milliseconds wait) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, static_cast<int>(wait.count())) != 1) return std::nullopt;
  std::vector<uint8_t> message(65535);
  socklen_t length = sizeof from;
  const ssize_t got =
      recvfrom(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (got < 0) return std::nullopt;
  message.resize(static_cast<size_t>(got));
  return message;
}

bool send_to(int fd, const std::vector<uint8_t>& message, const sockaddr_in& to) {
  return sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                sizeof to) == static_cast<ssize_t>(message.size());
}

// A forwarder whose one upstream is a socket the test drives (no real server
// sends forged or foreign replies on demand), and a client of the forwarder.
struct ScriptedUpstream {
  uint16_t upstream_port = find_free_port();
  UniqueFd upstream = socket_from(SOCK_DGRAM, "127.0.0.1", upstream_port);
  std::unique_ptr<Server> forwarder = forwarder_to({upstream_port});
  UniqueFd client = udp_client(forwarder->port());

  bool valid() const { return upstream.valid() && client.valid(); }
  // Sends `query` from the client and returns it as the upstream receives it
  // (within two seconds), with the address it came from in `relay`.
  std::optional<std::vector<uint8_t>> forward(const std::vector<uint8_t>& query,
                                              sockaddr_in& relay) {
    if (send(client.get(), query.data(), query.size(), 0) < 1) return std::nullopt;
    return receive_from(upstream.get(), relay, milliseconds(2'000));
  }
};

// The upstream here is a socket the test drives, since no real server sends
// forged replies on demand. Only a reply from the address and port the query
// went to, under the forwarding id, to the same question and marked as a
// reply is relayed (RFC 5452 section 9.1), and only that one is learned.
TEST(SystemForwardReplyMatchTest, OnlyTheMatchingReplyIsRelayedAndLearned) {
  ScriptedUpstream scripted;
  ASSERT_TRUE(scripted.valid());
  const auto& forwarder = scripted.forwarder;

  constexpr uint16_t kClientId = 0x1234;
  const std::vector<uint8_t> query =
      make_query(kClientId, "match.remote.test", kTypeA, kRecursionDesired);
  sockaddr_in relay{};
  const auto forwarded = scripted.forward(query, relay);
  ASSERT_TRUE(forwarded.has_value()) << forwarder->output();
  // The query goes out as it came in, under an id of the forwarder's own.
  ASSERT_EQ(forwarded->size(), query.size());
  EXPECT_TRUE(std::equal(forwarded->begin() + 2, forwarded->end(), query.begin() + 2));
  const uint16_t server_id = read_u16(*forwarded, 0);

  UniqueFd other_port = socket_from(SOCK_DGRAM, "127.0.0.1");
  UniqueFd other_address = socket_from(SOCK_DGRAM, "127.0.0.2", scripted.upstream_port);
  ASSERT_TRUE(other_port.valid());
  ASSERT_TRUE(other_address.valid());
  const uint16_t other_id = static_cast<uint16_t>(server_id + 1);
  // Sent in this order over loopback, the forged replies reach the
  // forwarder before the genuine one.
  struct Reply {
    int from;
    uint16_t id;
    uint16_t flags;
    const char* name;
    std::array<uint8_t, 4> address;
    uint32_t ttl;
  };
  const int genuine = scripted.upstream.get();
  const Reply replies[] = {
      {other_port.get(), server_id, kReplyFlags, "match.remote.test", {6, 6, 6, 1}, 300},
      {other_address.get(), server_id, kReplyFlags, "match.remote.test", {6, 6, 6, 2}, 300},
      {genuine, other_id, kReplyFlags, "match.remote.test", {6, 6, 6, 3}, 300},
      {genuine, server_id, kReplyFlags, "other.remote.test", {6, 6, 6, 4}, 300},
      {genuine, server_id, kRecursionDesired, "match.remote.test", {6, 6, 6, 5}, 300},
      {genuine, server_id, kReplyFlags, "match.remote.test", {10, 9, 9, 77}, 120},
      // A second answer to a request already answered.
      {genuine, server_id, kReplyFlags, "match.remote.test", {6, 6, 6, 6}, 300},
  };
  for (const Reply& reply : replies) {
    ASSERT_TRUE(send_to(reply.from,
                        upstream_reply(reply.id, reply.flags, reply.name, reply.address, reply.ttl),
                        relay));
  }

  const std::optional<Seen> relayed =
      read_seen(receive_datagram(scripted.client.get(), milliseconds(2'000)));
  ASSERT_TRUE(relayed.has_value()) << forwarder->output();
  EXPECT_EQ(relayed->id, kClientId);
  EXPECT_EQ(relayed->records, Texts{"match.remote.test. IN A 10.9.9.77"});
  EXPECT_EQ(relayed->ttls, std::vector<uint32_t>{120});
  EXPECT_FALSE(receive_datagram(scripted.client.get(), milliseconds(300)).has_value());

  // Had the forged reply for other.remote.test been learned, this query would
  // be answered from the cache instead of reaching the upstream.
  const auto other_forwarded =
      scripted.forward(make_query(kClientId, "other.remote.test", kTypeA), relay);
  ASSERT_TRUE(other_forwarded.has_value()) << forwarder->output();
  // Ids are the forwarder's own (RFC 5452 section 9.2), not the client's.
  EXPECT_FALSE(server_id == kClientId && read_u16(*other_forwarded, 0) == kClientId);

  // The cache holds the genuine answer and nothing forged.
  scripted.upstream.reset();
  const std::optional<Seen> cached = ask(forwarder->port(), 0x5678, "match.remote.test");
  ASSERT_TRUE(cached.has_value()) << forwarder->output();
  EXPECT_FALSE(cached->authoritative);
  EXPECT_EQ(cached->records, Texts{"match.remote.test. IN A 10.9.9.77"});
}

// ---- What a reply may speak for ----

// `name` as uncompressed labels.
using test_support::wire_name;

// One record with TTL 300: `rdata` for A is four address bytes, for NS a
// name, for MX a preference of 10 and a name.
void append_record(std::vector<uint8_t>& out, std::string_view owner, uint16_t type,
                   std::string_view target, std::array<uint8_t, 4> address = {}) {
  const std::vector<uint8_t> name = wire_name(owner);
  out.insert(out.end(), name.begin(), name.end());
  std::vector<uint8_t> rdata;
  if (type == kTypeA) {
    rdata.assign(address.begin(), address.end());
  } else {
    if (type == LDNS_RR_TYPE_MX) rdata = {0, 10};
    const std::vector<uint8_t> host = wire_name(target);
    rdata.insert(rdata.end(), host.begin(), host.end());
  }
  out.insert(out.end(), {uint8_t(type >> 8), uint8_t(type), 0, 1, 0, 0, 1, 44,
                         uint8_t(rdata.size() >> 8), uint8_t(rdata.size())});
  out.insert(out.end(), rdata.begin(), rdata.end());
}

// Whether a query for `name` reaches the scripted upstream (rather than
// being answered from the cache) within two seconds.
bool reaches_upstream(uint16_t forwarder_port, int upstream, std::string_view name, uint16_t type) {
  UniqueFd client = udp_client(forwarder_port);
  const std::vector<uint8_t> query = make_query(0x7777, name, type, kRecursionDesired);
  if (!client.valid() || send(client.get(), query.data(), query.size(), 0) < 1) return false;
  sockaddr_in from{};
  for (;;) {
    const auto got = receive_from(upstream, from, milliseconds(2'000));
    if (!got) return false;
    // Only the question matters; the upstream may still hear earlier ones.
    if (got->size() == query.size() && std::equal(got->begin() + 2, got->end(), query.begin() + 2))
      return true;
  }
}

// A scripted upstream answers a question about its own name with records
// about other names, the local domain's among them (RFC 2181 section 5.4.1).
// The client gets the reply as sent, but only the answer to its question is
// learned: the local names keep their own negative answers, and the foreign
// names are still asked upstream.
TEST(SystemForwardBailiwickTest, ForeignAndLocalRecordsOfAReplyAreNotLearned) {
  ScriptedUpstream scripted;
  ASSERT_TRUE(scripted.valid());
  const auto& forwarder = scripted.forwarder;

  constexpr uint16_t kTypeMx = LDNS_RR_TYPE_MX;
  constexpr uint16_t kTypeNs = LDNS_RR_TYPE_NS;
  const std::vector<uint8_t> query =
      make_query(0x2468, "poison.example.com", kTypeMx, kRecursionDesired);
  sockaddr_in relay{};
  const auto forwarded = scripted.forward(query, relay);
  ASSERT_TRUE(forwarded.has_value()) << forwarder->output();

  std::vector<uint8_t> reply = *forwarded;
  reply[2] = kReplyFlags >> 8;
  reply[3] = kReplyFlags & 0xFF;
  reply[7] = 2;   // ANCOUNT
  reply[9] = 1;   // NSCOUNT
  reply[11] = 4;  // ARCOUNT
  append_record(reply, "poison.example.com", kTypeMx, "printer.office.lan");
  append_record(reply, "other.example.org", kTypeA, "", {6, 6, 6, 1});
  append_record(reply, "example.net", kTypeNs, "ns.evil.test");
  append_record(reply, "printer.office.lan", kTypeA, "", {6, 6, 6, 9});
  append_record(reply, "intruder.office.lan", kTypeA, "", {6, 6, 6, 7});
  append_record(reply, "printer.office.lan", kTypeMx, "evil.test");
  append_record(reply, "ns.evil.test", kTypeA, "", {6, 6, 6, 8});
  ASSERT_TRUE(send_to(scripted.upstream.get(), reply, relay));
  const auto relayed = receive_datagram(scripted.client.get(), milliseconds(2'000));
  ASSERT_TRUE(relayed.has_value()) << forwarder->output();
  EXPECT_EQ(relayed->size(), reply.size());

  // The local names answer from the database alone, with AA.
  const std::optional<Seen> intruder = ask(forwarder->port(), 0x0B01, "intruder.office.lan");
  ASSERT_TRUE(intruder.has_value());
  EXPECT_EQ(intruder->rcode, LDNS_RCODE_NXDOMAIN);
  EXPECT_TRUE(intruder->authoritative);
  EXPECT_TRUE(intruder->records.empty());
  const std::optional<Seen> printer_mx =
      ask(forwarder->port(), 0x0B02, "printer.office.lan", "127.0.0.1", kTypeMx);
  ASSERT_TRUE(printer_mx.has_value());
  EXPECT_EQ(printer_mx->rcode, LDNS_RCODE_NOERROR);
  EXPECT_TRUE(printer_mx->authoritative);
  EXPECT_TRUE(printer_mx->records.empty());
  const std::optional<Seen> printer = ask(forwarder->port(), 0x0B03, "printer.office.lan");
  ASSERT_TRUE(printer.has_value());
  EXPECT_EQ(printer->records, Texts{"printer.office.lan. IN A 192.168.10.40"});

  // The answer to the question was learned ...
  const std::optional<Seen> cached =
      ask(forwarder->port(), 0x0B04, "poison.example.com", "127.0.0.1", kTypeMx);
  ASSERT_TRUE(cached.has_value()) << forwarder->output();
  EXPECT_FALSE(cached->authoritative);
  EXPECT_EQ(cached->records, Texts{"poison.example.com. IN MX 10 printer.office.lan."});
  // ... and nothing else: these are still asked upstream.
  EXPECT_TRUE(
      reaches_upstream(forwarder->port(), scripted.upstream.get(), "other.example.org", kTypeA));
  EXPECT_TRUE(reaches_upstream(forwarder->port(), scripted.upstream.get(), "example.net", kTypeNs));
  EXPECT_TRUE(reaches_upstream(forwarder->port(), scripted.upstream.get(), "ns.evil.test", kTypeA));
}

// Forwarded queries leave from many source ports, so a forger must guess the
// port as well as the id (RFC 5452 section 9.2).
TEST(SystemForwardSourcePortTest, QueriesLeaveFromManyPorts) {
  ScriptedUpstream scripted;
  ASSERT_TRUE(scripted.valid());
  const auto& forwarder = scripted.forwarder;

  std::set<uint16_t> ports;
  for (int i = 0; i < 50; ++i) {
    const std::vector<uint8_t> query =
        make_query(static_cast<uint16_t>(i), "p" + std::to_string(i) + ".ports.test", kTypeA,
                   kRecursionDesired);
    sockaddr_in from{};
    const auto forwarded = scripted.forward(query, from);
    ASSERT_TRUE(forwarded.has_value()) << i << forwarder->output();
    ports.insert(ntohs(from.sin_port));
  }
  EXPECT_GE(ports.size(), 8u);
  EXPECT_EQ(ports.count(forwarder->port()), 0u);
}

}  // namespace
}  // namespace norvane::system_test
