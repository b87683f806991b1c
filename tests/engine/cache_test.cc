// The cache: learning from hand-written replies (lifetimes, the ClientTTL
// rewrite, malformed and truncated replies), the same-key and CacheEntries
// rules, expiry, most-recently-used order, every answer writer with its limits
// (read back with ldns), and the listing image byte for byte.
#include "engine/cache.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/dns_message.h"
#include "tests/engine/engine_test_support.h"

namespace norvane {
namespace {

using test_support::ipv4;

constexpr uint32_t kStart = 1'700'000'000;
// The domain this server answers for itself: nothing below it is learned.
constexpr std::string_view kLocalDomain = "office.lan";

// Wire bytes written by hand: numbers big-endian, names label by label.
struct Wire {
  std::vector<uint8_t> bytes;
  Wire& u8(std::initializer_list<int> values) {
    for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Wire& u16(uint16_t v) { return u8({v >> 8, v & 0xFF}); }
  Wire& u32(uint32_t v) {
    return u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v));
  }
  Wire& name(std::string_view text) {
    while (!text.empty()) {
      const size_t dot = std::min(text.find('.'), text.size());
      bytes.push_back(static_cast<uint8_t>(dot));
      bytes.insert(bytes.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(dot));
      text.remove_prefix(std::min(text.size(), dot + 1));
    }
    bytes.push_back(0);
    return *this;
  }
};

// A reply to "example.com A": header, question at offset 12 (so "c0 0c"
// points at example.com), then the given records.
Wire reply_header(uint16_t flags, uint16_t an, uint16_t ns, uint16_t ar) {
  Wire w;
  w.u16(0x1234).u16(flags).u16(1).u16(an).u16(ns).u16(ar);
  w.name("example.com").u16(kTypeA).u16(kClassIn);
  return w;
}

// "example.com A ttl address" as a compressed record.
void a_record(Wire& w, uint32_t ttl, uint32_t address) {
  w.u8({0xc0, 0x0c}).u16(kTypeA).u16(kClassIn).u32(ttl).u16(4);
  w.bytes.insert(w.bytes.end(), reinterpret_cast<const uint8_t*>(&address),
                 reinterpret_cast<const uint8_t*>(&address) + 4);
}

// One reply with every cached type, pointers into earlier names, and a record
// of class CH in the middle. The minimum of A/NS/CNAME/MX is 600.
std::vector<uint8_t> mixed_reply() {
  Wire w = reply_header(0x8180, 1, 2, 3);
  // 29: example.com MX 10 mail.example.com, "mail" at offset 43.
  w.u8({0xc0, 0x0c}).u16(kTypeMx).u16(kClassIn).u32(3600).u16(9).u16(10);
  w.u8({4, 'm', 'a', 'i', 'l', 0xc0, 0x0c});
  w.u8({0xc0, 0x0c}).u16(kTypeNs).u16(kClassIn).u32(7200).u16(6);
  w.u8({3, 'n', 's', '1', 0xc0, 0x0c});
  w.u8({0xc0, 0x0c}).u16(16).u16(3).u32(1).u16(2).u8({1, 'x'});  // TXT, class CH
  w.u8({0xc0, 43}).u16(kTypeA).u16(kClassIn).u32(600).u16(4).u8({10, 0, 0, 25});
  w.u8({3, 'w', 'w', 'w', 0xc0, 0x0c}).u16(kTypeCname).u16(kClassIn).u32(900).u16(2);
  w.u8({0xc0, 0x0c});
  w.name("5.0.0.10.in-addr.arpa").u16(kTypePtr).u16(kClassIn).u32(86400).u16(7);
  w.u8({4, 'h', 'o', 's', 't', 0xc0, 0x0c});
  return w.bytes;
}

// The records a writer put into a section, as ldns prints them.
std::vector<std::string> records(const std::vector<uint8_t>& section, uint16_t count) {
  Wire w;
  w.u16(1).u16(0x8180).u16(0).u16(count).u16(0).u16(0);
  w.bytes.insert(w.bytes.end(), section.begin(), section.end());
  test_support::LdnsPacket packet(test_support::parse_with_ldns(w.bytes));
  if (packet == nullptr) {
    ADD_FAILURE() << "ldns refuses " << count << " records";
    return {};
  }
  return test_support::section_texts(packet.get(), LDNS_SECTION_ANSWER);
}

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cache_.set_clock([this] { return now_; });
  }

  uint64_t add(uint32_t type, std::string_view name, uint32_t datum, std::string_view target,
               uint32_t ttl) {
    return cache_.cache_add(CacheMode::kLearned, type, name, datum, target, ttl);
  }

  // Runs a writer into an empty section below `limit` bytes of reply (the
  // 12-byte header stands in front) and returns its records.
  template <class Writer>
  std::vector<std::string> answer(Writer&& writer, size_t limit = 512) {
    std::vector<uint8_t> section;
    Sink sink(section, 12, limit);
    const uint16_t count = writer(sink);
    return records(section, count);
  }
  std::vector<std::string> answer_a(std::string_view name) {
    return answer([&](Sink& s) { return cache_.cache_answer_a(name, s); });
  }

  std::vector<std::string> names_in_order() {
    std::vector<std::string> out;
    for (const CacheEntry& e : cache_.cache_list()) out.push_back(e.name + "/" + e.target);
    return out;
  }

  uint32_t now_ = kStart;
  ServerSettings settings_;
  TransactionLog log_;
  Cache cache_{settings_, log_};
};

