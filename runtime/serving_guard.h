// The exception boundaries of the serving threads. Each serving thread (the
// listener loop, a TCP connection, a control connection, the refresh, the
// address watcher) catches at two levels: around one request, where running
// out of memory drops that request and serving goes on, and at the thread's
// top, where anything else is logged once instead of ending the process.
// Thread-safety: every function may be called from any thread.
#pragma once

#include <atomic>

#include "engine/log.h"

namespace norvane {

// A test hook for fault injection: when set, every request the network
// server or the control channel answers calls it first, and it may throw.
// Null outside tests; one relaxed load per request.
inline std::atomic<void (*)()> request_fault_hook{nullptr};

inline void request_fault_point() {
  if (void (*hook)() = request_fault_hook.load(std::memory_order_relaxed)) hook();
}

// Writes "<where>: unexpected exception: <what>" (level 1) for the exception
// being handled. Call only inside a catch block. Never throws.
void log_thread_exception(TransactionLog& log, const char* where) noexcept;

}  // namespace norvane
