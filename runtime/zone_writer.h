// The zone writer: one thread that writes name.db for every change of the
// local database, so that no serving thread writes or waits for a disk.
// Changes are applied under the database lock by whoever makes them; they
// then ask for a save (LocalZone::request_save). Requests that arrive while a
// write runs are coalesced into the next write (group commit), and each
// waiter hears the outcome of the first write that began after its request,
// which therefore holds its change.
// Thread-safety: request() may be called from any thread, with or without
// the database lock; start() and stop() from the owning thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/non_copyable.h"

namespace norvane {

class ZoneWriter : NonCopyable {
 public:
  // How long after a failed write the writer tries again by itself, so that
  // changes held only in memory reach the disk once room is made, even when
  // no new change comes.
  static constexpr std::chrono::seconds kRetryDelay{5};
  // The writer thread's nice value: lower priority than the serving threads.
  static constexpr int kNice = 10;

  // `write` makes one save and returns success (zone_save for a server).
  // `report` hears a line for every failed write (may be empty; the system
  // log of a service); it runs on the thread that wrote. Both failures and
  // the recovery after one are also written to the transaction log.
  ZoneWriter(Engine& engine, std::function<bool()> write,
             std::function<void(const char* text)> report);
  // Stops the writer (see stop()).
  ~ZoneWriter();

  // Starts the thread and makes it the zone's save queue.
  void start();
  // Makes a last write when requests are pending, answers their waiters,
  // ends the thread and hands saves back to the calling thread of each
  // request (the zone's synchronous save). Idempotent.
  void stop();

  // Asks for a write that begins after this call; `done(saved)` runs on the
  // writer's thread once it has finished (may be empty). After stop() the
  // write is made at once on the calling thread.
  void request(LocalZone::SaveDone done);

  // Number of writes made so far (group commit shows as fewer writes than
  // requests).
  uint64_t writes() const;

 private:
  void run();

  Engine& engine_;
  std::function<bool()> write_;
  std::function<void(const char*)> report_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  // Guarded by lock_.
  std::vector<LocalZone::SaveDone> waiting_;
  bool requested_ = false;
  bool stopping_ = false;
  bool running_ = false;
  uint64_t writes_ = 0;
  std::thread thread_;
};

}  // namespace norvane