TEST_F(CacheTest, LearnsEveryTypeWithTheReplyMinimumAndSkipsOtherClasses) {
  std::vector<uint8_t> reply = mixed_reply();
  cache_.cache_learn_reply(reply, kLocalDomain);
  // The additional section's CNAME and PTR are owned by names nothing in the
  // reply points to, so they count for the minimum but are not learned.
  const uint32_t e = kStart + 600;
  const std::vector<CacheEntry> expected = {
      {0, 0, e, ipv4(10, 0, 0, 25), kTypeA, "mail.example.com", ""},
      {0, 0, e, 0, kTypeNs, "example.com", "ns1.example.com"},
      {0, 0, e, 10, kTypeMx, "example.com", "mail.example.com"},
  };
  std::vector<CacheEntry> got = cache_.cache_list();
  for (CacheEntry& entry : got) entry.handle = entry.next = 0;
  EXPECT_EQ(got, expected);
}

TEST_F(CacheTest, LifetimeIsReplyMinimumRaisedToServerTtl) {
  struct Case {
    uint32_t server_ttl, first, second, lifetime;
  } cases[] = {
      {0, 300, 86400, 300},
      {600, 300, 86400, 600},
      {0, 900000, 1000000, 864000},  // capped at ten days
      {0, 100, 50, 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    cache_.cache_clear();
    settings_.server_ttl = c.server_ttl;
    Wire w = reply_header(0x8180, 2, 0, 0);
    a_record(w, c.first, ipv4(10, 0, 0, 1));
    a_record(w, c.second, ipv4(10, 0, 0, 2));
    cache_.cache_learn_reply(w.bytes, kLocalDomain);
    const std::vector<CacheEntry> list = cache_.cache_list();
    ASSERT_EQ(list.size(), 2u);
    for (const CacheEntry& entry : list) EXPECT_EQ(entry.time, kStart + c.lifetime);
  }
}

TEST_F(CacheTest, ClientTtlIsWrittenIntoTheRelayedReplyOnly) {
  settings_.client_ttl = 3600;
  Wire w = reply_header(0x8180, 1, 0, 0);
  a_record(w, 7200, ipv4(10, 0, 0, 1));
  std::vector<uint8_t> reply = w.bytes;
  cache_.cache_learn_reply(reply, kLocalDomain);
  std::vector<uint8_t> expected = w.bytes;
  // The TTL of the answer starts at 29 + 2 + 2 + 2.
  expected[35] = 0x00, expected[36] = 0x00, expected[37] = 0x0e, expected[38] = 0x10;
  EXPECT_EQ(reply, expected);
  ASSERT_EQ(cache_.size(), 1u);
  EXPECT_EQ(cache_.cache_list()[0].time, kStart + 7200);
  EXPECT_EQ(answer_a("example.com"), std::vector<std::string>{"example.com. 3600 IN A 10.0.0.1"});
  now_ += 7000;
  EXPECT_EQ(answer_a("example.com"), std::vector<std::string>{"example.com. 200 IN A 10.0.0.1"});
}

TEST_F(CacheTest, RepliesThatAreNotPlainAnswersAreIgnored) {
  for (uint16_t flags :
       {0x0180, 0x8980 /* opcode 1 */, 0x81c0 /* Z */, 0x8183 /* NXDOMAIN */, 0x8182}) {
    SCOPED_TRACE(flags);
    Wire w = reply_header(flags, 1, 0, 0);
    a_record(w, 300, ipv4(10, 0, 0, 1));
    std::vector<uint8_t> reply = w.bytes;
    settings_.client_ttl = 10;
    cache_.cache_learn_reply(reply, kLocalDomain);
    EXPECT_EQ(cache_.size(), 0u);
    EXPECT_EQ(reply, w.bytes);
  }
}

TEST_F(CacheTest, TruncatedRepliesNeverReachOutsideTheMessage) {
  const std::vector<uint8_t> whole = mixed_reply();
  settings_.client_ttl = 1;
  for (size_t length = 0; length <= whole.size(); ++length) {
    // Guard bytes on both sides of the span the cache gets.
    std::vector<uint8_t> buffer(length + 64, 0xA5);
    std::copy(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length),
              buffer.begin() + 32);
    cache_.cache_learn_reply(std::span<uint8_t>(buffer.data() + 32, length), kLocalDomain);
    for (size_t i = 0; i < 32; ++i) {
      ASSERT_EQ(buffer[i], 0xA5) << length;
      ASSERT_EQ(buffer[32 + length + i], 0xA5) << length;
    }
  }
  // Only records that lie wholly inside a cut reply are learned: the whole
  // reply gives 3 entries; one byte short of the A record's end (at 98) loses
  // that record.
  cache_.cache_clear();
  std::vector<uint8_t> cut(whole.begin(), whole.begin() + 97);
  cache_.cache_learn_reply(cut, kLocalDomain);
  EXPECT_EQ(cache_.size(), 2u);
  cache_.cache_clear();
  std::vector<uint8_t> uncut(whole.begin(), whole.end());
  cache_.cache_learn_reply(uncut, kLocalDomain);
  EXPECT_EQ(cache_.size(), 3u);
}

