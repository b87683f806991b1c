// pallix's listing lines, from record and cache-entry images written byte by
// byte here rather than by the server's encoders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/control_messages.h"
#include "engine/record_text.h"

namespace norvane {
namespace {

// An image: handle 0x0102 (8 bytes), next handle, time, datum bytes as they
// travel, type, target length, name length, name, zero, target, zero.
std::vector<uint8_t> image(uint64_t next, uint32_t time, std::vector<uint8_t> datum, uint8_t type,
                           const std::string& name, const std::string& target = "") {
  std::vector<uint8_t> bytes = {0x02, 0x01, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(next >> (8 * i)));
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(time >> (8 * i)));
  bytes.insert(bytes.end(), datum.begin(), datum.end());
  bytes.insert(bytes.end(), {type, 0, 0, 0});
  bytes.push_back(static_cast<uint8_t>(target.size()));
  bytes.push_back(static_cast<uint8_t>(name.size()));
  bytes.insert(bytes.end(), name.begin(), name.end());
  bytes.push_back(0);
  bytes.insert(bytes.end(), target.begin(), target.end());
  bytes.push_back(0);
  return bytes;
}

std::optional<std::string> line_of(const std::vector<uint8_t>& bytes, ListingSource source,
                                   uint32_t now = 1000) {
  const std::optional<RecordImage> record = decode_record_image(bytes);
  if (!record) return "(image refused)";
  return listing_line(*record, source, now);
}

TEST(ClientListingTest, DatabaseLines) {
  struct Case {
    std::vector<uint8_t> bytes;
    const char* line;
  };
  const Case cases[] = {
      {image(7, 3600, {192, 168, 10, 20}, 1, "host.office.lan"),
       "host.office.lan.               \t3600\tA     192.168.10.20\t\n"},
      {image(0, 300, {0, 0, 0, 0}, 2, "office.lan", "ns1.office.lan"),
       "office.lan.                    \t300\tNS    ns1.office.lan.\t\n"},
      // The preference is a little-endian number: 0x010A is 266.
      {image(0, 60, {0x0A, 0x01, 0, 0}, 15, "office.lan", "mail.office.lan"),
       "office.lan.                    \t60\tMX    266   mail.office.lan.\t\n"},
      // 30 characters and the dot fill the column exactly; one more is cut,
      // dot and all.
      {image(0, 1, {1, 2, 3, 4}, 1, std::string(30, 'a')),
       "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.\t1\tA     1.2.3.4\t\n"},
      {image(0, 1, {1, 2, 3, 4}, 1, "a-name-that-is-longer-than-the-column.lan"),
       "a-name-that-is-longer-than-the-\t1\tA     1.2.3.4\t\n"},
      {image(0, 1, {1, 2, 3, 4}, 1, ""), ".                              \t1\tA     1.2.3.4\t\n"},
      // Types without a line of their own are not listed.
      {image(0, 1, {1, 2, 3, 4}, 6, "x.lan", "y"), nullptr},
      // An image that ends before its target's zero is no record.
      {std::vector<uint8_t>(30, 0), "(image refused)"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(line_of(c.bytes, ListingSource::kDatabase),
              c.line ? std::optional<std::string>(c.line) : std::nullopt);
}

TEST(ClientListingTest, CacheLinesShowTheRemainingLifetime) {
  EXPECT_EQ(line_of(image(0, 1090, {10, 0, 0, 1}, 1, "ext.example"), ListingSource::kCache, 1000),
            "ext.example.                   \t90\tA     10.0.0.1\t\n");
  // Dying this very second: still live, lifetime 0.
  EXPECT_EQ(line_of(image(0, 1000, {10, 0, 0, 1}, 1, "ext.example"), ListingSource::kCache, 1000),
            "ext.example.                   \t0\tA     10.0.0.1\t\n");
  EXPECT_EQ(line_of(image(0, 999, {10, 0, 0, 1}, 1, "ext.example"), ListingSource::kCache, 1000),
            std::nullopt);
  // A PTR entry: the owner is the reverse name of the address, the value the
  // host name it points to.
  EXPECT_EQ(line_of(image(0, 1005, {192, 0, 2, 7}, 12, "web.example"), ListingSource::kCache, 1000),
            "7.2.0.192.in-addr.arpa.        \t5\tPTR   web.example.\t\n");
  // The database lists TTLs as they are; an expiry test there would hide
  // every record with a TTL below the current time.
  EXPECT_TRUE(line_of(image(0, 5, {1, 2, 3, 4}, 1, "h"), ListingSource::kDatabase, 1000));
}

TEST(ClientListingTest, NamesCannotWriteControlSequences) {
  EXPECT_EQ(printable_name("a\x1b[2Jb"), "a\\027[2Jb");
  EXPECT_EQ(printable_name(std::string("a b\n\x7f\xff", 6)), "a\\032b\\010\\127\\255");
  EXPECT_EQ(printable_name("back\\slash"), "back\\\\slash");
  EXPECT_EQ(line_of(image(0, 1, {0, 0, 0, 0}, 2, "x\ry", "ns\a"), ListingSource::kDatabase),
            "x\\013y.                        \t1\tNS    ns\\007.\t\n");
}

}  // namespace
}  // namespace norvane
