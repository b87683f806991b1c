// What the engine benchmarks share: a query and the timed loop over it.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/byte_order.h"
#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/query.h"

namespace norvane::bench {

// A standard query, recursion desired, for `name` / `type` / IN; `name`
// without its trailing dot.
inline std::vector<uint8_t> make_query(std::string_view name, uint16_t type) {
  std::vector<uint8_t> query;
  for (uint16_t word : {0x1234, 0x0100, 1, 0, 0, 0})
    append_u16(query, word);  // id, RD, one question
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string_view::npos) dot = name.size();
    query.push_back(static_cast<uint8_t>(dot - start));
    query.insert(query.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                 name.begin() + static_cast<std::ptrdiff_t>(dot));
    start = dot + 1;
  }
  query.push_back(0);
  append_u16(query, type);
  append_u16(query, kClassIn);
  return query;
}

// The engine `make(state.range(0), error)` builds; null once the benchmark is
// marked skipped with the error.
template <typename Make>
Engine* engine_or_skip(benchmark::State& state, Make make) {
  std::string error;
  Engine* engine = make(state.range(0), error);
  if (engine == nullptr) state.SkipWithError(error.c_str());
  return engine;
}

// One UDP query and the engine's first answer to it, checked before the
// timed loop, which then reuses the context and the reply.
struct FirstAnswer {
  FirstAnswer(Engine& engine, std::vector<uint8_t> message) : query(std::move(message)) {
    length = handle_message(engine, context, reply, kUdpReplyLimit, query);
  }

  std::vector<uint8_t> query;
  RequestContext context;  // UDP: request_length 0
  Reply reply;
  int length = 0;
};

// Answers `request` over UDP once per iteration, reusing `reply` as the
// server's loop does, and reports the zone's size beside the timings.
inline void time_answers(benchmark::State& state, Engine& engine, const RequestContext& context,
                         Reply& reply, std::span<const uint8_t> request) {
  for (auto _ : state) {
    reply.clear();
    const int length = handle_message(engine, context, reply, kUdpReplyLimit, request);
    benchmark::DoNotOptimize(length);
    benchmark::DoNotOptimize(reply.message.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["records"] = static_cast<double>(engine.zone.hold().live().size());
}

}  // namespace norvane::bench
