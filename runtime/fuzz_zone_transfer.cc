// libFuzzer target for the transfer reader: an input is what the primary
// sends on the TCP connection of one AXFR of "office.lan" (2-byte length,
// message, repeated; RFC 1035 section 4.2.2), taken by zone_transfer_take.
// A transfer that is taken must leave the zone in a state that a write of the
// zone file and a start-up load of it give back unchanged.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/fuzz_support.h"
#include "engine/zone_file.h"
#include "runtime/zone_refresh.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  norvane::Engine* engine = &norvane::fuzz::scratch_engine();
  norvane::fuzz::reset_zone(*engine);
  {
    // A record of another domain, which every transfer must keep.
    engine->zone.add_zone_record(0, norvane::kTypeA, "printer.other.lan", 300, 0x0a00000a,
                                 std::string_view());
  }

  size_t offset = 0;
  auto next_message = [&](std::vector<uint8_t>& message) {
    if (size - offset < 2) return false;
    const size_t length = (size_t{data[offset]} << 8) | data[offset + 1];
    offset += 2;
    if (length < norvane::DnsHeader::kSize || size - offset < length) return false;
    message.assign(data + offset, data + offset + length);
    offset += length;
    return true;
  };
  const int count =
      norvane::zone_transfer_take(*engine, "office.lan", 1235, 0x0100007f, next_message);
  if (count < 0) return 0;
  const norvane::fuzz::ZoneImage taken = norvane::fuzz::zone_image(*engine);
  if (norvane::zone_save(*engine) != 1) __builtin_trap();
  norvane::fuzz::reset_zone(*engine);
  norvane::zone_load(*engine, 1);
  if (norvane::fuzz::zone_image(*engine) != taken) __builtin_trap();
  return 0;
}
