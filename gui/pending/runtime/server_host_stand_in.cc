// Stand-in implementation (see README.md).
#include <ctime>

#include "engine/zone_file.h"
#include "runtime/auto_config.h"
#include "runtime/log_file.h"
#include "runtime/network_server.h"
#include "runtime/server_host.h"
#include "runtime/settings.h"
#include "runtime/zone_refresh.h"

namespace norvane {
struct ServerHost::Parts {
  explicit Parts(Engine& engine)
      : log_file(engine), server(engine, log_file), refresher(engine), watcher(engine) {}
  LogFile log_file;
  NetworkServer server;
  ZoneRefresher refresher;
  AddressWatcher watcher;
};

ServerHost::ServerHost(SettingsStore store, ServerHostOptions options)
    : store_(std::move(store)), options_(std::move(options)) {}
ServerHost::~ServerHost() = default;

bool ServerHost::start() {
  SettingsStore& store = store_;
  engine_.settings.network_configuration = load_ip_helper() ? 1 : 0;
  settings_read(engine_, store);
  {
    std::lock_guard<std::mutex> guard(lock_);
    parts_ = std::make_unique<Parts>(engine_);
    if (stop_requested_) parts_->server.server_stop();
  }
  parts_->log_file.log_roll(std::time(nullptr));
  zone_settings_read(engine_, store);
  install_zone_save_hook(engine_);
  if (zone_load(engine_, 1) == 0) {
    import_system_hosts(engine_);
  } else if (engine_.settings.primary.load() != 0) {
    zone_refresh(engine_);
  }
  if (engine_.settings.cache_dump.load() != 0) engine_.cache.cache_load_dump();
  if (engine_.settings.network_configuration.load() != 0) parts_->watcher.start();
  const bool listening = parts_->server.open_sockets();
  if (listening) parts_->server.log_ready();
  engine_.log.flush();
  parts_->server.set_turn_hook([this](std::time_t now) { parts_->refresher.on_turn(now); });
  if (options_.observer != nullptr)
    options_.observer->on_ready(static_cast<uint16_t>(engine_.settings.port.load()), listening);
  return listening;
}

void ServerHost::run() {
  if (parts_) parts_->server.server_loop();
  if (parts_) {
    parts_->server.server_stop();
    parts_->refresher.stop();
    parts_->watcher.stop();
    if (engine_.settings.cache_dump.load() != 0) engine_.cache.cache_save_dump();
    engine_.log.flush();
    parts_->log_file.close();
  }
  if (options_.observer != nullptr) options_.observer->on_stopped();
}

void ServerHost::stop() {
  std::lock_guard<std::mutex> guard(lock_);
  stop_requested_ = true;
  if (parts_) parts_->server.server_stop();
}
}  // namespace norvane
