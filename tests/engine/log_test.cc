// The transaction log's lines: names in their escaped log form, the line
// formatter against the C library's, and lines collected in a Batch reaching
// the stream whole, in order and in the right stream.
#include "engine/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/names.h"
#include "engine/query.h"
#include "tests/engine/engine_test_support.h"

namespace norvane {
namespace {

using namespace test_support;

TEST(EscapeNameTest, NonPrintableBytesBlanksAndBackslashesBecomeDecimalEscapes) {
  struct Case {
    std::string name;
    std::string logged;
  };
  const Case cases[] = {
      {"host.office.lan", "host.office.lan"},
      {"", ""},
      {"a\nb", "a\\010b"},
      {"x\r\n2026-01-01 00:00:00 forged", "x\\013\\0102026-01-01\\03200:00:00\\032forged"},
      {"\x1b[31mred", "\\027[31mred"},
      {"back\\slash", "back\\092slash"},
      {"tab\there", "tab\\009here"},
      {std::string("nul\0byte", 8), "nul\\000byte"},
      {"\x7f\x80\xff", "\\127\\128\\255"},
      {"!~*_-", "!~*_-"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapedName(c.name).c_str(), c.logged);
  }
}

TEST(EscapeNameTest, LongestNameFitsAndSmallBuffersCutBeforeAnEscape) {
  const std::string worst(255, '\n');
  EXPECT_EQ(std::string(EscapedName(worst).c_str()).size(), 255u * 4);

  char out[8];
  EXPECT_EQ(escape_name("ab\ncd", out, sizeof out), 7u);
  EXPECT_STREQ(out, "ab\\010c");
  // An escape is never cut in half.
  EXPECT_EQ(escape_name("abcd\n", out, sizeof out), 4u);
  EXPECT_STREQ(out, "abcd");
}

// Everything in `file`, whose C buffer is flushed first; the position is
// left at the end for more lines.
std::string read_whole(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string all;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) all.append(buffer, got);
  std::fseek(file, 0, SEEK_END);
  return all;
}

// The lines of `text` without their timestamps, each checked to start with
// one; `untimed` lines (listings) are taken as they are.
std::vector<std::string> events_in(const std::string& text, std::string_view untimed = {}) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (!untimed.empty() && line == untimed) {
      lines.push_back(line);
      continue;
    }
    EXPECT_TRUE(line.size() >= 20 && line[4] == '-' && line[13] == ':' && line[19] == ' ')
        << "no timestamp: " << line;
    lines.push_back(line.size() >= 20 ? line.substr(20) : line);
  }
  return lines;
}

