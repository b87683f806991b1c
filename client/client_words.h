// pallix's command line: which words are host words and which command they
// lead to, the checks of the record words of add and remove, and the usage
// texts. Plain value code without state; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// The longest server host pallix keeps: longer stored values read as none.
inline constexpr size_t kMaxServerHostLength = 128;

// The longest owner or target name an add or remove sends. A DNS name spells
// at most 253 characters (RFC 1035 section 2.3.4); 255 leaves room for a
// trailing dot and keeps every request far below the message size.
inline constexpr size_t kMaxRecordNameLength = 255;

// The usage texts, printed to standard output. The short one is the first
// two lines of the full one.
inline constexpr std::string_view kFullUsage =
    "Usage:\n"
    "  pallix print [cache]\n"
    " for Administrators:\n"
    "  pallix add    <name>   <ttl> A     <ip-address>\n"
    "  pallix add    <domain> <ttl> NS    <server>\n"
    "  pallix add    <alias>  <ttl> CNAME <name>\n"
    "  pallix add    <name>   <ttl> MX    <preference> <server>\n"
    "  pallix remove <name>   <type>\n"
    "  \n"
    "      <name>, <server> == full name including domain\n";
inline constexpr std::string_view kShortUsage =
    "Usage:\n"
    "  pallix print [cache]\n";

enum class ClientCommand {
  // The last word was no command: the usage text is printed.
  kUsage,
  kAdd,
  kRemove,
  kPrint,
  kSetDefault,
  kGateway,
  kRemoveGateway,
  kRoutes,
  kRemoveRoutes,
};

// The command a word names, compared without regard to ASCII case; nothing
// for any other word.
std::optional<ClientCommand> command_of(std::string_view word);

// What the words of one invocation ask for.
struct ClientInvocation {
  // The server to talk to: the last host word, else the stored default.
  std::string host;
  // Whether a host word appeared.
  bool host_given = false;
  ClientCommand command = ClientCommand::kUsage;
  // The words behind the command word.
  std::vector<std::string> arguments;
};

// Walks `words` (the arguments after the program name, at least one) from
// the first: a command word starts its command; any other word followed by
// another one is a host word and replaces the host; a last word that is no
// command gives kUsage. `stored_host` is the host when no host word appears.
ClientInvocation examine_words(std::span<const std::string> words, std::string stored_host);

// Whether the words after "print" ask for the cache: the first one is
// "cache" (without regard to ASCII case). Any other word is ignored.
bool lists_cache(std::span<const std::string> arguments);

// A whole word of decimal digits that fits 32 bits; nothing otherwise (no
// sign, no blanks, no empty word).
std::optional<uint32_t> parse_decimal(std::string_view word);

// The record type a type word names (A 1, NS 2, CNAME 5, MX 15), compared
// without regard to ASCII case; nothing for any other word.
std::optional<uint32_t> record_type_of(std::string_view word);

// How the words of add or remove turned out.
enum class RecordWordsResult {
  // The request is complete: send it.
  kRequest,
  // Too few words: the invocation ends without output.
  kSilent,
  // A malformed number, address or name, or an unknown type word.
  kUsage,
};

// The record an add or remove asks for. The names go as typed: the server
// strips one trailing dot and folds the case of added names itself.
struct RecordWords {
  RecordWordsResult result = RecordWordsResult::kUsage;
  uint32_t type = 0;
  uint32_t ttl = 0;
  // A: the address in network order; MX: the preference; else 0.
  uint32_t datum = 0;
  std::string name;
  // NS, CNAME, MX: the target name; empty for A and for remove.
  std::string target;
};

// The words after "add": <name> <ttl> A <address>, <name> <ttl> NS|CNAME
// <name>, <name> <ttl> MX <preference> <server>. Fewer than four words give
// kSilent; a TTL or preference that is no whole decimal number, an address
// that is no dotted quad of four numbers up to 255, a missing MX server, an
// unknown type word, or a name or target longer than kMaxRecordNameLength
// give kUsage.
RecordWords parse_add_words(std::span<const std::string> arguments);

// The words after "remove": <name> <type>. Fewer than two give kSilent; an
// unknown type word or an over-long name gives kUsage.
RecordWords parse_remove_words(std::span<const std::string> arguments);

}  // namespace norvane
