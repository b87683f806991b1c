// The server host's start-up, serve and shut-down sequence.
#include "runtime/server_host.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "engine/atomic_file.h"
#include "engine/cache_dump.h"
#include "engine/text_helpers.h"
#include "engine/zone_file.h"
#include "runtime/program_directory.h"
#include "runtime/settings.h"

namespace norvane {

ServerHost::ServerHost(SettingsStore store, ServerHostOptions options)
    : store_(std::move(store)),
      options_(std::move(options)),
      log_file_(engine_),
      refresher_(engine_),
      writer_(
          engine_, [this] { return zone_save(engine_) == 1; },
          [this](const char* text) {
            if (options_.report_failure) options_.report_failure(text);
          }) {}

ServerHost::~ServerHost() {
  stop();
  shut_down();
}

bool ServerHost::start() {
  if (started_) return false;
  started_ = true;
  // Lines of the start-up go to the start-up stream until the log file opens.
  engine_.log.set_stream(options_.startup_stream);
  if (!network_startup()) return false;

  const std::string directory = program_directory();
  if (!directory.empty() && chdir(directory.c_str()) != 0) {
    // Only relative paths depend on it; the data directory is absolute.
  }
  engine_.settings.network_configuration = load_ip_helper() ? 1 : 0;
  settings_read(engine_, store_);
  if (options_.console) {
    if (engine_.log.level() < 2) engine_.log.set_level(2);
    log_file_.use_console(options_.console_stream);
  }
  log_file_.log_roll(std::time(nullptr));
  // Saves interrupted by a crash or a kill leave their temporaries behind.
  remove_stale_temporaries(*engine_.settings.data_directory.get(),
                           {kZoneFileName, kCacheDumpFileName}, std::time(nullptr));
  store_.remove_stale_temporaries();

  NetworkServer* server = nullptr;
  {
    // A stop that came before this point ends the loop at once.
    std::lock_guard<std::mutex> guard(stop_lock_);
    server_ = std::make_unique<NetworkServer>(engine_, log_file_);
    server = server_.get();
    if (stop_requested_) server->server_stop();
  }
  // The zone's defaults, the sockets, the zone file (else the hosts file, or
  // a refresh from the primary), the cache dump, auto-configuration. The
  // sockets are bound before the zone is read: a client that asks while a
  // large zone loads waits for its answer in the socket's queue instead of
  // being turned away, and the answer leaves as soon as the loop starts.
  zone_settings_read(engine_, store_);
  install_zone_save_hook(engine_);
  writer_.start();
  const bool listening = server->open_sockets();
  if (zone_load(engine_, 1) == 0) {
    import_system_hosts(engine_);
  } else {
    // On a secondary the start-up transfer runs on the refresher's thread,
    // so the zone file is served while it lasts.
    refresher_.refresh_at_start();
  }
  if (engine_.settings.cache_dump.load() != 0) engine_.cache.cache_load_dump();
  watcher_ = std::make_unique<AddressWatcher>(engine_);
  if (engine_.settings.network_configuration.load() != 0) watcher_->start();
  if (listening) server->log_ready();
  // The program's folder is recorded for other programs once the server
  // answers: the write is flushed to disk and would hold up the first answer.
  // An unchanged value is not rewritten.
  if (store_.store_read_text(kMainKey, "Path", "") != directory)
    store_.store_write_text(kMainKey, "Path", directory.c_str());
  // The start-up lines are out at once, not at the loop's first wake-up.
  engine_.log.flush();

  serving_ = true;
  if (options_.attach) options_.attach(*this);
  server->set_turn_hook([this](std::time_t now) { refresher_.on_turn(now); });
  if (options_.observer != nullptr)
    options_.observer->on_ready(static_cast<uint16_t>(engine_.settings.port.load()), listening);
  return listening;
}

void ServerHost::run() {
  if (!started_ || finished_) return;
  NetworkServer* server = nullptr;
  {
    std::lock_guard<std::mutex> guard(stop_lock_);
    server = server_.get();
  }
  if (server != nullptr) server->server_loop();
  shut_down();
}

void ServerHost::shut_down() {
  if (!started_ || finished_) return;
  finished_ = true;
  serving_ = false;
  {
    std::lock_guard<std::mutex> guard(stop_lock_);
    if (server_ != nullptr) server_->server_stop();
  }
  refresher_.stop();
  if (watcher_ != nullptr) watcher_->stop();
  // Changes still queued are written before the host reports itself stopped.
  writer_.stop();
  save_cache_dump();
  engine_.log.flush();
  log_file_.close();
  // The attached services end last, as the control channel's stop flag did.
  if (options_.detach) options_.detach();
  if (options_.observer != nullptr) options_.observer->on_stopped();
}

void ServerHost::save_cache_dump() {
  if (engine_.cache.cache_save_dump() != CacheDumpResult::kFailed) return;
  // The previous dump (if any) stays, so the cache a restart brings back is
  // an older one: say so rather than stop as though all was saved.
  const int error = errno;
  const std::string path = join_path(*engine_.settings.data_directory.get(), kCacheDumpFileName);
  engine_.log.write(1, "cache dump not saved to %s: %s\n", path.c_str(), std::strerror(error));
  if (options_.report_failure) {
    const std::string text = "Cache dump not saved to " + path;
    errno = error;
    options_.report_failure(text.c_str());
  }
}

void ServerHost::stop() {
  std::lock_guard<std::mutex> guard(stop_lock_);
  stop_requested_ = true;
  if (server_ != nullptr) server_->server_stop();
}

bool ServerHost::stop_requested() const {
  std::lock_guard<std::mutex> guard(stop_lock_);
  return stop_requested_;
}

bool ServerHost::zone_refresh_start() { return serving_.load() && refresher_.zone_refresh_start(); }

uint16_t ServerHost::port() const {
  std::lock_guard<std::mutex> guard(stop_lock_);
  return server_ != nullptr ? server_->port() : 0;
}

}  // namespace norvane
