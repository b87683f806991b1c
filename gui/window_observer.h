// Carries the server host's reports from the server thread to the main
// window. Only queued calls: the server thread never waits for the GUI
// thread, which joins it at exit. A call queued for a window that is gone is
// dropped by Qt. Thread-safe.
#pragma once

#include <QMetaObject>
#include <atomic>

#include "gui/main_window.h"
#include "runtime/server_host.h"

namespace norvane {

class WindowObserver : public ServerObserver {
 public:
  void set_window(MainWindow* window) { window_ = window; }

  void on_ready(uint16_t port, bool listening) override {
    MainWindow* window = window_;
    if (window == nullptr) return;
    QMetaObject::invokeMethod(
        window, [window, port, listening] { window->server_ready(port, listening); },
        Qt::QueuedConnection);
  }

  void on_stopped() override {
    MainWindow* window = window_;
    if (window == nullptr) return;
    QMetaObject::invokeMethod(
        window, [window] { window->server_stopped(); }, Qt::QueuedConnection);
  }

 private:
  std::atomic<MainWindow*> window_{nullptr};
};

}  // namespace norvane
