// The compact record storage under the local database: frozen copies that
// must not see later changes, compaction that must keep order, handles and
// indexes, and the open-addressing tables.
#include "engine/record_store.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/dns_message.h"
#include "engine/local_database.h"

namespace norvane {
namespace {

std::string host(int i) { return "h" + std::to_string(i) + ".sub.office.lan"; }

// Every record as "owner type datum target", in order.
template <class Records>
std::vector<std::string> lines_of(const Records& records) {
  std::vector<std::string> out;
  for (const ZoneRecord& r : records)
    out.push_back(std::string(r.owner) + " " + std::to_string(r.type) + " " +
                  std::to_string(r.datum) + " " + std::string(r.target));
  return out;
}

TEST(RecordStoreTest, FrozenCopyKeepsWhatItSawWhileTheListChangesAndAfterItIsGone) {
  auto list = std::make_unique<RecordList>();
  // More records than one chunk holds, so that shared and unshared chunks mix.
  for (int i = 0; i < 3000; ++i) list->append(kTypeA, host(i), 60, static_cast<uint32_t>(i), "");
  list->append(kTypeMx, "office.lan", 60, 10, "mail.office.lan");
  const std::vector<std::string> seen = lines_of(list->records());
  const FrozenRecords frozen = list->freeze();

  std::vector<ZoneRecord> doomed;
  for (const ZoneRecord& r : list->records())
    if (r.datum % 2 == 0 && r.type == kTypeA) doomed.push_back(r);
  for (const ZoneRecord& r : doomed) ASSERT_TRUE(list->remove(r));
  for (int i = 0; i < 2000; ++i) list->append(kTypeA, "new" + host(i), 60, 7, "");
  EXPECT_EQ(list->size(), 1500u + 1 + 2000);
  EXPECT_EQ(lines_of(frozen), seen);

  // The copy owns its share of the storage: it outlives the list (the
  // sanitizer build catches a read of freed chunks).
  list.reset();
  EXPECT_EQ(lines_of(frozen), seen);
}

TEST(RecordStoreTest, CompactionKeepsOrderHandlesIndexesAndStaleViewsRemovable) {
  RecordList list;
  std::vector<ZoneRecord> all;
  for (int i = 0; i < 10000; ++i)
    all.push_back(*list.append(kTypeA, host(i), 60, static_cast<uint32_t>(i % 5000), ""));
  list.append(kTypeA, "*.wild.office.lan", 60, 99999, "");
  const ZoneRecord last = *list.append(kTypeNs, "office.lan", 60, 0, "ns1.office.lan");

  // Removing nine in ten compacts the list on the way; views
  // taken before are still found by their handles.
  std::vector<ZoneRecord> kept;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i % 10 == 3)
      kept.push_back(all[i]);
    else
      ASSERT_TRUE(list.remove(all[i])) << i;
  }
  ASSERT_EQ(list.size(), kept.size() + 2);
  std::vector<std::string> expected;
  for (const ZoneRecord& r : kept) {
    expected.push_back(host(static_cast<int>(r.sequence)) + " 1 " + std::to_string(r.datum) + " ");
    const std::optional<ZoneRecord> found = list.find_handle(r.handle);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->owner, host(static_cast<int>(r.sequence)));
    EXPECT_EQ(list.owned_by(host(static_cast<int>(r.sequence))).size(), 1u);
    // Records i and i + 5000 share an address and are kept or removed
    // together; the first in list order answers for it.
    EXPECT_EQ(list.first_with_address(r.datum)->sequence, r.sequence % 5000);
  }
  expected.push_back("*.wild.office.lan 1 99999 ");
  expected.push_back("office.lan 2 0 ns1.office.lan");
  EXPECT_EQ(lines_of(list.records()), expected);
  EXPECT_FALSE(list.find_handle(all[0].handle));
  EXPECT_FALSE(list.first_with_address(0));
  EXPECT_TRUE(list.has_descendants("sub.office.lan"));
  EXPECT_TRUE(list.has_descendants("office.lan"));
  EXPECT_FALSE(list.has_descendants(host(3)));
  int matches = 0;
  list.for_each_wildcard_match("x.wild.office.lan", [&](const ZoneRecord&) { ++matches; });
  EXPECT_EQ(matches, 1);
  EXPECT_TRUE(list.remove(last));
  EXPECT_FALSE(list.remove(last));

  // New records after compaction keep growing the order and get new handles.
  const ZoneRecord added = *list.append(kTypeA, "late.office.lan", 60, 1, "");
  EXPECT_GT(added.sequence, last.sequence);
  EXPECT_EQ(lines_of(list.records()).back(), "late.office.lan 1 1 ");
  for (const ZoneRecord& r : kept) ASSERT_TRUE(list.remove(r));
  EXPECT_FALSE(list.has_descendants("sub.office.lan"));
}

