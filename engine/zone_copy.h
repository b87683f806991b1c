// A copy of the live database taken under the database lock, made cheap to
// take (it shares the list's storage) so that the slow work on it,
// formatting the zone file or encoding a zone transfer, runs after the lock
// is released. Not thread-safe; a copy belongs to the thread that took it.
#pragma once

#include <cstdint>
#include <string>

#include "engine/local_database.h"

namespace norvane {

// The SOA fields of the local domain.
struct ZoneSoa {
  std::string domain, primary, mailbox;
  uint32_t serial = 0, refresh = 0, retry = 0, expire = 0, minimum = 0;
};

class ZoneCopy {
 public:
  // Copies the SOA fields and freezes the live list. Database lock held by
  // `zone`; the copy needs no lock afterwards.
  static ZoneCopy capture(const LocalZone::Guard& zone) {
    ZoneCopy image;
    image.soa_ = current_soa(zone);
    image.records_ = zone.live().freeze();
    image.count_ = zone.live().size();
    return image;
  }

  const ZoneSoa& soa() const { return soa_; }
  // The live records in list order (begin(), end() give ZoneRecord views).
  const FrozenRecords& records() const { return records_; }
  size_t size() const { return count_; }

  // The SOA fields of the zone held by `zone`.
  static ZoneSoa current_soa(const LocalZone::Guard& zone);

 private:
  ZoneSoa soa_;
  FrozenRecords records_;
  size_t count_ = 0;
};

}  // namespace norvane
