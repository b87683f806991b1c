// The cache dump file: the line of every type byte for byte, the reader's
// rules on hand-written lines, round trips that keep order and expiry, the
// CacheDump switch, clearing, a duplicate that ends the reading, and a failed
// save that leaves the old file.
#include "engine/cache_dump.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/dns_message.h"
#include "tests/engine/engine_test_support.h"
#include "tests/test_support.h"

namespace norvane {
namespace {

using test_support::ipv4;

constexpr uint32_t kNow = 1'700'000'000;

TEST(CacheDumpLine, EveryTypeIsWrittenInItsForm) {
  struct Case {
    CacheEntry entry;
    const char* line;
  } cases[] = {
      {{0, 0, 1700000600, ipv4(10, 0, 0, 1), kTypeA, "a.x", ""}, "a.x\tA\t10.0.0.1\t1700000600\n"},
      {{0, 0, 5, 0, kTypeNs, "x", "ns.x"}, "x\tNS\tns.x\t5\n"},
      {{0, 0, 5, 0, kTypeCname, "w.x", "a.x"}, "w.x\tCNAME\ta.x\t5\n"},
      {{0, 0, 5, ipv4(10, 0, 0, 5), kTypePtr, "host.x", ""},
       "5.0.0.10.in-addr.arpa\tPTR\thost.x\t5\n"},
      {{0, 0, 4294967295u, 10, kTypeMx, "x", "mx.x"}, "x\tMX\t10\tmx.x\t4294967295\n"},
      // Fields that would be empty cannot be written in this form.
      {{0, 0, 5, 0, kTypeNs, "", "a.root"}, ""},
      {{0, 0, 5, 0, kTypeMx, "x", ""}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(cache_dump_line(c.entry), c.line);
}

TEST(CacheDumpLine, ReaderRules) {
  using R = CacheDumpRecord;
  struct Case {
    std::string line;
    std::optional<R> record;
  } cases[] = {
      {"a.x\tA\t10.0.0.1\t1700000000", R{kTypeA, "a.x", ipv4(10, 0, 0, 1), "", kNow}},
      {"  A.X   a 10.0.0.1 \t 1700000001 extra", R{kTypeA, "A.X", ipv4(10, 0, 0, 1), "", kNow + 1}},
      {"x\tcname\ta.x\t1700000000", R{kTypeCname, "x", 0, "a.x", kNow}},
      {"x\tMx\t65535\tmx.x\t1700000000", R{kTypeMx, "x", 65535, "mx.x", kNow}},
      {"5.0.0.10.in-addr.arpa\tPTR\th.x\t1700000000",
       R{kTypePtr, "h.x", ipv4(10, 0, 0, 5), "", kNow}},
      {"", std::nullopt},
      {"   \t ", std::nullopt},
      {"  # a.x\tA\t10.0.0.1\t1700000000", std::nullopt},
      {"a.x\tAAAA\t::1\t1700000000", std::nullopt},
      {"a.x\tA\t10.0.0.1\t1699999999", std::nullopt},  // expired
      {"a.x\tA\t10.0.0.1", std::nullopt},
      {"a.x\tA\t0.0.0.0\t1700000000", std::nullopt},
      {"a.x\tA\t10.0.0\t1700000000", std::nullopt},
      {"a.x\tA\t10.0.0.1\t-1", std::nullopt},
      {"a.x\tA\t10.0.0.1\t4294967296", std::nullopt},
      {"a.x\tA\t10.0.0.1\t17000000009x", std::nullopt},
      {"x\tMX\t65536\tmx.x\t1700000000", std::nullopt},
      {"x\tMX\t10\t1700000000", std::nullopt},
      {"5.0.0.10.IN-ADDR.ARPA\tPTR\th.x\t1700000000", std::nullopt},
      {"a..x\tA\t10.0.0.1\t1700000000", std::nullopt},
      {"a.x\t" + std::string(24, 'A') + "\t10.0.0.1\t1700000000", std::nullopt},
      {std::string(256, 'a') + "\tA\t10.0.0.1\t1", std::nullopt},
      // 260 characters: too long even though every field is fine.
      {"a\tA\t10.0.0.1\t1700000000" + std::string(237, ' '), std::nullopt},
      {"a\tA\t10.0.0.1\t1700000000" + std::string(236, ' '),
       R{kTypeA, "a", ipv4(10, 0, 0, 1), "", kNow}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_cache_dump_line(c.line, kNow), c.record) << c.line;
}

class CacheDumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (ServerSettings* s : {&settings_, &later_settings_}) {
      s->data_directory.set(directory_);
      s->cache_dump = 1;
    }
    cache_.set_clock([this] { return now_; });
    later_.set_clock([this] { return now_; });
  }

  std::string path() const { return directory_ + "/cache.dmp"; }
  std::string file_text() const {
    std::ifstream in(path());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void write_file(const std::string& text) const { std::ofstream(path()) << text; }
  size_t files_in_directory() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(directory_),
                                             std::filesystem::directory_iterator()));
  }

