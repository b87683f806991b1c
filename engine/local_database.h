// The local database: the one domain this server is authoritative for, its SOA
// fields and its records in the order they were added, with the staging list
// that whole-zone loads fill before they swap it in. Records are indexed by
// owner name and A records by address so that lookups do not walk the list.
// Thread-safety: one re-entrant database lock guards both lists, every record
// and the SOA fields, which are reached only through LocalZone::Guard.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/log.h"
#include "engine/names.h"
#include "engine/record_store.h"

namespace norvane {

// Transparent hashing so that lookups by std::string_view do not allocate.
struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// A list of records in insertion order with its lookup indexes. The order is
// the order of answers, of the saved zone file and of zone transfers. Each
// distinct name is stored once; records refer to names and indexes refer to
// records by number, so a large zone costs little more than its text.
//
// Handles carry the list's identity, which a list draws when it is made or
// cleared, and the record's sequence number: a handle taken from a list
// that a load has since replaced finds nothing.
class RecordList {
 public:
  using Position = RecordChunks::Iterator;

  // The records of one owner, in list order.
  class Owned {
   public:
    class Iterator {
     public:
      Iterator(const RecordList* list, uint32_t index) : list_(list), index_(index) { settle(); }
      const ZoneRecord& operator*() const { return current_; }
      const ZoneRecord* operator->() const { return &current_; }
      Iterator& operator++() {
        index_ = list_->next_owned_[index_];
        settle();
        return *this;
      }
      bool operator==(const Iterator& other) const { return index_ == other.index_; }

     private:
      void settle() {
        if (index_ != kNoSlot) current_ = list_->store_.view(index_);
      }
      const RecordList* list_;
      uint32_t index_;
      ZoneRecord current_;
    };
    Owned(const RecordList* list, uint32_t first) : list_(list), first_(first) {}
    Iterator begin() const { return Iterator(list_, first_); }
    Iterator end() const { return Iterator(list_, kNoSlot); }
    bool empty() const { return first_ == kNoSlot; }
    size_t size() const {
      size_t count = 0;
      for (uint32_t at = first_; at != kNoSlot; at = list_->next_owned_[at]) ++count;
      return count;
    }

   private:
    const RecordList* list_;
    uint32_t first_;
  };

  RecordList();
  RecordList(const RecordList&) = delete;
  RecordList& operator=(const RecordList&) = delete;
  RecordList(RecordList&&) = default;
  RecordList& operator=(RecordList&&) = default;

  // Every record in list order (begin(), end(); see Position).
  const RecordChunks& records() const { return store_; }
  bool empty() const { return live_count_ == 0; }
  size_t size() const { return live_count_; }

  // Appends a record (owner and target as given: the caller normalises them;
  // target empty for A) and indexes it. Returns the stored record, or
  // nothing when the storage is full.
  std::optional<ZoneRecord> append(uint32_t type, std::string_view owner, uint32_t ttl,
                                   uint32_t datum, std::string_view target);
  // A whole-zone load into this list: room is reserved for about `expected`
  // records and, until finish_bulk_load, appended records are indexed by
  // owner only (what the duplicate test of add_zone_record reads). The other
  // indexes are then built in one pass, which saves their growth and the
  // per-record bookkeeping while a large file is read. Only by_owner lookups
  // (owned_by) are valid in between.
  void start_bulk_load(size_t expected);
  void finish_bulk_load();

  // Removes the record that `record` shows (found by its handle, so a view
  // taken before an earlier removal still finds it); false when it is not in
  // this list. A removal may compact the list, after which the names of
  // views taken before it must not be read.
  bool remove(const ZoneRecord& record);
  void clear();

  // Records owned by `owner`, in list order (empty when none).
  Owned owned_by(std::string_view owner) const;
  // The record with `handle`, or nothing when it is no longer in this list.
  std::optional<ZoneRecord> find_handle(uint64_t handle) const;
  // The position of the record with `handle`, or records().end() when it is
  // no longer in this list; lets a listing step to the record behind it
  // without walking the list.
  Position position_of(uint64_t handle) const;
  // The first A record whose address equals `address` (network order).
  std::optional<ZoneRecord> first_with_address(uint32_t address) const;
  // True when some record's owner lies strictly below `name` (label boundary).
  bool has_descendants(std::string_view name) const;
  // Calls `visit(record)` for every record whose owner is a wildcard ("*"
  // followed by a suffix) whose suffix is shorter than `name` and equals the end
  // of `name`, in list order.
  void for_each_wildcard_match(std::string_view name,
                               const std::function<void(const ZoneRecord&)>& visit) const;

