// Wire format: the header, name decoding on hostile input, name encoding and
// the type and class texts. Every message here is written out byte by byte and
// sized exactly, so a read past its end shows under AddressSanitizer.
#include "engine/dns_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace norvane {
namespace {

// A 12-byte header (contents irrelevant to name decoding) followed by `body`.
std::vector<uint8_t> message_with(const std::vector<uint8_t>& body) {
  std::vector<uint8_t> message(12 + body.size(), 0);
  std::copy(body.begin(), body.end(), message.begin() + 12);
  return message;
}

struct Decoded {
  std::string text;
  size_t next;
};

Decoded decode(const std::vector<uint8_t>& message, size_t position) {
  char text[kNameBufferSize];
  std::memset(text, 'x', sizeof text);
  const size_t next = decode_name(message.data(), message.size(), position, text, sizeof text);
  return {std::string(text, strnlen(text, sizeof text)), next};
}

TEST(DnsHeaderTest, FieldsAreReadAndWrittenBigEndianInOrder) {
  const std::vector<uint8_t> bytes = {0x12, 0x34, 0xA9, 0x83, 0x00, 0x01,
                                      0x00, 0x02, 0x00, 0x03, 0x01, 0x04};
  DnsHeader header;
  ASSERT_TRUE(DnsHeader::read(bytes, header));
  EXPECT_EQ(header.id, 0x1234);
  EXPECT_EQ(header.flags, 0xA983);
  EXPECT_EQ(header.qdcount, 1);
  EXPECT_EQ(header.ancount, 2);
  EXPECT_EQ(header.nscount, 3);
  EXPECT_EQ(header.arcount, 0x0104);
  EXPECT_EQ(header.opcode(), 5);
  EXPECT_EQ(header.rcode(), 3);

  uint8_t written[12] = {};
  header.write(written);
  EXPECT_EQ(std::vector<uint8_t>(written, written + 12), bytes);
}

TEST(DecodeNameTest, RootNameLeavesTheWholeBufferEmpty) {
  const auto message = message_with({0, 0, 1, 0, 1});
  char text[kNameBufferSize];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(decode_name(message.data(), message.size(), 12, text, sizeof text), 13u);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(text[1], '\0');  // callers read the name from the second character on
}

TEST(DecodeNameTest, NamesAreLoweredBackwardPointersFollowedAndPositionIsAfterFirstPointer) {
  // 12: "Host.LAN"  22: "b" -> 12  26: "c" -> 22  30: -> 26  32: 0x40-style -> 12
  const auto message = message_with({4,    'H', 'o',  's', 't', 3, 'L', 'A', 'N', 0,  //
                                     1,    'b', 0xC0, 12,                             //
                                     1,    'c', 0xC0, 22,                             //
                                     0xC0, 26,                                        //
                                     0x40, 12});
  struct Case {
    size_t position;
    const char* text;
    size_t next;
  };
  for (const Case& c :
       {Case{12, ".host.lan", 22}, Case{22, ".b.host.lan", 26}, Case{26, ".c.b.host.lan", 30},
        Case{30, ".c.b.host.lan", 32}, Case{32, ".host.lan", 34}}) {
    SCOPED_TRACE(c.position);
    const Decoded d = decode(message, c.position);
    EXPECT_EQ(d.text, c.text);
    EXPECT_EQ(d.next, c.next);
  }
}

// Pointers must land strictly before the run of labels that held them; anything
// else could loop, so decoding ends with the labels read so far.
TEST(DecodeNameTest, PointersThatDoNotMoveBackwardsEndTheName) {
  struct Case {
    const char* what;
    std::vector<uint8_t> body;
    size_t position;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"pointer to itself", {0xC0, 12}, 12, ""},
      {"labels then pointer to their own start", {1, 'a', 0xC0, 12}, 12, ".a"},
      {"pointer into its own run, behind the start", {1, 'a', 1, 'b', 0xC0, 14}, 12, ".a.b"},
      {"forward pointer", {0xC0, 14, 1, 'b', 0}, 12, ""},
      {"two pointers pointing at each other", {0xC0, 14, 0xC0, 12}, 14, ""},
      {"pointer past the end of the message", {3, 'a', 'b', 'c', 0xC0, 0xFF}, 12, ".abc"},
      {"pointer with 14-bit offset past the end", {1, 'a', 0xFF, 0xFF}, 12, ".a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto message = message_with(c.body);
    EXPECT_EQ(decode(message, c.position).text, c.text);
  }
}

TEST(DecodeNameTest, NameRunningPastTheEndReturnsPositionAtOrBeyondTheEnd) {
  const std::vector<std::vector<uint8_t>> bodies = {
      {5, 'a', 'b'},   // label longer than what is left
      {1, 'a'},        // no terminating zero byte
      {1, 'a', 0xC0},  // pointer cut after its first byte
  };
  for (const auto& body : bodies) {
    const auto message = message_with(body);
    SCOPED_TRACE(message.size());
    EXPECT_GE(decode(message, 12).next, message.size());
  }
}

TEST(DecodeNameTest, OverlongNameIsCutAtTheBufferButPositionSkipsTheWholeName) {
  std::vector<uint8_t> body;
  for (int label = 0; label < 5; ++label) {
    body.push_back(63);
    body.insert(body.end(), 63, static_cast<uint8_t>('a' + label));
  }
  body.push_back(0);
  const auto message = message_with(body);

  char text[kNameBufferSize + 8];
  std::memset(text, 'x', sizeof text);
  const size_t next = decode_name(message.data(), message.size(), 12, text, kNameBufferSize);
  EXPECT_EQ(next, 12u + 5 * 64 + 1);
  const size_t length = strnlen(text, kNameBufferSize);
  EXPECT_LT(length, kNameBufferSize);
  EXPECT_EQ(std::string(text, 65), "." + std::string(63, 'a') + ".");
  for (size_t i = kNameBufferSize; i < sizeof text; ++i) EXPECT_EQ(text[i], 'x') << i;
}

TEST(EncodeNameTest, NameBecomesLengthPrefixedLabelsWithZeroByte) {
  std::vector<uint8_t> expected = {4,   'm', 'a', 'i', 'l', 6,   'o', 'f', 'f',
                                   'i', 'c', 'e', 3,   'l', 'a', 'n', 0};
  uint8_t out[32];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(encode_name(out, "mail.office.lan", 15), out + 17);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 17), expected);
  EXPECT_EQ(out[17], 0xEE);

  std::vector<uint8_t> appended = {0xAB};
  append_name(appended, "mail.office.lan");
  expected.insert(expected.begin(), 0xAB);
  EXPECT_EQ(appended, expected);
}

