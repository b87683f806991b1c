// The zone file "name.db": reader, loader and atomic writer. See zone_file.h
// for the contracts; the lock each step needs is written beside it.
#include "engine/zone_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>

#include "engine/atomic_file.h"
#include "engine/dns_message.h"
#include "engine/names.h"
#include "engine/text_helpers.h"
#include "engine/unique_fd.h"

namespace norvane {
namespace {

// ---- taking logical lines apart ---------------------------------------------
// Logical lines hold tokens separated by single blanks, with escape pairs
// ("\x") kept; these helpers never split a pair.

// The token at the start of `text`; `text` moves past it and the blank behind it.
std::string_view take_token(std::string_view& text) {
  size_t end = 0;
  while (end < text.size() && text[end] != ' ') end += text[end] == '\\' ? 2 : 1;
  if (end > text.size()) end = text.size();
  const std::string_view token = text.substr(0, end);
  text.remove_prefix(end < text.size() ? end + 1 : end);
  return token;
}

// `raw` with its escape pairs resolved, into `text` (replaced).
void unescape_into(std::string_view raw, std::string& text) {
  text.clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
    text += raw[i];
  }
}

std::string unescape(std::string_view raw) {
  std::string text;
  text.reserve(raw.size());
  unescape_into(raw, text);
  return text;
}

size_t unescaped_length(std::string_view raw) {
  size_t length = 0;
  for (size_t i = 0; i < raw.size(); ++i, ++length)
    if (raw[i] == '\\') ++i;
  return length;
}

bool all_digits(std::string_view token) {
  if (token.empty()) return false;
  for (char c : token)
    if (c < '0' || c > '9') return false;
  return true;
}

// A decimal number of at most `limit`; false for anything else.
bool parse_unsigned(std::string_view token, uint32_t& value, uint32_t limit = UINT32_MAX) {
  if (!all_digits(token)) return false;
  uint64_t number = 0;
  for (char c : token) {
    number = number * 10 + static_cast<uint64_t>(c - '0');
    if (number > limit) return false;
  }
  value = static_cast<uint32_t>(number);
  return true;
}

// A name as written in the file made absolute: "@" is the origin, a final "."
// marks an absolute name, anything else is relative to the origin. Owners are
// always relative to the origin (none when there is no origin); a target with
// no origin stays as written. Names that cannot be stored (empty, over 255
// characters, still ending in ".") give none, and the caller skips the line:
// one unusable name must not end the load of everything behind it.
// The name goes into `name`, a buffer the caller reuses from line to line;
// returns false when there is none (`name` then holds anything).
bool qualify(std::string_view raw, const std::string& origin, bool relative_needs_origin,
             std::string& name) {
  if (raw == "@") {
    // The writer puts "@" wherever a name equals the domain, targets included.
    name = origin;
  } else {
    unescape_into(raw, name);
    if (!strip_trailing_dot(name) && (relative_needs_origin || !origin.empty()) &&
        !append_domain(name, origin))
      return false;
  }
  return !name.empty() && name.size() <= kMaxNameLength && name.back() != '.';
}

// ---- writing ----------------------------------------------------------------

// Bytes the reader would take as separators, escapes, comments or the origin
// marker. Names may hold any byte (dynamic update brings them from the wire), so
// each of these is escaped; an unescaped line end in a name would otherwise
// start a line of the writer's choosing.
bool needs_escape(char c) {
  switch (c) {
    case ' ':
    case '\t':
    case '\r':
    case '\n':
    case ';':
    case '(':
    case ')':
    case '\\':
    case '@':
      return true;
    default:
      return false;
  }
}

void append_name_text(std::string& out, std::string_view name) {
  for (size_t i = 0; i < name.size(); ++i) {
    // A leading "$" would make the line a directive.
    if (needs_escape(name[i]) || (i == 0 && name[i] == '$')) out += '\\';
    out += name[i];
  }
}

// `name` relative to `domain`: "@ " for the domain itself, the part in front of
// ".domain" for names below it, else the absolute name with its final ".".
void append_relative_name(std::string& out, std::string_view name, std::string_view domain) {
  if (!domain.empty()) {
    if (names_equal(name, domain)) {
      out += "@ ";
      return;
    }
    if (name.size() > domain.size() + 1 && name[name.size() - domain.size() - 1] == '.' &&
        names_equal(name.substr(name.size() - domain.size()), domain)) {
      append_name_text(out, name.substr(0, name.size() - domain.size() - 1));
      return;
    }
  }
  append_name_text(out, name);
  out += '.';
}

// One record as the file states it.
struct RecordText {
  uint32_t ttl, datum, type;
  std::string_view owner, target;
};

std::vector<RecordText> texts_of(const ZoneCopy& copy) {
  std::vector<RecordText> texts;
  texts.reserve(copy.size());
  for (const ZoneRecord& r : copy.records())
    texts.push_back({r.ttl, r.datum, r.type, r.owner, r.target});
  return texts;
}

// The whole file for `records`, in their order: names relative to
// `relative_to` (the zone's domain when they were copied) under an
// "$ORIGIN" of `soa.domain`. Needs no lock.
std::string format_zone(const std::vector<RecordText>& records, const ZoneSoa& soa,
                        std::string_view relative_to) {
  std::string out;
  out.reserve(128 + records.size() * 40);
  out += "$ORIGIN ";
  append_name_text(out, soa.domain);
  out += ".\n@\tSOA\t";
  append_name_text(out, soa.primary);
  out += ".\t";
  append_name_text(out, soa.mailbox);
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, ". %u %u %u %u %u\n", soa.serial, soa.refresh, soa.retry,
                soa.expire, soa.minimum);
  out += numbers;

