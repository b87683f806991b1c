// Base of the classes that own something that must exist once: a thread, a
// claim on the database, a stream's pending lines. Deriving from it states
// that in one word instead of two deleted members in every such class.
#pragma once

namespace norvane {

class NonCopyable {
 public:
  NonCopyable(const NonCopyable&) = delete;
  NonCopyable& operator=(const NonCopyable&) = delete;

 protected:
  NonCopyable() = default;
  ~NonCopyable() = default;
};

}  // namespace norvane
