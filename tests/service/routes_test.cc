// Route changes against the real kernel. Every case runs in a forked child
// inside a network namespace of its own with veth links, so the host's
// routing table is never touched; iproute2 sets the scene and reads the result.
#include "service/routes.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace norvane {
namespace {

using ::testing::UnorderedElementsAreArray;

uint32_t Address(const char* text) {
  in_addr address{};
  EXPECT_EQ(inet_pton(AF_INET, text, &address), 1) << text;
  return address.s_addr;
}

bool Ip(const std::string& arguments) {
  const std::string command = "ip " + arguments;
  const int status = std::system(command.c_str());
  if (status != 0) ADD_FAILURE() << command << " exited with " << status;
  return status == 0;
}

// The routes of `table`, one line each with the blanks folded, so that a
// multipath route compares as one line.
std::vector<std::string> Routes(const std::string& table = "main") {
  std::vector<std::string> lines;
  FILE* output = popen(("ip -4 -o route show table " + table).c_str(), "r");
  if (output == nullptr) return lines;
  char buffer[1024];
  while (fgets(buffer, sizeof(buffer), output) != nullptr) {
    std::istringstream words(buffer);
    std::string word, line;
    while (words >> word) {
      if (word != "\\") line += (line.empty() ? "" : " ") + word;
    }
    lines.push_back(line);
  }
  pclose(output);
  return lines;
}

int FailureCount() {
  const ::testing::TestResult* result =
      ::testing::UnitTest::GetInstance()->current_test_info()->result();
  int failures = 0;
  for (int i = 0; i < result->total_part_count(); ++i) {
    if (result->GetTestPartResult(i).failed()) ++failures;
  }
  return failures;
}

// Runs `body` in a forked child inside a fresh network namespace holding
// v0 10.77.0.1/24 (with the alias 10.66.0.1/24 labelled v0:7) and
// v2 10.88.0.1/24, both up, and v4 10.99.0.1/24, down. Failures inside the
// child are printed there and fail the test here.
void InOwnNetworkNamespace(const std::function<void()>& body) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Failures of earlier children of the same test are already counted
    // there; this child answers for its own only.
    const int failures_before = FailureCount();
    alarm(60);
    if (unshare(CLONE_NEWNET) != 0) {
      perror("unshare(CLONE_NEWNET)");
      _exit(2);
    }
    const bool ready =
        Ip("link add v0 type veth peer name v1") && Ip("link add v2 type veth peer name v3") &&
        Ip("link add v4 type veth peer name v5") && Ip("addr add 10.77.0.1/24 dev v0") &&
        Ip("addr add 10.66.0.1/24 dev v0 label v0:7") && Ip("addr add 10.88.0.1/24 dev v2") &&
        Ip("addr add 10.99.0.1/24 dev v4") && Ip("link set v0 up") && Ip("link set v1 up") &&
        Ip("link set v2 up") && Ip("link set v3 up");
    if (ready) body();
    fflush(stdout);
    _exit(FailureCount() > failures_before ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

class RoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "changing routes in a network namespace needs root";
  }
};

