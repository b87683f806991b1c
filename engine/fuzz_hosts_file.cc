// libFuzzer target for the hosts file import: an input is the text of the
// hosts file, imported into an empty zone "office.lan" as at start-up. Every
// address counted must be in the database, and the database must survive a
// write of the zone file and a start-up load of it unchanged.
#include <cstdint>

#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/fuzz_support.h"
#include "engine/hosts_file.h"
#include "engine/zone_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const norvane::fuzz::ScratchFolder& folder = norvane::fuzz::scratch_folder();
  norvane::Engine* engine = &norvane::fuzz::scratch_engine();

  norvane::fuzz::reset_zone(*engine);
  const std::string hosts = folder.file("hosts");
  norvane::fuzz::write_input(hosts, data, size);
  const int added = norvane::hosts_import(*engine, hosts, "office.lan", "ns1");
  const norvane::fuzz::ZoneImage imported = norvane::fuzz::zone_image(*engine);
  int addresses = 0;
  for (const auto& record : std::get<8>(imported))
    if (std::get<0>(record) == norvane::kTypeA) ++addresses;
  if (added != addresses) __builtin_trap();

  if (norvane::zone_save(*engine) != 1) __builtin_trap();
  norvane::fuzz::reset_zone(*engine);
  norvane::zone_load(*engine, 1);
  if (norvane::fuzz::zone_image(*engine) != imported) __builtin_trap();
  return 0;
}
