// The administrative operations on a running server (see administration.h).
#include "runtime/administration.h"

#include <ctime>
#include <mutex>
#include <utility>

#include "runtime/access_list.h"
#include "runtime/server_host.h"
#include "runtime/settings.h"

namespace norvane {

namespace {

uint32_t route_through(const RouteHook& route, uint32_t destination, uint32_t mask,
                       uint32_t gateway) {
  // Without a hook every route change counts as failed.
  if (!route) return 0;
  return route(destination, mask, gateway) != 0 ? 1 : 0;
}

}  // namespace

bool apply_settings(Engine& engine, SettingsStore& store, std::span<const uint8_t> image) {
  if (!apply_settings_image(engine, image)) return false;
  // Written, then read back, so the live values are exactly what the store
  // holds. When the write fails the read puts the previous stored values
  // back, and the failure is reported rather than a change that will not
  // survive a restart.
  const int written = settings_write(engine, store, kMainKey);
  settings_read(engine, store, kMainKey);
  return written != 0;
}

bool save_zone(Engine& engine) {
  {
    LocalZone::Guard zone = engine.zone.hold();
    zone.set_serial(zone.serial() + 1);
  }
  // Through the writer when one runs, so that the write joins any other
  // that is due (group commit) and no two writers format the zone at once.
  if (engine.zone.saves_queued()) return engine.zone.save();
  return zone_save(engine) != 0;
}

bool save_zone_with_soa(Engine& engine, const ZoneSoa& soa) { return zone_save(engine, &soa) != 0; }

int reload_zone(Engine& engine) {
  LocalZone::Guard zone = engine.zone.hold();
  return zone_load(engine, 0);
}

bool add_record(Engine& engine, uint32_t type, std::string_view owner, uint32_t ttl, uint32_t datum,
                std::string_view target) {
  LocalZone::Guard zone = engine.zone.hold();
  return zone.add_zone_record(0, type, owner, ttl, datum, target) == 1;
}

AddResult add_record_and_save(Engine& engine, uint32_t type, std::string_view owner, uint32_t ttl,
                              uint32_t datum, std::string_view target) {
  if (!add_record(engine, type, owner, ttl, datum, target)) return AddResult::kRefused;
  return save_zone(engine) ? AddResult::kAdded : AddResult::kNotSaved;
}

namespace {

// Waits for the save of removals made under a lock now released; reports
// its outcome through `saved`. Nothing removed, nothing to save.
void save_removals(Engine& engine, int removed, bool* saved) {
  const bool written = removed == 0 || engine.zone.save();
  if (saved != nullptr) *saved = written;
}

}  // namespace

bool remove_record(Engine& engine, uint64_t handle, bool* saved) {
  bool found = false;
  if (handle != 0) {
    LocalZone::Guard zone = engine.zone.hold();
    const std::optional<ZoneRecord> record = zone.live().find_handle(handle);
    found = record && zone.unlink_zone_record(*record);
  }
  // The write is waited for with the lock released: the writer takes it to
  // copy the zone.
  save_removals(engine, found ? 1 : 0, saved);
  return found;
}

int remove_records(Engine& engine, uint32_t type, std::string_view name, bool* saved) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  int removed = 0;
  {
    LocalZone::Guard zone = engine.zone.hold();
    while (const std::optional<ZoneRecord> record =
               zone.find_zone_record(zone.live(), name, type)) {
      if (!zone.unlink_zone_record(*record)) break;
      ++removed;
    }
  }
  save_removals(engine, removed, saved);
  return removed;
}

bool refresh_from_primary_now(Engine& engine, const RefreshStart& start) {
  if (!start) return false;
  {
    // Holds off the timed refresh of the serving loop while this one runs.
    LocalZone::Guard zone = engine.zone.hold();
    zone.set_retry_after(std::time(nullptr) + zone.retry());
  }
  return start() != 0;
}

bool refresh_from_primary_now(ServerHost& host) {
  return refresh_from_primary_now(host.engine(),
                                  [&host] { return host.zone_refresh_start() ? 1 : 0; });
}

bool clear_cache(Engine& engine) { return engine.cache.cache_clear(); }

bool remove_cache_entry(Engine& engine, uint64_t handle) {
  return handle != 0 && engine.cache.cache_remove(handle);
}

void reload_access_list(Engine& engine, const SettingsStore& store) {
  load_access_list(engine, store, kMainKey);
}

bool replace_access_list(Engine& engine, SettingsStore& store, std::vector<AccessRange> ranges) {
  std::vector<AccessRange> previous = engine.access.access_list();
  engine.access.replace_access_list(std::move(ranges));
  if (save_access_list(engine, store, kMainKey) != 0) return true;
  engine.access.replace_access_list(std::move(previous));
  return false;
}

std::optional<uint32_t> set_gateway(Engine& engine, SettingsStore& store, uint32_t gateway,
                                    const RouteHook& route) {
  ServerSettings& settings = engine.settings;
  const uint32_t previous = settings.gateway.exchange(gateway);
  if (settings_write(engine, store, kMainKey) == 0) {
    // Not stored, so not in force either: a route through a gateway that
    // the next start forgets would surprise the administrator.
    settings.gateway.store(previous);
    return std::nullopt;
  }
  return route_through(route, 0, 0, gateway);
}

uint32_t restore_default_route(Engine& engine, const RouteHook& route) {
  const uint32_t stored = engine.settings.gateway.load();
  return stored != 0 ? route_through(route, 0, 0, stored) : 0;
}

uint32_t remove_default_route(Engine& engine, const RouteHook& route) {
  return engine.settings.gateway.load() != 0 ? route_through(route, 0, 0, 0) : 0;
}

uint32_t apply_route_table(Engine& engine, bool add, const RouteHook& route) {
  const uint32_t gateway = add ? engine.settings.gateway.load() : 0;
  const auto routes = engine.settings.routes.get();
  uint32_t changed = 0;
  for (const Route& entry : *routes) {
    changed += route_through(route, entry.destination, entry.mask, gateway);
  }
  return changed;
}

}  // namespace norvane
