// Reading and writing the engine's settings and their control-channel image.
#include "runtime/settings.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "engine/byte_order.h"
#include "runtime/access_list.h"

namespace norvane {
namespace {

// The default log level; the main key's other numbers default to what a
// fresh ServerSettings holds.
constexpr uint32_t kDefaultLog = 1;
const ServerSettings kDefaults{};

// A stored port that a socket address cannot hold reads as the DNS port.
uint32_t read_port(const SettingsStore& store, std::string_view subkey, std::string_view value) {
  const uint32_t port = store.store_read_number(subkey, value, kDefaults.port.load());
  return port == 0 || port > 65535 ? kDefaults.port.load() : port;
}

// A bound of 0 would refuse every transfer; it reads as the default.
uint32_t read_limit(const SettingsStore& store, std::string_view subkey, std::string_view value,
                    uint32_t fallback) {
  const uint32_t limit = store.store_read_number(subkey, value, fallback);
  return limit == 0 ? fallback : limit;
}

std::string numbered(const char* name, int index) { return name + std::to_string(index); }

// Applies the rule that automatic configuration needs the platform's network
// configuration interface.
void force_without_network_configuration(ServerSettings& settings) {
  if (settings.network_configuration.load() == 0) {
    settings.auto_interfaces.store(0);
    settings.auto_dns.store(0);
  }
}

// A network-order address travels as its bytes in memory order, whatever the
// host's byte order.
void put_address(uint8_t* out, uint32_t address) { std::memcpy(out, &address, 4); }
uint32_t get_address(const uint8_t* in) {
  uint32_t address;
  std::memcpy(&address, in, 4);
  return address;
}

// The numbers of the image that a change through the image sets as they come.
// NetworkConfiguration is the machine's to say: the image reports it but does
// not change it.
struct MirroredNumber {
  uint32_t SettingsImage::*in_image;
  std::atomic<uint32_t> ServerSettings::*in_settings;
};
constexpr MirroredNumber kMirroredNumbers[] = {
    {&SettingsImage::create_log, &ServerSettings::create_log},
    {&SettingsImage::access_control, &ServerSettings::access_control},
    {&SettingsImage::auto_dns, &ServerSettings::auto_dns},
    {&SettingsImage::auto_interfaces, &ServerSettings::auto_interfaces},
    {&SettingsImage::server_ttl, &ServerSettings::server_ttl},
    {&SettingsImage::client_ttl, &ServerSettings::client_ttl},
    {&SettingsImage::cache_entries, &ServerSettings::cache_entries},
    {&SettingsImage::cache_dump, &ServerSettings::cache_dump},
    {&SettingsImage::port, &ServerSettings::port},
    {&SettingsImage::primary, &ServerSettings::primary},
};

// Byte offsets of the image's fields.
constexpr size_t kNumbersEnd = 13 * 4;
constexpr size_t kAddressesAt = kNumbersEnd;
constexpr size_t kPortsAt = kAddressesAt + 4 * kMaxExternalServers;
constexpr size_t kDirectoryAt = kPortsAt + 2 * kMaxExternalServers;
static_assert(kDirectoryAt + kImageDirectorySize == kSettingsImageSize);

}  // namespace

void settings_read(Engine& engine, const SettingsStore& store, std::string_view subkey) {
  ServerSettings& s = engine.settings;
  engine.log.set_level(store.store_read_number(subkey, "Log", kDefaultLog));
  s.create_log.store(store.store_read_number(subkey, "CreateLog", kDefaults.create_log.load()));
  s.access_control.store(
      store.store_read_number(subkey, "AccessControl", kDefaults.access_control.load()));
  s.server_ttl.store(store.store_read_number(subkey, "ServerTTL", kDefaults.server_ttl.load()));
  s.client_ttl.store(store.store_read_number(subkey, "ClientTTL", kDefaults.client_ttl.load()));
  s.cache_entries.store(
      store.store_read_number(subkey, "CacheEntries", kDefaults.cache_entries.load()));
  s.cache_dump.store(store.store_read_number(subkey, "CacheDump", kDefaults.cache_dump.load()));
  s.auto_interfaces.store(
      store.store_read_number(subkey, "AutoIf", kDefaults.auto_interfaces.load()));
  s.auto_dns.store(store.store_read_number(subkey, "AutoDNS", kDefaults.auto_dns.load()));
  force_without_network_configuration(s);

  s.port.store(read_port(store, subkey, "Port"));
  s.primary.store(store.store_read_address(subkey, "Primary"));
  s.transfer_max_records.store(
      read_limit(store, subkey, "TransferMaxRecords", kDefaultTransferMaxRecords));
  s.transfer_max_bytes.store(
      read_limit(store, subkey, "TransferMaxBytes", kDefaultTransferMaxBytes));

  // Compact: a gap in the numbering does not leave an empty slot.
  std::vector<ExternalServer> servers;
  for (int i = 1; i <= kMaxExternalServers; ++i) {
    const uint32_t address = store.store_read_address(subkey, numbered("DNS", i));
    if (address == 0) continue;
    ExternalServer server;
    server.address = address;
    server.port = static_cast<uint16_t>(read_port(store, subkey, numbered("DNS-Port", i)));
    servers.push_back(server);
  }
  s.external_servers.set(std::move(servers));

  load_access_list(engine, store, subkey);

  s.gateway.store(store.store_read_address(subkey, "Gateway"));
  const std::string routes_key = std::string(subkey) + "\\routes";
  std::vector<Route> routes;
  for (int i = 0; i < kMaxRoutes; ++i) {
    Route route;
    route.destination = store.store_read_address(routes_key, numbered("Dest", i));
    route.mask = store.store_read_address(routes_key, numbered("Mask", i));
    if (route.destination != 0 && route.mask != 0) routes.push_back(route);
  }
  s.routes.set(std::move(routes));

  std::string directory = store.store_read_text(subkey, "Directory", "", kImageDirectorySize);
  if (directory.empty()) directory = default_data_directory();
  s.data_directory.set(std::move(directory));
}

int settings_write(const Engine& engine, SettingsStore& store, std::string_view subkey) {
  const ServerSettings& s = engine.settings;
  StoreBatch batch;
  batch.set_number("Log", engine.log.level(), kDefaultLog);
  batch.set_number("CreateLog", s.create_log.load(), kDefaults.create_log.load());
  batch.set_number("AccessControl", s.access_control.load(), kDefaults.access_control.load());
  batch.set_number("ServerTTL", s.server_ttl.load(), kDefaults.server_ttl.load());
  batch.set_number("ClientTTL", s.client_ttl.load(), kDefaults.client_ttl.load());
  batch.set_number("CacheEntries", s.cache_entries.load(), kDefaults.cache_entries.load());
  batch.set_number("CacheDump", s.cache_dump.load(), kDefaults.cache_dump.load());
  batch.set_number("Port", s.port.load(), kDefaults.port.load());
  // Without the network interface both are forced off in memory; writing
  // that back would erase the administrator's choice for no gain.
  if (s.network_configuration.load() != 0) {
    batch.set_number("AutoIf", s.auto_interfaces.load(), kDefaults.auto_interfaces.load());
    batch.set_number("AutoDNS", s.auto_dns.load(), kDefaults.auto_dns.load());
  }
  batch.set_address("Primary", s.primary.load());
  batch.set_number("TransferMaxRecords", s.transfer_max_records.load(), kDefaultTransferMaxRecords);
  batch.set_number("TransferMaxBytes", s.transfer_max_bytes.load(), kDefaultTransferMaxBytes);
  const auto servers = s.external_servers.get();
  // The ports are read, never written: they stay with their slot numbers as
  // the administrator stored them, so a client that replaces the settings
  // cannot move forwarding to another port of a name server.
  for (int i = 0; i < kMaxExternalServers; ++i) {
    uint32_t address = 0;
    if (static_cast<size_t>(i) < servers->size()) {
      address = (*servers)[static_cast<size_t>(i)].address;
    }
    batch.set_address(numbered("DNS", i + 1), address);
  }
  batch.set_address("Gateway", s.gateway.load());
  return store.store_apply(subkey, batch);
}

void zone_settings_read(Engine& engine, const SettingsStore& store, std::string_view subkey) {
  constexpr size_t kNameSize = 256;
  const std::string domain = store.store_read_text(subkey, "Domain", "", kNameSize);
  const std::string server = store.store_read_text(subkey, "Server", "", kNameSize);
  const std::string mailbox =
      store.store_read_text(subkey, "Administrator", "postmaster", kNameSize);
  const uint32_t serial = store.store_read_number(subkey, "Serial", 0);
  const uint32_t refresh = store.store_read_number(subkey, "Refresh", 36000);
  const uint32_t retry = store.store_read_number(subkey, "Retry", 7200);
  const uint32_t expire = store.store_read_number(subkey, "Expire", 72000);
  const uint32_t minimum = store.store_read_number(subkey, "TTL", 3600);

  LocalZone& zone = engine.zone;
  if (!domain.empty() &&
      zone.set_zone_soa(domain, server, mailbox, serial, refresh, retry, expire, minimum) == 1) {
    return;
  }
  // Without a usable domain the names cannot be qualified yet; they are kept
  // as written until the zone file supplies its SOA.
  LocalZone::Guard held = zone.hold();
  held.set_primary(server);
  held.set_mailbox(mailbox);
  if (serial != 0) held.set_serial(serial);
  if (refresh != 0) held.set_refresh(refresh);
  if (retry != 0) held.set_retry(retry);
  if (expire != 0) held.set_expire(expire);
  if (minimum != 0) held.set_minimum(minimum);
}

SettingsImage capture_settings(const Engine& engine) {
  const ServerSettings& s = engine.settings;
  SettingsImage image;
  image.log_level = engine.log.level();
  image.network_configuration = s.network_configuration.load();
  for (const MirroredNumber& number : kMirroredNumbers)
    image.*number.in_image = (s.*number.in_settings).load();
  const auto servers = s.external_servers.get();
  size_t count = 0;
  for (const ExternalServer& server : *servers) {
    if (count == kMaxExternalServers) break;
    image.external_addresses[count] = server.address;
    image.external_ports[count] = server.port;
    ++count;
  }
  image.external_server_count = static_cast<uint32_t>(count);
  const auto directory = s.data_directory.get();
  if (directory->size() < kImageDirectorySize) {
    std::memcpy(image.data_directory, directory->data(), directory->size());
  }
  return image;
}

std::array<uint8_t, kSettingsImageSize> encode_settings_image(const SettingsImage& image) {
  std::array<uint8_t, kSettingsImageSize> bytes{};
  const uint32_t numbers[] = {image.log_level,      image.create_log,
                              image.access_control, image.network_configuration,
                              image.auto_dns,       image.auto_interfaces,
                              image.server_ttl,     image.client_ttl,
                              image.cache_entries,  image.cache_dump,
                              image.port,           image.external_server_count};
  size_t at = 0;
  for (uint32_t number : numbers) {
    write_le32(&bytes[at], number);
    at += 4;
  }
  put_address(&bytes[at], image.primary);
  for (int i = 0; i < kMaxExternalServers; ++i) {
    put_address(&bytes[kAddressesAt + 4 * i], image.external_addresses[i]);
    write_le16(&bytes[kPortsAt + 2 * i], image.external_ports[i]);
  }
  std::memcpy(&bytes[kDirectoryAt], image.data_directory, kImageDirectorySize);
  // A text that filled the array without its zero would run into nothing
  // on the other side; the last byte is always the terminator.
  bytes[kSettingsImageSize - 1] = 0;
  return bytes;
}

std::optional<SettingsImage> decode_settings_image(std::span<const uint8_t> bytes) {
  if (bytes.size() != kSettingsImageSize) return std::nullopt;
  const uint8_t* in = bytes.data();
  SettingsImage image;
  uint32_t* numbers[] = {&image.log_level,      &image.create_log,
                         &image.access_control, &image.network_configuration,
                         &image.auto_dns,       &image.auto_interfaces,
                         &image.server_ttl,     &image.client_ttl,
                         &image.cache_entries,  &image.cache_dump,
                         &image.port,           &image.external_server_count};
  size_t at = 0;
  for (uint32_t* number : numbers) {
    *number = read_le32(in + at);
    at += 4;
  }
  image.primary = get_address(in + at);
  if (image.external_server_count > kMaxExternalServers) return std::nullopt;
  for (int i = 0; i < kMaxExternalServers; ++i) {
    image.external_addresses[i] = get_address(in + kAddressesAt + 4 * i);
    image.external_ports[i] = read_le16(in + kPortsAt + 2 * i);
  }
  const uint8_t* directory = in + kDirectoryAt;
  if (std::memchr(directory, 0, kImageDirectorySize) == nullptr) return std::nullopt;
  std::memcpy(image.data_directory, directory, kImageDirectorySize);
  return image;
}

std::array<uint8_t, kSettingsImageSize> settings_image(const Engine& engine) {
  return encode_settings_image(capture_settings(engine));
}

bool apply_settings_image(Engine& engine, std::span<const uint8_t> bytes) {
  const std::optional<SettingsImage> decoded = decode_settings_image(bytes);
  if (!decoded) return false;
  const SettingsImage& image = *decoded;
  ServerSettings& s = engine.settings;
  engine.log.set_level(image.log_level);
  for (const MirroredNumber& number : kMirroredNumbers)
    (s.*number.in_settings).store(image.*number.in_image);
  force_without_network_configuration(s);
  std::vector<ExternalServer> servers;
  for (uint32_t i = 0; i < image.external_server_count; ++i) {
    if (image.external_addresses[i] == 0) continue;
    ExternalServer server;
    server.address = image.external_addresses[i];
    server.port = image.external_ports[i];
    servers.push_back(server);
  }
  s.external_servers.set(std::move(servers));
  if (image.data_directory[0] != '\0') s.data_directory.set(std::string(image.data_directory));
  return true;
}

}  // namespace norvane