// The scene for the route changes, as `ip route add` arguments and as the
// lines `ip route show` prints for them.
const std::vector<std::string> kDefaultRouteArguments = {
    "default via 10.77.0.3 metric 5",
    "default via 10.88.0.2 metric 100",
    "default via 10.77.0.4 proto static metric 26",
    "default metric 7 nexthop via 10.77.0.3 dev v0 nexthop via 10.88.0.2 dev v2",
};
const std::vector<std::string> kDefaultRoutes = {
    "default via 10.77.0.3 dev v0 metric 5",
    "default via 10.88.0.2 dev v2 metric 100",
    "default via 10.77.0.4 dev v0 proto static metric 26",
    "default metric 7 nexthop via 10.77.0.3 dev v0 weight 1 nexthop via 10.88.0.2 dev v2 weight 1",
};
const std::vector<std::string> kRouteArgumentsTo1060 = {
    "10.60.0.0/16 via 10.77.0.3", "10.60.0.0/24 via 10.88.0.2 metric 3",
    "10.60.0.0/32 via 10.77.0.3", "10.60.0.0/15 via 10.77.0.3",
    "unreachable 10.60.0.0/20",
};
const std::vector<std::string> kRoutesTo1060 = {
    "10.60.0.0/16 via 10.77.0.3 dev v0", "10.60.0.0/24 via 10.88.0.2 dev v2 metric 3",
    "10.60.0.0 via 10.77.0.3 dev v0",    "10.60.0.0/15 via 10.77.0.3 dev v0",
    "unreachable 10.60.0.0/20",
};
// Routes whose destinations are close to, but not equal to, those asked for.
const std::vector<std::string> kOtherRoutes = {
    "10.60.1.0/24 via 10.77.0.3 dev v0",
    "10.61.0.0/16 via 10.88.0.2 dev v2",
    "10.66.0.0/24 dev v0 proto kernel scope link src 10.66.0.1",
    "10.77.0.0/24 dev v0 proto kernel scope link src 10.77.0.1",
    "10.88.0.0/24 dev v2 proto kernel scope link src 10.88.0.1",
};

bool AddSceneRoutes() {
  std::vector<std::string> all = kDefaultRouteArguments;
  all.insert(all.end(), kRouteArgumentsTo1060.begin(), kRouteArgumentsTo1060.end());
  all.push_back("10.60.1.0/24 via 10.77.0.3");
  all.push_back("10.61.0.0/16 via 10.88.0.2");
  all.push_back("default via 10.77.0.9 table 100");
  for (const std::string& arguments : all) {
    if (!Ip("route add " + arguments)) return false;
  }
  return true;
}

struct ChangeCase {
  const char* name;
  const char* destination;
  const char* mask;
  const char* gateway;
  std::string added;  // the line of the route added, empty for none
};

// Every route to the destination goes, whatever its prefix length, gateway,
// interface, type or protocol; routes to other destinations and the other
// tables stay; at most the one asked-for route comes in its place.
TEST_F(RoutesTest, ReplacesEveryRouteToTheDestinationAndNoOther) {
  const std::vector<ChangeCase> cases = {
      {"gateway on the second link", "0.0.0.0", "0.0.0.0", "10.88.0.7",
       "default via 10.88.0.7 dev v2 proto static metric 26"},
      {"gateway on an alias address", "0.0.0.0", "0.0.0.0", "10.66.0.5",
       "default via 10.66.0.5 dev v0 proto static metric 26"},
      {"default route removed", "0.0.0.0", "0.0.0.0", "0.0.0.0", ""},
      {"gateway on no local subnet", "0.0.0.0", "0.0.0.0", "192.0.2.1", ""},
      {"network route", "10.60.0.0", "255.255.255.0", "10.88.0.2",
       "10.60.0.0/24 via 10.88.0.2 dev v2 proto static metric 26"},
      {"host route", "10.60.0.0", "255.255.255.255", "10.77.0.5",
       "10.60.0.0 via 10.77.0.5 dev v0 proto static metric 26"},
      {"wider prefix than any before", "10.60.0.0", "255.252.0.0", "10.77.0.5",
       "10.60.0.0/14 via 10.77.0.5 dev v0 proto static metric 26"},
      {"network routes removed", "10.60.0.0", "255.255.0.0", "0.0.0.0", ""},
  };
  for (const ChangeCase& change : cases) {
    SCOPED_TRACE(change.name);
    InOwnNetworkNamespace([&] {
      ASSERT_TRUE(AddSceneRoutes());
      const bool to_default = std::string(change.destination) == "0.0.0.0";
      std::vector<std::string> expected = kOtherRoutes;
      const auto& kept = to_default ? kRoutesTo1060 : kDefaultRoutes;
      expected.insert(expected.end(), kept.begin(), kept.end());
      if (!change.added.empty()) expected.push_back(change.added);

      EXPECT_EQ(
          apply_route(Address(change.destination), Address(change.mask), Address(change.gateway)),
          1);
      EXPECT_THAT(Routes(), UnorderedElementsAreArray(expected));
      // Asking again finds our own route among those to delete.
      EXPECT_EQ(
          apply_route(Address(change.destination), Address(change.mask), Address(change.gateway)),
          1);
      EXPECT_THAT(Routes(), UnorderedElementsAreArray(expected));
      EXPECT_THAT(Routes("100"), UnorderedElementsAreArray({"default via 10.77.0.9 dev v0"}));
    });
  }
}

