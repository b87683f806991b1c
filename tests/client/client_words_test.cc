// pallix's command-line words: host words, commands and the record words of
// add and remove.
//
// The client's sources are compiled into this test directly: pallix is an
// executable, and these functions are not part of any library.
#include "client/client_words.cc"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace norvane {
namespace {

using Words = std::vector<std::string>;

struct InvocationCase {
  Words words;
  ClientCommand command;
  std::string host;
  bool host_given;
  Words arguments;
};

TEST(ClientWordsTest, HostWordsAndCommands) {
  const InvocationCase cases[] = {
      {{"print"}, ClientCommand::kPrint, "stored", false, {}},
      {{"PrInT", "cache"}, ClientCommand::kPrint, "stored", false, {"cache"}},
      {{"srv", "print"}, ClientCommand::kPrint, "srv", true, {}},
      // The last of several host words counts.
      {{"one", "two", "add", "x"}, ClientCommand::kAdd, "two", true, {"x"}},
      // Command words behind the command are its arguments, not commands.
      {{"routes", "add"}, ClientCommand::kRoutes, "stored", false, {"add"}},
      {{"-GATEWAY"}, ClientCommand::kRemoveGateway, "stored", false, {}},
      {{"gateway", "10.0.0.1"}, ClientCommand::kGateway, "stored", false, {"10.0.0.1"}},
      {{"-routes"}, ClientCommand::kRemoveRoutes, "stored", false, {}},
      {{"h", "setdefault"}, ClientCommand::kSetDefault, "h", true, {}},
      // A last word that is no command is no host word either.
      {{"cache"}, ClientCommand::kUsage, "stored", false, {}},
      {{"srv", "nonsense"}, ClientCommand::kUsage, "srv", true, {}},
      // "remove" spelled with a leading dash is no command.
      {{"-remove", "print"}, ClientCommand::kPrint, "-remove", true, {}},
  };
  for (const InvocationCase& c : cases) {
    SCOPED_TRACE(c.words.front());
    const ClientInvocation invocation = examine_words(c.words, "stored");
    EXPECT_EQ(invocation.command, c.command);
    EXPECT_EQ(invocation.host, c.host);
    EXPECT_EQ(invocation.host_given, c.host_given);
    EXPECT_EQ(invocation.arguments, c.arguments);
  }
}

TEST(ClientWordsTest, CacheListingOnlyForTheWordCache) {
  EXPECT_TRUE(lists_cache(Words{"CACHE"}));
  EXPECT_TRUE(lists_cache(Words{"cache", "more"}));
  EXPECT_FALSE(lists_cache(Words{}));
  EXPECT_FALSE(lists_cache(Words{"caches"}));
  EXPECT_FALSE(lists_cache(Words{"database", "cache"}));
}

TEST(ClientWordsTest, DecimalNumbersFillTheirWord) {
  EXPECT_EQ(parse_decimal("0"), 0u);
  EXPECT_EQ(parse_decimal("4294967295"), 4294967295u);
  EXPECT_EQ(parse_decimal("00012"), 12u);
  // Each of these would read as a number with "%u" but is no TTL: a sign
  // wraps round to a huge value, blanks and tails are not part of a number.
  for (const char* bad : {"", "-1", "+5", " 5", "5 ", "12x", "4294967296", "99999999999999999999"})
    EXPECT_EQ(parse_decimal(bad), std::nullopt) << '"' << bad << '"';
}

uint32_t address_of(const char* quad) {
  in_addr address{};
  inet_pton(AF_INET, quad, &address);
  return address.s_addr;
}

// The outcome expected of a complete request.
RecordWords request(uint32_t type, uint32_t ttl, uint32_t datum, std::string target) {
  RecordWords words;
  words.result = RecordWordsResult::kRequest;
  words.type = type;
  words.ttl = ttl;
  words.datum = datum;
  words.target = std::move(target);
  return words;
}

RecordWords outcome(RecordWordsResult result) {
  RecordWords words;
  words.result = result;
  return words;
}

TEST(ClientWordsTest, AddWords) {
  const std::string long_name(256, 'a');
  const RecordWords silent = outcome(RecordWordsResult::kSilent);
  const RecordWords usage = outcome(RecordWordsResult::kUsage);
  const std::pair<Words, RecordWords> cases[] = {
      {{"h.lan", "60", "A", "10.1.2.3"}, request(1, 60, address_of("10.1.2.3"), "")},
      {{"h.lan", "60", "a", "255.255.255.255"}, request(1, 60, address_of("255.255.255.255"), "")},
      {{"lan", "0", "ns", "ns1.lan"}, request(2, 0, 0, "ns1.lan")},
      {{"www.lan", "5", "Cname", "h.lan."}, request(5, 5, 0, "h.lan.")},
      {{"lan", "9", "mx", "10", "mail.lan"}, request(15, 9, 10, "mail.lan")},
      // Too few words end quietly, also when the value is all that is missing.
      {{"h.lan", "60", "A"}, silent},
      {{}, silent},
      // Malformed words print the usage.
      {{"h.lan", "60", "A", "10.1.2.256"}, usage},
      {{"h.lan", "60", "A", "10.1.2"}, usage},
      {{"h.lan", "60", "A", "10.1.2.3.4"}, usage},
      {{"h.lan", "60", "A", "10.1.2.3x"}, usage},
      {{"h.lan", "-1", "A", "10.1.2.3"}, usage},
      {{"h.lan", "60s", "A", "10.1.2.3"}, usage},
      {{"h.lan", "60", "TXT", "text"}, usage},
      {{"h.lan", "60", "PTR", "x.lan"}, usage},
      {{"lan", "9", "MX", "10"}, usage},
      {{"lan", "9", "MX", "ten", "mail.lan"}, usage},
      {{long_name, "60", "A", "10.1.2.3"}, usage},
      {{"lan", "60", "NS", long_name}, usage},
  };
  for (const auto& [words, expected] : cases) {
    SCOPED_TRACE(testing::PrintToString(words));
    const RecordWords parsed = parse_add_words(words);
    ASSERT_EQ(parsed.result, expected.result);
    if (expected.result != RecordWordsResult::kRequest) continue;
    EXPECT_EQ(parsed.name, words[0]);
    EXPECT_EQ(parsed.type, expected.type);
    EXPECT_EQ(parsed.ttl, expected.ttl);
    EXPECT_EQ(parsed.datum, expected.datum);
    EXPECT_EQ(parsed.target, expected.target);
  }
}

TEST(ClientWordsTest, RemoveWords) {
  const RecordWords mx = parse_remove_words(Words{"Lan.", "mx"});
  ASSERT_EQ(mx.result, RecordWordsResult::kRequest);
  EXPECT_EQ(mx.type, 15u);
  EXPECT_EQ(mx.name, "Lan.");  // sent as typed
  EXPECT_EQ(parse_remove_words(Words{"h.lan", "CNAME"}).type, 5u);
  EXPECT_EQ(parse_remove_words(Words{"h.lan"}).result, RecordWordsResult::kSilent);
  EXPECT_EQ(parse_remove_words(Words{"h.lan", "SOA"}).result, RecordWordsResult::kUsage);
  EXPECT_EQ(parse_remove_words(Words{std::string(300, 'x'), "A"}).result,
            RecordWordsResult::kUsage);
}

}  // namespace
}  // namespace norvane
