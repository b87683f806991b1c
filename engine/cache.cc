// The cache: entries owned by a handle map, found through buckets keyed by
// type and name (PTR: type and address), and kept in one most-recently-used
// order that listing, dump and eviction follow. A lookup never walks that
// order. Thread-safe through lock_; see cache.h.
#include "engine/cache.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <optional>

#include "engine/dns_message.h"
#include "engine/names.h"
#include "engine/text_helpers.h"
#include "engine/wire_reader.h"

namespace norvane {

// An entry as the listing sees it (`time` is the expiry) plus the links that
// place it in the cache. `next` stays 0 here: the listing takes it from
// `older` when it copies the entry out.
struct Cache::Slot : CacheEntry {
  // Neighbours in the most-recently-used order.
  Slot* newer = nullptr;
  Slot* older = nullptr;
  // The bucket that lists this slot. Elements of an unordered_map keep their
  // address across rehashing, and a bucket is erased only once empty.
  Bucket* bucket = nullptr;
  // Its place in by_expiry_.
  std::multimap<uint32_t, Slot*>::iterator expiry_at;
  // Larger means nearer the front; see front_stamp_.
  int64_t stamp = 0;
};

namespace {

// A slot's entry as listed: `next` is the handle of `older`, the entry behind
// it in most-recently-used order (none for the last).
CacheEntry listed(const CacheEntry& slot, const CacheEntry* older) {
  CacheEntry entry = slot;
  entry.next = older != nullptr ? older->handle : 0;
  return entry;
}

// Type byte, then the name (or, for PTR, the 4 address bytes).
constexpr size_t kKeyCapacity = 2 + kMaxNameLength;

bool cached_type(uint32_t type) {
  return type == kTypeA || type == kTypeNs || type == kTypeCname || type == kTypePtr ||
         type == kTypeMx;
}

// The bucket key of a lookup. Returns its length, or 0 when the name is too
// long to be cached under any key.
size_t name_key(uint32_t type, std::string_view name, char* out) {
  if (name.size() > kMaxNameLength) return 0;
  out[0] = static_cast<char>(type);
  // An empty view may carry a null pointer, which memcpy must never see.
  if (!name.empty()) std::memcpy(out + 1, name.data(), name.size());
  return 1 + name.size();
}

size_t address_key(uint32_t address, char* out) {
  out[0] = static_cast<char>(kTypePtr);
  std::memcpy(out + 1, &address, 4);
  return 5;
}

size_t slot_key(uint32_t type, std::string_view name, uint32_t datum, char* out) {
  return type == kTypePtr ? address_key(datum, out) : name_key(type, name, out);
}

std::string lower_copy(std::string_view text) {
  std::string out(text);
  lower_name(out);
  return out;
}

// The first second in which an entry counts as dead and may be dropped. An
// MX entry is still handed out in the very second of its expiry.
uint32_t death_time(uint32_t type, uint32_t expiry) {
  if (type == kTypeMx && expiry != std::numeric_limits<uint32_t>::max()) return expiry + 1;
  return expiry;
}

uint32_t default_clock() { return static_cast<uint32_t>(std::time(nullptr)); }

void put_le(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t get_le(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// The log form of a name (see escape_name), for "%s" in a log line.
std::string log_text(std::string_view name) { return EscapedName(name).c_str(); }

}  // namespace

// ---- free functions -------------------------------------------------------

bool cacheable_name(std::string_view name) {
  if (name.size() > kMaxCachedNameLength || !valid_text_name(name)) return false;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) return false;
  }
  return true;
}

std::vector<uint8_t> encode_cache_entry_image(const CacheEntry& entry) {
  // Cached names never pass 253 characters; a longer one given here is cut so
  // that its length still fits its byte.
  const std::string_view name = std::string_view(entry.name).substr(0, 255);
  const std::string_view target = std::string_view(entry.target).substr(0, 255);
  std::vector<uint8_t> out;
  out.reserve(kCacheEntryImageFixedSize + name.size() + target.size() + 2);
  put_le(out, entry.handle, 8);
  put_le(out, entry.next, 8);
  put_le(out, entry.time, 4);
  put_le(out, entry.datum, 4);
  put_le(out, entry.type, 4);
  out.push_back(static_cast<uint8_t>(target.size()));
  out.push_back(static_cast<uint8_t>(name.size()));
  for (const std::string_view text : {name, target}) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
  }
  return out;
}

