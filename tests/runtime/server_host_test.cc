// Server hosts in one process: each with its own store, data directory and
// port, asked with dig, stopped and started again while the other serves; the
// observer's reports; stops that come before the loop; a port already taken.
#include "runtime/server_host.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/dns_message.h"
#include "runtime/settings.h"
#include "tests/runtime/server_tree_support.h"
#include "tests/test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A bound socket that closes itself; used to hold ports.
class BoundSocket {
 public:
  BoundSocket(int type, uint16_t port) : fd_(socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~BoundSocket() {
    if (fd_ >= 0) close(fd_);
  }
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;
  bool valid() const { return fd_ >= 0; }
  uint16_t port() const {
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &size) != 0) return 0;
    return ntohs(bound.sin_port);
  }

 private:
  int fd_;
};

// A store folder and a data directory serving "<domain>" with one address.
class HostTree : public test_support::ServerTree {
 public:
  HostTree(const std::string& domain, const std::string& address)
      : ServerTree("norvane-host", {domain, 7, address, address, test_support::free_port()}) {}

  std::string name() const { return "www." + zone().domain; }
  const std::string& address() const { return zone().www_address; }

  std::string data() const { return ServerTree::data().string(); }
  // Adds one line to the settings of the main key.
  void add_setting(const std::string& line) const {
    std::ofstream(root() / "store" / "settings.ini", std::ios::app) << line << "\n";
  }

  // Ready lines across the log files of the data directory.
  int ready_lines() const {
    return log_lines_where([](const std::string& line) { return line.ends_with(" ready"); });
  }
};

// Records the observer's calls in order.
class RecordingObserver : public ServerObserver {
 public:
  void on_ready(uint16_t port, bool listening) override {
    add("ready " + std::to_string(port) + (listening ? " listening" : " failed"));
  }
  void on_stopped() override { add("stopped"); }

  // Waits (bounded) until `count` events arrived; returns the events so far.
  std::vector<std::string> wait_for(size_t count) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, 20s, [&] { return events_.size() >= count; });
    return events_;
  }

 private:
  void add(std::string event) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

// One host serving on a thread of its own, as a windowed program runs it.
class RunningHost {
 public:
  explicit RunningHost(const HostTree& tree) {
    ServerHostOptions options;
    options.observer = &observer_;
    host_ = std::make_unique<ServerHost>(tree.store(), std::move(options));
    thread_ = std::thread([this] {
      host_->start();
      host_->run();
    });
    ready_ = observer_.wait_for(1);
  }
  ~RunningHost() { stop(); }
  RunningHost(const RunningHost&) = delete;
  RunningHost& operator=(const RunningHost&) = delete;

  const std::vector<std::string>& ready_events() const { return ready_; }
  // Stops and joins the host; returns every event the observer saw.
  std::vector<std::string> stop() {
    if (thread_.joinable()) {
      host_->stop();
      thread_.join();
    }
    return observer_.wait_for(2);
  }

 private:
  RecordingObserver observer_;
  std::unique_ptr<ServerHost> host_;
  std::thread thread_;
  std::vector<std::string> ready_;
};

// The A records dig reads for `name` from the server on `port`, over UDP or
// TCP, one per line; bounded by dig's own tries and timeouts. The server
// answers EDNS queries with FORMERR (RFC 6891 section 7), so none is sent.
std::string dig(uint16_t port, const std::string& name, bool tcp = false) {
  const std::string command = "dig @127.0.0.1 -p " + std::to_string(port) +
                              " +noedns +short +time=2 +tries=2 " + (tcp ? "+tcp " : "") + name +
                              " A 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  pclose(pipe);
  return output;
}

void expect_answers(const HostTree& tree) {
  EXPECT_EQ(dig(tree.port(), tree.name()), tree.address() + "\n") << "udp, port " << tree.port();
  EXPECT_EQ(dig(tree.port(), tree.name(), true), tree.address() + "\n")
      << "tcp, port " << tree.port();
}

