// Hosts file import: how lines are taken apart, the domain set-up, blocklist
// entries, long and odd lines, imports into a database that already holds
// records, and a 100,000-line file answered through handle_message.
#include "engine/hosts_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "engine/dns_message.h"
#include "engine/text_helpers.h"
#include "engine/zone_file.h"
#include "tests/engine/engine_test_support.h"
#include "tests/test_support.h"

namespace norvane {
namespace {

using test_support::ipv4;
using namespace std::string_literals;

// Every live record as "owner ttl TYPE data", in list order.
std::vector<std::string> dump(Engine& engine) {
  LocalZone::Guard held = engine.zone.hold();
  std::vector<std::string> out;
  char address[kIpv4TextSize];
  for (const ZoneRecord& r : held.live().records()) {
    const std::string data =
        r.type == kTypeA ? format_ipv4(r.datum, address) : std::string(r.target);
    out.push_back(std::string(r.owner) + " " + std::to_string(r.ttl) + " " + type_mnemonic(r.type) +
                  " " + data);
  }
  return out;
}

class HostsImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hosts_path_ = directory_ + "/hosts";
    engine_.log.set_level(0);
    LocalZone::Guard held = engine_.zone.hold();
    held.set_minimum(900);
  }

  void write_hosts(const std::string& text) {
    std::ofstream out(hosts_path_, std::ios::binary);
    out << text;
  }
  // The zone's domain, primary and mailbox as the SOA holds them.
  std::vector<std::string> soa_texts() {
    LocalZone::Guard held = engine_.zone.hold();
    return {held.domain(), held.primary(), held.mailbox()};
  }
  int import(const std::string& text, std::string_view domain = "office.lan",
             std::string_view host = "pc1") {
    write_hosts(text);
    return hosts_import(engine_, hosts_path_, domain, host);
  }

  Engine engine_;
  test_support::ScratchFolder scratch_{"norvane-hosts"};
  std::string directory_ = scratch_.path();
  std::string hosts_path_;
};

TEST_F(HostsImportTest, SetsUpDomainNameServerAndNamesAsWritten) {
  EXPECT_EQ(import("192.168.1.10 server1 server1.office.lan\n"), 2);
  EXPECT_EQ(dump(engine_), (std::vector<std::string>{
                               "office.lan 900 NS pc1.office.lan",
                               "server1 900 A 192.168.1.10",
                               "server1.office.lan 900 A 192.168.1.10",
                           }));
  EXPECT_EQ(soa_texts(), (std::vector<std::string>{"office.lan", "pc1.office.lan",
                                                   "Postmaster.pc1.office.lan"}));
  LocalZone::Guard held = engine_.zone.hold();
  EXPECT_NE(held.loaded_at(), 0);
  EXPECT_TRUE(held.staging().empty());
  EXPECT_FALSE(held.staging_claimed());
}

// The system's domain keeps its case in the SOA; the records are lowered.
TEST_F(HostsImportTest, DomainKeepsItsCaseAndRecordsAreLowered) {
  EXPECT_EQ(import("192.168.1.10 Server1.Office.LAN\n", "Office.LAN", "PC1"), 1);
  EXPECT_EQ(dump(engine_), (std::vector<std::string>{
                               "office.lan 900 NS pc1.office.lan",
                               "server1.office.lan 900 A 192.168.1.10",
                           }));
  EXPECT_EQ(soa_texts(), (std::vector<std::string>{"Office.LAN", "PC1.Office.LAN",
                                                   "Postmaster.PC1.Office.LAN"}));
}

