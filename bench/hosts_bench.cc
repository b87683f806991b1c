// Time per A query through norvane::handle_message against a database that
// hosts_import built from a 100-line and from a 100,000-line hosts file
// (a blocklist shape: half "0.0.0.0" entries, which are skipped, and half
// hosts with two names each). An imported database is an ordinary one, so
// the time per query should not grow with the file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/hosts_file.h"
#include "engine/query.h"

namespace {

std::string imported_host(int64_t line) { return "host" + std::to_string(line) + ".office.lan"; }

// A hosts file of `lines` lines: even lines blocked, odd lines a host
// 10.x.y.z with a short and a qualified name.
std::string hosts_text(int64_t lines) {
  std::string text;
  for (int64_t i = 0; i < lines; ++i) {
    if (i % 2 == 0) {
      text += "0.0.0.0 ads" + std::to_string(i) + ".example\n";
    } else {
      text += "10." + std::to_string((i >> 16) & 255) + "." + std::to_string((i >> 8) & 255) + "." +
              std::to_string(i & 255) + " host" + std::to_string(i) + " " + imported_host(i) + "\n";
    }
  }
  return text;
}

// The engine imported from a file of `lines` lines, built once per size;
// null with `error` set when the import fails.
norvane::Engine* imported_engine(int64_t lines, std::string& error) {
  static std::map<int64_t, std::unique_ptr<norvane::Engine>> engines;
  if (auto found = engines.find(lines); found != engines.end()) return found->second.get();
  char path[] = "/tmp/norvane-hosts-bench-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) {
    error = "cannot create a temporary hosts file";
    return nullptr;
  }
  const std::string text = hosts_text(lines);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  auto engine = std::make_unique<norvane::Engine>();
  engine->log.set_level(0);
  const int added = written ? norvane::hosts_import(*engine, path, "office.lan", "ns1") : 0;
  ::unlink(path);
  if (added != static_cast<int>(lines / 2 * 2)) {
    error = "hosts_import added " + std::to_string(added) + " records";
    return nullptr;
  }
  return engines.emplace(lines, std::move(engine)).first->second.get();
}

// An A query for the last host of the file, which sits at the end of the list.
void BM_ImportedHostA(benchmark::State& state) {
  norvane::Engine* engine = norvane::bench::engine_or_skip(state, imported_engine);
  if (engine == nullptr) return;
  norvane::bench::FirstAnswer first(
      *engine, norvane::bench::make_query(imported_host(state.range(0) - 1), norvane::kTypeA));
  norvane::DnsHeader header;
  if (first.length <= 0 || !norvane::DnsHeader::read(first.reply.message, header) ||
      header.ancount != 1) {
    state.SkipWithError("the imported host is not answered");
    return;
  }
  norvane::bench::time_answers(state, *engine, first.context, first.reply, first.query);
}

BENCHMARK(BM_ImportedHostA)->Arg(100)->Arg(100000)->Unit(benchmark::kNanosecond);

}  // namespace
