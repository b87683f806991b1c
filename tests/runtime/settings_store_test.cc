// The settings store: the file form, strict numbers, refused texts, atomic
// replacement under concurrent writers and failing writes without permission.
#include "runtime/settings_store.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace norvane {
namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

// A fresh folder under /tmp, removed with everything in it at the end.
struct TempFolder {
  TempFolder() {
    char pattern[] = "/tmp/norvane-store-XXXXXX";
    EXPECT_NE(::mkdtemp(pattern), nullptr);
    path = pattern;
  }
  ~TempFolder() {
    ::chmod(path.c_str(), 0700);
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

std::string read_whole(const std::string& path) {
  std::stringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

// Runs `attempt` in a child process, as user nobody when the test runs as
// root, and returns its result.
int as_unprivileged(const std::function<int()>& attempt) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 &&
        (::setresgid(65534, 65534, 65534) != 0 || ::setgroups(0, nullptr) != 0 ||
         ::setresuid(65534, 65534, 65534) != 0)) {
      ::_exit(99);
    }
    ::_exit(attempt());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST(SettingsStoreTest, MissingFolderReadsFallbacksAndFirstWriteCreatesIt) {
  TempFolder temp;
  SettingsStore store(temp.path + "/etc/norvane");
  EXPECT_EQ(store.store_read_text("Velisk", "Domain", "none"), "none");
  EXPECT_EQ(store.store_read_number("Velisk", "ClientTTL", 4294967295u), 4294967295u);
  EXPECT_TRUE(store.store_read_key("Velisk\\Access").empty());

  ASSERT_EQ(store.store_write_text("Velisk", "Server", "ns1"), 1);
  struct stat info {};
  ASSERT_EQ(::stat(store.folder().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);
  EXPECT_EQ(read_whole(store.file_path()), "[Velisk]\nServer=ns1\n");
}

TEST(SettingsStoreTest, TextsReadBackExactlyOrAreRefused) {
  struct Case {
    std::string subkey;
    std::string value;
    const char* text;
    int result;
  };
  const Case cases[] = {
      // Blanks belong to the access rights; "=" and "[" in a text must not be
      // taken for the separator or a key header.
      {"Velisk\\Access", "0", "Q ", 1},
      {"Velisk", "a", " a=b=c", 1},
      {"Velisk", "a", "[Velisk]", 1},
      {"Velisk", "a", "", 1},
      // Refused: each would change other values when the file is read back.
      {"Velisk", "Server", "a\nDomain=evil", 0},
      {"Velisk", "Server", "a\rb", 0},
      {"Velisk", "a=b", "x", 0},
      {"Velisk", "[x", "y]", 0},
      {"Velisk", std::string("a\0b", 3), "x", 0},
      {"Velisk\n[Other", "Server", "x", 0},
  };
  TempFolder temp;
  SettingsStore store(temp.path);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    ASSERT_EQ(store.store_write_text("Velisk", "Keep", "this"), 1);
    const std::string before = read_whole(store.file_path());
    EXPECT_EQ(store.store_write_text(c.subkey, c.value, c.text), c.result);
    if (c.result == 1) {
      EXPECT_EQ(store.store_read_text(c.subkey, c.value, "fallback"), c.text);
    } else {
      EXPECT_EQ(read_whole(store.file_path()), before);
    }
  }
}

TEST(SettingsStoreTest, NumbersThatAreNotDecimalTextReadAsTheFallback) {
  const std::pair<std::string, uint32_t> cases[] = {
      {"2048", 2048},
      {" 7\t", 7},
      {"4294967295", 4294967295u},
      {"-1", 4294967295u},  // signed window positions written by the GUI
      {"", 77},
      {"12abc", 77},
      {"0x10", 77},
      {"-", 77},
      {"4294967296", 77},
      {std::string(63, '0') + "5", 77},  // longer than 63 characters
  };
  TempFolder temp;
  SettingsStore store(temp.path);
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE("'" + text + "'");
    ASSERT_EQ(store.store_write_text("Velisk", "Port", text.c_str()), 1);
    EXPECT_EQ(store.store_read_number("Velisk", "Port", 77), expected);
  }
}

TEST(SettingsStoreTest, HandEditedFileIsReadAndKeptOnRewrite) {
  TempFolder temp;
  SettingsStore store(temp.path);
  std::ofstream(store.file_path()) << "; settings of this host\r\n"
                                      "Orphan=1\n"
                                      "[Velisk]\r\n"
                                      "Port=5353\r\n"
                                      "\n"
                                      "[Other]\n"
                                      "Port=1\n"
                                      "[velisk]\n"
                                      "Port=9999\n"
                                      "Server=ns1\n"
                                      "[Velisk\\Access]\n"
                                      "0=Q \n";
  // CRLF ends are line ends; values before the first key belong to none; a
  // key that occurs twice reads as one, the first value of a name winning;
  // names match without case.
  EXPECT_EQ(store.store_read_number("VELISK", "port", 0), 5353u);
  EXPECT_EQ(store.store_read_text("Velisk", "Orphan", "none"), "none");
  EXPECT_EQ(store.store_read_key("Velisk"), (Values{{"Port", "5353"}, {"Server", "ns1"}}));
  EXPECT_EQ(store.store_read_key("Velisk\\Access"), (Values{{"0", "Q "}}));

  // A rewrite replaces the first occurrence whatever its case, drops the
  // shadowed duplicate and adds new values to the first section of the key;
  // everything else stays.
  ASSERT_EQ(store.store_write_text("velisk", "PORT", "53"), 1);
  ASSERT_EQ(store.store_write_text("Velisk", "Domain", "example.com"), 1);
  EXPECT_EQ(read_whole(store.file_path()),
            "; settings of this host\r\nOrphan=1\n[Velisk]\r\nPORT=53\nDomain=example.com\n\n"
            "[Other]\nPort=1\n[velisk]\nServer=ns1\n[Velisk\\Access]\n0=Q \n");
}

TEST(SettingsStoreTest, UnreadableExistingFileIsNotOverwritten) {
  TempFolder temp;
  SettingsStore store(temp.path);
  // Replacing a file that could not be read would lose all its other values.
  ASSERT_EQ(::mkdir(store.file_path().c_str(), 0755), 0);
  EXPECT_EQ(store.store_write_text("Velisk", "Used", "1"), 0);
  EXPECT_TRUE(std::filesystem::is_directory(store.file_path()));
}

TEST(SettingsStoreTest, WriteWithoutPermissionFailsAndChangesNothing) {
  struct Case {
    const char* what;
    mode_t folder_mode;
    mode_t file_mode;
    const char* subfolder;
  };
  const Case cases[] = {
      {"read-only folder", 0555, 0644, ""},
      // Renaming needs only the folder, but the file's own mode is what tells
      // administrators from other users.
      {"read-only file in a writable folder", 0777, 0444, ""},
      {"folder that cannot be created", 0555, 0644, "/missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder temp;
    SettingsStore setup(temp.path);
    ASSERT_EQ(setup.store_write_text("Velisk", "Server", "ns1"), 1);
    const std::string before = read_whole(setup.file_path());
    ASSERT_EQ(::chmod(setup.file_path().c_str(), c.file_mode), 0);
    ASSERT_EQ(::chmod(temp.path.c_str(), c.folder_mode), 0);

    SettingsStore store(temp.path + c.subfolder);
    EXPECT_EQ(as_unprivileged([&] { return store.store_write_text("Velisk", "Used", "1"); }), 0);
    EXPECT_EQ(as_unprivileged([&] { return store.store_delete("Velisk", "Server"); }), 0);
    EXPECT_EQ(read_whole(setup.file_path()), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp.path), {}), 2)
        << "no temporary file may be left behind";
  }
}

