// The administrative operations against an engine set up as a server sets it
// up (settings from a scratch store, the zone from name.db in a scratch data
// directory): the effect in memory, in the store and in name.db, the serial
// rule, and what a store that cannot be written leaves behind.
#include "runtime/administration.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/settings.h"
#include "runtime/zone_writer.h"
#include "tests/runtime/server_tree_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;

uint32_t address_of(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address.s_addr;
}

class AdministrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A file where the folder of `blocked_` would have to be: nothing can be
    // written there, whoever runs the test.
    std::ofstream(root_ / "blocked");
    settings_read(engine_, store_);
    zone_settings_read(engine_, store_);
    install_zone_save_hook(engine_);
    ASSERT_EQ(zone_load(engine_, 1), 3);
  }
  uint32_t serial() { return engine_.zone.hold().serial(); }
  std::string zone_file() const {
    std::ifstream in(root_ / "data" / "name.db");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // The serial on name.db's SOA line.
  uint32_t saved_serial() const {
    std::istringstream in(zone_file());
    for (std::string line; std::getline(in, line);) {
      const size_t soa = line.find("\tSOA\t");
      if (soa == std::string::npos) continue;
      std::istringstream fields(line.substr(line.find(' ', soa)));
      uint32_t value = 0;
      fields >> value;
      return value;
    }
    return 0;
  }
  uint64_t handle_of(const char* owner) {
    LocalZone::Guard guard = engine_.zone.hold();
    const std::optional<ZoneRecord> record = guard.find_zone_record(guard.live(), owner, 1);
    return record ? record->handle : 0;
  }

  const test_support::ServerTree tree_{"norvane-admin", {"test.lan", 7, "10.0.0.1", "10.0.0.2"}};
  const fs::path root_ = tree_.root();
  SettingsStore store_ = tree_.store();
  SettingsStore blocked_{(root_ / "blocked" / "store").string()};
  Engine engine_;
};

TEST_F(AdministrationTest, ApplySettingsWritesThenReadsBack) {
  SettingsImage image = capture_settings(engine_);
  image.server_ttl = 4321;
  image.client_ttl = 77;
  const auto bytes = encode_settings_image(image);
  ASSERT_TRUE(apply_settings(engine_, store_, bytes));
  EXPECT_EQ(engine_.settings.server_ttl.load(), 4321u);
  EXPECT_EQ(engine_.settings.client_ttl.load(), 77u);
  EXPECT_EQ(store_.store_read_number(kMainKey, "ServerTTL", 0), 4321u);

  // An image that does not decode changes nothing.
  EXPECT_FALSE(apply_settings(engine_, store_, std::span<const uint8_t>(bytes).first(100)));
  EXPECT_EQ(engine_.settings.server_ttl.load(), 4321u);

  // A store that cannot be written: the failure is reported and the live
  // values are what that store holds (nothing: the defaults), not the image.
  image.server_ttl = 999;
  EXPECT_FALSE(apply_settings(engine_, blocked_, encode_settings_image(image)));
  EXPECT_NE(engine_.settings.server_ttl.load(), 999u);
  EXPECT_EQ(store_.store_read_number(kMainKey, "ServerTTL", 0), 4321u);
}

TEST_F(AdministrationTest, SaveZoneRaisesTheSerialUnlessNewValuesAreGiven) {
  ASSERT_EQ(serial(), 7u);
  ASSERT_TRUE(save_zone(engine_));
  EXPECT_EQ(serial(), 8u);
  EXPECT_EQ(saved_serial(), 8u);

  ZoneSoa soa;
  soa.domain = "test.lan";
  soa.primary = "ns1.test.lan";
  soa.mailbox = "admin.test.lan";
  soa.serial = 42;
  soa.refresh = 1800;
  soa.retry = 300;
  soa.expire = 60000;
  soa.minimum = 120;
  ASSERT_TRUE(save_zone_with_soa(engine_, soa));
  EXPECT_EQ(serial(), 42u);
  EXPECT_EQ(saved_serial(), 42u);
  EXPECT_NE(zone_file().find("admin.test.lan."), std::string::npos);

  // Refused values: nothing changes, in memory or on disk.
  soa.domain.clear();
  soa.serial = 50;
  EXPECT_FALSE(save_zone_with_soa(engine_, soa));
  EXPECT_EQ(serial(), 42u);
  EXPECT_EQ(saved_serial(), 42u);
}