  // A TTL read stays in force for the lines behind it, so a record with the
  // minimum that follows one with another TTL must restate the minimum.
  bool previous_differed = false;
  char address[kIpv4TextSize];
  auto write_record = [&](const RecordText& r) {
    append_relative_name(out, r.owner, relative_to);
    out += '\t';
    if (r.ttl != soa.minimum) {
      out += std::to_string(r.ttl);
      out += '\t';
      previous_differed = true;
    } else if (previous_differed) {
      out += std::to_string(soa.minimum);
      out += '\t';
      previous_differed = false;
    }
    switch (r.type) {
      case kTypeNs:
        out += "NS\t";
        append_relative_name(out, r.target, relative_to);
        break;
      case kTypeA:
        out += "A\t";
        out += format_ipv4(r.datum, address);
        break;
      case kTypeCname:
        out += "CNAME\t";
        append_relative_name(out, r.target, relative_to);
        break;
      case kTypeMx:
        out += "MX\t";
        out += std::to_string(r.datum);
        out += '\t';
        append_relative_name(out, r.target, relative_to);
        break;
      default:
        break;
    }
    out += '\n';
  };
  for (const RecordText& r : records)
    if (r.type == kTypeNs) write_record(r);
  for (const RecordText& r : records)
    if (r.type == kTypeA || r.type == kTypeCname || r.type == kTypeMx) write_record(r);
  return out;
}

// ---- atomic replacement -----------------------------------------------------

// Saves may run in several threads at once (a removal, an update, the control
// pipe). Each formats its snapshot under the database lock and draws a
// generation there, so generations follow the order of the snapshots. Renames
// of one path are serialised, and a snapshot older than the file already in
// place is not renamed over it: the newer file holds its changes too.

// Writes `text` to a temporary in `directory`, flushes it to disk and renames
// it over `path`. On any failure the temporary is removed and `path` is left as
// it was. Takes the zone's save lock (never the database lock).
bool publish(LocalZone& zone, const std::string& directory, const std::string& path,
             const std::string& text, uint64_t generation) {
  std::lock_guard<std::mutex> guard(zone.save_lock);
  if (generation < zone.published_save_generation) return true;

  if (!replace_file_atomically(directory, path, text, 0644, true)) return false;
  zone.published_save_generation = generation;
  return true;
}

// ---- loading ----------------------------------------------------------------

// Builds the staging list's remaining indexes when the load ends, however it
// ends.
class BulkLoad : NonCopyable {
 public:
  BulkLoad(LocalZone& zone, size_t expected) : zone_(zone) {
    zone_.hold().staging().start_bulk_load(expected);
  }
  ~BulkLoad() { zone_.hold().staging().finish_bulk_load(); }

 private:
  LocalZone& zone_;
};

