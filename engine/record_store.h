// Compact storage of the local database's records: fixed-size record slots
// and the names they refer to, each kept in fixed-size chunks. A chunk is
// shared between a live list and the frozen copies taken of it, and is
// cloned before a shared one is changed, so a copy of the whole zone costs a
// few pointer copies and reads without the database lock. Not thread-safe on
// its own: the database lock guards a live list; a frozen copy is read-only.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

namespace norvane {

// One record of the local database as its list shows it. Only A, NS, CNAME
// and MX are stored. The names are views into the list's name storage: they
// stay valid while the list lives, until it is cleared or compacted (a
// removal may compact it; see RecordList::remove).
struct ZoneRecord {
  uint32_t ttl = 0;
  // A: the IPv4 address in network byte order; MX: the preference; else 0.
  uint32_t datum = 0;
  uint32_t type = 0;
  // Owner and target (NS host, CNAME canonical name, MX exchange; empty for A):
  // lower case, no trailing dot, at most 255 characters each.
  std::string_view owner;
  std::string_view target;
  // Position in the list's insertion order; orders wildcard matches.
  uint64_t sequence = 0;
  // Identity of the record for clients that name it later (the control
  // channel): never 0; the list's identity and the record's sequence number,
  // so not reused until 2^24 lists later.
  uint64_t handle = 0;

  uint8_t owner_length() const { return static_cast<uint8_t>(owner.size()); }
  uint8_t target_length() const { return static_cast<uint8_t>(target.size()); }
};

// Where a name is kept: the offset of its length byte in the name chunks
// (chunk number in the high 16 bits). Never 0 for a stored name.
using NameRef = uint32_t;
inline constexpr NameRef kNoName = 0;
// "No record": the end of a chain, an empty index entry.
inline constexpr uint32_t kNoSlot = 0xFFFFFFFF;

// One record slot. `type` 0 marks a removed record, whose slot stays until
// the list is compacted.
struct StoredRecord {
  uint64_t sequence;
  NameRef owner;
  NameRef target;  // kNoName for A records
  uint32_t ttl;
  uint32_t datum;
  uint32_t type;
  uint32_t reserved;
};
static_assert(sizeof(StoredRecord) == 32);

inline constexpr size_t kRecordsPerChunk = 1024;
inline constexpr size_t kNameChunkBytes = 65536;
struct RecordChunk {
  std::array<StoredRecord, kRecordsPerChunk> records;
};
// A name is stored as its number (4 bytes, the index of its bookkeeping in
// the live list), its length (1 byte) and its text, never across two chunks.
struct NameChunk {
  std::array<char, kNameChunkBytes> bytes;
};

// The chunks of one list and the read operations on them. Copying it shares
// the chunks (a frozen copy); a changing list clones a chunk before it
// writes into a shared one.
class RecordChunks {
 public:
  // The list the handles belong to (see RecordList).
  uint64_t list_id() const { return list_id_; }
  // Slots in use, removed ones included.
  uint32_t slot_count() const { return slot_count_; }
  const StoredRecord& slot(uint32_t index) const {
    return records_[index / kRecordsPerChunk]->records[index % kRecordsPerChunk];
  }
  bool removed(uint32_t index) const { return slot(index).type == 0; }
  // The text of a stored name; empty for kNoName.
  std::string_view name(NameRef ref) const {
    if (ref == kNoName) return {};
    const char* at = names_[ref >> 16]->bytes.data() + (ref & 0xFFFF);
    return {at + 1, static_cast<uint8_t>(*at)};
  }
  // The number stored in front of a name.
  uint32_t name_number(NameRef ref) const {
    uint32_t number;
    std::memcpy(&number, names_[ref >> 16]->bytes.data() + (ref & 0xFFFF) - 4, 4);
    return number;
  }
  ZoneRecord view(uint32_t index) const;
  uint64_t handle_of(uint64_t sequence) const { return (list_id_ << 40) | (sequence + 1); }
  // The slot whose record has `sequence`, or kNoSlot (removed slots count).
  uint32_t find_sequence(uint64_t sequence) const;

