// The control channel's byte layouts checked against hand-written bytes, so a
// fault in an encoder cannot hide behind the same fault in its decoder.
#include "control/control_messages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace norvane {
namespace {

using Bytes = std::vector<uint8_t>;

void append(Bytes& out, std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }
void append_text(Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

TEST(ControlFramingTest, FieldsBeyondTheReceivedBytesReadAsZero) {
  const Bytes three = {0x11, 0x22, 0x33};
  EXPECT_EQ(read_le32(three, 0), 0x00332211u);
  EXPECT_EQ(read_le32(three, 4), 0u);
  EXPECT_EQ(read_le64(three, 1), 0x3322u);
  EXPECT_EQ(read_le64(three, SIZE_MAX - 2), 0u);  // offset arithmetic must not wrap
  Bytes small(2);
  write_le32(small, 0, 0xAABBCCDD);  // clipped, never written past the end
  EXPECT_EQ(small, (Bytes{0xDD, 0xCC}));
}

TEST(ControlFramingTest, MessageHeaderIsLittleEndianAndPayloadIsBounded) {
  ControlMessage message{kControlAddRecord, 15, {0xAB}};
  EXPECT_EQ(*encode_control_message(message), (Bytes{11, 0, 0, 0, 15, 0, 0, 0, 0xAB}));
  message.payload.assign(kControlPayloadSize + 1, 0);
  EXPECT_FALSE(encode_control_message(message));

  EXPECT_FALSE(decode_control_message(Bytes{2, 0, 0}));
  auto status_only = decode_control_message(Bytes{0x0C, 0, 0, 0});
  ASSERT_TRUE(status_only);
  EXPECT_EQ(status_only->code, 12u);
  EXPECT_EQ(status_only->value, 0u);
  EXPECT_TRUE(status_only->payload.empty());
}

TEST(ControlRequestTest, AddRecordPayload) {
  // MX 10 mail.office.lan for office.lan, TTL 3600.
  Bytes expected = {0x10, 0x0E, 0, 0, 10, 0, 0, 0};
  append_text(expected, "office.lan");
  expected.push_back(0);
  append_text(expected, "mail.office.lan");
  expected.push_back(0);
  AddRecordRequest request{3600, 10, "office.lan", "mail.office.lan"};
  EXPECT_EQ(*encode_add_record_request(request), expected);
  auto decoded = decode_add_record_request(expected);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->ttl, 3600u);
  EXPECT_EQ(decoded->datum, 10u);
  EXPECT_EQ(decoded->owner, "office.lan");
  EXPECT_EQ(decoded->target, "mail.office.lan");

  // An A record carries a lone zero as its target.
  Bytes a_record = {0, 0, 0, 0, 192, 168, 1, 5, 'h', 0, 0};
  auto a = decode_add_record_request(a_record);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->target, "");
  // A target without its zero is refused, not read past the payload.
  a_record.pop_back();
  EXPECT_FALSE(decode_add_record_request(a_record));
  EXPECT_FALSE(encode_add_record_request({0, 0, std::string("a\0b", 3), ""}));
}

TEST(ControlRequestTest, WriteSettingStringsCarryTheirZeroInTheirLength) {
  Bytes expected = {7};
  append_text(expected, "Velisk");
  append(expected, {0, 5});
  append_text(expected, "Port");
  append(expected, {0, 5});
  append_text(expected, "5353");
  expected.push_back(0);
  WriteSettingRequest request{"Velisk", "Port", "5353"};
  EXPECT_EQ(*encode_write_setting_request(request), expected);
  auto decoded = decode_write_setting_request(expected);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded->key, "Velisk");
  EXPECT_EQ(*decoded->value_name, "Port");
  EXPECT_EQ(*decoded->data, "5353");

  // Absent data (length 0) deletes the value.
  auto deleting = decode_write_setting_request(Bytes{2, 'K', 0, 2, 'V', 0, 0});
  ASSERT_TRUE(deleting);
  EXPECT_FALSE(deleting->data);
}

TEST(ControlRequestTest, MalformedWriteSettingIsRefused) {
  const std::vector<Bytes> cases = {
      {},                            // nothing at all
      {2, 'K', 0},                   // stops after the key
      {9, 'K', 0},                   // length runs past the payload
      {2, 'K', 'x', 2, 'V', 0, 0},   // last byte of the key is not its zero
      {3, 'K', 0, 0, 2, 'V', 0, 0},  // a zero inside the key
  };
  for (const Bytes& payload : cases) {
    EXPECT_FALSE(decode_write_setting_request(payload)) << payload.size();
  }
}

TEST(ControlImageTest, StatisticsCountersInTheirOrder) {
  StatisticsImage counters{};
  for (uint32_t i = 0; i < kStatisticsCounters; ++i) counters[i] = 0x01000000u * (i + 1) + i;
  const auto bytes = encode_statistics_image(counters);
  EXPECT_EQ(bytes[0], 0x00);
  EXPECT_EQ(bytes[3], 0x01);
  EXPECT_EQ(bytes[40], 10);  // error replies, the eleventh counter
  EXPECT_EQ(bytes[43], 11);
  EXPECT_EQ(*decode_statistics_image(bytes), counters);
  EXPECT_FALSE(decode_statistics_image(std::span<const uint8_t>(bytes).first(43)));
}

