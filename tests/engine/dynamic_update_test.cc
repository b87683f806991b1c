// Dynamic update: hand-written update messages through handle_message, the
// zone, prerequisite and prescan outcomes, every change form with its serial
// rise, truncated and malformed messages, the saved file, the log lines and
// updates racing on one prerequisite.
#include "engine/dynamic_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/dns_message.h"
#include "engine/text_helpers.h"
#include "engine/zone_file.h"
#include "tests/engine/engine_test_support.h"
#include "tests/test_support.h"

namespace norvane {
namespace {

using namespace test_support;
using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

constexpr uint16_t kClassCh = 3;

using test_support::wire_name;
Bytes a(uint8_t w, uint8_t x, uint8_t y, uint8_t z) { return {w, x, y, z}; }
Bytes mx(uint16_t preference, std::string_view exchange) {
  Bytes out = {uint8_t(preference >> 8), uint8_t(preference)};
  const Bytes name = wire_name(exchange);
  out.insert(out.end(), name.begin(), name.end());
  return out;
}

// One record of the prerequisite or update section; the owner in wire form so
// that tests can hand in compressed or malformed names.
struct Rr {
  Rr(std::string_view name, uint16_t type, uint16_t rclass, uint32_t ttl = 0, Bytes rdata = {})
      : Rr(wire_name(name), type, rclass, ttl, std::move(rdata)) {}
  Rr(Bytes owner, uint16_t type, uint16_t rclass, uint32_t ttl, Bytes rdata)
      : owner(std::move(owner)), type(type), rclass(rclass), ttl(ttl), rdata(std::move(rdata)) {}
  Bytes owner;
  uint16_t type, rclass;
  uint32_t ttl;
  Bytes rdata;
};

struct Zone {
  std::string name = "office.lan";
  uint16_t count = 1, type = kTypeSoa, zone_class = kClassIn;
};

// An update message written out byte by byte, id 0x4A21.
Bytes update_message(const std::vector<Rr>& prerequisites, const std::vector<Rr>& updates,
                     const Zone& zone = {}, uint16_t flags = 0x2800) {
  Bytes out = {0x4A,
               0x21,
               uint8_t(flags >> 8),
               uint8_t(flags),
               uint8_t(zone.count >> 8),
               uint8_t(zone.count),
               0,
               uint8_t(prerequisites.size()),
               0,
               uint8_t(updates.size()),
               0,
               0};
  const Bytes zone_name = wire_name(zone.name);
  out.insert(out.end(), zone_name.begin(), zone_name.end());
  out.insert(out.end(), {uint8_t(zone.type >> 8), uint8_t(zone.type), 0, uint8_t(zone.zone_class)});
  for (const auto* section : {&prerequisites, &updates}) {
    for (const Rr& rr : *section) {
      out.insert(out.end(), rr.owner.begin(), rr.owner.end());
      out.insert(out.end(), {uint8_t(rr.type >> 8), uint8_t(rr.type), uint8_t(rr.rclass >> 8),
                             uint8_t(rr.rclass), uint8_t(rr.ttl >> 24), uint8_t(rr.ttl >> 16),
                             uint8_t(rr.ttl >> 8), uint8_t(rr.ttl), uint8_t(rr.rdata.size() >> 8),
                             uint8_t(rr.rdata.size())});
      out.insert(out.end(), rr.rdata.begin(), rr.rdata.end());
    }
  }
  return out;
}

// Every live record of `engine` as "owner ttl TYPE data", sorted.
Texts records_of(Engine& engine) {
  LocalZone::Guard held = engine.zone.hold();
  Texts out;
  char address[kIpv4TextSize];
  for (const ZoneRecord& r : held.live().records()) {
    const std::string data = r.type == kTypeA ? format_ipv4(r.datum, address)
                             : r.type == kTypeMx
                                 ? std::to_string(r.datum) + " " + std::string(r.target)
                                 : std::string(r.target);
    out.push_back(std::string(r.owner) + " " + std::to_string(r.ttl) + " " + type_mnemonic(r.type) +
                  " " + data);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// `base` without `gone` and with `added`, sorted.
Texts changed(const Texts& base, const Texts& gone, const Texts& added) {
  Texts out;
  for (const std::string& r : base)
    if (std::find(gone.begin(), gone.end(), r) == gone.end()) out.push_back(r);
  out.insert(out.end(), added.begin(), added.end());
  std::sort(out.begin(), out.end());
  return out;
}

class DynamicUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_.settings.data_directory.set(dir_);
    load_office_lan(engine_);
  }

  void reset_zone() {
    {
      LocalZone::Guard held = engine_.zone.hold();
      held.live().clear();
    }
    load_office_lan(engine_);
    engine_.statistics.updates = 0;
  }

  // The response code of the reply to `request`, which must carry the
  // request's id and its zone section when that reads, and nothing else of
  // the request (RFC 2136 section 3.8).
  uint16_t send(const Bytes& request) {
    Reply reply;
    const int length = handle_message(engine_, context_, reply, kUdpReplyLimit, request);
    EXPECT_EQ(length, static_cast<int>(reply.message.size()));
    const Bytes& got = reply.message;
    if (got.size() < 12 || got.size() > request.size()) return 0xFFFF;
    EXPECT_TRUE(std::equal(got.begin() + 12, got.end(), request.begin() + 12));
    EXPECT_EQ(read_u16(got.data()), read_u16(request.data()));
    EXPECT_EQ(read_u16(got.data() + 4) == 0, got.size() == 12);
    EXPECT_EQ(read_u16(got.data() + 6) | read_u16(got.data() + 8) | read_u16(got.data() + 10), 0);
    return read_u16(got.data() + 2) & kFlagRcode;
  }

  Texts records() { return records_of(engine_); }
  uint32_t serial() {
    LocalZone::Guard held = engine_.zone.hold();
    return held.serial();
  }

  test_support::ScratchFolder scratch_{"dynamic_update_test"};
  std::string dir_ = scratch_.path();
  Engine engine_;
  RequestContext context_;
};

// A zone section fault refuses the message before anything else is read.
TEST_F(DynamicUpdateTest, ZoneSectionMustNameTheDomainsSoa) {
  const std::pair<Zone, uint16_t> cases[] = {
      {{"office.lan", 0}, kRcodeFormErr},
      {{"office.lan", 2}, kRcodeFormErr},
      {{"office.lan", 1, kTypeA}, kRcodeFormErr},
      {{"office.lan", 1, kTypeSoa, kClassCh}, kRcodeFormErr},
      {{"lab.office.lan"}, kRcodeNotAuth},
      {{"xoffice.lan"}, kRcodeNotAuth},
      {{"OFFICE.Lan"}, kRcodeNoError},
  };
  for (const auto& [zone, rcode] : cases) {
    SCOPED_TRACE(zone.name + " " + std::to_string(zone.count) + " " + std::to_string(zone.type));
    const Texts before = records();
    EXPECT_EQ(
        send(update_message({}, {{"new.office.lan", kTypeA, kClassIn, 300, a(10, 0, 0, 1)}}, zone)),
        rcode);
    EXPECT_EQ(records() != before, rcode == kRcodeNoError);
  }
}

// Each prerequisite form with its outcome. The addition behind it happens only
// when the prerequisite holds; a failure changes neither records nor serial.
TEST_F(DynamicUpdateTest, EachPrerequisiteFormHasItsOutcome) {
  const std::pair<Rr, uint16_t> cases[] = {
      {{"host.office.lan", kTypeA, kClassAny, 3600}, kRcodeFormErr},
      {{"host.other.lan", kTypeA, kClassAny}, kRcodeNotZone},
      {{"host.office.lan", kTypeAny, kClassAny}, kRcodeNoError},
      {{"nobody.office.lan", kTypeAny, kClassAny}, kRcodeNxDomain},
      {{"lab.office.lan", kTypeAny, kClassAny}, kRcodeNxDomain},  // only names below it
      {{"host.office.lan", kTypeA, kClassAny}, kRcodeNoError},
      {{"host.office.lan", kTypeMx, kClassAny}, kRcodeNxRrset},
      {{"office.lan", kTypeSoa, kClassAny}, kRcodeNoError},
      {{"host.office.lan", kTypeA, kClassAny, 0, a(1, 2, 3, 4)}, kRcodeFormErr},
      {{"www.office.lan", kTypeAny, kClassNone}, kRcodeYxDomain},
      {{"nobody.office.lan", kTypeAny, kClassNone}, kRcodeNoError},
      {{"host.office.lan", kTypeA, kClassNone}, kRcodeYxRrset},
      {{"host.office.lan", kTypeMx, kClassNone}, kRcodeNoError},
      {{"host.office.lan", kTypeMx, kClassNone, 0, a(1, 2, 3, 4)}, kRcodeFormErr},
      {{"host.office.lan", kTypeA, kClassIn, 0, a(192, 168, 1, 11)}, kRcodeNoError},
      {{"host.office.lan", kTypeA, kClassIn, 0, a(192, 168, 1, 99)}, kRcodeNxRrset},
      {{"www.office.lan", kTypeCname, kClassIn, 0, wire_name("HOST.office.lan")}, kRcodeNoError},
      {{"office.lan", kTypeMx, kClassIn, 0, mx(10, "mail.office.lan")}, kRcodeNoError},
      {{"office.lan", kTypeMx, kClassIn, 0, mx(20, "mail.office.lan")}, kRcodeNxRrset},
      {{"office.lan", kTypeNs, kClassIn, 0, wire_name("ns1.office.lan")}, kRcodeNoError},
      {{"host.office.lan", kTypeA, kClassIn, 0, {192, 168, 1}}, kRcodeFormErr},
      {{"host.office.lan", 16 /* TXT */, kClassIn, 0, {1, 'x'}}, kRcodeNxRrset},
      {{"host.office.lan", kTypeA, kClassCh}, kRcodeFormErr},
  };
  const Texts before = records();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [prerequisite, rcode] = cases[i];
    SCOPED_TRACE(i);
    const uint32_t serial_before = serial();
    EXPECT_EQ(send(update_message({prerequisite},
                                  {{"new.office.lan", kTypeA, kClassIn, 300, a(10, 0, 0, 1)}})),
              rcode);
    const bool applied = rcode == kRcodeNoError;
    EXPECT_EQ(serial(), serial_before + (applied ? 1 : 0));
    EXPECT_EQ(records(),
              changed(before, {}, applied ? Texts{"new.office.lan 300 A 10.0.0.1"} : Texts{}));
    LocalZone::Guard held = engine_.zone.hold();
    held.remove_zone_records(kTypeA, "new.office.lan");
  }

