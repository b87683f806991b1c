// pallix's command line: host words, commands and the record words.
#include "client/client_words.h"

#include <array>
#include <utility>

#include "engine/names.h"
#include "engine/text_helpers.h"

namespace norvane {

namespace {

struct NamedCommand {
  std::string_view word;
  ClientCommand command;
};

constexpr std::array<NamedCommand, 8> kCommands = {{
    {"add", ClientCommand::kAdd},
    {"remove", ClientCommand::kRemove},
    {"print", ClientCommand::kPrint},
    {"setdefault", ClientCommand::kSetDefault},
    {"gateway", ClientCommand::kGateway},
    {"-gateway", ClientCommand::kRemoveGateway},
    {"routes", ClientCommand::kRoutes},
    {"-routes", ClientCommand::kRemoveRoutes},
}};

struct NamedType {
  std::string_view word;
  uint32_t type;
};

constexpr std::array<NamedType, 4> kTypes = {{
    {"A", 1},
    {"NS", 2},
    {"CNAME", 5},
    {"MX", 15},
}};

// A dotted quad that fills the whole word; nothing otherwise. A word with a
// zero byte inside cannot come from a command line, but a caller could pass
// one: it is no address.
std::optional<uint32_t> whole_address(const std::string& word) {
  if (word.find('\0') != std::string::npos) return std::nullopt;
  int valid = 0;
  const uint32_t address = parse_ipv4(word.c_str(), &valid);
  if (valid == 0) return std::nullopt;
  return address;
}

bool sendable_name(std::string_view name) {
  return name.size() <= kMaxRecordNameLength && name.find('\0') == std::string_view::npos;
}

RecordWords usage() { return RecordWords{}; }

// Too few words: the command does nothing and prints nothing.
RecordWords silent() {
  RecordWords words;
  words.result = RecordWordsResult::kSilent;
  return words;
}

}  // namespace

std::optional<ClientCommand> command_of(std::string_view word) {
  for (const NamedCommand& named : kCommands)
    if (names_equal(word, named.word)) return named.command;
  return std::nullopt;
}

ClientInvocation examine_words(std::span<const std::string> words, std::string stored_host) {
  ClientInvocation invocation;
  invocation.host = std::move(stored_host);
  for (size_t at = 0; at < words.size(); ++at) {
    if (const std::optional<ClientCommand> command = command_of(words[at])) {
      invocation.command = *command;
      invocation.arguments.assign(words.begin() + static_cast<std::ptrdiff_t>(at + 1), words.end());
      return invocation;
    }
    if (at + 1 == words.size()) break;
    invocation.host = words[at];
    invocation.host_given = true;
  }
  invocation.command = ClientCommand::kUsage;
  return invocation;
}

bool lists_cache(std::span<const std::string> arguments) {
  return !arguments.empty() && names_equal(arguments[0], "cache");
}

std::optional<uint32_t> parse_decimal(std::string_view word) {
  if (word.empty()) return std::nullopt;
  uint64_t number = 0;
  for (const char c : word) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<uint64_t>(c - '0');
    if (number > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(number);
}

std::optional<uint32_t> record_type_of(std::string_view word) {
  for (const NamedType& named : kTypes)
    if (names_equal(word, named.word)) return named.type;
  return std::nullopt;
}

RecordWords parse_add_words(std::span<const std::string> arguments) {
  if (arguments.size() < 4) return silent();
  RecordWords words;
  const std::optional<uint32_t> ttl = parse_decimal(arguments[1]);
  if (!ttl) return usage();
  const std::optional<uint32_t> type = record_type_of(arguments[2]);
  if (!type) return usage();
  words.ttl = *ttl;
  words.type = *type;
  words.name = arguments[0];
  switch (*type) {
    case 1: {
      const std::optional<uint32_t> address = whole_address(arguments[3]);
      if (!address) return usage();
      words.datum = *address;
      break;
    }
    case 15: {
      if (arguments.size() < 5) return usage();
      const std::optional<uint32_t> preference = parse_decimal(arguments[3]);
      if (!preference) return usage();
      words.datum = *preference;
      words.target = arguments[4];
      break;
    }
    default:
      words.target = arguments[3];
      break;
  }
  if (!sendable_name(words.name) || !sendable_name(words.target)) return usage();
  words.result = RecordWordsResult::kRequest;
  return words;
}

RecordWords parse_remove_words(std::span<const std::string> arguments) {
  if (arguments.size() < 2) return silent();
  RecordWords words;
  const std::optional<uint32_t> type = record_type_of(arguments[1]);
  if (!type || !sendable_name(arguments[0])) return usage();
  words.type = *type;
  words.name = arguments[0];
  words.result = RecordWordsResult::kRequest;
  return words;
}

}  // namespace norvane
