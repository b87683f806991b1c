// Chunked record and name storage with its open-addressing tables. See
// record_store.h.
#include "engine/record_store.h"

#include <algorithm>
#include <atomic>
#include <functional>

namespace norvane {
namespace {

// Linear probing keeps a table at most two thirds full: a miss then ends
// within a few entries, which lie side by side, and the hash tags spare the
// reads of names that do not match.
size_t table_capacity_for(size_t entries) {
  size_t capacity = 16;
  while (capacity * 2 < entries * 3) capacity *= 2;
  return capacity;
}
bool table_full(size_t entries, size_t capacity) { return entries * 3 > capacity * 2; }

size_t hash_address(uint32_t address) {
  // A multiplicative mix: consecutive addresses (the usual zone) spread over
  // the whole table rather than filling one run.
  return static_cast<size_t>((static_cast<uint64_t>(address) * 0x9E3779B97F4A7C15ULL) >> 32);
}

}  // namespace

// ---- RecordChunks -----------------------------------------------------------

ZoneRecord RecordChunks::view(uint32_t index) const {
  const StoredRecord& stored = slot(index);
  ZoneRecord record;
  record.ttl = stored.ttl;
  record.datum = stored.datum;
  record.type = stored.type;
  record.owner = name(stored.owner);
  record.target = name(stored.target);
  record.sequence = stored.sequence;
  record.handle = handle_of(stored.sequence);
  return record;
}

uint32_t RecordChunks::find_sequence(uint64_t sequence) const {
  // Slots are in append order and sequence numbers only grow.
  uint32_t low = 0;
  uint32_t high = slot_count_;
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    if (slot(middle).sequence < sequence)
      low = middle + 1;
    else
      high = middle;
  }
  return low < slot_count_ && slot(low).sequence == sequence ? low : kNoSlot;
}

void RecordChunks::Iterator::settle() {
  const uint32_t count = chunks_->slot_count();
  while (index_ < count && chunks_->removed(index_)) ++index_;
  if (index_ < count) current_ = chunks_->view(index_);
}

// ---- RecordStore ------------------------------------------------------------

namespace {

// A table entry: the name's reference in the low half, the high half of its
// hash in the high half, so that a probe reads a name's text only when the
// hashes agree.
uint64_t table_entry(NameRef ref, size_t hash) {
  return (static_cast<uint64_t>(hash >> 32) << 32) | ref;
}
NameRef entry_ref(uint64_t entry) { return static_cast<NameRef>(entry); }
bool entry_tag_matches(uint64_t entry, size_t hash) {
  return (entry >> 32) == static_cast<uint64_t>(hash >> 32);
}
size_t name_hash(std::string_view text) { return std::hash<std::string_view>{}(text); }

}  // namespace

NameRef RecordStore::find_name(std::string_view text) const {
  if (table_.empty()) return kNoName;
  const size_t hash = name_hash(text);
  const size_t mask = table_.size() - 1;
  for (size_t at = hash & mask;; at = (at + 1) & mask) {
    const uint64_t entry = table_[at];
    if (entry == 0) return kNoName;
    if (entry_tag_matches(entry, hash) && name(entry_ref(entry)) == text) return entry_ref(entry);
  }
}

void RecordStore::grow_table(size_t capacity) {
  std::vector<uint64_t> old;
  old.swap(table_);
  table_.assign(capacity, 0);
  const size_t mask = capacity - 1;
  for (uint64_t entry : old) {
    if (entry == 0) continue;
    const size_t hash = name_hash(name(entry_ref(entry)));
    size_t at = hash & mask;
    while (table_[at] != 0) at = (at + 1) & mask;
    table_[at] = entry;
  }
}

NameRef RecordStore::intern(std::string_view text) {
  if (text.size() > 255) return kNoName;
  if (const NameRef found = find_name(text); found != kNoName) return found;
  if (table_full(info_.size() + 1, table_.size())) grow_table(table_capacity_for(info_.size() + 1));

  const size_t needed = 5 + text.size();
  if (names_.empty() || names_end_ + needed > kNameChunkBytes) {
    // Chunk numbers fill the high 16 bits of a NameRef.
    if (names_.size() >= 0x10000) return kNoName;
    names_.push_back(std::make_shared<NameChunk>());
    names_end_ = 0;
  }
  char* at = names_.back()->bytes.data() + names_end_;
  const uint32_t number = static_cast<uint32_t>(info_.size());
  std::memcpy(at, &number, 4);
  at[4] = static_cast<char>(text.size());
  std::memcpy(at + 5, text.data(), text.size());
  const NameRef ref = static_cast<NameRef>(((names_.size() - 1) << 16) | (names_end_ + 4));
  names_end_ += static_cast<uint32_t>(needed);
  info_.emplace_back();

  const size_t hash = name_hash(text);
  const size_t mask = table_.size() - 1;
  size_t slot = hash & mask;
  while (table_[slot] != 0) slot = (slot + 1) & mask;
  table_[slot] = table_entry(ref, hash);
  return ref;
}

