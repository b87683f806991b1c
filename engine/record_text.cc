// Listing texts of records; see record_text.h.
#include "engine/record_text.h"

#include <cstdio>
#include <utility>

#include "engine/dns_message.h"

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

// The owner column. A cached PTR entry keeps the host name where the owner
// goes; its owner is the reverse name of the address (RFC 1035 section 3.5).
std::string owner_column(const RecordImage& record) {
  std::string owner = record.type == kTypePtr ? dotted_quad(record.datum, true) + ".in-addr.arpa."
                                              : printable_name(record.name) + ".";
  owner.resize(kOwnerColumnWidth, ' ');
  return owner;
}

}  // namespace

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

std::optional<std::string> listing_line(const RecordImage& record, ListingSource source,
                                        uint32_t now) {
  if (source == ListingSource::kCache && record.time < now) return std::nullopt;
  std::string value;
  switch (record.type) {
    case kTypeA:
      value = "A     " + dotted_quad(record.datum, false);
      break;
    case kTypeNs:
      value = "NS    " + printable_name(record.target) + ".";
      break;
    case kTypeCname:
      value = "CNAME " + printable_name(record.target) + ".";
      break;
    case kTypeMx:
      value = "MX    " + std::to_string(record.datum) + "   " + printable_name(record.target) + ".";
      break;
    case kTypePtr:
      value = "PTR   " + printable_name(record.name) + ".";
      break;
    default:
      return std::nullopt;
  }
  const uint32_t ttl = source == ListingSource::kCache ? record.time - now : record.time;
  return owner_column(record) + "\t" + std::to_string(ttl) + "\t" + value + "\t\n";
}

}  // namespace norvane
