// libFuzzer target for handle_control_message: an input is a short sequence
// of control messages answered on one connection, privileged or not, by an
// engine with a small zone, a settings store and a data directory of its own
// in a scratch folder.
//
// Input: byte 0 bit 0 = privileged; then up to 8 messages, each a 2-byte
// little-endian length (up to 2100, so over-long requests occur too) and
// that many bytes (fewer at the end of the input).
//
// The fuzzer runs as whatever user starts it, often root, so two things a
// privileged client may do are kept away from the machine: opening files in
// a writing mode (code 24 is dropped on privileged connections) and moving
// the data directory (it is put back after every message, before any
// command could write there).
#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <span>
#include <string>

#include "control/control_messages.h"
#include "engine/engine.h"
#include "engine/zone_file.h"
#include "runtime/settings.h"
#include "runtime/settings_store.h"
#include "service/control_commands.h"

namespace {

struct Fixture {
  Fixture() {
    // tmpfs where there is one: the store is fsync'ed on every write.
    std::string pattern =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/norvane-fuzz-XXXXXX" : "/tmp/norvane-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) __builtin_trap();
    root = pattern;
    data = root + "/data";
    if (mkdir(data.c_str(), 0755) != 0) __builtin_trap();
    store = std::make_unique<norvane::SettingsStore>(root + "/store");
    store->store_write_text(norvane::kMainKey, "Directory", data.c_str());
    engine.settings.data_directory.set(data);
    norvane::install_zone_save_hook(engine);
    commands = std::make_unique<norvane::ControlCommands>(engine, *store);
    commands->set_refresh_hook([] { return 1; });
    commands->set_route_hook([](uint32_t, uint32_t, uint32_t) { return 1; });
    if (FILE* log = std::fopen((data + "/dns2612.log").c_str(), "w")) {
      std::fputs("first line\nsecond line\n", log);
      std::fclose(log);
    }
  }

  ~Fixture() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  void reset_zone() {
    engine.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 1, 3600, 600, 86400, 300);
    norvane::LocalZone::Guard hold = engine.zone.hold();
    hold.live().clear();
    in_addr address{};
    inet_pton(AF_INET, "192.168.10.20", &address);
    hold.add_zone_record(0, 1, "host.office.lan", 300, address.s_addr, std::string_view{});
    hold.add_zone_record(0, 15, "office.lan", 300, 10, std::string_view("host.office.lan"));
    hold.add_zone_record(0, 5, "www.office.lan", 300, 0, std::string_view("host.office.lan"));
  }

  std::string root;
  std::string data;
  norvane::Engine engine;
  std::unique_ptr<norvane::SettingsStore> store;
  std::unique_ptr<norvane::ControlCommands> commands;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;
  if (size == 0) return 0;
  fixture.reset_zone();
  if (fixture.engine.cache.size() < 8) {
    fixture.engine.cache.cache_add(norvane::CacheMode::kLearned, 1, "example.com", 0x01020304, "",
                                   600);
  }
  const bool privileged = (data[0] & 1) != 0;
  norvane::ControlSession session(privileged);
  size_t offset = 1;
  for (int message = 0; message < 8 && offset + 2 <= size; ++message) {
    size_t length = data[offset] | (static_cast<size_t>(data[offset + 1]) << 8);
    offset += 2;
    length = std::min({length, size_t{2100}, size - offset});
    std::span<const uint8_t> request(data + offset, length);
    offset += length;
    if (privileged && norvane::read_le32(request, 0) == norvane::kControlOpenFile) continue;
    const auto reply = fixture.commands->handle_control_message(session, request);
    if (length > norvane::kControlMessageSize) {
      if (!reply.empty()) __builtin_trap();
    } else if (reply.size() < 4 || reply.size() > norvane::kControlMessageSize) {
      __builtin_trap();
    }
    if (*fixture.engine.settings.data_directory.get() != fixture.data) {
      fixture.engine.settings.data_directory.set(fixture.data);
    }
  }
  return 0;
}
