// The control channel's boundary per request: a fault injected into one
// command (out of memory, or anything else) fails that command with its code,
// and the next command on the same session runs.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <vector>

#include "runtime/serving_guard.h"
#include "service/control_commands.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;

enum class Fault { kOutOfMemory, kUnexpected };
std::atomic<int> armed{-1};

void injected_fault() {
  const int fault = armed.exchange(-1);
  if (fault == static_cast<int>(Fault::kOutOfMemory)) throw std::bad_alloc();
  if (fault == static_cast<int>(Fault::kUnexpected)) throw std::runtime_error("injected fault");
}

TEST(ControlGuardTest, AFaultFailsOneCommandAndTheNextRuns) {
  char pattern[] = "/tmp/norvane-guard-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  Engine engine;
  SettingsStore store(pattern);
  ControlCommands commands(engine, store);
  ControlSession session(true);
  const std::vector<uint8_t> get_statistics{static_cast<uint8_t>(kControlGetStatistics), 0, 0, 0};
  request_fault_hook = &injected_fault;
  for (const Fault fault : {Fault::kOutOfMemory, Fault::kUnexpected}) {
    armed = static_cast<int>(fault);
    const auto failed = commands.handle_control_message(session, get_statistics);
    ASSERT_EQ(failed.size(), 4u);
    EXPECT_EQ(read_le32(failed, 0), kControlGetStatistics);
    const auto answered = commands.handle_control_message(session, get_statistics);
    EXPECT_EQ(read_le32(answered, 0), kControlDone);
  }
  request_fault_hook = nullptr;
  std::error_code ignored;
  fs::remove_all(pattern, ignored);
}

}  // namespace
}  // namespace norvane
