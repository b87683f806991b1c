// The local database: the rules add_zone_record keeps, name normalisation,
// which names belong to the domain, SOA replacement, removal and the staging
// swap.
#include "engine/local_database.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/dns_message.h"
#include "tests/engine/engine_test_support.h"

namespace norvane {
namespace {

using test_support::ipv4;

class LocalDatabaseTest : public ::testing::Test {
 protected:
  LocalDatabaseTest() : database_(log_), zone_(database_.hold()) {}

  int add(uint32_t type, std::string_view owner, uint32_t datum = 0, std::string_view target = {},
          uint32_t ttl = 3600, int staging = 0) {
    return zone_.add_zone_record(staging, type, owner, ttl, datum, target);
  }

  std::vector<std::string> owners_of(const RecordList& list) {
    std::vector<std::string> out;
    for (const ZoneRecord& r : list.records()) out.emplace_back(r.owner);
    return out;
  }

  TransactionLog log_;
  LocalZone database_;
  // Most operations expect the database lock held; it is re-entrant, so the
  // functions that take it themselves still run.
  LocalZone::Guard zone_;
};

TEST_F(LocalDatabaseTest, DuplicateAndAliasRulesRefuseOnlyConflictingRecords) {
  struct Step {
    uint32_t type;
    const char* owner;
    uint32_t datum;
    const char* target;
    int expected;
  };
  const Step steps[] = {
      {kTypeA, "host.office.lan", ipv4(10, 0, 0, 1), "", 1},
      {kTypeA, "host.office.lan", ipv4(10, 0, 0, 1), "", 0},   // same address
      {kTypeA, "HOST.Office.lan.", ipv4(10, 0, 0, 1), "", 0},  // same after normalising
      {kTypeA, "host.office.lan", ipv4(10, 0, 0, 2), "", 1},
      {kTypeA, "other.office.lan", ipv4(10, 0, 0, 1), "", 1},     // same address, other owner
      {kTypeCname, "host.office.lan", 0, "other.office.lan", 0},  // CNAME beside an A
      {kTypeCname, "www.office.lan", 0, "host.office.lan", 1},
      {kTypeCname, "www.office.lan", 0, "other.office.lan", 0},  // second CNAME
      {kTypeA, "www.office.lan", ipv4(10, 0, 0, 3), "", 0},      // A beside a CNAME
      {kTypeMx, "www.office.lan", 10, "mail.office.lan", 0},     // MX beside a CNAME
      {kTypeNs, "office.lan", 0, "ns1.office.lan", 1},
      {kTypeNs, "office.lan", 0, "NS1.office.lan", 0},  // same target after lowering
      {kTypeNs, "office.lan", 0, "ns2.office.lan", 1},
      {kTypeMx, "office.lan", 10, "mail.office.lan", 1},
      {kTypeMx, "office.lan", 10, "mail.office.lan", 0},   // same preference and exchange
      {kTypeMx, "office.lan", 20, "mail.office.lan", 1},   // other preference
      {kTypeMx, "office.lan", 10, "mail2.office.lan", 1},  // other exchange
      {kTypeSoa, "office.lan", 0, "ns1.office.lan", 0},    // not a stored type
      {kTypePtr, "1.0.0.10.in-addr.arpa", 0, "host.office.lan", 0},
  };
  size_t added = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(type_mnemonic(s.type)) + " " + s.owner + " " + s.target);
    EXPECT_EQ(add(s.type, s.owner, s.datum, s.target), s.expected);
    added += static_cast<size_t>(s.expected);
    EXPECT_EQ(zone_.live().size(), added);
  }
}

TEST_F(LocalDatabaseTest, NamesThatCannotBeEncodedAreRefused) {
  const std::string label64(64, 'a');
  const std::string label63(63, 'a');
  const std::string name256 =
      label63 + "." + label63 + "." + label63 + "." + std::string(62, 'b') + ".c";
  ASSERT_EQ(name256.size(), 256u);
  EXPECT_EQ(add(kTypeA, label64 + ".office.lan", ipv4(10, 0, 0, 1)), 0);
  EXPECT_EQ(add(kTypeA, name256, ipv4(10, 0, 0, 1)), 0);
  EXPECT_EQ(add(kTypeA, "a..office.lan", ipv4(10, 0, 0, 1)), 0);
  EXPECT_EQ(add(kTypeCname, "www.office.lan", 0, label64 + ".lan"), 0);
  EXPECT_EQ(add(kTypeMx, "office.lan", 10, name256), 0);
  EXPECT_TRUE(zone_.live().empty());
  // The boundary itself is fine: 63-character labels, 255 characters, and a
  // trailing dot that is stripped from a 255-character owner.
  EXPECT_EQ(add(kTypeA, label63 + ".office.lan", ipv4(10, 0, 0, 1)), 1);
  EXPECT_EQ(add(kTypeA, name256.substr(1), ipv4(10, 0, 0, 1)), 1);
  EXPECT_EQ(add(kTypeA, name256.substr(1) + ".", ipv4(10, 0, 0, 2)), 1);
}

