// pallix against a running ostrum -debug: listings, record changes seen by
// dig, host words and the stored default, refusals for an unprivileged user,
// and the route commands in a network namespace of the server's own.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "client/client_words.h"
#include "control/control_channel.h"
#include "runtime/settings_store.h"
#include "tests/client/client_test_support.h"

namespace norvane::client_test {
namespace {

using system_test::kOfficeZone;
using system_test::run_command;
using Words = std::vector<std::string>;

constexpr const char* kServiceNotActive = "Service not active\n";

// kOfficeZone as pallix lists it, in file order; records without a TTL of
// their own carry the SOA minimum (300), and a TTL stays in force for the
// lines behind it.
constexpr const char* kOfficeListing =
    "office.lan.                    \t300\tNS    ns1.office.lan.\t\n"
    "office.lan.                    \t300\tMX    10   mail.office.lan.\t\n"
    "ns1.office.lan.                \t300\tA     192.168.10.1\t\n"
    "host.office.lan.               \t300\tA     192.168.10.20\t\n"
    "host.office.lan.               \t300\tA     192.168.10.21\t\n"
    "mail.office.lan.               \t300\tA     192.168.10.25\t\n"
    "www.office.lan.                \t300\tCNAME host.office.lan.\t\n"
    "printer.office.lan.            \t600\tA     192.168.10.40\t\n"
    "*.lab.office.lan.              \t300\tA     192.168.10.99\t\n";

class PallixSystemTest : public ::testing::Test {
 protected:
  // Starts a server of the office zone. `more_settings` is appended to its
  // settings file behind the main key's values; `cache_dump` becomes its
  // cache.dmp; with `namespace_setup` it runs in a network namespace.
  void start(const std::string& more_settings = "", const std::string& cache_dump = "",
             const std::string& namespace_setup = "") {
    tree_ = std::make_unique<system_test::ServerTree>(system_test::find_free_port(), kOfficeZone);
    // Without AutoIf the machine's own addresses would join the listing.
    std::ofstream(tree_->store() / "settings.ini", std::ios::app) << "AutoIf=0\n" << more_settings;
    if (!cache_dump.empty())
      system_test::ServerTree::write_file(tree_->store().parent_path() / "data" / "cache.dmp",
                                          cache_dump);
    server_ = std::make_unique<ControlledServer>(*tree_, client_.control(), namespace_setup);
  }

  PallixRun pallix(Words words, bool as_nobody = false) {
    return run_pallix(client_.store(), client_.control(), std::move(words), as_nobody);
  }

  // What dig gets for `name` and `type` from the server, one record a line.
  std::string dig(const std::string& name, const std::string& type) {
    return run_command("dig @127.0.0.1 -p " + std::to_string(tree_->port()) +
                       " +noedns +short +tries=1 +time=2 " + name + " " + type)
        .output;
  }

