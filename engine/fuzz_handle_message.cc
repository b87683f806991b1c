// libFuzzer target for handle_message: every input is served once as a UDP and
// once as a TCP request by one engine that is authoritative for a small zone
// with every record kind the answer writers handle (A, NS, CNAME, MX, a
// wildcard), with packet-level logging on so the log formatting runs as well.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <span>
#include <string_view>

#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/query.h"

namespace {

uint32_t address(const char* text) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) __builtin_trap();
  return parsed.s_addr;
}

void add(norvane::Engine& engine, uint32_t type, std::string_view owner, uint32_t datum,
         std::string_view target) {
  if (engine.zone.add_zone_record(0, type, owner, 300, datum, target) != 1) __builtin_trap();
}

// Puts the zone back to its known contents. Updates (opcode 5) are allowed by
// default and change the zone; resetting after them keeps every input
// reproducible on its own and stops the zone from growing over a long run.
void reset_zone(norvane::Engine& engine) {
  engine.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 1, 3600, 600, 86400, 300);
  norvane::LocalZone::Guard hold = engine.zone.hold();
  hold.live().clear();
  constexpr std::string_view kNone{};
  add(engine, norvane::kTypeA, "host.office.lan", address("192.168.10.20"), kNone);
  add(engine, norvane::kTypeA, "ns1.office.lan", address("192.168.10.2"), kNone);
  add(engine, norvane::kTypeA, "mail.office.lan", address("192.168.10.25"), kNone);
  // Target of the reverse lookup 4.3.2.1.in-addr.arpa in the seed corpus.
  add(engine, norvane::kTypeA, "printer.office.lan", address("1.2.3.4"), kNone);
  add(engine, norvane::kTypeNs, "office.lan", 0, "ns1.office.lan");
  add(engine, norvane::kTypeCname, "www.office.lan", 0, "host.office.lan");
  add(engine, norvane::kTypeMx, "office.lan", 10, "mail.office.lan");
  add(engine, norvane::kTypeA, "*.office.lan", address("192.168.10.99"), kNone);
}

norvane::Engine& office_engine() {
  static norvane::Engine engine;
  static const bool ready = [] {
    engine.log.set_level(3);
    // Updates save the zone file: keep those writes out of the working folder.
    char directory[] = "/tmp/norvane-fuzz-XXXXXX";
    if (mkdtemp(directory) != nullptr) engine.settings.data_directory.set(directory);
    if (std::FILE* sink = std::fopen("/dev/null", "w")) engine.log.set_stream(sink);
    reset_zone(engine);
    return true;
  }();
  (void)ready;
  return engine;
}

bool is_update(std::span<const uint8_t> request) {
  norvane::DnsHeader header;
  return norvane::DnsHeader::read(request, header) && header.opcode() == norvane::kOpcodeUpdate;
}

void check(int result, const norvane::Reply& reply) {
  if (result > 0 && static_cast<size_t>(result) != reply.message.size()) __builtin_trap();
  if (reply.message.size() > norvane::kMaxTcpMessage) __builtin_trap();
  for (const auto& message : reply.continuation) {
    if (message.size() > norvane::kMaxTcpMessage) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  norvane::Engine& engine = office_engine();
  const std::span<const uint8_t> request(data, size);
  const bool update = is_update(request);

  norvane::RequestContext udp;
  udp.request_length = 0;
  norvane::Reply reply;
  check(norvane::handle_message(engine, udp, reply, norvane::kUdpReplyLimit, request), reply);
  if (update) reset_zone(engine);

  norvane::RequestContext tcp;
  tcp.request_length = size == 0 ? 1 : static_cast<uint32_t>(size);
  reply.clear();
  check(norvane::handle_message(engine, tcp, reply, norvane::kTcpReplyLimit, request), reply);
  if (update) reset_zone(engine);
  return 0;
}
