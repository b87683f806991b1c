// The bounds-checked message reader. See wire_reader.h for the contracts.
#include "engine/wire_reader.h"

#include <algorithm>

#include "engine/byte_order.h"
#include "engine/dns_message.h"

namespace norvane {

WireReader::WireReader(std::span<const uint8_t> message, size_t position, size_t end)
    : message_(message), position_(position), end_(std::min(end, message.size())) {}

std::optional<std::span<const uint8_t>> WireReader::read_bytes(size_t count) {
  if (remaining() < count) return std::nullopt;
  const std::span<const uint8_t> bytes = message_.subspan(position_, count);
  position_ += count;
  return bytes;
}

std::optional<uint8_t> WireReader::read_u8() {
  const auto bytes = read_bytes(1);
  if (!bytes) return std::nullopt;
  return (*bytes)[0];
}

std::optional<uint16_t> WireReader::read_u16() {
  const auto bytes = read_bytes(2);
  if (!bytes) return std::nullopt;
  return norvane::read_u16(bytes->data());
}

std::optional<uint32_t> WireReader::read_u32() {
  const auto bytes = read_bytes(4);
  if (!bytes) return std::nullopt;
  return norvane::read_u32(bytes->data());
}

std::optional<WireName> WireReader::read_name() {
  WireName name;
  const size_t size = message_.size();
  // Where the name ends as stored: behind its zero byte, or behind the first
  // pointer when one is followed.
  size_t stored_end = 0;
  // A pointer must land strictly before the run of labels that held it.
  size_t run_start = position_;
  size_t at = position_;
  // The uncompressed length so far, length bytes included.
  size_t wire_length = 0;
  for (;;) {
    if (at >= size) return std::nullopt;
    const uint8_t length = message_[at];
    if (length == 0) {
      if (stored_end == 0) stored_end = at + 1;
      break;
    }
    if ((length & 0xC0) == 0xC0) {
      if (at + 1 >= size) return std::nullopt;
      const size_t target = (static_cast<size_t>(length & 0x3F) << 8) | message_[at + 1];
      if (stored_end == 0) stored_end = at + 2;
      if (target >= run_start) return std::nullopt;
      if (target < DnsHeader::kSize) name.points_into_header = true;
      at = run_start = target;
      continue;
    }
    if (length > kMaxLabelLength || size - at - 1 < length) return std::nullopt;
    wire_length += 1 + length;
    // The final zero byte counts too.
    if (wire_length + 1 > kMaxNameLength) return std::nullopt;
    if (!name.text.empty()) name.text.push_back('.');
    for (size_t i = 0; i < length; ++i) {
      char c = static_cast<char>(message_[at + 1 + i]);
      if (c == '.' || c == '\0') name.faithful = false;
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      name.text.push_back(c);
    }
    at += 1 + length;
  }
  if (stored_end > end_) return std::nullopt;
  position_ = stored_end;
  return name;
}

std::optional<WireQuestion> WireReader::read_question() {
  const size_t start = position_;
  WireQuestion question;
  auto name = read_name();
  const auto type = name ? read_u16() : std::nullopt;
  const auto question_class = type ? read_u16() : std::nullopt;
  if (!question_class) {
    position_ = start;
    return std::nullopt;
  }
  question.name = std::move(*name);
  question.type = *type;
  question.question_class = *question_class;
  return question;
}

std::optional<WireRecord> WireReader::read_record() {
  const size_t start = position_;
  WireRecord record;
  auto owner = read_name();
  if (!owner || remaining() < 10) {
    position_ = start;
    return std::nullopt;
  }
  record.owner = std::move(*owner);
  record.type = *read_u16();
  record.record_class = *read_u16();
  record.ttl_at = position_;
  record.ttl = *read_u32();
  record.rdlength = *read_u16();
  record.rdata_at = position_;
  if (!read_bytes(record.rdlength)) {
    position_ = start;
    return std::nullopt;
  }
  return record;
}

}  // namespace norvane
