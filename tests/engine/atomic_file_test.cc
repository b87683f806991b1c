// Atomic replacement and the removal of temporaries that interrupted saves
// left behind: only our own names, only once their writer is gone.
#include "engine/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace norvane {
namespace {

class AtomicFileTest : public ::testing::Test {
 protected:
  // Creates `name` with its modification time `age` seconds before now.
  void create(const std::string& name, std::time_t age) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << "partial";
    const timeval times[2] = {{now_ - age, 0}, {now_ - age, 0}};
    ASSERT_EQ(::utimes(path.c_str(), times), 0);
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test_support::ScratchFolder scratch_{"atomic_file_test"};
  const std::string dir_ = scratch_.path();
  const std::time_t now_ = std::time(nullptr);
};

// A pid that names no process: a child that has exited and been reaped.
pid_t dead_pid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

TEST_F(AtomicFileTest, ReplacementLeavesNoTemporaryAndNamesItsWriter) {
  const std::string path = dir_ + "/name.db";
  ASSERT_TRUE(replace_file_atomically(dir_, path, "new\n"));
  EXPECT_EQ(entries(), std::vector<std::string>{"name.db"});
  const std::string name = temporary_template(dir_, "name.db");
  EXPECT_EQ(name, dir_ + "/name.db.tmp-" + std::to_string(::getpid()) + "-XXXXXX");
}

TEST_F(AtomicFileTest, RemovesOnlyStaleTemporariesOfOurOwnNames) {
  const std::string dead = std::to_string(dead_pid());
  const std::string ours = std::to_string(::getpid());
  const std::string live = "1";  // init: always running
  struct Case {
    std::string name;
    std::time_t age;
    bool removed;
  };
  const Case cases[] = {
      {"name.db.tmp-" + dead + "-aB3xYz", 120, true},
      {"cache.dmp.tmp-" + dead + "-Qw9Rt0", 120, true},
      // This process at start-up has not saved yet: a pid reused after a restart.
      {"name.db.tmp-" + ours + "-abcdef", 120, true},
      // A dead writer's temporary still warm: a save may have just been cut off
      // on another machine sharing the folder; left for the next start.
      {"name.db.tmp-" + dead + "-abcdeg", 5, false},
      // A live writer is left alone until its temporary is an hour old.
      {"name.db.tmp-" + live + "-abcdeh", 1800, false},
      {"name.db.tmp-" + live + "-abcdei", 7200, true},
      // Not our pattern: an administrator's copies, other files, other bases.
      {"name.db", 7200, false},
      {"name.db.backup", 7200, false},
      {"name.db.aB3xYz", 7200, false},
      {"name.db.tmp-" + dead + "-abc", 7200, false},
      {"name.db.tmp-" + dead + "-abc.ef", 7200, false},
      {"name.db.tmp--abcdef", 7200, false},
      {"name.db.tmp-12x4-abcdef", 7200, false},
      {"zone.db.tmp-" + dead + "-abcdef", 7200, false},
      {"xname.db.tmp-" + dead + "-abcdef", 7200, false},
  };
  for (const Case& c : cases) create(c.name, c.age);
  // A folder and a link with a temporary's name are never removed.
  ASSERT_EQ(::mkdir((dir_ + "/cache.dmp.tmp-" + dead + "-dirdir").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("name.db", (dir_ + "/name.db.tmp-" + dead + "-linkyy").c_str()), 0);

  std::vector<std::string> expected = {"cache.dmp.tmp-" + dead + "-dirdir",
                                       "name.db.tmp-" + dead + "-linkyy"};
  size_t removed = 0;
  for (const Case& c : cases) {
    if (c.removed)
      ++removed;
    else
      expected.push_back(c.name);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(remove_stale_temporaries(dir_, {"name.db", "cache.dmp"}, now_), removed);
  EXPECT_EQ(entries(), expected);
  EXPECT_EQ(remove_stale_temporaries(dir_ + "/missing", {"name.db"}, now_), 0u);
}

}  // namespace
}  // namespace norvane