  // Every prerequisite is checked, not only the first.
  const Rr holds{"host.office.lan", kTypeA, kClassIn, 0, a(192, 168, 1, 10)};
  const Rr fails{"www.office.lan", kTypeAny, kClassNone};
  EXPECT_EQ(send(update_message({holds, fails}, {})), kRcodeYxDomain);
  EXPECT_EQ(send(update_message({holds, holds}, {})), kRcodeNoError);
}

// A prescan fault anywhere in the update section refuses the whole message:
// the valid addition in front of it is not applied.
TEST_F(DynamicUpdateTest, PrescanFaultLeavesTheDatabaseUntouched) {
  const std::pair<Rr, uint16_t> cases[] = {
      {{"x.other.lan", kTypeA, kClassIn, 60, a(1, 2, 3, 4)}, kRcodeNotZone},
      {{"host.office.lan", kTypeAny, kClassIn, 60}, kRcodeFormErr},
      {{"host.office.lan", kTypeA, kClassAny, 60}, kRcodeFormErr},
      {{"host.office.lan", kTypeA, kClassAny, 0, a(1, 2, 3, 4)}, kRcodeFormErr},
      {{"host.office.lan", kTypeA, kClassNone, 60, a(1, 2, 3, 4)}, kRcodeFormErr},
      {{"host.office.lan", kTypeAny, kClassNone}, kRcodeFormErr},
      {{"host.office.lan", kTypeA, kClassCh, 60, a(1, 2, 3, 4)}, kRcodeFormErr},
      {{"host.office.lan", kTypeAxfr, kClassAny}, kRcodeFormErr},
      {{"host.office.lan", 253 /* MAILB */, kClassAny}, kRcodeFormErr},
      {{"host.office.lan", 254 /* MAILA */, kClassAny}, kRcodeFormErr},
      {{"host.office.lan", kTypeA, kClassIn, 60, {1, 2, 3, 4, 5}}, kRcodeFormErr},
      {{"alias.office.lan", kTypeCname, kClassIn, 60, {4, 'h', 'o', 's', 't', 0, 9}},
       kRcodeFormErr},
      {{"office.lan", kTypeMx, kClassIn, 60, {0, 10}}, kRcodeFormErr},
  };
  const Texts before = records();
  const uint32_t serial_before = serial();
  for (const auto& [update, rcode] : cases) {
    EXPECT_EQ(send(update_message(
                  {}, {{"new.office.lan", kTypeA, kClassIn, 300, a(10, 0, 0, 1)}, update})),
              rcode);
  }
  EXPECT_EQ(records(), before);
  EXPECT_EQ(serial(), serial_before);
  EXPECT_EQ(engine_.statistics.updates.load(), 0u);
}

// Each change form applied to the office.lan database: the records gone and
// added, the rise of the serial and the updates counted.
TEST_F(DynamicUpdateTest, ChangeFormsAndTheirSerialRise) {
  struct Case {
    uint32_t serial_rise, counted;
    std::vector<Rr> updates;
    Texts gone, added;
  };
  const Rr no_www{"www.office.lan", kTypeAny, kClassAny};
  // clang-format off
  const Case cases[] = {
      // Additions; TTL 0 takes the zone's minimum.
      {1, 1, {{"new.office.lan", kTypeA, kClassIn, 0, a(10, 0, 0, 1)}},
       {}, {"new.office.lan 900 A 10.0.0.1"}},
      {1, 1, {{"office.lan", kTypeMx, kClassIn, 600, mx(20, "mx2.office.lan")}},
       {}, {"office.lan 600 MX 20 mx2.office.lan"}},
      {1, 1, {{"alias.office.lan", kTypeCname, kClassIn, 60, wire_name("host.office.lan")}},
       {}, {"alias.office.lan 60 CNAME host.office.lan"}},
      // A CNAME replaces a CNAME: one more for the removal.
      {2, 1, {{"www.office.lan", kTypeCname, kClassIn, 60, wire_name("printer.office.lan")}},
       {"www.office.lan 600 CNAME host.office.lan"}, {"www.office.lan 60 CNAME printer.office.lan"}},
      // Skipped beside a conflicting record, ignored, or refused as a duplicate.
      {1, 0, {{"host.office.lan", kTypeCname, kClassIn, 60, wire_name("mail.office.lan")}}, {}, {}},
      {1, 0, {{"www.office.lan", kTypeA, kClassIn, 60, a(10, 0, 0, 2)}}, {}, {}},
      {1, 0, {{"office.lan", kTypeNs, kClassIn, 60, wire_name("ns2.office.lan")}}, {}, {}},
      {1, 1, {{"host.office.lan", kTypeA, kClassIn, 60, a(192, 168, 1, 10)}}, {}, {}},
      // Deleting a name keeps its NS records; deleting an RRset keeps the
      // name's other types.
      {1, 1, {{"office.lan", kTypeAny, kClassAny}}, {"office.lan 3600 MX 10 mail.office.lan"}, {}},
      {1, 2, {{"host.office.lan", kTypeMx, kClassIn, 300, mx(5, "mail.office.lan")},
              {"host.office.lan", kTypeA, kClassAny}},
       {"host.office.lan 300 A 192.168.1.10", "host.office.lan 300 A 192.168.1.11"},
       {"host.office.lan 300 MX 5 mail.office.lan"}},
      {1, 2, {no_www, {"www.office.lan", kTypeA, kClassIn, 60, a(10, 0, 0, 3)}},
       {"www.office.lan 600 CNAME host.office.lan"}, {"www.office.lan 60 A 10.0.0.3"}},
      // Single records: one more for each removal.
      {2, 1, {{"host.office.lan", kTypeA, kClassNone, 0, a(192, 168, 1, 10)}},
       {"host.office.lan 300 A 192.168.1.10"}, {}},
      {2, 1, {{"office.lan", kTypeMx, kClassNone, 0, mx(10, "mail.office.lan")}},
       {"office.lan 3600 MX 10 mail.office.lan"}, {}},
      {1, 0, {{"host.office.lan", kTypeA, kClassNone, 0, a(9, 9, 9, 9)}}, {}, {}},
      // The NS records and the SOA are never deleted; what follows still is.
      {2, 1, {{"office.lan", kTypeNs, kClassNone, 0, wire_name("ns1.office.lan")},
              {"office.lan", kTypeNs, kClassAny},
              {"office.lan", kTypeSoa, kClassAny},
              {"printer.office.lan", kTypeA, kClassNone, 0, a(192, 168, 1, 10)}},
       {"printer.office.lan 1200 A 192.168.1.10"}, {}},
  };
  // clang-format on
  const Texts initial = records();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - std::begin(cases)));
    reset_zone();
    const uint32_t serial_before = serial();
    EXPECT_EQ(send(update_message({}, c.updates)), kRcodeNoError);
    EXPECT_EQ(records(), changed(initial, c.gone, c.added));
    EXPECT_EQ(serial(), serial_before + c.serial_rise);
    EXPECT_EQ(engine_.statistics.updates.load(), c.counted);
  }
}

