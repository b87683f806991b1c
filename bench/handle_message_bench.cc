// Time per UDP query through norvane::handle_message against local zones of
// 100, 10,000 and 1,000,000 host records. Lookups are indexed, so the time per
// query should stay (nearly) flat as the zone grows; a linear scan would show
// as a time that grows with the argument, since every looked-up host sits near
// the end of the record list.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"
#include "engine/dns_message.h"
#include "engine/engine.h"
#include "engine/query.h"

namespace {

constexpr std::string_view kDomain = "office.lan";
constexpr std::string_view kWildcardOwner = "*.wild.office.lan";
constexpr std::string_view kWildcardHit = "x.wild.office.lan";
constexpr std::string_view kMissingName = "nothere.office.lan";
// Host addresses of the form 10.x.y.z, far from the two fixed addresses below.
constexpr uint32_t kHostBase = 0x0A000000u;
constexpr uint32_t kNameServerAddress = 0xC0A80001u;  // 192.168.0.1
constexpr uint32_t kWildcardAddress = 0xC0A80101u;    // 192.168.1.1

// Host address (host byte order) of host `index`.
uint32_t host_address(int64_t index) { return kHostBase + static_cast<uint32_t>(index) + 1; }

std::string host_name(int64_t index) { return "h" + std::to_string(index) + ".office.lan"; }

// "d.c.b.a.in-addr.arpa" for the address a.b.c.d (given in host byte order).
std::string reverse_name(uint32_t address) {
  return std::to_string(address & 0xFF) + "." + std::to_string((address >> 8) & 0xFF) + "." +
         std::to_string((address >> 16) & 0xFF) + "." + std::to_string(address >> 24) +
         ".in-addr.arpa";
}

// The host that every host query asks for: near the end of the list.
int64_t probe_index(int64_t hosts) { return hosts - 2; }

// Engine with a zone of `hosts` host A records: the wildcard first, then the
// zone's NS and its address, then h0 .. h<hosts-1>. Returns null (and sets
// `error`) when the zone refuses a record.
std::unique_ptr<norvane::Engine> build_engine(int64_t hosts, std::string& error) {
  auto engine = std::make_unique<norvane::Engine>();
  engine->log.set_level(0);
  if (engine->zone.set_zone_soa(kDomain, "ns1", "hostmaster", 1, 3600, 600, 86400, 300) != 1) {
    error = "set_zone_soa refused office.lan";
    return nullptr;
  }
  norvane::LocalZone::Guard lk = engine->zone.hold();
  auto add = [&](uint32_t type, std::string_view owner, uint32_t datum, std::string_view target) {
    if (lk.add_zone_record(0, type, owner, 300, datum, target) == 1) return true;
    error = "add_zone_record refused " + std::string(owner);
    return false;
  };
  if (!add(norvane::kTypeA, kWildcardOwner, htonl(kWildcardAddress), std::string_view{})) {
    return nullptr;
  }
  if (!add(norvane::kTypeNs, kDomain, 0, "ns1.office.lan")) return nullptr;
  if (!add(norvane::kTypeA, "ns1.office.lan", htonl(kNameServerAddress), std::string_view{})) {
    return nullptr;
  }
  std::string owner;
  for (int64_t i = 0; i < hosts; ++i) {
    owner = host_name(i);
    if (!add(norvane::kTypeA, owner, htonl(host_address(i)), std::string_view{})) {
      return nullptr;
    }
  }
  return engine;
}

// One engine per zone size, built on first use (a million records take a few
// seconds) and kept for every later benchmark of that size.
norvane::Engine* engine_for(int64_t hosts, std::string& error) {
  static std::map<int64_t, std::unique_ptr<norvane::Engine>> engines;
  static std::map<int64_t, std::string> failures;
  if (auto found = engines.find(hosts); found != engines.end()) return found->second.get();
  if (auto failed = failures.find(hosts); failed != failures.end()) {
    error = failed->second;
    return nullptr;
  }
  auto engine = build_engine(hosts, error);
  if (!engine) {
    failures.emplace(hosts, error);
    return nullptr;
  }
  return engines.emplace(hosts, std::move(engine)).first->second.get();
}

using norvane::bench::make_query;

struct Expectation {
  uint16_t rcode;
  uint16_t ancount;
};

// Checks one answer outside the timed loop; returns an empty text when it is
// as expected, else what went wrong.
std::string check_reply(int length, const norvane::Reply& reply, const Expectation& expected) {
  if (length <= 0) {
    return "handle_message returned " + std::to_string(length) + " (expected a reply)";
  }
  norvane::DnsHeader header;
  if (!norvane::DnsHeader::read(reply.message, header)) return "reply shorter than a header";
  if (header.id != 0x1234 || (header.flags & norvane::kFlagQr) == 0) {
    return "reply is not a response to the query";
  }
  if (header.rcode() != expected.rcode || header.ancount != expected.ancount) {
    return "rcode " + std::to_string(header.rcode()) + " ancount " +
           std::to_string(header.ancount) + ", expected rcode " + std::to_string(expected.rcode) +
           " ancount " + std::to_string(expected.ancount);
  }
  return {};
}

void run_query(benchmark::State& state, std::string_view name, uint16_t type,
               const Expectation& expected) {
  norvane::Engine* engine = norvane::bench::engine_or_skip(state, engine_for);
  if (engine == nullptr) return;
  norvane::bench::FirstAnswer first(*engine, make_query(name, type));
  if (std::string problem = check_reply(first.length, first.reply, expected); !problem.empty()) {
    problem = std::string(name) + ": " + problem;
    state.SkipWithError(problem.c_str());
    return;
  }

  norvane::bench::time_answers(state, *engine, first.context, first.reply, first.query);
}

// A query for a host near the end of the list.
void BM_HostA(benchmark::State& state) {
  const std::string name = host_name(probe_index(state.range(0)));
  run_query(state, name, norvane::kTypeA, {norvane::kRcodeNoError, 1});
}

// A name that owns nothing but is covered by *.wild.office.lan.
void BM_WildcardA(benchmark::State& state) {
  run_query(state, kWildcardHit, norvane::kTypeA, {norvane::kRcodeNoError, 1});
}

// The reverse name of a host near the end of the list.
void BM_ReversePtr(benchmark::State& state) {
  const std::string name = reverse_name(host_address(probe_index(state.range(0))));
  run_query(state, name, norvane::kTypePtr, {norvane::kRcodeNoError, 1});
}

// A name in the domain that does not exist and that no wildcard covers.
void BM_NxDomain(benchmark::State& state) {
  run_query(state, kMissingName, norvane::kTypeA, {norvane::kRcodeNxDomain, 0});
}

void zone_sizes(benchmark::internal::Benchmark* b) {
  b->Arg(100)->Arg(10000)->Arg(1000000)->Unit(benchmark::kNanosecond);
}

BENCHMARK(BM_HostA)->Apply(zone_sizes);
BENCHMARK(BM_WildcardA)->Apply(zone_sizes);
BENCHMARK(BM_ReversePtr)->Apply(zone_sizes);
BENCHMARK(BM_NxDomain)->Apply(zone_sizes);

}  // namespace

BENCHMARK_MAIN();
