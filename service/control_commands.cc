// The control channel's commands on the engine: settings, zone, statistics,
// database and cache listings and changes, access list, settings store and
// routes. File commands are in control_files.cc. Every command runs under the
// command lock; the data's own locks are taken inside it.
#include "service/control_commands.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iterator>

#include "engine/zone_file.h"
#include "runtime/administration.h"
#include "runtime/serving_guard.h"
#include "runtime/settings.h"
#include "service/event_log.h"

namespace norvane {

namespace {

using Buffer = std::array<uint8_t, kControlMessageSize>;

constexpr size_t kStatusOnly = 4;
constexpr size_t kWithValue = kControlHeaderSize;

uint32_t code_of(const Buffer& buffer) { return read_le32(buffer, 0); }
uint32_t value_of(const Buffer& buffer) { return read_le32(buffer, 4); }
void set_status(Buffer& buffer, uint32_t status) { write_le32(buffer, 0, status); }
void set_value(Buffer& buffer, uint32_t value) { write_le32(buffer, 4, value); }
std::span<uint8_t> payload_of(Buffer& buffer) {
  return std::span<uint8_t>(buffer).subspan(kControlHeaderSize);
}
// Puts `image` in the payload and its size in the value; the reply's length.
size_t put_payload(Buffer& buffer, std::span<const uint8_t> image) {
  std::copy(image.begin(), image.end(), payload_of(buffer).begin());
  set_value(buffer, static_cast<uint32_t>(image.size()));
  return kControlHeaderSize + image.size();
}
// The 8-byte handle at the start of the payload.
uint64_t handle_of(const Buffer& buffer) { return read_le64(buffer, kControlHeaderSize); }
// The entry a walk asks for: 0 (the first) for value 0, else the handle in
// the payload; none when that handle is 0.
std::optional<uint64_t> walk_handle(const Buffer& buffer) {
  if (value_of(buffer) == 0) return 0;
  if (handle_of(buffer) != 0) return handle_of(buffer);
  return std::nullopt;
}
// One step of a walk: the image `image_of` gives for the entry the walk asks
// for, as the payload; the status only when there is none or it does not fit.
template <typename ImageOf>
size_t walk_reply(Buffer& buffer, ImageOf image_of) {
  const std::optional<uint64_t> wanted = walk_handle(buffer);
  if (!wanted) return kStatusOnly;
  const auto image = image_of(*wanted);
  if (!image || image->size() > kControlPayloadSize) return kStatusOnly;
  return put_payload(buffer, *image);
}

// Commands a connection without privilege is refused outright. Code 24
// decides inside the command (mode "r" is open to everyone). The route
// commands change the machine's routing table, which no ordinary user of a
// shared machine may take down, so all four are privileged; listing the
// routes stays open through the settings image and the store.
bool needs_privilege(uint32_t code) {
  switch (code) {
    case kControlSetSettings:
    case kControlClearCache:
    case kControlReloadZoneFile:
    case kControlSaveZoneFile:
    case kControlAddRecord:
    case kControlRemoveRecord:
    case kControlRemoveCacheEntry:
    case kControlRefreshFromPrimary:
    case kControlWriteSetting:
    case kControlRemoveRecords:
    case kControlSetGateway:
    case kControlRemoveDefaultRoute:
    case kControlAddRoutes:
    case kControlRemoveRoutes:
      return true;
    default:
      return false;
  }
}

// Permission bits that apply to `peer` for a file with `status`.
bool peer_has(const PeerCredentials& peer, const struct stat& status, mode_t owner_bits,
              mode_t group_bits, mode_t other_bits) {
  if (status.st_uid == peer.uid) return (status.st_mode & owner_bits) == owner_bits;
  bool in_group = status.st_gid == peer.gid || std::find(peer.groups.begin(), peer.groups.end(),
                                                         status.st_gid) != peer.groups.end();
  if (in_group) return (status.st_mode & group_bits) == group_bits;
  return (status.st_mode & other_bits) == other_bits;
}

}  // namespace

bool peer_may_write_store(const PeerCredentials& peer, const std::string& folder) {
  if (peer.uid == 0) return true;
  // The store is rewritten by creating a temporary in the folder and renaming
  // it over settings.ini: that takes write and search permission on the
  // folder. A missing folder is created by the first write, so then its
  // nearest existing parent decides.
  std::string directory = folder.empty() ? std::string(".") : folder;
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  bool folder_exists = true;
  struct stat status {};
  while (::stat(directory.c_str(), &status) != 0) {
    if (errno != ENOENT || directory == "/" || directory == ".") return false;
    folder_exists = false;
    const size_t slash = directory.find_last_of('/');
    if (slash == std::string::npos) {
      directory = ".";
    } else if (slash == 0) {
      directory = "/";
    } else {
      directory.resize(slash);
    }
  }
  if (!S_ISDIR(status.st_mode)) return false;
  if (!peer_has(peer, status, S_IWUSR | S_IXUSR, S_IWGRP | S_IXGRP, S_IWOTH | S_IXOTH)) {
    return false;
  }
  if (!folder_exists) return true;
  struct stat file {};
  const std::string path = directory + "/settings.ini";
  if (::stat(path.c_str(), &file) != 0) return true;
  return peer_has(peer, file, S_IWUSR, S_IWGRP, S_IWOTH);
}

ControlCommands::ControlCommands(Engine& engine, SettingsStore& store)
    : engine_(engine), store_(store) {}

void ControlCommands::set_refresh_hook(std::function<int()> hook) {
  std::lock_guard<std::mutex> guard(command_lock_);
  refresh_hook_ = std::move(hook);
}

void ControlCommands::set_route_hook(std::function<int(uint32_t, uint32_t, uint32_t)> hook) {
  std::lock_guard<std::mutex> guard(command_lock_);
  route_hook_ = std::move(hook);
}

bool ControlCommands::privilege_test(const PeerCredentials& peer) {
  std::lock_guard<std::mutex> guard(command_lock_);
  if (!peer_may_write_store(peer, store_.folder())) return false;
  store_.store_write_text(kMainKey, "Used", "1");
  return true;
}

std::vector<uint8_t> ControlCommands::handle_control_message(ControlSession& session,
                                                             std::span<const uint8_t> request) {
  if (request.size() > kControlMessageSize) return {};
  // A fresh zeroed buffer for every message: a short request's missing
  // fields read as 0, never as what an earlier message left behind.
  Buffer buffer{};
  std::copy(request.begin(), request.end(), buffer.begin());
  const uint32_t code = code_of(buffer);
  size_t length = kStatusOnly;
  {
    std::lock_guard<std::mutex> guard(command_lock_);
    try {
      request_fault_point();
      length = run_locked(session, buffer);
    } catch (...) {
      // Memory ran out inside a command: the command failed.
      set_status(buffer, code);
      length = kStatusOnly;
    }
  }
  length = std::clamp<size_t>(length, kStatusOnly, kControlMessageSize);
  return std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(length));
}

