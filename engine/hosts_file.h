// Import of the system hosts file into the local database: the fallback that a
// server started without a usable zone file serves. Thread-safe: the import
// claims the staging list and takes the database lock for each step.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace norvane {

// Longest hosts file line that is taken apart; the rest of a longer line is
// dropped rather than read as a line of its own, where the tail of a comment
// could otherwise pass for an address and names.
inline constexpr size_t kMaxHostsLine = 4096;

// Sets up the local domain from the computer's own configuration and adds an A
// record for every name of every usable line of the hosts file at
// `hosts_path` ("address name [name ...]", "#" starts a comment).
//
// With a non-empty `domain`, the SOA becomes `domain`, the primary `host_name`
// (qualified with the domain when it has no dot), the mailbox "Postmaster."
// and the primary, all in the case given, the numbers unchanged; and the NS
// record domain -> primary is added. An empty `domain` keeps the configured
// domain and adds no NS.
// Lines whose first token is not a whole dotted quad or is 0.0.0.0 (the
// blocking entries of blocklists) are skipped; names are taken as they stand,
// lowered and without a trailing dot, with the zone's minimum as TTL; the
// first name the database refuses (a duplicate, a name beside a CNAME, an
// invalid name) ends its line. The records are built in the staging list and
// then join the live list in one step under the database lock.
//
// Returns the number of A records added: 0 when `enabled` is 0 (nothing
// changes), when another load holds the staging list (nothing changes) or
// when the hosts file cannot be opened (the SOA and the NS record are still
// set). Lists the database under "Loaded hosts:" at log level 2 and sets
// loaded_at whenever the import ran.
int hosts_import(Engine& engine, const std::string& hosts_path, std::string_view domain,
                 std::string_view host_name, int enabled = 1);

}  // namespace norvane
