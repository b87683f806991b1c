// The zone writer's group commit: requests made while a write runs share the
// next write, every waiter hears a write that began after its request, a
// failed write reaches every waiter and the report, and a stopped writer
// writes on the caller's thread.
#include "runtime/zone_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace norvane {
namespace {

// A latch the write function waits on, so a test can hold a write in
// progress while it makes more requests.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    changed_.notify_all();
  }
  void pass() {
    std::unique_lock<std::mutex> guard(lock_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(guard, [this] { return open_; });
  }
  void wait_entered() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return entered_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool open_ = false;
};

// Counts answers and lets the test wait for a number of them.
class Answers {
 public:
  LocalZone::SaveDone waiter() {
    return [this](bool saved) {
      std::lock_guard<std::mutex> guard(lock_);
      (saved ? saved_ : failed_)++;
      changed_.notify_all();
    };
  }
  void wait_for(int count) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return saved_ + failed_ >= count; });
  }
  int saved() {
    std::lock_guard<std::mutex> guard(lock_);
    return saved_;
  }
  int failed() {
    std::lock_guard<std::mutex> guard(lock_);
    return failed_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int saved_ = 0;
  int failed_ = 0;
};

TEST(ZoneWriterTest, RequestsDuringAWriteShareTheNextWrite) {
  Engine engine;
  Gate gate;
  std::atomic<int> calls{0};
  ZoneWriter writer(
      engine,
      [&] {
        if (calls.fetch_add(1) == 0) gate.pass();
        return true;
      },
      nullptr);
  writer.start();
  Answers answers;
  writer.request(answers.waiter());
  gate.wait_entered();
  constexpr int kWhileWriting = 25;
  for (int i = 0; i < kWhileWriting; ++i) writer.request(answers.waiter());
  gate.open();
  answers.wait_for(1 + kWhileWriting);
  writer.stop();
  EXPECT_EQ(answers.saved(), 1 + kWhileWriting);
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(writer.writes(), 2u);
}

// Writers on several threads each make a change (a version number standing
// for the database) and then ask for a save: the write that answers must
// have copied that change or a later one.
TEST(ZoneWriterTest, EveryWaiterHearsAWriteThatHoldsItsChange) {
  Engine engine;
  std::mutex database;
  uint64_t version = 0;
  uint64_t copied = 0;  // what the last write copied; writer thread only
  ZoneWriter writer(
      engine,
      [&] {
        std::lock_guard<std::mutex> guard(database);
        copied = version;
        return true;
      },
      nullptr);
  writer.start();
  std::atomic<int> stale{0};
  Answers answers;
  constexpr int kThreads = 4;
  constexpr int kChanges = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kChanges; ++i) {
        uint64_t mine;
        {
          std::lock_guard<std::mutex> guard(database);
          mine = ++version;
        }
        LocalZone::SaveDone count = answers.waiter();
        writer.request([&, mine, count](bool saved) {
          if (copied < mine) ++stale;
          count(saved);
        });
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  answers.wait_for(kThreads * kChanges);
  writer.stop();
  EXPECT_EQ(stale.load(), 0);
  EXPECT_EQ(answers.saved(), kThreads * kChanges);
  EXPECT_LE(writer.writes(), static_cast<uint64_t>(kThreads * kChanges));
}

TEST(ZoneWriterTest, FailedWriteReachesEveryWaiterAndTheReport) {
  Engine engine;
  std::vector<std::string> reports;
  std::mutex reports_lock;
  ZoneWriter writer(
      engine, [] { return false; },
      [&](const char* text) {
        std::lock_guard<std::mutex> guard(reports_lock);
        reports.emplace_back(text);
      });
  writer.start();
  Answers answers;
  for (int i = 0; i < 3; ++i) writer.request(answers.waiter());
  answers.wait_for(3);
  EXPECT_EQ(answers.failed(), 3);
  std::lock_guard<std::mutex> guard(reports_lock);
  ASSERT_FALSE(reports.empty());
  EXPECT_NE(reports.front().find("name.db"), std::string::npos);
}

TEST(ZoneWriterTest, StoppedWriterWritesOnTheCallersThreadAndZoneSavesFollow) {
  Engine engine;
  std::atomic<int> calls{0};
  std::thread::id wrote_on;
  ZoneWriter writer(
      engine,
      [&] {
        ++calls;
        wrote_on = std::this_thread::get_id();
        return true;
      },
      nullptr);
  writer.start();
  EXPECT_TRUE(engine.zone.saves_queued());
  // The zone's own save goes through the writer and waits for it.
  EXPECT_TRUE(engine.zone.save());
  EXPECT_EQ(calls.load(), 1);
  EXPECT_NE(wrote_on, std::this_thread::get_id());

  writer.stop();
  bool answered = false;
  engine.zone.request_save([&](bool saved) { answered = saved; });
  EXPECT_TRUE(answered);
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(wrote_on, std::this_thread::get_id());
}

}  // namespace
}  // namespace norvane
