// Reporting exceptions that reach a serving thread's top.
#include "runtime/serving_guard.h"

#include <exception>
#include <new>

namespace norvane {

void log_thread_exception(TransactionLog& log, const char* where) noexcept {
  try {
    const char* what = "unknown";
    try {
      throw;
    } catch (const std::exception& error) {
      what = error.what();
    } catch (...) {
    }
    log.write(1, "%s: unexpected exception: %s\n", where, what);
  } catch (...) {
    // Logging itself failed (memory, most likely): nothing more to do.
  }
}

}  // namespace norvane