TEST_F(CacheTest, CountsBeyondTheMessageStopAtItsEnd) {
  // 0xFFFF three times would wrap a 16-bit sum to 0xFFFD; a wide sum reads on.
  Wire w = reply_header(0x8180, 0xFFFF, 0xFFFF, 0xFFFF);
  a_record(w, 300, ipv4(10, 0, 0, 1));
  a_record(w, 300, ipv4(10, 0, 0, 2));
  cache_.cache_learn_reply(w.bytes, kLocalDomain);
  EXPECT_EQ(cache_.size(), 2u);
  Wire wrap = reply_header(0x8180, 0xFFFF, 1, 0);  // 16-bit sum: 0
  a_record(wrap, 300, ipv4(10, 0, 0, 3));
  settings_.client_ttl = 60;
  cache_.cache_learn_reply(wrap.bytes, kLocalDomain);
  EXPECT_EQ(cache_.size(), 3u);
  EXPECT_EQ(read_u32(wrap.bytes.data() + 35), 60u);
}

TEST_F(CacheTest, MalformedNamesAndReverseOwnersAreNotCached) {
  Wire w = reply_header(0x8180, 4, 0, 0);
  // A label that ends in a dot (an empty label in text) and one that holds a
  // blank.
  w.u8({2, 'a', '.', 0}).u16(kTypeA).u16(kClassIn).u32(60).u16(4).u8({1, 2, 3, 4});
  w.u8({3, 'a', ' ', 'b', 0}).u16(kTypeA).u16(kClassIn).u32(60).u16(4).u8({1, 2, 3, 4});
  w.name("0.0.0.0.in-addr.arpa").u16(kTypePtr).u16(kClassIn).u32(60).u16(3).u8({1, 'h', 0});
  w.name("x.in-addr.arpa").u16(kTypePtr).u16(kClassIn).u32(60).u16(3).u8({1, 'h', 0});
  cache_.cache_learn_reply(w.bytes, kLocalDomain);
  EXPECT_EQ(cache_.size(), 0u);
  // An NS whose target runs past its RDATA.
  Wire ns = reply_header(0x8180, 1, 0, 0);
  ns.u8({0xc0, 0x0c}).u16(kTypeNs).u16(kClassIn).u32(60).u16(2).u8({3, 'n', 's', '1', 0});
  cache_.cache_learn_reply(ns.bytes, kLocalDomain);
  EXPECT_EQ(cache_.size(), 0u);
}

TEST(CacheNames, ReverseNameAddressAndCacheableNames) {
  struct Reverse {
    const char* name;
    uint32_t address;
  } reverses[] = {
      {"4.3.2.1.in-addr.arpa", ipv4(1, 2, 3, 4)},
      {"5.0.0.10.in-addr.arpa", ipv4(10, 0, 0, 5)},
      {"0.0.0.0.in-addr.arpa", 0},
      {"x.in-addr.arpa", 0},
      {"4.3.2.1.IN-ADDR.ARPA", 0},
      {"3.2.1.in-addr.arpa", 0},
      {"5.4.3.2.1.in-addr.arpa", 0},
      {"256.3.2.1.in-addr.arpa", 0},
      {".in-addr.arpa", 0},
      {"4.3.2.1.in-addr.arpa.x", 0},
  };
  for (const Reverse& r : reverses) EXPECT_EQ(reverse_name_address(r.name), r.address) << r.name;
  EXPECT_EQ(address_reverse_name(ipv4(10, 0, 0, 5)), "5.0.0.10.in-addr.arpa");

  const std::string label(63, 'a');
  const std::string longest = label + "." + label + "." + label + "." + std::string(61, 'b');
  ASSERT_EQ(longest.size(), 253u);
  EXPECT_TRUE(cacheable_name(""));
  EXPECT_TRUE(cacheable_name(longest));
  EXPECT_FALSE(cacheable_name(longest + "b"));  // only a cut name is this long
  for (const char* bad : {"a..b", ".a", "a.", "a b", "a\tb", "a\nb"}) {
    EXPECT_FALSE(cacheable_name(bad)) << bad;
  }
}

