// The eleven query counters of the process. Thread-safe: every counter is an
// atomic that only grows; readers take a snapshot.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace norvane {

struct QueryStatistics {
  std::atomic<uint32_t> a_queries{0};
  std::atomic<uint32_t> ns_queries{0};
  std::atomic<uint32_t> cname_queries{0};
  std::atomic<uint32_t> mx_queries{0};
  std::atomic<uint32_t> zone_transfers{0};
  std::atomic<uint32_t> ptr_queries{0};
  std::atomic<uint32_t> queries{0};
  std::atomic<uint32_t> answers{0};
  std::atomic<uint32_t> forwarded{0};
  std::atomic<uint32_t> updates{0};
  std::atomic<uint32_t> errors{0};

  static void count(std::atomic<uint32_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
  }

  // The counters in their fixed order (the order the control channel sends).
  std::array<uint32_t, 11> snapshot() const {
    return {a_queries.load(),      ns_queries.load(),  cname_queries.load(), mx_queries.load(),
            zone_transfers.load(), ptr_queries.load(), queries.load(),       answers.load(),
            forwarded.load(),      updates.load(),     errors.load()};
  }
};

}  // namespace norvane