TEST_F(LocalDatabaseTest, OwnerIsNormalisedTargetLoweredInPlaceAndZeroTtlTakesMinimum) {
  zone_.set_minimum(1234);
  char target[] = "Mail.Office.LAN";
  ASSERT_EQ(zone_.add_zone_record(0, kTypeMx, "Office.Lan.", 0, 10, target), 1);
  EXPECT_STREQ(target, "mail.office.lan");
  const std::optional<ZoneRecord> record =
      zone_.find_zone_record(zone_.live(), "office.lan", kTypeMx);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->owner, "office.lan");
  EXPECT_EQ(record->target, "mail.office.lan");
  EXPECT_EQ(record->datum, 10u);
  EXPECT_EQ(record->ttl, 1234u);
  EXPECT_EQ(zone_.find_zone_record(zone_.live(), "office.lan", kTypeAny)->handle, record->handle);
  EXPECT_FALSE(zone_.find_zone_record(zone_.live(), "office.lan", kTypeA));
}

TEST_F(LocalDatabaseTest, DomainMembershipRespectsLabelBoundaries) {
  // Without a domain no name is local.
  EXPECT_FALSE(zone_.zone_of_name("host.office.lan"));
  EXPECT_EQ(zone_.in_local_domain("host.office.lan"), 0);
  EXPECT_EQ(zone_.in_local_domain(""), 0);

  ASSERT_EQ(zone_.set_zone_soa("office.lan", "ns1", "hostmaster", 1, 0, 0, 0, 0), 1);
  struct Case {
    const char* name;
    bool zone;
    int local;
  };
  for (const Case& c : {Case{"office.lan", true, 1}, Case{"host.office.lan", true, 1},
                        Case{"a.b.office.lan", true, 1}, Case{"xoffice.lan", false, 0},
                        Case{"backoffice.lan", false, 0}, Case{"lan", false, 0},
                        Case{"office.lan.example", false, 0}, Case{"", false, 0}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(zone_.zone_of_name(c.name), c.zone);
    EXPECT_EQ(zone_.in_local_domain(c.name), c.local);
  }
  EXPECT_TRUE(zone_.zone_of_name("Host.OFFICE.Lan"));
}

// The SOA names keep the case they were written in; every test against the
// domain ignores case, and record owners are still lowered.
TEST_F(LocalDatabaseTest, MixedCaseDomainIsKeptAndMatchedWithoutCase) {
  ASSERT_EQ(zone_.set_zone_soa("Office.LAN.", "Ns1", "Hostmaster", 1, 0, 0, 0, 0), 1);
  EXPECT_EQ(zone_.domain(), "Office.LAN");
  EXPECT_EQ(zone_.primary(), "Ns1.Office.LAN");
  EXPECT_EQ(zone_.mailbox(), "Hostmaster.Ns1.Office.LAN");
  struct Case {
    const char* name;
    bool zone;  // zone_of_name and in_local_domain
    bool domain;
  };
  for (const Case& c : {Case{"office.lan", true, true}, Case{"OFFICE.LAN", true, true},
                        Case{"Office.LAN", true, true}, Case{"host.office.lan", true, false},
                        Case{"a.B.oFFice.lan", true, false}, Case{"backoffice.lan", false, false},
                        Case{"office.lan.x", false, false}, Case{"office.la", false, false},
                        Case{"", false, false}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(zone_.zone_of_name(c.name), c.zone);
    EXPECT_EQ(zone_.in_local_domain(c.name), c.zone ? 1 : 0);
    EXPECT_EQ(zone_.is_domain(c.name), c.domain);
  }
  EXPECT_TRUE(zone_.name_exists("office.lan"));
  EXPECT_FALSE(zone_.name_exists("nosuch.office.lan"));

  ASSERT_EQ(add(kTypeNs, "Office.LAN.", 0, "NS1.Office.LAN"), 1);
  EXPECT_TRUE(zone_.find_zone_record(zone_.live(), "office.lan", kTypeNs));

  // A primary given as the domain in another case still means this host.
  const std::string host = local_host_name();
  if (!host.empty()) {
    ASSERT_EQ(zone_.set_zone_soa("Office.LAN", "office.lan", "hostmaster", 0, 0, 0, 0, 0), 1);
    EXPECT_EQ(zone_.primary(), host.find('.') == std::string::npos ? host + ".Office.LAN" : host);
  }
}

TEST(NameComparisonTest, EqualityAndContainmentIgnoreCaseAtLabelBoundaries) {
  struct Case {
    const char* name;
    const char* domain;
    bool equal;
    bool within;
  };
  for (const Case& c : {Case{"a.lan", "A.LAN", true, true}, Case{"x.A.lan", "a.LAN", false, true},
                        Case{"xa.lan", "a.lan", false, false}, Case{"a.lan", "", false, false},
                        Case{"", "", true, false}, Case{"lan", "a.lan", false, false},
                        Case{"a-lan", "A_LAN", false, false}}) {
    SCOPED_TRACE(std::string(c.name) + " / " + c.domain);
    EXPECT_EQ(names_equal(c.name, c.domain), c.equal);
    EXPECT_EQ(name_within(c.name, c.domain), c.within);
  }
}

TEST_F(LocalDatabaseTest, SoaQualifiesPrimaryAndMailboxAndKeepsZeroNumbers) {
  EXPECT_EQ(zone_.set_zone_soa("", "ns1", "hostmaster", 5, 6, 7, 8, 9), 0);
  EXPECT_EQ(zone_.domain(), "");
  EXPECT_EQ(zone_.serial(), 0u);

  ASSERT_EQ(zone_.set_zone_soa("office.lan", "ns1", "hostmaster", 5, 6, 7, 8, 9), 1);
  EXPECT_EQ(zone_.primary(), "ns1.office.lan");
  EXPECT_EQ(zone_.mailbox(), "hostmaster.ns1.office.lan");
  EXPECT_EQ(zone_.serial(), 5u);
  EXPECT_EQ(zone_.minimum(), 9u);

  ASSERT_EQ(zone_.set_zone_soa("office.lan", "ns.example.net", "admin.example.net", 0, 60, 0, 0, 0),
            1);
  EXPECT_EQ(zone_.primary(), "ns.example.net");
  EXPECT_EQ(zone_.mailbox(), "admin.example.net");
  EXPECT_EQ(zone_.serial(), 5u);
  EXPECT_EQ(zone_.refresh(), 60u);
  EXPECT_EQ(zone_.retry(), 7u);
  EXPECT_EQ(zone_.expire(), 8u);
  EXPECT_EQ(zone_.minimum(), 9u);
}

TEST_F(LocalDatabaseTest, PrimaryEqualToTheDomainBecomesTheHostName) {
  std::string expected = local_host_name();
  if (expected.empty()) GTEST_SKIP() << "the host reports no name";
  if (expected.find('.') == std::string::npos) expected += ".office.lan";
  ASSERT_EQ(zone_.set_zone_soa("office.lan", "Office.LAN", "postmaster", 1, 0, 0, 0, 0), 1);
  EXPECT_EQ(zone_.primary(), expected);
  EXPECT_EQ(zone_.mailbox(), "postmaster." + expected);
}

TEST_F(LocalDatabaseTest, JoinedNamesOver255CharactersAreRefused) {
  // Four labels and three dots: 250 characters.
  const std::string primary = std::string(62, 'p') + "." + std::string(62, 'q') + "." +
                              std::string(62, 'r') + "." + std::string(61, 's');
  ASSERT_EQ(primary.size(), 250u);
  struct Case {
    const char* mailbox;
    const char* expected;  // null: the previous mailbox stays
  };
  for (const Case& c :
       {Case{"abcd", "abcd."}, Case{"abcde", nullptr}, Case{"hostmaster", nullptr}}) {
    SCOPED_TRACE(c.mailbox);
    ASSERT_EQ(zone_.set_zone_soa("office.lan", "ns1", "keep.example.net", 1, 0, 0, 0, 0), 1);
    zone_.set_zone_soa("office.lan", primary, c.mailbox, 1, 0, 0, 0, 0);
    EXPECT_EQ(zone_.primary(), primary);
    EXPECT_EQ(zone_.mailbox(), c.expected != nullptr ? c.expected + primary : "keep.example.net");
    EXPECT_LE(zone_.mailbox().size(), kMaxNameLength);
  }
}

TEST_F(LocalDatabaseTest, RemovingByNameRaisesSerialAndSavesOncePerRecord) {
  int saves = 0;
  database_.set_save_hook([&saves] {
    ++saves;
    return true;
  });
  zone_.set_serial(10);
  ASSERT_EQ(add(kTypeA, "host.office.lan", ipv4(10, 0, 0, 1)), 1);
  ASSERT_EQ(add(kTypeNs, "other.office.lan", 0, "ns1.office.lan"), 1);
  ASSERT_EQ(add(kTypeMx, "host.office.lan", 10, "mail.office.lan"), 1);
  ASSERT_EQ(add(kTypeA, "host.office.lan", ipv4(10, 0, 0, 2)), 1);
  ASSERT_EQ(add(kTypeNs, "host.office.lan", 0, "ns1.office.lan"), 1);

  EXPECT_EQ(zone_.remove_zone_records(kTypeA, "host.office.lan."), 2);
  EXPECT_EQ(zone_.serial(), 12u);
  EXPECT_EQ(saves, 2);
  EXPECT_EQ(zone_.remove_zone_records(kTypeAny, "host.office.lan"), 2);
  EXPECT_EQ(zone_.serial(), 14u);
  EXPECT_EQ(saves, 4);
  EXPECT_EQ(owners_of(zone_.live()), std::vector<std::string>{"other.office.lan"});
  // The index forgets removed owners too.
  EXPECT_FALSE(zone_.find_zone_record(zone_.live(), "host.office.lan", kTypeAny));
  EXPECT_FALSE(zone_.find_address_record(ipv4(10, 0, 0, 1)));

  EXPECT_EQ(zone_.remove_zone_records(kTypeAny, "nothing.office.lan"), 0);
  EXPECT_EQ(zone_.serial(), 14u);
  EXPECT_EQ(saves, 4);
}

TEST_F(LocalDatabaseTest, SwapMakesStagingLiveAndEmptiesStaging) {
  ASSERT_EQ(add(kTypeA, "old.office.lan", ipv4(10, 0, 0, 1)), 1);
  ASSERT_EQ(add(kTypeA, "new.office.lan", ipv4(10, 0, 0, 2), {}, 60, 1), 1);
  ASSERT_EQ(add(kTypeA, "new2.office.lan", ipv4(10, 0, 0, 3), {}, 60, 1), 1);
  EXPECT_FALSE(zone_.find_zone_record(zone_.live(), "new.office.lan", kTypeA));

  zone_.swap_staging();
  EXPECT_EQ(owners_of(zone_.live()),
            (std::vector<std::string>{"new.office.lan", "new2.office.lan"}));
  EXPECT_TRUE(zone_.staging().empty());
  EXPECT_FALSE(zone_.find_zone_record(zone_.live(), "old.office.lan", kTypeAny));
  EXPECT_TRUE(zone_.find_address_record(ipv4(10, 0, 0, 3)));
  // A record refused in the old staging list because of a duplicate is now fine there.
  EXPECT_EQ(add(kTypeA, "new.office.lan", ipv4(10, 0, 0, 2), {}, 60, 1), 1);
}

// A bounded wait gives up while another thread holds the database lock and
// succeeds once it is released; the holder itself re-enters at once.
TEST(LocalZoneGuardTest, TimedHoldFailsWhileAnotherThreadHoldsTheLock) {
  TransactionLog log;
  LocalZone zone(log);
  std::mutex state_lock;
  std::condition_variable changed;
  bool holding = false;
  bool release = false;
  std::thread holder([&] {
    LocalZone::Guard held = zone.hold();
    // The holder may take the lock again without waiting.
    LocalZone::Guard again(zone, std::chrono::milliseconds(0));
    EXPECT_TRUE(again.owns_lock());
    again.set_serial(7);
    std::unique_lock<std::mutex> state(state_lock);
    holding = true;
    changed.notify_all();
    changed.wait(state, [&] { return release; });
  });
  {
    std::unique_lock<std::mutex> state(state_lock);
    changed.wait(state, [&] { return holding; });
  }
  {
    LocalZone::Guard refused(zone, std::chrono::milliseconds(20));
    EXPECT_FALSE(refused.owns_lock());
    EXPECT_FALSE(refused);
  }
  {
    std::lock_guard<std::mutex> state(state_lock);
    release = true;
  }
  changed.notify_all();
  // The holder releases without further waiting; the bound only keeps a
  // broken build from hanging the suite.
  LocalZone::Guard taken(zone, std::chrono::minutes(1));
  ASSERT_TRUE(taken.owns_lock());
  EXPECT_EQ(taken.serial(), 7u);
  taken.unlock();
  holder.join();
}

}  // namespace
}  // namespace norvane