std::optional<CacheEntry> decode_cache_entry_image(std::span<const uint8_t> image) {
  if (image.size() < kCacheEntryImageFixedSize + 2) return std::nullopt;
  const uint8_t* p = image.data();
  const size_t target_length = p[28];
  const size_t name_length = p[29];
  const size_t name_at = kCacheEntryImageFixedSize;
  const size_t target_at = name_at + name_length + 1;
  if (image.size() < target_at + target_length + 1) return std::nullopt;
  if (p[name_at + name_length] != 0 || p[target_at + target_length] != 0) return std::nullopt;
  CacheEntry entry;
  entry.handle = get_le(p, 8);
  entry.next = get_le(p + 8, 8);
  entry.time = static_cast<uint32_t>(get_le(p + 16, 4));
  entry.datum = static_cast<uint32_t>(get_le(p + 20, 4));
  entry.type = static_cast<uint32_t>(get_le(p + 24, 4));
  entry.name.assign(reinterpret_cast<const char*>(p + name_at), name_length);
  entry.target.assign(reinterpret_cast<const char*>(p + target_at), target_length);
  return entry;
}

// ---- the cache ------------------------------------------------------------

Cache::Cache(const ServerSettings& settings, TransactionLog& log)
    : settings_(settings), log_(log), clock_(default_clock) {
  std::random_device seed;
  random_.seed(seed());
}

Cache::~Cache() = default;

void Cache::set_clock(std::function<uint32_t()> clock) {
  std::lock_guard<std::mutex> guard(lock_);
  clock_ = clock ? std::move(clock) : std::function<uint32_t()>(default_clock);
}

void Cache::unlink_locked(Slot* slot) {
  if (slot->newer != nullptr)
    slot->newer->older = slot->older;
  else
    newest_ = slot->older;
  if (slot->older != nullptr)
    slot->older->newer = slot->newer;
  else
    oldest_ = slot->newer;
  slot->newer = nullptr;
  slot->older = nullptr;
}

// Links `slot` at the end `end` of the most-recently-used order, `outward`
// being the link that points past that end (newer at the front, older at
// the back) and `inward` the opposite one.
void Cache::link_at_end_locked(Slot* slot, Slot*& end, Slot*& other_end, Slot* Slot::*outward,
                               Slot* Slot::*inward) {
  slot->*inward = end;
  slot->*outward = nullptr;
  if (end != nullptr)
    end->*outward = slot;
  else
    other_end = slot;
  end = slot;
}

void Cache::push_front_locked(Slot* slot) {
  link_at_end_locked(slot, newest_, oldest_, &Slot::newer, &Slot::older);
  slot->stamp = ++front_stamp_;
}

void Cache::move_to_front_locked(Slot* slot) {
  if (slot == newest_) {
    slot->stamp = ++front_stamp_;
    return;
  }
  unlink_locked(slot);
  push_front_locked(slot);
}

void Cache::remove_locked(Slot* slot) {
  unlink_locked(slot);
  Bucket& bucket = *slot->bucket;
  bucket.erase(std::find(bucket.begin(), bucket.end(), slot));
  if (bucket.empty()) {
    char key[kKeyCapacity];
    const size_t length = slot_key(slot->type, slot->name, slot->datum, key);
    auto found = buckets_.find(std::string_view(key, length));
    if (found != buckets_.end()) buckets_.erase(found);
  }
  by_expiry_.erase(slot->expiry_at);
  if (slot->type == kTypeMx && slot->name.starts_with('*')) --star_mx_entries_;
  by_handle_.erase(slot->handle);
}

void Cache::remove_all_locked() {
  newest_ = nullptr;
  oldest_ = nullptr;
  star_mx_entries_ = 0;
  by_expiry_.clear();
  buckets_.clear();
  by_handle_.clear();
}

// Drops every entry that is dead at `now`.
void Cache::purge_dead_locked(uint32_t now) {
  while (!by_expiry_.empty() && by_expiry_.begin()->first <= now)
    remove_locked(by_expiry_.begin()->second);
}

uint32_t Cache::purge_dead_now_locked() {
  const uint32_t now = clock_();
  purge_dead_locked(now);
  return now;
}