size_t ControlCommands::run_locked(ControlSession& session, Buffer& buffer) {
  const uint32_t code = code_of(buffer);
  if (needs_privilege(code) && !session.privileged()) {
    set_status(buffer, kControlRefused);
    return kStatusOnly;
  }
  set_status(buffer, kControlDone);
  switch (code) {
    case kControlGetSettings: {
      const auto image = settings_image(engine_);
      return put_payload(buffer, image);
    }
    case kControlSetSettings:
      return set_settings_locked(buffer);
    case kControlGetZone:
      return get_zone_locked(buffer);
    case kControlClearCache:
      // The entries are gone either way; a dump file that could not be
      // rewritten would bring them back at the next start, so say so.
      if (!clear_cache(engine_)) set_status(buffer, code);
      return kStatusOnly;
    case kControlGetStatistics: {
      const auto image = encode_statistics_image(engine_.statistics.snapshot());
      return put_payload(buffer, image);
    }
    case kControlReloadZoneFile:
      reload_zone(engine_);
      return kStatusOnly;
    case kControlSaveZoneFile:
      return save_zone_locked(buffer);
    case kControlNextDatabaseRecord:
      return next_record_locked(buffer);
    case kControlNextCacheEntry:
      // Handle 0 names no entry; only value 0 asks for the first one, so a
      // client can never be sent back to the head and walk in a circle.
      return walk_reply(buffer,
                        [&](uint64_t wanted) { return engine_.cache.cache_entry_image(wanted); });
    case kControlAddRecord:
      return add_record_locked(buffer);
    case kControlRemoveRecord:
      return remove_record_locked(buffer);
    case kControlRemoveCacheEntry:
      if (value_of(buffer) == 0 || !remove_cache_entry(engine_, handle_of(buffer))) {
        set_status(buffer, code);
      }
      return kStatusOnly;
    case kControlReloadAccessList:
      reload_access_list(engine_, store_);
      return kStatusOnly;
    case kControlRefreshFromPrimary:
      return refresh_locked(buffer);
    case kControlNextAccessRange:
      return walk_reply(buffer,
                        [&](uint64_t wanted) { return engine_.access.access_range_image(wanted); });
    case kControlWriteSetting:
      return write_setting_locked(buffer);
    case kControlRemoveRecords:
      return remove_records_locked(buffer);
    case kControlListFilesFirst:
      return list_files_first_locked(session, buffer);
    case kControlListFilesNext:
      return list_files_next_locked(session, buffer);
    case kControlListFilesEnd:
      return list_files_end_locked(session, buffer);
    case kControlOpenFile:
      return open_file_locked(session, buffer);
    case kControlCloseFile:
      return close_file_locked(session, buffer);
    case kControlReadLine:
      return read_line_locked(session, buffer);
    case kControlSetGateway:
    case kControlRemoveDefaultRoute:
    case kControlAddRoutes:
    case kControlRemoveRoutes:
      return routes_locked(code, buffer);
    default:
      set_status(buffer, kControlUnknownCommand);
      return kStatusOnly;
  }
}

