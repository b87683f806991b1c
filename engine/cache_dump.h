// The cache dump file "cache.dmp": one tab-separated line per live entry,
// ending with the entry's absolute expiry, so the cache survives a restart in
// its most-recently-used order. The line functions are pure and thread-safe;
// Cache::cache_save_dump and Cache::cache_load_dump (cache_dump.cc) do the
// file work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/cache.h"

namespace norvane {

inline constexpr std::string_view kCacheDumpFileName = "cache.dmp";
// Longest line the reader accepts, without its line end.
inline constexpr size_t kMaxDumpLineLength = 259;
inline constexpr size_t kMaxDumpFieldLength = 255;
inline constexpr size_t kMaxDumpTypeLength = 23;

// The line of one entry, with its "\n":
//   A      name \t A \t dotted quad \t expiry
//   NS     name \t NS \t name server \t expiry
//   CNAME  name \t CNAME \t canonical name \t expiry
//   PTR    reverse name of the address \t PTR \t host name \t expiry
//   MX     name \t MX \t preference \t exchange \t expiry
// Empty when the entry cannot be written in this form: a field that would be
// empty (the root name, a null MX) would shift the fields behind it.
std::string cache_dump_line(const CacheEntry& entry);

// One entry read from a dump line. `name`, `target` and `datum` mean what
// they mean in CacheEntry (for PTR, the host name and the address).
struct CacheDumpRecord {
  uint32_t type = 0;
  std::string name;
  uint32_t datum = 0;
  std::string target;
  uint32_t expiry = 0;

  bool operator==(const CacheDumpRecord&) const = default;
};

// Reads one line (without its line end). Nothing for a blank line, a comment
// (first non-blank character "#"), a line longer than 259 characters, a field
// over 255 (a type over 23), an unknown type (compared ignoring case), missing
// fields, a number that is not plain decimal or out of range, an address that
// is not a dotted quad or is 0.0.0.0, a PTR owner that is not a lower-case
// reverse name, a name the cache would refuse, or an expiry before `now`.
// Fields are separated by any run of blanks and tabs; fields behind the last
// one used are ignored.
std::optional<CacheDumpRecord> parse_cache_dump_line(std::string_view line, uint32_t now);

}  // namespace norvane
