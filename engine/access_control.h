// Access control: which client addresses may query, update and transfer the
// zone. Thread-safe: serving threads test against an immutable list that
// administrators replace whole; a test holds no lock beyond the pointer copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/server_settings.h"
#include "engine/snapshot.h"

namespace norvane {

// The rights text holds at most this many characters; the control-channel
// image carries it zero-terminated in 8 bytes.
inline constexpr size_t kMaxAccessRights = 7;
inline constexpr size_t kAccessRangeImageSize = 24;

// One trusted range and the rights it grants. Addresses are host order, so
// they compare numerically. first == 0 and last == 0: every address;
// last == 0 alone: the single address first; otherwise first..last
// inclusive, and a range with first > last covers nothing.
struct AccessRange {
  // Letters of the granted rights: 'Q' query, 'Z' zone transfer, 'U' update;
  // other characters (the blanks the security dialog writes) mean nothing.
  std::string rights;
  uint32_t first = 0;
  uint32_t last = 0;

  bool covers(uint32_t host_address) const;
  // True only for the letters 'Q', 'U' and 'Z' present in the rights.
  bool grants(char right) const;

  bool operator==(const AccessRange&) const = default;
};

class AccessControl {
 public:
  explicit AccessControl(const ServerSettings& settings) : settings_(settings) {}
  AccessControl(const AccessControl&) = delete;
  AccessControl& operator=(const AccessControl&) = delete;

  // 1 when the client `address` (network order) may use `right` ('Q' query,
  // 'U' update, 'Z' zone transfer); 0 when refused. Everything is allowed
  // while the access-control switch is off; with it on an operation needs a
  // range that covers the address and grants the right, so an empty list
  // refuses everything. Any right other than the three letters is refused.
  // There are no deny rules: a covering range without the letter is passed
  // over. Called by every serving thread; takes no lock of its own beyond
  // the snapshot's pointer copy.
  int access_allowed(uint32_t address, char right) const;

  // Replaces the live list with `ranges`, in order. Rights texts are cut to
  // seven characters, and a range with first 0 but a last address becomes
  // the single address last, as the stored form reads it, so that the list
  // always means what it would mean after being saved and loaded again.
  // Range i keeps the listing handle of the former range i, so a client
  // walking the list across a reload goes on where it was. Safe while other
  // threads test and list; concurrent replacements are serialised.
  void replace_access_list(std::vector<AccessRange> ranges);

  // A copy of the live list, in order.
  std::vector<AccessRange> access_list() const;

  // The 24-byte listing image of the range named by `handle` (0: the first
  // range): the handle of the next range, 0 for the last (8 bytes); the
  // rights text zero-terminated and zero-padded (8); first and last address
  // (4 each). Every number is little-endian, the addresses as host-order
  // numbers. Nothing when the list is empty or no range has that handle
  // (handles of replaced-away ranges included).
  std::optional<std::array<uint8_t, kAccessRangeImageSize>> access_range_image(
      uint64_t handle) const;

 private:
  // The ranges with their listing handles (non-zero, unique within the list
  // and over the life of this object), both in list order.
  struct List {
    std::vector<AccessRange> ranges;
    std::vector<uint64_t> handles;
  };

  const ServerSettings& settings_;
  Snapshot<List> list_;
  // Serialises replacements so that each reads the handles of the list it
  // replaces. Guards next_handle_.
  std::mutex replace_lock_;
  uint64_t next_handle_ = 1;
};

}  // namespace norvane
