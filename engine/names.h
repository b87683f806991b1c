// Domain names as text: comparison and lower-casing with ASCII case ignored
// (RFC 4343), the "at or below the domain" test, and the in-addr.arpa
// reverse names of IPv4 addresses (RFC 1035 section 3.5). Names here carry no
// trailing dot. Plain functions without state; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace norvane {

// A-Z as a-z; every other byte as it is (RFC 4343 section 3: only ASCII
// letters fold).
constexpr char lower_ascii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when the two names are equal with ASCII case ignored (RFC 4343).
bool names_equal(std::string_view a, std::string_view b);
// True when `name` is `domain` or lies below it at a label boundary, ASCII
// case ignored; false for every name when `domain` is empty.
bool name_within(std::string_view name, std::string_view domain);

// Turns A-Z into a-z in place; returns the length.
size_t lower_name(std::string& text);
size_t lower_name(char* text);
// Removes one final "."; returns 1, or 0 when the text is empty or has none.
int strip_trailing_dot(std::string& text);
// Appends "." and `suffix`; returns 1, or 0 and leaves the text alone when the
// suffix is empty or the result would reach 256 characters.
int append_domain(std::string& text, std::string_view suffix);

// Room for the log form of any name: a 255-character name whose every byte
// becomes a four-character \DDD escape, and the terminating zero.
inline constexpr size_t kEscapedNameSize = 255 * 4 + 1;

// Writes `name` into `out` (`capacity` bytes, at least 1) in the master-file
// presentation form of RFC 1035 section 5.1, as every name written to the
// transaction log must be: bytes outside the printable ASCII range (below
// 0x21 or above 0x7E, so blanks, line ends and terminal escapes too) and the
// backslash become "\DDD" with the byte's three decimal digits; every other
// byte stays as it is. A name whose form does not fit is cut before the
// escape or byte that would not fit. The result is always zero-terminated;
// returns its length.
size_t escape_name(std::string_view name, char* out, size_t capacity);

// The log form of a name (see escape_name), held for the length of one log
// call: `log.write(1, "%s", EscapedName(name).c_str())`.
class EscapedName {
 public:
  explicit EscapedName(std::string_view name) { escape_name(name, text_, sizeof text_); }
  EscapedName(const EscapedName&) = delete;
  EscapedName& operator=(const EscapedName&) = delete;
  const char* c_str() const { return text_; }

 private:
  char text_[kEscapedNameSize];
};

// The address (network order) that a reverse name such as
// "4.3.2.1.in-addr.arpa" stands for (here 1.2.3.4). The name must end in
// ".in-addr.arpa" exactly (byte for byte, so lower case) behind a whole dotted
// quad. Returns 0 on failure, which includes the address 0.0.0.0.
uint32_t reverse_name_address(std::string_view name);
// The reverse name of a network-order address: "4.3.2.1.in-addr.arpa" for
// 1.2.3.4.
std::string address_reverse_name(uint32_t address);

}  // namespace norvane
