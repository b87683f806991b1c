// pallix's listing of the local database and the cache: one line per record
// image the server sends. Plain value code without state; safe from any
// thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace norvane {

enum class ListingSource {
  kDatabase,
  kCache,
};

// One record or cache entry as the listing reads it from its image.
struct ListingRecord {
  uint64_t handle = 0;
  // The handle to ask for next; 0 ends the listing.
  uint64_t next = 0;
  // Database: the TTL in seconds. Cache: the absolute expiry (seconds since
  // 1970, low 32 bits).
  uint32_t time = 0;
  // A: the address; PTR: the address the reverse name stands for (the four
  // bytes in network order, read as they travel); MX: the preference.
  uint32_t datum = 0;
  uint32_t type = 0;
  // The owner; for a cached PTR entry the host name it points to.
  std::string name;
  std::string target;
};

// Reads a zone_record_image (database) or a cache_entry_image (cache).
// Nothing when the bytes are shorter than the lengths they announce or a
// name lacks its zero.
std::optional<ListingRecord> decode_listing_image(std::span<const uint8_t> image,
                                                  ListingSource source);

// A name as the listing shows it: bytes from "!" to "~" as they are, a
// backslash doubled, every other byte (blanks, control characters, bytes
// above 127) as "\DDD" (RFC 1035 section 5.1), so that a name learned from
// a foreign server cannot write control sequences to the terminal.
std::string printable_name(std::string_view name);

// The listing line of a record, "\n" included: the owner column ("%s." of
// the owner, or the reversed address and ".in-addr.arpa." for PTR) padded or
// cut to 31 characters and a tab, the TTL ("%u", for the cache the expiry
// minus `now`) and a tab, then the type column with the value and a tab:
//   "A     %s\t", "NS    %s.\t", "CNAME %s.\t", "MX    %u   %s.\t",
//   "PTR   %s.\t" (the host name).
// Nothing for a type other than A, NS, CNAME, PTR and MX, and for a cache
// entry whose expiry lies before `now`.
std::optional<std::string> listing_line(const ListingRecord& record, ListingSource source,
                                        uint32_t now);

}  // namespace norvane
