// The operations that change a running server: settings, SOA values and the
// zone file, single records, the refresh from the primary, the cache, the
// access list and the routes through the gateway. Plain functions over the
// engine and its settings store, with no message formats and no windows: the
// control channel decodes a request, calls one of these and encodes the
// result; the windowed program's dialogs call the same functions.
//
// Locks: none of these takes a lock of its caller's. Administrators serialise
// their own calls (the control channel holds its command lock, the outermost
// lock of the system, around each; the windowed program calls from its window
// thread). Inside, each function takes the database, cache and log locks it
// needs, in that order, and never holds one while calling a hook.
// Thread-safety: safe while the serving threads run.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/access_control.h"
#include "engine/engine.h"
#include "engine/zone_file.h"
#include "runtime/settings_store.h"

namespace norvane {

class ServerHost;

// Starts a refresh from the primary without waiting for it; nonzero when it
// was started (ServerHost::zone_refresh_start is one).
using RefreshStart = std::function<int()>;
// Adds (gateway nonzero) or removes (gateway 0) the route to
// destination/mask; nonzero on success. Routes are the service's business,
// so the program passes its own; addresses are in network order.
using RouteHook = std::function<int(uint32_t destination, uint32_t mask, uint32_t gateway)>;

// --- Settings ----------------------------------------------------------

// Makes `image` (a settings image, see apply_settings_image) the live
// settings, writes them to the store (settings_write) and reads them back
// (settings_read, which also reloads the access list), so the live values
// are exactly what the store holds. False, changing nothing, when the image
// does not decode; false too when the store could not be written: the read
// then puts the previously stored values back.
bool apply_settings(Engine& engine, SettingsStore& store, std::span<const uint8_t> image);

// --- Zone --------------------------------------------------------------

// Adds 1 to the serial (under the database lock) and rewrites name.db from
// the live database. False when the file could not be written; the serial
// stays raised.
bool save_zone(Engine& engine);

// Rewrites name.db with `soa` as the new SOA values (and, for a new domain,
// the records moved into it): zone_save with new settings. The serial is the
// one given, not raised. False, changing nothing, when the values were
// refused or the file could not be written.
bool save_zone_with_soa(Engine& engine, const ZoneSoa& soa);

// Reads name.db again into the live database, SOA lines ignored (zone_load
// with take_soa 0), under the database lock. Returns the records loaded;
// 0 leaves the database unchanged.
int reload_zone(Engine& engine);

// Adds one record to the live database (LocalZone::add_zone_record: TTL 0
// becomes the minimum, names lowered). Changes neither the serial nor
// name.db: the caller saves with save_zone when it wants both. False when
// the database refused the record.
bool add_record(Engine& engine, uint32_t type, std::string_view owner, uint32_t ttl, uint32_t datum,
                std::string_view target);

// What add_record_and_save did.
enum class AddResult {
  kAdded,     // added, serial raised by 1, name.db rewritten
  kRefused,   // the database refused the record; nothing changed
  kNotSaved,  // added and serial raised, but name.db could not be written
};
// The Add Entry rule: add_record, then save_zone. Every accepted record
// raises the serial by exactly one.
AddResult add_record_and_save(Engine& engine, uint32_t type, std::string_view owner, uint32_t ttl,
                              uint32_t datum, std::string_view target);

// Removes the live record with `handle` (never 0). A removal adds 1 to the
// serial; name.db is rewritten (through the zone writer when one runs) and
// the call waits for that write. False, with nothing changed, when no live
// record has that handle. `saved`, when given, tells whether the write
// succeeded: when it did not, the record stays removed in memory only (the
// next successful write of the zone file takes the removal along; until
// then the file and a restart still have the record).
bool remove_record(Engine& engine, uint64_t handle, bool* saved = nullptr);
// Removes every live record of `name` (one trailing dot stripped, compared
// as given, so pass it in lower case) and `type` (255: all types); each
// removal raises the serial. name.db is rewritten once for all of them and
// waited for; `saved` as for remove_record. Returns the number removed.
int remove_records(Engine& engine, uint32_t type, std::string_view name, bool* saved = nullptr);
// Starts a refresh from the primary now, without waiting for it. First sets
// the zone's retry_after to now + retry (database lock), which holds off the
// timed refresh of the serving loop meanwhile. False when there is no
// `start` or it did not start one (one already running, server stopping).
bool refresh_from_primary_now(Engine& engine, const RefreshStart& start);
// The same through the host's own refresher.
bool refresh_from_primary_now(ServerHost& host);

// --- Cache -------------------------------------------------------------

// Empties the cache (cache lock) and rewrites the cache dump. False when the
// dump could not be rewritten: the entries are gone from memory all the
// same, but would come back at the next start.
bool clear_cache(Engine& engine);

// Removes the cache entry with `handle` (never 0); false when there is none.
bool remove_cache_entry(Engine& engine, uint64_t handle);

// --- Access list -------------------------------------------------------

// Reads the live access list again from the store (load_access_list).
void reload_access_list(Engine& engine, const SettingsStore& store);

// Replaces the live access list with `ranges` in one swap, then rewrites it
// in the store (save_access_list: numbered values "0", "1", ... in one
// rewrite). When the store cannot be written the previous list is put back
// and false returned: a list in force that the next start forgets would
// surprise the administrator.
bool replace_access_list(Engine& engine, SettingsStore& store, std::vector<AccessRange> ranges);

// --- Routes ------------------------------------------------------------

// Makes `gateway` (network order) the gateway, writes the settings to the
// store (settings_write) and adds the default route through it with `route`.
// Nothing when the store could not be written: the previous gateway is then
// put back and no route is touched. Otherwise the number of routes changed
// (0 or 1; 0 without a hook).
std::optional<uint32_t> set_gateway(Engine& engine, SettingsStore& store, uint32_t gateway,
                                    const RouteHook& route);
// Adds the default route through the stored gateway again; 0 when there is
// none. Returns the number of routes changed.
uint32_t restore_default_route(Engine& engine, const RouteHook& route);
// Removes the default route while a gateway is set; returns 0 or 1.
uint32_t remove_default_route(Engine& engine, const RouteHook& route);
// Adds every route of the route table through the gateway (`add` true) or
// removes them (`add` false); returns how many succeeded.
uint32_t apply_route_table(Engine& engine, bool add, const RouteHook& route);

}  // namespace norvane
