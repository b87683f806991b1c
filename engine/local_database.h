// The local database: the one domain this server is authoritative for, its SOA
// fields and its records in the order they were added, with the staging list
// that whole-zone loads fill before they swap it in. Records are indexed by
// owner name and A records by address so that lookups do not walk the list.
// Thread-safety: one re-entrant database lock guards both lists, every record
// and the SOA fields; functions say whether they take it or expect it held.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/log.h"
#include "engine/names.h"

namespace norvane {

// One stored record. Only A, NS, CNAME and MX are stored.
struct ZoneRecord {
  uint32_t ttl = 0;
  // A: the IPv4 address in network byte order; MX: the preference; else 0.
  uint32_t datum = 0;
  uint32_t type = 0;
  // Owner and target (NS host, CNAME canonical name, MX exchange; empty for A):
  // lower case, no trailing dot, at most 255 characters each.
  std::string owner;
  std::string target;
  // Position in the list's insertion order; orders wildcard matches.
  uint64_t sequence = 0;
  // Identity of the record for clients that name it later (the control
  // channel): never 0, never reused within the process.
  uint64_t handle = 0;

  uint8_t owner_length() const { return static_cast<uint8_t>(owner.size()); }
  uint8_t target_length() const { return static_cast<uint8_t>(target.size()); }
};

// Transparent hashing so that lookups by std::string_view do not allocate.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// A list of records in insertion order with its lookup indexes. The order is
// the order of answers, of the saved zone file and of zone transfers.
class RecordList {
 public:
  using Records = std::list<ZoneRecord>;
  using Position = Records::const_iterator;

  RecordList() = default;
  RecordList(const RecordList&) = delete;
  RecordList& operator=(const RecordList&) = delete;
  RecordList(RecordList&&) = default;
  RecordList& operator=(RecordList&&) = default;

  const Records& records() const { return records_; }
  bool empty() const { return records_.empty(); }
  size_t size() const { return records_.size(); }

  // Appends a record and indexes it; returns the stored record.
  const ZoneRecord& append(ZoneRecord record);
  // Unlinks and frees `record`; false when it is not in this list.
  bool remove(const ZoneRecord* record);
  void clear();

  // Records owned by `owner`, in list order (empty when none).
  const std::vector<Position>& owned_by(std::string_view owner) const;
  // The record with `handle`, or null when it is no longer in this list.
  const ZoneRecord* find_handle(uint64_t handle) const;
  // The position of the record with `handle`, or records().end() when it is
  // no longer in this list; lets a listing step to the record behind it
  // without walking the list.
  Position position_of(uint64_t handle) const {
    auto found = by_handle_.find(handle);
    return found == by_handle_.end() ? records_.cend() : found->second;
  }
  // The first A record whose address equals `address` (network order), or null.
  const ZoneRecord* first_with_address(uint32_t address) const;
  // True when some record's owner lies strictly below `name` (label boundary).
  bool has_descendants(std::string_view name) const;
  // Calls `visit(record)` for every record whose owner is a wildcard ("*"
  // followed by a suffix) whose suffix is shorter than `name` and equals the end
  // of `name`, in list order.
  void for_each_wildcard_match(std::string_view name,
                               const std::function<void(const ZoneRecord&)>& visit) const;

 private:
  void index(Position position);
  void unindex(Position position);

  Records records_;
  std::unordered_map<std::string, std::vector<Position>, NameHash, std::equal_to<>> by_owner_;
  std::unordered_map<uint32_t, std::vector<Position>> by_address_;
  std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>> descendants_;
  // Suffix length of wildcard owners -> number of records with such an owner.
  std::unordered_map<size_t, uint32_t> wildcard_suffix_lengths_;
  std::unordered_map<uint64_t, Position> by_handle_;
  uint64_t next_sequence_ = 0;
};

// The local domain, one per engine.
class LocalZone {
 public:
  explicit LocalZone(TransactionLog& log) : log_(log) {}
  LocalZone(const LocalZone&) = delete;
  LocalZone& operator=(const LocalZone&) = delete;

  // The re-entrant database lock. Hold it for every read of the lists, the
  // records and the SOA fields, and for every change.
  std::recursive_mutex& lock() const { return lock_; }

  RecordList& live() { return live_; }
  const RecordList& live() const { return live_; }
  RecordList& staging() { return staging_; }

