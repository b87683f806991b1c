// The zone file "name.db": the local database as a small master-file subset,
// read at start-up and on reload, rewritten whole after every change.
// Thread-safety: every function may be called from any thread; each takes the
// locks it needs (see the individual contracts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "engine/engine.h"
#include "engine/non_copyable.h"
#include "engine/zone_copy.h"

namespace norvane {

inline constexpr const char* kZoneFileName = "name.db";

// Longest logical line the reader builds. Any line the writer produces fits:
// two names of 255 characters, each doubled by escapes, plus the fixed
// columns stay below 1,100. A longer hand-written line is cut here and the rest
// of it is read as the next logical line, so a hostile file cannot make the
// reader grow without bound.
inline constexpr size_t kMaxLogicalLine = 2048;

// Reads one logical line from `in` into `line`. ";" starts a comment to the end
// of the physical line; "(" and ")" open and close a group, inside which a line
// end counts as a blank and ends a comment; a CR is dropped. Every run of
// blanks, tabs, parentheses and comments before a token becomes one blank, so
// tokens are separated by single blanks and a line that begins with a
// separator begins with one blank; trailing separators leave nothing.
// A "\" takes the next character literally: the pair is kept in `line` as it
// stands ("\;", "\ ") and belongs to the token around it, so that an escaped
// blank or "@" stays distinguishable from a separator or the origin marker
// when the line is taken apart. At most kMaxLogicalLine characters are
// stored; reading stops before a token character that would not fit.
// Returns false at end of file when nothing was read, true otherwise (also for
// an empty line or a last line without a line end). No other thread may read
// `in` meanwhile: it is read without the stream's lock.
bool read_logical_line(std::FILE* in, std::string& line);

// What read_zone_line keeps between calls.
struct ZoneLineState {
  // The owner in force. read_zone_line stores a line's owner token as written
  // (escapes kept); the caller usually replaces it with the qualified name,
  // which lines that omit the owner then take over unchanged.
  std::string owner;
  // The TTL in force: set by a TTL column and kept for the following lines.
  uint32_t ttl = 0;
  // True when the last line returned omitted its owner (began with a blank).
  bool carried = false;
  // read_zone_line's line buffer, kept so that a line does not allocate.
  std::string line;
};

// Reads logical lines until one yields a record or a directive. The owner is
// the first token unless the line begins with a blank (then `state.owner`
// stays); a line whose owner token exceeds 255 characters, or with nothing
// behind the owner, is skipped. When the first line read in this call begins
// with "$", `directive` is set, `state.owner` is its first token and `rest` the
// text behind that token and its blank. Otherwise an "IN" token (any case)
// directly behind the owner is dropped, then an all-digit token becomes the
// TTL in force (the line is skipped when nothing follows it or it exceeds 32
// bits), and `rest` is the text that remains: type and data, escapes kept.
// A skipped line changes nothing in `state`. Returns false at end of file.
bool read_zone_line(std::FILE* in, ZoneLineState& state, std::string& rest, bool& directive);

// Exclusive use of an engine's staging list for one whole-zone load. Held when
// the staging list was empty and no other claim was held; released (and any
// records left in the staging list freed) by the destructor. A "staging list
// not empty" test alone lets two loads that have not added a record yet both
// start, so every loader takes this claim instead. Takes the database lock.
class StagingClaim : NonCopyable {
 public:
  explicit StagingClaim(Engine& engine);
  ~StagingClaim();

  bool held() const { return held_; }

 private:
  Engine& engine_;
  bool held_ = false;
};

// Reads name.db from the data directory into the staging list and makes it the
// live database, then logs it ("Loaded database:") and sets loaded_at.
// take_soa 1 (start-up): the SOA line sets the SOA fields and only records
// behind it count; take_soa 0 (reload): SOA lines are ignored. A refused
// record, a second SOA (take_soa 1) or an SOA with an empty domain ends the
// reading; what was read until then becomes the database.
// Returns the number of records loaded; 0 with the database unchanged when the
// file cannot be opened or read or another load holds the staging list.
// The file is read without the database lock (each addition takes it); the
// swap takes it. Callers may hold it around the whole load.
int zone_load(Engine& engine, int take_soa);

// Rewrites name.db from the live database: a temporary file in the data
// directory, flushed to disk, renamed over the old file. Takes the database
// lock only to copy the zone (ZoneCopy); formats and writes without it.
// With `new_settings`, their domain, primary, mailbox and numbers replace the
// SOA fields and the domain's records move into the new domain (names written
// relative to the old domain are read back under the new one). The database
// lock is then held throughout, and nothing changes unless every record reads
// back and the file is written.
// Returns 1 when the file was written; 0 when any step failed (the old file is
// left whole and the temporary removed) or the new settings were refused.
int zone_save(Engine& engine, const ZoneSoa* new_settings = nullptr);

// Makes removals through the database save the zone file.
void install_zone_save_hook(Engine& engine);

}  // namespace norvane
