// The cache of records learned from external name servers, and the writers
// that answer queries from it. Thread-safe: every operation takes the cache
// lock itself; callers may hold the database lock (lock order: database,
// cache, log).
#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>

#include "engine/log.h"
#include "engine/record_writer.h"
#include "engine/server_settings.h"

namespace norvane {

class Cache {
 public:
  Cache(const ServerSettings& settings, TransactionLog& log) : settings_(settings), log_(log) {}
  Cache(const Cache&) = delete;
  Cache& operator=(const Cache&) = delete;

  // Each writer appends answer records for `name` (lower case, no trailing
  // dot) to `sink` under its limit and returns the number of records kept;
  // the sink's position moves exactly past the kept records.
  uint16_t cache_answer_a(std::string_view name, Sink& sink);
  uint16_t cache_answer_ns(std::string_view name, Sink& sink);
  uint16_t cache_answer_cname(std::string_view name, Sink& sink, bool require_address);
  uint16_t cache_answer_ptr(std::string_view name, Sink& sink);
  uint16_t cache_answer_mx(std::string_view name, Sink& sink);

 private:
  [[maybe_unused]] const ServerSettings& settings_;
  [[maybe_unused]] TransactionLog& log_;
  std::mutex lock_;
};

}  // namespace norvane