// Flags: opcode, AA and RD kept, TC, RA, Z and the old code cleared, QR and
// AA set; success counts under answers, refusal under errors. Without update
// records neither the serial nor the file changes.
TEST_F(DynamicUpdateTest, ReplyFlagsCountersAndEmptyUpdates) {
  Reply reply;
  const Rr add{"new.office.lan", kTypeA, kClassIn, 300, a(10, 0, 0, 1)};
  handle_message(engine_, context_, reply, kUdpReplyLimit,
                 update_message({}, {add}, {}, 0x2800 | 0x03FF));
  EXPECT_EQ(read_u16(reply.message.data() + 2), 0xAD00);
  handle_message(engine_, context_, reply, kUdpReplyLimit,
                 update_message({}, {add}, {"other.lan"}, 0x2900));
  EXPECT_EQ(read_u16(reply.message.data() + 2), 0xAD09);
  EXPECT_EQ(engine_.statistics.answers.load(), 1u);
  EXPECT_EQ(engine_.statistics.errors.load(), 1u);

  std::filesystem::remove(dir_ + "/name.db");
  const uint32_t serial_before = serial();
  EXPECT_EQ(send(update_message({{"host.office.lan", kTypeA, kClassAny}}, {})), kRcodeNoError);
  EXPECT_EQ(serial(), serial_before);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/name.db"));
}

