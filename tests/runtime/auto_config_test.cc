// Network auto-configuration: resolver configuration files taken apart, and
// interface records and the watcher thread in a network namespace of their own
// (a forked child with its own veth pair and host name), so the host's
// interfaces and routes are never touched.
#include "runtime/auto_config.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/dns_message.h"
#include "engine/text_helpers.h"

namespace norvane {
namespace {

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/norvane-autoconf-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Replaces `path` as resolver managers do: a new file renamed over the old.
void replace_file(const std::string& path, const std::string& text) {
  {
    std::ofstream out(path + ".new", std::ios::binary);
    out << text;
  }
  std::filesystem::rename(path + ".new", path);
}

std::string servers_text(const std::vector<ExternalServer>& servers) {
  std::string text;
  char address[kIpv4TextSize];
  for (const ExternalServer& s : servers)
    text += std::string(text.empty() ? "" : " ") + format_ipv4(s.address, address) + ":" +
            std::to_string(s.port);
  return text;
}

TEST(ResolverConfigTest, NameServersAndDomain) {
  struct Case {
    const char* what;
    std::string text;
    std::string servers;
    std::string domain;
  };
  const std::vector<Case> cases = {
      {"loopback server is left out", "nameserver 127.0.0.1\nnameserver 192.0.2.1\n",
       "192.0.2.1:53", ""},
      {"first four usable of six",
       "nameserver 0.0.0.0\nnameserver 192.0.2.1\nnameserver 192.0.2.2\n"
       "nameserver 192.0.2.3\nnameserver 127.0.0.1\nnameserver 192.0.2.4\n"
       "nameserver 192.0.2.5\n",
       "192.0.2.1:53 192.0.2.2:53 192.0.2.3:53 192.0.2.4:53", ""},
      {"IPv6 and malformed servers skipped",
       "nameserver ::1\nnameserver 2001:db8::1\nnameserver 192.0.2\nnameserver 192.0.2.1.5\n"
       "nameserver\nnameservers 192.0.2.9\nnameserver 192.0.2.7#x\nnameserver\t192.0.2.8\r\n",
       "192.0.2.8:53", ""},
      {"comments", "# nameserver 192.0.2.1\n; nameserver 192.0.2.2\n  nameserver 192.0.2.3 # x\n",
       "192.0.2.3:53", ""},
      {"resolved stub is a server", "nameserver 127.0.0.53\noptions edns0\n", "127.0.0.53:53", ""},
      {"domain line wins over search", "search a.example b.example\ndomain Office.LAN.\n", "",
       "office.lan"},
      {"first entry of search", "search corp.example other.example\n", "", "corp.example"},
      {"last domain line", "domain one.example\ndomain two.example\n", "", "two.example"},
      {"root search means none", "search .\n", "", ""},
      {"keyword without value", "domain\nsearch\n", "", ""},
  };
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const std::string path = folder.path() + "/resolv.conf";
  for (const Case& c : cases) {
    replace_file(path, c.text);
    EXPECT_EQ(servers_text(read_system_name_servers(kMaxExternalServers, path)), c.servers)
        << c.what;
    EXPECT_EQ(read_system_domain(path), c.domain) << c.what;
  }
  EXPECT_TRUE(read_system_name_servers(kMaxExternalServers, folder.path() + "/absent").empty());
  EXPECT_EQ(read_system_domain(folder.path() + "/absent"), "");
  // A folder opens but cannot be read.
  EXPECT_TRUE(read_system_name_servers(kMaxExternalServers, folder.path()).empty());
}

// ---- in a network namespace of their own ------------------------------------

// Runs `body` in a forked child with its own network and host-name
// namespaces; returns what it reports ("" when all was as expected), or
// "skip: ..." when the namespaces cannot be had. The child is killed after 60
// seconds, so a stuck watcher cannot hang the suite.
std::string in_private_network(const std::function<std::string()>& body) {
  int channel[2];
  if (pipe(channel) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    close(channel[0]);
    alarm(60);
    std::string report;
    if (unshare(CLONE_NEWNET | CLONE_NEWUTS) != 0)
      report = "skip: no namespaces (not root?)";
    else
      report = body();
    for (size_t at = 0; at < report.size();) {
      const ssize_t wrote = write(channel[1], report.data() + at, report.size() - at);
      if (wrote <= 0) break;
      at += static_cast<size_t>(wrote);
    }
    _exit(0);
  }
  close(channel[1]);
  std::string report;
  char buffer[512];
  for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;)
    report.append(buffer, static_cast<size_t>(got));
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    report += " (child ended abnormally, status " + std::to_string(status) + ")";
  return report;
}

// Variadic because the lambda bodies hold commas.
#define RUN_IN_PRIVATE_NETWORK(...)                             \
  do {                                                          \
    const std::string report = in_private_network(__VA_ARGS__); \
    if (report.rfind("skip:", 0) == 0) GTEST_SKIP() << report;  \
    EXPECT_EQ(report, "");                                      \
  } while (0)

bool shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// lo up (127.0.0.1) and a veth pair v0 10.77.0.1/24 and v1 10.77.1.1/24; the
// host name "Host.Example".
std::string set_up_network() {
  const char* host = "Host.Example";
  if (sethostname(host, std::strlen(host)) != 0) return "sethostname failed";
  for (const char* command : {"ip link set lo up", "ip link add v0 type veth peer name v1",
                              "ip addr add 10.77.0.1/24 dev v0", "ip addr add 10.77.1.1/24 dev v1",
                              "ip link set v0 up", "ip link set v1 up"}) {
    if (!shell(command)) return std::string("failed: ") + command;
  }
  return "";
}

std::string owner_of(const char* device, const std::string& domain) {
  std::string owner = "host-" + std::to_string(if_nametoindex(device));
  return domain.empty() ? owner : owner + "." + domain;
}

// The live A records as sorted "owner ttl address" lines.
std::vector<std::string> address_records(Engine& engine) {
  LocalZone::Guard held = engine.zone.hold();
  std::vector<std::string> out;
  char address[kIpv4TextSize];
  for (const ZoneRecord& r : held.live().records())
    if (r.type == kTypeA)
      out.push_back(std::string(r.owner) + " " + std::to_string(r.ttl) + " " +
                    format_ipv4(r.datum, address));
  std::sort(out.begin(), out.end());
  return out;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

// Polls `done` every 20 ms for at most 10 seconds.
bool wait_until(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(InterfaceRecordsTest, EachAddressPublishedNeverLoopback) {
  RUN_IN_PRIVATE_NETWORK([]() -> std::string {
    if (std::string failed = set_up_network(); !failed.empty()) return failed;
    std::string report;
    auto expect_records = [&](Engine& engine, const std::vector<std::string>& wanted,
                              const char* when) {
      const std::vector<std::string> got = address_records(engine);
      if (got != sorted(wanted))
        report +=
            std::string(when) + ": records" + joined(got) + "\nwanted" + joined(wanted) + "\n";
    };

    Engine engine;
    engine.log.set_level(0);
    engine.zone.set_zone_soa("lan", "ns1", "hostmaster", 1, 0, 0, 0, 600);
    const std::vector<std::string> veth = {
        owner_of("v0", "lan") + " 600 10.77.0.1",
        owner_of("v1", "lan") + " 600 10.77.1.1",
    };
    const int visited = refresh_interface_records(engine);
    if (visited != 3) report += "visited " + std::to_string(visited) + " addresses, wanted 3\n";
    expect_records(engine, veth, "first pass");
    if (engine.zone.hold().serial() != 1) report += "first pass changed the serial\n";

    // A service address on the loopback device is reachable and published;
    // every record that existed is replaced once: two removals.
    if (!shell("ip addr add 10.77.2.1/32 dev lo")) return "cannot add 10.77.2.1 to lo";
    const std::vector<std::string> published = {veth[0], veth[1],
                                                owner_of("lo", "lan") + " 600 10.77.2.1"};
    refresh_interface_records(engine);
    expect_records(engine, published, "second pass");
    if (engine.zone.hold().serial() != 3)
      report += "serial after second pass " + std::to_string(engine.zone.hold().serial()) +
                ", wanted 3\n";

    // A name the database refuses is skipped; the other addresses go on.
    const std::string v0 = owner_of("v0", "lan");
    engine.zone.remove_zone_records(kTypeA, v0);
    {
      LocalZone::Guard held = engine.zone.hold();
      held.add_zone_record(0, kTypeCname, v0, 60, 0, std::string_view("elsewhere.lan"));
    }
    refresh_interface_records(engine);
    expect_records(engine, {published[1], published[2]}, "beside a CNAME");

    // Without a local domain the owner is the bare host label and index.
    Engine bare;
    bare.log.set_level(0);
    refresh_interface_records(bare);
    expect_records(bare,
                   {owner_of("v0", "") + " 3600 10.77.0.1", owner_of("v1", "") + " 3600 10.77.1.1",
                    owner_of("lo", "") + " 3600 10.77.2.1"},
                   "no domain");
    if (bare.zone.hold().serial() != 0) report += "no-domain pass changed the serial\n";
    return report;
  });
}

// The watcher's first pass, then an address change seen through rtnetlink,
// a rewritten resolver configuration seen through the file watch, and the
// switches read anew at each pass.
TEST(AddressWatcherTest, FollowsAddressChangesAndResolverConfiguration) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const std::string resolv = folder.path() + "/resolv.conf";
  replace_file(resolv, "nameserver 127.0.0.1\nnameserver 192.0.2.1\n");

  RUN_IN_PRIVATE_NETWORK([&resolv]() -> std::string {
    if (std::string failed = set_up_network(); !failed.empty()) return failed;
    std::string report;
    Engine engine;
    engine.log.set_level(0);
    engine.zone.set_zone_soa("lan", "ns1", "hostmaster", 1, 0, 0, 0, 600);
    engine.settings.auto_interfaces = 1;
    engine.settings.auto_dns = 1;
    const std::string v0 = owner_of("v0", "lan");
    const std::string v1 = owner_of("v1", "lan");
    auto has = [&](const std::string& line) {
      const std::vector<std::string> records = address_records(engine);
      return std::find(records.begin(), records.end(), line) != records.end();
    };
    auto servers = [&] { return servers_text(*engine.settings.external_servers.get()); };

    AddressWatcher watcher(engine, resolv);
    if (!watcher.start()) return "watcher did not start";
    if (!wait_until([&] { return has(v0 + " 600 10.77.0.1") && has(v1 + " 600 10.77.1.1"); }))
      report += "first pass records:" + joined(address_records(engine)) + "\n";
    if (!wait_until([&] { return servers() == "192.0.2.1:53"; }))
      report += "first pass servers: " + servers() + "\n";

    shell("ip addr del 10.77.0.1/24 dev v0");
    shell("ip addr add 10.77.0.9/24 dev v0");
    if (!wait_until([&] { return has(v0 + " 600 10.77.0.9") && !has(v0 + " 600 10.77.0.1"); }))
      report += "after the address change:" + joined(address_records(engine)) + "\n";

    replace_file(resolv, "nameserver 198.51.100.7\nnameserver 198.51.100.8\n");
    if (!wait_until([&] { return servers() == "198.51.100.7:53 198.51.100.8:53"; }))
      report += "after the resolver change: " + servers() + "\n";

    // Switched off: the next address change leaves records and servers alone.
    engine.settings.auto_interfaces = 0;
    engine.settings.auto_dns = 0;
    const uint64_t resolver_pass = watcher.passes();
    replace_file(resolv, "nameserver 203.0.113.1\n");
    if (!wait_until([&] { return watcher.passes() > resolver_pass; }))
      report += "no pass after the resolver change\n";
    const uint64_t before = watcher.passes();
    shell("ip addr add 10.77.1.5/24 dev v1");
    if (!wait_until([&] { return watcher.passes() > before; })) report += "no pass after change\n";
    if (has(v1 + " 600 10.77.1.5")) report += "interface record changed while AutoIf is off\n";
    if (servers() != "198.51.100.7:53 198.51.100.8:53")
      report += "servers changed while AutoDNS is off: " + servers() + "\n";

    for (const std::string& line : address_records(engine))
      if (line.find(" 127.") != std::string::npos) report += "loopback published: " + line + "\n";
    watcher.stop();
    if (!watcher.start()) report += "watcher did not start again after stop\n";
    watcher.stop();
    return report;
  });
}

// The start-up fallback reads the files the environment names and the host
// name of the system.
TEST(ImportSystemHostsTest, UsesTheSystemFilesAndHostName) {
  TempFolder folder;
  ASSERT_FALSE(folder.path().empty());
  replace_file(folder.path() + "/hosts", "192.168.1.10 server1 server1.office.lan\n");
  replace_file(folder.path() + "/resolv.conf", "search office.lan\nnameserver 192.0.2.1\n");

  RUN_IN_PRIVATE_NETWORK([&folder]() -> std::string {
    if (sethostname("pc1", 3) != 0) return "sethostname failed";
    setenv("NORVANE_HOSTS", (folder.path() + "/hosts").c_str(), 1);
    setenv("NORVANE_RESOLV_CONF", (folder.path() + "/resolv.conf").c_str(), 1);
    Engine engine;
    engine.log.set_level(0);
    std::string report;
    if (import_system_hosts(engine, 0) != 0) report += "disabled import added records\n";
    if (import_system_hosts(engine) != 2) report += "import did not add two records\n";
    LocalZone::Guard held = engine.zone.hold();
    const std::optional<ZoneRecord> ns = held.find_zone_record(held.live(), "office.lan", kTypeNs);
    if (!ns || ns->target != "pc1.office.lan") report += "no NS office.lan -> pc1\n";
    if (held.mailbox() != "Postmaster.pc1.office.lan") report += "mailbox " + held.mailbox() + "\n";
    return report;
  });
}

}  // namespace
}  // namespace norvane
