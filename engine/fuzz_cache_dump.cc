// libFuzzer target for the cache dump loader: an input is the text of
// cache.dmp. Each line is read on its own, and every line that reads must
// write back to a line that reads the same; then the whole file is restored
// into a cache from a scratch data directory of this process, saved and
// restored again, and the second restore must give back the same entries.
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "engine/cache_dump.h"
#include "engine/engine.h"
#include "engine/fuzz_support.h"

namespace {

constexpr uint32_t kNow = 1'000'000;

using EntryImage = std::tuple<uint32_t, std::string, uint32_t, std::string, uint32_t>;

std::vector<EntryImage> cache_image(norvane::Engine& engine) {
  std::vector<EntryImage> entries;
  // An entry that dies this second is restored but not saved again.
  for (const norvane::CacheEntry& e : engine.cache.cache_list())
    if (e.time > kNow) entries.emplace_back(e.type, e.name, e.datum, e.target, e.time);
  return entries;
}

// cache_clear saves the emptied cache; the dump under test must stay.
void clear_keeping_dump(norvane::Engine& engine) {
  engine.settings.cache_dump = 0;
  engine.cache.cache_clear();
  engine.settings.cache_dump = 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const norvane::fuzz::ScratchFolder& folder = norvane::fuzz::scratch_folder();
  static norvane::Engine* engine = [] {
    norvane::Engine& instance = norvane::fuzz::scratch_engine();
    instance.settings.cache_dump = 1;
    instance.settings.cache_entries = 64;
    instance.cache.set_clock([] { return kNow; });
    return &instance;
  }();
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  for (std::string_view rest = text; !rest.empty();) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    const auto record = norvane::parse_cache_dump_line(line, kNow);
    if (!record) continue;
    norvane::CacheEntry entry;
    entry.type = record->type;
    entry.name = record->name;
    entry.datum = record->datum;
    entry.target = record->target;
    entry.time = record->expiry;
    std::string written = norvane::cache_dump_line(entry);
    if (written.empty() || written.back() != '\n') __builtin_trap();
    written.pop_back();
    if (norvane::parse_cache_dump_line(written, kNow) != record) __builtin_trap();
  }

  clear_keeping_dump(*engine);
  norvane::fuzz::write_input(folder.file(norvane::kCacheDumpFileName), data, size);
  size_t first = 0;
  if (engine->cache.cache_load_dump(&first) != norvane::CacheDumpResult::kDone) __builtin_trap();
  const std::vector<EntryImage> restored = cache_image(*engine);

  if (engine->cache.cache_save_dump() != norvane::CacheDumpResult::kDone) __builtin_trap();
  clear_keeping_dump(*engine);
  size_t second = 0;
  if (engine->cache.cache_load_dump(&second) != norvane::CacheDumpResult::kDone) __builtin_trap();
  if (second > first || cache_image(*engine) != restored) __builtin_trap();
  return 0;
}
