// The stored access list: reading values, skipping damaged ones, loading
// through settings_read, and writing the list back in the dialog's form.
#include "runtime/access_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/text_helpers.h"
#include "runtime/settings.h"
#include "tests/runtime/hand_written_store.h"

namespace norvane {
namespace {

using Values = std::vector<std::pair<std::string, std::string>>;
using Ranges = std::vector<AccessRange>;

constexpr uint32_t host(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

using test_support::HandWrittenStore;

TEST(AccessListTest, StoredTextReadsAsRangeOrIsSkipped) {
  struct Case {
    const char* text;
    std::optional<AccessRange> range;  // nothing: the value is skipped
  };
  const Case cases[] = {
      {"Q ,10.0.0.1", AccessRange{"Q ", host(10, 0, 0, 1), 0}},
      {"Q Z U,192.168.1.0-192.168.1.255",
       AccessRange{"Q Z U", host(192, 168, 1, 0), host(192, 168, 1, 255)}},
      {"Q Z U,*", AccessRange{"Q Z U", 0, 0}},
      {"Z ,0.0.0.0", AccessRange{"Z ", 0, 0}},
      // The dialog's forms of a single address typed as the last one.
      {"U,-10.0.0.5", AccessRange{"U", host(10, 0, 0, 5), 0}},
      {"U,*-10.0.0.5", AccessRange{"U", host(10, 0, 0, 5), 0}},
      // Kept, covering nothing, so that it can be seen and repaired.
      {"Q ,10.0.0.9-10.0.0.1", AccessRange{"Q ", host(10, 0, 0, 9), host(10, 0, 0, 1)}},
      {"QQZZUUQQ,10.0.0.1", AccessRange{"QQZZUUQ", host(10, 0, 0, 1), 0}},
      {"Q-Z,10.0.0.1", AccessRange{"Q-Z", host(10, 0, 0, 1), 0}},  // "-" only after the ","
      {",10.0.0.1", AccessRange{"", host(10, 0, 0, 1), 0}},
      {"Q , 10.0.0.1 - 10.0.0.3 ", AccessRange{"Q ", host(10, 0, 0, 1), host(10, 0, 0, 3)}},
      {"Q ,10.0.0.1x", AccessRange{"Q ", host(10, 0, 0, 1), 0}},  // lenient, as the dialog
      {"Q ,10.0.0.1-", AccessRange{"Q ", host(10, 0, 0, 1), 0}},
      // A last address that does not read counts as 0: the single first address.
      {"Q ,10.0.0.1-nonsense", AccessRange{"Q ", host(10, 0, 0, 1), 0}},
      {"Q Z ,10.0.0.1-10.0.0.256", AccessRange{"Q Z ", host(10, 0, 0, 1), 0}},
      {"U,192.168.1.7-host.example", AccessRange{"U", host(192, 168, 1, 7), 0}},
      // Damaged values: reading their addresses as 0 would grant everyone.
      {"Q 10.0.0.1", std::nullopt},
      {"", std::nullopt},
      {"Q ,", std::nullopt},
      {"Q ,10.0.0.256", std::nullopt},
      {"Q ,host.example", std::nullopt},
      {"Q ,*-nonsense", std::nullopt},
      {"Q ,--10.0.0.1", std::nullopt},
      {"Q ,-nonsense", std::nullopt},
      {"Q ,nonsense-10.0.0.5", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    EXPECT_EQ(parse_access_range(c.text), c.range);
  }
}

TEST(AccessListTest, LoadStopsAtFirstMissingNumberAndSkipsDamagedValues) {
  HandWrittenStore hand(
      "[Velisk\\Access]\n"
      "3=Q ,10.0.0.3\n"
      "1=Q ,nonsense\n"
      "0=Q ,10.0.0.0\n"
      "2=" +
      std::string(300, 'Q') + ",10.0.0.2\n" +
      "Comment=Q ,10.0.0.7\n"
      "[Velisk\\Access\\Other]\n"
      "4=Q ,10.0.0.4\n");
  Engine engine;
  engine.access.replace_access_list({{"U", 1, 2}, {"U", 3, 4}, {"U", 5, 6}, {"U", 7, 8}});
  load_access_list(engine, hand.store);
  // "1" and the overlong "2" are skipped without ending the list; "3" is
  // read; nothing follows the missing "4".
  EXPECT_EQ(engine.access.access_list(),
            (Ranges{{"Q ", host(10, 0, 0, 0), 0}, {"Q ", host(10, 0, 0, 3), 0}}));

  HandWrittenStore gap("[Velisk\\Access]\n0=Q ,10.0.0.0\n1=Q ,10.0.0.1\n3=Q ,10.0.0.3\n");
  load_access_list(engine, gap.store);
  EXPECT_EQ(engine.access.access_list(),
            (Ranges{{"Q ", host(10, 0, 0, 0), 0}, {"Q ", host(10, 0, 0, 1), 0}}));

  HandWrittenStore none("[Velisk]\nPort=53\n");
  load_access_list(engine, none.store);
  EXPECT_TRUE(engine.access.access_list().empty());
}

TEST(AccessListTest, SettingsReadLoadsTheListAndTheSwitchTogether) {
  HandWrittenStore hand(
      "[Velisk]\nAccessControl=1\n"
      "[Velisk\\Access]\n0=Q ,192.168.1.0-192.168.1.255\n1=Z ,10.0.0.1\n");
  Engine engine;
  settings_read(engine, hand.store);
  const uint32_t lan_host = parse_ipv4("192.168.1.77");
  EXPECT_EQ(engine.access.access_allowed(lan_host, 'Q'), 1);
  EXPECT_EQ(engine.access.access_allowed(lan_host, 'U'), 0);
  EXPECT_EQ(engine.access.access_allowed(parse_ipv4("192.168.2.1"), 'Q'), 0);
  EXPECT_EQ(engine.access.access_allowed(parse_ipv4("10.0.0.1"), 'Z'), 1);
}

TEST(AccessListTest, SaveWritesDialogFormAndRemovesEveryStaleNumber) {
  // "7" lies behind a gap: deleting only as many values as the old list had
  // would leave it to come back once the list grows to seven ranges.
  HandWrittenStore hand(
      "[Velisk\\Access]\n0=old\n1=old\n2=old\n3=old\n7=old\n017=odd\nNote=kept\n");
  Engine engine;
  engine.access.replace_access_list({
      {"UZQ", 0, 0},
      {"Q", host(10, 0, 0, 1), 0},
      {"  ", host(10, 0, 0, 2), 0},  // grants nothing: not written
      {"zU", host(192, 168, 0, 1), host(192, 168, 0, 254)},
  });
  ASSERT_EQ(save_access_list(engine, hand.store), 1);
  EXPECT_EQ(hand.store.store_read_key("Velisk\\Access"),
            (Values{{"0", "Q Z U,*"},
                    {"1", "Q ,10.0.0.1"},
                    {"2", "U,192.168.0.1-192.168.0.254"},
                    {"017", "odd"},
                    {"Note", "kept"}}));

  // What was saved loads back as the same list, less the rightless range.
  Engine reloaded;
  load_access_list(reloaded, hand.store);
  EXPECT_EQ(reloaded.access.access_list(),
            (Ranges{{"Q Z U", 0, 0},
                    {"Q ", host(10, 0, 0, 1), 0},
                    {"U", host(192, 168, 0, 1), host(192, 168, 0, 254)}}));

  engine.access.replace_access_list({});
  ASSERT_EQ(save_access_list(engine, hand.store), 1);
  EXPECT_EQ(hand.store.store_read_key("Velisk\\Access"),
            (Values{{"017", "odd"}, {"Note", "kept"}}));
}

}  // namespace
}  // namespace norvane
