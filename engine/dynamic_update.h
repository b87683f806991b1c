// Dynamic update (RFC 2136) of the local domain: add A, CNAME and MX records,
// delete a name's records, an RRset or one record. Thread-safe: one message is
// checked and applied under the database lock; the zone file is written after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/engine.h"
#include "engine/local_database.h"
#include "engine/query.h"

namespace norvane {

// Response codes of an update (RFC 2136 section 2.2), beside those of
// dns_message.h.
inline constexpr uint16_t kRcodeYxDomain = 6;
inline constexpr uint16_t kRcodeYxRrset = 7;
inline constexpr uint16_t kRcodeNxRrset = 8;
inline constexpr uint16_t kRcodeNotAuth = 9;
inline constexpr uint16_t kRcodeNotZone = 10;

// The classes that carry meaning in update messages (RFC 2136 section 2.4).
inline constexpr uint16_t kClassNone = 254;
inline constexpr uint16_t kClassAny = 255;

// Processes one update message (the opcode and the update right are checked
// by the caller) and builds its reply into reply.message: the whole request
// echoed, flags as error_reply sets them, the result as RCODE, counted under
// answers (NOERROR) or errors. Every check runs before the first change, so a
// refused message leaves the database as it was. An accepted message with
// update records raises the SOA serial by one (and by one more for each single
// record or CNAME it replaced) and rewrites the zone file; when that write
// fails the changes stay in memory and the reply is SERVFAIL. With a zone
// writer installed (LocalZone::saves_queued) the file is not written here:
// the reply is built as NOERROR and reply.awaits_save set, and the caller
// sends it once a save requested after this call has finished (SERVFAIL when
// that save failed). Takes the database lock; returns the reply length.
int update_apply(Engine& engine, const RequestContext& context, Reply& reply,
                 std::span<const uint8_t> request);

// Settles a reply that waited for its save (Reply::awaits_save): unchanged
// when `saved`; otherwise its RCODE becomes SERVFAIL (RFC 2136 section 3.5:
// success is reported only for a change on stable storage), the failure is
// logged and counted as an error. The changes stay in force in memory; the
// writer writes them with its next successful save.
void settle_update_reply(Engine& engine, std::span<uint8_t> reply, bool saved);

// The first live record owned by `name` (lower case, no trailing dot) of
// `type` whose value equals the RDATA of `rdata_length` bytes at
// `rdata_position` in `message`: A the four address bytes; NS and CNAME the
// name; MX the preference and the exchange behind it. Names in the RDATA may
// be compressed. Null for any other type, for RDATA that does not read as a
// value of its type within its length, and when no record matches.
// Database lock held.
std::optional<ZoneRecord> find_exact_record(const LocalZone::Guard& zone, std::string_view name,
                                            uint32_t type, std::span<const uint8_t> message,
                                            size_t rdata_position, size_t rdata_length);

// Removes every live record owned by `name` except its NS records. Changes
// neither the serial nor the zone file. Database lock held; returns the
// number of records removed.
int delete_name_records(LocalZone::Guard& zone, std::string_view name);

}  // namespace norvane
