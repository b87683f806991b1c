// The engine's settings: reading with defaults and forcing, writing only what
// differs, the zone defaults, the 336-byte image and the program directory.
#include "runtime/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/text_helpers.h"
#include "engine/zone_file.h"
#include "tests/runtime/hand_written_store.h"

namespace norvane {
namespace {

using Servers = std::vector<std::pair<uint32_t, uint16_t>>;
using Routes = std::vector<std::pair<uint32_t, uint32_t>>;

using test_support::HandWrittenStore;

uint32_t ip(const char* text) { return parse_ipv4(text); }

Servers servers_of(const Engine& engine) {
  Servers servers;
  for (const ExternalServer& s : *engine.settings.external_servers.get()) {
    servers.emplace_back(s.address, s.port);
  }
  return servers;
}

Routes routes_of(const Engine& engine) {
  Routes routes;
  for (const Route& r : *engine.settings.routes.get()) routes.emplace_back(r.destination, r.mask);
  return routes;
}

// Gives every setting a value that is no default, so that a read which
// forgets a field shows up.
void scramble(Engine& engine) {
  ServerSettings& s = engine.settings;
  engine.log.set_level(9);
  for (auto* field : {&s.create_log, &s.access_control, &s.auto_dns, &s.auto_interfaces,
                      &s.server_ttl, &s.client_ttl, &s.cache_entries, &s.cache_dump, &s.port}) {
    field->store(9);
  }
  s.primary = ip("9.9.9.1");
  s.gateway = ip("9.9.9.254");
  s.external_servers.set({{ip("9.9.9.9"), 9}});
  s.routes.set({{ip("9.9.9.0"), ip("255.255.255.0")}});
  s.data_directory.set("/scrambled/");
}

TEST(SettingsTest, AbsentKeyReadsEveryDefault) {
  HandWrittenStore hand("[Other]\nPort=9\n");
  Engine engine;
  scramble(engine);
  engine.settings.network_configuration = 1;
  settings_read(engine, hand.store);
  // A fresh engine starts from the same defaults as the store.
  Engine defaults;
  defaults.settings.network_configuration = 1;
  defaults.settings.data_directory.set(program_directory());
  EXPECT_EQ(settings_image(engine), settings_image(defaults));
  EXPECT_EQ(engine.settings.gateway, 0u);
  EXPECT_TRUE(routes_of(engine).empty());
}

TEST(SettingsTest, StoredValuesReachTheEngine) {
  HandWrittenStore hand(
      "[Velisk]\nLog=3\nCreateLog=1\nAccessControl=1\nServerTTL=60\nClientTTL=86400\n"
      "CacheEntries=2048\nCacheDump=1\nAutoIf=0\nAutoDNS=1\nPort=5353\n"
      "Primary=192.168.1.1\nDNS1=10.0.0.1\nDNS-Port1=1053\nGateway=192.168.1.254\n"
      "Directory=/var/lib/norvane\n");
  Engine engine;
  engine.settings.network_configuration = 1;
  settings_read(engine, hand.store);
  const ServerSettings& s = engine.settings;
  EXPECT_EQ(engine.log.level(), 3u);
  EXPECT_EQ(s.create_log, 1u);
  EXPECT_EQ(s.access_control, 1u);
  EXPECT_EQ(s.server_ttl, 60u);
  EXPECT_EQ(s.client_ttl, 86400u);
  EXPECT_EQ(s.cache_entries, 2048u);
  EXPECT_EQ(s.cache_dump, 1u);
  EXPECT_EQ(s.auto_interfaces, 0u);
  EXPECT_EQ(s.auto_dns, 1u);
  EXPECT_EQ(s.port, 5353u);
  EXPECT_EQ(s.primary, ip("192.168.1.1"));
  EXPECT_EQ(s.gateway, ip("192.168.1.254"));
  EXPECT_EQ(servers_of(engine), (Servers{{ip("10.0.0.1"), 1053}}));
  EXPECT_EQ(*s.data_directory.get(), "/var/lib/norvane");
}

TEST(SettingsTest, AutomaticConfigurationIsForcedOffWithoutTheNetworkInterface) {
  HandWrittenStore hand("[Velisk]\nAutoIf=1\nAutoDNS=1\n");
  for (uint32_t available : {1u, 0u}) {
    Engine engine;
    engine.settings.network_configuration = available;
    settings_read(engine, hand.store);
    EXPECT_EQ(engine.settings.auto_interfaces, available);
    EXPECT_EQ(engine.settings.auto_dns, available);
  }
}

TEST(SettingsTest, ServerListIsCompactAndItsPortsAreNeverWritten) {
  HandWrittenStore hand("[Velisk]\nDNS1=10.0.0.1\nDNS3=10.0.0.3\nDNS-Port3=5353\nDNS4=ns4\n");
  Engine engine;
  settings_read(engine, hand.store);
  ASSERT_EQ(servers_of(engine), (Servers{{ip("10.0.0.1"), 53}, {ip("10.0.0.3"), 5353}}));

  // Written back, 10.0.0.3 moves to DNS2 and DNS3 goes; the ports are read
  // only, so DNS-Port3 stays and the next read pairs DNS2 with port 53.
  // AutoIf, forced off for want of the network interface, keeps its value.
  ASSERT_EQ(settings_write(engine, hand.store), 1);
  EXPECT_EQ(hand.content(), "[Velisk]\nDNS1=10.0.0.1\nDNS-Port3=5353\nDNS2=10.0.0.3\n");
  Engine again;
  settings_read(again, hand.store);
  EXPECT_EQ(servers_of(again), (Servers{{ip("10.0.0.1"), 53}, {ip("10.0.0.3"), 53}}));

  // Ports changed in memory are not stored either.
  again.settings.external_servers.set({{ip("10.0.0.1"), 1053}, {ip("10.0.0.3"), 2053}});
  ASSERT_EQ(settings_write(again, hand.store), 1);
  EXPECT_EQ(hand.content(), "[Velisk]\nDNS1=10.0.0.1\nDNS-Port3=5353\nDNS2=10.0.0.3\n");
}

TEST(SettingsTest, RouteNeedsBothHalvesAndTheTableIsCompact) {
  HandWrittenStore hand(
      "[Velisk]\nDest1=10.9.9.0\nMask1=255.255.255.0\n"  // main key: not a route
      "[Velisk\\routes]\nDest0=10.1.0.0\nMask0=255.255.0.0\nDest5=10.5.0.0\n"
      "Mask6=255.255.0.0\nDest7=10.7.0.0\nMask7=0.0.0.0\n"
      "Dest63=10.63.0.0\nMask63=255.255.0.0\nDest64=10.64.0.0\nMask64=255.255.0.0\n");
  Engine engine;
  settings_read(engine, hand.store);
  EXPECT_EQ(routes_of(engine),
            (Routes{{ip("10.1.0.0"), ip("255.255.0.0")}, {ip("10.63.0.0"), ip("255.255.0.0")}}));
}

TEST(SettingsTest, UnusableDirectoryOrPortReadsAsItsDefault) {
  const std::string longest = "/" + std::string(258, 'd');
  const std::pair<std::string, std::string> directories[] = {
      {"", ""},
      {"Directory=\n", ""},  // empty: files would land in the working directory
      {"Directory=" + longest + "\n", longest},
      {"Directory=" + longest + "x\n", ""},
      {"Directory=/srv/dns data/\n", "/srv/dns data/"}};
  for (const auto& [line, directory] : directories) {
    HandWrittenStore hand("[Velisk]\n" + line);
    Engine engine;
    settings_read(engine, hand.store);
    EXPECT_EQ(*engine.settings.data_directory.get(),
              directory.empty() ? program_directory() : directory);
  }
  const std::pair<const char*, uint32_t> ports[] = {
      {"1", 1}, {"65535", 65535}, {"0", 53}, {"65536", 53}};
  for (const auto& [text, port] : ports) {
    HandWrittenStore hand(std::string("[Velisk]\nPort=") + text +
                          "\nDNS1=10.0.0.1\nDNS-Port1=" + text + "\n");
    Engine engine;
    settings_read(engine, hand.store);
    EXPECT_EQ(engine.settings.port, port) << text;
    EXPECT_EQ(servers_of(engine), (Servers{{ip("10.0.0.1"), port}})) << text;
  }
}

// The bounds of an incoming transfer: stored values are taken, 0 or text that
// is no number reads as the default (0 would refuse every transfer), and only
// a value other than the default is written back.
TEST(SettingsTest, TransferBoundsReadAndWriteBack) {
  struct Case {
    const char* lines;
    uint32_t records, bytes;
  };
  const Case cases[] = {
      {"", kDefaultTransferMaxRecords, kDefaultTransferMaxBytes},
      {"TransferMaxRecords=5000\nTransferMaxBytes=100000\n", 5000, 100000},
      {"TransferMaxRecords=0\nTransferMaxBytes=0\n", kDefaultTransferMaxRecords,
       kDefaultTransferMaxBytes},
      {"TransferMaxRecords=many\nTransferMaxBytes=-\n", kDefaultTransferMaxRecords,
       kDefaultTransferMaxBytes},
  };
  for (const Case& c : cases) {
    HandWrittenStore hand(std::string("[Velisk]\n") + c.lines);
    Engine engine;
    settings_read(engine, hand.store);
    EXPECT_EQ(engine.settings.transfer_max_records, c.records) << c.lines;
    EXPECT_EQ(engine.settings.transfer_max_bytes, c.bytes) << c.lines;
  }
  HandWrittenStore hand("[Velisk]\nTransferMaxBytes=100000\n");
  Engine engine;
  engine.settings.transfer_max_records = 5000;
  ASSERT_EQ(settings_write(engine, hand.store), 1);
  EXPECT_EQ(hand.content(), "[Velisk]\nTransferMaxRecords=5000\n");
}

TEST(SettingsTest, WriteStoresOnlyWhatDiffersAndLeavesOtherValuesAlone) {
  HandWrittenStore hand(
      "[Velisk]\nCacheEntries=2048\nPrimary=10.0.0.9\nDNS4=10.0.0.4\nDNS-Port4=99\n"
      "Directory=/var/lib/norvane\nUsed=1\n[Velisk\\routes]\nDest0=10.1.0.0\n");
  Engine engine;  // every setting at its default
  ASSERT_EQ(settings_write(engine, hand.store), 1);
  EXPECT_EQ(hand.content(),
            "[Velisk]\nDNS-Port4=99\nDirectory=/var/lib/norvane\nUsed=1\n"
            "[Velisk\\routes]\nDest0=10.1.0.0\n");

  scramble(engine);
  engine.settings.network_configuration = 1;
  ASSERT_EQ(settings_write(engine, hand.store), 1);
  EXPECT_EQ(hand.content(),
            "[Velisk]\nDNS-Port4=99\nDirectory=/var/lib/norvane\nUsed=1\nLog=9\nCreateLog=9\n"
            "AccessControl=9\nServerTTL=9\nClientTTL=9\nCacheEntries=9\nCacheDump=9\nPort=9\n"
            "AutoIf=9\nAutoDNS=9\nPrimary=9.9.9.1\nDNS1=9.9.9.9\nGateway=9.9.9.254\n"
            "[Velisk\\routes]\nDest0=10.1.0.0\n");
}

// The SOA values zone_settings_read gives a fresh engine from `settings`.
ZoneSoa zone_settings_of(const std::string& settings) {
  HandWrittenStore hand(settings);
  Engine engine;
  zone_settings_read(engine, hand.store);
  LocalZone::Guard guard = engine.zone.hold();
  return {guard.domain(),  guard.primary(), guard.mailbox(), guard.serial(),
          guard.refresh(), guard.retry(),   guard.expire(),  guard.minimum()};
}

TEST(ZoneSettingsTest, DefaultsAreReadWithAndWithoutADomain) {
  const ZoneSoa with =
      zone_settings_of("[Velisk]\nDomain=Example.COM\nServer=ns1\nSerial=7\nRetry=0\nTTL=60\n");
  // The names keep the case the store holds them in.
  EXPECT_EQ(with.domain, "Example.COM");
  EXPECT_EQ(with.primary, "ns1.Example.COM");
  EXPECT_EQ(with.serial, 7u);
  EXPECT_EQ(with.retry, 7200u);  // 0 keeps the value in use
  EXPECT_EQ(with.minimum, 60u);
  const ZoneSoa without =
      zone_settings_of("[Velisk]\nServer=ns1.example.com\nRefresh=100\nExpire=abc\n");
  EXPECT_EQ(without.domain, "");
  EXPECT_EQ(without.primary, "ns1.example.com");
  EXPECT_EQ(without.mailbox, "postmaster");
  EXPECT_EQ(without.refresh, 100u);
  EXPECT_EQ(without.expire, 72000u);
}

// The engine of the hand-written image below.
void fill_for_image(Engine& engine) {
  ServerSettings& s = engine.settings;
  engine.log.set_level(2);
  s.create_log = 1;
  s.access_control = 1;
  s.network_configuration = 1;
  s.auto_dns = 0;
  s.auto_interfaces = 1;
  s.server_ttl = 0x01020304;
  s.client_ttl = 0xFFFFFFFF;
  s.cache_entries = 70000;
  s.cache_dump = 0;
  s.port = 53;
  s.primary = ip("192.168.1.1");
  s.external_servers.set({{ip("10.0.0.1"), 53}, {ip("10.0.0.3"), 5353}});
  s.data_directory.set("/var/lib/norvane/");
}

std::vector<uint8_t> hand_written_image() {
  std::vector<uint8_t> bytes = {
      0x02, 0x00, 0x00, 0x00,  // log level
      0x01, 0x00, 0x00, 0x00,  // create log
      0x01, 0x00, 0x00, 0x00,  // access control
      0x01, 0x00, 0x00, 0x00,  // network configuration available
      0x00, 0x00, 0x00, 0x00,  // auto DNS
      0x01, 0x00, 0x00, 0x00,  // auto interfaces
      0x04, 0x03, 0x02, 0x01,  // server TTL
      0xff, 0xff, 0xff, 0xff,  // client TTL
      0x70, 0x11, 0x01, 0x00,  // cache entries 70000
      0x00, 0x00, 0x00, 0x00,  // cache dump
      0x35, 0x00, 0x00, 0x00,  // port
      0x02, 0x00, 0x00, 0x00,  // external server count
      0xc0, 0xa8, 0x01, 0x01,  // primary, network order
      0x0a, 0x00, 0x00, 0x01,  // 10.0.0.1
      0x0a, 0x00, 0x00, 0x03,  // 10.0.0.3
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x35, 0x00, 0xe9, 0x14, 0x00, 0x00, 0x00, 0x00,  // ports 53, 5353
  };
  for (char c : std::string("/var/lib/norvane/")) bytes.push_back(static_cast<uint8_t>(c));
  bytes.resize(kSettingsImageSize, 0);
  return bytes;
}

TEST(SettingsImageTest, BytesFollowTheLayoutAndApplyBack) {
  Engine engine;
  fill_for_image(engine);
  const auto image = settings_image(engine);
  const std::vector<uint8_t> expected = hand_written_image();
  EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.end()), expected);

