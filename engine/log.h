// The transaction log as the engine writes to it: the log level, the log lock
// and the stream lines go to. Which file is open (and when it changes) is the
// runtime's business; the engine only writes lines. Thread-safe: every write
// takes the log lock, which is the innermost lock of the system.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace norvane {

class TransactionLog {
 public:
  TransactionLog() = default;
  TransactionLog(const TransactionLog&) = delete;
  TransactionLog& operator=(const TransactionLog&) = delete;

  // 0 nothing; 1 transactions; 2 details; 3 also packet headers.
  uint32_t level() const { return level_.load(std::memory_order_relaxed); }
  void set_level(uint32_t level) { level_.store(level, std::memory_order_relaxed); }
  bool enabled(uint32_t threshold) const { return level() >= threshold; }

  // Makes `stream` (not owned; may be null) the target of every later line and
  // returns the previous one. The caller closes streams it owns.
  std::FILE* set_stream(std::FILE* stream) {
    std::lock_guard<std::mutex> guard(lock_);
    std::FILE* previous = stream_;
    stream_ = stream;
    return previous;
  }

  // Writes one line when the level is at least `threshold` and a stream is
  // open: the timestamp and a blank, then `format` filled from the arguments
  // as printf does. The timestamp is made under the log lock, so lines carry
  // times in the order they were written. Lines written while no stream is
  // open are dropped.
  void write(uint32_t threshold, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Runs `body(stream)` under the log lock when a stream is open; for listings
  // that span many lines (the database dump). Returns whether it ran.
  template <class Body>
  bool with_stream(Body&& body) {
    std::lock_guard<std::mutex> guard(lock_);
    if (stream_ == nullptr) return false;
    body(stream_);
    return true;
  }

  // Flushes the stream under the log lock.
  void flush() {
    std::lock_guard<std::mutex> guard(lock_);
    if (stream_ != nullptr) std::fflush(stream_);
  }

  // The current local time as "%Y-%m-%d %H:%M:%S"; only valid while the log
  // lock is held (inside write or with_stream).
  const char* timestamp_locked();

 private:
  std::atomic<uint32_t> level_{1};
  std::mutex lock_;
  std::FILE* stream_ = nullptr;
  char timestamp_[31] = {};
  std::time_t timestamp_second_ = 0;
};

}  // namespace norvane
