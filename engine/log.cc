// Formatting and writing log lines; each thread formats into buffers of its
// own and takes the log lock only to hand finished lines to the stream.
#include "engine/log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "engine/text_helpers.h"

namespace norvane {
namespace {

// What one thread keeps for its log lines. Touched only by that thread.
struct ThreadLines {
  // The log whose Batch is open on this thread, if any, and its lines so far.
  const TransactionLog* batch_log = nullptr;
  std::string collected;
  // One line outside a Batch, formatted before the lock is taken.
  std::string line;
  // Formatting local time costs more than a whole line; lines come in bursts
  // within one second, so the text is made once per second and thread.
  std::time_t stamp_second = -1;
  size_t stamp_length = 0;
  char stamp[32] = {};
};

thread_local ThreadLines thread_lines;

void append_timestamp(ThreadLines& own, std::string& out) {
  const std::time_t now = std::time(nullptr);
  if (now != own.stamp_second) {
    format_timestamp(now, own.stamp, sizeof own.stamp);
    own.stamp_length = std::strlen(own.stamp);
    own.stamp_second = now;
  }
  out.append(own.stamp, own.stamp_length);
}

enum class Length { kInt, kLong, kLongLong, kSize };

void append_unsigned(std::string& out, unsigned long long value, unsigned base) {
  char digits[24];
  size_t at = sizeof digits;
  do {
    digits[--at] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value != 0);
  out.append(digits + at, sizeof digits - at);
}

void append_signed(std::string& out, long long value) {
  if (value < 0) {
    out += '-';
    append_unsigned(out, 0ull - static_cast<unsigned long long>(value), 10);
  } else {
    append_unsigned(out, static_cast<unsigned long long>(value), 10);
  }
}

// Fills `format` as vsnprintf would, as far as its conversions are the
// plain ones the log's lines use: %s %c %d %i %u %x and %%, each with at most
// one of the lengths l, ll and z, and no flags, width or precision. The C
// library's general machinery costs several times the whole line. Returns
// false at the first other conversion, with part of the line appended and
// the arguments partly taken.
bool append_plain(std::string& out, const char* format, va_list arguments) {
  const char* p = format;
  for (;;) {
    const char* text = p;
    while (*p != '\0' && *p != '%') ++p;
    out.append(text, static_cast<size_t>(p - text));
    if (*p == '\0') return true;
    ++p;
    Length length = Length::kInt;
    if (*p == 'l') {
      ++p;
      length = Length::kLong;
      if (*p == 'l') {
        ++p;
        length = Length::kLongLong;
      }
    } else if (*p == 'z') {
      ++p;
      length = Length::kSize;
    }
    const char conversion = *p++;
    switch (conversion) {
      case 's': {
        if (length != Length::kInt) return false;
        const char* value = va_arg(arguments, const char*);
        out.append(value != nullptr ? value : "(null)");
        break;
      }
      case 'c':
        if (length != Length::kInt) return false;
        out += static_cast<char>(va_arg(arguments, int));
        break;
      case 'd':
      case 'i':
        switch (length) {
          case Length::kInt:
            append_signed(out, va_arg(arguments, int));
            break;
          case Length::kLong:
            append_signed(out, va_arg(arguments, long));
            break;
          case Length::kLongLong:
            append_signed(out, va_arg(arguments, long long));
            break;
          case Length::kSize:
            append_signed(out, va_arg(arguments, ptrdiff_t));
            break;
        }
        break;
      case 'u':
      case 'x': {
        const unsigned base = conversion == 'u' ? 10 : 16;
        switch (length) {
          case Length::kInt:
            append_unsigned(out, va_arg(arguments, unsigned), base);
            break;
          case Length::kLong:
            append_unsigned(out, va_arg(arguments, unsigned long), base);
            break;
          case Length::kLongLong:
            append_unsigned(out, va_arg(arguments, unsigned long long), base);
            break;
          case Length::kSize:
            append_unsigned(out, va_arg(arguments, size_t), base);
            break;
        }
        break;
      }
      case '%':
        if (length != Length::kInt) return false;
        out += '%';
        break;
      default:
        return false;
    }
  }
}

// Appends `format` filled from `arguments` as vsnprintf would.
void append_formatted(std::string& out, const char* format, va_list arguments) {
  const size_t start = out.size();
  va_list again;
  va_copy(again, arguments);
  if (append_plain(out, format, arguments)) {
    va_end(again);
    return;
  }
  out.resize(start);
  va_list measure;
  va_copy(measure, again);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length > 0) {
    out.resize(start + static_cast<size_t>(length) + 1);
    std::vsnprintf(out.data() + start, static_cast<size_t>(length) + 1, format, again);
    out.resize(start + static_cast<size_t>(length));
  }
  va_end(again);
}

}  // namespace

std::FILE* TransactionLog::set_stream(std::FILE* stream) {
  std::lock_guard<std::mutex> guard(lock_);
  write_collected_locked();
  return stream_.exchange(stream, std::memory_order_relaxed);
}

void TransactionLog::write(uint32_t threshold, const char* format, ...) {
  if (level() < threshold || stream_.load(std::memory_order_relaxed) == nullptr) return;
  ThreadLines& own = thread_lines;
  const bool collecting = own.batch_log == this;
  std::string& out = collecting ? own.collected : own.line;
  if (!collecting) out.clear();
  const size_t start = out.size();
  try {
    append_timestamp(own, out);
    out += ' ';
    va_list arguments;
    va_start(arguments, format);
    append_formatted(out, format, arguments);
    va_end(arguments);
  } catch (const std::bad_alloc&) {
    // Out of memory: the line is lost, never half of it written.
    out.resize(start);
    return;
  }
  if (collecting && out.size() < kBatchLimit) return;
  std::lock_guard<std::mutex> guard(lock_);
  if (collecting) {
    write_collected_locked();
    return;
  }
  if (std::FILE* stream = stream_.load(std::memory_order_relaxed))
    std::fwrite(out.data(), 1, out.size(), stream);
}

void TransactionLog::flush() {
  std::lock_guard<std::mutex> guard(lock_);
  write_collected_locked();
  if (std::FILE* stream = stream_.load(std::memory_order_relaxed)) std::fflush(stream);
}

void TransactionLog::write_collected_locked() {
  ThreadLines& own = thread_lines;
  if (own.batch_log != this || own.collected.empty()) return;
  if (std::FILE* stream = stream_.load(std::memory_order_relaxed))
    std::fwrite(own.collected.data(), 1, own.collected.size(), stream);
  own.collected.clear();
}

const char* TransactionLog::timestamp_locked() {
  const std::time_t now = std::time(nullptr);
  if (now != timestamp_second_ || timestamp_[0] == '\0') {
    format_timestamp(now, timestamp_, sizeof timestamp_);
    timestamp_second_ = now;
  }
  return timestamp_;
}

TransactionLog::Batch::Batch(TransactionLog& log) : log_(nullptr) {
  ThreadLines& own = thread_lines;
  if (own.batch_log != nullptr) return;
  own.batch_log = &log;
  log_ = &log;
}

TransactionLog::Batch::~Batch() {
  if (log_ == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(log_->lock_);
    log_->write_collected_locked();
  }
  thread_lines.batch_log = nullptr;
}

}  // namespace norvane