TEST(SettingsStoreTest, ConcurrentWritersLoseNoValue) {
  constexpr int kProcesses = 3;
  constexpr int kThreads = 3;
  constexpr int kValuesEach = 20;
  TempFolder temp;
  SettingsStore store(temp.path);
  auto write_values = [&](int process) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int v = 0; v < kValuesEach; ++v) {
          const std::string name =
              std::to_string(process) + "." + std::to_string(t) + "." + std::to_string(v);
          if (store.store_write_text("Velisk", name, name.c_str()) != 1) std::abort();
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  };
  std::vector<pid_t> children;
  for (int p = 1; p < kProcesses; ++p) {
    const pid_t child = ::fork();
    if (child == 0) {
      write_values(p);
      ::_exit(0);
    }
    children.push_back(child);
  }
  write_values(0);
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const Values values = store.store_read_key("Velisk");
  EXPECT_EQ(values.size(), static_cast<size_t>(kProcesses * kThreads * kValuesEach));
  for (const auto& [name, text] : values) EXPECT_EQ(name, text);
}

TEST(SettingsStoreTest, ReadersNeverSeeAHalfWrittenFile) {
  constexpr size_t kValues = 300;
  TempFolder temp;
  SettingsStore store(temp.path);
  StoreBatch versions[2];
  for (size_t i = 0; i < kValues; ++i) {
    versions[0].set_text(std::to_string(i), "the first version of a longer text");
    versions[1].set_text(std::to_string(i), "second");
  }
  ASSERT_EQ(store.store_apply("Velisk", versions[0]), 1);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int round = 1; round <= 40; ++round) store.store_apply("Velisk", versions[round % 2]);
    done = true;
  });
  bool whole = true;
  while (!done && whole) {
    const Values values = store.store_read_key("Velisk");
    whole = values.size() == kValues;
    for (const auto& value : values) whole = whole && value.second == values.front().second;
  }
  writer.join();
  EXPECT_TRUE(whole) << "a reader saw a mixture of two versions";
}

}  // namespace
}  // namespace norvane