TEST_F(AdministrationTest, AddingKeepsTheSerialAndTheFileAddAndSaveRaisesBoth) {
  const uint32_t mail = address_of("10.0.0.9");
  ASSERT_TRUE(add_record(engine_, 1, "mail.test.lan", 0, mail, ""));
  EXPECT_NE(handle_of("mail.test.lan"), 0u);
  EXPECT_EQ(serial(), 7u);
  EXPECT_EQ(zone_file().find("10.0.0.9"), std::string::npos);
  EXPECT_FALSE(add_record(engine_, 1, "mail.test.lan", 0, mail, ""));

  const uint32_t ftp = address_of("10.0.0.10");
  EXPECT_EQ(add_record_and_save(engine_, 1, "ftp.test.lan", 0, ftp, ""), AddResult::kAdded);
  EXPECT_EQ(serial(), 8u);
  EXPECT_EQ(saved_serial(), 8u);
  EXPECT_NE(zone_file().find("10.0.0.10"), std::string::npos);
  // The earlier record went into the file with this save.
  EXPECT_NE(zone_file().find("10.0.0.9"), std::string::npos);
  // A refused record raises nothing.
  EXPECT_EQ(add_record_and_save(engine_, 1, "ftp.test.lan", 0, ftp, ""), AddResult::kRefused);
  EXPECT_EQ(serial(), 8u);
}

TEST_F(AdministrationTest, EachRemovalRaisesTheSerialAndSaves) {
  const uint64_t www = handle_of("www.test.lan");
  ASSERT_NE(www, 0u);
  EXPECT_TRUE(remove_record(engine_, www));
  EXPECT_EQ(serial(), 8u);
  EXPECT_EQ(saved_serial(), 8u);
  EXPECT_EQ(zone_file().find("10.0.0.2"), std::string::npos);
  // Gone handles and handle 0 name nothing and change nothing.
  for (const uint64_t handle : {www, uint64_t{0}}) {
    EXPECT_FALSE(remove_record(engine_, handle));
    EXPECT_EQ(serial(), 8u);
  }

  ASSERT_TRUE(add_record(engine_, 1, "multi.test.lan", 0, address_of("10.0.1.1"), ""));
  ASSERT_TRUE(add_record(engine_, 1, "multi.test.lan", 0, address_of("10.0.1.2"), ""));
  EXPECT_EQ(remove_records(engine_, 255, "multi.test.lan."), 2);
  EXPECT_EQ(serial(), 10u);
  EXPECT_EQ(saved_serial(), 10u);
  EXPECT_EQ(remove_records(engine_, 255, "multi.test.lan"), 0);
  EXPECT_EQ(serial(), 10u);
}

// Through the zone writer, with a data directory that cannot be written: each
// removal is reported unsaved and stays removed in memory only; the next
// write that succeeds takes every earlier removal to the file.
TEST_F(AdministrationTest, RemovalsThatCannotBeSavedSayTheFileLagsUntilTheNextWrite) {
  ZoneWriter writer(
      engine_, [this] { return zone_save(engine_) == 1; }, nullptr);
  writer.start();
  const std::string directory = *engine_.settings.data_directory.get();
  engine_.settings.data_directory.set((root_ / "blocked" / "data").string() + "/");

  bool saved = true;
  const uint64_t www = handle_of("www.test.lan");
  EXPECT_TRUE(remove_record(engine_, www, &saved));
  EXPECT_FALSE(saved);
  saved = true;
  EXPECT_EQ(remove_records(engine_, 1, "ns1.test.lan", &saved), 1);
  EXPECT_FALSE(saved);
  EXPECT_EQ(handle_of("www.test.lan"), 0u);
  EXPECT_EQ(serial(), 9u);
  EXPECT_NE(zone_file().find("10.0.0.2"), std::string::npos);
  EXPECT_EQ(saved_serial(), 7u);

  engine_.settings.data_directory.set(directory);
  EXPECT_TRUE(save_zone(engine_));
  writer.stop();
  EXPECT_EQ(zone_file().find("10.0.0.2"), std::string::npos);
  EXPECT_EQ(zone_file().find("10.0.0.1"), std::string::npos);
  EXPECT_EQ(saved_serial(), 10u);
}