TEST_F(CacheTest, SameKeyRules) {
  struct Case {
    const char* what;
    uint32_t type;
    uint32_t datum1;
    const char* target1;
    uint32_t datum2;
    const char* target2;
    bool second_added;
  } cases[] = {
      {"A same address", kTypeA, ipv4(1, 1, 1, 1), "", ipv4(1, 1, 1, 1), "", false},
      {"A other address", kTypeA, ipv4(1, 1, 1, 1), "", ipv4(1, 1, 1, 2), "", true},
      {"NS same target", kTypeNs, 0, "ns1.x", 0, "NS1.X", false},
      {"NS other target", kTypeNs, 0, "ns1.x", 0, "ns2.x", true},
      {"MX other preference", kTypeMx, 10, "mx.x", 20, "mx.x", false},
      {"MX other exchange", kTypeMx, 10, "mx.x", 10, "mx2.x", true},
      {"second CNAME", kTypeCname, 0, "a.x", 0, "b.x", false},
      {"PTR same address and name", kTypePtr, ipv4(1, 1, 1, 1), "", ipv4(1, 1, 1, 1), "", false},
      {"PTR other address", kTypePtr, ipv4(1, 1, 1, 1), "", ipv4(1, 1, 1, 2), "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    cache_.cache_clear();
    ASSERT_NE(add(c.type, "host.x", c.datum1, c.target1, 100), 0u);
    now_ += 10;
    EXPECT_EQ(add(c.type, "HOST.x", c.datum2, c.target2, 500) != 0, c.second_added);
    now_ -= 10;
    // A refused duplicate leaves the first entry's expiry alone.
    EXPECT_EQ(cache_.cache_list().back().time, kStart + 100);
  }
  EXPECT_EQ(add(6 /* SOA */, "x", 0, "", 100), 0u);
}

TEST_F(CacheTest, CacheEntriesCutKeepsTheMostRecentlyUsed) {
  for (uint32_t i = 0; i < 2000; ++i) add(kTypeA, "h" + std::to_string(i) + ".x", 1, "", 300);
  EXPECT_EQ(cache_.size(), 1025u);
  EXPECT_EQ(cache_.cache_list().front().name, "h1999.x");
  EXPECT_EQ(cache_.cache_list().back().name, "h975.x");

  settings_.cache_entries = 0;
  add(kTypeA, "only.x", 1, "", 300);
  EXPECT_EQ(names_in_order(), std::vector<std::string>{"only.x/"});

  // Dead entries do not count against the limit.
  cache_.cache_clear();
  settings_.cache_entries = 2;
  add(kTypeA, "short1.x", 1, "", 10);
  add(kTypeA, "long.x", 1, "", 1000);
  add(kTypeA, "short2.x", 1, "", 10);
  now_ += 10;
  add(kTypeA, "new.x", 1, "", 1000);
  EXPECT_EQ(names_in_order(), (std::vector<std::string>{"new.x/", "long.x/"}));
}

TEST_F(CacheTest, RestoredEntriesAppendInTheirOrder) {
  for (const char* name : {"r1.x", "r2.x", "r3.x"})
    cache_.cache_add(CacheMode::kRestored, kTypeA, name, 1, "", kStart + 50);
  add(kTypeA, "learned.x", 1, "", 300);
  EXPECT_EQ(names_in_order(), (std::vector<std::string>{"learned.x/", "r1.x/", "r2.x/", "r3.x/"}));
  EXPECT_EQ(cache_.cache_list()[1].time, kStart + 50);
}

TEST_F(CacheTest, ServerTtlBeyondTheClockEndKeepsTheEntry) {
  settings_.server_ttl = std::numeric_limits<uint32_t>::max();
  add(kTypeA, "keep.x", 1, "", 60);
  EXPECT_EQ(cache_.cache_list()[0].time, std::numeric_limits<uint32_t>::max());
  now_ += 100000;
  EXPECT_EQ(answer_a("keep.x").size(), 1u);
}

TEST_F(CacheTest, ExpiryEndsAnswersButMxServesThroughItsLastSecond) {
  add(kTypeA, "x.y", ipv4(1, 2, 3, 4), "", 10);
  add(kTypeMx, "x.y", 5, "mx.y", 10);
  now_ += 9;
  EXPECT_EQ(answer_a("x.y"), std::vector<std::string>{"x.y. 1 IN A 1.2.3.4"});
  now_ += 1;
  EXPECT_TRUE(answer_a("x.y").empty());
  auto mx = [&] { return answer([&](Sink& s) { return cache_.cache_answer_mx("x.y", s); }); };
  EXPECT_EQ(mx(), std::vector<std::string>{"x.y. 0 IN MX 5 mx.y."});
  now_ += 1;
  EXPECT_TRUE(mx().empty());
}

TEST_F(CacheTest, AddressAnswersRotateAndStopAtSixteen) {
  for (uint8_t i = 1; i <= 4; ++i) add(kTypeA, "four.x", ipv4(10, 0, 0, i), "", 300);
  std::set<std::string> firsts;
  for (int i = 0; i < 100; ++i) {
    const std::vector<std::string> got = answer_a("four.x");
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), 4u);
    firsts.insert(got[0]);
  }
  EXPECT_GT(firsts.size(), 1u);

  for (uint8_t i = 1; i <= 20; ++i) add(kTypeA, "twenty.x", ipv4(10, 0, 1, i), "", 300);
  EXPECT_EQ(answer_a("twenty.x").size(), 16u);
}

