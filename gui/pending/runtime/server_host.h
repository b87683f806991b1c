// Stand-in until the runtime's own server_host lands (same interface).
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>

#include "engine/engine.h"
#include "runtime/settings_store.h"

namespace norvane {
class ServerObserver {
 public:
  virtual ~ServerObserver() = default;
  virtual void on_ready(uint16_t port, bool listening) = 0;
  virtual void on_stopped() = 0;
};

struct ServerHostOptions {
  bool console = false;
  std::FILE* console_stream = stdout;
  std::FILE* startup_stream = stderr;
  ServerObserver* observer = nullptr;
  std::function<void(class ServerHost&)> attach;
  std::function<void()> detach;
};

class ServerHost {
 public:
  ServerHost(SettingsStore store, ServerHostOptions options);
  ~ServerHost();
  ServerHost(const ServerHost&) = delete;
  ServerHost& operator=(const ServerHost&) = delete;

  bool start();
  void run();
  void stop();
  Engine& engine() { return engine_; }
  SettingsStore& store() { return store_; }

 private:
  struct Parts;
  SettingsStore store_;
  ServerHostOptions options_;
  Engine engine_;
  std::unique_ptr<Parts> parts_;
  std::mutex lock_;
  bool stop_requested_ = false;
};
}  // namespace norvane