TEST(ServerHostTest, TwoHostsServeTheirOwnZonesThroughARestartOfOne) {
  HostTree alpha("alpha.lan", "10.1.0.1");
  HostTree beta("beta.lan", "10.2.0.2");
  auto first = std::make_unique<RunningHost>(alpha);
  RunningHost second(beta);
  ASSERT_EQ(first->ready_events(),
            std::vector<std::string>{"ready " + std::to_string(alpha.port()) + " listening"});
  ASSERT_EQ(second.ready_events(),
            std::vector<std::string>{"ready " + std::to_string(beta.port()) + " listening"});
  expect_answers(alpha);
  expect_answers(beta);

  const std::vector<std::string> events = first->stop();
  EXPECT_EQ(events, (std::vector<std::string>{
                        "ready " + std::to_string(alpha.port()) + " listening", "stopped"}));
  first.reset();
  expect_answers(beta);

  // The program's folder was recorded; the second start finds it there and
  // leaves the store's file as it is.
  EXPECT_FALSE(alpha.store().store_read_text(kMainKey, "Path", "").empty());
  const fs::path settings = alpha.root() / "store" / "settings.ini";
  struct stat before {};
  ASSERT_EQ(::stat(settings.c_str(), &before), 0);

  // A second run in the same process serves again instead of stopping at once.
  first = std::make_unique<RunningHost>(alpha);
  struct stat after {};
  ASSERT_EQ(::stat(settings.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(first->ready_events(),
            std::vector<std::string>{"ready " + std::to_string(alpha.port()) + " listening"});
  expect_answers(alpha);
  expect_answers(beta);
  first->stop();
  second.stop();
  // Each host wrote its own log in its own data directory.
  EXPECT_EQ(alpha.ready_lines(), 2);
  EXPECT_EQ(beta.ready_lines(), 1);
}

// The zone file is a pipe, so the load lasts until the test writes the zone:
// a query sent meanwhile must wait in the socket's queue and be answered from
// the zone once it is in, not be turned away because nothing listens yet.
TEST(ServerHostTest, QueryDuringTheZoneLoadIsAnsweredOnceTheZoneIsIn) {
  HostTree tree("eta.lan", "10.7.0.7");
  const fs::path zone = fs::path(tree.data()) / "name.db";
  std::string text;
  {
    std::ifstream in(zone);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  fs::remove(zone);
  ASSERT_EQ(::mkfifo(zone.c_str(), 0600), 0);

  RecordingObserver observer;
  ServerHostOptions options;
  options.observer = &observer;
  ServerHost host(tree.store(), std::move(options));
  std::thread serving([&host] {
    host.start();
    host.run();
  });
  // The ports are taken before the load begins.
  bool bound = false;
  for (int i = 0; i < 200 && !bound; ++i) {
    bound = !BoundSocket(SOCK_DGRAM, tree.port()).valid();
    if (!bound) std::this_thread::sleep_for(10ms);
  }
  std::string answer;
  std::thread asking([&] { answer = dig(tree.port(), tree.name()); });
  // dig's question is on its way (or queued) before the zone arrives.
  std::this_thread::sleep_for(300ms);
  {
    // Opening the pipe's writing end also releases a load that never began.
    std::ofstream(zone) << text;
  }
  asking.join();
  EXPECT_TRUE(bound);
  EXPECT_EQ(answer, tree.address() + "\n");
  EXPECT_EQ(observer.wait_for(1).front(), "ready " + std::to_string(tree.port()) + " listening");
  host.stop();
  serving.join();
}

TEST(ServerHostTest, StopBeforeRunEndsTheLoopAtOnce) {
  HostTree tree("gamma.lan", "10.3.0.3");
  const std::string ready = "ready " + std::to_string(tree.port()) + " listening";
  // Stop before start, and stop between start and run, from another thread.
  for (const bool before_start : {true, false}) {
    SCOPED_TRACE(before_start ? "before start" : "after start");
    RecordingObserver observer;
    ServerHostOptions options;
    options.observer = &observer;
    ServerHost host(tree.store(), std::move(options));
    if (before_start) host.stop();
    EXPECT_TRUE(host.start());
    if (!before_start) std::thread([&host] { host.stop(); }).join();
    EXPECT_TRUE(host.stop_requested());
    host.run();
    EXPECT_EQ(observer.wait_for(2), (std::vector<std::string>{ready, "stopped"}));
    // A host runs once.
    EXPECT_FALSE(host.start());
    EXPECT_FALSE(host.zone_refresh_start());
  }
}

TEST(ServerHostTest, PortInUseReportsNotListening) {
  HostTree tree("delta.lan", "10.4.0.4");
  for (const int taken : {SOCK_DGRAM, SOCK_STREAM}) {
    SCOPED_TRACE(taken == SOCK_DGRAM ? "udp taken" : "tcp taken");
    BoundSocket holder(taken, tree.port());
    ASSERT_TRUE(holder.valid());
    RecordingObserver observer;
    ServerHostOptions options;
    options.observer = &observer;
    ServerHost host(tree.store(), std::move(options));
    EXPECT_FALSE(host.start());
    host.run();
    EXPECT_EQ(
        observer.wait_for(2),
        (std::vector<std::string>{"ready " + std::to_string(tree.port()) + " failed", "stopped"}));
  }
}

TEST(ServerHostTest, DestroyedAfterStartWithoutRunStillShutsDown) {
  HostTree tree("epsilon.lan", "10.5.0.5");
  RecordingObserver observer;
  bool detached = false;
  {
    ServerHostOptions options;
    options.observer = &observer;
    options.detach = [&detached] { detached = true; };
    ServerHost host(tree.store(), std::move(options));
    EXPECT_TRUE(host.start());
  }
  EXPECT_TRUE(detached);
  EXPECT_EQ(observer.wait_for(2).back(), "stopped");
  // The port is free again.
  EXPECT_TRUE(BoundSocket(SOCK_DGRAM, tree.port()).valid());
}

// dig reads "\DDD" in a name as that byte (RFC 1035 section 5.1), so the
// question carries a line end, a blank, a backslash and a terminal escape.
TEST(ServerHostTest, QueryNamesReachTheLogFileEscapedOnOneLine) {
  HostTree tree("zeta.lan", "10.6.0.6");
  {
    RunningHost host(tree);
    ASSERT_EQ(host.ready_events().size(), 1u);
    dig(tree.port(), "'a\\0102026-01-01\\03200:00:00\\032forged\\092\\027[2J.zeta.lan'");
    EXPECT_EQ(dig(tree.port(), tree.name()), tree.address() + "\n");
  }
  const std::vector<std::string> lines = tree.log_lines();
  const std::string wanted =
      " query (127.0.0.1 udp) a\\0102026-01-01\\03200:00:00\\032forged\\092\\027[2j.zeta.lan IN A";
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return line.ends_with(wanted); }),
            1);
  for (const std::string& line : lines) {
    EXPECT_FALSE(line.starts_with("2026-01-01 00:00:00")) << "forged line: " << line;
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  }
}