TEST_F(CacheTest, RecordThatReachesTheLimitIsTakenBack) {
  for (const char* ns : {"ns1.example.com", "ns2.example.com", "ns3.example.com"})
    add(kTypeNs, "example.com", 0, ns, 300);
  // Each NS record is 13 + 10 + 17 = 40 bytes; the header stands at 0..11.
  struct Case {
    size_t limit;
    size_t kept;
  } cases[] = {{12, 0}, {52, 0}, {53, 1}, {92, 1}, {93, 2}, {1000, 3}};
  for (const Case& c : cases) {
    std::vector<uint8_t> section;
    Sink sink(section, 12, c.limit);
    EXPECT_EQ(cache_.cache_answer_ns("example.com", sink), c.kept) << c.limit;
    EXPECT_EQ(section.size(), 40 * c.kept) << c.limit;
  }
}

TEST_F(CacheTest, NameServerAnswersFollowWithAddressesAndMoveToTheFront) {
  add(kTypeNs, "example.com", 0, "ns1.example.com", 300);
  add(kTypeA, "ns1.example.com", ipv4(10, 0, 0, 1), "", 300);
  add(kTypeNs, "example.com", 0, "ns2.example.com", 300);
  add(kTypeA, "ns2.example.com", ipv4(10, 0, 0, 2), "", 300);
  add(kTypeA, "other.com", ipv4(10, 0, 0, 3), "", 300);
  auto ns = [&] {
    return answer([&](Sink& s) { return cache_.cache_answer_ns("example.com", s); });
  };
  // Scan order, then the addresses of the last remembered server first.
  EXPECT_EQ(ns(), (std::vector<std::string>{
                      "example.com. 300 IN NS ns2.example.com.",
                      "example.com. 300 IN NS ns1.example.com.",
                      "ns1.example.com. 300 IN A 10.0.0.1",
                      "ns2.example.com. 300 IN A 10.0.0.2",
                  }));
  EXPECT_EQ(names_in_order(),
            (std::vector<std::string>{"ns2.example.com/", "ns1.example.com/",
                                      "example.com/ns1.example.com", "example.com/ns2.example.com",
                                      "other.com/"}));
  EXPECT_EQ(ns()[0], "example.com. 300 IN NS ns1.example.com.");
}

TEST_F(CacheTest, CnameWithRequiredAddress) {
  add(kTypeCname, "www.x", 0, "host.x", 300);
  std::vector<uint8_t> section;
  Sink sink(section, 12, 512);
  EXPECT_EQ(cache_.cache_answer_cname("www.x", sink, true), 0);
  EXPECT_TRUE(section.empty());
  EXPECT_EQ(answer([&](Sink& s) { return cache_.cache_answer_cname("www.x", s, false); }),
            std::vector<std::string>{"www.x. 300 IN CNAME host.x."});
  add(kTypeA, "host.x", ipv4(10, 0, 0, 9), "", 300);
  EXPECT_EQ(answer([&](Sink& s) { return cache_.cache_answer_cname("www.x", s, true); }),
            (std::vector<std::string>{"www.x. 300 IN CNAME host.x.", "host.x. 300 IN A 10.0.0.9"}));
}

TEST_F(CacheTest, StarMxAnswersLongerNamesUnderItsSuffix) {
  add(kTypeMx, "*.example.com", 10, "mx.example.com", 300);
  add(kTypeMx, "a.example.com", 20, "own.example.com", 300);
  add(kTypeA, "mx.example.com", ipv4(10, 0, 0, 7), "", 300);
  auto mx = [&](std::string_view name) {
    return answer([&](Sink& s) { return cache_.cache_answer_mx(name, s); });
  };
  EXPECT_EQ(mx("b.c.example.com"),
            (std::vector<std::string>{"b.c.example.com. 300 IN MX 10 mx.example.com.",
                                      "mx.example.com. 300 IN A 10.0.0.7"}));
  EXPECT_EQ(mx("a.example.com").size(), 3u);
  EXPECT_TRUE(mx("example.com").empty());
  EXPECT_TRUE(mx("xexample.com").empty());
  EXPECT_EQ(mx("*.example.com").size(), 2u);
}

TEST_F(CacheTest, PtrAnswerUsesTheLiveEntryForTheAddress) {
  add(kTypePtr, "old.x", ipv4(10, 0, 0, 5), "", 100);
  add(kTypePtr, "new.x", ipv4(10, 0, 0, 5), "", 50);
  auto ptr = [&] {
    return answer([&](Sink& s) { return cache_.cache_answer_ptr("5.0.0.10.in-addr.arpa", s); });
  };
  EXPECT_EQ(ptr(), std::vector<std::string>{"5.0.0.10.in-addr.arpa. 50 IN PTR new.x."});
  now_ += 60;  // new.x has died; old.x still answers.
  EXPECT_EQ(ptr(), std::vector<std::string>{"5.0.0.10.in-addr.arpa. 40 IN PTR old.x."});
  EXPECT_TRUE(
      answer([&](Sink& s) { return cache_.cache_answer_ptr("x.in-addr.arpa", s); }).empty());
}