// Reads every line of `in` into the staging list, which the caller has
// claimed; `expected` is about how many records the file holds. Returns the
// number of records added, or -1 when reading failed (then the staging list
// holds a partial zone the caller must not make live).
int read_into_staging(Engine& engine, std::FILE* in, int take_soa, uint32_t initial_ttl,
                      size_t expected) {
  LocalZone& zone = engine.zone;
  BulkLoad bulk(zone, expected);
  ZoneLineState state;
  state.ttl = initial_ttl;
  std::string origin;
  std::string rest;
  // Buffers reused from line to line, so that a line does not allocate.
  std::string owner_name;
  std::string target;
  bool directive = false;
  bool soa_seen = false;
  bool ttl_set = false;
  // Whether `state.owner` holds a qualified record owner for lines that omit
  // theirs. After a directive or an owner that could not be qualified there is
  // none: such lines are skipped rather than filed under a wrong name.
  bool owner_usable = false;
  int count = 0;

  while (read_zone_line(in, state, rest, directive)) {
    std::string_view data = rest;
    if (state.carried) {
      if (!owner_usable) continue;
    } else if (state.owner == "$ORIGIN") {
      owner_usable = false;
      origin = unescape(take_token(data));
      strip_trailing_dot(origin);
      continue;
    } else if (state.owner == "$TTL") {
      owner_usable = false;
      uint32_t ttl;
      if (parse_unsigned(take_token(data), ttl)) {
        state.ttl = ttl;
        ttl_set = true;
      }
      continue;
    } else {
      owner_usable = qualify(state.owner, origin, true, owner_name);
      if (!owner_usable) continue;
      state.owner.swap(owner_name);
    }

    const std::string_view type = take_token(data);
    if (type.empty() || data.empty()) continue;

    if (names_equal(type, "SOA")) {
      if (!take_soa) continue;
      if (soa_seen) break;
      const std::string_view server_token = take_token(data);
      const std::string_view mailbox_token = take_token(data);
      std::string server = unescape(server_token);
      std::string mailbox = unescape(mailbox_token);
      strip_trailing_dot(server);
      strip_trailing_dot(mailbox);
      // "hostmaster@ns1.example" in the server column names both.
      for (size_t i = 0; i < server_token.size(); ++i) {
        if (server_token[i] == '\\') {
          ++i;
        } else if (server_token[i] == '@') {
          mailbox = server;
          server = unescape(server_token.substr(i + 1));
          strip_trailing_dot(server);
          break;
        }
      }
      uint32_t numbers[5] = {};
      for (uint32_t& number : numbers) {
        if (!parse_unsigned(take_token(data), number)) {
          std::fill(std::begin(numbers), std::end(numbers), 0u);
          break;
        }
      }
      if (!zone.set_zone_soa(state.owner, server, mailbox, numbers[0], numbers[1], numbers[2],
                             numbers[3], numbers[4]))
        break;
      if (!ttl_set) state.ttl = numbers[4];
      soa_seen = ttl_set = true;
      continue;
    }
    if (take_soa && !soa_seen) continue;

    uint32_t record_type;
    uint32_t datum = 0;
    bool target_usable = true;
    target.clear();
    if (names_equal(type, "A")) {
      const std::string quad(data);
      int valid = 0;
      datum = parse_ipv4(quad.c_str(), &valid);
      // 0.0.0.0 is an address like any other (blocklists publish it); the
      // writer saves it, so the reader must take it back.
      if (!valid) continue;
      record_type = kTypeA;
    } else if (names_equal(type, "NS") || names_equal(type, "CNAME")) {
      record_type = names_equal(type, "NS") ? kTypeNs : kTypeCname;
      target_usable = qualify(data, origin, false, target);
    } else if (names_equal(type, "MX")) {
      record_type = kTypeMx;
      // The preference travels as 16 bits; a larger one cannot be answered.
      if (!parse_unsigned(take_token(data), datum, 65535) || data.empty()) continue;
      target_usable = qualify(data, origin, false, target);
    } else {
      continue;
    }
    if (!target_usable) continue;
    if (!zone.add_zone_record(1, record_type, state.owner, state.ttl, datum,
                              std::string_view(target)))
      break;
    ++count;
  }
  return std::ferror(in) ? -1 : count;
}

// Makes the claimed staging list live, logs it and stamps the load time.
void make_staging_live(Engine& engine) {
  LocalZone::Guard zone = engine.zone.hold();
  zone.swap_staging();
  zone.log_database("Loaded database:\n");
  zone.set_loaded_at(std::time(nullptr));
}

// Bytes a zone file holds per record, about: a name of one label in the
// domain, a type and an address. Sizes the owner index before a load, so that
// it is not rebuilt as it grows; a wrong guess costs only that.
constexpr size_t kBytesPerRecord = 24;
constexpr size_t kMaxExpectedRecords = 1 << 20;
constexpr size_t kZoneReadBlock = 1 << 20;