// A log (its own, or a given one) writing into a temporary file.
class LogCapture {
 public:
  LogCapture() : LogCapture(own_) {}
  explicit LogCapture(TransactionLog& target) : log(target), file_(std::tmpfile()) {
    EXPECT_NE(file_, nullptr);
    log.set_level(3);
    log.set_stream(file_);
  }
  ~LogCapture() {
    log.set_stream(nullptr);
    if (file_ != nullptr) std::fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // What reached the file; lines still collected in a Batch have not.
  std::string text() { return read_whole(file_); }
  std::vector<std::string> events() { return events_in(text()); }

 private:
  TransactionLog own_;

 public:
  TransactionLog& log;

 private:
  std::FILE* file_;
};

template <class... Args>
void expect_like_printf(const char* format, Args... args) {
  LogCapture capture;
  capture.log.write(1, format, args...);
  char expected[512];
  std::snprintf(expected, sizeof expected, format, args...);
  const std::string text = capture.text();
  ASSERT_GE(text.size(), 20u) << format;
  EXPECT_EQ(text.substr(20), expected) << format;
}

TEST(LogFormatTest, LinesReadAsTheCLibraryWouldWriteThem) {
  expect_like_printf("query (%s udp) %s %s %s\n", "10.0.0.5", "host.office.lan", "IN", "A");
  expect_like_printf("local %s %u IN MX %u %s\n", "office.lan", 4294967295u, 0u, "mail");
  expect_like_printf("%s udp reply failed %d\n", "1.2.3.4", -1);
  expect_like_printf("%d %i %d\n", -2147483647 - 1, 0, 2147483647);
  expect_like_printf("packet id %x flags %x\n", 0xbeefu, 0u);
  expect_like_printf("%lu %llu %zu %ld %lld %zx\n", 7ul, 18446744073709551615ull, size_t{42}, -5l,
                     -9223372036854775807ll - 1, size_t{255});
  expect_like_printf("100%% %c%c\n", 'o', 'k');
  expect_like_printf("no conversions\n");
  // Flags, widths and precisions go to the C library's formatter whole,
  // whatever came before them in the format.
  expect_like_printf("%s [%5u] [%-4s] [%.2s] [%08x] [%+d]\n", "mixed", 42u, "ab", "xyz", 0xabu, 3);
  expect_like_printf("%u %p\n", 1u, static_cast<void*>(nullptr));
}

TEST(LogFormatTest, NullTextAndNoStreamAreHarmless) {
  LogCapture capture;
  // Hidden from the compiler, which refuses a literal null for "%s".
  const char* volatile missing = nullptr;
  capture.log.write(1, "name %s\n", missing);
  EXPECT_EQ(capture.events(), std::vector<std::string>{"name (null)"});

  TransactionLog closed;
  closed.write(1, "dropped %s\n", "line");
  closed.flush();
  TransactionLog::Batch lines(closed);
  closed.write(1, "dropped %s\n", "too");
}

TEST(LogBatchTest, LinesWaitForTheBatchEndAndKeepTheirOrder) {
  LogCapture capture;
  {
    TransactionLog::Batch lines(capture.log);
    capture.log.write(1, "first\n");
    capture.log.write(2, "second %u\n", 2u);
    capture.log.write(4, "above the level\n");
    EXPECT_EQ(capture.text(), "");
    capture.log.write(1, "third\n");
  }
  EXPECT_EQ(capture.events(), (std::vector<std::string>{"first", "second 2", "third"}));
}

TEST(LogBatchTest, FlushStreamSwitchAndListingsTakeTheCollectedLinesFirst) {
  LogCapture first;
  std::FILE* second = std::tmpfile();
  ASSERT_NE(second, nullptr);
  TransactionLog& log = first.log;
  {
    TransactionLog::Batch lines(log);
    log.write(1, "one\n");
    log.flush();
    EXPECT_EQ(first.events(), std::vector<std::string>{"one"});
    log.write(1, "two\n");
    // The new file takes only the lines written after the switch.
    std::FILE* previous = log.set_stream(second);
    log.write(1, "three\n");
    log.with_stream([](std::FILE* stream) { std::fputs("listing\n", stream); });
    log.write(1, "four\n");
    EXPECT_EQ(events_in(read_whole(second), "listing"),
              (std::vector<std::string>{"three", "listing"}));
    log.set_stream(previous);
  }
  EXPECT_EQ(first.events(), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(events_in(read_whole(second), "listing"),
            (std::vector<std::string>{"three", "listing", "four"}));
  std::fclose(second);
}

TEST(LogBatchTest, AFullBatchIsWrittenBeforeItEnds) {
  LogCapture capture;
  const std::string filler(200, 'x');
  TransactionLog::Batch lines(capture.log);
  size_t written = 0;
  while (written <= TransactionLog::kBatchLimit) {
    capture.log.write(1, "%s\n", filler.c_str());
    written += 20 + filler.size() + 1;
  }
  EXPECT_GE(capture.text().size(), TransactionLog::kBatchLimit);
}

TEST(LogBatchTest, OtherLogsAndOtherThreadsAreNotHeldBack) {
  LogCapture batched;
  LogCapture other;
  TransactionLog::Batch lines(batched.log);
  // A second Batch on the same thread, even of another log, does nothing.
  TransactionLog::Batch nested(other.log);
  batched.log.write(1, "held\n");
  other.log.write(1, "other log\n");
  std::thread([&batched] { batched.log.write(1, "other thread\n"); }).join();
  EXPECT_EQ(other.events(), std::vector<std::string>{"other log"});
  EXPECT_EQ(batched.events(), std::vector<std::string>{"other thread"});
  batched.log.flush();
  EXPECT_EQ(batched.events(), (std::vector<std::string>{"other thread", "held"}));
}

// A query whose name carries a line end, a terminal escape and a blank, in
// wire form written by hand: its query line is one line, and every byte of
// it printable.
TEST(LogInjectionTest, QueryNameWithControlBytesLogsAsOneEscapedLine) {
  Engine engine;
  LogCapture capture(engine.log);
  engine.log.set_level(1);
  const std::vector<uint8_t> query = {
      0x12, 0x34, 0x01, 0x00, 0,   1,   0,   0,    0,   0,   0,   0,    // id, RD, one question
      11,   'a',  '\n', '2',  '0', '2', '6', 0x1b, '[', '2', 'J', ' ',  // a\n2026 ESC[2J blank
      3,    'e',  'v',  'l',  0,                                        // .evl
      0,    1,    0,    1};                                             // A IN
  RequestContext context;
  context.client_address.sin_addr.s_addr = ipv4(10, 0, 0, 5);
  Reply reply;
  handle_message(engine, context, reply, kUdpReplyLimit, query);
  const std::string text = capture.text();
  EXPECT_EQ(events_in(text),
            std::vector<std::string>{"query (10.0.0.5 udp) a\\0102026\\027[2j\\032.evl IN A"});
  for (const char c : text.substr(0, text.size() - 1)) {
    EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << int(static_cast<unsigned char>(c));
  }
}

}  // namespace
}  // namespace norvane
