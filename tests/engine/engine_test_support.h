// Shared helpers for the engine tests: requests built byte by byte without the
// engine's own name writer, addresses in network order, an independent reading
// of replies through ldns, and the office.lan zone most query tests serve.
#pragma once

#include <gtest/gtest.h>
#include <ldns/ldns.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/query.h"

namespace norvane::test_support {

// An IPv4 address in network byte order, as the engine stores it.
inline uint32_t ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

struct Question {
  std::string name;
  uint16_t type;
  uint16_t qclass = 1;
};

// A request with the given id, flags and questions, its names written label
// by label here rather than with the engine's encoder, so that a fault there
// cannot hide a matching one in the decoder.
inline std::vector<uint8_t> make_request(uint16_t id, uint16_t flags,
                                         const std::vector<Question>& questions) {
  std::vector<uint8_t> out = {uint8_t(id >> 8),
                              uint8_t(id),
                              uint8_t(flags >> 8),
                              uint8_t(flags),
                              0,
                              uint8_t(questions.size()),
                              0,
                              0,
                              0,
                              0,
                              0,
                              0};
  for (const Question& q : questions) {
    std::string_view name = q.name;
    while (!name.empty()) {
      const std::string_view label = name.substr(0, name.find('.'));
      out.push_back(uint8_t(label.size()));
      out.insert(out.end(), label.begin(), label.end());
      name.remove_prefix(std::min(name.size(), label.size() + 1));
    }
    out.insert(out.end(), {0, uint8_t(q.type >> 8), uint8_t(q.type), 0, uint8_t(q.qclass)});
  }
  return out;
}

inline std::vector<uint8_t> make_query(std::string_view name, uint16_t type,
                                       uint16_t flags = 0x0100, uint16_t id = 0x1234) {
  return make_request(id, flags, {Question{std::string(name), type}});
}

inline uint16_t header_word(const std::vector<uint8_t>& message, size_t index) {
  return static_cast<uint16_t>((message.at(2 * index) << 8) | message.at(2 * index + 1));
}

struct LdnsPacketFree {
  void operator()(ldns_pkt* packet) const { ldns_pkt_free(packet); }
};
using LdnsPacket = std::unique_ptr<ldns_pkt, LdnsPacketFree>;

// Reads a reply with ldns; null when ldns refuses it. ldns ignores bytes
// behind the last record, so the zero byte that pads an odd-length reply
// needs no stripping.
inline ldns_pkt* parse_with_ldns(const std::vector<uint8_t>& message) {
  ldns_pkt* packet = nullptr;
  if (ldns_wire2pkt(&packet, message.data(), message.size()) != LDNS_STATUS_OK) return nullptr;
  return packet;
}

// One record as ldns prints it, with tabs turned into blanks and no newline:
// "host.office.lan. 300 IN A 192.168.1.10".
inline std::string rr_text(const ldns_rr* rr) {
  char* raw = ldns_rr2str(rr);
  std::string text = raw != nullptr ? raw : "";
  std::free(raw);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  std::replace(text.begin(), text.end(), '\t', ' ');
  return text;
}

inline std::vector<std::string> section_texts(const ldns_pkt* packet, ldns_pkt_section section) {
  std::vector<std::string> out;
  ldns_rr_list* list = ldns_pkt_get_section_clone(packet, section);
  for (size_t i = 0; i < ldns_rr_list_rr_count(list); ++i) {
    out.push_back(rr_text(ldns_rr_list_rr(list, i)));
  }
  ldns_rr_list_deep_free(list);
  return out;
}

// One handled request: what handle_message returned and built, plus the
// reply's sections as ldns reads them (empty when ldns refuses the reply).
struct Served {
  int result = 0;
  std::vector<uint8_t> message;
  std::vector<std::vector<uint8_t>> continuation;
  uint16_t flags = 0;
  uint16_t qdcount = 0;
  LdnsPacket packet;
  std::vector<std::string> answer;
  std::vector<std::string> authority;
  std::vector<std::string> additional;
};

inline Served serve(Engine& engine, RequestContext& context, const std::vector<uint8_t>& request,
                    bool tcp = false) {
  Served served;
  Reply reply;
  context.request_length = tcp ? static_cast<uint32_t>(request.size()) : 0;
  served.result =
      handle_message(engine, context, reply, tcp ? kTcpReplyLimit : kUdpReplyLimit, request);
  served.message = std::move(reply.message);
  served.continuation = std::move(reply.continuation);
  if (served.result <= 0) return served;
  EXPECT_EQ(static_cast<size_t>(served.result), served.message.size());
  served.flags = header_word(served.message, 1);
  served.qdcount = header_word(served.message, 2);
  served.packet.reset(parse_with_ldns(served.message));
  if (served.packet == nullptr) {
    ADD_FAILURE() << "ldns refuses the reply";
    return served;
  }
  served.answer = section_texts(served.packet.get(), LDNS_SECTION_ANSWER);
  served.authority = section_texts(served.packet.get(), LDNS_SECTION_AUTHORITY);
  served.additional = section_texts(served.packet.get(), LDNS_SECTION_ADDITIONAL);
  return served;
}

inline void add_record(Engine& engine, uint32_t type, std::string_view owner, uint32_t ttl,
                       uint32_t datum, std::string_view target = {}) {
  LocalZone::Guard held = engine.zone.hold();
  ASSERT_EQ(held.add_zone_record(0, type, owner, ttl, datum, target), 1) << owner << " " << target;
}

// The zone most query tests serve, and its records as ldns prints them.
inline void load_office_lan(Engine& engine) {
  ASSERT_EQ(
      engine.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 2024, 10800, 3600, 604800, 900),
      1);
  add_record(engine, kTypeNs, "office.lan", 3600, 0, "ns1.office.lan");
  add_record(engine, kTypeA, "ns1.office.lan", 3600, ipv4(192, 168, 1, 1));
  add_record(engine, kTypeA, "host.office.lan", 300, ipv4(192, 168, 1, 10));
  add_record(engine, kTypeA, "host.office.lan", 300, ipv4(192, 168, 1, 11));
  add_record(engine, kTypeCname, "www.office.lan", 600, 0, "host.office.lan");
  add_record(engine, kTypeMx, "office.lan", 3600, 10, "mail.office.lan");
  add_record(engine, kTypeA, "mail.office.lan", 3600, ipv4(192, 168, 1, 20));
  add_record(engine, kTypeA, "printer.office.lan", 1200, ipv4(192, 168, 1, 10));
  add_record(engine, kTypeA, "pc.lab.office.lan", 3600, ipv4(192, 168, 2, 5));
}

inline const std::string kSoa =
    "office.lan. 10800 IN SOA ns1.office.lan. hostmaster.ns1.office.lan. 2024 10800 3600 604800 "
    "900";
inline const std::string kNs = "office.lan. 3600 IN NS ns1.office.lan.";
inline const std::string kNs1A = "ns1.office.lan. 3600 IN A 192.168.1.1";
inline const std::string kHostA10 = "host.office.lan. 300 IN A 192.168.1.10";
inline const std::string kHostA11 = "host.office.lan. 300 IN A 192.168.1.11";
inline const std::string kWwwCname = "www.office.lan. 600 IN CNAME host.office.lan.";
inline const std::string kMx = "office.lan. 3600 IN MX 10 mail.office.lan.";
inline const std::string kMailA = "mail.office.lan. 3600 IN A 192.168.1.20";
inline const std::string kPrinterA = "printer.office.lan. 1200 IN A 192.168.1.10";
inline const std::string kPcA = "pc.lab.office.lan. 3600 IN A 192.168.2.5";

}  // namespace norvane::test_support