  // Iterates over the live records in slot order, skipping removed ones.
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = ZoneRecord;
    using difference_type = std::ptrdiff_t;
    using pointer = const ZoneRecord*;
    using reference = const ZoneRecord&;

    Iterator() = default;
    Iterator(const RecordChunks* chunks, uint32_t index) : chunks_(chunks), index_(index) {
      settle();
    }
    const ZoneRecord& operator*() const { return current_; }
    const ZoneRecord* operator->() const { return &current_; }
    Iterator& operator++() {
      ++index_;
      settle();
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iterator& other) const { return index_ == other.index_; }
    uint32_t index() const { return index_; }

   private:
    void settle();

    const RecordChunks* chunks_ = nullptr;
    uint32_t index_ = 0;
    ZoneRecord current_;
  };
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, slot_count_); }

 protected:
  std::vector<std::shared_ptr<RecordChunk>> records_;
  std::vector<std::shared_ptr<NameChunk>> names_;
  uint32_t slot_count_ = 0;
  uint64_t list_id_ = 0;
};

// A read-only copy of a list at one moment, taken in constant time per chunk.
// Its names and records stay valid for as long as it lives, whatever happens
// to the list afterwards; it needs no lock.
class FrozenRecords : public RecordChunks {
 public:
  FrozenRecords() = default;
  explicit FrozenRecords(const RecordChunks& chunks) : RecordChunks(chunks) {}
};

// The chunks of a live list with the operations that change them, and the
// table that stores each distinct name once. Names are never removed one by
// one: a name no longer used stays until the list is compacted or cleared.
class RecordStore : public RecordChunks {
 public:
  // What the list keeps about a name: its first and last record (the chain
  // of its records in list order) and how many records lie below it.
  struct NameInfo {
    uint32_t first = kNoSlot;
    uint32_t last = kNoSlot;
    uint32_t descendants = 0;
  };

  explicit RecordStore(uint64_t list_id) { list_id_ = list_id; }

  // The stored name equal to `text` (byte for byte), or kNoName.
  NameRef find_name(std::string_view text) const;
  // The stored name equal to `text`, stored now when there is none; kNoName
  // when `text` is longer than 255 bytes or the name storage is full.
  NameRef intern(std::string_view text);
  NameInfo& info(NameRef ref) { return info_[name_number(ref)]; }
  const NameInfo& info(NameRef ref) const { return info_[name_number(ref)]; }

  // Appends a slot; returns its index (kNoSlot when the slots are full).
  uint32_t push(const StoredRecord& record);
  // The slot at `index` for writing, its chunk cloned first when a frozen
  // copy shares it.
  StoredRecord& writable(uint32_t index);
  // Room for about `records` records and `names` names.
  void reserve(size_t records, size_t names);

 private:
  void grow_table(size_t capacity);

  // Open addressing: hash tag and NameRef per entry (see record_store.cc);
  // 0: empty.
  std::vector<uint64_t> table_;
  std::vector<NameInfo> info_;  // by name number
  uint32_t names_end_ = 0;      // offset of the next free byte in the last name chunk
};

// Open-addressing index from IPv4 address to the first A record slot with
// that address (the others follow through the list's address chain).
class AddressIndex {
 public:
  // The first slot with `address`, or kNoSlot.
  uint32_t find(uint32_t address) const;
  // Sets the first slot of `address` (kNoSlot removes it).
  void set(uint32_t address, uint32_t slot);
  void reserve(size_t addresses);
  size_t size() const { return used_; }

 private:
  struct Entry {
    uint32_t address;
    uint32_t slot;  // kNoSlot: empty
  };
  size_t home(uint32_t address) const;
  void grow(size_t capacity);
  void erase_at(size_t at);

  std::vector<Entry> entries_;
  size_t used_ = 0;
};

}  // namespace norvane