size_t ControlCommands::set_settings_locked(Buffer& buffer) {
  if (value_of(buffer) != kSettingsImageSize ||
      !apply_settings(engine_, store_,
                      std::span<const uint8_t>(payload_of(buffer)).first(kSettingsImageSize))) {
    set_status(buffer, kControlSetSettings);
  }
  return kStatusOnly;
}

size_t ControlCommands::get_zone_locked(Buffer& buffer) {
  ZoneImage image;
  {
    // The texts are copied under the database lock: a domain rename running
    // on another thread must not be read while it reallocates the string.
    const LocalZone::Guard zone = engine_.zone.hold();
    const auto& records = zone.live().records();
    image.first_record = zone.live().empty() ? 0 : records.begin()->handle;
    image.loaded_at = zone.loaded_at();
    image.refreshed_at = zone.refreshed_at();
    image.retry_after = zone.retry_after();
    image.soa = {zone.domain(),  zone.primary(), zone.mailbox(), zone.serial(),
                 zone.refresh(), zone.retry(),   zone.expire(),  zone.minimum()};
  }
  const auto bytes = encode_zone_image(image);
  return put_payload(buffer, bytes);
}

size_t ControlCommands::save_zone_locked(Buffer& buffer) {
  bool saved = false;
  if (value_of(buffer) == 0) {
    saved = save_zone(engine_);
  } else {
    auto image = decode_zone_image(payload_of(buffer));
    if (image) {
      saved = save_zone_with_soa(engine_, image->soa);
    }
  }
  if (!saved) set_status(buffer, kControlSaveZoneFile);
  return kStatusOnly;
}

