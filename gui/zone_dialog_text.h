// The texts the Local Domain and Add Entry dialogs read and show, as plain
// functions over standard strings so that the rules hold without a window:
// name qualification, the mailbox in its shown and stored forms, unsigned
// numbers as the operator types them and the load-time label.
// Thread-safe (no state), except load_time_text, which reads the C locale.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// The longest name a dialog field takes, as the text buffers hold it.
inline constexpr size_t kEnteredNameSize = 255;

// The fully qualified form of an entered name: a name ending with "." loses
// that dot; otherwise it is placed under `domain` (an empty name becomes the
// domain itself). Nothing when it is relative and the domain is empty, or
// when the qualified name would have 256 characters or more.
std::optional<std::string> qualify_entered_name(std::string_view name, std::string_view domain);

// The stored SOA mailbox as the operator sees it: without an "@", its first
// "." is shown as "@" ("hostmaster.office.lan" -> "hostmaster@office.lan");
// a mailbox that already holds an "@" or has no dot is shown unchanged.
std::string mailbox_shown(std::string_view stored);

// The entered mailbox in its stored SOA form (RFC 1035 section 3.3.13: the
// first label is the local part): one trailing "." dropped, the first "@"
// made a ".". Nothing when there is no "@", or it is the first or the last
// character.
std::optional<std::string> mailbox_stored(std::string_view entered);

// The unsigned decimal number at the start of `text` (leading blanks
// skipped, digits read up to the first other character, so "10.5" gives
// 10). Nothing when no digit comes first or the number does not fit 32 bits.
std::optional<uint32_t> leading_unsigned(std::string_view text);

// The label of the time the database was loaded: on a secondary that has
// transferred the zone, `refreshed_at` as "%x %H:%M:%S (server)"; otherwise
// `loaded_at` as "%x %H:%M:%S (db)". Local time; "%x" follows LC_TIME.
std::string load_time_text(bool secondary, std::time_t loaded_at, std::time_t refreshed_at);

}  // namespace norvane
