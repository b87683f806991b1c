// pallix's listing lines for database records and cache entries.
#include "client/client_listing.h"

#include <cstdio>

#include "control/control_messages.h"
#include "engine/cache.h"

namespace norvane {

namespace {

constexpr size_t kOwnerColumnWidth = 31;

// The four bytes of a datum in the order they travel: the image carries a
// network-order address as it lies in memory, little-endian as a number, so
// the lowest byte of the number read is the first octet.
std::string dotted_quad(uint32_t datum, bool reversed) {
  unsigned octets[4];
  for (int i = 0; i < 4; ++i) octets[i] = (datum >> (8 * i)) & 0xFF;
  if (reversed) {
    std::swap(octets[0], octets[3]);
    std::swap(octets[1], octets[2]);
  }
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
  return text;
}

std::string owner_column(const ListingRecord& record) {
  std::string owner = record.type == kControlTypePtr
                          ? dotted_quad(record.datum, true) + ".in-addr.arpa."
                          : printable_name(record.name) + ".";
  owner.resize(kOwnerColumnWidth, ' ');
  return owner;
}

}  // namespace

std::optional<ListingRecord> decode_listing_image(std::span<const uint8_t> image,
                                                  ListingSource source) {
  ListingRecord record;
  if (source == ListingSource::kDatabase) {
    std::optional<ZoneRecordImage> zone_record = decode_zone_record_image(image);
    if (!zone_record) return std::nullopt;
    record.handle = zone_record->handle;
    record.next = zone_record->next;
    record.time = zone_record->ttl;
    record.datum = zone_record->datum;
    record.type = zone_record->type;
    record.name = std::move(zone_record->owner);
    record.target = std::move(zone_record->target);
  } else {
    std::optional<CacheEntry> entry = decode_cache_entry_image(image);
    if (!entry) return std::nullopt;
    record.handle = entry->handle;
    record.next = entry->next;
    record.time = entry->expiry;
    record.datum = entry->datum;
    record.type = entry->type;
    record.name = std::move(entry->name);
    record.target = std::move(entry->target);
  }
  return record;
}

std::string printable_name(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte >= '!' && byte <= '~') {
      out += c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\%03u", static_cast<unsigned>(byte));
      out += escaped;
    }
  }
  return out;
}

std::optional<std::string> listing_line(const ListingRecord& record, ListingSource source,
                                        uint32_t now) {
  if (source == ListingSource::kCache && record.time < now) return std::nullopt;
  std::string value;
  switch (record.type) {
    case kControlTypeA:
      value = "A     " + dotted_quad(record.datum, false);
      break;
    case kControlTypeNs:
      value = "NS    " + printable_name(record.target) + ".";
      break;
    case kControlTypeCname:
      value = "CNAME " + printable_name(record.target) + ".";
      break;
    case kControlTypeMx:
      value = "MX    " + std::to_string(record.datum) + "   " + printable_name(record.target) + ".";
      break;
    case kControlTypePtr:
      value = "PTR   " + printable_name(record.name) + ".";
      break;
    default:
      return std::nullopt;
  }
  const uint32_t ttl = source == ListingSource::kCache ? record.time - now : record.time;
  return owner_column(record) + "\t" + std::to_string(ttl) + "\t" + value + "\t\n";
}

}  // namespace norvane