TEST_F(AdministrationTest, RefreshNowHoldsOffTheTimedRefresh) {
  int started = 0;
  EXPECT_FALSE(refresh_from_primary_now(engine_, RefreshStart()));
  EXPECT_EQ(engine_.zone.hold().retry_after(), 0);

  const std::time_t before = std::time(nullptr);
  EXPECT_TRUE(refresh_from_primary_now(engine_, [&started] { return ++started; }));
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(started, 1);
  EXPECT_GE(engine_.zone.hold().retry_after(), before + 600);
  EXPECT_LE(engine_.zone.hold().retry_after(), after + 600);
  // One already running: not started.
  EXPECT_FALSE(refresh_from_primary_now(engine_, [] { return 0; }));
}

TEST_F(AdministrationTest, ReplaceAccessListSwapsAndStoresOrPutsTheOldListBack) {
  // The rights as the security dialog writes them, so they read back the same.
  const std::vector<AccessRange> first{{"Q Z U", 0x0a000000, 0x0a0000ff}, {"Q ", 0, 0}};
  ASSERT_TRUE(replace_access_list(engine_, store_, first));
  EXPECT_EQ(engine_.access.access_list(), first);
  // Read back as the next start reads it.
  Engine restarted;
  reload_access_list(restarted, store_);
  EXPECT_EQ(restarted.access.access_list(), first);

  const std::vector<AccessRange> second{{"U", 0x7f000001, 0}};
  EXPECT_FALSE(replace_access_list(engine_, blocked_, second));
  EXPECT_EQ(engine_.access.access_list(), first);
}

TEST_F(AdministrationTest, GatewayIsStoredBeforeItsRouteAndRoutesGoThroughTheHook) {
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> calls;
  const RouteHook hook = [&calls](uint32_t destination, uint32_t mask, uint32_t gateway) {
    calls.emplace_back(destination, mask, gateway);
    return 1;
  };
  const uint32_t gateway = address_of("192.168.1.1");

  // Not stored: not in force, and no route touched.
  EXPECT_EQ(set_gateway(engine_, blocked_, gateway, hook), std::nullopt);
  EXPECT_EQ(engine_.settings.gateway.load(), 0u);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(restore_default_route(engine_, hook), 0u);
  EXPECT_EQ(remove_default_route(engine_, hook), 0u);
  EXPECT_TRUE(calls.empty());

  EXPECT_EQ(set_gateway(engine_, store_, gateway, hook), 1u);
  EXPECT_EQ(store_.store_read_address(kMainKey, "Gateway"), gateway);
  EXPECT_EQ(restore_default_route(engine_, hook), 1u);
  EXPECT_EQ(remove_default_route(engine_, hook), 1u);
  // Without a hook every change counts as failed; the gateway is stored.
  EXPECT_EQ(set_gateway(engine_, store_, gateway, RouteHook()), 0u);

  engine_.settings.routes.set(
      {{address_of("10.8.0.0"), address_of("255.255.0.0")}, {address_of("10.9.0.0"), 0}});
  EXPECT_EQ(apply_route_table(engine_, true, hook), 2u);
  EXPECT_EQ(apply_route_table(engine_, false, hook), 2u);

  using Call = std::tuple<uint32_t, uint32_t, uint32_t>;
  const std::vector<Call> expected{
      {0, 0, gateway},
      {0, 0, gateway},
      {0, 0, 0},
      {address_of("10.8.0.0"), address_of("255.255.0.0"), gateway},
      {address_of("10.9.0.0"), 0, gateway},
      {address_of("10.8.0.0"), address_of("255.255.0.0"), 0},
      {address_of("10.9.0.0"), 0, 0},
  };
  EXPECT_EQ(calls, expected);
}

TEST_F(AdministrationTest, ClearCacheAndRemoveEntry) {
  EXPECT_TRUE(clear_cache(engine_));
  EXPECT_FALSE(remove_cache_entry(engine_, 0));
  EXPECT_FALSE(remove_cache_entry(engine_, 12345));
}

}  // namespace
}  // namespace norvane
