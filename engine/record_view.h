// One row of the window's record list as a plain value: what a Database or a
// Cache row shows, copied out under the owner's lock so that no row ever
// points at a record that an update, a transfer or a removal may free. Rows
// name their record by handle. Thread-safe: the snapshot functions take the
// locks they need; everything else works on values.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/cache.h"
#include "engine/local_database.h"
#include "engine/record_text.h"

namespace norvane {

using RecordSource = ListingSource;

// A row is the record value every front end shares: the Database view shows
// ZoneRecord::handle and the TTL as `time`, the Cache view CacheEntry::handle
// and the absolute expiry. `next` is not used by the rows.
using RecordView = RecordImage;

// The records of the live list that the list shows (A, NS, CNAME, MX), in list
// order. Holds the database lock only for the copy; `lock_held`, when given,
// receives how long it was held.
std::vector<RecordView> database_rows(LocalZone& zone,
                                      std::chrono::nanoseconds* lock_held = nullptr);
// The live cache entries (expiry not before `now`) of type A, NS, CNAME, MX or
// PTR in most-recently-used order. The cache lock is held only for the copy.
std::vector<RecordView> cache_rows(Cache& cache, uint32_t now);
// The same filter over an already taken copy of the cache.
std::vector<RecordView> cache_rows(const std::vector<CacheEntry>& entries, uint32_t now);

// The four cell texts. Name: the owner and a dot; for a cached PTR the
// reverse name of the address, "<d.c.b.a>.in-addr.arpa.". Type: the
// mnemonic. Resource: A the dotted quad, NS and CNAME the target and a dot,
// MX "<preference>   <exchange>.", PTR the host name and a dot. TTL: the TTL
// in the Database view (empty for 0), the remaining lifetime in the Cache view.
std::string record_name_text(const RecordView& row, RecordSource source);
std::string record_type_text(const RecordView& row);
std::string record_resource_text(const RecordView& row);
std::string record_ttl_text(const RecordView& row, RecordSource source, uint32_t now);

// Compares two rows by a column: 0 the stored names byte by byte as unsigned
// bytes, 1 the type code, 2 the datum as a 32-bit difference (both 0: the
// targets byte by byte), 3 the time field; numbers as unsigned values.
// Negative, 0 or positive.
int compare_records(const RecordView& left, const RecordView& right, int column);

}  // namespace norvane