  // A read-only copy of the list as it is now, cheap to take (it shares the
  // storage) and safe to read after the lock guarding the list is released.
  FrozenRecords freeze() const { return FrozenRecords(store_); }

 private:
  // Links slot `index` into the address index and the descendant and
  // wildcard counts.
  void index_details(uint32_t index);
  // Adds `delta` to the descendant count of every ancestor of `owner`.
  void count_ancestors(std::string_view owner, int delta);
  // Rebuilds the list without its removed slots and unused names.
  void compact();

  RecordStore store_;
  // Per slot: the next record of the same owner, and for A records the next
  // one with the same address (kNoSlot at the end of a chain).
  std::vector<uint32_t> next_owned_;
  std::vector<uint32_t> next_address_;
  AddressIndex by_address_;
  // Suffix length of wildcard owners -> number of records with such an owner.
  std::unordered_map<size_t, uint32_t> wildcard_suffix_lengths_;
  size_t live_count_ = 0;
  size_t removed_count_ = 0;
  uint64_t next_sequence_ = 0;
  bool bulk_load_ = false;
  // Slots before this one were indexed in full before the bulk load.
  uint32_t bulk_load_start_ = 0;
};

// The local domain, one per engine. Its SOA fields, its lists and the load
// and save bookkeeping are private: they are reached only through a Guard,
// which holds the re-entrant database lock for as long as it lives. A
// function that expects the lock held takes a Guard, so the requirement is
// checked by the compiler rather than written in a comment. The database lock
// is the outermost: take a Guard before the cache or log lock, never while
// holding either.
class LocalZone {
 public:
  class Guard;

  explicit LocalZone(TransactionLog& log) : log_(log) {}
  LocalZone(const LocalZone&) = delete;
  LocalZone& operator=(const LocalZone&) = delete;

  // Takes the database lock, waiting as long as it takes, and returns the
  // guard that reaches the zone's state. Re-entrant: a thread that holds a
  // guard may take another.
  Guard hold();

  // The operations below take the lock themselves; each is also offered on
  // the Guard for callers that already hold it.
  int add_zone_record(int staging, uint32_t type, std::string_view owner, uint32_t ttl,
                      uint32_t datum, char* target);
  int add_zone_record(int staging, uint32_t type, std::string_view owner, uint32_t ttl,
                      uint32_t datum, std::string_view target);
  // Takes the lock, unlinks and frees `record`, adds 1 to the serial and
  // releases the lock, then asks for a save of the zone file (request_save:
  // queued, not waited for, when a writer is installed). Returns whether the
  // record was found; a record not in the live list still raises the serial
  // and asks for a save.
  bool remove_zone_record(const ZoneRecord& record);
  int remove_zone_records(uint32_t type, std::string_view name);
  int set_zone_soa(std::string_view domain, std::string_view primary, std::string_view mailbox,
                   uint32_t serial, uint32_t refresh, uint32_t retry, uint32_t expire,
                   uint32_t minimum);

  // Saves draw a generation under the database lock (Guard::
  // take_save_generation), in the order of their snapshots; the file is
  // replaced under save_lock, never by an older one. Guarded by save_lock,
  // not by the database lock.
  std::mutex save_lock;
  uint64_t published_save_generation = 0;

  // What a waiter for a save hears: whether the write it waited for reached
  // the disk.
  using SaveDone = std::function<void(bool saved)>;

  // The synchronous save: writes the zone file on the calling thread and
  // returns success. Does nothing until a zone file is configured. Set
  // before the zone is shared between threads.
  void set_save_hook(std::function<bool()> hook) { save_hook_ = std::move(hook); }
  // The writer that saves off the calling thread: `queue(done)` asks for a
  // write of the live database that begins after the call and calls
  // done(saved) once it has finished, on the writer's thread (`done` may be
  // empty). Set before the zone is shared between threads, or cleared
  // (empty function) once no other thread uses the zone.
  void set_save_queue(std::function<void(SaveDone)> queue) { save_queue_ = std::move(queue); }
  // Whether saves are queued to a writer: replies that must follow the save
  // are then sent from `done` rather than at once.
  bool saves_queued() const { return static_cast<bool>(save_queue_); }

