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