  Engine target;
  target.settings.network_configuration = 1;
  ASSERT_TRUE(apply_settings_image(target, expected));
  EXPECT_EQ(settings_image(target), image);
}

TEST(SettingsImageTest, MalformedImageChangesNothing) {
  std::vector<std::vector<uint8_t>> cases(5, hand_written_image());
  cases[0].pop_back();                                    // 335 bytes
  cases[1].push_back(0);                                  // 337 bytes
  cases[2][44] = 5;                                       // five servers
  std::fill(cases[3].begin() + 76, cases[3].end(), 'd');  // directory without its zero
  cases[4].clear();
  for (const std::vector<uint8_t>& bytes : cases) {
    Engine engine;
    scramble(engine);
    const auto before = settings_image(engine);
    EXPECT_FALSE(apply_settings_image(engine, bytes));
    EXPECT_EQ(settings_image(engine), before);
  }
}

TEST(SettingsImageTest, ApplyKeepsWhatDescribesThisMachine) {
  std::vector<uint8_t> bytes = hand_written_image();
  bytes[16] = 1;                                         // auto DNS on
  std::fill(bytes.begin() + 52, bytes.begin() + 56, 0);  // first server 0.0.0.0
  std::fill(bytes.begin() + 76, bytes.end(), 0);         // no directory
  Engine engine;
  engine.settings.data_directory.set("/kept/");
  ASSERT_TRUE(apply_settings_image(engine, bytes));
  // The image's "network configuration available" is the sender's belief,
  // not this machine's.
  EXPECT_EQ(engine.settings.network_configuration, 0u);
  EXPECT_EQ(engine.settings.auto_interfaces, 0u);
  EXPECT_EQ(engine.settings.auto_dns, 0u);
  EXPECT_EQ(servers_of(engine), (Servers{{ip("10.0.0.3"), 5353}}));
  EXPECT_EQ(*engine.settings.data_directory.get(), "/kept/");

  // A directory the image cannot hold travels as none, not cut short.
  engine.settings.data_directory.set("/" + std::string(259, 'd'));
  const auto image = settings_image(engine);
  EXPECT_TRUE(std::all_of(image.begin() + 76, image.end(), [](uint8_t b) { return b == 0; }));
}

