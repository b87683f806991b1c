// pallix's command-line words: host words, commands and the record words of
// add and remove.
//
// The client's sources are compiled into this test directly: pallix is an
// executable, and these functions are not part of any library.
#include "client/client_words.cc"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace norvane {
namespace {

using Words = std::vector<std::string>;

TEST(ClientWordsTest, HostWordsAndCommands) {
  struct Case {
    Words words;
    ClientCommand command;
    std::string host;  // "stored" unless a host word was given
    Words arguments;
  };
  const Case cases[] = {
      {{"PrInT", "cache"}, ClientCommand::kPrint, "stored", {"cache"}},
      // The last of several host words counts.
      {{"one", "two", "add", "x"}, ClientCommand::kAdd, "two", {"x"}},
      {{"-GATEWAY"}, ClientCommand::kRemoveGateway, "stored", {}},
      {{"h", "setdefault"}, ClientCommand::kSetDefault, "h", {}},
      // A last word that is no command is no host word either.
      {{"cache"}, ClientCommand::kUsage, "stored", {}},
      {{"-remove", "print"}, ClientCommand::kPrint, "-remove", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.words));
    const ClientInvocation invocation = examine_words(c.words, "stored");
    EXPECT_EQ(invocation.command, c.command);
    EXPECT_EQ(invocation.host, c.host);
    EXPECT_EQ(invocation.host_given, c.host != "stored");
    EXPECT_EQ(invocation.arguments, c.arguments);
  }
}

// A network-order address as it lies in memory.
uint32_t address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t out;
  std::memcpy(&out, bytes, sizeof out);
  return out;
}

TEST(ClientWordsTest, RecordWords) {
  const std::string long_name(256, 'a');
  struct Case {
    Words words;
    RecordWordsResult result;
    // type, ttl, datum, target of a complete request
    uint32_t type, ttl, datum;
    const char* target;
  };
  constexpr auto kUsage = RecordWordsResult::kUsage;
  const Case cases[] = {
      {{"h.lan", "4294967295", "a", "10.1.2.3"},
       RecordWordsResult::kRequest,
       1,
       4294967295u,
       address(10, 1, 2, 3),
       ""},
      {{"lan", "9", "mx", "10", "mail.lan"}, RecordWordsResult::kRequest, 15, 9, 10, "mail.lan"},
      // Too few words end quietly, also when only the value is missing.
      {{"h.lan", "60", "A"}, RecordWordsResult::kSilent, 0, 0, 0, ""},
      // What "%u" would read but is no TTL: a sign wraps round, a tail or a
      // blank is not part of the number, 2^32 does not fit.
      {{"h.lan", "-1", "A", "10.1.2.3"}, kUsage, 0, 0, 0, ""},
      {{"h.lan", "60s", "A", "10.1.2.3"}, kUsage, 0, 0, 0, ""},
      {{"h.lan", "4294967296", "A", "10.1.2.3"}, kUsage, 0, 0, 0, ""},
      {{"h.lan", "60", "A", "10.1.2.3x"}, kUsage, 0, 0, 0, ""},
      {{"h.lan", "60", "PTR", "x.lan"}, kUsage, 0, 0, 0, ""},
      {{"lan", "9", "MX", "ten", "mail.lan"}, kUsage, 0, 0, 0, ""},
      // No DNS name is this long.
      {{long_name, "60", "A", "10.1.2.3"}, kUsage, 0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.words));
    const RecordWords words = parse_add_words(c.words);
    ASSERT_EQ(words.result, c.result);
    if (c.result != RecordWordsResult::kRequest) continue;
    EXPECT_EQ(words.name, c.words[0]);
    EXPECT_EQ(words.type, c.type);
    EXPECT_EQ(words.ttl, c.ttl);
    EXPECT_EQ(words.datum, c.datum);
    EXPECT_EQ(words.target, c.target);
  }
  EXPECT_EQ(parse_remove_words(Words{"Lan.", "mx"}).type, 15u);
  EXPECT_EQ(parse_remove_words(Words{"h.lan"}).result, RecordWordsResult::kSilent);
  EXPECT_EQ(parse_remove_words(Words{"h.lan", "SOA"}).result, kUsage);
}

}  // namespace
}  // namespace norvane