TEST_F(RoutesTest, NothingToDeleteAndNothingToAddSucceeds) {
  InOwnNetworkNamespace([] {
    const std::vector<std::string> before = Routes();
    EXPECT_EQ(apply_route(0, 0, 0), 1);
    EXPECT_EQ(apply_route(Address("10.70.0.0"), Address("255.255.0.0"), 0), 1);
    EXPECT_THAT(Routes(), UnorderedElementsAreArray(before));
  });
}

// A call that fails leaves every route in place, also those it had deleted
// before the kernel refused the new one.
TEST_F(RoutesTest, FailedCallLeavesTheTableAsItWas) {
  const std::vector<ChangeCase> cases = {
      {"mask with a hole", "10.60.0.0", "255.0.255.0", "10.77.0.5", ""},
      {"destination bits outside the mask", "10.60.0.1", "255.255.255.0", "10.77.0.5", ""},
      {"gateway behind a link that is down", "0.0.0.0", "0.0.0.0", "10.99.0.2", ""},
      // Deleting the subnet's own route makes the gateway unreachable.
      {"gateway behind the route being replaced", "10.77.0.0", "255.255.255.0", "10.77.0.5", ""},
  };
  for (const ChangeCase& change : cases) {
    SCOPED_TRACE(change.name);
    InOwnNetworkNamespace([&] {
      ASSERT_TRUE(AddSceneRoutes());
      const std::vector<std::string> before = Routes();
      EXPECT_EQ(
          apply_route(Address(change.destination), Address(change.mask), Address(change.gateway)),
          0);
      EXPECT_THAT(Routes(), UnorderedElementsAreArray(before));
    });
  }
}

TEST_F(RoutesTest, RefusedWithoutNetworkAdministrationRights) {
  InOwnNetworkNamespace([] {
    ASSERT_TRUE(AddSceneRoutes());
    const std::vector<std::string> before = Routes();
    ASSERT_EQ(seteuid(65534), 0);  // nobody: no effective capabilities
    EXPECT_EQ(apply_route(0, 0, Address("10.77.0.5")), 0);
    EXPECT_EQ(apply_route(Address("10.60.0.0"), Address("255.255.0.0"), 0), 0);
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_THAT(Routes(), UnorderedElementsAreArray(before));
  });
}

TEST_F(RoutesTest, InterfaceIsTheOneWhoseSubnetHoldsTheGateway) {
  InOwnNetworkNamespace([] {
    ASSERT_TRUE(Ip("addr add 10.55.0.1/32 dev v2"));
    const struct {
      const char* gateway;
      const char* interface;  // nullptr: none
    } cases[] = {
        {"10.77.0.200", "v0"},  {"10.66.0.9", "v0"}, {"10.88.0.1", "v2"},    {"10.55.0.1", "v2"},
        {"10.55.0.2", nullptr}, {"10.99.0.2", "v4"}, {"192.0.2.1", nullptr}, {"0.0.0.0", nullptr},
    };
    for (const auto& row : cases) {
      const uint32_t expected = row.interface ? if_nametoindex(row.interface) : 0;
      EXPECT_EQ(interface_for_gateway(Address(row.gateway)), expected) << row.gateway;
    }
  });
}

}  // namespace
}  // namespace norvane
