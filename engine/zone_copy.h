// A copy of the live database taken under the database lock, made cheap to
// take (fixed-size entries and one buffer for every name) so that the slow
// work on it, formatting the zone file or encoding a zone transfer, runs
// after the lock is released. Not thread-safe; an image belongs to the
// thread that took it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/local_database.h"

namespace norvane {

// The SOA fields of the local domain.
struct ZoneSoa {
  std::string domain, primary, mailbox;
  uint32_t serial = 0, refresh = 0, retry = 0, expire = 0, minimum = 0;
};

class ZoneCopy {
 public:
  struct Record {
    // Orders the record in its list (ZoneRecord::sequence).
    uint64_t sequence;
    uint32_t ttl;
    uint32_t datum;
    uint32_t type;
    uint32_t owner_at;
    uint32_t target_at;
    uint8_t owner_size;
    uint8_t target_size;
  };

  // Copies the SOA fields and the records of the live list, in list order,
  // whose owner `keep` accepts (every record when `keep` is empty).
  // Database lock held by `zone`.
  template <class Keep>
  static ZoneCopy capture(const LocalZone::Guard& zone, Keep keep) {
    ZoneCopy image;
    image.soa_ = current_soa(zone);
    const RecordList& live = zone.live();
    image.records_.reserve(live.size());
    for (const ZoneRecord& record : live.records())
      if (keep(record)) image.add(record);
    return image;
  }
  static ZoneCopy capture(const LocalZone::Guard& zone) {
    return capture(zone, [](const ZoneRecord&) { return true; });
  }

  // The same from records kept by sequence number (the zone's mirror), with
  // `soa` as the SOA fields. Needs no database lock.
  template <class Keep>
  static ZoneCopy copy_of(const ZoneSoa& soa, const std::map<uint64_t, ZoneRecord>& records,
                          Keep keep) {
    ZoneCopy copy;
    copy.soa_ = soa;
    copy.records_.reserve(records.size());
    for (const auto& entry : records)
      if (keep(entry.second)) copy.add(entry.second);
    return copy;
  }

  const ZoneSoa& soa() const { return soa_; }
  const std::vector<Record>& records() const { return records_; }
  std::string_view owner(const Record& record) const {
    return std::string_view(names_).substr(record.owner_at, record.owner_size);
  }
  std::string_view target(const Record& record) const {
    return std::string_view(names_).substr(record.target_at, record.target_size);
  }

  // The SOA fields of the zone held by `zone`.
  static ZoneSoa current_soa(const LocalZone::Guard& zone);

 private:
  void add(const ZoneRecord& record);

  ZoneSoa soa_;
  std::vector<Record> records_;
  std::string names_;
};

}  // namespace norvane
