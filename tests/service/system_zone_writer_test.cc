// Zone file writes off the serving threads, against the real ostrum: a flood
// of dynamic updates while a query load runs (every query answered, every
// update acknowledged and in the file), parallel zone transfers beside them,
// and an acknowledged update that a kill -9 right after its reply cannot
// take back.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/service/system_test_support.h"

namespace norvane::system_test {
namespace {

// The office zone with `count` more address records, so that every write of
// the file takes real work.
std::string large_office_zone(int count) {
  std::string zone(kOfficeZone);
  for (int i = 0; i < count; ++i)
    zone += "bulk" + std::to_string(i) + "\tA\t10.1." + std::to_string(i / 250) + "." +
            std::to_string(i % 250 + 1) + "\n";
  return zone;
}

// A dnspython script that sends `count` updates of office.lan over UDP, one
// after the other, each adding flood<i>.office.lan; prints how many were
// answered NOERROR. With `kill_pid`, the server is killed with SIGKILL as soon
// as the first reply is in, and only one update is sent.
std::string update_script(uint16_t port, const std::string& prefix, int count, int kill_pid = 0) {
  return "/usr/bin/python3 -c \""
         "import os, dns.update, dns.query, dns.rcode\n"
         "ok = 0\n"
         "for i in range(" +
         std::to_string(count) +
         "):\n"
         "    u = dns.update.Update(\\\"office.lan\\\")\n"
         "    u.add(\\\"" +
         prefix +
         "%d\\\" % i, 300, \\\"A\\\", \\\"10.2.%d.%d\\\" % (i // 250, i % 250 + 1))\n"
         "    r = dns.query.udp(u, \\\"127.0.0.1\\\", port=" +
         std::to_string(port) +
         ", timeout=10)\n"
         "    if " +
         std::to_string(kill_pid) + ": os.kill(" + std::to_string(kill_pid) +
         ", 9)\n"
         "    ok += r.rcode() == dns.rcode.NOERROR\n"
         "print(ok)\n\"";
}

// Queries ns1.office.lan over UDP, one at a time, while `busy` holds (at most
// kMaxQueries); each gets 3 seconds. Returns {sent, answered}.
std::pair<int, int> query_while(uint16_t port, const std::function<bool()>& busy) {
  constexpr int kMaxQueries = 20'000;
  const std::vector<uint8_t> query = make_query(0x4242, "ns1.office.lan", 1);
  int sent = 0;
  int answered = 0;
  while (busy() && sent < kMaxQueries) {
    ++sent;
    if (udp_exchange(port, query, milliseconds(3'000))) ++answered;
  }
  return {sent, answered};
}

// A running server of the office zone with `bulk` more records; its start-up
// gets the time a larger file takes to load.
struct LargeServer {
  static ServerProcess::Options slow_start() {
    ServerProcess::Options options;
    options.ready_wait = milliseconds(60'000);
    return options;
  }
  explicit LargeServer(int bulk)
      : tree(find_free_port(), large_office_zone(bulk)), server(tree, slow_start()) {}
  ServerTree tree;
  ServerProcess server;
};

TEST(SystemZoneWriterTest, UpdateFloodWhileQueriesRunLosesNoAnswerAndNoUpdate) {
  constexpr int kBulk = 20'000;
  constexpr int kUpdates = 150;
  LargeServer large(kBulk);
  const ServerTree& tree = large.tree;

  std::atomic<bool> flooding{true};
  CommandResult flood;
  std::thread updater([&] {
    flood = run_command(update_script(tree.port(), "flood", kUpdates), 240);
    flooding = false;
  });
  const auto [sent, answered] = query_while(tree.port(), [&] { return flooding.load(); });
  updater.join();

  EXPECT_EQ(flood.output, std::to_string(kUpdates) + "\n") << flood.errors;
  EXPECT_GT(sent, 0);
  EXPECT_EQ(answered, sent);
  // Each update was acknowledged only once it was in the file.
  const std::string file = read_text(tree.data() / "name.db");
  for (int i = 0; i < kUpdates; ++i)
    EXPECT_NE(file.find("flood" + std::to_string(i) + "\t"), std::string::npos) << i;
}

// Four transfers of a large zone at once while queries and updates run: every
// query answered, every transfer whole, every update acknowledged.
TEST(SystemZoneWriterTest, ParallelTransfersWhileQueriesAndUpdatesRun) {
  constexpr int kBulk = 20'000;
  constexpr int kTransfers = 4;
  LargeServer large(kBulk);
  const ServerTree& tree = large.tree;

  std::atomic<int> running{kTransfers + 1};
  std::vector<CommandResult> transfers(kTransfers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kTransfers; ++i) {
    threads.emplace_back([&, i] {
      transfers[i] =
          run_command("dig +noedns +tries=1 +time=20 @127.0.0.1 -p " + std::to_string(tree.port()) +
                          " office.lan AXFR | grep -c bulk",
                      120);
      --running;
    });
  }
  CommandResult updates;
  threads.emplace_back([&] {
    updates = run_command(update_script(tree.port(), "during", 30), 120);
    --running;
  });
  const auto [sent, answered] = query_while(tree.port(), [&] { return running.load() > 0; });
  for (std::thread& thread : threads) thread.join();
  for (const CommandResult& transfer : transfers)
    EXPECT_EQ(transfer.output, std::to_string(kBulk) + "\n") << transfer.errors;
  EXPECT_EQ(updates.output, "30\n") << updates.errors;
  EXPECT_EQ(answered, sent);
}

TEST(SystemZoneWriterTest, AcknowledgedUpdateSurvivesKillRightAfterItsReply) {
  ServerTree tree(find_free_port(), large_office_zone(5'000));
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const std::string prefix = "killed" + std::to_string(round) + "-";
    {
      ServerProcess server(tree);
      const CommandResult update =
          run_command(update_script(tree.port(), prefix, 1, server.pid()), 60);
      EXPECT_EQ(update.output, "1\n") << update.errors;
      EXPECT_TRUE(server.wait_exit(milliseconds(5'000)));
    }
    ServerProcess restarted(tree);
    const std::vector<uint8_t> query = make_query(7, prefix + "0.office.lan", 1);
    const auto reply = udp_exchange(tree.port(), query);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ((*reply)[3] & 0x0F, 0) << "rcode";
    EXPECT_EQ(read_u16(*reply, 6), 1) << "answers";
  }
}

}  // namespace
}  // namespace norvane::system_test
