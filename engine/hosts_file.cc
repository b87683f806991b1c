// Hosts file import. See hosts_file.h for the contract; the lock each step
// needs is written beside it.
#include "engine/hosts_file.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "engine/dns_message.h"
#include "engine/text_helpers.h"
#include "engine/unique_fd.h"
#include "engine/zone_file.h"

namespace norvane {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool ends_token(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Reads one physical line of `in` into `line`, without its line end. At most
// kMaxHostsLine characters are kept; a zero byte ends the line's text as it
// would for any C reader of the file. Returns false at end of file when
// nothing was read.
bool read_hosts_line(std::FILE* in, std::string& line) {
  line.clear();
  bool read_any = false;
  bool cut = false;
  for (int c = std::getc(in); c != EOF; c = std::getc(in)) {
    read_any = true;
    if (c == '\n') break;
    if (c == '\0') cut = true;
    if (!cut && line.size() < kMaxHostsLine) line.push_back(static_cast<char>(c));
  }
  return read_any;
}

// The next token of `rest` (cut at a blank, tab, CR or LF), after skipping
// blanks and tabs; empty at the end of the line or at a comment.
std::string_view next_token(std::string_view& rest) {
  while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
  if (rest.empty() || rest.front() == '#') return {};
  size_t end = 0;
  while (end < rest.size() && !ends_token(rest[end])) ++end;
  const std::string_view token = rest.substr(0, end);
  rest.remove_prefix(end);
  return token;
}

// Adds the A records of one line to the staging list; returns how many.
// Takes the database lock for each record.
int import_line(LocalZone& zone, std::string_view line, uint32_t ttl) {
  std::string_view rest = line;
  const std::string_view address_text = next_token(rest);
  if (address_text.empty() || address_text.size() >= kIpv4TextSize) return 0;
  char quad[kIpv4TextSize];
  address_text.copy(quad, address_text.size());
  quad[address_text.size()] = '\0';
  int valid = 0;
  const uint32_t address = parse_ipv4(quad, &valid);
  // 0.0.0.0 is how blocklists say "this name has no address": publishing it
  // would answer with an address nobody can reach.
  if (!valid || address == 0) return 0;
  int added = 0;
  for (std::string_view name = next_token(rest); !name.empty(); name = next_token(rest)) {
    if (zone.add_zone_record(1, kTypeA, name, ttl, address, std::string_view()) != 1) break;
    ++added;
  }
  return added;
}

// Makes the staged records part of the live database. Database lock held.
// An empty live list (the start-up case) simply takes the staging list; any
// records already live stay, and each staged record then joins them under
// the database's own rules. Returns the number of A records that went live.
int publish_staging_locked(LocalZone::Guard& zone, int staged_addresses) {
  if (zone.live().empty()) {
    zone.swap_staging();
    return staged_addresses;
  }
  int added = 0;
  for (const ZoneRecord& record : zone.staging().records()) {
    const int joined = zone.add_zone_record(0, record.type, record.owner, record.ttl, record.datum,
                                            std::string_view(record.target));
    if (joined == 1 && record.type == kTypeA) ++added;
  }
  zone.staging().clear();
  return added;
}

}  // namespace

int hosts_import(Engine& engine, const std::string& hosts_path, std::string_view domain,
                 std::string_view host_name, int enabled) {
  if (enabled == 0) return 0;
  LocalZone& zone = engine.zone;
  try {
    StagingClaim claim(engine);
    if (!claim.held()) return 0;

    // A system without a DNS domain keeps the configured one: an empty
    // domain would make every later zone file unreadable past its SOA line.
    if (!domain.empty() && zone.set_zone_soa(domain, host_name, "Postmaster", 0, 0, 0, 0, 0) == 1) {
      LocalZone::Guard held = zone.hold();
      if (!held.domain().empty() && !held.primary().empty()) {
        const std::string owner = held.domain();
        const std::string primary = held.primary();
        held.add_zone_record(1, kTypeNs, owner, 0, 0, std::string_view(primary));
      }
    }

    uint32_t ttl;
    { ttl = zone.hold().minimum(); }
    int staged_addresses = 0;
    if (FilePointer in{std::fopen(hosts_path.c_str(), "re")}) {
      std::string line;
      while (read_hosts_line(in.get(), line)) staged_addresses += import_line(zone, line, ttl);
    }

    LocalZone::Guard held = zone.hold();
    const int added = publish_staging_locked(held, staged_addresses);
    held.log_database("Loaded hosts:\n");
    held.set_loaded_at(std::time(nullptr));
    return added;
  } catch (...) {
    // Out of memory: the claim frees what was staged; the live list is intact.
    return 0;
  }
}

}  // namespace norvane
