// A value that serving threads read often and administrators replace rarely:
// readers take a shared pointer to an immutable copy, writers swap in a new
// one. Thread-safe; the lock is held only for the pointer copy, never while
// the value is used.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace norvane {

template <class T>
class Snapshot {
 public:
  Snapshot() : value_(std::make_shared<const T>()) {}
  explicit Snapshot(T initial) : value_(std::make_shared<const T>(std::move(initial))) {}
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  std::shared_ptr<const T> get() const {
    std::lock_guard<std::mutex> guard(lock_);
    return value_;
  }
  void set(T value) {
    auto fresh = std::make_shared<const T>(std::move(value));
    std::lock_guard<std::mutex> guard(lock_);
    value_.swap(fresh);
  }

 private:
  mutable std::mutex lock_;
  std::shared_ptr<const T> value_;
};

}  // namespace norvane