// A dump that cannot be written at stop is logged and reported, and the stop
// still completes. On the full disk the log file's last page still has room
// for its line; the dump needs a page of its own.
TEST(ServerHostTest, CacheDumpThatCannotBeWrittenAtStopIsReported) {
  struct Case {
    const char* what;
    bool full_disk;
  };
  for (const Case c : {Case{"dump path is a folder", false}, Case{"full disk", true}}) {
    SCOPED_TRACE(c.what);
    HostTree tree("eta.lan", "10.7.0.7");
    tree.add_setting("CacheDump=1");
    const std::string dump = tree.data() + "/cache.dmp";
    const auto stop_with_failed_dump = [&] {
      if (!c.full_disk) fs::create_directory(dump);
      std::vector<std::string> reports;
      ServerHostOptions options;
      options.report_failure = [&reports](const char* text) { reports.push_back(text); };
      ServerHost host(tree.store(), std::move(options));
      ASSERT_TRUE(host.start());
      ASSERT_NE(host.engine().cache.cache_add(CacheMode::kLearned, kTypeA, "www.example.com",
                                              htonl(0x0A000001), "", 3600),
                0u);
      if (c.full_disk) {
        std::ofstream filler(tree.data() + "/filler", std::ios::binary);
        const std::string block(4096, 'f');
        for (int i = 0; i < 1024 && filler.write(block.data(), block.size()); ++i) {
        }
      }
      host.stop();
      host.run();
      EXPECT_EQ(reports, std::vector<std::string>{"Cache dump not saved to " + dump});
      const std::vector<std::string> lines = tree.log_lines();
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [&](const std::string& line) {
                                return line.find(" cache dump not saved to " + dump + ": ") == 19;
                              }),
                1);
      EXPECT_FALSE(fs::is_regular_file(dump));
    };
    if (!c.full_disk) {
      stop_with_failed_dump();
      continue;
    }
    // The zone file is hidden by the new disk: written again onto it.
    const std::string zone = test_support::read_text(tree.data() + "/name.db");
    const std::string outcome = test_support::on_private_tmpfs(tree.data(), 64 * 1024, [&] {
      std::ofstream(tree.data() + "/name.db") << zone;
      stop_with_failed_dump();
    });
    if (outcome == "skip") GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(outcome, "");
  }
}

}  // namespace
}  // namespace norvane
