// Stand-in until the runtime's own server_host lands.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/engine.h"

namespace norvane {
class ServerHost {
 public:
  class Observer {
   public:
    virtual ~Observer() = default;
    virtual void on_ready(uint16_t port, bool listening) = 0;
    virtual void on_stopped() = 0;
  };
  explicit ServerHost(Observer* observer = nullptr);
  ~ServerHost();
  ServerHost(const ServerHost&) = delete;
  ServerHost& operator=(const ServerHost&) = delete;

  Engine& engine() { return engine_; }
  bool start();
  void run();
  void stop();

 private:
  struct Parts;
  Observer* observer_;
  Engine engine_;
  std::unique_ptr<Parts> parts_;
  std::mutex lock_;
  std::atomic<bool> stop_requested_{false};
};
}  // namespace norvane