  // Asks for a save of the changes made so far. With a writer it is queued
  // and `done` runs on the writer's thread; without one the file is written
  // at once and `done` runs before this returns. May be called with the
  // database lock held (the write is then made once the lock is released).
  void request_save(SaveDone done = nullptr) const;
  // Asks for a save and waits for it; returns whether the file was written.
  // With a writer installed this must not be called while the calling thread
  // holds the database lock: the writer takes that lock to copy the zone.
  bool save() const;

 private:
  TransactionLog& log_;
  // Timed so that a Guard can give up after a bounded wait.
  mutable std::recursive_timed_mutex lock_;
  RecordList live_;
  RecordList staging_;
  std::function<bool()> save_hook_;
  std::function<void(SaveDone)> save_queue_;

  // SOA fields and times.
  std::time_t loaded_at_ = 0;
  std::time_t refreshed_at_ = 0;
  std::time_t retry_after_ = 0;
  uint32_t serial_ = 0;
  uint32_t refresh_ = 36000;
  uint32_t retry_ = 7200;
  uint32_t expire_ = 72000;
  uint32_t minimum_ = 3600;
  std::string domain_;
  std::string primary_;
  std::string mailbox_;

  // A whole-zone load claims the staging list (see zone_file.cc): set and
  // cleared under the lock, so two loads cannot both start.
  bool staging_claimed_ = false;
  uint64_t next_save_generation_ = 1;
};

// The database lock, held, and the only way to the zone's state (in the
// manner of a lock-guarded value: the data is reached through the lock that
// guards it). A const Guard reads; a Guard changes. Movable, not copyable;
// the lock is released when the guard is destroyed or unlocked.
class LocalZone::Guard {
 public:
  // Waits for the lock.
  explicit Guard(LocalZone& zone) : zone_(&zone), lock_(zone.lock_) {}
  // Waits at most `timeout`; owns_lock() tells whether the lock was taken. A
  // guard that does not own the lock must not be used to reach the zone.
  Guard(LocalZone& zone, std::chrono::milliseconds timeout)
      : zone_(&zone), lock_(zone.lock_, timeout) {}
  Guard(Guard&&) = default;
  Guard& operator=(Guard&&) = default;

  bool owns_lock() const { return lock_.owns_lock(); }
  explicit operator bool() const { return owns_lock(); }
  // Releases the lock before the guard goes out of scope (a reply that goes
  // on without the database); the guard must not be used afterwards.
  void unlock() { lock_.unlock(); }

  // The SOA fields. The names are without a trailing dot, in the case they
  // were written (a zone file, the settings store, the control channel): they
  // are shown, saved and sent as they stand. Names compare without case (RFC
  // 4343), so every test against the domain goes through is_domain,
  // zone_of_name or in_local_domain, never a byte comparison. The setters
  // store the names as given; set_zone_soa checks and qualifies them.
  const std::string& domain() const { return zone_->domain_; }
  const std::string& primary() const { return zone_->primary_; }
  const std::string& mailbox() const { return zone_->mailbox_; }
  uint32_t serial() const { return zone_->serial_; }
  uint32_t refresh() const { return zone_->refresh_; }
  uint32_t retry() const { return zone_->retry_; }
  uint32_t expire() const { return zone_->expire_; }
  uint32_t minimum() const { return zone_->minimum_; }
  void set_domain(std::string value) { zone_->domain_ = std::move(value); }
  void set_primary(std::string value) { zone_->primary_ = std::move(value); }
  void set_mailbox(std::string value) { zone_->mailbox_ = std::move(value); }
  void set_serial(uint32_t value) { zone_->serial_ = value; }
  void set_refresh(uint32_t value) { zone_->refresh_ = value; }
  void set_retry(uint32_t value) { zone_->retry_ = value; }
  void set_expire(uint32_t value) { zone_->expire_ = value; }
  void set_minimum(uint32_t value) { zone_->minimum_ = value; }

