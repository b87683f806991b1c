// A bounds-checked reader over one DNS message: numbers in network order,
// names, questions and resource records. Every read reports failure instead of
// reading outside the message. A reader is a cursor over borrowed bytes; use
// one per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace norvane {

// A name read from a message.
struct WireName {
  // Lower-case ASCII text, labels joined by dots, no trailing dot; empty for
  // the root.
  std::string text;
  // False when a label holds a "." or a zero byte: the text then stands for
  // another name (or ends early where it is used as a C string).
  bool faithful = true;
  // True when a compression pointer lands inside the 12-byte header, whose
  // bytes a reply does not repeat.
  bool points_into_header = false;
};

// One question: QNAME, QTYPE, QCLASS (RFC 1035 section 4.1.2).
struct WireQuestion {
  WireName name;
  uint16_t type = 0;
  uint16_t question_class = 0;
};

// One resource record (RFC 1035 section 4.1.3). The RDATA lies wholly inside
// the message at [rdata_at, rdata_at + rdlength).
struct WireRecord {
  WireName owner;
  uint16_t type = 0;
  uint16_t record_class = 0;
  uint32_t ttl = 0;
  uint16_t rdlength = 0;
  size_t ttl_at = 0;
  size_t rdata_at = 0;

  size_t rdata_end() const { return rdata_at + rdlength; }
};

class WireReader {
 public:
  // Reads `message` from `position` on; numbers and the stored part of names
  // must lie before `end` (clamped to the message), while compression
  // pointers may lead anywhere earlier in the message.
  explicit WireReader(std::span<const uint8_t> message, size_t position = 0, size_t end = SIZE_MAX);

  // A reader over a record's RDATA: names inside it may point back into the
  // whole message but must end within the RDATA.
  WireReader rdata(const WireRecord& record) const {
    return WireReader(message_, record.rdata_at, record.rdata_end());
  }

  std::span<const uint8_t> message() const { return message_; }
  size_t position() const { return position_; }
  size_t end() const { return end_; }
  // Bytes left before the end; 0 once the position is at or past it.
  size_t remaining() const { return position_ < end_ ? end_ - position_ : 0; }

  // Each read moves the position past what it read on success and leaves it
  // where it was on failure (nothing when the bytes are not all there).
  std::optional<uint8_t> read_u8();
  std::optional<uint16_t> read_u16();
  std::optional<uint32_t> read_u32();
  std::optional<std::span<const uint8_t>> read_bytes(size_t count);

  // A name, compression followed (RFC 1035 section 4.1.4). Nothing when the
  // name runs out of the message, its stored part passes the end, a pointer
  // does not land strictly before the run of labels that holds it (so every
  // chain ends), a length byte has the retired 01/10 label types (RFC 6891
  // section 5), or the name takes more than 255 bytes uncompressed (RFC 1035
  // section 3.1). The position moves behind the name as stored.
  std::optional<WireName> read_name();
  // A name followed by QTYPE and QCLASS.
  std::optional<WireQuestion> read_question();
  // A record's owner, fixed fields and RDATA, all of which must lie before
  // the end; the position moves behind the RDATA.
  std::optional<WireRecord> read_record();

 private:
  std::span<const uint8_t> message_;
  size_t position_;
  size_t end_;
};

}  // namespace norvane