TEST(ControlImageTest, ZoneImageLayout) {
  ZoneImage image;
  image.first_record = 0x0102030405060708ull;
  image.loaded_at = 1700000000;
  image.soa.serial = 2026120701;
  image.soa.refresh = 3600;
  image.soa.retry = 600;
  image.soa.expire = 86400;
  image.soa.minimum = 300;
  image.soa.domain = "office.lan";
  image.soa.primary = "ns1.office.lan";
  image.soa.mailbox = "hostmaster.office.lan";
  const auto bytes = encode_zone_image(image);
  EXPECT_EQ(bytes[0], 0x08);
  EXPECT_EQ(bytes[7], 0x01);
  EXPECT_EQ(read_le64(bytes, 8), 1700000000u);
  EXPECT_EQ(bytes[32], 0xFD);  // 2026120701 = 0x78C4_8DFD
  EXPECT_EQ(bytes[35], 0x78);
  EXPECT_EQ(read_le32(bytes, 48), 300u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[52])), "office.lan");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[308])), "ns1.office.lan");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[564])), "hostmaster.office.lan");
  EXPECT_EQ(*decode_zone_image(bytes), image);

  // A name too long for its field travels empty, not cut into another name.
  image.soa.domain.assign(256, 'a');
  EXPECT_EQ(encode_zone_image(image)[52], 0);

  auto unterminated = bytes;
  std::fill(unterminated.begin() + 308, unterminated.begin() + 564, 'x');
  EXPECT_FALSE(decode_zone_image(unterminated));
  EXPECT_FALSE(decode_zone_image(std::span<const uint8_t>(bytes).first(823)));
}

TEST(ControlImageTest, ZoneRecordImageHasTheCacheEntryShape) {
  Bytes expected = {1,    0,    0, 0, 0, 0, 0, 0,  // handle
                    2,    0,    0, 0, 0, 0, 0, 0,  // next
                    0x2C, 0x01, 0, 0,              // TTL 300
                    10,   0,    0, 0,              // preference 10
                    15,   0,    0, 0,              // MX
                    4,                             // target length
                    3};                            // owner length
  append_text(expected, "lan");
  expected.push_back(0);
  append_text(expected, "mail");
  expected.push_back(0);
  ASSERT_EQ(expected.size(), 32u + 3 + 4);
  RecordImage image{1, 2, 300, 10, 15, "lan", "mail"};
  EXPECT_EQ(*encode_record_image(image), expected);
  EXPECT_EQ(*decode_record_image(expected), image);

  // The same bytes are a valid cache entry image (expiry where the TTL is).
  auto entry = decode_cache_entry_image(expected);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, "lan");
  EXPECT_EQ(entry->target, "mail");
}

TEST(ControlImageTest, ZoneRecordImageLengthsAreTheAuthority) {
  Bytes base = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,   0, 0, 0,
                0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 'h', 0, 0};
  ASSERT_TRUE(decode_record_image(base));
  Bytes owner_too_long = base;
  owner_too_long[29] = 200;  // announces more than was sent
  EXPECT_FALSE(decode_record_image(owner_too_long));
  Bytes no_zero = base;
  no_zero[31] = 'x';
  EXPECT_FALSE(decode_record_image(no_zero));
  EXPECT_FALSE(encode_record_image({1, 0, 0, 0, 1, std::string(256, 'a'), ""}));
}

TEST(ControlImageTest, AccessRangeImage) {
  Bytes bytes = {9,    0,    0,    0,   0, 0, 0,    0,    'Q',  ' ',
                 'Z',  0,    0,    0,   0, 0, 0x00, 0x0A, 0xA8, 0xC0,  // 192.168.10.0 as a number
                 0xFF, 0x0A, 0xA8, 0xC0};                              // 192.168.10.255
  auto range = decode_access_range_image(bytes);
  ASSERT_TRUE(range);
  EXPECT_EQ(range->next, 9u);
  EXPECT_EQ(range->rights, "Q Z");
  EXPECT_EQ(range->first, 0xC0A80A00u);
  EXPECT_EQ(range->last, 0xC0A80AFFu);
  std::fill(bytes.begin() + 8, bytes.begin() + 16, 'Q');
  EXPECT_FALSE(decode_access_range_image(bytes));
}

TEST(ControlImageTest, FindRecordKeepsTheWindowsLayout) {
  FindRecord record;
  record.attributes = kFileAttributeNormal;
  record.creation_time = file_time_from_unix(0, 0);
  record.write_time = file_time_from_unix(1, 500);
  record.size = 0x0000000500000010ull;
  record.name = "dns2612.log";
  const auto bytes = *encode_find_record(record);
  EXPECT_EQ(read_le32(bytes, 0), 0x80u);
  // 1970-01-01 is 116444736000000000 intervals after 1601-01-01.
  EXPECT_EQ(read_le64(bytes, 4), 116444736000000000ull);
  EXPECT_EQ(read_le64(bytes, 20), 116444736000000000ull + 10000000 + 5);
  EXPECT_EQ(read_le32(bytes, 28), 5u);   // size high
  EXPECT_EQ(read_le32(bytes, 32), 16u);  // size low
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[44])), "dns2612.log");
  EXPECT_EQ(bytes[304], 0);  // empty short name
  EXPECT_EQ(*decode_find_record(bytes), record);

  record.name.assign(260, 'n');
  EXPECT_FALSE(encode_find_record(record));
  record.name.assign(259, 'n');
  EXPECT_TRUE(encode_find_record(record));
  EXPECT_EQ(file_time_from_unix(-20000000000, 0), 0u);  // before 1601
}

}  // namespace
}  // namespace norvane
