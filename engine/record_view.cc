// Row values of the window's record list and their cell texts.
#include "engine/record_view.h"

#include <chrono>
#include <mutex>

#include "engine/dns_message.h"
#include "engine/text_helpers.h"

namespace norvane {
namespace {

bool listed_in_database(uint32_t type) {
  return type == kTypeA || type == kTypeNs || type == kTypeCname || type == kTypeMx;
}

bool listed_in_cache(uint32_t type) { return listed_in_database(type) || type == kTypePtr; }

// std::string compares through char_traits<char>, which compares as unsigned
// char: names with bytes above 127 sort after ASCII.
int compare_bytes(const std::string& left, const std::string& right) {
  const int result = left.compare(right);
  return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

int compare_numbers(uint32_t left, uint32_t right) {
  return left < right ? -1 : (left > right ? 1 : 0);
}

}  // namespace

std::vector<RecordView> database_rows(LocalZone& zone, std::chrono::nanoseconds* lock_held) {
  // Under the lock only the numbers and one arena of name bytes are copied:
  // one allocation for all names instead of two per row keeps the lock
  // short for large zones. The rows are built after it is released.
  struct Raw {
    uint64_t handle;
    uint32_t type;
    uint32_t datum;
    uint32_t ttl;
    uint32_t owner_length;
    uint32_t target_length;
  };
  std::vector<Raw> raw;
  std::string arena;
  {
    LocalZone::Guard guard = zone.hold();
    const auto started = std::chrono::steady_clock::now();
    const RecordList& live = guard.live();
    raw.reserve(live.size());
    arena.reserve(live.size() * 32);
    for (const ZoneRecord& record : live.records()) {
      if (!listed_in_database(record.type)) continue;
      raw.push_back(Raw{record.handle, record.type, record.datum, record.ttl,
                        static_cast<uint32_t>(record.owner.size()),
                        static_cast<uint32_t>(record.target.size())});
      arena.append(record.owner);
      arena.append(record.target);
    }
    if (lock_held != nullptr) *lock_held = std::chrono::steady_clock::now() - started;
  }
  std::vector<RecordView> rows;
  rows.reserve(raw.size());
  size_t at = 0;
  for (const Raw& record : raw) {
    RecordView row;
    row.handle = record.handle;
    row.time = record.ttl;
    row.datum = record.datum;
    row.type = record.type;
    row.name.assign(arena, at, record.owner_length);
    at += record.owner_length;
    row.target.assign(arena, at, record.target_length);
    at += record.target_length;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<RecordView> cache_rows(const std::vector<CacheEntry>& entries, uint32_t now) {
  std::vector<RecordView> rows;
  rows.reserve(entries.size());
  for (const CacheEntry& entry : entries) {
    if (entry.time < now || !listed_in_cache(entry.type)) continue;
    rows.push_back(entry);
    rows.back().next = 0;
  }
  return rows;
}

std::vector<RecordView> cache_rows(Cache& cache, uint32_t now) {
  return cache_rows(cache.cache_list(), now);
}

std::string record_name_text(const RecordView& row, RecordSource source) {
  if (source == RecordSource::kCache && row.type == kTypePtr)
    return address_reverse_name(row.datum) + ".";
  return row.name + ".";
}

std::string record_type_text(const RecordView& row) {
  // The listing names only the types a record can have; any other shows as
  // its number.
  switch (row.type) {
    case kTypeA:
    case kTypeNs:
    case kTypeCname:
    case kTypeMx:
    case kTypePtr:
      return type_mnemonic(row.type);
    default:
      return std::to_string(row.type);
  }
}

std::string record_resource_text(const RecordView& row) {
  switch (row.type) {
    case kTypeA: {
      char text[kIpv4TextSize];
      return format_ipv4(row.datum, text);
    }
    case kTypeMx:
      return std::to_string(row.datum) + "   " + row.target + ".";
    case kTypePtr:
      return row.name + ".";
    default:
      return row.target + ".";
  }
}

std::string record_ttl_text(const RecordView& row, RecordSource source, uint32_t now) {
  if (source == RecordSource::kCache) return std::to_string(row.time - now);
  return row.time == 0 ? std::string() : std::to_string(row.time);
}

int compare_records(const RecordView& left, const RecordView& right, int column) {
  // Numbers compare as unsigned values rather than as a wrapped 32-bit
  // difference: a difference beyond 2^31 would flip its sign and make the
  // order intransitive, which a sort algorithm may not survive.
  switch (column) {
    case 0:
      return compare_bytes(left.name, right.name);
    case 1:
      return compare_numbers(left.type, right.type);
    case 2:
      if (left.datum == 0 && right.datum == 0) return compare_bytes(left.target, right.target);
      return compare_numbers(left.datum, right.datum);
    case 3:
      return compare_numbers(left.time, right.time);
    default:
      return 0;
  }
}

}  // namespace norvane
