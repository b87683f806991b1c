// Listing, cutting and indexing transaction log files for the log viewer.
#include "runtime/log_lines.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "runtime/log_file.h"

namespace norvane {
namespace {

// Rows whose bytes lie closer together than this are fetched with one read.
constexpr uint64_t kJoinedReadLimit = 1 << 20;

bool matches_log_pattern(const std::string& name) {
  // "dns*.log": at least "dns" and ".log", the way the directory search of
  // the system that first wrote these files matched them, without case.
  return name.size() >= 7 && strncasecmp(name.c_str(), "dns", 3) == 0 &&
         strcasecmp(name.c_str() + name.size() - 4, ".log") == 0;
}

bool less_ignoring_case(const std::string& a, const std::string& b) {
  const int order = strcasecmp(a.c_str(), b.c_str());
  return order != 0 ? order < 0 : a < b;
}

// pread that retries interrupted calls and reads until `size` or the end.
ssize_t read_at(int fd, char* data, size_t size, uint64_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

std::vector<std::string> list_log_files(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  std::filesystem::directory_iterator entries(directory.empty() ? "." : directory, error);
  if (error) return names;
  for (const auto& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (!matches_log_pattern(name)) continue;
    // Only regular files (through symbolic links): a directory is no log,
    // and opening a FIFO for reading would wait for a writer.
    std::error_code status_error;
    if (!std::filesystem::is_regular_file(entry.status(status_error)) || status_error) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end(), less_ignoring_case);
  return names;
}

LogFileChoice choose_log_files(const std::string& directory, std::time_t now, uint32_t create_log) {
  LogFileChoice choice;
  choice.current = log_file_name(now, create_log);
  choice.names = list_log_files(directory);
  if (choice.names.empty()) choice.names.push_back(choice.current);
  for (size_t i = 0; i < choice.names.size(); ++i) {
    if (strcasecmp(choice.names[i].c_str(), choice.current.c_str()) == 0) {
      choice.selected = i;
      break;
    }
  }
  return choice;
}

LogFields split_log_line(std::string_view piece) {
  // Each field ends one character before the next starts: that character
  // is the separating blank.
  const auto field = [piece](size_t start, size_t next) -> std::string_view {
    if (start >= piece.size()) return {};
    const size_t end = std::min(piece.size(), next - 1);
    return piece.substr(start, end - start);
  };
  return {field(0, kLogTimeOffset), field(kLogTimeOffset, kLogOperationOffset),
          field(kLogOperationOffset, std::string_view::npos)};
}

bool is_query_line(std::string_view piece) {
  return piece.size() > kLogOperationOffset &&
         (piece[kLogOperationOffset] == 'q' || piece[kLogOperationOffset] == 'Q');
}

bool LogPieceReader::next(std::string* text, bool* line_end) {
  text->clear();
  *line_end = false;
  size_t taken = 0;
  int c = 0;
  while (taken < kLogPieceSize && (c = std::getc(file_)) != EOF) {
    ++taken;
    if (c == '\n') {
      *line_end = true;
      break;
    }
    text->push_back(static_cast<char>(c));
  }
  if (taken == 0) return false;
  // A file written with CR LF line ends reads like one written with LF.
  if (*line_end && !text->empty() && text->back() == '\r') text->pop_back();
  return true;
}

LogIndex::~LogIndex() { close(); }

void LogIndex::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  finished_ = true;
  read_offset_ = 0;
  size_at_open_ = 0;
  piece_start_ = 0;
  piece_length_ = 0;
  piece_ends_in_cr_ = false;
  offsets_.clear();
  offsets_.shrink_to_fit();
  lengths_.clear();
  lengths_.shrink_to_fit();
  buffer_.clear();
  buffer_.shrink_to_fit();
}

bool LogIndex::open(const std::string& path) {
  close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  finished_ = false;
  size_at_open_ = static_cast<uint64_t>(status.st_size);
  return true;
}

void LogIndex::end_piece(bool line_end) {
  size_t text = piece_length_;
  if (line_end && piece_ends_in_cr_ && text > 0) --text;
  if (log_piece_length(text, line_end) >= minimum_) {
    offsets_.push_back(piece_start_);
    lengths_.push_back(static_cast<uint8_t>(text));
  }
  piece_length_ = 0;
  piece_ends_in_cr_ = false;
}

bool LogIndex::index_more(size_t budget) {
  if (finished()) return false;
  budget = std::max<size_t>(budget, 1);
  if (buffer_.size() < budget) buffer_.resize(budget);
  const ssize_t got = read_at(fd_, buffer_.data(), budget, read_offset_);
  if (got <= 0) {
    // The end of the file (or a read error) closes the piece in progress:
    // a last line without its line end is still a row.
    if (piece_length_ > 0) end_piece(false);
    finished_ = true;
    return false;
  }
  const char* data = buffer_.data();
  const size_t size = static_cast<size_t>(got);
  const uint64_t base = read_offset_;
  size_t position = 0;
  while (position < size) {
    const void* found = std::memchr(data + position, '\n', size - position);
    const size_t stop =
        found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - data) : size;
    while (position < stop) {
      const size_t take = std::min(kLogPieceSize - piece_length_, stop - position);
      piece_length_ += take;
      position += take;
      piece_ends_in_cr_ = data[position - 1] == '\r';
      if (piece_length_ == kLogPieceSize) {
        end_piece(false);
        piece_start_ = base + position;
      }
    }
    if (found != nullptr) {
      ++position;
      end_piece(true);
      piece_start_ = base + position;
    }
  }
  read_offset_ += size;
  return true;
}

std::vector<std::string> LogIndex::rows(size_t first, size_t count) const {
  std::vector<std::string> texts;
  if (fd_ < 0 || first >= offsets_.size() || count == 0) return texts;
  const size_t last = std::min(offsets_.size(), first + count);
  texts.resize(last - first);
  const uint64_t begin = offsets_[first];
  const uint64_t end = offsets_[last - 1] + lengths_[last - 1];
  if (end - begin <= kJoinedReadLimit) {
    std::string bytes(static_cast<size_t>(end - begin), '\0');
    const ssize_t got = read_at(fd_, bytes.data(), bytes.size(), begin);
    const uint64_t available = got > 0 ? static_cast<uint64_t>(got) : 0;
    for (size_t row = first; row < last; ++row) {
      const uint64_t from = offsets_[row] - begin;
      if (from + lengths_[row] <= available) texts[row - first].assign(bytes, from, lengths_[row]);
    }
    return texts;
  }
  // Rows far apart (many skipped lines between them): one read each.
  for (size_t row = first; row < last; ++row) {
    std::string& text = texts[row - first];
    text.resize(lengths_[row]);
    if (read_at(fd_, text.data(), text.size(), offsets_[row]) != static_cast<ssize_t>(text.size()))
      text.clear();
  }
  return texts;
}

}  // namespace norvane
