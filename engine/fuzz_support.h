// Helpers shared by the libFuzzer targets (header-only, never part of a
// library): a scratch folder per fuzzing process, writing an input as a file,
// and a comparable image of a zone. Single-threaded use.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "engine/engine.h"

namespace norvane::fuzz {

// A folder of its own under /dev/shm where there is one (the files are
// flushed to disk on every save), else /tmp; removed with its contents.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/norvane-fuzz-XXXXXX"
                                                          : "/tmp/norvane-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) __builtin_trap();
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// The scratch folder of this fuzz target, made on first use and removed at
// exit.
inline const ScratchFolder& scratch_folder() {
  static const ScratchFolder folder;
  return folder;
}

// The engine of this fuzz target: logging off, its data directory the
// scratch folder. Made on first use; the caller adds its own settings then.
inline Engine& scratch_engine() {
  static Engine* engine = [] {
    static Engine instance;
    instance.log.set_level(0);
    instance.settings.data_directory.set(scratch_folder().path());
    return &instance;
  }();
  return *engine;
}

// Replaces the file at `path` with the bytes; traps when that fails.
inline void write_input(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) __builtin_trap();
  if (size > 0 && std::fwrite(data, 1, size, out) != size) __builtin_trap();
  if (std::fclose(out) != 0) __builtin_trap();
}

// An empty zone "office.lan" with fixed SOA numbers.
inline void reset_zone(Engine& engine) {
  engine.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 1, 3600, 600, 86400, 300);
  engine.zone.hold().live().clear();
}

using RecordImage = std::tuple<uint32_t, std::string, uint32_t, uint32_t, std::string>;
using ZoneImage = std::tuple<std::string, std::string, std::string, uint32_t, uint32_t, uint32_t,
                             uint32_t, uint32_t, std::vector<RecordImage>>;

// The SOA fields and the live records (type, owner, TTL, datum, target),
// sorted: the zone file writer puts the NS records first.
inline ZoneImage zone_image(Engine& engine) {
  const LocalZone::Guard zone = engine.zone.hold();
  std::vector<RecordImage> records;
  for (const ZoneRecord& r : zone.live().records())
    records.emplace_back(r.type, r.owner, r.ttl, r.datum, r.target);
  std::sort(records.begin(), records.end());
  return {zone.domain(), zone.primary(), zone.mailbox(), zone.serial(),     zone.refresh(),
          zone.retry(),  zone.expire(),  zone.minimum(), std::move(records)};
}

}  // namespace norvane::fuzz
