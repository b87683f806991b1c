// Dynamic update of a running server by the real nsupdate client over UDP and
// TCP: additions, deletions and the CNAME replacement as dig then sees them,
// the serial, the zone file surviving a restart, every prerequisite outcome,
// and the refusals of a client without the update right and of a secondary.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/service/system_test_support.h"

namespace norvane::system_test {
namespace {

using Texts = std::vector<std::string>;

// Sends `lines` (nsupdate commands) as one update of office.lan; over TCP
// with `tcp`. nsupdate exits 0 when the server answered NOERROR and prints
// "update failed: <RCODE>" otherwise.
CommandResult nsupdate(uint16_t port, const Texts& lines, bool tcp = false) {
  std::string script = "server 127.0.0.1 " + std::to_string(port) + "\\nzone office.lan\\n";
  for (const std::string& line : lines) script += line + "\\n";
  return run_command("printf \"" + script + "send\\n\" | nsupdate -t 4 -u 1" + (tcp ? " -v" : ""));
}

struct Lookup {
  std::string name, type, status;
  Texts answer;
};

void expect_lookup(uint16_t port, const Lookup& want) {
  const CommandResult dig = run_command("dig +noedns +norec +time=2 +tries=1 @127.0.0.1 -p " +
                                        std::to_string(port) + " " + want.name + " " + want.type);
  const ClientReply got = parse_client_output(dig.output);
  SCOPED_TRACE(want.name + " " + want.type + ":\n" + dig.output);
  ASSERT_TRUE(got.answered);
  EXPECT_EQ(got.status, want.status);
  EXPECT_EQ(sorted(got.answer), sorted(want.answer));
}

std::string soa_with_serial(unsigned serial) {
  return "office.lan. 3600 IN SOA ns1.office.lan. hostmaster.office.lan. " +
         std::to_string(serial) + " 3600 600 86400 300";
}

// Each change as nsupdate sends it, then what dig sees; at the end the serial
// has risen by one per message and one per replaced or single deleted record,
// and a restarted server loads the same zone from its file.
TEST(SystemUpdateTest, NsupdateChangesWhatDigSeesAndTheFileKeepsIt) {
  ServerTree tree(find_free_port(), kOfficeZone);
  auto server = std::make_unique<ServerProcess>(tree);
  struct Step {
    const char* what;
    Texts lines;
    bool tcp;
    std::vector<Lookup> then;
  };
  const Step steps[] = {
      {"add an address",
       {"update add new.office.lan 300 A 192.168.10.77"},
       false,
       {{"new.office.lan", "A", "NOERROR", {"new.office.lan. 300 IN A 192.168.10.77"}}}},
      // 0.0.0.0 is saved like any address and must survive the restart.
      {"add the unspecified address",
       {"update add blocked.office.lan 300 A 0.0.0.0"},
       false,
       {{"blocked.office.lan", "A", "NOERROR", {"blocked.office.lan. 300 IN A 0.0.0.0"}}}},
      {"add a mail exchanger",
       {"update add new.office.lan 600 MX 5 mail.office.lan"},
       true,
       {{"new.office.lan", "MX", "NOERROR", {"new.office.lan. 600 IN MX 5 mail.office.lan."}}}},
      {"replace the alias",
       {"update add www.office.lan 120 CNAME printer.office.lan"},
       false,
       {{"www.office.lan",
         "CNAME",
         "NOERROR",
         {"www.office.lan. 120 IN CNAME printer.office.lan.",
          "printer.office.lan. 600 IN A 192.168.10.40"}}}},
      {"delete one address",
       {"update delete host.office.lan A 192.168.10.20"},
       true,
       {{"host.office.lan", "A", "NOERROR", {"host.office.lan. 300 IN A 192.168.10.21"}}}},
      {"delete a name",
       {"update delete new.office.lan"},
       false,
       {{"new.office.lan", "A", "NXDOMAIN", {}}, {"new.office.lan", "MX", "NXDOMAIN", {}}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const CommandResult update = nsupdate(tree.port(), step.lines, step.tcp);
    EXPECT_EQ(update.exit_code, 0) << update.output << update.errors;
    for (const Lookup& lookup : step.then) expect_lookup(tree.port(), lookup);
  }

  const std::vector<Lookup> final_state = {
      {"office.lan", "SOA", "NOERROR", {soa_with_serial(2026120701 + 6 + 2)}},
      {"blocked.office.lan", "A", "NOERROR", {"blocked.office.lan. 300 IN A 0.0.0.0"}},
      {"www.office.lan",
       "A",
       "NOERROR",
       {"www.office.lan. 120 IN CNAME printer.office.lan.",
        "printer.office.lan. 600 IN A 192.168.10.40"}},
      {"host.office.lan", "A", "NOERROR", {"host.office.lan. 300 IN A 192.168.10.21"}},
      {"new.office.lan", "A", "NXDOMAIN", {}},
  };
  for (const Lookup& lookup : final_state) expect_lookup(tree.port(), lookup);
  server.reset();
  server = std::make_unique<ServerProcess>(tree);
  for (const Lookup& lookup : final_state) expect_lookup(tree.port(), lookup);
}

// Every prerequisite outcome as nsupdate reports it; the addition in the same
// message happens only when the prerequisite holds.
TEST(SystemUpdateTest, PrerequisiteOutcomes) {
  ServerTree tree(find_free_port(), kOfficeZone);
  ServerProcess server(tree);
  struct Case {
    std::string prerequisite;
    const char* failure;  // nullptr: the update is applied
  };
  const Case cases[] = {
      {"prereq yxdomain host.office.lan", nullptr},
      {"prereq yxdomain nobody.office.lan", "NXDOMAIN"},
      {"prereq nxdomain nobody.office.lan", nullptr},
      {"prereq nxdomain www.office.lan", "YXDOMAIN"},
      {"prereq nxrrset host.office.lan MX", nullptr},
      {"prereq nxrrset host.office.lan A", "YXRRSET"},
      {"prereq yxrrset office.lan MX", nullptr},
      {"prereq yxrrset host.office.lan MX", "NXRRSET"},
      {"prereq yxrrset host.office.lan A 192.168.10.21", nullptr},
      {"prereq yxrrset host.office.lan A 192.168.10.99", "NXRRSET"},
  };
  int marker = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prerequisite);
    const std::string name = "marker" + std::to_string(++marker) + ".office.lan";
    const CommandResult update =
        nsupdate(tree.port(), {c.prerequisite, "update add " + name + " 60 A 10.0.0.1"});
    const std::string said = update.output + update.errors;
    if (c.failure == nullptr) {
      EXPECT_EQ(update.exit_code, 0) << said;
      expect_lookup(tree.port(), {name, "A", "NOERROR", {name + ". 60 IN A 10.0.0.1"}});
    } else {
      EXPECT_NE(update.exit_code, 0) << said;
      EXPECT_NE(said.find(std::string("update failed: ") + c.failure), std::string::npos) << said;
      expect_lookup(tree.port(), {name, "A", "NXDOMAIN", {}});
    }
  }
}

// A client whose range grants queries but not updates is refused; a secondary
// does not take updates at all. Queries are still answered and nothing changes.
TEST(SystemUpdateTest, RefusedWithoutTheRightAndNotImplementedOnASecondary) {
  const std::pair<const char*, const char*> cases[] = {
      {"AccessControl=1\n[Velisk\\Access]\n0=Q ,127.0.0.1\n", "REFUSED"},
      {"Primary=127.0.0.2\n", "NOTIMP"},
  };
  for (const auto& [settings, failure] : cases) {
    SCOPED_TRACE(failure);
    ServerTree tree(find_free_port(), kOfficeZone, "office.lan", settings);
    ServerProcess server(tree);
    const CommandResult update =
        nsupdate(tree.port(), {"update add new.office.lan 300 A 192.168.10.77"});
    EXPECT_NE(update.exit_code, 0);
    EXPECT_NE((update.output + update.errors).find(std::string("update failed: ") + failure),
              std::string::npos)
        << update.output << update.errors;
    expect_lookup(tree.port(), {"new.office.lan", "A", "NXDOMAIN", {}});
  }
}

}  // namespace
}  // namespace norvane::system_test
