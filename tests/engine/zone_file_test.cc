// The zone file: the line reader on hand-written texts, loading with its
// stop rules, the written form byte for byte, round trips, the domain rename,
// failed saves and loads that run at the same time.
#include "engine/zone_file.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/dns_message.h"
#include "engine/text_helpers.h"
#include "tests/engine/engine_test_support.h"
#include "tests/test_support.h"

namespace norvane {
namespace {

using test_support::ipv4;

std::FILE* open_text(const std::string& text) {
  return ::fmemopen(const_cast<char*>(text.data()), text.size(), "r");
}

std::vector<std::string> logical_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::FILE* in = open_text(text);
  std::string line;
  while (read_logical_line(in, line)) lines.push_back(line);
  std::fclose(in);
  return lines;
}

// Every live record as "owner ttl TYPE data", in list order.
std::vector<std::string> dump(Engine& engine) {
  LocalZone::Guard held = engine.zone.hold();
  std::vector<std::string> out;
  char address[kIpv4TextSize];
  for (const ZoneRecord& r : held.live().records()) {
    std::string data = r.type == kTypeA    ? format_ipv4(r.datum, address)
                       : r.type == kTypeMx ? std::to_string(r.datum) + " " + std::string(r.target)
                                           : std::string(r.target);
    out.push_back(std::string(r.owner) + " " + std::to_string(r.ttl) + " " + type_mnemonic(r.type) +
                  " " + data);
  }
  return out;
}

std::string soa_text(Engine& engine) {
  const LocalZone::Guard z = engine.zone.hold();
  std::ostringstream out;
  out << z.domain() << " " << z.primary() << " " << z.mailbox() << " " << z.serial() << " "
      << z.refresh() << " " << z.retry() << " " << z.expire() << " " << z.minimum();
  return out.str();
}

TEST(ZoneFileLineReader, BuildsLogicalLines) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"separator runs", "host\t \tA   10.0.0.1  \n", {"host A 10.0.0.1"}},
      {"leading tab", "\tA 10.0.0.1\n", {" A 10.0.0.1"}},
      {"comment hides a parenthesis", "h A 1.2.3.4 ; (\nnext\n", {"h A 1.2.3.4", "next"}},
      {"group over lines with comments",
       "@ SOA ns. mb. ( 1 ; serial\n  2 ; refresh\n 3 4 5 )\nx\n",
       {"@ SOA ns. mb. 1 2 3 4 5", "x"}},
      {"parentheses separate tokens", "a(b)c\n", {"a b c"}},
      {"escape pairs stay whole", "a\\;b\\ c d\\\\ \\@\n", {"a\\;b\\ c d\\\\ \\@"}},
      {"escaped line end continues the line", "a\\\nb\n", {"a\\\nb"}},
      {"CR dropped", "a b\r\n", {"a b"}},
      {"empty lines", "\n; only\n  \nz", {"", "", "", "z"}},
      {"nothing at all", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(logical_lines(c.input), c.lines);
  }
}

TEST(ZoneFileLineReader, CutsOverlongLinesWithoutSplittingTokens) {
  const std::string max(kMaxLogicalLine, 'x');
  EXPECT_EQ(logical_lines(max + "yz\n"), (std::vector<std::string>{max, "yz"}));
  // Neither the separating blank nor half an escape pair is left at the cut.
  const std::string almost(kMaxLogicalLine - 1, 'x');
  EXPECT_EQ(logical_lines(almost + " yy\n"), (std::vector<std::string>{almost, "yy"}));
  EXPECT_EQ(logical_lines(almost + "\\;\n"), (std::vector<std::string>{almost, "\\;"}));
}

