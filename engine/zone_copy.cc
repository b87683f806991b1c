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

}  // namespace norvane