// One line per case, imported into a fresh engine each time.
TEST_F(HostsImportTest, LineRules) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::string> records;  // "owner address"
  };
  const std::vector<Case> cases = {
      {"repeated name ends its line",
       "10.0.0.1 a b a c\n10.0.0.2 d\n",
       {"a 10.0.0.1", "b 10.0.0.1", "d 10.0.0.2"}},
      {"blocklist entry", "0.0.0.0 blocked.example\n", {}},
      {"comment behind the names", "10.0.0.2 c # d e\n", {"c 10.0.0.2"}},
      {"comment glued to the address", "10.0.0.2#x y\n", {}},
      {"indented comment", "   # 10.0.0.3 e\n \t#10.0.0.3 e\n", {}},
      {"tabs and indentation", "\t10.0.0.4\t\tf \t g\t\n", {"f 10.0.0.4", "g 10.0.0.4"}},
      {"address alone", "10.0.0.5\n10.0.0.5   \n", {}},
      {"not a whole dotted quad",
       "10.0.0.256 x\n10.0.0 x\n10.0.0.1.2 x\n::1 localhost\n 010.0.0.1x y\n",
       {}},
      {"case and trailing dot", "10.0.0.6 UPPER.Example.\n", {"upper.example 10.0.0.6"}},
      {"CRLF line ends", "10.0.0.7 crlf\r\n10.0.0.8 next\r\n", {"crlf 10.0.0.7", "next 10.0.0.8"}},
      {"loopback names are imported", "127.0.0.1 localhost\n", {"localhost 127.0.0.1"}},
      {"last line without line end", "10.0.0.9 tail", {"tail 10.0.0.9"}},
      {"invalid name ends its line", "10.0.0.10 ok bad..name later\n", {"ok 10.0.0.10"}},
      {"zero byte ends the line's text",
       "10.0.0.11 n1\0n2\n10.0.0.12 n3\n"s,
       {"n1 10.0.0.11", "n3 10.0.0.12"}},
      {"name beside an address of another line",
       "10.0.0.13 shared\n10.0.0.14 shared\n10.0.0.13 shared\n",
       {"shared 10.0.0.13", "shared 10.0.0.14"}},
  };
  for (const Case& c : cases) {
    Engine engine;
    engine.log.set_level(0);
    write_hosts(c.text);
    const int count = hosts_import(engine, hosts_path_, "", "pc1");
    std::vector<std::string> got;
    char address[kIpv4TextSize];
    const LocalZone::Guard zone = engine.zone.hold();
    for (const ZoneRecord& r : zone.live().records())
      got.push_back(std::string(r.owner) + " " + format_ipv4(r.datum, address));
    EXPECT_EQ(got, c.records) << c.what;
    EXPECT_EQ(count, static_cast<int>(c.records.size())) << c.what;
  }
}

// A line longer than the reader keeps must not have its tail read as a line:
// the tail of this comment would otherwise add "evil".
TEST_F(HostsImportTest, TailOfALongLineIsNotALine) {
  for (size_t pad : {size_t{200}, size_t{259}, kMaxHostsLine - 20, kMaxHostsLine + 500}) {
    Engine engine;
    engine.log.set_level(0);
    std::string text = "# " + std::string(pad, 'x') + " 10.6.6.6 evil\n";
    text += "10.0.0.1 " + std::string(pad, 'y').substr(0, 40) + " good\n";
    write_hosts(text);
    EXPECT_EQ(hosts_import(engine, hosts_path_, "", "pc1"), 2) << pad;
    EXPECT_FALSE(engine.zone.hold().find_zone_record(engine.zone.hold().live(), "evil", kTypeA))
        << pad;
    EXPECT_TRUE(engine.zone.hold().find_zone_record(engine.zone.hold().live(), "good", kTypeA))
        << pad;
  }
}

TEST_F(HostsImportTest, MissingFileStillSetsUpTheDomain) {
  EXPECT_EQ(hosts_import(engine_, directory_ + "/absent", "office.lan", "pc1", 0), 0);
  EXPECT_TRUE(engine_.zone.hold().domain().empty()) << "a disabled import changed the domain";
  EXPECT_EQ(hosts_import(engine_, directory_ + "/absent", "office.lan", "pc1"), 0);
  EXPECT_EQ(dump(engine_), std::vector<std::string>{"office.lan 900 NS pc1.office.lan"});
  EXPECT_EQ(engine_.zone.hold().domain(), "office.lan");
  EXPECT_NE(engine_.zone.hold().loaded_at(), 0);
}

// Without a system domain no NS record is made, the records are still added,
// and a domain configured before stays: clearing it would write zone files
// whose SOA line has no domain, which end the next load.
TEST_F(HostsImportTest, NoSystemDomainKeepsConfiguredDomainWithoutNs) {
  ASSERT_EQ(engine_.zone.set_zone_soa("corp.example", "ns1", "hostmaster", 7, 0, 0, 0, 0), 1);
  EXPECT_EQ(import("192.168.1.10 server1\n", ""), 1);
  EXPECT_EQ(dump(engine_), std::vector<std::string>{"server1 900 A 192.168.1.10"});
  EXPECT_EQ(engine_.zone.hold().domain(), "corp.example");
  EXPECT_EQ(engine_.zone.hold().primary(), "ns1.corp.example");
  EXPECT_EQ(engine_.zone.hold().serial(), 7u);
}