TEST_F(CacheTest, ListingImageByteForByte) {
  const uint64_t mx = add(kTypeMx, "a.b", 10, "m.b", 100);
  const uint64_t a = add(kTypeA, "a.b", ipv4(1, 2, 3, 4), "", 100);
  const std::optional<std::vector<uint8_t>> head = cache_.cache_entry_image(0);
  ASSERT_TRUE(head.has_value());
  const uint32_t e = kStart + 100;
  std::vector<uint8_t> expected;
  for (int i = 0; i < 8; ++i) expected.push_back(static_cast<uint8_t>(a >> (8 * i)));
  for (int i = 0; i < 8; ++i) expected.push_back(static_cast<uint8_t>(mx >> (8 * i)));
  for (int i = 0; i < 4; ++i) expected.push_back(static_cast<uint8_t>(e >> (8 * i)));
  expected.insert(expected.end(), {1, 2, 3, 4, 1, 0, 0, 0, 0, 3, 'a', '.', 'b', 0, 0});
  EXPECT_EQ(*head, expected);
  EXPECT_EQ(head->size(), 32u + 3);

  const std::vector<uint8_t> tail = *cache_.cache_entry_image(mx);
  ASSERT_EQ(tail.size(), 32u + 3 + 3);
  EXPECT_EQ(std::vector<uint8_t>(tail.begin() + 8, tail.begin() + 16), std::vector<uint8_t>(8, 0));
  EXPECT_EQ(
      std::vector<uint8_t>(tail.begin() + 20, tail.end()),
      (std::vector<uint8_t>{10, 0, 0, 0, 15, 0, 0, 0, 3, 3, 'a', '.', 'b', 0, 'm', '.', 'b', 0}));
  const std::optional<CacheEntry> decoded = decode_cache_entry_image(tail);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, (CacheEntry{mx, 0, e, 10, kTypeMx, "a.b", "m.b"}));
  for (size_t length = 0; length < tail.size(); ++length) {
    EXPECT_FALSE(decode_cache_entry_image(std::span(tail.data(), length))) << length;
  }
}

TEST_F(CacheTest, HandlesAreCheckedBeforeUse) {
  const uint64_t first = add(kTypeA, "one.x", 1, "", 100);
  const uint64_t second = add(kTypeA, "two.x", 1, "", 100);
  EXPECT_NE(first, 0u);
  EXPECT_NE(first, second);
  EXPECT_FALSE(cache_.cache_remove(0));
  EXPECT_TRUE(cache_.cache_remove(first));
  EXPECT_FALSE(cache_.cache_remove(first));
  EXPECT_FALSE(cache_.cache_entry_image(first).has_value());
  EXPECT_FALSE(cache_.cache_entry_image(0xDEADBEEF).has_value());
  // A new entry never takes a removed entry's handle.
  const uint64_t third = add(kTypeA, "one.x", 1, "", 100);
  EXPECT_NE(third, first);
  cache_.cache_clear();
  EXPECT_FALSE(cache_.cache_entry_image(0).has_value());
  EXPECT_FALSE(cache_.cache_entry_image(second).has_value());
}

// ---- What a reply may speak for (RFC 2181 section 5.4.1) ----

// One record of a hand-written reply, every name uncompressed.
struct Rr {
  std::string owner;
  uint16_t type;
  // A: the dotted address; NS, CNAME, PTR: the target; MX: the exchange
  // (preference 10).
  std::string data;
};

