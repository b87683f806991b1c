// Dynamic update: reading an update message, the zone, prerequisite and
// prescan checks, and the changes. See dynamic_update.h for the contracts.
#include "engine/dynamic_update.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/dns_message.h"
#include "engine/names.h"
#include "engine/wire_reader.h"
#include "engine/zone_file.h"

namespace norvane {
namespace {

constexpr uint16_t kTypeMailB = 253;
constexpr uint16_t kTypeMailA = 254;
// Owner (the root), type, class, TTL and RDLENGTH: the least a record takes.
constexpr size_t kSmallestRecord = 11;

// Reads the name at `position`: its text (lower case, no trailing dot, empty
// for the root) into `name`, the position behind it as stored into `next`.
// False for a name the reader refuses (it runs out of the message, a pointer
// does not lead strictly backwards, a retired label type, more than 255 bytes
// on the wire: RFC 1035 section 3.1) and for a name whose text would stand for
// another name, a label holding a "." or a zero byte: such names are refused
// rather than stored as another name.
bool read_name(std::span<const uint8_t> message, size_t position, std::string& name, size_t& next) {
  WireReader reader(message, position);
  auto read = reader.read_name();
  if (!read || !read->faithful) return false;
  name = std::move(read->text);
  next = reader.position();
  return true;
}

// One resource record of the prerequisite or update section.
struct UpdateRecord {
  std::string name;
  uint16_t type = 0;
  uint16_t rclass = 0;
  uint32_t ttl = 0;
  uint16_t rdlength = 0;
  size_t rdata = 0;  // position of the RDATA in the message
  size_t end = 0;    // position behind the record
};

// Reads the record at `position`; false when any part of it, its RDATA
// included, lies outside the message or its owner cannot be read.
bool read_record(std::span<const uint8_t> message, size_t position, UpdateRecord& record) {
  WireReader reader(message, position);
  auto read = reader.read_record();
  if (!read || !read->owner.faithful) return false;
  record.name = std::move(read->owner.text);
  record.type = read->type;
  record.rclass = read->record_class;
  record.ttl = read->ttl;
  record.rdlength = read->rdlength;
  record.rdata = read->rdata_at;
  record.end = read->rdata_end();
  return true;
}

// The value of an A, NS, CNAME or MX record as the database keeps it.
struct RecordValue {
  uint32_t datum = 0;  // A: the address in network order; MX: the preference
  std::string target;  // NS, CNAME, MX: the name, lower case, no trailing dot
};

// Reads the RDATA of `rdata_length` bytes at `rdata` as a value of `type`:
// an address of exactly four bytes, or a name (behind a 16-bit preference for
// MX) that ends exactly where the RDATA ends. Nothing for other types or for
// RDATA that does not read so.
std::optional<RecordValue> read_value(std::span<const uint8_t> message, uint32_t type, size_t rdata,
                                      size_t rdata_length) {
  if (rdata > message.size() || message.size() - rdata < rdata_length) return std::nullopt;
  RecordValue value;
  size_t name_at = rdata;
  switch (type) {
    case kTypeA:
      if (rdata_length != 4) return std::nullopt;
      std::memcpy(&value.datum, message.data() + rdata, 4);
      return value;
    case kTypeMx:
      if (rdata_length < 3) return std::nullopt;
      value.datum = read_u16(message.data() + rdata);
      name_at += 2;
      break;
    case kTypeNs:
    case kTypeCname:
      break;
    default:
      return std::nullopt;
  }
  size_t next = 0;
  if (!read_name(message, name_at, value.target, next) || next != rdata + rdata_length)
    return std::nullopt;
  return value;
}

bool is_stored_type(uint32_t type) {
  return type == kTypeA || type == kTypeNs || type == kTypeCname || type == kTypeMx;
}

// Removes the live records owned by `name` that `selected` picks; returns how
// many. Lock held.
template <class Select>
int remove_owned(LocalZone::Guard& zone, std::string_view name, Select selected) {
  std::vector<ZoneRecord> doomed;
  for (const ZoneRecord& record : zone.live().owned_by(name))
    if (selected(record)) doomed.push_back(record);
  // Removal finds each record by its handle, so a compaction between two
  // removals does not lose the later ones.
  for (const ZoneRecord& record : doomed) zone.live().remove(record);
  return static_cast<int>(doomed.size());
}

// Whether `name` has an RRset of `type`, or any record for type ANY. The
// domain always has its SOA record, which the database keeps in its fields
// rather than in the list. Lock held.
bool rrset_exists(const LocalZone::Guard& zone, std::string_view name, uint16_t type) {
  if (zone.find_zone_record(zone.live(), name, type)) return true;
  return (type == kTypeSoa || type == kTypeAny) && zone.is_domain(name);
}

// One prerequisite (RFC 2136 sections 2.4 and 3.2): NOERROR when it holds,
// else the code that says why not. A value-dependent prerequisite (class IN)
// is met by one matching record; the RRset as a whole is not compared.
// Lock held.
uint16_t check_prerequisite(const LocalZone::Guard& zone, std::span<const uint8_t> message,
                            const UpdateRecord& record) {
  if (record.ttl != 0) return kRcodeFormErr;
  if (!zone.zone_of_name(record.name)) return kRcodeNotZone;
  switch (record.rclass) {
    case kClassAny:
      if (record.rdlength != 0) return kRcodeFormErr;
      if (!rrset_exists(zone, record.name, record.type))
        return record.type == kTypeAny ? kRcodeNxDomain : kRcodeNxRrset;
      return kRcodeNoError;
    case kClassNone:
      if (record.rdlength != 0) return kRcodeFormErr;
      if (rrset_exists(zone, record.name, record.type))
        return record.type == kTypeAny ? kRcodeYxDomain : kRcodeYxRrset;
      return kRcodeNoError;
    case kClassIn:
      if (is_stored_type(record.type) &&
          !read_value(message, record.type, record.rdata, record.rdlength))
        return kRcodeFormErr;
      return find_exact_record(zone, record.name, record.type, message, record.rdata,
                               record.rdlength)
                 ? kRcodeNoError
                 : kRcodeNxRrset;
    default:
      return kRcodeFormErr;
  }
}

// The prescan of one update record (RFC 2136 section 3.4.1): NOERROR when the
// record may be applied. The values of the additions and single deletions
// this server carries out must read whole, so that applying never meets
// RDATA it cannot read after other records have already changed. Lock held.
uint16_t prescan_update(const LocalZone::Guard& zone, std::span<const uint8_t> message,
                        const UpdateRecord& record) {
  if (!zone.zone_of_name(record.name)) return kRcodeNotZone;
  switch (record.rclass) {
    case kClassIn:
      if (record.type == kTypeAny) return kRcodeFormErr;
      break;
    case kClassAny:
      if (record.ttl != 0 || record.rdlength != 0) return kRcodeFormErr;
      break;
    case kClassNone:
      if (record.ttl != 0 || record.type == kTypeAny) return kRcodeFormErr;
      break;
    default:
      return kRcodeFormErr;
  }
  if (record.type == kTypeAxfr || record.type == kTypeMailB || record.type == kTypeMailA)
    return kRcodeFormErr;
  const bool value_used =
      record.rclass != kClassAny &&
      (record.type == kTypeA || record.type == kTypeCname || record.type == kTypeMx);
  if (value_used && !read_value(message, record.type, record.rdata, record.rdlength))
    return kRcodeFormErr;
  return kRcodeNoError;
}

// An addition (class IN). A CNAME replaces the name's CNAME and is skipped
// beside any other record; other records are skipped beside a CNAME (RFC 2136
// section 3.4.2.2). Only A and MX records are added; additions the database
// refuses (duplicates) still count. Returns whether the record counts as an
// update. Lock held.
bool apply_addition(LocalZone::Guard& zone, std::span<const uint8_t> message,
                    const UpdateRecord& record) {
  const std::optional<RecordValue> value =
      read_value(message, record.type, record.rdata, record.rdlength);
  if (record.type == kTypeCname) {
    const std::optional<ZoneRecord> first =
        zone.find_zone_record(zone.live(), record.name, kTypeAny);
    if (first && first->type != kTypeCname) return false;
    if (!value) return false;
    // The database cannot hold an alias of the root; keep the old alias
    // rather than remove it for a replacement that would be refused.
    if (first && !value->target.empty()) {
      zone.live().remove(*first);
      zone.set_serial(zone.serial() + 1);
    }
    zone.add_zone_record(0, kTypeCname, record.name, record.ttl, 0, value->target);
    return true;
  }
  if (zone.find_zone_record(zone.live(), record.name, kTypeCname)) return false;
  if ((record.type != kTypeA && record.type != kTypeMx) || !value) return false;
  zone.add_zone_record(0, record.type, record.name, record.ttl, value->datum, value->target);
  return true;
}

// One update record that passed the prescan (RFC 2136 section 3.4.2). The SOA
// and the NS records are never deleted by update. Returns whether the record
// counts as an update. Lock held.
bool apply_update(LocalZone::Guard& zone, std::span<const uint8_t> message,
                  const UpdateRecord& record) {
  switch (record.rclass) {
    case kClassIn:
      return apply_addition(zone, message, record);
    case kClassAny:
      if (record.type == kTypeSoa || record.type == kTypeNs) return false;
      // Type ANY deletes the name's records; any other type only its RRset
      // (RFC 2136 section 2.5.2), so deleting the addresses of a name keeps
      // its mail exchangers.
      if (record.type == kTypeAny)
        delete_name_records(zone, record.name);
      else
        remove_owned(zone, record.name,
                     [&record](const ZoneRecord& r) { return r.type == record.type; });
      return true;
    case kClassNone: {
      if (record.type == kTypeSoa || record.type == kTypeNs) return false;
      const std::optional<ZoneRecord> found =
          find_exact_record(zone, record.name, record.type, message, record.rdata, record.rdlength);
      if (!found) return false;
      zone.live().remove(*found);
      zone.set_serial(zone.serial() + 1);
      return true;
    }
    default:
      return false;
  }
}

// Checks and applies the message; returns its response code. Sets
// `awaits_save` when the save of an accepted change is left to the writer.
uint16_t process_update(Engine& engine, std::span<const uint8_t> request, bool& awaits_save) {
  DnsHeader header;
  if (!DnsHeader::read(request, header)) return kRcodeFormErr;
  const uint16_t prerequisites = header.ancount;
  const uint16_t updates = header.nscount;

  // The zone section: exactly one record, the domain's SOA, class IN
  // (RFC 2136 section 3.1.1).
  WireReader reader(request, DnsHeader::kSize);
  const std::optional<WireQuestion> zone_section =
      header.qdcount == 1 ? reader.read_question() : std::nullopt;
  if (!zone_section || !zone_section->name.faithful) return kRcodeFormErr;
  const std::string& zone_name = zone_section->name.text;
  size_t at = reader.position();
  if (zone_section->type != kTypeSoa || zone_section->question_class != kClassIn)
    return kRcodeFormErr;

  // The whole message is checked and applied under one hold of the database
  // lock, so that no other update or query sees it half applied or changes
  // what its prerequisites tested (RFC 2136 section 3.7). The zone file is
  // written after the lock is released.
  LocalZone::Guard zone = engine.zone.hold();
  if (!zone.is_domain(zone_name)) return kRcodeNotAuth;

  // Every record the counts announce must be there: a message cut short
  // (a truncated datagram) is refused, not applied in part.
  UpdateRecord record;
  for (uint32_t i = 0; i < prerequisites; ++i) {
    if (!read_record(request, at, record)) return kRcodeFormErr;
    engine.log.write(2, "prequisite %s %u %s %s for %s\n", EscapedName(record.name).c_str(),
                     record.ttl, class_mnemonic(record.rclass), type_mnemonic(record.type),
                     EscapedName(zone.domain()).c_str());
    const uint16_t outcome = check_prerequisite(zone, request, record);
    if (outcome != kRcodeNoError) return outcome;
    at = record.end;
  }
  engine.log.write(2, "prequisites ok %u\n", unsigned{updates});

  std::vector<UpdateRecord> changes;
  changes.reserve(std::min<size_t>(updates, (request.size() - at) / kSmallestRecord));
  for (uint32_t i = 0; i < updates; ++i) {
    if (!read_record(request, at, record)) return kRcodeFormErr;
    engine.log.write(2, "prescan %s %u %s %s\n", EscapedName(record.name).c_str(), record.ttl,
                     class_mnemonic(record.rclass), type_mnemonic(record.type));
    const uint16_t outcome = prescan_update(zone, request, record);
    if (outcome != kRcodeNoError) return outcome;
    at = record.end;
    changes.push_back(record);
  }
  engine.log.write(2, "prescan ok\n");

  uint32_t counted = 0;
  for (const UpdateRecord& change : changes) {
    engine.log.write(1, "update %s %u %s %s\n", EscapedName(change.name).c_str(), change.ttl,
                     class_mnemonic(change.rclass), type_mnemonic(change.type));
    if (apply_update(zone, request, change)) ++counted;
  }
  if (updates == 0) return kRcodeNoError;
  // RFC 2136 section 3.6: the serial rises with every accepted update.
  zone.set_serial(zone.serial() + 1);
  zone.unlock();
  engine.statistics.updates.fetch_add(counted, std::memory_order_relaxed);

  // RFC 2136 section 3.5: the client is told of success only once the change
  // is on stable storage. With a zone writer the reply waits for its save.
  if (engine.zone.saves_queued()) {
    awaits_save = true;
    return kRcodeNoError;
  }
  if (zone_save(engine) != 1) {
    engine.log.write(1, "update not saved to the zone file\n");
    return kRcodeServFail;
  }
  return kRcodeNoError;
}

}  // namespace

int update_apply(Engine& engine, const RequestContext& /*context*/, Reply& reply,
                 std::span<const uint8_t> request) {
  bool awaits_save = false;
  const int length =
      error_reply(engine, process_update(engine, request, awaits_save), reply, request);
  reply.awaits_save = awaits_save && length > 0;
  return length;
}

void settle_update_reply(Engine& engine, std::span<uint8_t> reply, bool saved) {
  if (saved || reply.size() < DnsHeader::kSize) return;
  engine.log.write(1, "update not saved to the zone file\n");
  const uint16_t flags = read_u16(reply.data() + 2);
  write_u16(reply.data() + 2, static_cast<uint16_t>((flags & ~kFlagRcode) | kRcodeServFail));
  QueryStatistics::count(engine.statistics.errors);
}

std::optional<ZoneRecord> find_exact_record(const LocalZone::Guard& zone, std::string_view name,
                                            uint32_t type, std::span<const uint8_t> message,
                                            size_t rdata_position, size_t rdata_length) {
  const std::optional<RecordValue> value = read_value(message, type, rdata_position, rdata_length);
  if (!value) return std::nullopt;
  for (const ZoneRecord& record : zone.live().owned_by(name)) {
    if (record.type != type) continue;
    const bool same_datum = record.datum == value->datum;
    const bool same = type == kTypeA    ? same_datum
                      : type == kTypeMx ? same_datum && record.target == value->target
                                        : record.target == value->target;
    if (same) return record;
  }
  return std::nullopt;
}

int delete_name_records(LocalZone::Guard& zone, std::string_view name) {
  return remove_owned(zone, name, [](const ZoneRecord& record) { return record.type != kTypeNs; });
}

}  // namespace norvane
