// The transaction log file: its name by date, the switch at midnight and at
// the turn of the month, the "log started" heading and the fall-back when the
// file cannot be opened.
#include "runtime/log_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/test_support.h"

namespace norvane {
namespace {

// Local time as seconds since 1970 (the log names files by local date).
std::time_t local_time(int year, int month, int day, int hour, int minute, int second) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  return std::mktime(&parts);
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override { engine_.settings.data_directory.set(directory_); }

  std::string read(const std::string& name) {
    std::stringstream text;
    text << std::ifstream(directory_ + "/" + name).rdbuf();
    return text.str();
  }

  Engine engine_;
  test_support::ScratchFolder scratch_{"norvane-log"};
  std::string directory_ = scratch_.path();
};

TEST(LogFileNameTest, MonthlyAndDailyNamesFollowTheLocalDate) {
  const std::time_t when = local_time(2013, 10, 7, 14, 3, 59);
  EXPECT_EQ(log_file_name(when, 0), "dns1310.log");
  EXPECT_EQ(log_file_name(when, 1), "dns131007.log");
}

TEST_F(LogFileTest, DailyFileSwitchesAtTheFirstTurnAfterMidnight) {
  engine_.settings.create_log = 1;
  LogFile file(engine_);
  file.log_roll(local_time(2026, 1, 31, 23, 59, 0));
  engine_.log.write(1, "before midnight\n");
  file.log_roll(local_time(2026, 2, 1, 0, 1, 0));
  engine_.log.write(1, "after midnight\n");
  file.close();
  EXPECT_NE(read("dns260131.log").find("before midnight"), std::string::npos);
  EXPECT_EQ(read("dns260131.log").find("after midnight"), std::string::npos);
  EXPECT_NE(read("dns260201.log").find("after midnight"), std::string::npos);
}

TEST_F(LogFileTest, MonthlyFileSwitchesInTheNewMonthAndKeepsItsFileWithin) {
  LogFile file(engine_);
  file.log_roll(local_time(2013, 12, 1, 10, 0, 0));
  engine_.log.write(1, "first\n");
  file.log_roll(local_time(2013, 12, 31, 23, 0, 0));
  engine_.log.write(1, "second\n");
  file.log_roll(local_time(2014, 1, 1, 0, 0, 30));
  engine_.log.write(1, "third\n");
  file.close();
  const std::string december = read("dns1312.log");
  EXPECT_NE(december.find("first"), std::string::npos);
  EXPECT_NE(december.find("second"), std::string::npos);
  EXPECT_NE(read("dns1401.log").find("third"), std::string::npos);
}

TEST_F(LogFileTest, HeadingAppearsFromLevelTwoWithAnEmptyLineBefore) {
  const std::time_t when = local_time(2026, 3, 4, 5, 6, 7);
  {
    engine_.log.set_level(1);
    LogFile file(engine_);
    file.log_roll(when);
  }
  EXPECT_EQ(read("dns2603.log"), "");
  {
    engine_.log.set_level(2);
    LogFile file(engine_);
    file.log_roll(when);
  }
  const std::string text = read("dns2603.log");
  ASSERT_EQ(text.size(), 1 + 19 + std::string(" Norvane DNS Server log started\n").size());
  EXPECT_EQ(text[0], '\n');
  EXPECT_EQ(text.substr(20), " Norvane DNS Server log started\n");
}

TEST_F(LogFileTest, RestartAppendsToTheFileOfThePeriod) {
  const std::time_t when = local_time(2026, 3, 4, 5, 6, 7);
  for (const char* line : {"one", "two"}) {
    LogFile file(engine_);
    file.log_roll(when);
    engine_.log.write(1, "%s\n", line);
  }
  const std::string text = read("dns2603.log");
  EXPECT_LT(text.find("one"), text.find("two"));
}

TEST_F(LogFileTest, UnopenableFileTurnsLoggingOffUntilTheLevelIsSetAgain) {
  engine_.settings.data_directory.set(directory_ + "/missing");
  LogFile file(engine_);
  EXPECT_EQ(file.log_roll(local_time(2026, 3, 4, 5, 6, 7)), nullptr);
  EXPECT_EQ(engine_.log.level(), 0u);

  // Settings read again: a writable directory and a level turn it back on.
  engine_.settings.data_directory.set(directory_);
  engine_.log.set_level(1);
  EXPECT_NE(file.log_roll(local_time(2026, 3, 4, 5, 6, 8)), nullptr);
  engine_.log.write(1, "back\n");
  file.close();
  EXPECT_NE(read("dns2603.log").find("back"), std::string::npos);
}

TEST_F(LogFileTest, LevelZeroClosesTheFileAndDropsLines) {
  LogFile file(engine_);
  file.log_roll(local_time(2026, 3, 4, 5, 6, 7));
  engine_.log.set_level(0);
  EXPECT_EQ(file.log_roll(local_time(2026, 3, 4, 5, 6, 8)), nullptr);
  engine_.log.set_level(1);
  engine_.log.write(1, "dropped\n");
  EXPECT_EQ(read("dns2603.log").find("dropped"), std::string::npos);
}

TEST_F(LogFileTest, ConsoleStaysTheStreamWhateverTheDate) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* console = open_memstream(&buffer, &size);
  ASSERT_NE(console, nullptr);
  {
    LogFile file(engine_);
    file.use_console(console);
    EXPECT_EQ(file.log_roll(local_time(2026, 3, 4, 5, 6, 7)), console);
    EXPECT_EQ(file.log_roll(local_time(2026, 4, 1, 0, 0, 1)), console);
    engine_.log.write(1, "to the console\n");
  }
  engine_.log.set_stream(nullptr);
  std::fclose(console);
  EXPECT_NE(std::string(buffer, size).find("to the console"), std::string::npos);
  std::free(buffer);
  EXPECT_FALSE(std::filesystem::exists(directory_ + "/dns2603.log"));
}

}  // namespace
}  // namespace norvane
