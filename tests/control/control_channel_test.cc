// The control channel's socket addresses: abstract names, socket paths, a
// live server that must not be displaced and a stale socket file that must.
#include "control/control_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;

class ControlChannelTest : public ::testing::Test {
 protected:
  test_support::ScratchFolder scratch_{"norvane-channel"};
  fs::path folder_ = scratch_.path();
};

TEST_F(ControlChannelTest, AddressComesFromTheEnvironment) {
  ::unsetenv("NORVANE_CONTROL");
  EXPECT_EQ(control_address(), "@norvane_dns_server");
  ::setenv("NORVANE_CONTROL", "", 1);
  EXPECT_EQ(control_address(), "@norvane_dns_server");
  ::setenv("NORVANE_CONTROL", "/run/x.sock", 1);
  EXPECT_EQ(control_address(), "/run/x.sock");
  ::unsetenv("NORVANE_CONTROL");
}

TEST_F(ControlChannelTest, AbstractNameKeepsMessageBoundaries) {
  const std::string address = "@norvane-channel-test-" + std::to_string(::getpid());
  const int listener = control_listen(address);
  ASSERT_GE(listener, 0);
  const int client = control_connect(address);
  ASSERT_GE(client, 0);
  const int served = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(served, 0);
  // Two sends arrive as two messages, not as one stream.
  ASSERT_EQ(::send(client, "abc", 3, 0), 3);
  ASSERT_EQ(::send(client, "de", 2, 0), 2);
  char buffer[16];
  EXPECT_EQ(::recv(served, buffer, sizeof buffer, 0), 3);
  EXPECT_EQ(::recv(served, buffer, sizeof buffer, 0), 2);
  // A reply larger than the caller's buffer is a failure, not a cut reply.
  ASSERT_EQ(::send(served, "0123456789", 10, 0), 10);
  uint8_t small[4];
  const uint8_t request[1] = {1};
  EXPECT_EQ(control_transact(client, request, small, 1000), -1);
  for (int fd : {served, client, listener}) ::close(fd);
}

TEST_F(ControlChannelTest, LiveSocketIsKeptAndStaleOneReplaced) {
  const std::string path = (folder_ / "control.sock").string();
  const int first = control_listen(path);
  ASSERT_GE(first, 0);
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u);  // every local user may connect
  EXPECT_EQ(control_listen(path), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  ::close(first);  // leaves the socket file behind, as a crashed server would
  const int second = control_listen(path);
  EXPECT_GE(second, 0);
  const int client = control_connect(path);
  EXPECT_GE(client, 0);
  ::close(client);
  ::close(second);

  // A file that is not a socket is never removed to make room.
  const std::string plain = (folder_ / "plain").string();
  std::ofstream(plain) << "keep";
  EXPECT_EQ(control_listen(plain), -1);
  EXPECT_TRUE(fs::exists(plain));
  EXPECT_EQ(control_connect((folder_ / "nobody-here").string()), -1);
  EXPECT_EQ(control_listen("@" + std::string(200, 'x')), -1);  // longer than sun_path
}

}  // namespace
}  // namespace norvane