size_t expected_records(std::FILE* in) {
  struct stat status;
  if (::fstat(::fileno(in), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
  // A file of mostly comments must not size the index for millions of names.
  return std::min(static_cast<size_t>(status.st_size) / kBytesPerRecord, kMaxExpectedRecords);
}

std::string zone_path(const std::string& directory) { return join_path(directory, kZoneFileName); }

// The rename (or plain SOA change) of zone_save. The file is formatted with the
// new SOA and read back from memory before anything changes: a record that
// would not survive the move (a name over 255 characters in the new domain, a
// clash with a record already there) refuses the whole change instead of being
// dropped from the database and then from the file. The database lock is held
// throughout so that no change slips in between the formatting and the swap.
int save_with_settings(Engine& engine, const std::string& directory, const ZoneSoa& settings) {
  LocalZone::Guard zone = engine.zone.hold();
  ZoneSoa soa = settings;
  // The names keep the case they were given in: they are shown and saved as
  // written, and every test against them ignores case.
  for (std::string* name : {&soa.domain, &soa.primary, &soa.mailbox}) strip_trailing_dot(*name);
  // Without a domain every relative name would be dropped on the reload.
  if (soa.domain.empty() || !valid_text_name(soa.domain)) return 0;
  if (soa.primary.empty() || !valid_text_name(soa.primary)) soa.primary = zone.primary();
  if (soa.mailbox.empty() || !valid_text_name(soa.mailbox)) soa.mailbox = zone.mailbox();

  std::string text = format_zone(texts_of(ZoneCopy::capture(zone)), soa, zone.domain());
  const uint64_t generation = zone.take_save_generation();
  StagingClaim claim(engine);
  if (!claim.held()) return 0;
  FilePointer memory(::fmemopen(text.data(), text.size(), "r"));
  if (!memory) return 0;
  const int count = read_into_staging(engine, memory.get(), 0, soa.minimum, zone.live().size());
  if (count < 0 || static_cast<size_t>(count) != zone.live().size()) return 0;
  if (!publish(engine.zone, directory, zone_path(directory), text, generation)) return 0;

  zone.set_domain(soa.domain);
  zone.set_primary(soa.primary);
  zone.set_mailbox(soa.mailbox);
  zone.set_serial(soa.serial);
  zone.set_refresh(soa.refresh);
  zone.set_retry(soa.retry);
  zone.set_expire(soa.expire);
  zone.set_minimum(soa.minimum);
  make_staging_live(engine);
  return 1;
}

// Saves a copy of the zone taken under the database lock, which costs a few
// pointer copies whatever the zone's size; the copy is formatted and written
// without the lock, so a save of a large zone does not hold up queries.
bool save_copy(Engine& engine, const std::string& directory) {
  LocalZone& database = engine.zone;
  std::optional<ZoneCopy> copy;
  uint64_t generation;
  {
    LocalZone::Guard zone = database.hold();
    copy = ZoneCopy::capture(zone);
    generation = zone.take_save_generation();
  }
  const std::string text = format_zone(texts_of(*copy), copy->soa(), copy->soa().domain);
  return publish(database, directory, zone_path(directory), text, generation);
}

}  // namespace

// ---- public interface -------------------------------------------------------

bool read_logical_line(std::FILE* in, std::string& line) {
  line.clear();
  bool read_any = false;
  bool in_comment = false;
  bool blank_pending = false;
  size_t group_depth = 0;
  for (;;) {
    const int c = getc_unlocked(in);
    if (c == EOF) return read_any;
    read_any = true;
    if (c == '\n') {
      if (group_depth == 0) return true;
      in_comment = false;
      blank_pending = true;
      continue;
    }
    if (c == '\r' || in_comment) continue;
    switch (c) {
      case ';':
        in_comment = true;
        blank_pending = true;
        continue;
      case '(':
        ++group_depth;
        blank_pending = true;
        continue;
      case ')':
        if (group_depth > 0) --group_depth;
        blank_pending = true;
        continue;
      case ' ':
      case '\t':
        blank_pending = true;
        continue;
      default:
        break;
    }
    // The separating blank and the character (with its escape) go in together
    // or not at all, so a cut never splits an escape pair or leaves a blank
    // that belongs to the next line.
    const size_t needed = (blank_pending ? 1 : 0) + (c == '\\' ? 2 : 1);
    if (line.size() + needed > kMaxLogicalLine) {
      std::ungetc(c, in);
      return true;
    }
    if (blank_pending) line += ' ';
    blank_pending = false;
    line += static_cast<char>(c);
    if (c == '\\') {
      const int escaped = getc_unlocked(in);
      if (escaped == EOF) {
        line.pop_back();
        return true;
      }
      line += static_cast<char>(escaped);
    }
  }
}

bool read_zone_line(std::FILE* in, ZoneLineState& state, std::string& rest, bool& directive) {
  directive = false;
  std::string& line = state.line;
  for (bool first = true;; first = false) {
    if (!read_logical_line(in, line)) return false;
    std::string_view text = line;
    const bool carried = !text.empty() && text.front() == ' ';
    std::string_view owner;
    if (carried) {
      text.remove_prefix(1);
    } else {
      owner = take_token(text);
      if (unescaped_length(owner) > kMaxNameLength) continue;
      // Only the first line of a call: a "$" line behind a skipped line is
      // taken apart as a record line.
      if (first && !owner.empty() && owner.front() == '$') {
        state.owner.assign(owner);
        state.carried = false;
        rest.assign(text);
        directive = true;
        return true;
      }
    }
    if (text.empty()) continue;

    std::string_view probe = text;
    if (names_equal(take_token(probe), "IN")) {
      text = probe;
      if (text.empty()) continue;
    }
    uint32_t ttl = state.ttl;
    probe = text;
    const std::string_view ttl_token = take_token(probe);
    if (all_digits(ttl_token)) {
      if (probe.empty() || !parse_unsigned(ttl_token, ttl)) continue;
      text = probe;
    }
    if (!carried) state.owner.assign(owner);
    state.carried = carried;
    state.ttl = ttl;
    rest.assign(text);
    return true;
  }
}

StagingClaim::StagingClaim(Engine& engine) : engine_(engine) {
  LocalZone::Guard zone = engine_.zone.hold();
  if (!zone.staging().empty() || zone.staging_claimed()) return;
  zone.set_staging_claimed(true);
  held_ = true;
}

StagingClaim::~StagingClaim() {
  if (!held_) return;
  // An abandoned load (read error, refused rename, exception, a transfer
  // past its bounds) leaves its records behind; the next load must find the
  // list empty. The list is exchanged for a new one rather than cleared: a
  // cleared list keeps the bucket arrays of its indexes, sized for the
  // largest zone it ever held. The records are freed after the lock is
  // released, so that queries are not held up by the freeing of a large list.
  RecordList abandoned;
  {
    LocalZone::Guard zone = engine_.zone.hold();
    std::swap(abandoned, zone.staging());
    zone.set_staging_claimed(false);
  }
}

// The load claims the staging list rather than holding the database lock for
// the whole read: queries keep being answered from the live list while a large
// file is read, and the claim alone keeps a second load out.
int zone_load(Engine& engine, int take_soa) {
  try {
    const std::string path = zone_path(*engine.settings.data_directory.get());
    FilePointer in(std::fopen(path.c_str(), "re"));
    if (!in) return 0;
    // Large blocks: a zone of 100,000 names is read in a few system calls.
    std::setvbuf(in.get(), nullptr, _IOFBF, kZoneReadBlock);
    StagingClaim claim(engine);
    if (!claim.held()) return 0;
    uint32_t minimum;
    { minimum = engine.zone.hold().minimum(); }
    const int count =
        read_into_staging(engine, in.get(), take_soa, minimum, expected_records(in.get()));
    // A file that could not be read to its end (an I/O error, a directory)
    // must not replace the database with the part that was read.
    if (count < 0) return 0;
    in.reset();
    make_staging_live(engine);
    return count;
  } catch (...) {
    // Out of memory: the claim frees what was staged; the live list is intact.
    return 0;
  }
}

int zone_save(Engine& engine, const ZoneSoa* new_settings) {
  try {
    const std::shared_ptr<const std::string> directory = engine.settings.data_directory.get();
    if (new_settings != nullptr) return save_with_settings(engine, *directory, *new_settings);
    return save_copy(engine, *directory) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

void install_zone_save_hook(Engine& engine) {
  engine.zone.set_save_hook([&engine] { return zone_save(engine) == 1; });
}

}  // namespace norvane
