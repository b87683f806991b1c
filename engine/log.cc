// The transaction log's timestamp.
#include "engine/log.h"

#include <cstdarg>
#include <ctime>

#include "engine/text_helpers.h"

namespace norvane {

void TransactionLog::write(uint32_t threshold, const char* format, ...) {
  if (level() < threshold) return;
  std::lock_guard<std::mutex> guard(lock_);
  if (stream_ == nullptr) return;
  std::fputs(timestamp_locked(), stream_);
  std::fputc(' ', stream_);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stream_, format, arguments);
  va_end(arguments);
}

const char* TransactionLog::timestamp_locked() {
  // Formatting local time is far dearer than the line itself; lines come in
  // bursts within one second, so the text is made once per second.
  const std::time_t now = std::time(nullptr);
  if (now != timestamp_second_ || timestamp_[0] == '\0') {
    format_timestamp(now, timestamp_, sizeof timestamp_);
    timestamp_second_ = now;
  }
  return timestamp_;
}

}  // namespace norvane
