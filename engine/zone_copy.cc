// Copies of the live database for work done outside the database lock.
#include "engine/zone_copy.h"

namespace norvane {

ZoneSoa ZoneCopy::current_soa(const LocalZone::Guard& zone) {
  ZoneSoa soa;
  soa.domain = zone.domain();
  soa.primary = zone.primary();
  soa.mailbox = zone.mailbox();
  soa.serial = zone.serial();
  soa.refresh = zone.refresh();
  soa.retry = zone.retry();
  soa.expire = zone.expire();
  soa.minimum = zone.minimum();
  return soa;
}

void ZoneCopy::add(const ZoneRecord& record) {
  // Names are at most 255 characters (the database refuses longer ones), so
  // their sizes fit the single bytes of Record.
  Record entry{record.sequence,
               record.ttl,
               record.datum,
               record.type,
               static_cast<uint32_t>(names_.size()),
               0,
               record.owner_length(),
               record.target_length()};
  names_ += record.owner;
  entry.target_at = static_cast<uint32_t>(names_.size());
  names_ += record.target;
  records_.push_back(entry);
}

}  // namespace norvane