  // SOA fields and times (lock held).
  std::time_t loaded_at = 0;
  std::time_t refreshed_at = 0;
  std::time_t retry_after = 0;
  uint32_t serial = 0;
  uint32_t refresh = 36000;
  uint32_t retry = 7200;
  uint32_t expire = 72000;
  uint32_t minimum = 3600;
  // The SOA names, without a trailing dot, in the case they were written (a
  // zone file, the settings store, the control channel): they are shown, saved
  // and sent as they stand. Names compare without case (RFC 4343), so every
  // test against the domain goes through is_domain, zone_of_name or
  // in_local_domain, never a byte comparison.
  std::string domain;
  std::string primary;
  std::string mailbox;

  // Adds a record to the live list (staging 0) or the staging list (staging 1).
  // The owner loses one trailing dot; owner and target are lowered (the target
  // in the caller's buffer too, when one is given). TTL 0 becomes the zone's
  // minimum. Returns 1 when added; 0 when refused: a CNAME beside any record of
  // its owner, any record beside a CNAME, a duplicate (A same address, NS or
  // CNAME same target, MX same preference and exchange), a type other than A,
  // NS, CNAME and MX, or an owner or target that is not a valid name.
  // Changes neither the serial nor the zone file. Lock held.
  int add_zone_record(int staging, uint32_t type, std::string_view owner, uint32_t ttl,
                      uint32_t datum, char* target);
  int add_zone_record(int staging, uint32_t type, std::string_view owner, uint32_t ttl,
                      uint32_t datum, std::string_view target);

  // The first record of `list` owned by `name` with `type` (255: any). Lock held.
  const ZoneRecord* find_zone_record(const RecordList& list, std::string_view name,
                                     uint32_t type) const;
  // The first A record of the live list with `address` (network order). Lock held.
  const ZoneRecord* find_address_record(uint32_t address) const;

  // Takes the lock, unlinks and frees `record`, adds 1 to the serial and saves
  // the zone file through the save hook. Returns whether the record was found;
  // a record not in the live list still raises the serial and saves.
  bool remove_zone_record(const ZoneRecord* record);
  // Strips one trailing dot from `name` (compared as passed: lower case) and
  // removes every live record of `name` and `type` (255: all) one by one.
  // Returns the number removed.
  int remove_zone_records(uint32_t type, std::string_view name);

  // True when a domain is configured and `name` is it (ASCII case ignored).
  bool is_domain(std::string_view name) const;
  // True when `name` equals the domain or lies below it (ASCII case ignored).
  bool zone_of_name(std::string_view name) const;
  // 1 when `name` equals the domain or ends with "." and the domain (ASCII
  // case ignored); 0 otherwise, and 0 for every name while no domain is
  // configured.
  int in_local_domain(std::string_view name) const;
  // True when the name exists in the local database: it owns a record, it is
  // the domain, records exist below it, or a wildcard covers it. Lock held.
  bool name_exists(std::string_view name) const;

  // Replaces the SOA fields; 0 and nothing changed when `domain` is empty.
  // The names keep their case and lose one trailing dot. A primary equal to
  // the domain (case ignored) becomes the host's own name; a primary or a
  // mailbox without a dot is qualified; numbers of 0 keep the stored value.
  // A joined name that would exceed 255 characters is refused (the field keeps
  // its value). Takes the lock.
  int set_zone_soa(std::string_view domain, std::string_view primary, std::string_view mailbox,
                   uint32_t serial, uint32_t refresh, uint32_t retry, uint32_t expire,
                   uint32_t minimum);

  // Writes the SOA and every live record into `stream`. Database lock held; the
  // caller holds the log lock (TransactionLog::with_stream) and passes the
  // timestamp it got there.
  void log_zone(std::FILE* stream, const char* timestamp) const;
  // At log level 2 or more writes `heading` (such as "Loaded database:\n")
  // and then the whole database into the log. Lock held.
  void log_database(const char* heading);

  // Makes the staging list the live list and empties the staging list. Lock held.
  void swap_staging();

  // Bookkeeping of whole-zone loads and zone file saves (see zone_file.cc).
  // A load claims the staging list: set and cleared with the database lock
  // held, so two loads cannot both start.
  bool staging_claimed = false;
  // Saves draw a generation under the database lock, in the order of their
  // snapshots; the file is replaced under save_lock, never by an older one.
  uint64_t next_save_generation = 1;
  std::mutex save_lock;
  uint64_t published_save_generation = 0;

  // Called by remove_zone_record after a change to save the zone file; returns
  // success. Does nothing until a zone file is configured.
  void set_save_hook(std::function<bool()> hook) { save_hook_ = std::move(hook); }
  bool save() const { return save_hook_ ? save_hook_() : true; }

 private:
  TransactionLog& log_;
  mutable std::recursive_mutex lock_;
  RecordList live_;
  RecordList staging_;
  std::function<bool()> save_hook_;
};

// The host's own name as the system reports it (empty when unknown).
std::string local_host_name();

}  // namespace norvane