uint32_t RecordStore::push(const StoredRecord& record) {
  if (slot_count_ == kNoSlot - 1) return kNoSlot;
  if (slot_count_ % kRecordsPerChunk == 0 && slot_count_ / kRecordsPerChunk == records_.size())
    records_.push_back(std::make_shared<RecordChunk>());
  // The new slot lies past the end that any frozen copy reads, so a shared
  // last chunk is written without a clone.
  const uint32_t index = slot_count_++;
  records_[index / kRecordsPerChunk]->records[index % kRecordsPerChunk] = record;
  return index;
}

StoredRecord& RecordStore::writable(uint32_t index) {
  std::shared_ptr<RecordChunk>& chunk = records_[index / kRecordsPerChunk];
  // Frozen copies are taken under the same lock as this write, so a count of
  // one cannot become two meanwhile; a stale count above one only costs a
  // clone.
  if (chunk.use_count() > 1) chunk = std::make_shared<RecordChunk>(*chunk);
  // A copy released on another thread read the chunk before its release of
  // the count; this orders that read before the write below.
  std::atomic_thread_fence(std::memory_order_acquire);
  return chunk->records[index % kRecordsPerChunk];
}

void RecordStore::reserve(size_t records, size_t names) {
  records_.reserve(records / kRecordsPerChunk + 1);
  info_.reserve(names);
  if (table_full(names, table_.size())) grow_table(table_capacity_for(names));
}

// ---- AddressIndex -----------------------------------------------------------

size_t AddressIndex::home(uint32_t address) const {
  return hash_address(address) & (entries_.size() - 1);
}

uint32_t AddressIndex::find(uint32_t address) const {
  if (entries_.empty()) return kNoSlot;
  const size_t mask = entries_.size() - 1;
  for (size_t at = home(address);; at = (at + 1) & mask) {
    const Entry& entry = entries_[at];
    if (entry.slot == kNoSlot) return kNoSlot;
    if (entry.address == address) return entry.slot;
  }
}

void AddressIndex::grow(size_t capacity) {
  std::vector<Entry> old;
  old.swap(entries_);
  entries_.assign(capacity, Entry{0, kNoSlot});
  const size_t mask = capacity - 1;
  for (const Entry& entry : old) {
    if (entry.slot == kNoSlot) continue;
    size_t at = home(entry.address);
    while (entries_[at].slot != kNoSlot) at = (at + 1) & mask;
    entries_[at] = entry;
  }
}

void AddressIndex::reserve(size_t addresses) {
  if (table_full(addresses, entries_.size())) grow(table_capacity_for(addresses));
}

void AddressIndex::erase_at(size_t at) {
  // Backward-shift deletion: every entry after the hole that could have
  // lived in it moves up, so that no probe sequence is cut short.
  const size_t mask = entries_.size() - 1;
  size_t hole = at;
  for (size_t next = (hole + 1) & mask; entries_[next].slot != kNoSlot; next = (next + 1) & mask) {
    const size_t wanted = home(entries_[next].address);
    // The entry may fill the hole when its home lies cyclically outside
    // (hole, next].
    const bool between =
        hole <= next ? (hole < wanted && wanted <= next) : (hole < wanted || wanted <= next);
    if (between) continue;
    entries_[hole] = entries_[next];
    hole = next;
  }
  entries_[hole] = Entry{0, kNoSlot};
  --used_;
}

void AddressIndex::set(uint32_t address, uint32_t slot) {
  if (slot != kNoSlot && table_full(used_ + 1, entries_.size()))
    grow(table_capacity_for(used_ + 1));
  if (entries_.empty()) return;
  const size_t mask = entries_.size() - 1;
  for (size_t at = home(address);; at = (at + 1) & mask) {
    Entry& entry = entries_[at];
    if (entry.slot == kNoSlot) {
      if (slot == kNoSlot) return;
      entry = Entry{address, slot};
      ++used_;
      return;
    }
    if (entry.address != address) continue;
    if (slot == kNoSlot)
      erase_at(at);
    else
      entry.slot = slot;
    return;
  }
}

}  // namespace norvane
