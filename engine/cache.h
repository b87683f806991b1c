// The cache of records learned from external name servers, the writers that
// answer queries from it, and its listing for the control channel. Thread-safe:
// every operation takes the cache lock itself; callers may hold the database
// lock (lock order: database, cache, log) but no other lock of this file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/log.h"
#include "engine/names.h"
#include "engine/record_text.h"
#include "engine/record_writer.h"
#include "engine/server_settings.h"

namespace norvane {

// The longest owner or target name the cache keeps: 253 characters is the
// most a name of 255 wire bytes can spell (RFC 1035 section 2.3.4). A decoded
// name any longer was cut short by the decoder and would be cached wrongly.
inline constexpr size_t kMaxCachedNameLength = 253;

// Starting point of a reply's common lifetime: ten days.
inline constexpr uint32_t kReplyMinimumStart = 864000;

// At most this many A records go into one answer.
inline constexpr size_t kMaxCachedAddresses = 16;
// At most this many NS, MX or CNAME targets get address records behind them.
inline constexpr size_t kMaxAddressFollowUps = 4;

// Length of the fixed part of the listing image; the image is this plus the
// name, the target and a NUL behind each.
inline constexpr size_t kCacheEntryImageFixedSize = 30;

// One cached record as the listing and the dump see it: `time` is the
// absolute time (seconds since 1970, low 32 bits) at which the entry dies;
// `next` the handle of the entry behind it in most-recently-used order, 0 for
// the last. A, NS, CNAME, MX: `name` is the owner. PTR: `name` is the host
// name the reverse record points to (the owner is replaced by the address in
// `datum`, network order). Names are lower case without a trailing dot.
using CacheEntry = RecordImage;

enum class CacheMode {
  // From a reply: the ttl passed to cache_add is a lifetime in seconds, and
  // the entry goes to the front.
  kLearned,
  // From the dump file: the ttl is the absolute expiry, and the entry goes
  // behind all others so the file's order survives a restart.
  kRestored,
};

enum class CacheDumpResult {
  // CacheDump is off: nothing was read or written.
  kDisabled,
  kDone,
  // The file could not be opened (load), or could not be written in full
  // (save; the previous file is left as it was).
  kFailed,
};

// The listing image sent over the control channel: handle (8 bytes), next
// handle (8), expiry (4), datum (4), type (4), target length T (1), name
// length N (1), the name and a NUL, the target and a NUL; 32 + N + T bytes,
// every number little-endian. Names longer than 255 characters cannot be
// cached, so the lengths fit their bytes.
std::vector<uint8_t> encode_cache_entry_image(const CacheEntry& entry);
// Reads an image back. Nothing when the bytes are too short for the lengths
// they announce or a string lacks its NUL.
std::optional<CacheEntry> decode_cache_entry_image(std::span<const uint8_t> image);

// True when `name` may be kept in the cache: at most 253 characters, no
// empty label, no label over 63 characters, and no blank or control
// character (such a name could not travel through the tab-separated dump
// file, nor through a log line). The empty name is the root and qualifies.
bool cacheable_name(std::string_view name);

class Cache {
 public:
  Cache(const ServerSettings& settings, TransactionLog& log);
  ~Cache();
  Cache(const Cache&) = delete;
  Cache& operator=(const Cache&) = delete;

  // Replaces the clock (low 32 bits of seconds since 1970) so tests can move
  // time. Call before the cache is shared between threads.
  void set_clock(std::function<uint32_t()> clock);
  uint32_t now() const { return clock_(); }

  // Adds one record of type A, NS, CNAME, PTR or MX. Names are folded to
  // lower case (A-Z only). Before adding, dead entries are dropped and the
  // list is cut to the CacheEntries most recently used entries; a learned
  // lifetime is raised to ServerTTL. Returns the new entry's handle, or 0 when
  // the same record is already cached (A, PTR: same name and datum; NS, MX:
  // same name and target; CNAME: same name), the type is not one of the five,
  // a name is not cacheable, or memory ran out. After an addition the cache
  // holds at most CacheEntries + 1 entries. Logs "cache add" at level 2 after
  // releasing the cache lock.
  uint64_t cache_add(CacheMode mode, uint32_t type, std::string_view name, uint32_t datum,
                     std::string_view target, uint32_t ttl);

  // Learns the A, NS, CNAME, MX and PTR records of class IN from one reply of
  // an external name server and, inside `message`, lowers to ClientTTL the
  // TTL of those records whose cached lifetime exceeds it; the caller then
  // relays the changed message. All A, NS, CNAME and MX records of a reply
  // share one lifetime: the smallest TTL among them (at most ten days). A
  // reply that is not a plain query response without error is ignored.
  //
  // Only what the reply may speak for is learned (RFC 2181 section 5.4.1):
  // answer records owned by the question name or a CNAME target reached from
  // it in the answer section; authority NS records owned by the question name
  // or one of its ancestors; additional records owned by an NS target or MX
  // exchange learned from this reply. Nothing owned by `local_domain` (the
  // name or below it, ASCII case ignored; empty for none) is ever learned.
  // The caller reads the domain before the call: no lock is held here while
  // the database lock would be taken.
  // Never reads or writes outside `message`. Logs each record at level 1.
  void cache_learn_reply(std::span<uint8_t> message, std::string_view local_domain);

