// Time of one start-up zone_load of a zone file with 100,000 host names (and
// of 1,000 for scale): the SOA, an NS, an MX, a few aliases and one A record
// per host, as a generated office zone states them. The file stays in the page
// cache, so this is the parse and the index building, not the disk.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "engine/engine.h"
#include "engine/zone_file.h"

namespace {

std::string office_zone(int64_t hosts) {
  std::string text =
      "$ORIGIN office.lan.\n$TTL 3600\n"
      "@\tIN\tSOA\tns1.office.lan. hostmaster.office.lan. 1 3600 900 604800 300\n"
      "@\tIN\tNS\tns1.office.lan.\n@\tIN\tMX\t10 mail.office.lan.\n"
      "ns1\tIN\tA\t10.255.0.1\nmail\tIN\tA\t10.255.0.2\n";
  for (int64_t i = 1; i <= 4; ++i)
    text +=
        "alias" + std::to_string(i) + "\tIN\tCNAME\thost" + std::to_string(i) + ".office.lan.\n";
  for (int64_t i = 1; i <= hosts; ++i)
    text += "host" + std::to_string(i) + "\tIN\tA\t10." + std::to_string((i >> 16) & 255) + "." +
            std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255) + "\n";
  return text;
}

void BM_ZoneLoad(benchmark::State& state) {
  char directory[] = "/tmp/norvane-zone-load-bench-XXXXXX";
  if (::mkdtemp(directory) == nullptr) return state.SkipWithError("cannot create a directory");
  const std::string path = std::string(directory) + "/" + norvane::kZoneFileName;
  const std::string text = office_zone(state.range(0));
  std::FILE* file = std::fopen(path.c_str(), "w");
  const bool written =
      file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != nullptr) std::fclose(file);
  int loaded = 0;
  if (written) {
    for (auto _ : state) {
      // A fresh engine each time, as at start-up; its set-up and the freeing
      // of the previous one stay out of the timing.
      state.PauseTiming();
      auto engine = std::make_unique<norvane::Engine>();
      engine->log.set_level(0);
      engine->settings.data_directory.set(directory);
      state.ResumeTiming();
      loaded = norvane::zone_load(*engine, 1);
      state.PauseTiming();
      engine.reset();
      state.ResumeTiming();
    }
  }
  ::unlink(path.c_str());
  ::rmdir(directory);
  if (!written) return state.SkipWithError("cannot write the zone file");
  if (loaded != state.range(0) + 8) return state.SkipWithError("the zone did not load whole");
  state.counters["records"] = loaded;
}
BENCHMARK(BM_ZoneLoad)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
