// The bounds-checked message reader over hand-written messages: every
// truncation of a message, hostile compression pointers, RDATA that runs past
// the end, and the 255-byte name limit. Messages are sized exactly, so a read
// past the end shows under AddressSanitizer.
#include "engine/wire_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/byte_order.h"

namespace norvane {
namespace {

// Header (one question, one answer, one additional) then "Www.example.com" A
// IN, an answer for it (owner compressed to the question) and an MX whose
// exchange points back at "example.com".
const std::vector<uint8_t> kReply = {
    0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 1,
    // question at 12
    3, 'W', 'w', 'w', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0, 0, 1, 0, 1,
    // answer at 33: owner -> 12, A IN, TTL 3600, 4 bytes
    0xC0, 12, 0, 1, 0, 1, 0, 0, 0x0E, 0x10, 0, 4, 192, 0, 2, 1,
    // additional at 49: owner -> 16 (example.com), MX IN, TTL 60, preference 10, "mx" -> 16
    0xC0, 16, 0, 15, 0, 1, 0, 0, 0, 60, 0, 7, 0, 10, 2, 'm', 'x', 0xC0, 16};

TEST(WireReaderTest, ReadsQuestionAndRecordsOfAWholeMessage) {
  WireReader reader(kReply, 12);
  const auto question = reader.read_question();
  ASSERT_TRUE(question);
  EXPECT_EQ(question->name.text, "www.example.com");
  EXPECT_TRUE(question->name.faithful);
  EXPECT_EQ(question->type, 1);
  EXPECT_EQ(question->question_class, 1);

  const auto answer = reader.read_record();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->owner.text, "www.example.com");
  EXPECT_EQ(answer->ttl, 3600u);
  EXPECT_EQ(answer->ttl_at, 39u);
  EXPECT_EQ(answer->rdata_at, 45u);
  EXPECT_EQ(answer->rdlength, 4);

  const auto mx = reader.read_record();
  ASSERT_TRUE(mx);
  EXPECT_EQ(mx->owner.text, "example.com");
  EXPECT_EQ(mx->type, 15);
  WireReader rdata = reader.rdata(*mx);
  EXPECT_EQ(rdata.read_u16(), 10);
  const auto exchange = rdata.read_name();
  ASSERT_TRUE(exchange);
  EXPECT_EQ(exchange->text, "mx.example.com");
  EXPECT_EQ(rdata.remaining(), 0u);
  EXPECT_EQ(reader.position(), kReply.size());
  EXPECT_FALSE(reader.read_u8());
}

// Every proper prefix of the message fails somewhere in the walk, never
// reads past it, and a failed read leaves the position where it was.
TEST(WireReaderTest, EveryTruncationFailsWithoutMoving) {
  for (size_t length = 12; length < kReply.size(); ++length) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> prefix(kReply.begin(), kReply.begin() + length);
    WireReader reader(prefix, 12);
    bool failed = false;
    size_t before = reader.position();
    if (!reader.read_question()) {
      failed = true;
    } else {
      for (int i = 0; i < 2 && !failed; ++i) {
        before = reader.position();
        failed = !reader.read_record();
      }
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(reader.position(), before);
  }
}

TEST(WireReaderTest, NumbersAreBigEndianAndBounded) {
  const std::vector<uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  WireReader reader(bytes);
  EXPECT_EQ(reader.read_u8(), 0x01);
  EXPECT_EQ(reader.read_u16(), 0x0203);
  EXPECT_EQ(reader.read_u32(), 0x04050607u);
  EXPECT_FALSE(reader.read_u8());
  WireReader bounded(bytes, 1, 4);
  EXPECT_FALSE(bounded.read_u32());
  EXPECT_EQ(bounded.read_u16(), 0x0203);
  EXPECT_FALSE(bounded.read_u16());
  EXPECT_EQ(bounded.read_u8(), 0x04);
}

struct BadName {
  const char* what;
  std::vector<uint8_t> body;  // placed behind a 12-byte header; the name starts at 12
};

TEST(WireReaderTest, RefusesHostileNames) {
  const BadName cases[] = {
      {"pointer to itself", {0xC0, 12}},
      {"forward pointer", {0xC0, 14, 1, 'a', 0}},
      {"pointer loop between two runs", {1, 'a', 0xC0, 16, 1, 'b', 0xC0, 12}},
      {"pointer outside the message", {0xC3, 0xFF}},
      {"pointer cut after its first byte", {1, 'a', 0xC0}},
      {"label past the end", {5, 'a', 'b'}},
      {"no terminating zero", {1, 'a'}},
      {"extended label type 01", {0x41, 'a', 0}},
      {"extended label type 10", {0x80, 0}},
      {"empty message body", {}},
  };
  for (const BadName& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> message(12, 0);
    message.insert(message.end(), c.body.begin(), c.body.end());
    WireReader reader(message, 12);
    EXPECT_FALSE(reader.read_name());
    EXPECT_EQ(reader.position(), 12u);
  }
}

// A pointer into the header is followed (the header is part of the message)
// and reported, since a reply cannot echo it.
TEST(WireReaderTest, ReportsPointersIntoTheHeader) {
  std::vector<uint8_t> message = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'h', 0, 0xC0, 10};
  WireReader reader(message, 13);
  const auto name = reader.read_name();
  ASSERT_TRUE(name);
  EXPECT_EQ(name->text, "h");
  EXPECT_TRUE(name->points_into_header);
  EXPECT_EQ(reader.position(), 15u);
}