std::vector<uint8_t> bailiwick_reply(std::string_view question, uint16_t qtype,
                                     const std::vector<Rr>& answer,
                                     const std::vector<Rr>& authority,
                                     const std::vector<Rr>& additional) {
  Wire w;
  w.u16(0x4242).u16(0x8180).u16(1);
  w.u16(static_cast<uint16_t>(answer.size()))
      .u16(static_cast<uint16_t>(authority.size()))
      .u16(static_cast<uint16_t>(additional.size()));
  w.name(question).u16(qtype).u16(kClassIn);
  for (const auto* section : {&answer, &authority, &additional}) {
    for (const Rr& rr : *section) {
      Wire rdata;
      if (rr.type == kTypeA) {
        unsigned a, b, c, d;
        std::sscanf(rr.data.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
        rdata.u8({int(a), int(b), int(c), int(d)});
      } else if (rr.type == kTypeMx) {
        rdata.u16(10).name(rr.data);
      } else {
        rdata.name(rr.data);
      }
      w.name(rr.owner).u16(rr.type).u16(kClassIn).u32(300);
      w.u16(static_cast<uint16_t>(rdata.bytes.size()));
      w.bytes.insert(w.bytes.end(), rdata.bytes.begin(), rdata.bytes.end());
    }
  }
  return w.bytes;
}

TEST_F(CacheTest, OnlyRecordsInBailiwickAreLearned) {
  struct Case {
    const char* what;
    std::string question;
    uint16_t qtype;
    std::vector<Rr> answer, authority, additional;
    std::set<std::string> learned;  // "TYPE name [target]"
  } cases[] = {
      {"additional record inside the local domain",
       "poison.example.com",
       kTypeA,
       {{"poison.example.com", kTypeA, "10.1.1.1"}},
       {},
       {{"intruder.office.lan", kTypeA, "6.6.6.7"}, {"Intruder.OFFICE.Lan", kTypeA, "6.6.6.8"}},
       {"A poison.example.com"}},
      {"local names are never learned, even as the question or a named host",
       "host.office.lan",
       kTypeMx,
       {{"host.office.lan", kTypeMx, "mx.office.lan"}, {"office.lan", kTypeA, "6.6.6.1"}},
       {{"office.lan", kTypeNs, "ns.office.lan"}},
       {{"mx.office.lan", kTypeA, "6.6.6.2"}},
       {}},
      {"answer records outside the question's chain",
       "www.example.com",
       kTypeA,
       {{"www.example.com", kTypeA, "10.1.1.2"},
        {"other.example.org", kTypeA, "6.6.6.3"},
        {"example.com", kTypeCname, "evil.test"}},
       {},
       {},
       {"A www.example.com"}},
      {"authority NS of a sibling, a child and a non-NS record, with their glue",
       "www.example.com",
       kTypeA,
       {{"www.example.com", kTypeA, "10.1.1.3"}},
       {{"example.net", kTypeNs, "ns.evil.test"},
        {"sub.www.example.com", kTypeNs, "ns.sub.test"},
        {"example.com", kTypeA, "6.6.6.4"}},
       {{"ns.evil.test", kTypeA, "6.6.6.5"}, {"ns.sub.test", kTypeA, "6.6.6.6"}},
       {"A www.example.com"}},
      {"additional records for hosts nothing names, CNAME targets included",
       "alias.example.com",
       kTypeA,
       {{"alias.example.com", kTypeCname, "target.example.net"}},
       {},
       {{"target.example.net", kTypeA, "6.6.6.9"}, {"unnamed.example.com", kTypeA, "6.6.6.10"}},
       {"CNAME alias.example.com target.example.net"}},
      {"a CNAME chain, followed without regard to case and in any order",
       "A.Example.com",
       kTypeA,
       {{"b.example.net", kTypeCname, "C.EXAMPLE.ORG"},
        {"a.example.com", kTypeCname, "B.Example.NET"},
        {"c.example.org", kTypeA, "10.1.1.4"}},
       {},
       {},
       {"CNAME a.example.com b.example.net", "CNAME b.example.net c.example.org",
        "A c.example.org"}},
      {"a CNAME loop ends the chain",
       "loop1.example.com",
       kTypeA,
       {{"loop1.example.com", kTypeCname, "loop2.example.com"},
        {"loop2.example.com", kTypeCname, "loop1.example.com"},
        {"loop3.example.com", kTypeA, "6.6.6.11"}},
       {},
       {},
       {"CNAME loop1.example.com loop2.example.com", "CNAME loop2.example.com loop1.example.com"}},
      {"NS with glue, and the zone's NS in the authority section",
       "www.example.com",
       kTypeA,
       {{"www.example.com", kTypeA, "10.1.1.5"}},
       {{"example.com", kTypeNs, "ns1.example.com"}, {"com", kTypeNs, "a.gtld.test"}},
       {{"NS1.example.com", kTypeA, "10.1.1.53"}, {"a.gtld.test", kTypeA, "10.1.1.54"}},
       {"A www.example.com", "NS example.com ns1.example.com", "NS com a.gtld.test",
        "A ns1.example.com", "A a.gtld.test"}},
      {"MX with the exchange's address",
       "example.com",
       kTypeMx,
       {{"example.com", kTypeMx, "mail.example.net"}},
       {},
       {{"mail.example.net", kTypeA, "10.1.1.25"}},
       {"MX example.com mail.example.net", "A mail.example.net"}},
      {"PTR answer to a reverse question",
       "5.0.0.10.in-addr.arpa",
       kTypePtr,
       {{"5.0.0.10.in-addr.arpa", kTypePtr, "host.example.com"},
        {"6.0.0.10.in-addr.arpa", kTypePtr, "other.example.com"}},
       {},
       {},
       {"PTR host.example.com"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    cache_.cache_clear();
    std::vector<uint8_t> reply =
        bailiwick_reply(c.question, c.qtype, c.answer, c.authority, c.additional);
    cache_.cache_learn_reply(reply, kLocalDomain);
    std::set<std::string> learned;
    for (const CacheEntry& e : cache_.cache_list()) {
      learned.insert(std::string(type_mnemonic(e.type)) + " " + e.name +
                     (e.target.empty() ? "" : " " + e.target));
    }
    EXPECT_EQ(learned, c.learned);
  }
}

// Records that are not learned still reach the client with their TTL capped,
// as every relayed record does.
TEST_F(CacheTest, RecordsNotLearnedAreStillCappedForTheClient) {
  settings_.client_ttl = 60;
  std::vector<uint8_t> reply = bailiwick_reply("www.example.com", kTypeA, {}, {},
                                               {{"intruder.office.lan", kTypeA, "6.6.6.7"}});
  cache_.cache_learn_reply(reply, kLocalDomain);
  EXPECT_EQ(cache_.size(), 0u);
  EXPECT_EQ(read_u32(reply.data() + reply.size() - 10), 60u);
}

TEST_F(CacheTest, LogLines) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* stream = open_memstream(&text, &size);
  log_.set_stream(stream);
  log_.set_level(2);
  Wire w = reply_header(0x8180, 2, 0, 0);
  a_record(w, 300, ipv4(10, 0, 0, 1));
  w.u8({0xc0, 0x0c}).u16(28).u16(kClassIn).u32(300).u16(16);
  w.bytes.resize(w.bytes.size() + 16);
  cache_.cache_learn_reply(w.bytes, kLocalDomain);
  answer_a("example.com");
  log_.set_stream(nullptr);
  std::fclose(stream);
  std::vector<std::string> lines;
  std::istringstream all(std::string(text, size));
  std::free(text);
  for (std::string line; std::getline(all, line);) lines.push_back(line.substr(20));
  EXPECT_EQ(lines, (std::vector<std::string>{"answer example.com 300 IN A 10.0.0.1",
                                             "cache add example.com 300 IN A",
                                             "answer example.com 300 IN Type 28 rdlen 16",
                                             "cache example.com 300 IN A 10.0.0.1"}));
}

// Learning, answering, listing and removal from several threads at once; the
// sanitizer builds turn a missed lock into a failure here.
TEST(CacheThreads, ConcurrentUseKeepsTheCacheConsistent) {
  ServerSettings settings;
  settings.cache_entries = 64;
  TransactionLog log;
  Cache cache(settings, log);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&cache, t] {
      for (int i = 0; i < 500; ++i) {
        Wire w = reply_header(0x8180, 2, 0, 0);
        a_record(w, 300,
                 ipv4(10, static_cast<uint8_t>(t), static_cast<uint8_t>(i >> 8),
                      static_cast<uint8_t>(i)));
        w.u8({0xc0, 0x0c}).u16(kTypeNs).u16(kClassIn).u32(300).u16(2).u8({0xc0, 0x0c});
        cache.cache_learn_reply(w.bytes, kLocalDomain);
        std::vector<uint8_t> section;
        Sink sink(section, 12, 512);
        cache.cache_answer_ns("example.com", sink);
        if (auto image = cache.cache_entry_image(0)) {
          const auto entry = decode_cache_entry_image(*image);
          ASSERT_TRUE(entry.has_value());
          if (i % 7 == 0) cache.cache_remove(entry->next);
        }
        if (t == 0 && i % 100 == 0) cache.cache_clear();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(cache.size(), 65u);
  std::vector<CacheEntry> list = cache.cache_list();
  for (size_t i = 0; i + 1 < list.size(); ++i) EXPECT_EQ(list[i].next, list[i + 1].handle);
}

// A label holding a zero byte or a dot reads as another name ("www\0x.test"
// would be cut to "www", "a.b" one label would be the name a.b): such names
// are not learned, as owner, question or target, while the well-formed
// records around them still are.
TEST_F(CacheTest, NamesWhoseTextStandsForAnotherNameAreNotLearned) {
  struct Case {
    const char* what;
    std::vector<int> question;  // wire form of the question name
    std::vector<int> owner;     // wire form of the answer's owner
    std::vector<int> target;    // wire form of the answer's CNAME target
    std::set<std::string> learned;
  } cases[] = {
      {"zero byte in the question and owner",
       {5, 'w', 'w', 'w', 0, 'x', 4, 't', 'e', 's', 't', 0},
       {5, 'w', 'w', 'w', 0, 'x', 4, 't', 'e', 's', 't', 0},
       {3, 'o', 'k', 'a', 4, 't', 'e', 's', 't', 0},
       {}},
      {"dot inside a label of the question and owner",
       {3, 'a', '.', 'b', 0},
       {3, 'a', '.', 'b', 0},
       {3, 'o', 'k', 'a', 4, 't', 'e', 's', 't', 0},
       {}},
      {"dot inside a label of the target only",
       {1, 'a', 4, 't', 'e', 's', 't', 0},
       {1, 'a', 4, 't', 'e', 's', 't', 0},
       {3, 'b', '.', 'c', 0},
       {}},
      {"well-formed names are learned",
       {1, 'a', 4, 't', 'e', 's', 't', 0},
       {1, 'a', 4, 't', 'e', 's', 't', 0},
       {3, 'o', 'k', 'a', 4, 't', 'e', 's', 't', 0},
       {"CNAME a.test oka.test"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    cache_.cache_clear();
    Wire w;
    w.u16(7).u16(0x8180).u16(1).u16(1).u16(0).u16(0);
    for (int b : c.question) w.u8({b});
    w.u16(kTypeA).u16(kClassIn);
    for (int b : c.owner) w.u8({b});
    w.u16(kTypeCname).u16(kClassIn).u32(300).u16(static_cast<uint16_t>(c.target.size()));
    for (int b : c.target) w.u8({b});
    cache_.cache_learn_reply(w.bytes, kLocalDomain);
    std::set<std::string> learned;
    for (const CacheEntry& e : cache_.cache_list())
      learned.insert(std::string(type_mnemonic(e.type)) + " " + e.name + " " + e.target);
    EXPECT_EQ(learned, c.learned);
  }
}

}  // namespace
}  // namespace norvane