namespace norvane {
namespace {

// What the indexes of a list say about `names`: owners, descendants, wildcard
// cover, first record per address and the records found by handle.
std::vector<std::string> index_answers(const RecordList& list,
                                       const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& name : names) {
    std::string line = name + ": owns " + std::to_string(list.owned_by(name).size());
    if (list.has_descendants(name)) line += ", has descendants";
    list.for_each_wildcard_match(
        name, [&](const ZoneRecord& r) { line += ", wildcard " + std::to_string(r.sequence); });
    out.push_back(line);
  }
  for (const ZoneRecord& r : list.records()) {
    const std::optional<ZoneRecord> by_address =
        r.type == kTypeA ? list.first_with_address(r.datum) : std::nullopt;
    const std::optional<ZoneRecord> by_handle = list.find_handle(r.handle);
    out.push_back(std::to_string(r.sequence) + ": handle " +
                  (by_handle && by_handle->sequence == r.sequence ? "found" : "lost") +
                  ", address first " + (by_address ? std::to_string(by_address->sequence) : "-"));
  }
  return out;
}

// A bulk load indexes by owner only until it finishes; then every index must
// say what it says for the same records appended one by one, including
// after removals, after a live append, and for records that were in the list
// before the bulk load began.
TEST(RecordListBulkLoadTest, IndexesEqualThoseOfRecordByRecordAppends) {
  struct Case {
    const char* name;
    size_t before_bulk;  // records appended before start_bulk_load
    std::vector<std::pair<const char*, uint32_t>> records;  // owner, A address (0: NS)
  };
  const Case cases[] = {
      {"hosts of one domain", 0, {{"a.office.lan", 1}, {"b.office.lan", 2}, {"c.office.lan", 1}}},
      // Ancestors change between neighbours and come back: a count kept for
      // the last parent must not be given to the next one.
      {"alternating parents",
       0,
       {{"x.a.lan", 1}, {"y.b.lan", 2}, {"z.a.lan", 3}, {"deep.er.y.b.lan", 4}, {"er.y.b.lan", 4}}},
      {"wildcards and single labels",
       0,
       {{"*.office.lan", 5}, {"lan", 6}, {"*.sub.office.lan", 7}, {"*.office.lan", 8}, {"x", 0}}},
      {"records before the bulk load",
       2,
       {{"pre.office.lan", 1},
        {"pre2.other.lan", 2},
        {"post.office.lan", 1},
        {"post.other.lan", 3}}},
  };
  const std::vector<std::string> names = {
      "office.lan", "lan",          "a.lan", "b.lan",          "y.b.lan",          "er.y.b.lan",
      "other.lan",  "q.office.lan", "x",     "sub.office.lan", "w.sub.office.lan", "a.office.lan"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordList one_by_one;
    RecordList bulk;
    for (size_t i = 0; i < c.records.size(); ++i) {
      const std::string_view owner = c.records[i].first;
      const uint32_t type = c.records[i].second != 0 ? kTypeA : kTypeNs;
      const uint32_t datum = c.records[i].second;
      const std::string_view target = type == kTypeNs ? "ns1.office.lan" : "";
      if (i == c.before_bulk) bulk.start_bulk_load(c.records.size());
      one_by_one.append(type, owner, 3600, datum, target);
      bulk.append(type, owner, 3600, datum, target);
      // The duplicate test of add_zone_record reads owners during the load.
      EXPECT_EQ(bulk.owned_by(owner).size(), one_by_one.owned_by(owner).size());
    }
    bulk.finish_bulk_load();
    // Handles differ between the lists; sequences do not.
    EXPECT_EQ(index_answers(bulk, names), index_answers(one_by_one, names));

    for (RecordList* list : {&one_by_one, &bulk}) {
      ASSERT_TRUE(list->remove(*list->records().begin()));
      list->append(kTypeA, "late.y.b.lan", 3600, 9, "");
    }
    EXPECT_EQ(index_answers(bulk, names), index_answers(one_by_one, names));
    for (RecordList* list : {&one_by_one, &bulk})
      while (!list->empty()) ASSERT_TRUE(list->remove(*list->records().begin()));
    EXPECT_EQ(index_answers(bulk, names), index_answers(one_by_one, names));
  }
}

}  // namespace
}  // namespace norvane
