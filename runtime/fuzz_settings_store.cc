// libFuzzer target for the settings file reader: an input is the text of
// settings.ini in a scratch store. Every value a key lists must read back as
// listed; then one value is written, and it must read back while every other
// value of that key and of another key keeps its text.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/fuzz_support.h"
#include "engine/names.h"
#include "runtime/settings_store.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

constexpr std::string_view kKeys[] = {"Ostrum", "Ostrum\\Access", "Velisk"};
constexpr std::string_view kWritten = "FuzzValue";

// Each listed value reads back with its text, whatever its length.
void check_listed(const norvane::SettingsStore& store, std::string_view key, const Values& values) {
  for (const auto& [name, text] : values) {
    if (store.store_read_text(key, name, "\x01", text.size() + 1) != text) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static norvane::fuzz::ScratchFolder folder;
  static norvane::SettingsStore store(folder.path());
  norvane::fuzz::write_input(store.file_path(), data, size);

  Values before[std::size(kKeys)];
  for (size_t k = 0; k < std::size(kKeys); ++k) {
    before[k] = store.store_read_key(kKeys[k]);
    check_listed(store, kKeys[k], before[k]);
    store.store_read_number(kKeys[k], "Port", 53);
    store.store_read_address(kKeys[k], "Primary");
  }

  // The first key gets a new text for one value; the others must not change.
  if (store.store_write_text(kKeys[0], kWritten, "written") != 1) __builtin_trap();
  if (store.store_read_text(kKeys[0], kWritten, "") != "written") __builtin_trap();
  Values kept;
  for (const auto& value : before[0])
    if (!norvane::names_equal(value.first, kWritten)) kept.push_back(value);
  check_listed(store, kKeys[0], kept);
  for (size_t k = 1; k < std::size(kKeys); ++k) {
    if (store.store_read_key(kKeys[k]) != before[k]) __builtin_trap();
  }
  return 0;
}