TEST(MnemonicTest, KnownCodesHaveTheirTextsAndOthersTheirNumber) {
  struct Case {
    uint32_t code;
    const char* text;
  };
  for (const Case& c : {Case{1, "A"}, Case{2, "NS"}, Case{5, "CNAME"}, Case{6, "SOA"},
                        Case{12, "PTR"}, Case{15, "MX"}, Case{252, "AXFR"}, Case{255, "ANY"},
                        Case{28, "Type 28"}, Case{0, "Type 0"}, Case{65535, "Type 65535"}}) {
    EXPECT_STREQ(type_mnemonic(c.code), c.text);
  }
  EXPECT_STREQ(class_mnemonic(1), "IN");
  EXPECT_STREQ(class_mnemonic(3), "Class 3");
  EXPECT_STREQ(class_mnemonic(255), "Class 255");
}

TEST(ValidTextNameTest, LabelAndTotalLengthLimitsAreEnforced) {
  const std::string label63(63, 'a');
  const std::string name255 = label63 + "." + label63 + "." + label63 + "." + label63;
  const std::string name256 =
      label63 + "." + label63 + "." + label63 + "." + std::string(62, 'b') + ".c";
  ASSERT_EQ(name255.size(), 255u);
  ASSERT_EQ(name256.size(), 256u);
  struct Case {
    std::string name;
    bool valid;
  };
  for (const Case& c : {Case{"", true}, Case{"office.lan", true}, Case{label63 + ".lan", true},
                        Case{label63 + "a.lan", false}, Case{name255, true}, Case{name256, false},
                        Case{"a..lan", false}, Case{".lan", false}, Case{"lan.", false}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(valid_text_name(c.name), c.valid);
  }
}

}  // namespace
}  // namespace norvane
