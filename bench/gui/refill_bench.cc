// Timings of the window's record list on Qt's offscreen platform: the
// Database view refilled from 100 / 10,000 / 100,000 records and the Cache
// view from 100,000 entries (snapshot under the lock, model refill and the
// view's repaint), the snapshot alone (how long the lock is held), and the
// one-second tick with the countdown at 0.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTableView>
#include <memory>
#include <mutex>

#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/record_view.h"
#include "gui/language.h"
#include "gui/main_window.h"
#include "gui/record_table_model.h"

namespace norvane {
namespace {

// Hosts hN.office.lan at distinct addresses, built once per size.
Engine& engine_with_records(int64_t count) {
  static std::map<int64_t, std::unique_ptr<Engine>> engines;
  std::unique_ptr<Engine>& engine = engines[count];
  if (engine) return *engine;
  engine = std::make_unique<Engine>();
  LocalZone::Guard guard = engine->zone.hold();
  guard.set_domain("office.lan");
  for (int64_t i = 0; i < count; ++i) {
    const std::string owner = "h" + std::to_string(i) + ".office.lan";
    const uint32_t address = htonl(0x0A000000u + static_cast<uint32_t>(i));
    engine->zone.add_zone_record(0, kTypeA, owner, 3600, address, std::string_view());
  }
  return *engine;
}

Engine& engine_with_cache(int64_t count) {
  static std::unique_ptr<Engine> engine;
  if (engine) return *engine;
  engine = std::make_unique<Engine>();
  engine->settings.cache_entries = static_cast<uint32_t>(count + 1);
  for (int64_t i = 0; i < count; ++i) {
    const std::string name = "c" + std::to_string(i) + ".example.test";
    engine->cache.cache_add(CacheMode::kLearned, kTypeA, name,
                            htonl(0x0B000000u + static_cast<uint32_t>(i)), "", 86400);
  }
  return *engine;
}

// A shown table over a model, as in the window.
struct ListView {
  ListView() {
    view.setModel(&model);
    view.resize(500, 300);
    view.show();
    QApplication::processEvents();
  }
  RecordTableModel model;
  QTableView view;
};

void BM_DatabaseRefill(benchmark::State& state) {
  Engine& engine = engine_with_records(state.range(0));
  ListView list;
  // The first fill inserts; the ticks measured overwrite in place.
  list.model.refill(database_rows(engine.zone), RecordSource::kDatabase, 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        list.model.refill(database_rows(engine.zone), RecordSource::kDatabase, 0));
    list.view.viewport()->repaint();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DatabaseRefill)->Arg(100)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

// The first fill of an empty list (the view switch, the server start).
void BM_DatabaseFirstFill(benchmark::State& state) {
  Engine& engine = engine_with_records(state.range(0));
  for (auto _ : state) {
    ListView list;
    list.model.refill(database_rows(engine.zone), RecordSource::kDatabase, 0);
    list.view.viewport()->repaint();
  }
}
BENCHMARK(BM_DatabaseFirstFill)->Arg(100'000)->Unit(benchmark::kMillisecond);

// The snapshot of the Database view; the counter lock_ms is the part of it
// for which the database lock is held.
void BM_DatabaseSnapshot(benchmark::State& state) {
  Engine& engine = engine_with_records(state.range(0));
  std::chrono::nanoseconds held{0};
  std::chrono::nanoseconds total{0};
  for (auto _ : state) {
    benchmark::DoNotOptimize(database_rows(engine.zone, &held));
    total += held;
  }
  state.counters["lock_ms"] = std::chrono::duration<double, std::milli>(total).count() /
                              static_cast<double>(state.iterations());
}
BENCHMARK(BM_DatabaseSnapshot)->Arg(100'000)->Unit(benchmark::kMillisecond);

void BM_CacheRefill(benchmark::State& state) {
  Engine& engine = engine_with_cache(state.range(0));
  ListView list;
  uint32_t now = engine.cache.now();
  list.model.refill(cache_rows(engine.cache, now), RecordSource::kCache, now);
  for (auto _ : state) {
    // Each tick moves the clock: every remaining lifetime changes.
    ++now;
    benchmark::DoNotOptimize(
        list.model.refill(cache_rows(engine.cache, now), RecordSource::kCache, now));
    list.view.viewport()->repaint();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CacheRefill)->Arg(100'000)->Unit(benchmark::kMillisecond);

// A tick with the countdown at 0 rewrites the bottom status text only.
void BM_IdleTick(benchmark::State& state) {
  Engine& engine = engine_with_records(state.range(0));
  Language language;
  MainWindow window(engine, language, SettingsStore("/nonexistent"), {}, nullptr);
  window.build_menus();
  window.refresh(true);
  window.set_refresh_countdown(0);
  for (auto _ : state) window.on_timer();
}
BENCHMARK(BM_IdleTick)->Arg(100'000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace norvane

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
