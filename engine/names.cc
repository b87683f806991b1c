// Name text operations; see names.h.
#include "engine/names.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "engine/text_helpers.h"

namespace norvane {

namespace {

constexpr std::string_view kReverseSuffix = ".in-addr.arpa";

}  // namespace

bool names_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
  }
  return true;
}

bool name_within(std::string_view name, std::string_view domain) {
  const size_t d = domain.size();
  if (d == 0 || name.size() < d) return false;
  if (name.size() > d && name[name.size() - d - 1] != '.') return false;
  return names_equal(name.substr(name.size() - d), domain);
}

size_t lower_name(std::string& text) {
  for (char& c : text) c = lower_ascii(c);
  return text.size();
}

size_t lower_name(char* text) {
  size_t length = 0;
  for (; text[length] != '\0'; ++length) text[length] = lower_ascii(text[length]);
  return length;
}

int strip_trailing_dot(std::string& text) {
  if (text.empty() || text.back() != '.') return 0;
  text.pop_back();
  return 1;
}

int append_domain(std::string& text, std::string_view suffix) {
  if (suffix.empty() || text.size() + suffix.size() + 1 >= 256) return 0;
  text += '.';
  text += suffix;
  return 1;
}

size_t escape_name(std::string_view name, char* out, size_t capacity) {
  size_t length = 0;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7F && byte != '\\') {
      if (length + 1 >= capacity) break;
      out[length++] = c;
      continue;
    }
    if (length + 4 >= capacity) break;
    out[length] = '\\';
    out[length + 1] = static_cast<char>('0' + byte / 100);
    out[length + 2] = static_cast<char>('0' + byte / 10 % 10);
    out[length + 3] = static_cast<char>('0' + byte % 10);
    length += 4;
  }
  out[length] = '\0';
  return length;
}

uint32_t reverse_name_address(std::string_view name) {
  if (name.size() <= kReverseSuffix.size() || !name.ends_with(kReverseSuffix)) return 0;
  const std::string_view quad = name.substr(0, name.size() - kReverseSuffix.size());
  // The longest dotted quad is "255.255.255.255".
  char text[kIpv4TextSize];
  if (quad.empty() || quad.size() >= sizeof text) return 0;
  std::memcpy(text, quad.data(), quad.size());
  text[quad.size()] = '\0';
  int valid = 0;
  const uint32_t reversed = parse_ipv4(text, &valid);
  if (!valid) return 0;
  uint8_t bytes[4];
  std::memcpy(bytes, &reversed, 4);
  std::swap(bytes[0], bytes[3]);
  std::swap(bytes[1], bytes[2]);
  uint32_t address;
  std::memcpy(&address, bytes, 4);
  return address;
}

std::string address_reverse_name(uint32_t address) {
  uint8_t b[4];
  std::memcpy(b, &address, 4);
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{b[3]}, unsigned{b[2]}, unsigned{b[1]},
                unsigned{b[0]});
  return std::string(text) + std::string(kReverseSuffix);
}

}  // namespace norvane
