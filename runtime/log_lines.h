// Reading transaction log files for the log viewer: which files the data
// directory holds, how a file is cut into rows (pieces of at most 255
// characters) and split into date, time and operation, and an index of the
// rows' offsets that is built a slice at a time, so that a file of a busy
// server loads without holding up its caller. Qt-free; a LogIndex belongs to
// one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// The longest piece one read takes: 255 characters, the line end included
// when it falls inside them.
inline constexpr size_t kLogPieceSize = 255;
// Pieces shorter than this (line end included) are not shown: they cannot
// hold a timestamp.
inline constexpr size_t kLogMinimumLength = 20;
// Where the time and the operation start in a line; the date starts at 0.
inline constexpr size_t kLogTimeOffset = 11;
inline constexpr size_t kLogOperationOffset = 20;

// Names of the regular files in `directory` that match "dns*.log" (ignoring
// case), sorted ignoring case. Empty when the folder cannot be read.
std::vector<std::string> list_log_files(const std::string& directory);

// The files a viewer offers and which of them it selects first.
struct LogFileChoice {
  std::vector<std::string> names;  // never empty
  size_t selected = 0;
  // The file being written now ("dns%y%m%d.log" or "dns%y%m.log").
  std::string current;
};

// The files of `directory`, or the current name alone when there is none;
// the entry equal to the current name (ignoring case) is selected, else the
// first. `create_log` non-zero means daily files.
LogFileChoice choose_log_files(const std::string& directory, std::time_t now, uint32_t create_log);

// One row's fields: the date from offset 0, the time from 11 and the
// operation from 20, each ending before the blank that precedes the next.
// Fields past the end of a short piece are empty.
struct LogFields {
  std::string_view date;
  std::string_view time;
  std::string_view operation;
};
LogFields split_log_line(std::string_view piece);

// True when the operation starts with "q" or "Q" (a query line).
bool is_query_line(std::string_view piece);

// Reads a file piece by piece, each piece being what one read of at most 255
// characters returns: a whole line, or the next part of a longer one.
class LogPieceReader {
 public:
  // `file` is borrowed and read from its current position.
  explicit LogPieceReader(std::FILE* file) : file_(file) {}

  // The next piece without its line end (nor the carriage return before it);
  // `line_end` tells whether it had one. False at the end of the file.
  bool next(std::string* text, bool* line_end);

 private:
  std::FILE* file_;
};

// Length of a piece as the minimum is compared with: its text plus the line
// end when it had one.
inline size_t log_piece_length(size_t text_length, bool line_end) {
  return text_length + (line_end ? 1 : 0);
}

// The rows of one log file as offsets into it. Built by index_more slices;
// rows already indexed stay valid while the file grows, and their texts are
// read from the file when asked for.
class LogIndex {
 public:
  explicit LogIndex(size_t minimum_length = kLogMinimumLength) : minimum_(minimum_length) {}
  ~LogIndex();
  LogIndex(const LogIndex&) = delete;
  LogIndex& operator=(const LogIndex&) = delete;

  // Forgets any earlier file and opens `path` for reading. False (and an
  // empty, finished index) when it cannot be opened.
  bool open(const std::string& path);
  void close();

  // Reads and indexes up to `budget` more bytes. Returns false once the end
  // of the file has been reached (the index is then finished), or on a read
  // error, which ends the index where it is.
  bool index_more(size_t budget);
  bool finished() const { return fd_ < 0 || finished_; }

  // Rows found so far, and how much of the file has been read (for progress).
  size_t size() const { return offsets_.size(); }
  uint64_t bytes_read() const { return read_offset_; }
  // The file's size when it was opened.
  uint64_t size_at_open() const { return size_at_open_; }

  // The texts of rows [first, first + count) (clipped to the rows there are),
  // without line ends. A row that can no longer be read (the file was cut
  // short behind our back) comes back empty.
  std::vector<std::string> rows(size_t first, size_t count) const;

  // Bytes the index itself holds per row (for the memory figures).
  static constexpr size_t kBytesPerRow = sizeof(uint64_t) + sizeof(uint8_t);

 private:
  void end_piece(bool line_end);

  size_t minimum_;
  int fd_ = -1;
  bool finished_ = true;
  uint64_t read_offset_ = 0;
  uint64_t size_at_open_ = 0;
  // The piece being scanned: where it starts, how many bytes it has so far
  // and whether its last byte is a carriage return.
  uint64_t piece_start_ = 0;
  size_t piece_length_ = 0;
  bool piece_ends_in_cr_ = false;
  std::vector<uint64_t> offsets_;
  std::vector<uint8_t> lengths_;  // text length, at most 255
  std::vector<char> buffer_;
};

}  // namespace norvane
