// The cache dump file: line formatting and parsing, and the save and load of
// the whole file. Saves are serialised by the cache's dump lock and replace
// the file atomically; see cache_dump.h.
#include "engine/cache_dump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/atomic_file.h"
#include "engine/dns_message.h"
#include "engine/names.h"
#include "engine/text_helpers.h"
#include "engine/unique_fd.h"

namespace norvane {
namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// A field of plain decimal digits whose value is at most `maximum`.
std::optional<uint32_t> parse_number(std::string_view field, uint32_t maximum) {
  if (field.empty() || field.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > maximum) return std::nullopt;
  return static_cast<uint32_t>(value);
}

}  // namespace

std::string cache_dump_line(const CacheEntry& entry) {
  if (entry.name.empty()) return {};
  char number[16];
  std::snprintf(number, sizeof number, "%u", entry.time);
  switch (entry.type) {
    case kTypeA: {
      char address[kIpv4TextSize];
      return entry.name + "\tA\t" + format_ipv4(entry.datum, address) + "\t" + number + "\n";
    }
    case kTypeNs:
    case kTypeCname:
      if (entry.target.empty()) return {};
      return entry.name + "\t" + type_mnemonic(entry.type) + "\t" + entry.target + "\t" + number +
             "\n";
    case kTypePtr:
      return address_reverse_name(entry.datum) + "\tPTR\t" + entry.name + "\t" + number + "\n";
    case kTypeMx: {
      if (entry.target.empty()) return {};
      char preference[16];
      std::snprintf(preference, sizeof preference, "%u", entry.datum);
      return entry.name + "\tMX\t" + preference + "\t" + entry.target + "\t" + number + "\n";
    }
    default:
      return {};
  }
}

std::optional<CacheDumpRecord> parse_cache_dump_line(std::string_view line, uint32_t now) {
  if (line.size() > kMaxDumpLineLength) return std::nullopt;
  std::array<std::string_view, 5> fields;
  size_t count = 0;
  for (size_t at = 0; count < fields.size();) {
    while (at < line.size() && blank(line[at])) ++at;
    if (at == line.size()) break;
    const size_t start = at;
    while (at < line.size() && !blank(line[at])) ++at;
    fields[count++] = line.substr(start, at - start);
  }
  if (count == 0 || fields[0].starts_with('#')) return std::nullopt;
  if (count < 3) return std::nullopt;
  for (size_t i = 0; i < count; ++i) {
    if (fields[i].size() > kMaxDumpFieldLength) return std::nullopt;
  }
  const std::string_view type = fields[1];
  if (type.size() > kMaxDumpTypeLength) return std::nullopt;

  CacheDumpRecord record;
  std::string_view expiry_field;
  if (names_equal(type, "MX")) {
    if (count < 5) return std::nullopt;
    const auto preference = parse_number(fields[2], 0xFFFF);
    if (!preference) return std::nullopt;
    record.type = kTypeMx;
    record.name = fields[0];
    record.datum = *preference;
    record.target = fields[3];
    expiry_field = fields[4];
  } else {
    if (count < 4) return std::nullopt;
    expiry_field = fields[3];
    if (names_equal(type, "A")) {
      const std::string address_text(fields[2]);
      int valid = 0;
      record.type = kTypeA;
      record.name = fields[0];
      record.datum = parse_ipv4(address_text.c_str(), &valid);
      if (!valid || record.datum == 0) return std::nullopt;
    } else if (names_equal(type, "NS") || names_equal(type, "CNAME")) {
      record.type = names_equal(type, "NS") ? kTypeNs : kTypeCname;
      record.name = fields[0];
      record.target = fields[2];
    } else if (names_equal(type, "PTR")) {
      record.type = kTypePtr;
      record.datum = reverse_name_address(fields[0]);
      if (record.datum == 0) return std::nullopt;
      record.name = fields[2];
    } else {
      return std::nullopt;
    }
  }
  const auto expiry = parse_number(expiry_field, 0xFFFFFFFFu);
  if (!expiry || *expiry < now) return std::nullopt;
  record.expiry = *expiry;
  if (!cacheable_name(record.name) || !cacheable_name(record.target)) return std::nullopt;
  return record;
}

CacheDumpResult Cache::cache_save_dump() {
  if (settings_.cache_dump.load(std::memory_order_relaxed) == 0) return CacheDumpResult::kDisabled;
  try {
    // Held from the snapshot to the rename, so that of two saves racing (a
    // clear during the stop) the later snapshot is the file that stays.
    std::lock_guard<std::mutex> serial(dump_lock_);
    const std::string directory = *settings_.data_directory.get();
    const std::string path = join_path(directory, kCacheDumpFileName);
    const std::vector<CacheEntry> entries = cache_list();
    const uint32_t now = clock_();
    std::string text;
    for (const CacheEntry& entry : entries) {
      if (now < entry.time) text += cache_dump_line(entry);
    }
    return replace_file_atomically(directory, path, text) ? CacheDumpResult::kDone
                                                          : CacheDumpResult::kFailed;
  } catch (const std::bad_alloc&) {
    return CacheDumpResult::kFailed;
  }
}

CacheDumpResult Cache::cache_load_dump(size_t* restored) {
  if (restored != nullptr) *restored = 0;
  if (settings_.cache_dump.load(std::memory_order_relaxed) == 0) return CacheDumpResult::kDisabled;
  const std::string path = join_path(*settings_.data_directory.get(), kCacheDumpFileName);
  FilePointer file(std::fopen(path.c_str(), "re"));
  if (file == nullptr) return CacheDumpResult::kFailed;
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length;
  const uint32_t now = clock_();
  while ((length = ::getline(&buffer, &capacity, file.get())) >= 0) {
    std::string_view line(buffer, static_cast<size_t>(length));
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    std::optional<CacheDumpRecord> record;
    try {
      record = parse_cache_dump_line(line, now);
    } catch (const std::bad_alloc&) {
      break;
    }
    if (!record) continue;
    // Zero: the entry is cached already, or memory ran out. Either way the
    // rest of the file is left unread.
    if (cache_add(CacheMode::kRestored, record->type, record->name, record->datum, record->target,
                  record->expiry) == 0) {
      break;
    }
    if (restored != nullptr) ++*restored;
  }
  std::free(buffer);
  return CacheDumpResult::kDone;
}

}  // namespace norvane