// A message cut anywhere, or with a name that does not read as one name, is
// refused without reading outside it and without a change.
TEST_F(DynamicUpdateTest, TruncatedAndMalformedMessagesAreRefused) {
  const Bytes full =
      update_message({{"host.office.lan", kTypeA, kClassIn, 0, a(192, 168, 1, 10)}},
                     {{"new.office.lan", kTypeMx, kClassIn, 60, mx(10, "mail.office.lan")},
                      {"new2.office.lan", kTypeA, kClassIn, 60, a(10, 0, 0, 1)}});
  const Texts before = records();
  for (size_t length = 12; length < full.size(); ++length)
    EXPECT_EQ(send(Bytes(full.begin(), full.begin() + length)), kRcodeFormErr) << length;
  EXPECT_EQ(records(), before);

  Bytes too_long;
  for (int i = 0; i < 5; ++i) {
    too_long.push_back(63);
    too_long.insert(too_long.end(), 63, 'x');
  }
  too_long.push_back(0);
  // The zone name "office.lan" lies at offset 12, the update record at 28.
  const std::pair<Bytes, uint16_t> cases[] = {
      {{3, 'n', 'e', 'w', 0xC0, 12}, kRcodeNoError},
      {{7, 'a', '.', 'o', 'f', 'f', 'i', 'c', 0xC0, 12}, kRcodeFormErr},
      {{3, 'a', 0, 'b', 0xC0, 12}, kRcodeFormErr},
      {{3, 'n', 'e', 'w', 0xC0, 0x7F}, kRcodeFormErr},
      {{0xC0, 28}, kRcodeFormErr},
      {{0x41, 'x', 0}, kRcodeFormErr},
      {too_long, kRcodeFormErr},
  };
  for (const auto& [owner, rcode] : cases) {
    EXPECT_EQ(send(update_message({}, {{owner, kTypeA, kClassIn, 60, a(10, 0, 0, 9)}})), rcode)
        << owner.size();
  }
  EXPECT_EQ(records(), changed(before, {}, {"new.office.lan 60 A 10.0.0.9"}));
}

