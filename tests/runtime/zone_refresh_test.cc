// Secondary refresh against a hand-written primary (byte sequences built here,
// not by the engine's writer) on a port of its own, and against nsd serving
// on 127.0.0.1:53 inside a private network namespace.
#include "runtime/zone_refresh.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/zone_file.h"
#include "runtime/network_server.h"
#include "tests/test_support.h"

namespace norvane {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

void put16(Bytes& out, uint16_t v) { out.insert(out.end(), {uint8_t(v >> 8), uint8_t(v)}); }
void put32(Bytes& out, uint32_t v) {
  put16(out, uint16_t(v >> 16));
  put16(out, uint16_t(v));
}
void put_name(Bytes& out, std::string_view name) {
  const std::vector<uint8_t> wire = test_support::wire_name(name);
  out.insert(out.end(), wire.begin(), wire.end());
}

struct Rr {
  std::string owner;
  uint16_t type;
  Bytes rdata;
  uint16_t rclass = 1;
  uint32_t ttl = 600;
};
Rr soa(std::string owner = "office.lan", uint32_t serial = 77) {
  Bytes rdata;
  put_name(rdata, "ns1.office.lan");
  put_name(rdata, "admin.office.lan");
  for (uint32_t v : {serial, 900u, 300u, 604800u, 120u}) put32(rdata, v);
  return {std::move(owner), 6, rdata};
}
Rr a(std::string owner, uint8_t last, uint32_t ttl = 600) {
  return {std::move(owner), 1, {10, 0, 0, last}, 1, ttl};
}
Rr named(std::string owner, uint16_t type, std::string_view target) {
  Bytes rdata;
  if (type == 15) put16(rdata, 10);
  put_name(rdata, target);
  return {std::move(owner), type, rdata};
}

struct Question {
  std::string name = "office.lan";
  uint16_t type = 252, qclass = 1;
};
// One reply message with its length prefix.
Bytes message(uint16_t id, const std::vector<Rr>& answers,
              std::optional<Question> question = Question{}, uint16_t flags = 0x8400) {
  Bytes out;
  put16(out, 0);
  put16(out, id);
  put16(out, flags);
  put16(out, question ? 1 : 0);
  put16(out, uint16_t(answers.size()));
  put32(out, 0);
  if (question) {
    put_name(out, question->name);
    put16(out, question->type);
    put16(out, question->qclass);
  }
  for (const Rr& rr : answers) {
    put_name(out, rr.owner);
    put16(out, rr.type);
    put16(out, rr.rclass);
    put32(out, rr.ttl);
    put16(out, uint16_t(rr.rdata.size()));
    out.insert(out.end(), rr.rdata.begin(), rr.rdata.end());
  }
  out[0] = uint8_t((out.size() - 2) >> 8);
  out[1] = uint8_t(out.size() - 2);
  return out;
}

// A primary on 127.0.0.1 that takes one connection, reads the request, sends
// what `script` makes of its ID and closes (or, with `hold`, waits until the
// client goes away, at most 10 seconds).
class FakePrimary {
 public:
  using Script = std::function<std::vector<Bytes>(uint16_t id)>;
  explicit FakePrimary(Script script, bool hold = false) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = loopback();
    socklen_t size = sizeof address;
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(listen(listener_, 4), 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, script = std::move(script), hold] { serve(script, hold); });
  }
  ~FakePrimary() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }
  // The request as received, once the exchange is over.
  Bytes request() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  static bool wait_readable(int fd) {
    pollfd wait{fd, POLLIN, 0};
    return poll(&wait, 1, 10'000) == 1;
  }
  void serve(const Script& script, bool hold) {
    if (!wait_readable(listener_)) return;
    const int peer = accept(listener_, nullptr, nullptr);
    uint8_t chunk[4096];
    while (request_.size() < 2 || request_.size() < 2u + (request_[0] << 8 | request_[1])) {
      if (!wait_readable(peer)) break;
      const ssize_t got = recv(peer, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      request_.insert(request_.end(), chunk, chunk + got);
    }
    if (request_.size() >= 4) {
      for (const Bytes& piece : script(uint16_t(request_[2] << 8 | request_[3])))
        send(peer, piece.data(), piece.size(), MSG_NOSIGNAL);
      while (hold && wait_readable(peer) && recv(peer, chunk, sizeof chunk, 0) > 0) {
      }
    }
    close(peer);
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  Bytes request_;
  std::thread thread_;
};

using test_support::read_text;

// An engine for office.lan with records inside and outside the domain, the
// zone file saved, and 127.0.0.1 as its primary.
class RefreshEngine {
 public:
  explicit RefreshEngine(const std::string& domain = "office.lan") {
    char pattern[] = "/tmp/norvane-refresh-XXXXXX";
    directory_ = mkdtemp(pattern);
    engine.settings.data_directory.set(directory_);
    engine.settings.primary = loopback();
    engine.zone.set_zone_soa(domain, "ns1", "hostmaster", 5, 36000, 7200, 72000, 3600);
    for (const std::string& owner :
         {"old." + domain, std::string("xoffice.lan"), std::string("mail.other.org"), domain})
      engine.zone.add_zone_record(0, 1, owner, 300, htonl(0x0a090901), std::string_view());
    zone_save(engine);
  }
  ~RefreshEngine() { std::filesystem::remove_all(directory_); }

  // Records in list order, the SOA fields and the zone file.
  std::string state() {
    LocalZone::Guard held = engine.zone.hold();
    std::ostringstream out;
    const LocalZone::Guard z = engine.zone.hold();
    out << z.domain() << ' ' << z.primary() << ' ' << z.mailbox() << ' ' << z.serial() << ' '
        << z.refresh() << ' ' << z.retry() << ' ' << z.expire() << ' ' << z.minimum() << '\n';
    for (const ZoneRecord& r : z.live().records())
      out << r.owner << ' ' << r.type << ' ' << r.ttl << ' ' << r.datum << ' ' << r.target << '\n';
    return out.str() + read_text(zone_file());
  }
  std::vector<std::string> owners() {
    LocalZone::Guard held = engine.zone.hold();
    std::vector<std::string> out;
    for (const ZoneRecord& r : held.live().records()) out.emplace_back(r.owner);
    return out;
  }
  std::filesystem::path zone_file() const { return directory_ / kZoneFileName; }

  Engine engine;

 private:
  std::filesystem::path directory_;
};

std::vector<Rr> office_records() {
  return {a("host.office.lan", 20), named("office.lan", 2, "ns1.office.lan"),
          named("office.lan", 15, "mail.office.lan"),
          named("www.office.lan", 5, "host.office.lan")};
}

TEST(ZoneRefreshTest, WholeTransferReplacesTheDomainAndKeepsOtherDomainsBehind) {
  RefreshEngine server;
  std::FILE* log = std::tmpfile();
  server.engine.log.set_stream(log);
  server.engine.log.set_level(2);
  FakePrimary primary([](uint16_t id) {
    std::vector<Rr> answers = {soa()};
    for (Rr& rr : office_records()) answers.push_back(rr);
    // Stepped over: another class, a name outside the zone, a short address.
    answers.push_back({"chaos.office.lan", 1, {10, 0, 0, 9}, 3});
    answers.push_back(a("www.example.com", 66));
    answers.push_back({"short.office.lan", 1, {10, 0, 0}});
    answers.push_back(soa());
    return std::vector<Bytes>{message(id, answers)};
  });

  EXPECT_EQ(zone_refresh(server.engine, primary.port()), 4);
  const Bytes request = primary.request();
  Bytes expected = message(uint16_t(request.at(2) << 8 | request.at(3)), {}, Question{}, 0);
  EXPECT_EQ(request, expected) << "exact length, no padding, flags 0";

  // The domain's own records go, including the apex; xoffice.lan is not inside
  // office.lan and stays, in its old place relative to mail.other.org.
  EXPECT_EQ(server.owners(),
            (std::vector<std::string>{"host.office.lan", "office.lan", "office.lan",
                                      "www.office.lan", "xoffice.lan", "mail.other.org"}));
  const std::string state = server.state();
  EXPECT_NE(state.find("office.lan ns1.office.lan admin.office.lan 77 900 300 604800 120"),
            std::string::npos)
      << state;
  EXPECT_NE(state.find("@\tSOA\tns1.office.lan.\tadmin.office.lan. 77 900 300 604800 120\n"),
            std::string::npos)
      << "zone file rewritten:\n"
      << state;
  {
    LocalZone::Guard held = server.engine.zone.hold();
    EXPECT_NE(held.refreshed_at(), 0);
    EXPECT_EQ(held.retry_after(), held.refreshed_at());
  }
  server.engine.log.set_stream(nullptr);
  std::rewind(log);
  std::string logged(4096, '\0');
  logged.resize(std::fread(logged.data(), 1, logged.size(), log));
  std::fclose(log);
  EXPECT_NE(logged.find(" response office.lan IN AXFR\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find("Loaded database from Primary Server 127.0.0.1\n"), std::string::npos);

  // Every request takes the next ID.
  FakePrimary again([](uint16_t) { return std::vector<Bytes>{}; });
  zone_refresh(server.engine, again.port());
  const Bytes second = again.request();
  EXPECT_EQ(uint16_t(second.at(2) << 8 | second.at(3)),
            uint16_t((request.at(2) << 8 | request.at(3)) + 1));
}

// Messages of every size up to 65535 bytes, the later ones without a
// question: the zone is taken to its closing SOA, not to a buffer's end.
// A domain configured in mixed case is the same domain as the primary's
// lower-case names (RFC 4343): the transfer is taken, the domain keeps its
// case, and the old records of the domain are replaced whatever their case.
TEST(ZoneRefreshTest, MixedCaseDomainIsRefreshedAndKeepsItsCase) {
  RefreshEngine server("Office.LAN");
  FakePrimary primary([](uint16_t id) {
    std::vector<Rr> answers = {soa("OFFICE.lan")};
    for (Rr& rr : office_records()) answers.push_back(rr);
    answers.push_back(soa());
    return std::vector<Bytes>{message(id, answers, Question{"office.LAN"})};
  });
  EXPECT_EQ(zone_refresh(server.engine, primary.port()), 4);
  EXPECT_EQ(server.owners(),
            (std::vector<std::string>{"host.office.lan", "office.lan", "office.lan",
                                      "www.office.lan", "xoffice.lan", "mail.other.org"}));
  const std::string state = server.state();
  EXPECT_EQ(state.rfind("Office.LAN ns1.office.lan admin.office.lan 77 900 300 604800 120\n", 0),
            0u)
      << state;
  EXPECT_NE(state.find("$ORIGIN Office.LAN.\n"), std::string::npos) << state;
}

TEST(ZoneRefreshTest, TransferSpreadOverManyMessagesIsReadToTheEnd) {
  RefreshEngine server;
  FakePrimary primary([](uint16_t id) {
    std::vector<Bytes> out;
    std::vector<Rr> answers = {soa()};
    int next = 0;
    for (size_t budget : {20'000u, 65'300u, 300u, 65'300u}) {
      for (size_t size = 0; next < 3000; ++next) {
        std::string owner = "h" + std::to_string(next) + ".office.lan";
        if ((size += owner.size() + 16) > budget) break;
        answers.push_back(a(std::move(owner), uint8_t(next)));
      }
      if (next == 3000) answers.push_back(soa());
      out.push_back(message(id, answers, out.empty() ? std::optional(Question{}) : std::nullopt));
      answers.clear();
    }
    EXPECT_EQ(next, 3000);
    EXPECT_GT(out[1].size(), 60'000u);
    return out;
  });
  EXPECT_EQ(zone_refresh(server.engine, primary.port()), 3000);
  const std::vector<std::string> owners = server.owners();
  ASSERT_EQ(owners.size(), 3002u);
  EXPECT_EQ(owners[2999], "h2999.office.lan");
}

struct BrokenTransfer {
  const char* name;
  FakePrimary::Script script;
};

// A transfer that is refused, out of turn, malformed or incomplete leaves
// records, SOA and zone file as they were, and the next attempt waits for
// the retry interval (refreshed_at stays 0).
TEST(ZoneRefreshTest, BrokenTransfersChangeNothing) {
  auto whole = [](uint16_t) {
    std::vector<Rr> answers = {soa()};
    for (Rr& rr : office_records()) answers.push_back(rr);
    return answers;
  };
  auto one = [](Bytes m) { return std::vector<Bytes>{std::move(m)}; };
  const std::vector<BrokenTransfer> cases = {
      {"refused", [&](uint16_t id) { return one(message(id, {}, Question{}, 0x8405)); }},
      {"other id", [&](uint16_t id) { return one(message(id + 1, whole(id))); }},
      {"not a response", [&](uint16_t id) { return one(message(id, whole(id), Question{}, 0)); }},
      {"rcode 8", [&](uint16_t id) { return one(message(id, whole(id), Question{}, 0x8408)); }},
      {"other zone",
       [&](uint16_t id) { return one(message(id, whole(id), Question{"other.lan"})); }},
      {"question type A",
       [&](uint16_t id) {
         return one(message(id, whole(id), Question{"office.lan", 1}));
       }},
      {"opens without SOA", [&](uint16_t id) { return one(message(id, office_records())); }},
      {"SOA of another zone",
       [&](uint16_t id) {
         return one(message(id, {soa("evil.org"), soa()}));
       }},
      {"record runs past the message",
       [&](uint16_t id) {
         Bytes m = message(id, {soa(), a("host.office.lan", 1), soa()});
         m.resize(m.size() - 60);
         m[0] = uint8_t((m.size() - 2) >> 8), m[1] = uint8_t(m.size() - 2);
         return one(m);
       }},
      {"primary dies inside a message",
       [&](uint16_t id) {
         Bytes m = message(id, whole(id));
         m.resize(m.size() / 2);
         return one(m);
       }},
      {"ends without its closing SOA", [&](uint16_t id) { return one(message(id, whole(id))); }},
      {"later message out of turn",
       [&](uint16_t id) {
         return std::vector<Bytes>{message(id, whole(id)), message(id + 7, {soa()}, std::nullopt)};
       }},
      {"later message with an error",
       [&](uint16_t id) {
         return std::vector<Bytes>{message(id, whole(id)),
                                   message(id, {soa()}, std::nullopt, 0x8402)};
       }},
      {"message shorter than a header",
       [&](uint16_t) {
         return one(Bytes{0, 4, 1, 2, 3, 4});
       }},
  };
  for (const BrokenTransfer& broken : cases) {
    SCOPED_TRACE(broken.name);
    RefreshEngine server;
    const std::string before = server.state();
    FakePrimary primary(broken.script);
    EXPECT_EQ(zone_refresh(server.engine, primary.port()), 0);
    EXPECT_EQ(server.state(), before);
    LocalZone::Guard held = server.engine.zone.hold();
    EXPECT_EQ(held.refreshed_at(), 0);
    EXPECT_TRUE(held.staging().empty());
  }
}

// A primary that accepts and then goes quiet, before or during the transfer,
// does not hold the refresh for ever.
TEST(ZoneRefreshTest, SilentPrimaryEndsTheRefresh) {
  for (bool after_first : {false, true}) {
    RefreshEngine server;
    const std::string before = server.state();
    FakePrimary primary(
        [&](uint16_t id) {
          return after_first ? std::vector<Bytes>{message(id, {soa(), a("h.office.lan", 1)})}
                             : std::vector<Bytes>{};
        },
        true);
    EXPECT_EQ(zone_refresh(server.engine, primary.port()), 0);
    EXPECT_EQ(server.state(), before);
  }
}

// A primary that sends far more than the bounds allow and never closes the
// transfer: the refresh is abandoned at the bound (not by the read time-out),
// logged, nothing changes and the staging list is free for the next refresh.
// A transfer just within both bounds is taken whole.
TEST(ZoneRefreshTest, TransferPastItsBoundsIsAbandoned) {
  // 50 messages of 100 address records each behind the opening SOA.
  auto endless = [](uint16_t id) {
    std::vector<Bytes> pieces = {message(id, {soa()})};
    for (int m = 0; m < 50; ++m) {
      std::vector<Rr> records;
      for (int i = 0; i < 100; ++i)
        records.push_back(a("h" + std::to_string(m * 100 + i) + ".office.lan", uint8_t(i)));
      pieces.push_back(message(id, records, std::nullopt));
    }
    return pieces;
  };
  auto closed = [](uint16_t id) {
    return std::vector<Bytes>{message(id, {soa(), a("h.office.lan", 1), soa()})};
  };
  const size_t closed_bytes = message(0, {soa(), a("h.office.lan", 1), soa()}).size();
  struct Case {
    const char* name;
    FakePrimary::Script script;
    uint32_t max_records, max_bytes;
    std::string logged;  // "" when the transfer succeeds
  };
  const Case cases[] = {
      {"records", endless, 1000, kDefaultTransferMaxBytes, "more than 1000 records"},
      {"bytes", endless, kDefaultTransferMaxRecords, 20000, "more than 20000 bytes"},
      {"within", closed, 3, uint32_t(closed_bytes), ""},
      {"one record over", closed, 2, kDefaultTransferMaxBytes, "more than 2 records"},
      {"one byte over", closed, 3, uint32_t(closed_bytes - 1),
       "more than " + std::to_string(closed_bytes - 1) + " bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RefreshEngine server;
    std::FILE* log = std::tmpfile();
    server.engine.log.set_stream(log);
    server.engine.log.set_level(1);
    server.engine.settings.transfer_max_records = c.max_records;
    server.engine.settings.transfer_max_bytes = c.max_bytes;
    const std::string before = server.state();
    FakePrimary primary(c.script, true);
    const int count = zone_refresh(server.engine, primary.port());
    server.engine.log.set_stream(nullptr);
    std::rewind(log);
    std::string logged(4096, '\0');
    logged.resize(std::fread(logged.data(), 1, logged.size(), log));
    std::fclose(log);
    if (c.logged.empty()) {
      EXPECT_EQ(count, 1);
      EXPECT_EQ(logged, "");
      continue;
    }
    EXPECT_EQ(count, 0);
    EXPECT_NE(logged.find("zone transfer from 127.0.0.1 abandoned: " + c.logged), std::string::npos)
        << logged;
    EXPECT_EQ(server.state(), before);
    LocalZone::Guard held = server.engine.zone.hold();
    EXPECT_TRUE(held.staging().empty());
    EXPECT_FALSE(held.staging_claimed());
  }
}

TEST(ZoneRefreshTest, RunningLoadKeepsTheRefreshOut) {
  RefreshEngine server;
  auto script = [](uint16_t id) { return std::vector<Bytes>{message(id, {soa(), soa()})}; };
  const std::string before = server.state();
  {
    StagingClaim load(server.engine);
    FakePrimary primary(script);
    EXPECT_EQ(zone_refresh(server.engine, primary.port()), 0);
    EXPECT_EQ(server.state(), before);
  }
  FakePrimary primary(script);
  zone_refresh(server.engine, primary.port());
  EXPECT_EQ(server.owners(), (std::vector<std::string>{"xoffice.lan", "mail.other.org"}));
}

// Damaged bytes anywhere in a transfer: the refresh fails cleanly or takes a
// whole zone; it never reads outside a message.
TEST(ZoneRefreshTest, DamagedTransfersNeverCrash) {
  std::mt19937 random(5);
  RefreshEngine server;
  for (int round = 0; round < 120; ++round) {
    const std::string before = server.state();
    FakePrimary primary([&](uint16_t id) {
      std::vector<Rr> answers = {soa()};
      for (Rr& rr : office_records()) answers.push_back(rr);
      answers.push_back(soa());
      Bytes m = message(id, answers);
      for (int flips = 1 + int(random() % 4); flips > 0; --flips)
        m[4 + random() % (m.size() - 4)] = uint8_t(random());
      return std::vector<Bytes>{m};
    });
    if (zone_refresh(server.engine, primary.port()) == 0) {
      LocalZone::Guard held = server.engine.zone.hold();
      if (held.refreshed_at() == 0) {
        EXPECT_EQ(server.state(), before);
      }
    }
  }
}

// The reader without a socket: the messages come from memory, the result
// tells an empty zone (0) from a failed transfer (-1), and nothing is saved.
TEST(ZoneRefreshTest, TransferTakenFromMemoryInstallsWithoutSaving) {
  struct Case {
    const char* name;
    std::vector<Rr> answers;
    int result;
  };
  std::vector<Rr> whole = {soa()};
  for (Rr& rr : office_records()) whole.push_back(rr);
  whole.push_back(soa());
  const std::vector<Case> cases = {
      {"whole zone", whole, 4},
      {"empty zone", {soa(), soa()}, 0},
      {"no closing SOA", {soa(), a("host.office.lan", 1)}, -1},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    RefreshEngine server;
    const std::string file_before = read_text(server.zone_file());
    const std::string before = server.state();
    std::vector<Bytes> pending = {message(1235, test.answers)};
    auto next = [&pending](std::vector<uint8_t>& out) {
      if (pending.empty()) return false;
      out.assign(pending.front().begin() + 2, pending.front().end());
      pending.erase(pending.begin());
      return true;
    };
    int completed = 0;
    EXPECT_EQ(zone_transfer_take(server.engine, "office.lan", 1235, loopback(), next,
                                 [&completed] { ++completed; }),
              test.result);
    EXPECT_EQ(completed, test.result < 0 ? 0 : 1);
    EXPECT_EQ(read_text(server.zone_file()), file_before);
    if (test.result < 0) {
      EXPECT_EQ(server.state(), before);
    }
    LocalZone::Guard held = server.engine.zone.hold();
    EXPECT_TRUE(held.staging().empty());
    EXPECT_EQ(held.serial(), test.result < 0 ? 5u : 77u);
  }
}

struct Turn {
  const char* name;
  uint32_t primary;
  std::time_t refreshed_at, retry_after, now;
  bool starts;
};

// Refresh 36000 and retry 7200: due strictly after refreshed_at + refresh and
// after retry_after, and only for a secondary.
TEST(ZoneRefresherTest, TurnStartsARefreshOnlyWhenDue) {
  const std::time_t t = 1'000'000;
  const std::vector<Turn> turns = {
      {"never refreshed", loopback(), 0, 0, t, true},
      {"not a secondary", 0, 0, 0, t, false},
      {"refresh interval not over", loopback(), t, t, t + 36000, false},
      {"refresh interval over", loopback(), t, t, t + 36001, true},
      {"retry interval not over", loopback(), 0, t + 7200, t + 7200, false},
      {"retry interval over", loopback(), 0, t + 7200, t + 7201, true},
  };
  for (const Turn& turn : turns) {
    SCOPED_TRACE(turn.name);
    RefreshEngine server;
    server.engine.settings.primary = turn.primary;
    {
      LocalZone::Guard held = server.engine.zone.hold();
      held.set_refreshed_at(turn.refreshed_at);
      held.set_retry_after(turn.retry_after);
    }
    ZoneRefresher refresher(server.engine);
    // Nothing listens there: a started refresh fails at once.
    refresher.set_primary_port(1);
    refresher.on_turn(turn.now);
    refresher.wait();
    LocalZone::Guard held = server.engine.zone.hold();
    EXPECT_EQ(held.retry_after(), turn.starts ? turn.now + 7200 : turn.retry_after);
  }
}

TEST(ZoneRefresherTest, OneRefreshAtATimeAndStopAbandonsIt) {
  RefreshEngine server;
  const std::string before = server.state();
  FakePrimary primary([](uint16_t id) { return std::vector<Bytes>{message(id, {soa()})}; }, true);
  ZoneRefresher refresher(server.engine);
  refresher.set_primary_port(primary.port());
  ASSERT_TRUE(refresher.zone_refresh_start());
  EXPECT_FALSE(refresher.zone_refresh_start());
  EXPECT_TRUE(refresher.running());
  refresher.stop();
  EXPECT_FALSE(refresher.running());
  EXPECT_FALSE(refresher.zone_refresh_start());
  EXPECT_EQ(server.state(), before);
}

// ---- against nsd on 127.0.0.1:53 in a network namespace of the test's own --

using test_support::in_private_network;

constexpr const char* kNsd = "/usr/sbin/nsd";

// nsd serving office.lan (transfers allowed to 127.0.0.1) and closed.lan (no
// transfers) from a scratch folder; stopped by the destructor.
class Nsd {
 public:
  Nsd() {
    char pattern[] = "/tmp/norvane-nsd-XXXXXX";
    folder_ = mkdtemp(pattern);
    std::ofstream(folder_ / "nsd.conf")
        << "server:\n  ip-address: 127.0.0.1\n  port: 53\n  username: \"\"\n  chroot: \"\"\n"
        << "  zonesdir: \"" << folder_.string() << "\"\n  database: \"\"\n"
        << "  zonelistfile: \"" << (folder_ / "zone.list").string() << "\"\n"
        << "  xfrdfile: \"" << (folder_ / "xfrd.state").string() << "\"\n"
        << "  xfrdir: \"" << folder_.string() << "\"\n"
        << "  pidfile: \"" << (folder_ / "nsd.pid").string() << "\"\n  server-count: 1\n"
        << "remote-control:\n  control-enable: no\n"
        << "zone:\n  name: office.lan\n  zonefile: office.zone\n  provide-xfr: 127.0.0.1 NOKEY\n"
        << "zone:\n  name: closed.lan\n  zonefile: closed.zone\n";
    write_zone(5, 0);
    std::ofstream(folder_ / "closed.zone")
        << "$ORIGIN closed.lan.\n@ 3600 SOA ns1 hostmaster 1 1200 600 86400 300\n@ NS ns1\n"
        << "ns1 A 10.0.0.1\n";
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int log = open((folder_ / "nsd.log").c_str(), O_WRONLY | O_CREAT, 0600);
      dup2(log, 1);
      dup2(log, 2);
      execl(kNsd, kNsd, "-d", "-c", (folder_ / "nsd.conf").c_str(), nullptr);
      _exit(127);
    }
    for (int tries = 0; tries < 100; ++tries) {
      const int probe = connect_tcp(loopback(), 53);
      if (probe >= 0) {
        close(probe);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << "nsd did not start: " << read_text(folder_ / "nsd.log");
  }
  ~Nsd() {
    kill(pid_, SIGTERM);
    for (int tries = 0; tries < 50 && waitpid(pid_, nullptr, WNOHANG) == 0; ++tries)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, WNOHANG);
    std::filesystem::remove_all(folder_);
  }

  // office.lan: 3000 addresses h<first>..., and the apex records; written
  // beside the file and renamed over it, its time moved on so that a reload
  // sees the change.
  void write_zone(uint32_t serial, int first) {
    const std::filesystem::path temporary = folder_ / "office.zone.new";
    {
      std::ofstream out(temporary);
      out << "$ORIGIN office.lan.\n$TTL 3600\n@ SOA ns1 hostmaster " << serial
          << " 1200 600 86400 300\n@ NS ns1\nns1 A 10.0.0.1\n@ MX 10 mail\nmail A 10.0.0.2\n"
          << "www CNAME mail\n";
      for (int i = first; i < first + 3000; ++i)
        out << 'h' << i << " A 10.1." << i / 250 << '.' << i % 250 + 1 << '\n';
    }
    const timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 60 * serial, 0}};
    utimensat(AT_FDCWD, temporary.c_str(), times, 0);
    std::filesystem::rename(temporary, folder_ / "office.zone");
  }
  void reload() { kill(pid_, SIGHUP); }

 private:
  std::filesystem::path folder_;
  pid_t pid_ = -1;
};

void expect_in_private_network(const std::function<void()>& body) {
  if (access(kNsd, X_OK) != 0) GTEST_SKIP() << "nsd is not installed";
  const std::string result = in_private_network(body);
  if (result == "skip") GTEST_SKIP() << "no network namespaces here (not root?)";
  EXPECT_EQ(result, "");
}

TEST(ZoneRefreshNsdTest, FirstLoadThenRefreshAfterAChange) {
  expect_in_private_network([] {
    Nsd nsd;
    RefreshEngine server;
    ZoneRefresher refresher(server.engine);
    ASSERT_TRUE(refresher.zone_refresh_start());
    // 3000 addresses, NS, MX, CNAME and two more addresses.
    EXPECT_EQ(refresher.wait(), 3005);
    std::vector<std::string> owners = server.owners();
    ASSERT_EQ(owners.size(), 3007u);
    EXPECT_EQ(owners[3005], "xoffice.lan");
    EXPECT_EQ(owners[3006], "mail.other.org");
    EXPECT_NE(std::count(owners.begin(), owners.end(), "h2999.office.lan"), 0);
    const std::string file = read_text(server.zone_file());
    EXPECT_NE(file.find("\nh2999\t"), std::string::npos);
    EXPECT_NE(file.find("\tA\t10.1.11.250\n"), std::string::npos);

    nsd.write_zone(6, 1);
    nsd.reload();
    uint32_t serial = 0;
    for (int tries = 0; tries < 40 && serial != 6; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      EXPECT_EQ(zone_refresh(server.engine), 3005);
      LocalZone::Guard held = server.engine.zone.hold();
      serial = held.serial();
    }
    ASSERT_EQ(serial, 6u);
    owners = server.owners();
    EXPECT_EQ(owners.size(), 3007u);
    EXPECT_EQ(std::count(owners.begin(), owners.end(), "h0.office.lan"), 0);
    EXPECT_EQ(std::count(owners.begin(), owners.end(), "h3000.office.lan"), 1);
  });
}

TEST(ZoneRefreshNsdTest, RefusedTransferChangesNothing) {
  expect_in_private_network([] {
    Nsd nsd;
    RefreshEngine server("closed.lan");
    const std::string before = server.state();
    EXPECT_EQ(zone_refresh(server.engine), 0);
    EXPECT_EQ(server.state(), before);
  });
}

}  // namespace
}  // namespace norvane