  // When the zone was last loaded, last refreshed from the primary, and when
  // a failed refresh may be retried.
  std::time_t loaded_at() const { return zone_->loaded_at_; }
  std::time_t refreshed_at() const { return zone_->refreshed_at_; }
  std::time_t retry_after() const { return zone_->retry_after_; }
  void set_loaded_at(std::time_t value) { zone_->loaded_at_ = value; }
  void set_refreshed_at(std::time_t value) { zone_->refreshed_at_ = value; }
  void set_retry_after(std::time_t value) { zone_->retry_after_ = value; }

  // Bookkeeping of whole-zone loads and zone file saves (see zone_file.cc).
  bool staging_claimed() const { return zone_->staging_claimed_; }
  void set_staging_claimed(bool value) { zone_->staging_claimed_ = value; }
  // The next save generation; each call returns a larger one.
  uint64_t take_save_generation() { return zone_->next_save_generation_++; }

  RecordList& live() { return zone_->live_; }
  const RecordList& live() const { return zone_->live_; }
  RecordList& staging() { return zone_->staging_; }
  const RecordList& staging() const { return zone_->staging_; }

  // Adds a record to the live list (staging 0) or the staging list (staging 1).
  // The owner loses one trailing dot; owner and target are lowered (the target
  // in the caller's buffer too, when one is given). TTL 0 becomes the zone's
  // minimum. Returns 1 when added; 0 when refused: a CNAME beside any record of
  // its owner, any record beside a CNAME, a duplicate (A same address, NS or
  // CNAME same target, MX same preference and exchange), a type other than A,
  // NS, CNAME and MX, or an owner or target that is not a valid name.
  // Changes neither the serial nor the zone file.
  int add_zone_record(int staging, uint32_t type, std::string_view owner, uint32_t ttl,
                      uint32_t datum, char* target);
  int add_zone_record(int staging, uint32_t type, std::string_view owner, uint32_t ttl,
                      uint32_t datum, std::string_view target);

  // The first record of `list` owned by `name` with `type` (255: any).
  std::optional<ZoneRecord> find_zone_record(const RecordList& list, std::string_view name,
                                             uint32_t type) const;
  // The first A record of the live list with `address` (network order).
  std::optional<ZoneRecord> find_address_record(uint32_t address) const;

  // Unlinks and frees `record` and adds 1 to the serial; the zone file is
  // not touched. Returns whether the record was found (a record not in the
  // live list still raises the serial). The caller saves (LocalZone::save
  // once the lock is released, or request_save).
  bool unlink_zone_record(const ZoneRecord& record);
  // unlink_zone_record, then request_save: with a writer the save is queued
  // and made once the lock is released; without one it is made now, with
  // the lock still held. Returns whether the record was found.
  bool remove_zone_record(const ZoneRecord& record);
  // Strips one trailing dot from `name` (compared as passed: lower case) and
  // removes every live record of `name` and `type` (255: all) one by one,
  // each with remove_zone_record. Returns the number removed.
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
  // the domain, records exist below it, or a wildcard covers it.
  bool name_exists(std::string_view name) const;

  // Replaces the SOA fields; 0 and nothing changed when `domain` is empty.
  // The names keep their case and lose one trailing dot. A primary equal to
  // the domain (case ignored) becomes the host's own name; a primary or a
  // mailbox without a dot is qualified; numbers of 0 keep the stored value.
  // A joined name that would exceed 255 characters is refused (the field keeps
  // its value).
  int set_zone_soa(std::string_view domain, std::string_view primary, std::string_view mailbox,
                   uint32_t serial, uint32_t refresh, uint32_t retry, uint32_t expire,
                   uint32_t minimum);

  // Writes the SOA and every live record into `stream`. The caller holds the
  // log lock too (TransactionLog::with_stream) and passes the timestamp it got
  // there.
  void log_zone(std::FILE* stream, const char* timestamp) const;
  // At log level 2 or more writes `heading` (such as "Loaded database:\n")
  // and then the whole database into the log (takes the log lock).
  void log_database(const char* heading);

  // Makes the staging list the live list and empties the staging list.
  void swap_staging();

  // LocalZone::request_save, for callers that hold the lock.
  void request_save(SaveDone done = nullptr) const { zone_->request_save(std::move(done)); }

 private:
  LocalZone* zone_;
  std::unique_lock<std::recursive_timed_mutex> lock_;
};

inline LocalZone::Guard LocalZone::hold() { return Guard(*this); }

// The host's own name as the system reports it (empty when unknown).
std::string local_host_name();

}  // namespace norvane
