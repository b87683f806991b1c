// DNS wire format: the 12-byte header, flag bits, type and class texts, and the
// conversions between a name on the wire and its lower-case dotted text form.
// All functions are thread-safe; the mnemonic buffers are per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/byte_order.h"

namespace norvane {

// Header flag masks (RFC 1035 section 4.1.1).
inline constexpr uint16_t kFlagQr = 0x8000;
inline constexpr uint16_t kFlagOpcode = 0x7800;
inline constexpr uint16_t kFlagAa = 0x0400;
inline constexpr uint16_t kFlagTc = 0x0200;
inline constexpr uint16_t kFlagRd = 0x0100;
inline constexpr uint16_t kFlagRa = 0x0080;
inline constexpr uint16_t kFlagZ = 0x0070;
inline constexpr uint16_t kFlagRcode = 0x000F;

inline constexpr uint16_t kOpcodeQuery = 0;
inline constexpr uint16_t kOpcodeUpdate = 5;

inline constexpr uint16_t kRcodeNoError = 0;
inline constexpr uint16_t kRcodeFormErr = 1;
inline constexpr uint16_t kRcodeServFail = 2;
inline constexpr uint16_t kRcodeNxDomain = 3;
inline constexpr uint16_t kRcodeNotImp = 4;
inline constexpr uint16_t kRcodeRefused = 5;

inline constexpr uint16_t kTypeA = 1;
inline constexpr uint16_t kTypeNs = 2;
inline constexpr uint16_t kTypeCname = 5;
inline constexpr uint16_t kTypeSoa = 6;
inline constexpr uint16_t kTypePtr = 12;
inline constexpr uint16_t kTypeMx = 15;
inline constexpr uint16_t kTypeAxfr = 252;
inline constexpr uint16_t kTypeAny = 255;
inline constexpr uint16_t kClassIn = 1;

// Size of the text buffer every caller hands to decode_name.
inline constexpr size_t kNameBufferSize = 256;
// Longest text name (no trailing dot) and longest label that can be encoded.
inline constexpr size_t kMaxNameLength = 255;
inline constexpr size_t kMaxLabelLength = 63;

// The fixed 12-byte message header. Decoded and encoded field by field in
// network byte order; never cast onto received bytes.
struct DnsHeader {
  uint16_t id = 0;
  uint16_t flags = 0;
  uint16_t qdcount = 0;
  uint16_t ancount = 0;
  uint16_t nscount = 0;
  uint16_t arcount = 0;

  static constexpr size_t kSize = 12;

  // Reads the header from the first 12 bytes; false when the message is shorter.
  static bool read(std::span<const uint8_t> message, DnsHeader& out);
  // Writes the header into the first 12 bytes of `out` (which must hold 12).
  void write(uint8_t* out) const;

  uint16_t opcode() const { return (flags & kFlagOpcode) >> 11; }
  uint16_t rcode() const { return flags & kFlagRcode; }
};
static_assert(sizeof(DnsHeader) == 12, "the header is six 16-bit words");

// Decodes the name starting at `position` of a message of `message_length`
// bytes into `text` (`capacity` bytes, callers pass 256). The text has a dot in
// front of every label (".host.office.lan"), upper-case ASCII lowered; the root
// name gives an empty text. Compression pointers are followed only backwards
// (each jump lands strictly before the run of labels that held the pointer), so
// loops end; bytes outside the message are never read. Returns the position just
// after the name as stored (after the first pointer when one was followed). When
// the name runs past the end of the message the returned position lies at or
// beyond `message_length`.
size_t decode_name(const uint8_t* message, size_t message_length, size_t position, char* text,
                   size_t capacity);

// Writes `name` (`length` characters, no trailing dot, no empty label, labels of
// at most 63 characters) uncompressed at `out`, which must hold length + 2 bytes.
// Returns out + length + 2; the root (length 0) is one zero byte, out + 1.
uint8_t* encode_name(uint8_t* out, const char* name, size_t length);
// Appends the wire form of `name` to `out`.
void append_name(std::vector<uint8_t>& out, std::string_view name);

// Text of a record type ("A", "NS", ..., else "Type %u") and of a class ("IN",
// else "Class %u"). The returned text is a literal or a per-thread buffer that
// the next call of the same function on the same thread overwrites.
const char* type_mnemonic(uint32_t code);
const char* class_mnemonic(uint32_t code);

// True when `name` is a well-formed text name: at most 255 characters, no empty
// label, no label over 63 characters. The empty text (the root) is valid.
bool valid_text_name(std::string_view name);

}  // namespace norvane
