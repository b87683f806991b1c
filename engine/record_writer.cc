// Writing resource records under the soft limit of a reply.
#include "engine/record_writer.h"

#include "engine/dns_message.h"

namespace norvane {

void append_record_head(std::vector<uint8_t>& out, std::string_view owner, uint16_t type,
                        uint32_t ttl) {
  append_name(out, owner);
  append_u16(out, type);
  append_u16(out, kClassIn);
  append_u32(out, ttl);
}

bool Sink::refuse() {
  if (overflow_ != nullptr) *overflow_ = true;
  return false;
}

bool Sink::keep(size_t start) {
  if (position() >= limit_) {
    take_back(start);
    return refuse();
  }
  return true;
}

bool Sink::put_a(std::string_view owner, uint32_t ttl, uint32_t address_network_order) {
  if (!below_limit()) return refuse();
  const size_t start = mark();
  append_record_head(bytes_, owner, kTypeA, ttl);
  append_u16(bytes_, 4);
  const auto* b = reinterpret_cast<const uint8_t*>(&address_network_order);
  bytes_.insert(bytes_.end(), b, b + 4);
  return keep(start);
}

bool Sink::put_name(std::string_view owner, uint16_t type, uint32_t ttl, std::string_view target) {
  if (!below_limit()) return refuse();
  const size_t start = mark();
  append_record_head(bytes_, owner, type, ttl);
  append_u16(bytes_, static_cast<uint16_t>(target.empty() ? 1 : target.size() + 2));
  append_name(bytes_, target);
  return keep(start);
}

bool Sink::put_mx(std::string_view owner, uint32_t ttl, uint16_t preference,
                  std::string_view exchange) {
  if (!below_limit()) return refuse();
  const size_t start = mark();
  append_record_head(bytes_, owner, kTypeMx, ttl);
  append_u16(bytes_, static_cast<uint16_t>(exchange.empty() ? 3 : exchange.size() + 4));
  append_u16(bytes_, preference);
  append_name(bytes_, exchange);
  return keep(start);
}

void Sink::put_soa(std::string_view owner, uint32_t ttl, std::string_view primary,
                   std::string_view mailbox, uint32_t serial, uint32_t refresh, uint32_t retry,
                   uint32_t expire, uint32_t minimum) {
  append_record_head(bytes_, owner, kTypeSoa, ttl);
  const size_t length_at = bytes_.size();
  append_u16(bytes_, 0);
  append_name(bytes_, primary);
  append_name(bytes_, mailbox);
  for (uint32_t v : {serial, refresh, retry, expire, minimum}) append_u32(bytes_, v);
  write_u16(bytes_.data() + length_at, static_cast<uint16_t>(bytes_.size() - length_at - 2));
}

}  // namespace norvane

namespace norvane {

namespace {

// A pointer holds a 14-bit offset (RFC 1035 section 4.1.4).
constexpr size_t kPointerReach = 0x4000;

// True when `name` lies strictly below `apex`, as text.
bool strictly_below(std::string_view name, std::string_view apex) {
  return name.size() > apex.size() + 1 && name[name.size() - apex.size() - 1] == '.' &&
         name.substr(name.size() - apex.size()) == apex;
}

}  // namespace

TransferWriter::TransferWriter(std::vector<std::vector<uint8_t>>& messages,
                               std::vector<uint8_t> first, std::string_view apex, HandOff hand_off)
    : messages_(messages), hand_off_(std::move(hand_off)), apex_(apex) {
  messages_.clear();
  messages_.push_back(std::move(first));
  messages_.back().reserve(kMaxTransferMessage);
  out_ = &messages_.back();
  counts_.assign(1, 0);
  // The question's name is the apex; the root has nothing to point at.
  apex_at_ = apex_.empty() ? 0 : DnsHeader::kSize;
}

void TransferWriter::start_message() {
  if (hand_off_ && hand_off_(*out_, counts_.back())) {
    counts_.pop_back();
  } else {
    messages_.emplace_back();
    out_ = &messages_.back();
    out_->reserve(kMaxTransferMessage);
  }
  out_->resize(DnsHeader::kSize);
  counts_.push_back(0);
  apex_at_ = 0;
  owner_at_ = 0;
}

template <class Encode>
void TransferWriter::put(Encode encode) {
  const size_t start = out_->size();
  encode();
  if (out_->size() > kMaxTransferMessage && counts_.back() != 0) {
    // The record goes whole into a fresh message, its names pointing only
    // into that one.
    out_->resize(start);
    start_message();
    encode();
  }
  ++counts_.back();
}

void TransferWriter::put_pointer(size_t at) {
  append_u16(*out_, static_cast<uint16_t>(0xC000 | at));
}

void TransferWriter::put_compressed(std::string_view name) {
  std::vector<uint8_t>& out = *out_;
  if (!apex_.empty() && strictly_below(name, apex_)) {
    // The labels in front of the apex, then a pointer to it (or the apex
    // itself the first time, for the names that follow).
    const std::string_view prefix = name.substr(0, name.size() - apex_.size() - 1);
    const size_t start = out.size();
    out.resize(start + prefix.size() + 2);
    encode_name(out.data() + start, prefix.data(), prefix.size());
    out.pop_back();  // The terminating zero of the prefix alone.
    if (apex_at_ != 0) {
      put_pointer(apex_at_);
      return;
    }
    if (out.size() < kPointerReach) apex_at_ = out.size();
    append_name(out, apex_);
    return;
  }
  if (!apex_.empty() && name == apex_) {
    if (apex_at_ != 0) {
      put_pointer(apex_at_);
      return;
    }
    if (out.size() < kPointerReach) apex_at_ = out.size();
  }
  append_name(out, name);
}

void TransferWriter::put_owner(std::string_view owner, uint16_t type, uint32_t ttl) {
  std::vector<uint8_t>& out = *out_;
  if (owner_at_ != 0 && owner == owner_) {
    put_pointer(owner_at_);
  } else {
    const size_t at = out.size();
    put_compressed(owner);
    owner_ = owner;
    owner_at_ = at < kPointerReach ? at : 0;
  }
  append_u16(out, type);
  append_u16(out, kClassIn);
  append_u32(out, ttl);
}

void TransferWriter::put_a(std::string_view owner, uint32_t ttl, uint32_t address_network_order) {
  put([&] {
    put_owner(owner, kTypeA, ttl);
    append_u16(*out_, 4);
    const auto* b = reinterpret_cast<const uint8_t*>(&address_network_order);
    out_->insert(out_->end(), b, b + 4);
  });
}

void TransferWriter::put_named(std::string_view owner, uint16_t type, uint32_t ttl,
                               const uint16_t* preference, std::string_view target) {
  put([&] {
    put_owner(owner, type, ttl);
    const size_t length_at = out_->size();
    append_u16(*out_, 0);
    if (preference != nullptr) append_u16(*out_, *preference);
    put_compressed(target);
    write_u16(out_->data() + length_at, static_cast<uint16_t>(out_->size() - length_at - 2));
  });
}

void TransferWriter::put_name(std::string_view owner, uint16_t type, uint32_t ttl,
                              std::string_view target) {
  put_named(owner, type, ttl, nullptr, target);
}

void TransferWriter::put_mx(std::string_view owner, uint32_t ttl, uint16_t preference,
                            std::string_view exchange) {
  put_named(owner, kTypeMx, ttl, &preference, exchange);
}

void TransferWriter::put_raw(std::span<const uint8_t> record) {
  put([&] { out_->insert(out_->end(), record.begin(), record.end()); });
}

}  // namespace norvane
