// The zone writer's thread and its group commit.
#include "runtime/zone_writer.h"

#include <sys/resource.h>
#include <unistd.h>

#include <utility>

namespace norvane {

ZoneWriter::ZoneWriter(Engine& engine, std::function<bool()> write,
                       std::function<void(const char* text)> report)
    : engine_(engine), write_(std::move(write)), report_(std::move(report)) {}

ZoneWriter::~ZoneWriter() { stop(); }

void ZoneWriter::start() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (running_ || stopping_) return;
    running_ = true;
  }
  thread_ = std::thread([this] { run(); });
  engine_.zone.set_save_queue([this](LocalZone::SaveDone done) { request(std::move(done)); });
}

void ZoneWriter::stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void ZoneWriter::request(LocalZone::SaveDone done) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (running_) {
      if (done) waiting_.push_back(std::move(done));
      requested_ = true;
      wake_.notify_one();
      return;
    }
  }
  // Stopped (or never started): the caller's thread writes.
  const bool saved = write_();
  if (!saved && report_) report_("Error, zone file name.db not written");
  if (done) done(saved);
}

uint64_t ZoneWriter::writes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return writes_;
}

void ZoneWriter::run() {
  // Formatting and writing a large zone is background work: under a busy
  // machine the scheduler should favour the threads that answer queries.
  // A failure leaves the default priority, which is only slower.
  [[maybe_unused]] const int ignored =
      setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kNice);
  std::unique_lock<std::mutex> guard(lock_);
  // True while memory holds changes that the last write failed to save.
  bool behind = false;
  for (;;) {
    const auto wanted = [this] { return requested_ || stopping_; };
    if (behind)
      wake_.wait_for(guard, kRetryDelay, wanted);
    else
      wake_.wait(guard, wanted);
    // A stop ends the thread once every request is written; a failed write
    // is not retried then, its changes stay in memory only (reported).
    if (!requested_ && stopping_) break;
    // The waiters are taken before the write copies the zone, so every
    // change whose request is answered here is in the copy.
    std::vector<LocalZone::SaveDone> batch = std::move(waiting_);
    waiting_.clear();
    requested_ = false;
    guard.unlock();

    const bool saved = write_();
    if (!saved) {
      engine_.log.write(1,
                        "Error, zone file name.db not written; changes are in force in memory "
                        "only until a later write succeeds\n");
      if (report_) report_("Error, zone file name.db not written");
    } else if (behind) {
      engine_.log.write(1, "zone file name.db written again; memory and file agree\n");
    }
    // Out at once: a quiet listener flushes only every half minute.
    if (!saved || behind) engine_.log.flush();
    behind = !saved;
    for (LocalZone::SaveDone& done : batch) {
      try {
        if (done) done(saved);
      } catch (...) {
        // A waiter that cannot be told (out of memory while sending) is
        // dropped; the others are still told.
      }
    }
    guard.lock();
    ++writes_;
  }
  running_ = false;
}

}  // namespace norvane