  test_support::ScratchFolder scratch_{"norvane-cache-dump"};
  std::string directory_ = scratch_.path();
  uint32_t now_ = kNow;
  ServerSettings settings_;
  ServerSettings later_settings_;
  TransactionLog log_;
  Cache cache_{settings_, log_};
  // The cache of the next start.
  Cache later_{later_settings_, log_};
};

TEST_F(CacheDumpTest, RoundTripKeepsOrderAndRemainingLifetime) {
  cache_.cache_add(CacheMode::kLearned, kTypeMx, "x", 10, "mx.x", 900);
  cache_.cache_add(CacheMode::kLearned, kTypePtr, "host.x", ipv4(10, 0, 0, 5), "", 700);
  cache_.cache_add(CacheMode::kLearned, kTypeA, "a.x", ipv4(10, 0, 0, 1), "", 600);
  cache_.cache_add(CacheMode::kLearned, kTypeA, "gone.x", ipv4(10, 0, 0, 2), "", 50);
  now_ += 60;
  ASSERT_EQ(cache_.cache_save_dump(), CacheDumpResult::kDone);
  EXPECT_EQ(file_text(),
            "a.x\tA\t10.0.0.1\t1700000600\n"
            "5.0.0.10.in-addr.arpa\tPTR\thost.x\t1700000700\n"
            "x\tMX\t10\tmx.x\t1700000900\n");
  EXPECT_EQ(files_in_directory(), 1u);  // no temporary left behind

  now_ += 40;  // 100 s after the first entry was learned
  size_t restored = 0;
  ASSERT_EQ(later_.cache_load_dump(&restored), CacheDumpResult::kDone);
  EXPECT_EQ(restored, 3u);
  std::vector<uint8_t> section;
  Sink sink(section, 12, 512);
  EXPECT_EQ(later_.cache_answer_a("a.x", sink), 1);
  EXPECT_EQ(read_u32(section.data() + 5 + 4), 500u);  // TTL behind "a.x", type and class
  std::vector<CacheEntry> before = cache_.cache_list();
  before.erase(before.begin());  // gone.x, dead when the file was saved
  std::vector<CacheEntry> after = later_.cache_list();
  ASSERT_EQ(after.size(), 3u);
  // The answer moved a.x to the front, where the save had it anyway.
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(after[i].name, before[i].name);
    EXPECT_EQ(after[i].datum, before[i].datum);
    EXPECT_EQ(after[i].time, before[i].time);
  }
}

TEST_F(CacheDumpTest, ReaderSkipsBadLinesAndStopsAtADuplicate) {
  write_file(
      "# saved by hand\n"
      "\n"
      "a.x\tA\t10.0.0.1\t1700000100\n"
      "a.x\tTXT\thello\t1700000100\n"
      "old.x\tA\t10.0.0.2\t1699999999\n"
      "b.x\tNS\tns.x\t1700000100\n"
      "A.X\tA\t10.0.0.1\t1700000200\n"
      "c.x\tA\t10.0.0.3\t1700000100\n");
  size_t restored = 0;
  EXPECT_EQ(cache_.cache_load_dump(&restored), CacheDumpResult::kDone);
  EXPECT_EQ(restored, 2u);
  const std::vector<CacheEntry> list = cache_.cache_list();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "a.x");
  EXPECT_EQ(list[0].time, 1700000100u);
  EXPECT_EQ(list[1].name, "b.x");
}

TEST_F(CacheDumpTest, SwitchedOffNeitherWritesNorReads) {
  settings_.cache_dump = 0;
  cache_.cache_add(CacheMode::kLearned, kTypeA, "a.x", ipv4(10, 0, 0, 1), "", 600);
  EXPECT_EQ(cache_.cache_save_dump(), CacheDumpResult::kDisabled);
  EXPECT_FALSE(std::filesystem::exists(path()));
  write_file("b.x\tA\t10.0.0.1\t1700000100\n");
  EXPECT_EQ(cache_.cache_load_dump(), CacheDumpResult::kDisabled);
  EXPECT_EQ(cache_.size(), 1u);
  EXPECT_TRUE(cache_.cache_clear());
  EXPECT_EQ(file_text(), "b.x\tA\t10.0.0.1\t1700000100\n");
}

TEST_F(CacheDumpTest, ClearingLeavesAnEmptyFile) {
  cache_.cache_add(CacheMode::kLearned, kTypeA, "a.x", ipv4(10, 0, 0, 1), "", 600);
  ASSERT_EQ(cache_.cache_save_dump(), CacheDumpResult::kDone);
  EXPECT_TRUE(cache_.cache_clear());
  EXPECT_EQ(cache_.size(), 0u);
  EXPECT_TRUE(std::filesystem::exists(path()));
  EXPECT_EQ(file_text(), "");
}

TEST_F(CacheDumpTest, FailedSaveLeavesTheOldFileAndNoTemporary) {
  write_file("a.x\tA\t10.0.0.1\t1700000100\n");
  const std::string old = file_text();
  cache_.cache_add(CacheMode::kLearned, kTypeA, "b.x", ipv4(10, 0, 0, 2), "", 600);
  // A missing directory: the temporary cannot be made.
  settings_.data_directory.set(directory_ + "/missing");
  EXPECT_EQ(cache_.cache_save_dump(), CacheDumpResult::kFailed);
  EXPECT_FALSE(cache_.cache_clear());
  EXPECT_EQ(file_text(), old);
  // A directory where the file should be: the rename fails after the write.
  settings_.data_directory.set(directory_ + "/sub");
  std::filesystem::create_directories(directory_ + "/sub/cache.dmp");
  cache_.cache_add(CacheMode::kLearned, kTypeA, "b.x", ipv4(10, 0, 0, 2), "", 600);
  EXPECT_EQ(cache_.cache_save_dump(), CacheDumpResult::kFailed);
  EXPECT_EQ(
      static_cast<size_t>(std::distance(std::filesystem::directory_iterator(directory_ + "/sub"),
                                        std::filesystem::directory_iterator())),
      1u);
  // A missing file at start leaves the cache empty.
  EXPECT_EQ(later_.cache_load_dump(), CacheDumpResult::kDone);
  std::filesystem::remove(path());
  Cache fresh(later_settings_, log_);
  EXPECT_EQ(fresh.cache_load_dump(), CacheDumpResult::kFailed);
  EXPECT_EQ(fresh.size(), 0u);
}

}  // namespace
}  // namespace norvane
