// Writing resource records into one section of a reply under construction,
// with the soft limit every writer obeys: a record is begun only while the
// write position is below the limit, and a record that ends at or beyond the
// limit is taken back. Not thread-safe; a sink belongs to one reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

namespace norvane {

// The write position of one section. `before` counts the bytes of the reply
// that stand in front of the section for the limit test (header, echoed
// questions and the other main section); `bytes` is the section itself. When
// `overflow` is given it is set whenever a record is refused for want of
// room, so that the reply can announce the truncation (RFC 2181 section 9).
class Sink {
 public:
  Sink(std::vector<uint8_t>& bytes, size_t before, size_t limit, bool* overflow = nullptr)
      : bytes_(bytes), before_(before), limit_(limit), overflow_(overflow) {}

  size_t position() const { return before_ + bytes_.size(); }
  size_t limit() const { return limit_; }
  bool below_limit() const { return position() < limit_; }
  std::vector<uint8_t>& bytes() { return bytes_; }

  // Marks the current end, and returns to a mark (taking back what followed).
  size_t mark() const { return bytes_.size(); }
  void take_back(size_t mark) { bytes_.resize(mark); }

  // Writes one record of class IN when the position is below the limit.
  // Returns true when it was kept; false when not begun or taken back because
  // it ended at or beyond the limit.
  bool put_a(std::string_view owner, uint32_t ttl, uint32_t address_network_order);
  // NS, CNAME and PTR: RDATA is the target name, uncompressed.
  bool put_name(std::string_view owner, uint16_t type, uint32_t ttl, std::string_view target);
  bool put_mx(std::string_view owner, uint32_t ttl, uint16_t preference, std::string_view exchange);
  // SOA records are written without a limit check.
  void put_soa(std::string_view owner, uint32_t ttl, std::string_view primary,
               std::string_view mailbox, uint32_t serial, uint32_t refresh, uint32_t retry,
               uint32_t expire, uint32_t minimum);

 private:
  bool keep(size_t start);
  bool refuse();

  std::vector<uint8_t>& bytes_;
  size_t before_;
  size_t limit_;
  bool* overflow_;
};

// Appends the fixed part of a record (owner, type, class IN, TTL) to `out`.
void append_record_head(std::vector<uint8_t>& out, std::string_view owner, uint16_t type,
                        uint32_t ttl);

}  // namespace norvane

namespace norvane {

// Size at which a transfer message is closed. A TCP length prefix could
// announce 65535 bytes, but clients parse a message in time that grows
// faster than its record count, so many messages of a quarter of that reach
// them sooner; the secondary's view is the same (RFC 5936 section 2.2).
inline constexpr size_t kMaxTransferMessage = 16384;

// Encodes the records of a zone transfer into whole messages of at most
// 65535 bytes each (RFC 5936 section 2.2), splitting only at record
// boundaries. Names are compressed (RFC 1035 section 4.1.4) against the zone
// apex and the owner of the record before, always with pointers into the same
// message, so that every message can be read on its own. Not thread-safe.
class TransferWriter {
 public:
  // `first` begins the first message: the header and the question, whose name
  // (at offset 12) is `apex`. Later messages begin with a bare header.
  // `hand_off`, when given, receives each message as soon as it is full,
  // with its answer count; when it takes the message (returns true) the
  // buffer is reused for the next one, else the message stays in `messages`.
  using HandOff = std::function<bool(std::vector<uint8_t>& message, uint16_t count)>;
  TransferWriter(std::vector<std::vector<uint8_t>>& messages, std::vector<uint8_t> first,
                 std::string_view apex, HandOff hand_off = {});

  void put_a(std::string_view owner, uint32_t ttl, uint32_t address_network_order);
  // NS and CNAME: RDATA is the target name.
  void put_name(std::string_view owner, uint16_t type, uint32_t ttl, std::string_view target);
  void put_mx(std::string_view owner, uint32_t ttl, uint16_t preference, std::string_view exchange);
  // A complete record encoded without compression pointers (the SOA).
  void put_raw(std::span<const uint8_t> record);

  // The answer count of each message, in order.
  const std::vector<uint16_t>& counts() const { return counts_; }

 private:
  template <class Encode>
  void put(Encode encode);
  void start_message();
  void put_owner(std::string_view owner, uint16_t type, uint32_t ttl);
  // A record whose data is a name, behind a preference when one is given.
  void put_named(std::string_view owner, uint16_t type, uint32_t ttl, const uint16_t* preference,
                 std::string_view target);
  void put_compressed(std::string_view name);
  void put_pointer(size_t at);

  std::vector<std::vector<uint8_t>>& messages_;
  HandOff hand_off_;
  std::vector<uint8_t>* out_ = nullptr;
  std::string_view apex_;
  std::vector<uint16_t> counts_;
  // Offsets of the apex and of the last owner written in the current message;
  // 0 when none can be pointed at.
  size_t apex_at_ = 0;
  size_t owner_at_ = 0;
  std::string_view owner_;
};

}  // namespace norvane