TEST(RecordStoreTest, HandlesOfAClearedOrOtherListFindNothing) {
  RecordList one;
  RecordList other;
  const ZoneRecord a = *one.append(kTypeA, "a.lan", 60, 1, "");
  const ZoneRecord b = *other.append(kTypeA, "a.lan", 60, 1, "");
  EXPECT_NE(a.handle, b.handle);
  EXPECT_FALSE(other.find_handle(a.handle));
  EXPECT_FALSE(other.remove(a));
  EXPECT_TRUE(one.position_of(0) == one.records().end());
  one.clear();
  one.append(kTypeA, "a.lan", 60, 1, "");
  EXPECT_FALSE(one.find_handle(a.handle));
  EXPECT_FALSE(one.remove(a));
}

TEST(RecordStoreTest, NamesOfEveryLengthSurviveChunkBoundariesAndOverlongOnesAreRefused) {
  RecordList list;
  std::vector<std::string> names;
  // About 400 KB of names: several name chunks, names of every length
  // ending near a chunk's end.
  for (int i = 0; i < 1600; ++i) {
    std::string name = std::to_string(i) + ".";
    name += std::string(1 + (i * 37) % 250, 'a' + i % 26);
    names.push_back(name.substr(0, 255));
    ASSERT_TRUE(list.append(kTypeCname, names.back(), 60, 0, names.front())) << i;
  }
  size_t i = 0;
  for (const ZoneRecord& r : list.records()) {
    EXPECT_EQ(r.owner, names[i++]);
    EXPECT_EQ(r.target, names.front());
  }
  EXPECT_FALSE(list.append(kTypeA, std::string(256, 'x'), 60, 1, ""));
  EXPECT_FALSE(list.append(kTypeNs, "ok.lan", 60, 0, std::string(256, 'x')));
  EXPECT_EQ(list.size(), names.size());
}

// Random inserts and removals against a plain map: the table's deletion
// moves entries back into the holes it leaves, which a wrong wrap-around
// test would cut off from their probe sequences.
TEST(RecordStoreTest, AddressIndexAgreesWithAMapUnderChurn) {
  AddressIndex index;
  std::map<uint32_t, uint32_t> expected;
  std::mt19937 random(7);
  for (int round = 0; round < 200000; ++round) {
    // Few distinct addresses, so that the table fills and collides.
    const uint32_t address = random() % 3000;
    if (random() % 3 == 0) {
      index.set(address, kNoSlot);
      expected.erase(address);
    } else {
      const uint32_t slot = random() % 1000;
      index.set(address, slot);
      expected[address] = slot;
    }
    if (round % 20000 == 0 || round == 199999) {
      ASSERT_EQ(index.size(), expected.size());
      for (uint32_t a = 0; a < 3000; ++a) {
        const auto found = expected.find(a);
        ASSERT_EQ(index.find(a), found == expected.end() ? kNoSlot : found->second) << a;
      }
    }
  }
}

}  // namespace
}  // namespace norvane