// Records already live stay; hosts lines that clash with them are not counted.
TEST_F(HostsImportTest, RecordsAlreadyLiveStayAndClashesAreNotCounted) {
  test_support::add_record(engine_, kTypeA, "kept", 60, ipv4(10, 1, 1, 1));
  test_support::add_record(engine_, kTypeCname, "alias", 60, 0, "kept");
  const uint64_t kept_handle = engine_.zone.hold().live().records().begin()->handle;
  EXPECT_EQ(import("10.1.1.1 kept fresh\n10.1.1.2 alias\n10.1.1.3 other\n", ""), 2);
  EXPECT_EQ(dump(engine_), (std::vector<std::string>{
                               "kept 60 A 10.1.1.1",
                               "alias 60 CNAME kept",
                               "fresh 900 A 10.1.1.1",
                               "other 900 A 10.1.1.3",
                           }));
  EXPECT_TRUE(engine_.zone.hold().live().find_handle(kept_handle));
}

// A whole-zone load holding the staging list keeps the import out entirely.
TEST_F(HostsImportTest, ImportWaitsForNoOtherLoad) {
  write_hosts("10.0.0.1 a\n");
  {
    StagingClaim other(engine_);
    ASSERT_TRUE(other.held());
    EXPECT_EQ(hosts_import(engine_, hosts_path_, "office.lan", "pc1"), 0);
    EXPECT_TRUE(engine_.zone.hold().live().empty());
    EXPECT_TRUE(engine_.zone.hold().domain().empty());
  }
  EXPECT_EQ(hosts_import(engine_, hosts_path_, "office.lan", "pc1"), 1);
}

TEST_F(HostsImportTest, ListsTheDatabaseAtLogLevelTwo) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* stream = ::open_memstream(&buffer, &size);
  ASSERT_NE(stream, nullptr);
  engine_.log.set_stream(stream);
  engine_.log.set_level(2);
  import("192.168.1.10 server1\n");
  engine_.log.set_stream(nullptr);
  std::fclose(stream);
  const std::string text(buffer, size);
  std::free(buffer);
  EXPECT_EQ(text.rfind("Loaded hosts:\noffice.lan.\tSOA\tpc1.office.lan.", 0), 0u) << text;
  EXPECT_NE(text.find(" server1 900 A\t192.168.1.10\n"), std::string::npos) << text;
}

// A blocklist-sized file: 100,000 lines, most of them "0.0.0.0 name" entries
// that are skipped, the rest loopback-blocked or real hosts that are served.
TEST_F(HostsImportTest, HundredThousandLineBlocklist) {
  std::string text = "# blocklist\n127.0.0.1 localhost\n";
  int expected = 1;
  for (int i = 0; i < 99998; ++i) {
    switch (i % 4) {
      case 0:
      case 1:
        text += "0.0.0.0 ads" + std::to_string(i) + ".example\n";
        break;
      case 2:
        text += "127.0.0.1 track" + std::to_string(i) + ".example\n";
        ++expected;
        break;
      default:
        text += "10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." +
                std::to_string(i & 255) + " host" + std::to_string(i) + " host" +
                std::to_string(i) + ".office.lan\n";
        expected += 2;
        break;
    }
  }
  EXPECT_EQ(import(text), expected);
  EXPECT_EQ(engine_.zone.hold().live().size(), static_cast<size_t>(expected) + 1);
  EXPECT_FALSE(
      engine_.zone.hold().find_zone_record(engine_.zone.hold().live(), "ads99996.example", kTypeA));

  RequestContext context;
  const test_support::Served host =
      test_support::serve(engine_, context, test_support::make_query("host99995.office.lan", 1));
  EXPECT_EQ(host.answer, std::vector<std::string>{"host99995.office.lan. 900 IN A 10.1.134.155"});
  const test_support::Served blocked =
      test_support::serve(engine_, context, test_support::make_query("host99996.office.lan", 1));
  EXPECT_EQ(blocked.flags & 0x000F, kRcodeNxDomain);
}

}  // namespace
}  // namespace norvane
