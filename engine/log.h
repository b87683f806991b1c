// The transaction log as the engine writes to it: the log level, the log lock
// and the stream lines go to. Which file is open (and when it changes) is the
// runtime's business; the engine only writes lines. Thread-safe: every write
// to the stream takes the log lock, which is the innermost lock of the system;
// a thread inside a Batch collects its lines without any lock and writes them
// in one go.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "engine/non_copyable.h"

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
  // returns the previous one. Lines the calling thread has collected in a
  // Batch go to the previous stream first. The caller closes streams it owns.
  std::FILE* set_stream(std::FILE* stream);

  // Writes one line when the level is at least `threshold` and a stream is
  // open: the timestamp and a blank, then `format` filled from the arguments
  // as printf does. Inside a Batch of this log the line is only collected;
  // otherwise it goes to the stream under the log lock at once. The line is
  // formatted outside the lock, so lines of different threads written within
  // the same second may reach the stream in either order. Lines written while
  // no stream is open are dropped.
  void write(uint32_t threshold, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Runs `body(stream)` under the log lock when a stream is open; for listings
  // that span many lines (the database dump). The calling thread's collected
  // lines go first. Returns whether it ran.
  template <class Body>
  bool with_stream(Body&& body) {
    std::lock_guard<std::mutex> guard(lock_);
    write_collected_locked();
    std::FILE* stream = stream_.load(std::memory_order_relaxed);
    if (stream == nullptr) return false;
    body(stream);
    return true;
  }

  // Writes the calling thread's collected lines and flushes the stream, under
  // the log lock.
  void flush();

  // The current local time as "%Y-%m-%d %H:%M:%S"; only valid while the log
  // lock is held (inside with_stream).
  const char* timestamp_locked();

  // While a Batch lives, the lines its thread writes to `log` are collected in
  // a buffer of that thread, without taking the log lock, and reach the
  // stream with one write: at flush(), when the buffer has grown past
  // kBatchLimit, when the stream changes, and at the latest when the Batch
  // ends. A serving loop opens one per turn, so that a turn costs one write
  // however many requests it answers. A Batch opened while the thread already
  // has one (of any log) does nothing. Owned by the thread that made it.
  class Batch : NonCopyable {
   public:
    explicit Batch(TransactionLog& log);
    ~Batch();

   private:
    // Null when this Batch does nothing.
    TransactionLog* log_;
  };

  // Collected bytes past which a Batch writes them out before the next line.
  static constexpr size_t kBatchLimit = 48 * 1024;

 private:
  // Writes the calling thread's collected lines of this log, if any, to the
  // stream (dropping them when none is open). Log lock held.
  void write_collected_locked();

  std::atomic<uint32_t> level_{1};
  std::mutex lock_;
  // Written under lock_; read without it only to skip formatting a line
  // that would be dropped.
  std::atomic<std::FILE*> stream_{nullptr};
  char timestamp_[31] = {};
  std::time_t timestamp_second_ = 0;
};

}  // namespace norvane