TEST(ProgramDirectoryTest, IsTheFolderOfTheRunningProgramWithItsSlash) {
  const std::string directory = program_directory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.back(), '/');
  struct stat program {};
  struct stat found {};
  ASSERT_EQ(::stat("/proc/self/exe", &program), 0);
  ASSERT_EQ(::stat((directory + "runtime_tests").c_str(), &found), 0);
  EXPECT_EQ(program.st_ino, found.st_ino);
}

// An installed program finds its data directory and settings beside its
// prefix; the /usr tree uses the system's /etc and /var, and a folder that
// only ends in "bin" (or the build tree) is no installation.
TEST(ProgramDirectoryTest, InstalledTreesFindTheirFoldersFromTheProgram) {
  static const std::vector<std::string>* existing = nullptr;
  const auto exists = [](const std::string& path) {
    return std::find(existing->begin(), existing->end(), path) != existing->end();
  };
  struct Case {
    const char* program;
    std::vector<std::string> existing;
    const char* data;
    const char* store;
  };
  const Case cases[] = {
      {"/usr/sbin/", {"/var/lib/norvane/", "/etc/norvane"}, "/var/lib/norvane/", "/etc/norvane"},
      {"/usr/bin/", {"/var/lib/norvane/"}, "/var/lib/norvane/", "/etc/norvane"},
      {"/sbin/", {"/var/lib/norvane/"}, "/var/lib/norvane/", "/etc/norvane"},
      {"/usr/sbin/", {}, "/usr/sbin/", "/etc/norvane"},
      {"/tmp/x/sbin/",
       {"/tmp/x/var/lib/norvane/", "/tmp/x/etc/norvane"},
       "/tmp/x/var/lib/norvane/",
       "/tmp/x/etc/norvane"},
      {"/usr/local/bin/",
       {"/usr/local/var/lib/norvane/", "/var/lib/norvane/"},
       "/usr/local/var/lib/norvane/",
       "/etc/norvane"},
      {"/tmp/x/sbin/", {"/var/lib/norvane/", "/etc/norvane"}, "/tmp/x/sbin/", "/etc/norvane"},
      {"/opt/xbin/", {"/opt/var/lib/norvane/", "/opt/etc/norvane"}, "/opt/xbin/", "/etc/norvane"},
      {"/work/build/default/service/",
       {"/work/build/default/var/lib/norvane/", "/var/lib/norvane/"},
       "/work/build/default/service/",
       "/etc/norvane"},
  };
  for (const Case& c : cases) {
    existing = &c.existing;
    EXPECT_EQ(default_data_directory(c.program, exists), c.data) << c.program;
    EXPECT_EQ(default_machine_store(c.program, exists), c.store) << c.program;
  }
  existing = nullptr;
}

}  // namespace
}  // namespace norvane
