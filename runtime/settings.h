// The engine's settings as the store keeps them: reading and writing the main
// key, the zone defaults, and the fixed 336-byte image in which the control
// channel carries the settings. Safe to call while serving threads run: each
// setting is an atomic or a snapshot replaced whole. Callers serialise
// concurrent settings_read/apply_settings_image calls themselves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "engine/engine.h"
#include "runtime/program_directory.h"
#include "runtime/settings_store.h"

namespace norvane {

// The key of the system in the store; its sub-keys are "Access" and "routes".
inline constexpr const char* kMainKey = "Velisk";

// Fills ServerSettings, the log level, the gateway and the route table from
// `subkey`; every missing or malformed value reads as its default. When
// engine.settings.network_configuration is 0 (set by the caller beforehand)
// automatic interfaces and automatic DNS are forced off. A Port or DNS-Port
// outside 1..65535 reads as 53, and an empty Directory as an absent one (the
// program directory): either would otherwise serve on a port nobody asked for
// or put the data files in whatever the working directory is. The access
// list under "<subkey>\Access" is loaded by its own module.
void settings_read(Engine& engine, const SettingsStore& store, std::string_view subkey = kMainKey);

// Writes the stored settings back: numbers only where they differ from their
// defaults, Primary, DNS1..DNS4 (in list order) and Gateway as dotted quads or
// deleted when 0. The DNS-Port<i> values are never written: a server read
// from DNS3 and written to DNS2 comes back with DNS-Port2's port.
// AutoIf and AutoDNS are written only while network configuration is
// available: otherwise they hold the forced 0, not a choice. The main port is
// written; directory, routes and zone values are not.
// All values change in one rewrite of the store. 1 on success, 0 when the
// store could not be written (no permission).
int settings_write(const Engine& engine, SettingsStore& store, std::string_view subkey = kMainKey);

// Fills the zone's SOA defaults from Domain, Server, Administrator, Serial,
// Refresh, Retry, Expire and TTL. With a usable Domain they go through
// LocalZone::set_zone_soa; otherwise the numbers and texts are set as read
// under the zone lock and the domain is left alone. In both cases a number of
// 0 keeps the zone's current value.
void zone_settings_read(Engine& engine, const SettingsStore& store,
                        std::string_view subkey = kMainKey);

inline constexpr size_t kSettingsImageSize = 336;
inline constexpr size_t kImageDirectorySize = 260;

// The settings image as values. Numbers are host order here and little-endian
// in the bytes; addresses are network order in both.
struct SettingsImage {
  uint32_t log_level = 0;
  uint32_t create_log = 0;
  uint32_t access_control = 0;
  uint32_t network_configuration = 0;
  uint32_t auto_dns = 0;
  uint32_t auto_interfaces = 0;
  uint32_t server_ttl = 0;
  uint32_t client_ttl = 0;
  uint32_t cache_entries = 0;
  uint32_t cache_dump = 0;
  uint32_t port = 0;
  uint32_t external_server_count = 0;
  uint32_t primary = 0;
  uint32_t external_addresses[kMaxExternalServers] = {};
  uint16_t external_ports[kMaxExternalServers] = {};
  char data_directory[kImageDirectorySize] = {};  // terminated by a zero
};
// The struct is a reading aid; the bytes are always produced field by field.
static_assert(sizeof(SettingsImage) == kSettingsImageSize);

// The engine's current settings as an image. A data directory longer than
// 259 characters cannot travel in it and is sent as an empty text rather than
// as a cut, wrong path.
SettingsImage capture_settings(const Engine& engine);
std::array<uint8_t, kSettingsImageSize> encode_settings_image(const SettingsImage& image);
// Nothing when the bytes are not exactly 336, the directory has no zero
// within its 260 bytes, or the server count exceeds 4.
std::optional<SettingsImage> decode_settings_image(std::span<const uint8_t> bytes);

std::array<uint8_t, kSettingsImageSize> settings_image(const Engine& engine);

// Replaces the settings with a received image. Returns false, changing
// nothing, when the image does not decode. The engine keeps its own
// "network configuration available" (it describes this machine, not a
// preference) and forces automatic interfaces and DNS off without it;
// external servers with address 0 are dropped so that none is ever forwarded
// to; an empty directory keeps the current one.
bool apply_settings_image(Engine& engine, std::span<const uint8_t> image);

}  // namespace norvane