// The saved file holds the changes and the raised serial; when it cannot be
// written the client hears SERVFAIL rather than success.
TEST_F(DynamicUpdateTest, ChangesReachTheZoneFile) {
  const Bytes request =
      update_message({}, {{"new.office.lan", kTypeA, kClassIn, 300, a(10, 0, 0, 1)},
                          {"host.office.lan", kTypeA, kClassNone, 0, a(192, 168, 1, 11)}});
  const Texts before = records();
  EXPECT_EQ(send(request), kRcodeNoError);
  Engine reloaded;
  reloaded.settings.data_directory.set(dir_);
  ASSERT_GT(zone_load(reloaded, 1), 0);
  EXPECT_EQ(reloaded.zone.hold().serial(), 2024u + 2);
  EXPECT_EQ(records_of(reloaded), changed(before, {"host.office.lan 300 A 192.168.1.11"},
                                          {"new.office.lan 300 A 10.0.0.1"}));

  engine_.settings.data_directory.set(dir_ + "/missing");
  EXPECT_EQ(send(request), kRcodeServFail);
}

// With a writer installed the update does not write the file: its reply is
// marked to wait for the save the caller asks for, and a failed save turns
// the reply into SERVFAIL while the change stays in force. Refused and empty
// updates never wait.
TEST_F(DynamicUpdateTest, QueuedSaveLeavesTheReplyToWaitForIt) {
  std::vector<LocalZone::SaveDone> queued;
  engine_.zone.set_save_queue([&](LocalZone::SaveDone done) { queued.push_back(std::move(done)); });
  const std::string before = test_support::read_text(dir_ + "/name.db");
  struct Case {
    const char* what;
    Bytes request;
    bool waits;
  };
  const Case cases[] = {
      {"addition",
       update_message({}, {{"queued.office.lan", kTypeA, kClassIn, 300, a(10, 0, 0, 9)}}), true},
      {"no update records", update_message({}, {}), false},
      {"failed prerequisite", update_message({{"nobody.office.lan", kTypeAny, kClassAny}}, {}),
       false},
      {"outside the zone",
       update_message({}, {{"x.other.org", kTypeA, kClassIn, 300, a(1, 2, 3, 4)}}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reply reply;
    const int length = handle_message(engine_, context_, reply, kUdpReplyLimit, c.request);
    ASSERT_GT(length, 0);
    EXPECT_EQ(reply.awaits_save, c.waits);
  }
  EXPECT_TRUE(queued.empty()) << "the caller asks for the save, not the update";
  EXPECT_EQ(test_support::read_text(dir_ + "/name.db"), before);

  Reply reply;
  ASSERT_GT(handle_message(engine_, context_, reply, kUdpReplyLimit, cases[0].request), 0);
  Bytes saved = reply.message;
  settle_update_reply(engine_, saved, true);
  EXPECT_EQ(saved, reply.message);
  settle_update_reply(engine_, reply.message, false);
  EXPECT_EQ(read_u16(reply.message.data() + 2) & kFlagRcode, kRcodeServFail);
  EXPECT_EQ(read_u16(reply.message.data() + 2) & ~kFlagRcode,
            read_u16(saved.data() + 2) & ~kFlagRcode);
  const Texts now = records();
  EXPECT_NE(std::find(now.begin(), now.end(), "queued.office.lan 300 A 10.0.0.9"), now.end());
  engine_.zone.set_save_queue(nullptr);
}

TEST_F(DynamicUpdateTest, LogLinesAtLevelTwo) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* stream = open_memstream(&text, &size);
  engine_.log.set_level(2);
  engine_.log.set_stream(stream);
  send(update_message({{"host.office.lan", kTypeAny, kClassAny}},
                      {{"new.office.lan", kTypeA, kClassIn, 300, a(10, 0, 0, 1)}}));
  engine_.log.set_stream(nullptr);
  std::fclose(stream);
  Texts lines;
  std::istringstream all(std::string(text, size));
  std::free(text);
  for (std::string line; std::getline(all, line);) lines.push_back(line.substr(20));
  EXPECT_EQ(lines, (Texts{"prequisite host.office.lan 0 Class 255 ANY for office.lan",
                          "prequisites ok 1", "prescan new.office.lan 300 IN A", "prescan ok",
                          "update new.office.lan 300 IN A"}));
}

// Clients race to claim one name with "name not in use", each adding a
// hundred addresses of its own: prerequisite and changes are one step, so
// exactly one wins every round and the name never mixes two clients.
TEST_F(DynamicUpdateTest, RacingConditionalUpdatesHaveOneWinner) {
  constexpr int kClients = 4;
  constexpr int kAddresses = 100;
  for (int round = 0; round < 20; ++round) {
    const std::string name = "claim" + std::to_string(round) + ".office.lan";
    std::vector<Bytes> requests;
    for (uint8_t client = 1; client <= kClients; ++client) {
      std::vector<Rr> additions;
      for (uint8_t i = 1; i <= kAddresses; ++i)
        additions.emplace_back(name, kTypeA, kClassIn, 60, a(10, 0, client, i));
      requests.push_back(update_message({{name, kTypeAny, kClassNone}}, additions));
    }
    std::atomic<int> ready{0};
    std::atomic<int> winners{0};
    std::vector<std::thread> clients;
    for (const Bytes& request : requests) {
      clients.emplace_back([&, request] {
        ++ready;
        while (ready.load() < kClients) std::this_thread::yield();
        Reply reply;
        RequestContext context;
        handle_message(engine_, context, reply, kUdpReplyLimit, request);
        if ((read_u16(reply.message.data() + 2) & kFlagRcode) == kRcodeNoError) ++winners;
      });
    }
    for (std::thread& t : clients) t.join();
    EXPECT_EQ(winners.load(), 1);
    LocalZone::Guard held = engine_.zone.hold();
    EXPECT_EQ(held.live().owned_by(name).size(), size_t{kAddresses});
  }
}

}  // namespace
}  // namespace norvane