TEST(ZoneFileLines, TakesOwnerClassAndTtlApart) {
  const std::string text =
      "$ORIGIN office.lan.\n"
      "host IN 300 A 10.0.0.1\n"
      "\tA 10.0.0.2\n"
      "mail 600 IN A 10.0.0.3\n"  // the type token would be IN
      "lonely\n"
      "x IN\n"
      "y 900\n"
      "$TTL 60\n"  // behind skipped lines: a record line, skipped for its lone TTL
      "z 99999999999 A 10.0.0.4\n" +
      std::string(256, 'n') +
      " A 10.0.0.5\n"
      "w in 120 MX 10 mail\n"
      "$TTL 60\n";
  // Each line returned as "owner|ttl|rest", with "$" for a directive and
  // "+" for an owner carried over from the line before.
  std::vector<std::string> got;
  std::FILE* in = open_text(text);
  ZoneLineState state;
  state.ttl = 7;
  std::string rest;
  bool directive = true;
  while (read_zone_line(in, state, rest, directive))
    got.push_back(state.owner + "|" + std::to_string(state.ttl) + "|" + rest +
                  (directive ? "$" : "") + (state.carried ? "+" : ""));
  std::fclose(in);
  EXPECT_EQ(got, (std::vector<std::string>{"$ORIGIN|7|office.lan.$", "host|300|A 10.0.0.1",
                                           "host|300|A 10.0.0.2+", "mail|600|IN A 10.0.0.3",
                                           "w|120|MX 10 mail", "$TTL|120|60$"}));
}

class ZoneFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.c_str(), 0755);
    engine_.settings.data_directory.set(dir_);
  }
  void TearDown() override { ::chmod(dir_.c_str(), 0755); }

  std::string path() const { return dir_ + "/name.db"; }
  void write_zone(const std::string& text) { std::ofstream(path(), std::ios::binary) << text; }
  std::string read_zone() const {
    std::ifstream in(path(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> directory_entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      names.push_back(entry.path().filename().string());
    return names;
  }
  void add(uint32_t type, std::string_view owner, uint32_t ttl, uint32_t datum,
           std::string_view target = {}) {
    test_support::add_record(engine_, type, owner, ttl, datum, target);
  }

  Engine engine_;
  test_support::ScratchFolder scratch_{"zone_file_test"};
  std::string dir_ = scratch_.path();
};

TEST_F(ZoneFileTest, LoadsAHandWrittenFile) {
  write_zone(
      "; office zone\n"
      "$ORIGIN Office.LAN.\n"
      "early A 10.0.0.98\n"  // before the SOA
      "@ IN SOA ns1 hostmaster ( 2024 ; serial\n"
      "     10800 3600\n"
      "     604800 900 )\n"
      "@ NS ns1\n"
      "ns1 A 192.168.1.1\n"
      "host IN 300 A 192.168.1.10\n"
      "\tA 192.168.1.11\n"
      "www 600 CNAME host\n"
      "@ MX 10 mail\n"
      "ext.other.org. A 10.1.1.1\n"
      "bad 300 IN A 10.0.0.1\n"  // skipped, but its TTL stays in force
      "zero A 0.0.0.0\n"         // an address like any other: the writer saves it
      "bad3 A 1.2.3\n"
      "bad4 TXT hello\n"
      "bad5 MX mail\n"
      "bad6 MX 70000 mail\n"
      "alias CNAME @ \n"
      "\\@ A 10.0.0.7\n");
  EXPECT_EQ(zone_load(engine_, 1), 10);
  // The SOA names keep the origin's case; record names are lowered.
  EXPECT_EQ(soa_text(engine_),
            "Office.LAN ns1.Office.LAN hostmaster.ns1.Office.LAN 2024 10800 3600 604800 900");
  EXPECT_EQ(dump(engine_), (std::vector<std::string>{
                               "office.lan 900 NS ns1.office.lan",
                               "ns1.office.lan 900 A 192.168.1.1",
                               "host.office.lan 300 A 192.168.1.10",
                               "host.office.lan 300 A 192.168.1.11",
                               "www.office.lan 600 CNAME host.office.lan",
                               "office.lan 600 MX 10 mail.office.lan",
                               "ext.other.org 600 A 10.1.1.1",
                               "zero.office.lan 300 A 0.0.0.0",
                               "alias.office.lan 300 CNAME office.lan",
                               "@.office.lan 300 A 10.0.0.7",
                           }));
  EXPECT_NE(engine_.zone.hold().loaded_at(), 0);

  // A reload ignores the SOA and takes the record in front of it.
  Engine reload;
  reload.settings.data_directory.set(dir_);
  EXPECT_EQ(zone_load(reload, 0), 11);
  EXPECT_EQ(dump(reload).front(), "early.office.lan 3600 A 10.0.0.98");
  EXPECT_EQ(reload.zone.hold().serial(), 0u);
}

TEST_F(ZoneFileTest, TtlDirectiveCountsOnlyAsAFirstLine) {
  const std::string zone = "$ORIGIN lan.\n@ SOA ns mb 1 2 3 4 900\nh A 10.0.0.1\n";
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> records;
  };
  const Case cases[] = {
      {"at the start", "$TTL 120\n" + zone, {"h.lan 120 A 10.0.0.1"}},
      {"behind a comment line", "; note\n$TTL 120\n" + zone, {"h.lan 900 A 10.0.0.1"}},
      {"behind a blank line", "\n$TTL 120\n" + zone, {"h.lan 900 A 10.0.0.1"}},
      {"behind a record line",
       zone + "$TTL 120\ni A 10.0.0.2\n",
       {"h.lan 900 A 10.0.0.1", "i.lan 120 A 10.0.0.2"}},
      // $ORIGIN behind a blank line is a record line that still sets the origin.
      {"origin behind a blank line",
       "\n$ORIGIN lan.\n@ SOA ns mb 1 2 3 4 900\nh A 10.0.0.1\n",
       {"h.lan 900 A 10.0.0.1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_zone(c.text);
    Engine engine;
    engine.settings.data_directory.set(dir_);
    EXPECT_EQ(zone_load(engine, 1), static_cast<int>(c.records.size()));
    EXPECT_EQ(dump(engine), c.records);
  }
}

TEST_F(ZoneFileTest, StopRulesKeepWhatWasReadBefore) {
  const std::string head = "$ORIGIN lan.\n@ SOA ns mb 1 2 3 4 900\na A 10.0.0.1\n";
  struct Case {
    const char* name;
    std::string text;
    int take_soa;
    std::vector<std::string> owners;
  };
  const Case cases[] = {
      {"second SOA", head + "@ SOA ns mb 2 2 3 4 900\nb A 10.0.0.2\n", 1, {"a.lan"}},
      {"second SOA on a reload",
       head + "@ SOA ns mb 2 2 3 4 900\nb A 10.0.0.2\n",
       0,
       {"a.lan", "b.lan"}},
      {"duplicate", head + "a A 10.0.0.1\nb A 10.0.0.2\n", 1, {"a.lan"}},
      {"CNAME beside an address", head + "a CNAME b\nb A 10.0.0.2\n", 1, {"a.lan"}},
      {"no SOA", "$ORIGIN lan.\na A 10.0.0.1\n", 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_zone(c.text);
    Engine engine;
    engine.settings.data_directory.set(dir_);
    EXPECT_EQ(zone_load(engine, c.take_soa), static_cast<int>(c.owners.size()));
    std::vector<std::string> owners;
    for (const std::string& line : dump(engine)) owners.push_back(line.substr(0, line.find(' ')));
    EXPECT_EQ(owners, c.owners);
  }
}

// Whole-zone loads build most indexes once, at the end. Whichever way the
// list became live (start-up, reload, domain rename, a load ended early by a
// second SOA), lookups by address, by empty non-terminal and by wildcard must
// find the loaded records, and live changes afterwards must be indexed.
TEST_F(ZoneFileTest, LoadedRecordsAreFoundByEveryIndex) {
  const std::string zone =
      "$ORIGIN lan.\n@ SOA ns mb 1 2 3 4 900\nhost.sub A 10.0.0.1\n*.wild A 10.0.0.2\n";
  struct Case {
    const char* name;
    std::string text;
    std::function<void(Engine&)> load;
  };
  const Case cases[] = {
      {"start-up", zone, [](Engine& e) { EXPECT_EQ(zone_load(e, 1), 2); }},
      {"reload", zone, [](Engine& e) { EXPECT_EQ(zone_load(e, 0), 2); }},
      {"ended by a second SOA", zone + "@ SOA ns mb 2 2 3 4 900\nlate A 10.0.0.3\n",
       [](Engine& e) { EXPECT_EQ(zone_load(e, 1), 2); }},
      {"rename", "$ORIGIN old.\n@ SOA ns mb 1 2 3 4 900\nhost.sub A 10.0.0.1\n*.wild A 10.0.0.2\n",
       [](Engine& e) {
         ASSERT_EQ(zone_load(e, 1), 2);
         ZoneSoa soa = ZoneCopy::current_soa(e.zone.hold());
         soa.domain = "lan";
         EXPECT_EQ(zone_save(e, &soa), 1);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_zone(c.text);
    Engine engine;
    engine.settings.data_directory.set(dir_);
    c.load(engine);
    LocalZone::Guard zone = engine.zone.hold();
    const std::optional<ZoneRecord> host = zone.find_address_record(ipv4(10, 0, 0, 1));
    ASSERT_TRUE(host);
    EXPECT_EQ(host->owner, "host.sub.lan");
    EXPECT_TRUE(zone.name_exists("sub.lan"));
    EXPECT_TRUE(zone.name_exists("any.wild.lan"));
    EXPECT_EQ(zone.live().find_handle(host->handle)->sequence, host->sequence);

    ASSERT_EQ(zone.add_zone_record(0, kTypeA, "other.sub2.lan", 60, ipv4(10, 0, 0, 4),
                                   std::string_view()),
              1);
    EXPECT_TRUE(zone.name_exists("sub2.lan"));
    EXPECT_TRUE(zone.find_address_record(ipv4(10, 0, 0, 4)));
    EXPECT_TRUE(zone.live().remove(*host));
    EXPECT_FALSE(zone.name_exists("sub.lan"));
    EXPECT_FALSE(zone.find_address_record(ipv4(10, 0, 0, 1)));
  }
}

TEST_F(ZoneFileTest, NamesTooLongForTheOriginAreSkippedNotFatal) {
  const std::string label(50, 'd');
  const std::string origin = label + "." + label + "." + label + "." + label;  // 203 characters
  write_zone("$ORIGIN " + origin + ".\n@ SOA ns. mb. 1 2 3 4 900\n" + std::string(55, 'x') +
             " A 10.0.0.1\n"
             "\tA 10.0.0.2\n"  // must not be filed under the unqualified owner
             "ok A 10.0.0.3\n"
             "cn CNAME " +
             std::string(55, 't') +
             "\n"
             "ok2 A 10.0.0.4\n");
  EXPECT_EQ(zone_load(engine_, 1), 2);
  EXPECT_EQ(dump(engine_), (std::vector<std::string>{"ok." + origin + " 900 A 10.0.0.3",
                                                     "ok2." + origin + " 900 A 10.0.0.4"}));
}

TEST_F(ZoneFileTest, UnreadableFileLeavesTheDatabase) {
  add(kTypeA, "keep.office.lan", 300, ipv4(10, 0, 0, 1));
  EXPECT_EQ(zone_load(engine_, 1), 0);  // no file
  ASSERT_EQ(::mkdir(path().c_str(), 0755), 0);
  EXPECT_EQ(zone_load(engine_, 0), 0);  // opens, but reading fails
  EXPECT_EQ(dump(engine_), std::vector<std::string>{"keep.office.lan 300 A 10.0.0.1"});
  LocalZone::Guard held = engine_.zone.hold();
  EXPECT_TRUE(held.staging().empty());
}

TEST_F(ZoneFileTest, WritesTtlColumnOnlyWhereNeeded) {
  ASSERT_EQ(
      engine_.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 7, 10800, 3600, 604800, 3600),
      1);
  add(kTypeA, "ns1.office.lan", 3600, ipv4(192, 168, 1, 1));
  add(kTypeNs, "office.lan", 600, 0, "ns1.office.lan");  // differs: the A behind restates 3600
  add(kTypeA, "host.office.lan", 3600, ipv4(192, 168, 1, 10));
  add(kTypeA, "slow.office.lan", 600, ipv4(192, 168, 1, 11));
  add(kTypeA, "fast.office.lan", 86400, ipv4(192, 168, 1, 12));
  add(kTypeMx, "office.lan", 3600, 10, "mail.office.lan");
  add(kTypeCname, "www.office.lan", 3600, 0, "office.lan");
  add(kTypeA, "ext.other.org", 3600, ipv4(10, 1, 1, 1));
  ASSERT_EQ(zone_save(engine_), 1);
  EXPECT_EQ(read_zone(),
            "$ORIGIN office.lan.\n"
            "@\tSOA\tns1.office.lan.\thostmaster.ns1.office.lan. 7 10800 3600 604800 3600\n"
            "@ \t600\tNS\tns1\n"
            "ns1\t3600\tA\t192.168.1.1\n"
            "host\tA\t192.168.1.10\n"
            "slow\t600\tA\t192.168.1.11\n"
            "fast\t86400\tA\t192.168.1.12\n"
            "@ \t3600\tMX\t10\tmail\n"
            "www\tCNAME\t@ \n"
            "ext.other.org.\tA\t10.1.1.1\n");
  EXPECT_EQ(directory_entries(), std::vector<std::string>{"name.db"});
}

TEST_F(ZoneFileTest, LargeZoneReadsBackUnchanged) {
  ASSERT_EQ(
      engine_.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 2024, 10800, 3600, 604800, 3600),
      1);
  // Names may hold any byte; these would break lines, start comments or
  // directives, or read as the origin if they were written unescaped.
  const char* awkward[] = {"sp ace", "tab\tbed", "semi;colon",         "paren(s)", "back\\slash",
                           "@",      "$dollar",  "line\n$ORIGIN evil", "cr\rx",    "at@sign"};
  for (const char* label : awkward) {
    add(kTypeA, std::string(label) + ".office.lan", 600, ipv4(10, 9, 9, 9));
    add(kTypeCname, std::string("alias-") + label + ".office.lan", 3600, 0,
        std::string(label) + ".office.lan");
  }
  const uint32_t ttls[] = {3600, 3600, 600, 3600, 86400, 86400, 3600};
  for (int i = 0; static_cast<int>(engine_.zone.hold().live().size()) < 10000; ++i) {
    const std::string name = "h" + std::to_string(i) + (i % 13 == 0 ? ".other.org" : ".office.lan");
    const uint32_t ttl = ttls[i % 7];
    switch (i % 10) {
      case 0:
        add(kTypeNs, i % 20 == 0 ? "office.lan" : name, ttl, 0, "ns" + std::to_string(i) + ".net");
        break;
      case 1:
        add(kTypeMx, "office.lan", ttl, static_cast<uint32_t>(i), name);
        break;
      case 2:
        add(kTypeCname, "c" + name, ttl, 0, i % 4 == 0 ? "office.lan" : name);
        break;
      default:
        add(kTypeA, name, ttl,
            ipv4(10, static_cast<uint8_t>(i >> 16), static_cast<uint8_t>(i >> 8),
                 static_cast<uint8_t>(i)));
    }
  }
  ASSERT_EQ(zone_save(engine_), 1);

  Engine fresh;
  fresh.settings.data_directory.set(dir_);
  EXPECT_EQ(zone_load(fresh, 1), 10000);
  EXPECT_EQ(soa_text(fresh), soa_text(engine_));
  // The file lists NS records first, so compare the two groups apart.
  auto split = [](const std::vector<std::string>& lines) {
    std::vector<std::string> ns, other;
    for (const std::string& line : lines)
      (line.find(" NS ") != std::string::npos ? ns : other).push_back(line);
    ns.insert(ns.end(), other.begin(), other.end());
    return ns;
  };
  EXPECT_EQ(dump(fresh), split(dump(engine_)));
}

// Every value the database accepts is written in a form the reader takes
// back: what was acknowledged before a restart is there after it.
TEST_F(ZoneFileTest, EdgeValuesReadBackUnchanged) {
  ASSERT_EQ(
      engine_.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 7, 10800, 3600, 604800, 3600),
      1);
  struct Case {
    uint32_t type;
    std::string owner;
    uint32_t ttl, datum;
    std::string target;
  };
  const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                              std::string(63, 'c') + "." + std::string(52, 'd') + ".office.lan";
  ASSERT_EQ(longest.size(), 255u);
  const Case cases[] = {
      {kTypeA, "zero.office.lan", 3600, ipv4(0, 0, 0, 0), ""},
      {kTypeA, "ones.office.lan", 3600, ipv4(255, 255, 255, 255), ""},
      {kTypeA, "max-ttl.office.lan", 4294967295u, ipv4(10, 0, 0, 1), ""},
      {kTypeA, "one-ttl.office.lan", 1, ipv4(10, 0, 0, 2), ""},
      {kTypeA, "123.office.lan", 3600, ipv4(10, 0, 0, 3), ""},
      {kTypeA, "in.office.lan", 600, ipv4(10, 0, 0, 4), ""},
      {kTypeA, "a.office.lan", 3600, ipv4(10, 0, 0, 5), ""},
      {kTypeA, longest, 3600, ipv4(10, 0, 0, 6), ""},
      {kTypeA, "office.lan", 3600, ipv4(10, 0, 0, 7), ""},
      {kTypeA, "outside.org", 3600, ipv4(10, 0, 0, 8), ""},
      {kTypeA, std::string("nul\0byte\xff.office.lan", 20), 3600, ipv4(10, 0, 0, 9), ""},
      {kTypeMx, "office.lan", 3600, 0, "mail.office.lan"},
      {kTypeMx, "office.lan", 3600, 65535, "office.lan"},
      {kTypeMx, "mx.office.lan", 3600, 5, "mail.outside.org"},
      {kTypeMx, "mx2.office.lan", 3600, 5, longest},
      {kTypeCname, "alias.office.lan", 3600, 0, "123.office.lan"},
      {kTypeNs, "sub.office.lan", 3600, 0, "in"},
  };
  for (const Case& c : cases) add(c.type, c.owner, c.ttl, c.datum, c.target);
  ASSERT_EQ(engine_.zone.hold().live().size(), std::size(cases));
  ASSERT_EQ(zone_save(engine_), 1);

  Engine fresh;
  fresh.settings.data_directory.set(dir_);
  EXPECT_EQ(zone_load(fresh, 1), static_cast<int>(std::size(cases)));
  std::vector<std::string> expected = dump(engine_);
  // The file lists the NS record first.
  std::rotate(expected.begin(), expected.end() - 1, expected.end());
  EXPECT_EQ(dump(fresh), expected);

  // A preference that 16 bits cannot carry is refused on the way in.
  EXPECT_EQ(engine_.zone.add_zone_record(0, kTypeMx, "office.lan", 3600, 65536,
                                         std::string_view("mail.office.lan")),
            0);
}

TEST_F(ZoneFileTest, RenameMovesTheDomainsRecords) {
  ASSERT_EQ(
      engine_.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 5, 10800, 3600, 604800, 3600),
      1);
  add(kTypeNs, "office.lan", 3600, 0, "ns1.office.lan");
  add(kTypeA, "host.office.lan", 300, ipv4(10, 0, 0, 1));
  add(kTypeMx, "office.lan", 3600, 10, "mail.other.org");
  add(kTypeA, "mail.other.org", 3600, ipv4(10, 0, 0, 2));
  ZoneSoa settings{"Corp.Lan.", "ns1.corp.lan", "hostmaster.corp.lan", 6, 7200, 1800, 86400, 600};
  ASSERT_EQ(zone_save(engine_, &settings), 1);
  EXPECT_EQ(soa_text(engine_), "Corp.Lan ns1.corp.lan hostmaster.corp.lan 6 7200 1800 86400 600");
  EXPECT_EQ(dump(engine_),
            (std::vector<std::string>{
                "corp.lan 3600 NS ns1.corp.lan", "host.corp.lan 300 A 10.0.0.1",
                "corp.lan 3600 MX 10 mail.other.org", "mail.other.org 3600 A 10.0.0.2"}));
  EXPECT_EQ(read_zone().rfind("$ORIGIN Corp.Lan.\n", 0), 0u);

  // A move that would drop a record (host.corp.lan already has an alias
  // outside the old domain) changes nothing.
  add(kTypeCname, "host.new.lan", 300, 0, "elsewhere.org");
  const std::string before_file = read_zone();
  const std::vector<std::string> before = dump(engine_);
  ZoneSoa clash{"new.lan", "ns1.new.lan", "hostmaster.new.lan", 7, 7200, 1800, 86400, 600};
  EXPECT_EQ(zone_save(engine_, &clash), 0);
  ZoneSoa empty{"", "ns1", "hostmaster", 7, 7200, 1800, 86400, 600};
  EXPECT_EQ(zone_save(engine_, &empty), 0);
  EXPECT_EQ(engine_.zone.hold().domain(), "Corp.Lan");
  EXPECT_EQ(dump(engine_), before);
  EXPECT_EQ(read_zone(), before_file);
}

// The SOA names are saved in the case they were written in; names of the
// domain's records are made relative whatever the case of the domain.
TEST_F(ZoneFileTest, SoaNamesKeepTheirCaseThroughLoadAndSave) {
  const std::string text =
      "$ORIGIN Office.LAN.\n"
      "@\tSOA\tNs1.Office.LAN.\tHostmaster.Office.LAN. 7 10800 3600 604800 3600\n"
      "@ \tNS\tns1\n"
      "ns1\tA\t192.168.1.1\n"
      "host\t300\tA\t192.168.1.10\n"
      "www\t3600\tCNAME\thost\n"
      "@ \tMX\t10\tmail.other.org.\n";
  write_zone(text);
  ASSERT_EQ(zone_load(engine_, 1), 5);
  EXPECT_EQ(soa_text(engine_),
            "Office.LAN Ns1.Office.LAN Hostmaster.Office.LAN 7 10800 3600 604800 3600");
  EXPECT_EQ(dump(engine_)[0], "office.lan 3600 NS ns1.office.lan");
  ASSERT_EQ(zone_save(engine_), 1);
  EXPECT_EQ(read_zone(), text);

  // A rename that changes only the case moves nothing and keeps every record.
  ZoneSoa settings{"office.lan", "Ns1.Office.LAN", "Hostmaster.Office.LAN", 8, 10800, 3600, 604800,
                   3600};
  ASSERT_EQ(zone_save(engine_, &settings), 1);
  EXPECT_EQ(engine_.zone.hold().domain(), "office.lan");
  EXPECT_EQ(engine_.zone.hold().mailbox(), "Hostmaster.Office.LAN");
  EXPECT_EQ(dump(engine_).size(), 5u);
  EXPECT_EQ(
      read_zone().rfind("$ORIGIN office.lan.\n@\tSOA\tNs1.Office.LAN.\tHostmaster.Office.LAN. "
                        "8 10800 3600 604800 3600\n",
                        0),
      0u);
}

TEST_F(ZoneFileTest, FailedSaveLeavesTheOldFileWhole) {
  ASSERT_EQ(engine_.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 1, 0, 0, 0, 0), 1);
  for (int i = 0; i < 500; ++i)
    add(kTypeA, "host" + std::to_string(i) + ".office.lan", 3600,
        ipv4(10, 0, static_cast<uint8_t>(i / 256 + 1), static_cast<uint8_t>(i)));
  const std::string old_text = "$ORIGIN office.lan.\n@\tSOA\tns1.\tmb. 1 2 3 4 5\n";
  struct Case {
    const char* name;
    bool as_nobody;
    rlim_t file_size_limit;
  };
  const Case cases[] = {
      {"directory not writable", true, RLIM_INFINITY},
      {"disk full while writing", false, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_zone(old_text);
    if (c.as_nobody) ::chmod(dir_.c_str(), 0555);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (c.as_nobody && ::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
        if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(3);
      }
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{c.file_size_limit, c.file_size_limit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      ::_exit(zone_save(engine_) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(dir_.c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "zone_save reported success";
    EXPECT_EQ(read_zone(), old_text);
    EXPECT_EQ(directory_entries(), std::vector<std::string>{"name.db"});
  }

  engine_.settings.data_directory.set(dir_ + "/missing");
  EXPECT_EQ(zone_save(engine_), 0);
  engine_.settings.data_directory.set(dir_);
  EXPECT_EQ(zone_save(engine_), 1);
  EXPECT_NE(read_zone(), old_text);
}

TEST_F(ZoneFileTest, RemovalSavesThroughTheHook) {
  install_zone_save_hook(engine_);
  ASSERT_EQ(engine_.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 1, 0, 0, 0, 0), 1);
  add(kTypeA, "a.office.lan", 3600, ipv4(10, 0, 0, 1));
  add(kTypeA, "b.office.lan", 3600, ipv4(10, 0, 0, 2));
  EXPECT_EQ(engine_.zone.remove_zone_records(kTypeA, "a.office.lan"), 1);
  EXPECT_NE(read_zone().find(" 2 36000 "), std::string::npos);
  EXPECT_EQ(read_zone().find("\na\t"), std::string::npos);
  EXPECT_NE(read_zone().find("\nb\tA\t10.0.0.2\n"), std::string::npos);
}

// A save writes from a frozen copy of the list that shares its storage:
// after every kind of change (removals leave holes in the storage, a clear
// replaces it) the file must read back as the records the list holds.
TEST_F(ZoneFileTest, SaveAfterEveryKindOfChangeReadsBackAsTheList) {
  ASSERT_EQ(engine_.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 1, 0, 0, 0, 0), 1);
  for (int i = 0; i < 50; ++i)
    add(kTypeA, "h" + std::to_string(i) + ".office.lan", 0, ipv4(10, 0, 1, i + 1));
  struct Step {
    const char* what;
    std::function<void()> change;
  };
  const Step steps[] = {
      {"first save", [] {}},
      {"additions",
       [&] {
         add(kTypeMx, "office.lan", 600, 10, "mail.office.lan");
         add(kTypeCname, "www.office.lan", 0, 0, "h1.office.lan");
       }},
      {"removals",
       [&] {
         engine_.zone.remove_zone_records(kTypeA, "h3.office.lan");
         LocalZone::Guard zone = engine_.zone.hold();
         zone.unlink_zone_record(*zone.find_zone_record(zone.live(), "h7.office.lan", kTypeA));
       }},
      {"removed and added again",
       [&] {
         engine_.zone.remove_zone_records(kTypeA, "h9.office.lan");
         add(kTypeA, "h9.office.lan", 120, ipv4(10, 0, 9, 9));
       }},
      {"reload from the file", [&] { ASSERT_GT(zone_load(engine_, 0), 0); }},
      {"change after the reload",
       [&] { engine_.zone.remove_zone_records(kTypeAny, "h11.office.lan"); }},
      {"list cleared",
       [&] {
         engine_.zone.hold().live().clear();
         add(kTypeA, "only.office.lan", 0, ipv4(10, 0, 0, 1));
       }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    const std::vector<std::string> before = dump(engine_);
    ASSERT_EQ(zone_save(engine_), 1);
    ASSERT_GT(zone_load(engine_, 0), 0);
    EXPECT_EQ(dump(engine_), before);
  }
  EXPECT_NE(read_zone().find("only\tA\t10.0.0.1"), std::string::npos);
}

TEST_F(ZoneFileTest, ConcurrentLoadsNeverShareTheStagingList) {
  std::string text = "$ORIGIN lan.\n@ SOA ns mb 1 2 3 4 900\n";
  for (int i = 0; i < 2000; ++i)
    text += "h" + std::to_string(i) + " A 10.0.7." + std::to_string(i % 250 + 1) + "\n";
  write_zone(text);
  {
    // A load that has claimed the list but not added a record yet.
    StagingClaim first(engine_);
    ASSERT_TRUE(first.held());
    EXPECT_FALSE(StagingClaim(engine_).held());
    EXPECT_EQ(zone_load(engine_, 1), 0);
    EXPECT_TRUE(engine_.zone.hold().live().empty());
  }
  std::atomic<int> bad_results{0}, full_loads{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 5; ++round) {
        const int count = zone_load(engine_, 1);
        if (count == 2000)
          ++full_loads;
        else if (count != 0)
          ++bad_results;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bad_results.load(), 0);
  EXPECT_GE(full_loads.load(), 1);
  LocalZone::Guard held = engine_.zone.hold();
  EXPECT_EQ(held.live().size(), 2000u);
  EXPECT_TRUE(held.staging().empty());
}

}  // namespace
}  // namespace norvane
