// Access control: the covering and granting rules, the switch, replacement
// of the live list under load, and the listing image with its handles.
#include "engine/access_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/engine_test_support.h"

namespace norvane {
namespace {

using test_support::ipv4;

// A host-order address, as the list keeps it.
constexpr uint32_t host(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

struct AccessFixture {
  explicit AccessFixture(uint32_t switch_on) { settings.access_control.store(switch_on); }
  ServerSettings settings;
  AccessControl access{settings};
};

TEST(AccessControlTest, SwitchOffAllowsEveryRightWhateverTheList) {
  AccessFixture empty(0);
  AccessFixture restricted(0);
  restricted.access.replace_access_list({{"Q ", host(10, 0, 0, 1), 0}});
  for (AccessFixture* f : {&empty, &restricted}) {
    for (char right : {'Q', 'U', 'Z'}) {
      EXPECT_EQ(f->access.access_allowed(ipv4(192, 0, 2, 7), right), 1) << right;
    }
  }
}

TEST(AccessControlTest, RangeMustCoverTheAddressAndGrantTheRight) {
  using List = std::vector<AccessRange>;
  const List lan_queries = {{"Q ", host(192, 168, 1, 0), host(192, 168, 1, 255)}};
  // The first range covers but lacks Z; the second grants it.
  const List query_then_transfer = {{"Q ", host(10, 0, 0, 1), 0}, {"Z ", host(10, 0, 0, 1), 0}};
  const List reversed = {{"Q Z U", host(10, 0, 0, 9), host(10, 0, 0, 1)}};
  const List everyone = {{"Q Z U", 0, 0}};
  // Above 128.0.0.0 a signed or network-order comparison gets these wrong.
  const List high = {{"U", host(192, 0, 0, 0), host(223, 255, 255, 255)}};
  struct Case {
    const char* name;
    List list;
    uint32_t address;
    char right;
    int allowed;
  };
  const Case cases[] = {
      {"query inside range", lan_queries, ipv4(192, 168, 1, 77), 'Q', 1},
      {"transfer not granted", lan_queries, ipv4(192, 168, 1, 77), 'Z', 0},
      {"update not granted", lan_queries, ipv4(192, 168, 1, 77), 'U', 0},
      {"first address inclusive", lan_queries, ipv4(192, 168, 1, 0), 'Q', 1},
      {"last address inclusive", lan_queries, ipv4(192, 168, 1, 255), 'Q', 1},
      {"outside range", lan_queries, ipv4(192, 168, 2, 1), 'Q', 0},
      {"below range", lan_queries, ipv4(192, 168, 0, 255), 'Q', 0},
      {"second range grants", query_then_transfer, ipv4(10, 0, 0, 1), 'Z', 1},
      {"single address only", query_then_transfer, ipv4(10, 0, 0, 2), 'Q', 0},
      {"reversed covers nothing", reversed, ipv4(10, 0, 0, 5), 'Q', 0},
      {"reversed, at its first", reversed, ipv4(10, 0, 0, 9), 'Q', 0},
      {"every address", everyone, ipv4(203, 0, 113, 200), 'U', 1},
      {"every address, zero", everyone, 0, 'Z', 1},
      {"high range, inside", high, ipv4(200, 1, 2, 3), 'U', 1},
      {"high range, below", high, ipv4(191, 255, 255, 255), 'U', 0},
      {"empty list refuses", {}, ipv4(127, 0, 0, 1), 'Q', 0},
      // The dialog's blank separators and lower case are not rights.
      {"blank is no right", everyone, ipv4(10, 0, 0, 1), ' ', 0},
      {"lower case is no right", everyone, ipv4(10, 0, 0, 1), 'q', 0},
      {"zero is no right", everyone, ipv4(10, 0, 0, 1), '\0', 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AccessFixture f(1);
    f.access.replace_access_list(c.list);
    EXPECT_EQ(f.access.access_allowed(c.address, c.right), c.allowed);
  }
}

TEST(AccessControlTest, ReplaceCutsRightsAndMakesFirstZeroASingleAddress) {
  AccessFixture f(1);
  f.access.replace_access_list({{"QZUQZUQZU", 0, host(10, 0, 0, 5)}});
  const std::vector<AccessRange> expected = {{"QZUQZUQ", host(10, 0, 0, 5), 0}};
  EXPECT_EQ(f.access.access_list(), expected);
  // Not the range 0.0.0.0 .. 10.0.0.5.
  EXPECT_EQ(f.access.access_allowed(ipv4(10, 0, 0, 4), 'Q'), 0);
  EXPECT_EQ(f.access.access_allowed(ipv4(10, 0, 0, 5), 'Q'), 1);
}

TEST(AccessControlTest, ImageIsLittleEndianFieldByField) {
  AccessFixture f(0);
  EXPECT_FALSE(f.access.access_range_image(0).has_value());

  f.access.replace_access_list(
      {{"Q Z U", host(192, 168, 1, 1), host(192, 168, 1, 254)}, {"Q ", 0, 0}});
  const auto head = f.access.access_range_image(0);
  ASSERT_TRUE(head.has_value());
  uint64_t next = 0;
  for (int i = 0; i < 8; ++i) next |= static_cast<uint64_t>((*head)[i]) << (8 * i);
  ASSERT_NE(next, 0u);
  const std::array<uint8_t, 16> head_rest = {'Q',  ' ',  'Z',  ' ',  'U',  0,    0,    0,
                                             0x01, 0x01, 0xA8, 0xC0, 0xFE, 0x01, 0xA8, 0xC0};
  EXPECT_TRUE(std::equal(head_rest.begin(), head_rest.end(), head->begin() + 8));

  const auto tail = f.access.access_range_image(next);
  ASSERT_TRUE(tail.has_value());
  std::array<uint8_t, kAccessRangeImageSize> expected_tail{};
  expected_tail[8] = 'Q';
  expected_tail[9] = ' ';
  EXPECT_EQ(*tail, expected_tail);  // next 0: the last range

  EXPECT_FALSE(f.access.access_range_image(next + 1000).has_value());
}

TEST(AccessControlTest, HandlesStayByPositionAndRemovedOnesAreNotFound) {
  AccessFixture f(0);
  const AccessRange a{"Q ", host(10, 0, 0, 1), 0};
  const AccessRange b{"Z ", host(10, 0, 0, 2), 0};
  const AccessRange c{"U", host(10, 0, 0, 3), 0};
  auto next_of = [&](uint64_t handle) {
    const auto image = f.access.access_range_image(handle);
    EXPECT_TRUE(image.has_value());
    uint64_t next = 0;
    for (int i = 0; i < 8; ++i) next |= static_cast<uint64_t>((*image)[i]) << (8 * i);
    return next;
  };

  f.access.replace_access_list({a, b, c});
  const uint64_t second = next_of(0);
  const uint64_t third = next_of(second);
  EXPECT_EQ(next_of(third), 0u);

  // A reload of a list as long keeps the walk valid.
  f.access.replace_access_list({c, b, a});
  EXPECT_EQ(next_of(0), second);
  EXPECT_EQ(next_of(second), third);

  // After shrinking, the dropped handles are gone for good: growing again
  // issues new ones rather than bringing them back.
  f.access.replace_access_list({a});
  EXPECT_FALSE(f.access.access_range_image(second).has_value());
  f.access.replace_access_list({a, b, c});
  const uint64_t new_second = next_of(0);
  EXPECT_NE(new_second, second);
  EXPECT_NE(new_second, third);
  EXPECT_FALSE(f.access.access_range_image(second).has_value());
}

// Every list installed here ends with a range granting Q to kTrusted and
// never covers kStranger; a reader that saw a half-replaced list would get
// one of the two wrong.
TEST(AccessControlTest, ReplacementsWhileServingThreadsTestAreNeverSeenHalfDone) {
  constexpr int kReplacements = 2000;
  constexpr int kReaders = 4;
  const uint32_t trusted = ipv4(172, 16, 0, 1);
  const uint32_t stranger = ipv4(203, 0, 113, 9);

  AccessFixture f(1);
  f.access.replace_access_list({{"Q ", host(172, 16, 0, 1), 0}});
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::atomic<long> tests{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      long count = 0;
      while (!done.load() || count == 0) {
        if (f.access.access_allowed(trusted, 'Q') != 1) ++wrong;
        if (f.access.access_allowed(stranger, 'Q') != 0) ++wrong;
        if (f.access.access_allowed(trusted, 'Z') != 0) ++wrong;
        // Walking the listing must end, whatever replacement it meets.
        uint64_t handle = 0;
        for (int steps = 0; steps < 64; ++steps) {
          const auto image = f.access.access_range_image(handle);
          if (!image) break;
          handle = 0;
          for (int i = 0; i < 8; ++i) handle |= static_cast<uint64_t>((*image)[i]) << (8 * i);
          if (handle == 0) break;
        }
        ++count;
      }
      tests += count;
    });
  }
  for (int generation = 0; generation < kReplacements; ++generation) {
    std::vector<AccessRange> list;
    const auto subnet = static_cast<uint32_t>(generation % 256);
    for (uint32_t d = 0; d < static_cast<uint32_t>(generation % 7); ++d) {
      list.push_back({"Q Z U", host(10, subnet, d, 0), host(10, subnet, d, 255)});
    }
    list.push_back({"Q ", host(172, 16, 0, 1), 0});
    f.access.replace_access_list(std::move(list));
  }
  done = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GE(tests.load(), kReaders);
}

}  // namespace
}  // namespace norvane
