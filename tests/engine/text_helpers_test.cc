// Dotted-quad formatting and the two parsers.
#include "engine/text_helpers.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/engine/engine_test_support.h"

namespace norvane {
namespace {

using test_support::ipv4;

TEST(TextHelpersTest, FormatWritesTheNetworkOrderBytesInTheirOrder) {
  char buffer[kIpv4TextSize];
  EXPECT_EQ(format_ipv4(ipv4(192, 168, 1, 10), buffer), buffer);
  EXPECT_STREQ(buffer, "192.168.1.10");
  EXPECT_STREQ(format_ipv4(ipv4(255, 255, 255, 255), buffer), "255.255.255.255");
  EXPECT_STREQ(format_ipv4(0, buffer), "0.0.0.0");
}

TEST(TextHelpersTest, ParseAcceptsOnlyExactlyFourOctets) {
  struct Case {
    const char* text;
    uint32_t address;
    int valid;
  };
  const Case cases[] = {
      {"1.2.3.4", ipv4(1, 2, 3, 4), 1},
      {"255.255.255.255", ipv4(255, 255, 255, 255), 1},
      {"0.0.0.0", 0, 1},
      {"1.2.3.4x", 0, 0},
      {"1.2.3", 0, 0},
      {"1.2.3.4.5", 0, 0},
      {"256.1.1.1", 0, 0},
      {"1.2.3.256", 0, 0},
      {"", 0, 0},
      {"1..2.3", 0, 0},
      {"1.2.3.4 ", 0, 0},
      {" 1.2.3.4", 0, 0},
      {"-1.2.3.4", 0, 0},
      // 2^32 + 1 must not wrap around to a valid octet.
      {"4294967297.1.1.1", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    int valid = -1;
    EXPECT_EQ(parse_ipv4(c.text, &valid), c.address);
    EXPECT_EQ(valid, c.valid);
    EXPECT_EQ(parse_ipv4(c.text), c.address);
  }
}

TEST(TextHelpersTest, PrefixParseReturnsTheRestOrNullOnFailure) {
  struct Case {
    const char* text;
    uint32_t address;
    const char* rest;  // null: failure
  };
  const Case cases[] = {
      {"10.0.0.0/8", ipv4(10, 0, 0, 0), "/8"},
      {"192.168.1.10", ipv4(192, 168, 1, 10), ""},
      {"1.2.3.4 5.6.7.8", ipv4(1, 2, 3, 4), " 5.6.7.8"},
      {"1.2.3/24", 0, nullptr},
      {"300.1.1.1/8", 0, nullptr},
      {"abc", 0, nullptr},
      {"", 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t address = 0xDEADBEEF;
    const char* rest = parse_ipv4_prefix(c.text, &address);
    EXPECT_EQ(address, c.address);
    if (c.rest == nullptr) {
      EXPECT_EQ(rest, nullptr);
    } else {
      ASSERT_NE(rest, nullptr);
      EXPECT_STREQ(rest, c.rest);
    }
  }
}

}  // namespace
}  // namespace norvane
