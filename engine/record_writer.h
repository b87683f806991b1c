// Writing resource records into one section of a reply under construction,
// with the soft limit every writer obeys: a record is begun only while the
// write position is below the limit, and a record that ends at or beyond the
// limit is taken back. Not thread-safe; a sink belongs to one reply.
#pragma once

#include <cstddef>
#include <cstdint>
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
