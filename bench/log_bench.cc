// What the transaction log costs per query: one UDP query for a host of a
// 1,000-host zone through norvane::handle_message with Log 0 and with Log 1
// (a query line and an answer line per query, into a real file), answered in
// turns of 64 queries as the listener loop answers a burst, each turn ending
// with the flush the loop does. BM_LoggedQueryEachLine is the same without
// the per-turn Batch: every line takes the log lock, as lines of threads
// outside a serving loop do.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/query.h"

namespace {

constexpr int kHosts = 1000;
constexpr int kQueriesPerTurn = 64;

std::string host_name(int index) { return "h" + std::to_string(index) + ".office.lan"; }

// An engine serving office.lan with kHosts host A records, logging at `level`
// into a file that is removed again when the run ends (the stream stays open).
struct LoggedEngine {
  explicit LoggedEngine(uint32_t level) {
    engine.log.set_level(level);
    engine.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 1, 3600, 600, 86400, 300);
    norvane::LocalZone::Guard zone = engine.zone.hold();
    for (int i = 0; i < kHosts; ++i) {
      zone.add_zone_record(0, norvane::kTypeA, host_name(i), 300,
                           htonl(0x0A000001u + static_cast<uint32_t>(i)), {});
    }
    char path[] = "/tmp/norvane-log-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) {
      file = fdopen(fd, "a+");
      unlink(path);
    }
    if (file != nullptr) {
      std::setvbuf(file, nullptr, _IOFBF, 1 << 16);
      engine.log.set_stream(file);
    }
  }
  ~LoggedEngine() {
    engine.log.set_stream(nullptr);
    if (file != nullptr) std::fclose(file);
  }
  norvane::Engine engine;
  std::FILE* file = nullptr;
};

void run_turns(benchmark::State& state, bool batched) {
  LoggedEngine logged(static_cast<uint32_t>(state.range(0)));
  if (logged.file == nullptr) {
    state.SkipWithError("no scratch file for the log");
    return;
  }
  std::vector<std::vector<uint8_t>> queries;
  for (int i = 0; i < kQueriesPerTurn; ++i)
    queries.push_back(norvane::bench::make_query(host_name(i * 13 % kHosts), norvane::kTypeA));
  norvane::RequestContext context;
  context.client_address.sin_addr.s_addr = htonl(0x7F000001u);
  norvane::Reply reply;
  uint64_t turns = 0;
  for (auto _ : state) {
    {
      std::unique_ptr<norvane::TransactionLog::Batch> lines;
      if (batched) lines = std::make_unique<norvane::TransactionLog::Batch>(logged.engine.log);
      for (const std::vector<uint8_t>& query : queries) {
        reply.clear();
        const int length = norvane::handle_message(logged.engine, context, reply,
                                                   norvane::kUdpReplyLimit, std::span(query));
        benchmark::DoNotOptimize(length);
      }
      logged.engine.log.flush();
    }
    // The file would grow by gigabytes over a long run; its size does not
    // change what a write costs. About 25 MB between cuts.
    if (++turns % 4096 == 0 && ftruncate(fileno(logged.file), 0) != 0)
      state.SkipWithError("cannot truncate the log");
  }
  state.SetItemsProcessed(state.iterations() * kQueriesPerTurn);
}

// Argument: the log level (0 or 1).
void BM_LoggedQuery(benchmark::State& state) { run_turns(state, true); }
void BM_LoggedQueryEachLine(benchmark::State& state) { run_turns(state, false); }

BENCHMARK(BM_LoggedQuery)->Arg(0)->Arg(1);
BENCHMARK(BM_LoggedQueryEachLine)->Arg(1);

}  // namespace