size_t ControlCommands::next_record_locked(Buffer& buffer) {
  std::optional<std::vector<uint8_t>> image;
  {
    LocalZone::Guard zone_guard = engine_.zone.hold();
    const RecordList& live = zone_guard.live();
    const auto end = live.records().end();
    auto position = end;
    if (value_of(buffer) == 0) {
      position = live.records().begin();
    } else if (handle_of(buffer) != 0) {
      position = live.position_of(handle_of(buffer));
    }
    if (position == end) return kStatusOnly;
    const auto following = std::next(position);
    image = encode_record_image({position->handle, following == end ? 0 : following->handle,
                                 position->ttl, position->datum, position->type,
                                 std::string(position->owner), std::string(position->target)});
  }
  if (!image) return kStatusOnly;
  return put_payload(buffer, *image);
}

namespace {

// Reports a change that the zone file did not take: transaction log and
// system log.
void report_not_saved(Engine& engine, const char* command, std::string_view name) {
  // The change is in force in memory; the file (and so the next start) does
  // not have it until a later write succeeds.
  const std::string text = std::string(command) + " of " + std::string(name) +
                           " not saved to name.db; in force in memory only";
  engine.log.write(1, "Error, %s\n", text.c_str());
  engine.log.flush();
  report_error_event(text.c_str());
}

}  // namespace

size_t ControlCommands::add_record_locked(Buffer& buffer) {
  // The record goes into the live list only; the file takes it with the
  // server's next save, so that a client adding many records one by one does
  // not rewrite the zone (and raise the serial) for each of them.
  auto request = decode_add_record_request(payload_of(buffer));
  if (!request || !add_record(engine_, value_of(buffer), request->owner, request->ttl,
                              request->datum, request->target)) {
    set_status(buffer, kControlAddRecord);
  }
  return kStatusOnly;
}

size_t ControlCommands::remove_record_locked(Buffer& buffer) {
  bool saved = true;
  if (value_of(buffer) == 0 || !remove_record(engine_, handle_of(buffer), &saved)) {
    set_status(buffer, kControlRemoveRecord);
  } else if (!saved) {
    report_not_saved(engine_, "remove", "a record");
    set_status(buffer, kControlRemoveRecord);
  }
  return kStatusOnly;
}

size_t ControlCommands::refresh_locked(Buffer& buffer) {
  if (!refresh_from_primary_now(engine_, refresh_hook_)) {
    set_status(buffer, kControlRefreshFromPrimary);
  }
  return kStatusOnly;
}

size_t ControlCommands::write_setting_locked(Buffer& buffer) {
  auto request = decode_write_setting_request(payload_of(buffer));
  int result = 0;
  if (request && request->key && request->value_name) {
    result = store_.store_write_text(*request->key, *request->value_name,
                                     request->data ? request->data->c_str() : nullptr);
  }
  set_value(buffer, result != 0 ? 1 : 0);
  return kWithValue;
}

size_t ControlCommands::remove_records_locked(Buffer& buffer) {
  auto name = read_field_text(payload_of(buffer), 0, kControlPayloadSize);
  bool saved = true;
  if (!name || remove_records(engine_, value_of(buffer), *name, &saved) <= 0) {
    set_status(buffer, kControlRemoveRecords);
  } else if (!saved) {
    report_not_saved(engine_, "remove", *name);
    set_status(buffer, kControlRemoveRecords);
  }
  return kStatusOnly;
}

size_t ControlCommands::routes_locked(uint32_t code, Buffer& buffer) {
  uint32_t result = 0;
  if (code == kControlSetGateway) {
    if (value_of(buffer) == 4) {
      // The address travels in network order, as its four octets.
      uint32_t gateway = 0;
      std::memcpy(&gateway, buffer.data() + kControlHeaderSize, 4);
      const auto changed = set_gateway(engine_, store_, gateway, route_hook_);
      if (!changed) {
        set_status(buffer, code);
        return kStatusOnly;
      }
      result = *changed;
    } else {
      result = restore_default_route(engine_, route_hook_);
    }
  } else if (code == kControlRemoveDefaultRoute) {
    result = remove_default_route(engine_, route_hook_);
  } else {
    result = apply_route_table(engine_, code == kControlAddRoutes, route_hook_);
  }
  set_value(buffer, result);
  return kWithValue;
}

}  // namespace norvane