  // Each writer appends answer records for `name` (lower case, no trailing
  // dot) to `sink` under its limit and returns the number of records kept;
  // the sink's position moves exactly past the kept records. TTLs are the
  // remaining lifetime, at most ClientTTL. Every entry handed out moves to
  // the front of the most-recently-used order. Logs each record at level 1.
  // Must not be called with the cache lock held (they take it themselves).
  //
  // A: up to 16 of the name's addresses, starting at a random one.
  uint16_t cache_answer_a(std::string_view name, Sink& sink);
  // NS records, then the addresses of the first 4 name servers.
  uint16_t cache_answer_ns(std::string_view name, Sink& sink);
  // The name's CNAME record and the addresses of its target. With
  // `require_address`, returns 0 and writes nothing unless an address of the
  // target is cached.
  uint16_t cache_answer_cname(std::string_view name, Sink& sink, bool require_address);
  // One PTR record for a reverse name, from the most recently used live
  // entry for its address.
  uint16_t cache_answer_ptr(std::string_view name, Sink& sink);
  // MX records, then the addresses of the first 4 exchanges. An entry named
  // "*" + suffix also answers any longer name ending in that suffix (written
  // with the asked name as owner); MX entries serve through the second of
  // their expiry.
  uint16_t cache_answer_mx(std::string_view name, Sink& sink);

  // Removes every entry, then rewrites the dump file (when CacheDump is on).
  // Returns false only when the dump file should have been rewritten and
  // could not be; the cache is empty either way.
  bool cache_clear();
  // Removes the entry (live or dead) with `handle`; false when none has it.
  bool cache_remove(uint64_t handle);

  // The listing image of the entry with `handle`, or of the first entry when
  // `handle` is 0. Nothing when no entry has that handle (a removed or
  // expired-and-dropped entry's handle is never reused) or the cache is empty.
  std::optional<std::vector<uint8_t>> cache_entry_image(uint64_t handle);
  // A copy of every entry, dead ones included, in most-recently-used order.
  std::vector<CacheEntry> cache_list();
  size_t size();

  // The dump file "cache.dmp" in the data directory (cache_dump.cc). Save
  // writes the live entries in most-recently-used order to a temporary that
  // replaces the old file only once complete and on disk; load appends the
  // file's entries in its order, skipping malformed and expired lines, and
  // stops at a duplicate. Both do nothing while CacheDump is 0.
  CacheDumpResult cache_save_dump();
  CacheDumpResult cache_load_dump(size_t* restored = nullptr);

 private:
  struct Slot;
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
  };
  // Slots of one type and lookup name (for PTR: the address) in
  // most-recently-used order.
  using Bucket = std::vector<Slot*>;

  // Helpers that expect lock_ held.
  void unlink_locked(Slot* slot);
  void remove_locked(Slot* slot);
  void remove_all_locked();
  void purge_dead_locked(uint32_t now);
  // Reads the clock, drops what is dead by then, and returns that time.
  uint32_t purge_dead_now_locked();
  void link_at_end_locked(Slot* slot, Slot*& end, Slot*& other_end, Slot* Slot::*outward,
                          Slot* Slot::*inward);
  void push_front_locked(Slot* slot);
  void move_to_front_locked(Slot* slot);
  Bucket* bucket_locked(uint32_t type, std::string_view name);
  uint32_t client_ttl_locked(const Slot& slot, uint32_t now) const;
  // NS (`type` kTypeNs) or MX records for `name`, then the addresses of the
  // first targets: the shared body of cache_answer_ns and cache_answer_mx.
  // Takes the cache lock itself.
  uint16_t answer_with_addresses(uint32_t type, std::string_view name, Sink& sink);

  const ServerSettings& settings_;
  TransactionLog& log_;
  std::function<uint32_t()> clock_;

  std::mutex lock_;
  // Owns every slot.
  std::unordered_map<uint64_t, std::unique_ptr<Slot>> by_handle_;
  std::unordered_map<std::string, Bucket, KeyHash, std::equal_to<>> buckets_;
  // Keyed by the first second in which the entry is dead.
  std::multimap<uint32_t, Slot*> by_expiry_;
  // The most-recently-used order: newest_ is the head of the listing.
  Slot* newest_ = nullptr;
  Slot* oldest_ = nullptr;
  uint64_t next_handle_ = 1;
  // Recency stamps: the front takes ever larger ones, the back ever smaller,
  // so comparing stamps compares places in the order.
  int64_t front_stamp_ = 0;
  int64_t back_stamp_ = 0;
  // MX entries whose name starts with "*"; while 0, MX lookups skip the
  // suffix search.
  size_t star_mx_entries_ = 0;
  std::minstd_rand random_;

  // Serialises dump saves so an older snapshot never replaces a newer file.
  // Outer to lock_; held across the file write, which only other saves wait for.
  std::mutex dump_lock_;
};

}  // namespace norvane
