// libFuzzer target for the zone file reader: an input is the text of name.db.
// The logical-line reader runs over the bytes in memory; then the file is
// loaded at start-up (SOA taken) from a scratch data directory, written back
// and loaded again, and the second load must give the same SOA and records as
// the first: what the server accepted once must survive its own restart.
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/engine.h"
#include "engine/fuzz_support.h"
#include "engine/zone_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const norvane::fuzz::ScratchFolder& folder = norvane::fuzz::scratch_folder();
  norvane::Engine* engine = &norvane::fuzz::scratch_engine();

  if (size > 0) {
    std::string copy(reinterpret_cast<const char*>(data), size);
    if (std::FILE* in = ::fmemopen(copy.data(), copy.size(), "r")) {
      norvane::ZoneLineState state;
      std::string rest;
      bool directive = false;
      while (norvane::read_zone_line(in, state, rest, directive)) {
        if (rest.size() > norvane::kMaxLogicalLine) __builtin_trap();
      }
      std::fclose(in);
    }
  }

  norvane::fuzz::reset_zone(*engine);
  norvane::fuzz::write_input(folder.file(norvane::kZoneFileName), data, size);
  const int first = norvane::zone_load(*engine, 1);
  const norvane::fuzz::ZoneImage loaded = norvane::fuzz::zone_image(*engine);

  if (norvane::zone_save(*engine) != 1) __builtin_trap();
  norvane::fuzz::reset_zone(*engine);
  const int second = norvane::zone_load(*engine, 1);
  if (second != first || norvane::fuzz::zone_image(*engine) != loaded) __builtin_trap();
  return 0;
}
