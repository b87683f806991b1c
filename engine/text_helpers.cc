// Dotted-quad IPv4 text and timestamps.
#include "engine/text_helpers.h"

#include <cstdio>

namespace norvane {
namespace {

// Reads one decimal number of at most 255 at `text`; returns the position
// behind it or nullptr. Leading blanks and signs are not numbers here.
const char* read_octet(const char* text, uint32_t& value) {
  if (*text < '0' || *text > '9') return nullptr;
  value = 0;
  while (*text >= '0' && *text <= '9') {
    value = value * 10 + static_cast<uint32_t>(*text - '0');
    if (value > 255) return nullptr;
    ++text;
  }
  return text;
}

}  // namespace

char* format_ipv4(uint32_t address, char* buffer) {
  // By hand rather than with snprintf: every logged query formats its
  // client's address, and the C library's formatter costs more than the rest
  // of the line.
  const auto* b = reinterpret_cast<const uint8_t*>(&address);
  char* out = buffer;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) *out++ = '.';
    const unsigned byte = b[i];
    if (byte >= 100) *out++ = static_cast<char>('0' + byte / 100);
    if (byte >= 10) *out++ = static_cast<char>('0' + byte / 10 % 10);
    *out++ = static_cast<char>('0' + byte % 10);
  }
  *out = '\0';
  return buffer;
}

const char* parse_ipv4_prefix(const char* text, uint32_t* address) {
  *address = 0;
  if (text == nullptr) return nullptr;
  uint8_t bytes[4];
  const char* p = text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (*p != '.') return nullptr;
      ++p;
    }
    uint32_t value = 0;
    p = read_octet(p, value);
    if (p == nullptr) return nullptr;
    bytes[i] = static_cast<uint8_t>(value);
  }
  uint32_t result = 0;
  auto* out = reinterpret_cast<uint8_t*>(&result);
  for (int i = 0; i < 4; ++i) out[i] = bytes[i];
  *address = result;
  return p;
}

uint32_t parse_ipv4(const char* text, int* valid) {
  uint32_t address = 0;
  const char* end = parse_ipv4_prefix(text, &address);
  const bool ok = end != nullptr && *end == '\0';
  if (valid != nullptr) *valid = ok ? 1 : 0;
  return ok ? address : 0;
}

char* format_timestamp(std::time_t when, char* buffer, size_t size) {
  std::tm local{};
  localtime_r(&when, &local);
  if (std::strftime(buffer, size, "%Y-%m-%d %H:%M:%S", &local) == 0 && size > 0) buffer[0] = '\0';
  return buffer;
}

std::string join_path(std::string_view directory, std::string_view name) {
  std::string path(directory);
  while (!name.empty() && name.front() == '/') name.remove_prefix(1);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

}  // namespace norvane