  ClientTree client_;
  std::unique_ptr<system_test::ServerTree> tree_;
  std::unique_ptr<ControlledServer> server_;
};

void expect_run(const PallixRun& run, int exit_code, const std::string& output) {
  EXPECT_EQ(run.exit_code, exit_code);
  EXPECT_EQ(run.output, output);
}

TEST_F(PallixSystemTest, ListsTheDatabaseAndAnEmptyCache) {
  start();
  expect_run(pallix({"print"}), 0, kOfficeListing);
  // Any word behind print other than "cache" is ignored.
  expect_run(pallix({"PRINT", "everything"}), 0, kOfficeListing);
  // The cache is empty: the first request gets no record.
  expect_run(pallix({"print", "Cache"}), 1, "");
}

TEST_F(PallixSystemTest, AddedRecordsAreServedListedAndRemovedByName) {
  start();
  expect_run(pallix({"add", "New.Office.lan", "120", "a", "192.168.10.77"}), 4,
             "New.Office.lan added\n");
  expect_run(pallix({"add", "office.lan", "60", "MX", "20", "mx2.office.lan"}), 4,
             "office.lan added\n");
  expect_run(pallix({"add", "alias.office.lan", "60", "cname", "host.office.lan"}), 4,
             "alias.office.lan added\n");
  EXPECT_EQ(dig("new.office.lan", "A"), "192.168.10.77\n");
  EXPECT_TRUE(dig("alias.office.lan", "CNAME").starts_with("host.office.lan.\n"));

  const std::string listing = pallix({"print"}).output;
  for (const char* line : {"new.office.lan.                \t120\tA     192.168.10.77\t\n",
                           "office.lan.                    \t60\tMX    20   mx2.office.lan.\t\n",
                           "alias.office.lan.              \t60\tCNAME host.office.lan.\t\n"})
    EXPECT_NE(listing.find(line), std::string::npos) << line << " missing from\n" << listing;

  // An exact duplicate is refused.
  expect_run(pallix({"add", "new.office.lan", "120", "A", "192.168.10.77"}), 0,
             "operation failed\n");

  expect_run(pallix({"remove", "new.office.lan.", "a"}), 4, "new.office.lan. removed\n");
  expect_run(pallix({"remove", "new.office.lan", "A"}), 0, "operation failed\n");
  EXPECT_EQ(dig("new.office.lan", "A"), "");
  // Both addresses of host go at once.
  expect_run(pallix({"remove", "host.office.lan", "A"}), 4, "host.office.lan removed\n");
  EXPECT_EQ(dig("host.office.lan", "A"), "");
}

TEST_F(PallixSystemTest, MalformedWordsPrintTheUsageAndChangeNothing) {
  start();
  const std::pair<Words, std::string> cases[] = {
      {{"add", "x.office.lan", "60", "A", "192.168.10.256"}, std::string(kFullUsage)},
      {{"add", "x.office.lan", "60", "TXT", "text"}, std::string(kFullUsage)},
      {{"add", "x.office.lan", "60", "A"}, ""},
      {{"remove", "host.office.lan"}, ""},
      {{"localhost", "frobnicate"}, std::string(kFullUsage)},
      {{}, std::string(kFullUsage)},
  };
  for (const auto& [words, output] : cases) {
    SCOPED_TRACE(testing::PrintToString(words));
    expect_run(pallix(words), 0, output);
  }
  expect_run(pallix({"print"}), 0, kOfficeListing);
}

TEST_F(PallixSystemTest, HostWordsAndTheStoredDefaultPickTheServer) {
  start();
  char own_name[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(gethostname(own_name, sizeof own_name - 1), 0);
  const std::pair<Words, std::string> cases[] = {
      {{"localhost", "print"}, kOfficeListing},
      {{"127.0.0.1", "print"}, kOfficeListing},
      {{own_name, "print"}, kOfficeListing},
      {{"far.example.invalid", "print"}, kServiceNotActive},
      {{"192.0.2.1", "print"}, kServiceNotActive},
      // The last host word counts, and it directs every request.
      {{"far.example.invalid", "localhost", "print"}, kOfficeListing},
      {{"localhost", "far.example.invalid", "add", "x.office.lan", "60", "A", "192.168.10.5"},
       kServiceNotActive},
  };
  for (const auto& [words, output] : cases) {
    SCOPED_TRACE(testing::PrintToString(words));
    expect_run(pallix(words), 0, output);
  }
  EXPECT_EQ(dig("x.office.lan", "A"), "");

  const SettingsStore store(client_.store().string());
  expect_run(pallix({"far.example.invalid", "setdefault"}), 1, "");
  EXPECT_EQ(store.store_read_text("Velisk", "Server", "(none)"), "far.example.invalid");
  expect_run(pallix({"print"}), 0, kServiceNotActive);
  expect_run(pallix({"SetDefault"}), 1, "");
  EXPECT_EQ(store.store_read_text("Velisk", "Server", "(none)"), "(none)");
  expect_run(pallix({"print"}), 0, kOfficeListing);
  // A host the default cannot hold would read back as no default at all.
  expect_run(pallix({std::string(129, 'h'), "setdefault"}), 0, "operation failed\n");
  EXPECT_EQ(store.store_read_text("Velisk", "Server", "(none)"), "(none)");
}

// An IPv4 address of a local interface other than loopback, as text; empty
// when the machine has none.
std::string interface_address() {
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return "";
  std::string found;
  for (const ifaddrs* entry = interfaces; entry != nullptr && found.empty();
       entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in address;
    std::memcpy(&address, entry->ifa_addr, sizeof address);
    if ((ntohl(address.sin_addr.s_addr) >> 24) == 127) continue;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) != nullptr) found = text;
  }
  freeifaddrs(interfaces);
  return found;
}

TEST_F(PallixSystemTest, StoredDefaultThatDesignatesThisMachineReachesIt) {
  start();
  char own_name[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(gethostname(own_name, sizeof own_name - 1), 0);
  std::vector<std::pair<std::string, std::string>> cases = {
      {"localhost", kOfficeListing},       {"LocalHost.", kOfficeListing},
      {own_name, kOfficeListing},          {"127.0.0.53", kOfficeListing},
      {"198.51.100.7", kServiceNotActive}, {"far.example.invalid", kServiceNotActive},
  };
  const std::string own_address = interface_address();
  if (!own_address.empty()) cases.push_back({own_address, kOfficeListing});
  std::filesystem::create_directories(client_.store());
  for (const auto& [server, output] : cases) {
    SCOPED_TRACE(server);
    system_test::ServerTree::write_file(client_.store() / "settings.ini",
                                        "[Velisk]\nServer=" + server + "\n");
    expect_run(pallix({"print"}), 0, output);
  }
}

TEST_F(PallixSystemTest, NameThatResolvesToThisMachineReachesIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  start();
  std::filesystem::create_directories(client_.store());
  system_test::ServerTree::write_file(client_.store() / "settings.ini", "[Velisk]\nServer=ns1\n");
  const std::filesystem::path hosts = client_.store() / "hosts";
  const std::string own_address = interface_address();
  const std::pair<std::string, std::string> cases[] = {
      {"127.0.1.1 ns1 ns1.office.lan\n", kOfficeListing},
      {"::1 ns1\n", kOfficeListing},
      {(own_address.empty() ? "127.0.0.2" : own_address) + " ns1\n", kOfficeListing},
      {"198.51.100.7 ns1\n", kServiceNotActive},
  };
  for (const auto& [line, output] : cases) {
    SCOPED_TRACE(line);
    system_test::ServerTree::write_file(hosts, "127.0.0.1 localhost\n" + line);
    const PallixRun run = run_pallix(client_.store(), client_.control(), {"print"}, false, hosts);
    if (run.exit_code == 125) GTEST_SKIP() << "no mount namespace here";
    expect_run(run, 0, output);
    if (line.find("ns1.office.lan") != std::string::npos) {
      // A host word is tested the same way as the stored default.
      expect_run(run_pallix(client_.store(), client_.control(), {"NS1.office.lan.", "print"}, false,
                            hosts),
                 0, output);
    }
  }
}

// The data directory on a tmpfs of a few pages in a mount namespace of this
// test's own, filled up: a removal that cannot be saved is reported as failed
// (exit code 0, "operation failed", an error line in the log) and stays in
// force in memory; once room is made the writer's retry brings the file in
// line without another command.
TEST_F(PallixSystemTest, RemovalOnAFullDiskFailsAndTheFileCatchesUpOnceThereIsRoom) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    GTEST_SKIP() << "no mount namespace here";
  tree_ = std::make_unique<system_test::ServerTree>(system_test::find_free_port(), kOfficeZone);
  const std::filesystem::path data = tree_->data();
  ASSERT_EQ(mount("tmpfs", data.c_str(), "tmpfs", 0, "size=64k"), 0);
  system_test::ServerTree::write_file(data / "name.db", kOfficeZone);
  server_ = std::make_unique<ControlledServer>(*tree_, client_.control(), "");
  // Fill every free block; the last write fails with ENOSPC.
  run_command("cat /dev/zero > " + (data / "filler").string() + " 2>/dev/null; true");

  expect_run(pallix({"remove", "printer.office.lan", "A"}), 0, "operation failed\n");
  EXPECT_EQ(dig("printer.office.lan", "A"), "");
  EXPECT_NE(system_test::read_text(data / "name.db").find("192.168.10.40"), std::string::npos);
  EXPECT_NE(
      system_test::read_text(tree_->output_file()).find("remove of printer.office.lan not saved"),
      std::string::npos)
      << system_test::read_text(tree_->output_file());

  std::filesystem::remove(data / "filler");
  const auto deadline = Clock::now() + milliseconds(20'000);
  while (system_test::read_text(tree_->output_file()).find("written again") == std::string::npos &&
         Clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(system_test::read_text(data / "name.db").find("192.168.10.40"), std::string::npos)
      << system_test::read_text(tree_->output_file());
  server_.reset();
  umount2(data.c_str(), MNT_DETACH);
}

TEST_F(PallixSystemTest, TheDemoStoresDefaultServerReachesTheServer) {
  // pallix reads the demo's own store, as it does with
  // NORVANE_MACHINE_STORE=build/demo/store beside scripts/run-demo.sh.
  start();
  std::filesystem::create_directories(client_.store());
  std::filesystem::copy_file(std::filesystem::path(NORVANE_SOURCE_DIR) / "demo/store/settings.ini",
                             client_.store() / "settings.ini");
  expect_run(pallix({"print"}), 0, kOfficeListing);
}

TEST_F(PallixSystemTest, UnprivilegedUserMayListButNotChangeRecords) {
  start();
  expect_run(pallix({"print"}, true), 0, kOfficeListing);
  expect_run(pallix({"add", "x.office.lan", "60", "A", "192.168.10.5"}, true), 0,
             "operation failed\n");
  expect_run(pallix({"remove", "host.office.lan", "A"}, true), 0, "operation failed\n");
  // The client's own store is root's: the default cannot change either.
  expect_run(pallix({"localhost", "setdefault"}, true), 0, "operation failed\n");
  expect_run(pallix({"print"}), 0, kOfficeListing);
}

// "nobody" opening every control connection there is and leaving them idle
// gets only its share; the administrator's pallix is still answered.
TEST_F(PallixSystemTest, IdleConnectionsOfAnotherUserDoNotLockOutTheAdministrator) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
  start();
  constexpr uid_t kNobody = 65534;
  constexpr int kConnections = 64;
  const std::string control = client_.control();
  int opened[2];
  int release[2];
  ASSERT_EQ(pipe(opened), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(opened[0]);
    close(release[1]);
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0)
      _exit(2);
    std::vector<int> held;
    for (int i = 0; i < kConnections; ++i) held.push_back(control_connect(control));
    const char done = 1;
    if (write(opened[1], &done, 1) != 1) _exit(3);
    char byte;
    while (read(release[0], &byte, 1) > 0) {
    }
    _exit(0);
  }
  close(opened[1]);
  close(release[0]);
  char done = 0;
  EXPECT_EQ(read(opened[0], &done, 1), 1);
  close(opened[0]);
  expect_run(pallix({"print"}), 0, kOfficeListing);
  close(release[1]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(PallixSystemTest, CacheListingSkipsDeadEntriesAndGoesOn) {
  const auto now = static_cast<uint32_t>(std::time(nullptr));
  const std::string live = std::to_string(now + 600);
  const uint32_t dying = now + 2;
  start("CacheDump=1\n", "ext.example\tA\t203.0.113.5\t" + live + "\n" +
                             "dying.example\tA\t203.0.113.6\t" + std::to_string(dying) + "\n" +
                             "ext.example\tNS\tns.ext.example\t" + live + "\n" +
                             "www.ext.example\tCNAME\text.example\t" + live + "\n" +
                             "ext.example\tMX\t5\tmx.ext.example\t" + live + "\n" +
                             "5.113.0.203.in-addr.arpa\tPTR\text.example\t" + live + "\n");
  // The entry in the middle dies while it is still in the list.
  while (static_cast<uint32_t>(std::time(nullptr)) <= dying)
    std::this_thread::sleep_for(milliseconds(100));

  const PallixRun run = pallix({"print", "cache"});
  EXPECT_EQ(run.exit_code, 0);
  // Each line with its lifetime taken out, which must lie within 600 s.
  std::string without_lifetimes;
  for (const std::string& line : system_test::split_lines(run.output)) {
    const size_t from = line.find('\t') + 1, to = line.find('\t', from);
    const unsigned long lifetime = std::stoul(line.substr(from, to - from));
    EXPECT_TRUE(lifetime <= 600 && lifetime >= 500) << line;
    without_lifetimes += line.substr(0, from) + line.substr(to) + "\n";
  }
  EXPECT_EQ(without_lifetimes,
            "ext.example.                   \t\tA     203.0.113.5\t\n"
            "ext.example.                   \t\tNS    ns.ext.example.\t\n"
            "www.ext.example.               \t\tCNAME ext.example.\t\n"
            "ext.example.                   \t\tMX    5   mx.ext.example.\t\n"
            "5.113.0.203.in-addr.arpa.      \t\tPTR   ext.example.\t\n");
}

TEST_F(PallixSystemTest, GatewayAndRoutesChangeTheServersRoutingTable) {
  start("[Velisk\\routes]\nDest0=10.20.0.0\nMask0=255.255.0.0\n", "",
        "ip link set lo up && ip link add v0 type veth peer name v1 && "
        "ip addr add 10.9.0.1/24 dev v0 && ip link set v0 up && ip link set v1 up");
  const std::string show_routes =
      "nsenter -t " + std::to_string(server_->pid()) + " -n ip -4 route show";
  auto routes = [&] { return run_command(show_routes).output; };
  const std::string default_route = "default via 10.9.0.254 dev v0";
  const std::string static_route = "10.20.0.0/16 via 10.9.0.254 dev v0";

  expect_run(pallix({"gateway", "10.9.0.254"}), 1, "");
  EXPECT_NE(routes().find(default_route), std::string::npos) << routes();
  // Any other user is refused every route command: nothing changes.
  for (const Words& words : std::vector<Words>{
           {"-gateway"}, {"gateway"}, {"gateway", "10.9.0.9"}, {"routes"}, {"-routes"}}) {
    expect_run(pallix(words, true), 1, "");
  }
  EXPECT_NE(routes().find(default_route), std::string::npos) << routes();
  EXPECT_EQ(routes().find("10.20.0.0/16"), std::string::npos) << routes();
  expect_run(pallix({"routes"}), 1, "");
  EXPECT_NE(routes().find(static_route), std::string::npos) << routes();
  expect_run(pallix({"-Routes"}), 1, "");
  EXPECT_EQ(routes().find("10.20.0.0/16"), std::string::npos) << routes();
  expect_run(pallix({"-gateway"}), 1, "");
  EXPECT_EQ(routes().find("default"), std::string::npos) << routes();
  // Without an address the stored gateway is applied again.
  expect_run(pallix({"gateway"}), 1, "");
  EXPECT_NE(routes().find(default_route), std::string::npos) << routes();
  // A word that is no address sends 0: the stored gateway and its route go.
  expect_run(pallix({"gateway", "10.9.0.x"}), 1, "");
  EXPECT_EQ(routes().find("default"), std::string::npos) << routes();
  const SettingsStore server_store(tree_->store().string());
  EXPECT_EQ(server_store.store_read_text("Velisk", "Gateway", "(none)"), "(none)");
  expect_run(pallix({"gateway"}), 1, "");
  EXPECT_EQ(routes().find("default"), std::string::npos) << routes();
}

TEST(PallixWithoutServerTest, ReportsServiceNotActiveButSetsTheDefault) {
  ClientTree client;
  expect_run(run_pallix(client.store(), client.control(), {"print"}), 0, kServiceNotActive);
  // setdefault only touches this machine's store and needs no server.
  expect_run(run_pallix(client.store(), client.control(), {"srv.office.lan", "setdefault"}), 1, "");
  EXPECT_EQ(SettingsStore(client.store().string()).store_read_text("Velisk", "Server", ""),
            "srv.office.lan");
}

}  // namespace
}  // namespace norvane::client_test
