// The server thread of the windowed program.
#include "gui/server_thread.h"

#include <system_error>
#include <utility>

namespace norvane {

ServerThread::ServerThread(SettingsStore store, ServerObserver* observer) {
  ServerHostOptions options;
  options.observer = observer;
  host_ = std::make_unique<ServerHost>(std::move(store), std::move(options));
}

ServerThread::~ServerThread() { stop_and_join(); }

bool ServerThread::start() {
  if (thread_.joinable() || !host_) return false;
  std::promise<void> done;
  finished_ = done.get_future();
  try {
    thread_ = std::thread([host = host_.get(), done = std::move(done)]() mutable {
      host->start();
      host->run();
      done.set_value();
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool ServerThread::stop_and_join(std::chrono::milliseconds bound) {
  if (!host_) return false;
  host_->stop();
  if (!thread_.joinable()) return true;
  if (finished_.wait_for(bound) != std::future_status::ready) {
    thread_.detach();
    // Deliberately leaked: the detached thread still uses the host.
    static_cast<void>(host_.release());
    return false;
  }
  thread_.join();
  return true;
}

}  // namespace norvane