Cache::Bucket* Cache::bucket_locked(uint32_t type, std::string_view name) {
  char key[kKeyCapacity];
  const size_t length = name_key(type, name, key);
  if (length == 0) return nullptr;
  auto found = buckets_.find(std::string_view(key, length));
  return found == buckets_.end() ? nullptr : &found->second;
}

uint32_t Cache::client_ttl_locked(const Slot& slot, uint32_t now) const {
  const uint32_t remaining = slot.time > now ? slot.time - now : 0;
  return std::min(remaining, settings_.client_ttl.load(std::memory_order_relaxed));
}

uint64_t Cache::cache_add(CacheMode mode, uint32_t type, std::string_view name, uint32_t datum,
                          std::string_view target, uint32_t ttl) {
  if (!cached_type(type)) return 0;
  if (type == kTypeA || type == kTypePtr) target = {};
  if (!cacheable_name(name) || !cacheable_name(target)) return 0;

  const uint32_t now = clock_();
  uint32_t expiry = ttl;
  if (mode == CacheMode::kLearned) {
    ttl = std::max(ttl, settings_.server_ttl.load(std::memory_order_relaxed));
    // A lifetime that would pass the end of the 32-bit clock ends there
    // instead of wrapping into the past, which would kill the entry at once
    // (a ServerTTL of 4294967295 means "keep").
    constexpr uint32_t kLast = std::numeric_limits<uint32_t>::max();
    expiry = ttl > kLast - now ? kLast : now + ttl;
  }

  std::string logged_name;
  try {
    auto fresh = std::make_unique<Slot>();
    fresh->time = expiry;
    fresh->datum = datum;
    fresh->type = type;
    fresh->name = lower_copy(name);
    fresh->target = lower_copy(target);
    char key[kKeyCapacity];
    const std::string_view key_view(key, slot_key(type, fresh->name, datum, key));

    std::unique_lock<std::mutex> guard(lock_);
    // Dead entries do not count against CacheEntries; of the rest only the
    // CacheEntries most recently used stay, so with the new one the cache
    // holds at most CacheEntries + 1.
    purge_dead_locked(now);
    const uint32_t limit = settings_.cache_entries.load(std::memory_order_relaxed);
    while (by_handle_.size() > limit) remove_locked(oldest_);

    auto found = buckets_.find(key_view);
    if (found != buckets_.end()) {
      for (const Slot* other : found->second) {
        if (other->name != fresh->name) continue;
        // A name has one CNAME; an MX is the same record whatever its
        // preference says.
        if (type == kTypeCname) return 0;
        if ((type == kTypeA || type == kTypePtr) && other->datum == datum) return 0;
        if ((type == kTypeNs || type == kTypeMx) && other->target == fresh->target) return 0;
      }
    }

    // Every container is updated before the slot is linked, and undone when
    // a later one fails, so a failed allocation leaves the cache as it was.
    Slot* slot = fresh.get();
    slot->handle = next_handle_;
    auto owned = by_handle_.emplace(slot->handle, std::move(fresh)).first;
    try {
      if (found == buckets_.end()) found = buckets_.emplace(std::string(key_view), Bucket()).first;
      Bucket& bucket = found->second;
      if (mode == CacheMode::kLearned)
        bucket.insert(bucket.begin(), slot);
      else
        bucket.push_back(slot);
      slot->bucket = &bucket;
      try {
        slot->expiry_at = by_expiry_.emplace(death_time(type, expiry), slot);
      } catch (...) {
        bucket.erase(std::find(bucket.begin(), bucket.end(), slot));
        throw;
      }
    } catch (...) {
      if (found != buckets_.end() && found->second.empty()) buckets_.erase(found);
      by_handle_.erase(owned);
      throw;
    }
    ++next_handle_;
    if (mode == CacheMode::kLearned) {
      push_front_locked(slot);
    } else {
      // Behind everything kept: a dump file is restored in its own order.
      link_at_end_locked(slot, oldest_, newest_, &Slot::older, &Slot::newer);
      slot->stamp = --back_stamp_;
    }
    if (type == kTypeMx && slot->name.starts_with('*')) ++star_mx_entries_;
    const uint64_t handle = slot->handle;
    if (log_.enabled(2)) logged_name = log_text(slot->name);
    guard.unlock();

    if (log_.enabled(2)) {
      log_.write(2, "cache add %s %u IN %s\n", logged_name.c_str(),
                 expiry > now ? expiry - now : 0u, type_mnemonic(type));
    }
    return handle;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

// ---- learning from replies -------------------------------------------------

namespace {

// The text of a name read from a reply, or nullptr when the name cannot be
// read or its text would stand for another name (a label holding a "." or a
// zero byte): such names are neither learned nor followed.
const char* learnable_name(const std::optional<WireName>& name) {
  return name && name->faithful ? name->text.c_str() : nullptr;
}

}  // namespace

namespace {

// The names a reply may speak about (RFC 2181 section 5.4.1): the question
// name, the CNAME targets that follow from it, and the NS targets and MX
// exchanges already accepted, whose addresses the additional section may
// carry.
struct Bailiwick {
  std::string_view local_domain;
  bool has_question = false;
  std::string question;
  std::vector<std::string> chain;
  std::vector<std::string> named_hosts;

  static bool holds(const std::vector<std::string>& names, std::string_view name) {
    return std::any_of(names.begin(), names.end(),
                       [name](const std::string& n) { return names_equal(n, name); });
  }

  // Follows the answer section's CNAME records from the question name, each
  // link at most once so that a loop ends the chain.
  void follow_chain(const std::vector<std::pair<std::string, std::string>>& cnames) {
    if (!has_question) return;
    chain.push_back(question);
    for (size_t link = 0; link < cnames.size(); ++link) {
      const std::string& last = chain.back();
      auto next = std::find_if(cnames.begin(), cnames.end(),
                               [&last](const auto& c) { return names_equal(c.first, last); });
      if (next == cnames.end() || holds(chain, next->second)) break;
      chain.push_back(next->second);
    }
  }

  enum class Section { kAnswer, kAuthority, kAdditional };

  bool accepts(Section section, uint16_t type, std::string_view owner) const {
    // The local domain is answered from the database alone; nothing an
    // external server says about it is believed.
    if (name_within(owner, local_domain)) return false;
    switch (section) {
      case Section::kAnswer:
        return holds(chain, owner);
      case Section::kAuthority:
        return type == kTypeNs && has_question && name_within(question, owner);
      case Section::kAdditional:
        return holds(named_hosts, owner);
    }
    return false;
  }
};

}  // namespace

void Cache::cache_learn_reply(std::span<uint8_t> message, std::string_view local_domain) {
  DnsHeader header;
  if (!DnsHeader::read(message, header)) return;
  // Only a plain response to a standard query without error is learned from;
  // the low three RCODE bits cover every error code of RFC 1035.
  if (!(header.flags & kFlagQr) || header.opcode() != kOpcodeQuery || (header.flags & kFlagZ) ||
      (header.flags & 0x0007)) {
    return;
  }
  Bailiwick bailiwick;
  bailiwick.local_domain = local_domain;
  WireReader reader(message, DnsHeader::kSize);
  for (uint16_t i = 0; i < header.qdcount; ++i) {
    // A question that cannot be read leaves no place where the records start.
    const auto question = reader.read_question();
    if (!question) return;
    // A reply to anything but one question has no chain to follow: its
    // answers are not learned.
    if (header.qdcount == 1 && question->name.faithful) {
      bailiwick.has_question = true;
      bailiwick.question = question->name.text;
    }
  }
  const size_t first = reader.position();
  // Counted wide: a 16-bit sum could wrap to a small number and let a crafted
  // reply slip its records past the ClientTTL cap.
  const uint32_t total = uint32_t{header.ancount} + header.nscount + header.arcount;
  if (total == 0) return;

  // The reply minimum: one lifetime for every A, NS, CNAME and MX record.
  // The same pass gathers the answer section's CNAME links.
  uint32_t minimum = kReplyMinimumStart;
  std::vector<std::pair<std::string, std::string>> cnames;
  for (uint32_t i = 0; i < total && reader.remaining() > 0; ++i) {
    const auto record = reader.read_record();
    if (!record) break;
    if (record->record_class != kClassIn) continue;
    if (record->type == kTypeA || record->type == kTypeNs || record->type == kTypeCname ||
        record->type == kTypeMx) {
      minimum = std::min(minimum, record->ttl);
    }
    if (record->type == kTypeCname && i < header.ancount && record->owner.faithful) {
      WireReader rdata = reader.rdata(*record);
      const auto target = rdata.read_name();
      if (learnable_name(target) != nullptr) cnames.emplace_back(record->owner.text, target->text);
    }
  }
  bailiwick.follow_chain(cnames);

  const uint32_t client_ttl = settings_.client_ttl.load(std::memory_order_relaxed);
  reader = WireReader(message, first);
  for (uint32_t i = 0; i < total && reader.remaining() > 0; ++i) {
    const auto read = reader.read_record();
    if (!read) break;
    const WireRecord& record = *read;
    if (record.record_class != kClassIn) continue;
    const Bailiwick::Section section = i < header.ancount ? Bailiwick::Section::kAnswer
                                       : i < uint32_t{header.ancount} + header.nscount
                                           ? Bailiwick::Section::kAuthority
                                           : Bailiwick::Section::kAdditional;
    const char* owner = record.owner.text.c_str();
    const uint32_t lifetime = std::min(record.ttl, minimum);
    // Names are at least one byte and MX adds a 2-byte preference; anything
    // shorter is logged like an unknown type and left alone.
    bool known = false;
    const char* target = nullptr;
    std::optional<WireName> target_name;
    WireReader rdata = reader.rdata(record);
    uint32_t datum = 0;
    switch (record.type) {
      case kTypeA:
        if (record.rdlength != 4) break;
        known = true;
        std::memcpy(&datum, message.data() + record.rdata_at, 4);
        if (log_.enabled(1)) {
          char address[kIpv4TextSize];
          log_.write(1, "answer %s %u IN A %s\n", EscapedName(record.owner.text).c_str(),
                     record.ttl, format_ipv4(datum, address));
        }
        break;
      case kTypeNs:
      case kTypeCname:
      case kTypePtr:
        if (record.rdlength < 1) break;
        known = true;
        target_name = rdata.read_name();
        target = learnable_name(target_name);
        if (log_.enabled(1)) {
          log_.write(1, "answer %s %u IN %s %s\n", EscapedName(record.owner.text).c_str(),
                     record.ttl, type_mnemonic(record.type),
                     EscapedName(target != nullptr ? target : "").c_str());
        }
        break;
      case kTypeMx:
        if (record.rdlength < 3) break;
        known = true;
        datum = *rdata.read_u16();
        target_name = rdata.read_name();
        target = learnable_name(target_name);
        if (log_.enabled(1)) {
          log_.write(1, "answer %s %u IN MX %u %s\n", EscapedName(record.owner.text).c_str(),
                     record.ttl, datum, EscapedName(target != nullptr ? target : "").c_str());
        }
        break;
      default:
        break;
    }
    if (!known) {
      if (log_.enabled(1)) {
        log_.write(1, "answer %s %u IN %s rdlen %u\n", EscapedName(record.owner.text).c_str(),
                   record.ttl, type_mnemonic(record.type), unsigned{record.rdlength});
      }
      continue;
    }
    // Clients get at most ClientTTL; the cache keeps the full lifetime. The
    // relayed reply is capped whether or not the record is learned.
    if (lifetime > client_ttl) write_u32(message.data() + record.ttl_at, client_ttl);
    if (!record.owner.faithful || !bailiwick.accepts(section, record.type, owner)) {
      if (log_.enabled(2)) {
        log_.write(2, "answer %s IN %s not learned\n", EscapedName(record.owner.text).c_str(),
                   type_mnemonic(record.type));
      }
      continue;
    }
    if ((record.type == kTypeNs || record.type == kTypeMx) && target != nullptr &&
        !Bailiwick::holds(bailiwick.named_hosts, target)) {
      bailiwick.named_hosts.emplace_back(target);
    }
    switch (record.type) {
      case kTypeA:
        cache_add(CacheMode::kLearned, kTypeA, owner, datum, {}, lifetime);
        break;
      case kTypePtr: {
        if (target == nullptr) break;
        const uint32_t address = reverse_name_address(owner);
        if (address != 0) cache_add(CacheMode::kLearned, kTypePtr, target, address, {}, lifetime);
        break;
      }
      default:
        if (target != nullptr)
          cache_add(CacheMode::kLearned, record.type, owner, datum, target, lifetime);
        break;
    }
  }
}

// ---- answering ---------------------------------------------------------------

uint16_t Cache::cache_answer_a(std::string_view name, Sink& sink) {
  struct Found {
    uint32_t address;
    uint32_t ttl;
  };
  std::array<Found, kMaxCachedAddresses> found;
  size_t count = 0;
  const bool logging = log_.enabled(1);
  const std::string owner = logging ? log_text(name) : std::string();

  std::lock_guard<std::mutex> guard(lock_);
  const uint32_t now = purge_dead_now_locked();
  Bucket* bucket = bucket_locked(kTypeA, name);
  if (bucket == nullptr) return 0;
  // Every match is handed out, so every match moves to the front, each ahead
  // of the one before: the bucket ends up in reverse.
  for (Slot* slot : *bucket) {
    if (count < found.size()) found[count++] = {slot->datum, client_ttl_locked(*slot, now)};
    move_to_front_locked(slot);
  }
  std::reverse(bucket->begin(), bucket->end());

  // Rotation spreads clients over the addresses (RFC 1794 round robin).
  const size_t start = count >= 2 ? random_() % count : 0;
  uint16_t written = 0;
  for (size_t k = 0; k < count; ++k) {
    const Found& entry = found[(start + k) % count];
    if (!sink.put_a(name, entry.ttl, entry.address)) break;
    ++written;
    if (logging) {
      char address[kIpv4TextSize];
      log_.write(1, "cache %s %u IN A %s\n", owner.c_str(), entry.ttl,
                 format_ipv4(entry.address, address));
    }
  }
  return written;
}

uint16_t Cache::cache_answer_ns(std::string_view name, Sink& sink) {
  return answer_with_addresses(kTypeNs, name, sink);
}

uint16_t Cache::cache_answer_mx(std::string_view name, Sink& sink) {
  return answer_with_addresses(kTypeMx, name, sink);
}

uint16_t Cache::answer_with_addresses(uint32_t type, std::string_view name, Sink& sink) {
  std::array<std::string, kMaxAddressFollowUps> targets;
  size_t remembered = 0;
  uint16_t written = 0;
  const bool logging = log_.enabled(1);
  const std::string owner = logging ? log_text(name) : std::string();
  {
    std::lock_guard<std::mutex> guard(lock_);
    const uint32_t now = purge_dead_now_locked();

    // The name's own bucket, then (MX only) those of "*" + every shorter
    // ending of it. The answer merges them in most-recently-used order by
    // their stamps.
    std::array<Bucket*, kMaxNameLength + 2> buckets;
    std::array<size_t, kMaxNameLength + 2> cursor{};
    size_t bucket_count = 0;
    if (Bucket* own = bucket_locked(type, name)) buckets[bucket_count++] = own;
    if (type == kTypeMx && star_mx_entries_ > 0 && name.size() <= kMaxNameLength) {
      char key[kKeyCapacity];
      key[0] = static_cast<char>(kTypeMx);
      key[1] = '*';
      for (size_t i = 1; i <= name.size(); ++i) {
        const std::string_view ending = name.substr(i);
        // "*" + ending is the name itself when the name starts with "*".
        if (ending.size() + 1 == name.size() && name[0] == '*') continue;
        std::memcpy(key + 2, ending.data(), ending.size());
        auto found = buckets_.find(std::string_view(key, 2 + ending.size()));
        if (found != buckets_.end()) buckets[bucket_count++] = &found->second;
      }
    }
    for (;;) {
      size_t best = bucket_count;
      for (size_t b = 0; b < bucket_count; ++b) {
        if (cursor[b] >= buckets[b]->size()) continue;
        if (best == bucket_count ||
            (*buckets[b])[cursor[b]]->stamp > (*buckets[best])[cursor[best]]->stamp) {
          best = b;
        }
      }
      if (best == bucket_count) break;
      Slot* slot = (*buckets[best])[cursor[best]++];
      move_to_front_locked(slot);
      const uint32_t ttl = client_ttl_locked(*slot, now);
      if (type == kTypeMx) {
        const auto preference = static_cast<uint16_t>(slot->datum);
        if (!sink.put_mx(name, ttl, preference, slot->target)) break;
        if (logging) {
          log_.write(1, "cache %s %u MX %u %s\n", owner.c_str(), ttl, unsigned{preference},
                     log_text(slot->target).c_str());
        }
      } else {
        if (!sink.put_name(name, kTypeNs, ttl, slot->target)) break;
        if (logging)
          log_.write(1, "cache %s %u IN NS %s\n", owner.c_str(), ttl,
                     log_text(slot->target).c_str());
      }
      ++written;
      if (remembered < targets.size()) targets[remembered++] = slot->target;
    }
    for (size_t b = 0; b < bucket_count; ++b) {
      std::reverse(buckets[b]->begin(),
                   buckets[b]->begin() + static_cast<std::ptrdiff_t>(cursor[b]));
    }
  }
  // The address lookups take the cache lock for themselves.
  for (size_t i = remembered; i-- > 0;)
    written = static_cast<uint16_t>(written + cache_answer_a(targets[i], sink));
  return written;
}

uint16_t Cache::cache_answer_cname(std::string_view name, Sink& sink, bool require_address) {
  const size_t start = sink.mark();
  std::string target;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const uint32_t now = purge_dead_now_locked();
    Bucket* bucket = bucket_locked(kTypeCname, name);
    // One CNAME per name: cache_add refuses a second.
    if (bucket == nullptr || bucket->empty()) return 0;
    Slot* slot = bucket->front();
    move_to_front_locked(slot);
    const uint32_t ttl = client_ttl_locked(*slot, now);
    if (!sink.put_name(name, kTypeCname, ttl, slot->target)) return 0;
    if (log_.enabled(1)) {
      log_.write(1, "cache %s %u IN CNAME %s\n", log_text(name).c_str(), ttl,
                 log_text(slot->target).c_str());
    }
    target = slot->target;
  }
  const uint16_t addresses = cache_answer_a(target, sink);
  if (require_address && addresses == 0) {
    // An alias without an address does not answer an address query; the
    // query goes on to be forwarded.
    sink.take_back(start);
    return 0;
  }
  return static_cast<uint16_t>(1 + addresses);
}

uint16_t Cache::cache_answer_ptr(std::string_view name, Sink& sink) {
  const uint32_t address = reverse_name_address(name);
  if (address == 0) return 0;
  std::lock_guard<std::mutex> guard(lock_);
  // Dead entries go first, so the most recently used live entry answers
  // rather than a dead one that stood before it.
  const uint32_t now = purge_dead_now_locked();
  char key[kKeyCapacity];
  auto found = buckets_.find(std::string_view(key, address_key(address, key)));
  if (found == buckets_.end() || found->second.empty()) return 0;
  const Slot& slot = *found->second.front();
  const uint32_t ttl = client_ttl_locked(slot, now);
  if (!sink.put_name(name, kTypePtr, ttl, slot.name)) return 0;
  if (log_.enabled(1))
    log_.write(1, "cache %s %u IN PTR %s\n", log_text(name).c_str(), ttl,
               log_text(slot.name).c_str());
  return 1;
}

// ---- administration -----------------------------------------------------------

bool Cache::cache_clear() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    remove_all_locked();
  }
  return cache_save_dump() != CacheDumpResult::kFailed;
}

bool Cache::cache_remove(uint64_t handle) {
  if (handle == 0) return false;
  std::lock_guard<std::mutex> guard(lock_);
  auto found = by_handle_.find(handle);
  if (found == by_handle_.end()) return false;
  remove_locked(found->second.get());
  return true;
}

std::optional<std::vector<uint8_t>> Cache::cache_entry_image(uint64_t handle) {
  std::lock_guard<std::mutex> guard(lock_);
  const Slot* slot = newest_;
  if (handle != 0) {
    auto found = by_handle_.find(handle);
    slot = found == by_handle_.end() ? nullptr : found->second.get();
  }
  if (slot == nullptr) return std::nullopt;
  return encode_cache_entry_image(listed(*slot, slot->older));
}

std::vector<CacheEntry> Cache::cache_list() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<CacheEntry> out;
  out.reserve(by_handle_.size());
  for (const Slot* slot = newest_; slot != nullptr; slot = slot->older) {
    out.push_back(listed(*slot, slot->older));
  }
  return out;
}

size_t Cache::size() {
  std::lock_guard<std::mutex> guard(lock_);
  return by_handle_.size();
}

}  // namespace norvane