// Labels holding a dot or a zero byte read, but are marked: their text
// stands for another name.
TEST(WireReaderTest, MarksNamesWhoseTextIsAmbiguous) {
  const std::vector<uint8_t> dotted = {3, 'a', '.', 'b', 0};
  const std::vector<uint8_t> zero = {3, 'a', 0, 'b', 0};
  const std::vector<uint8_t> plain = {1, 'A', 1, 'b', 0};
  EXPECT_FALSE(WireReader(dotted).read_name()->faithful);
  EXPECT_FALSE(WireReader(zero).read_name()->faithful);
  const auto name = WireReader(plain).read_name();
  EXPECT_TRUE(name->faithful);
  EXPECT_EQ(name->text, "a.b");
}

// A name of `total` bytes on the wire: labels of 63 and a shorter last one.
std::vector<uint8_t> name_of_length(size_t total) {
  std::vector<uint8_t> wire;
  size_t left = total - 1;  // the final zero
  while (left > 0) {
    const size_t label = std::min<size_t>(63, left - 1);
    wire.push_back(static_cast<uint8_t>(label));
    wire.insert(wire.end(), label, 'x');
    left -= 1 + label;
  }
  wire.push_back(0);
  return wire;
}

TEST(WireReaderTest, NamesUpTo255BytesOnTheWire) {
  for (size_t total : {254u, 255u, 256u, 300u}) {
    SCOPED_TRACE(total);
    const std::vector<uint8_t> wire = name_of_length(total);
    ASSERT_EQ(wire.size(), total);
    WireReader reader(wire);
    const auto name = reader.read_name();
    EXPECT_EQ(name.has_value(), total <= 255);
    if (name) {
      EXPECT_EQ(name->text.size(), total - 2);
    }
  }
  // The limit counts the name uncompressed: 200 bytes stored plus 100 behind
  // a pointer is too long.
  std::vector<uint8_t> message = name_of_length(100);
  const std::vector<uint8_t> front = name_of_length(200);
  message.insert(message.end(), front.begin(), front.end() - 1);
  message.push_back(0xC0);
  message.push_back(0);
  EXPECT_FALSE(WireReader(message, 100).read_name());
}

TEST(WireReaderTest, RecordsWhoseRdataPassesTheEndAreRefused) {
  // Root owner, type A, class IN, TTL 1, RDLENGTH 5 with four bytes present.
  std::vector<uint8_t> record = {0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 5, 1, 2, 3, 4};
  EXPECT_FALSE(WireReader(record).read_record());
  write_u16(record.data() + 9, 4);
  const auto read = WireReader(record).read_record();
  ASSERT_TRUE(read);
  EXPECT_EQ(read->rdata_end(), record.size());
  // RDLENGTH 65535 cannot wrap the bounds check.
  write_u16(record.data() + 9, 0xFFFF);
  EXPECT_FALSE(WireReader(record).read_record());
}

// A name in RDATA may point back anywhere but must end inside the RDATA.
TEST(WireReaderTest, RdataNamesEndInsideTheRdata) {
  // Owner "a", type NS, RDLENGTH 2 holding "\1b" whose terminator lies behind.
  const std::vector<uint8_t> message = {1, 'a', 0, 0, 2, 0, 1, 0, 0, 0, 1, 0, 2, 1, 'b', 0};
  WireReader reader(message);
  const auto record = reader.read_record();
  ASSERT_TRUE(record);
  EXPECT_FALSE(reader.rdata(*record).read_name());
}

}  // namespace
}  // namespace norvane
