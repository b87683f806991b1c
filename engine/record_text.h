// Records as people read them: the value that carries one database record or
// cache entry out of the server, and the listing texts made from it (the
// owner column, the reverse name of a PTR entry, names with unprintable bytes
// escaped). Shared by every front end; plain value code, safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// One record as a listing reads it. The database and the cache send records
// in one image shape (the control channel's zone_record_image and
// cache_entry_image); only the meaning of `time` differs.
struct RecordImage {
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
  // The owner; for a cached PTR entry the host name it points to. At most
  // 255 characters (neither the database nor the cache holds longer names).
  std::string name;
  // NS: the name server; CNAME: the canonical name; MX: the exchange; empty
  // for A and PTR.
  std::string target;

  bool operator==(const RecordImage&) const = default;
};

enum class ListingSource {
  kDatabase,
  kCache,
};

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
std::optional<std::string> listing_line(const RecordImage& record, ListingSource source,
                                        uint32_t now);

}  // namespace norvane
