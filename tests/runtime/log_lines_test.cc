// Log files as the viewer reads them: which files it lists and selects, how
// lines are cut into rows of at most 255 characters, which rows a minimum
// length drops, the fields of a row, and an index built in slices that must
// cut exactly where a plain sequential read does.
#include "runtime/log_lines.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/local_time.h"
#include "tests/test_support.h"

namespace norvane {
namespace {

using test_support::local_time;

class LogLinesTest : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = directory_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // The rows of a whole file, indexed with slices of `budget` bytes.
  std::vector<std::string> index_rows(const std::string& path, size_t budget) {
    LogIndex index;
    EXPECT_TRUE(index.open(path));
    while (index.index_more(budget)) {
    }
    EXPECT_TRUE(index.finished());
    return index.rows(0, index.size());
  }

  // The rows a plain sequential read of 255-character pieces gives.
  static std::vector<std::string> reader_rows(const std::string& path) {
    std::vector<std::string> rows;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return rows;
    LogPieceReader reader(file);
    std::string text;
    bool line_end = false;
    while (reader.next(&text, &line_end))
      if (log_piece_length(text.size(), line_end) >= kLogMinimumLength) rows.push_back(text);
    std::fclose(file);
    return rows;
  }

  test_support::ScratchFolder scratch_{"norvane-log-lines"};
  const std::string directory_ = scratch_.path();
};

TEST_F(LogLinesTest, RowsOfHandWrittenLines) {
  const std::string long_line = "2026-12-08 11:00:00 query " + std::string(274, 'x');  // 300
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::string> rows;
  };
  const std::vector<Case> cases = {
      {"19 characters and a line end are shown", "2026-12-08 11:00:00\n", {"2026-12-08 11:00:00"}},
      {"18 characters and a line end are skipped", "2026-12-08 11:00:0\n", {}},
      {"a line of 300 becomes rows of 255 and 45",
       long_line + "\n",
       {long_line.substr(0, 255), long_line.substr(255)}},
      {"a line of exactly 255 leaves its line end as a piece of its own",
       std::string(255, 'a') + "\n" + "2026-12-08 11:00:01 next\n",
       {std::string(255, 'a'), "2026-12-08 11:00:01 next"}},
      {"254 characters and the line end make one piece",
       std::string(254, 'b') + "\n",
       {std::string(254, 'b')}},
      {"a tail shorter than the minimum is dropped",
       std::string(255 + 10, 'c') + "\n",
       {std::string(255, 'c')}},
      {"CR LF line ends read like LF",
       "2026-12-08 11:00:00 query a\r\n2026-12-08 11:00:0\r\n",
       {"2026-12-08 11:00:00 query a"}},
      {"a last line without its line end is a row",
       "2026-12-08 11:00:00 one\n2026-12-08 11:00:01 two",
       {"2026-12-08 11:00:00 one", "2026-12-08 11:00:01 two"}},
      {"empty lines and blank headings are skipped",
       "\n\n2026-12-08 11:00:00 Norvane DNS Server 1.5.3 log started\n\n",
       {"2026-12-08 11:00:00 Norvane DNS Server 1.5.3 log started"}},
      {"an empty file has no rows", "", {}},
      {"a name with an escaped line end and escape sequence stays one row",
       "2026-12-08 11:00:00 query (127.0.0.1 udp) a\\0102026-12-08\\03211:00:00\\032x\\027[2J "
       "IN A\n",
       {"2026-12-08 11:00:00 query (127.0.0.1 udp) a\\0102026-12-08\\03211:00:00\\032x\\027[2J "
        "IN A"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = write("dns2612.log", c.bytes);
    EXPECT_EQ(index_rows(path, 1 << 20), c.rows);
    EXPECT_EQ(reader_rows(path), c.rows);
  }
}

TEST_F(LogLinesTest, SlicesCutWhereASequentialReadCuts) {
  // Lines of every length around the piece size and the minimum, CR LF ends
  // among them, cut by slices that end anywhere inside a piece.
  std::mt19937 random(14);
  std::string bytes;
  for (int line = 0; line < 600; ++line) {
    const size_t length = random() % 3 == 0 ? random() % 800 : 15 + random() % 15;
    for (size_t i = 0; i < length; ++i) bytes.push_back(static_cast<char>('a' + random() % 26));
    bytes += random() % 5 == 0 ? "\r\n" : "\n";
  }
  bytes += "2026-12-08 23:59:59 unfinished";
  const std::string path = write("dns261208.log", bytes);
  const std::vector<std::string> expected = reader_rows(path);
  ASSERT_GT(expected.size(), 300u);
  for (size_t budget : {size_t{1}, size_t{2}, size_t{19}, size_t{255}, size_t{256}, size_t{4096}}) {
    SCOPED_TRACE(budget);
    EXPECT_EQ(index_rows(path, budget), expected);
  }
}

TEST_F(LogLinesTest, FieldsAndIcons) {
  struct Case {
    std::string piece;
    const char* date;
    const char* time;
    const char* operation;
    bool query;
  };
  const std::vector<Case> cases = {
      {"2026-12-08 11:00:00 query (udp) 127.0.0.1 host.office.lan A", "2026-12-08", "11:00:00",
       "query (udp) 127.0.0.1 host.office.lan A", true},
      {"2026-12-08 11:00:00 Query upper case", "2026-12-08", "11:00:00", "Query upper case", true},
      {"2026-12-08 11:00:00 answer host A", "2026-12-08", "11:00:00", "answer host A", false},
      {"2026-12-08 11:00:00 query (udp) 10.0.0.5 a\\0102026\\032b IN A", "2026-12-08", "11:00:00",
       "query (udp) 10.0.0.5 a\\0102026\\032b IN A", true},
      {"2026-12-08 11:00:00 ", "2026-12-08", "11:00:00", "", false},
      {"2026-12-08 11:00:00", "2026-12-08", "11:00:00", "", false},
      // A continuation piece of a long line is cut at the same offsets.
      {"xxxxxxxxxxxxxxxxxxxxqxxx", "xxxxxxxxxx", "xxxxxxxx", "qxxx", true},
      {"short", "short", "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.piece);
    const LogFields fields = split_log_line(c.piece);
    EXPECT_EQ(fields.date, c.date);
    EXPECT_EQ(fields.time, c.time);
    EXPECT_EQ(fields.operation, c.operation);
    EXPECT_EQ(is_query_line(c.piece), c.query);
  }
}

TEST_F(LogLinesTest, ListsLogFilesSortedAndSelectsTheCurrentOne) {
  for (const char* name : {"dns2612.log", "DNS2611.LOG", "dns261208.log", "dns.log", "dns2612.txt",
                           "other.log", "xdns2612.log"})
    write(name, "2026-12-08 11:00:00 x\n");
  std::filesystem::create_directory(directory_ + "/dns2610.log");
  std::filesystem::create_symlink(directory_ + "/dns2612.log", directory_ + "/dns2609.log");
  const std::vector<std::string> expected = {"dns.log", "dns2609.log", "DNS2611.LOG", "dns2612.log",
                                             "dns261208.log"};
  EXPECT_EQ(list_log_files(directory_), expected);
  EXPECT_EQ(list_log_files(directory_ + "/"), expected);

  struct Case {
    std::time_t now;
    uint32_t create_log;
    const char* current;
    size_t selected;
  };
  const std::vector<Case> cases = {
      {local_time(2026, 12, 8), 0, "dns2612.log", 3},    // monthly
      {local_time(2026, 12, 8), 1, "dns261208.log", 4},  // daily
      {local_time(2026, 11, 3), 0, "dns2611.log", 2},    // matched ignoring case
      {local_time(2027, 1, 1), 1, "dns270101.log", 0},   // not there: the first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.current);
    const LogFileChoice choice = choose_log_files(directory_, c.now, c.create_log);
    EXPECT_EQ(choice.current, c.current);
    EXPECT_EQ(choice.names, expected);
    EXPECT_EQ(choice.selected, c.selected);
  }
}

TEST_F(LogLinesTest, WithoutLogFilesTheCurrentNameIsOffered) {
  write("notes.txt", "x");
  const LogFileChoice choice = choose_log_files(directory_, local_time(2026, 12, 8), 0);
  EXPECT_EQ(choice.names, std::vector<std::string>{"dns2612.log"});
  EXPECT_EQ(choice.selected, 0u);
  EXPECT_EQ(choose_log_files(directory_ + "/missing", local_time(2026, 12, 8), 1).names,
            std::vector<std::string>{"dns261208.log"});
}

TEST_F(LogLinesTest, FilesThatCannotBeReadGiveNoRows) {
  LogIndex index;
  EXPECT_FALSE(index.open(directory_ + "/dns2612.log"));
  EXPECT_TRUE(index.finished());
  EXPECT_FALSE(index.index_more(100));
  std::filesystem::create_directory(directory_ + "/dns2611.log");
  EXPECT_FALSE(index.open(directory_ + "/dns2611.log"));
  EXPECT_EQ(index.size(), 0u);
  EXPECT_TRUE(index.rows(0, 10).empty());
}

TEST_F(LogLinesTest, GrowingAndShrinkingFiles) {
  const std::string first = "2026-12-08 11:00:00 query one\n";
  const std::string path = write("dns2612.log", first);
  LogIndex index;
  ASSERT_TRUE(index.open(path));
  EXPECT_EQ(index.size_at_open(), first.size());
  // Lines written while the index is being built are part of it.
  std::ofstream(path, std::ios::app) << "2026-12-08 11:00:01 query two\n";
  while (index.index_more(8)) {
  }
  ASSERT_EQ(index.size(), 2u);
  EXPECT_EQ(index.rows(1, 5), std::vector<std::string>{"2026-12-08 11:00:01 query two"});
  // A file cut short behind the index's back gives empty rows, not garbage.
  std::filesystem::resize_file(path, first.size());
  EXPECT_EQ(index.rows(0, 2),
            (std::vector<std::string>{"2026-12-08 11:00:00 query one", std::string()}));
}

}  // namespace
}  // namespace norvane
