// The local database: record lists with their indexes and the zone's
// operations. See local_database.h for the locking contract.
#include "engine/local_database.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>

#include "engine/dns_message.h"
#include "engine/names.h"
#include "engine/text_helpers.h"

namespace norvane {
namespace {

const std::vector<RecordList::Position>& no_positions() {
  static const std::vector<RecordList::Position> empty;
  return empty;
}

template <class Map>
void erase_position(Map& map, const typename Map::key_type& key, RecordList::Position position) {
  auto found = map.find(key);
  if (found == map.end()) return;
  auto& list = found->second;
  list.erase(std::find(list.begin(), list.end(), position));
  if (list.empty()) map.erase(found);
}

// The count kept for `name` in `counts`, added as 0 when there is none.
uint32_t& count_of(std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>>& counts,
                   std::string_view name) {
  auto found = counts.find(name);
  if (found == counts.end()) found = counts.emplace(std::string(name), 0).first;
  return found->second;
}

// Lower case, one trailing dot removed: the form of record owners and
// targets, which the indexes look up byte for byte.
std::string normal_name(std::string_view text) {
  std::string name(text);
  strip_trailing_dot(name);
  lower_name(name);
  return name;
}

// One trailing dot removed, the case kept: the form of the SOA names.
std::string stored_name(std::string_view text) {
  std::string name(text);
  strip_trailing_dot(name);
  return name;
}

bool is_stored_type(uint32_t type) {
  return type == kTypeA || type == kTypeNs || type == kTypeCname || type == kTypeMx;
}

}  // namespace

// ---- RecordList -------------------------------------------------------------

const ZoneRecord& RecordList::append(ZoneRecord record) {
  // Handles are unique across every list of the process, so a handle taken
  // from a list that a load has since replaced finds nothing.
  static std::atomic<uint64_t> next_handle{1};
  record.sequence = next_sequence_++;
  record.handle = next_handle.fetch_add(1);
  records_.push_back(std::move(record));
  Position position = std::prev(records_.end());
  index(position);
  if (journal_.journal != nullptr) journal_.journal->added(*position);
  return *position;
}

void RecordList::start_bulk_load(size_t expected) {
  if (!bulk_load_) bulk_load_start_ = records_.size();
  bulk_load_ = true;
  by_owner_.reserve(by_owner_.size() + expected);
}

void RecordList::finish_bulk_load() {
  if (!bulk_load_) return;
  bulk_load_ = false;
  by_handle_.reserve(records_.size());
  Position position = records_.cbegin();
  std::advance(position, bulk_load_start_);
  // Neighbouring records mostly share their ancestors (the hosts of one
  // domain), so the counts of the last parent's ancestors are kept at hand
  // rather than looked up again. Counts are reached by pointer: the values of
  // an unordered_map stay where they are when it grows.
  std::string_view last_parent;
  std::vector<uint32_t*> last_counts;
  for (; position != records_.cend(); ++position) {
    index_details(position);
    const std::string_view owner = position->owner;
    const size_t dot = owner.find('.');
    if (dot == std::string_view::npos) continue;
    const std::string_view parent = owner.substr(dot + 1);
    if (last_counts.empty() || parent != last_parent) {
      last_counts.clear();
      for (size_t at = dot; at != std::string_view::npos; at = owner.find('.', at + 1))
        last_counts.push_back(&count_of(descendants_, owner.substr(at + 1)));
      last_parent = parent;
    }
    for (uint32_t* count : last_counts) ++*count;
  }
}

void RecordList::index(Position position) {
  by_owner_[position->owner].push_back(position);
  if (bulk_load_) return;
  index_details(position);
  const std::string_view owner = position->owner;
  for (size_t dot = owner.find('.'); dot != std::string_view::npos; dot = owner.find('.', dot + 1))
    ++count_of(descendants_, owner.substr(dot + 1));
}

void RecordList::index_details(Position position) {
  const ZoneRecord& record = *position;
  by_handle_.emplace(record.handle, position);
  if (record.type == kTypeA) by_address_[record.datum].push_back(position);
  const std::string_view owner = record.owner;
  if (!owner.empty() && owner[0] == '*') ++wildcard_suffix_lengths_[owner.size() - 1];
}

void RecordList::unindex(Position position) {
  const ZoneRecord& record = *position;
  erase_position(by_owner_, record.owner, position);
  by_handle_.erase(record.handle);
  if (record.type == kTypeA) erase_position(by_address_, record.datum, position);
  const std::string_view owner = record.owner;
  for (size_t dot = owner.find('.'); dot != std::string_view::npos;
       dot = owner.find('.', dot + 1)) {
    auto found = descendants_.find(owner.substr(dot + 1));
    if (found != descendants_.end() && --found->second == 0) descendants_.erase(found);
  }
  if (!owner.empty() && owner[0] == '*') {
    auto found = wildcard_suffix_lengths_.find(owner.size() - 1);
    if (found != wildcard_suffix_lengths_.end() && --found->second == 0)
      wildcard_suffix_lengths_.erase(found);
  }
}

bool RecordList::remove(const ZoneRecord* record) {
  if (record == nullptr) return false;
  auto owned = by_owner_.find(std::string_view(record->owner));
  if (owned == by_owner_.end()) return false;
  for (Position position : owned->second) {
    if (&*position == record) {
      if (journal_.journal != nullptr) journal_.journal->removed(*position);
      unindex(position);
      records_.erase(position);
      return true;
    }
  }
  return false;
}

void RecordList::clear() {
  bulk_load_ = false;
  if (journal_.journal != nullptr) journal_.journal->replaced();
  records_.clear();
  by_owner_.clear();
  by_address_.clear();
  by_handle_.clear();
  descendants_.clear();
  wildcard_suffix_lengths_.clear();
}

const std::vector<RecordList::Position>& RecordList::owned_by(std::string_view owner) const {
  auto found = by_owner_.find(owner);
  return found == by_owner_.end() ? no_positions() : found->second;
}

const ZoneRecord* RecordList::find_handle(uint64_t handle) const {
  auto found = by_handle_.find(handle);
  return found == by_handle_.end() ? nullptr : &*found->second;
}

const ZoneRecord* RecordList::first_with_address(uint32_t address) const {
  auto found = by_address_.find(address);
  return found == by_address_.end() ? nullptr : &*found->second.front();
}

bool RecordList::has_descendants(std::string_view name) const {
  return descendants_.find(name) != descendants_.end();
}

void RecordList::for_each_wildcard_match(
    std::string_view name, const std::function<void(const ZoneRecord&)>& visit) const {
  if (wildcard_suffix_lengths_.empty()) return;
  std::vector<Position> matches;
  char key[kMaxNameLength + 2];
  for (const auto& entry : wildcard_suffix_lengths_) {
    const size_t suffix_length = entry.first;
    if (suffix_length >= name.size() || suffix_length > kMaxNameLength) continue;
    key[0] = '*';
    name.copy(key + 1, suffix_length, name.size() - suffix_length);
    const auto& owned = owned_by(std::string_view(key, suffix_length + 1));
    matches.insert(matches.end(), owned.begin(), owned.end());
  }
  // Several wildcard owners may cover the name; answer them in list order.
  std::sort(matches.begin(), matches.end(),
            [](Position a, Position b) { return a->sequence < b->sequence; });
  for (Position position : matches) visit(*position);
}

// ---- LocalZone ------------------------------------------------------------

int LocalZone::add_zone_record(int staging, uint32_t type, std::string_view owner, uint32_t ttl,
                               uint32_t datum, char* target) {
  return hold().add_zone_record(staging, type, owner, ttl, datum, target);
}

int LocalZone::add_zone_record(int staging, uint32_t type, std::string_view owner, uint32_t ttl,
                               uint32_t datum, std::string_view target) {
  return hold().add_zone_record(staging, type, owner, ttl, datum, target);
}

bool LocalZone::remove_zone_record(const ZoneRecord* record) {
  bool found;
  {
    Guard held = hold();
    found = held.unlink_zone_record(record);
  }
  request_save();
  return found;
}

void LocalZone::request_save(SaveDone done) const {
  if (save_queue_) {
    save_queue_(std::move(done));
    return;
  }
  const bool saved = save_hook_ ? save_hook_() : true;
  if (done) done(saved);
}

bool LocalZone::save() const {
  if (!save_queue_) return save_hook_ ? save_hook_() : true;
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  bool saved = false;
  save_queue_([&](bool outcome) {
    std::lock_guard<std::mutex> guard(lock);
    saved = outcome;
    done = true;
    finished.notify_one();
  });
  std::unique_lock<std::mutex> guard(lock);
  finished.wait(guard, [&] { return done; });
  return saved;
}

int LocalZone::remove_zone_records(uint32_t type, std::string_view name) {
  return hold().remove_zone_records(type, name);
}

int LocalZone::set_zone_soa(std::string_view new_domain, std::string_view new_primary,
                            std::string_view new_mailbox, uint32_t new_serial, uint32_t new_refresh,
                            uint32_t new_retry, uint32_t new_expire, uint32_t new_minimum) {
  return hold().set_zone_soa(new_domain, new_primary, new_mailbox, new_serial, new_refresh,
                             new_retry, new_expire, new_minimum);
}

// ---- LocalZone::Guard -----------------------------------------------------

int LocalZone::Guard::add_zone_record(int staging, uint32_t type, std::string_view owner,
                                      uint32_t ttl, uint32_t datum, char* target) {
  if (target != nullptr) lower_name(target);
  return add_zone_record(staging, type, owner, ttl, datum,
                         target != nullptr ? std::string_view(target) : std::string_view());
}

int LocalZone::Guard::add_zone_record(int staging, uint32_t type, std::string_view owner,
                                      uint32_t ttl, uint32_t datum, std::string_view target) {
  if (!is_stored_type(type)) return 0;
  ZoneRecord record;
  record.type = type;
  record.owner = normal_name(owner);
  if (type != kTypeA) record.target = normal_name(target);
  // The root cannot own a record of the local database.
  if (record.owner.empty() || !valid_text_name(record.owner)) return 0;
  if (type != kTypeA && (record.target.empty() || !valid_text_name(record.target))) return 0;
  // The preference travels in 16 bits (RFC 1035 section 3.3.9); a larger one
  // could neither be answered nor read back from the zone file.
  if (type == kTypeMx && datum > 0xFFFF) return 0;
  record.ttl = ttl == 0 ? minimum() : ttl;
  record.datum = datum;

  RecordList& list = staging ? zone_->staging_ : zone_->live_;
  for (RecordList::Position position : list.owned_by(record.owner)) {
    const ZoneRecord& existing = *position;
    if (type == kTypeCname || existing.type == kTypeCname) {
      // An alias stands alone: no second CNAME, nothing beside it.
      return 0;
    }
    if (existing.type != type) continue;
    switch (type) {
      case kTypeA:
        if (existing.datum == datum) return 0;
        break;
      case kTypeNs:
        if (existing.target == record.target) return 0;
        break;
      case kTypeMx:
        if (existing.datum == datum && existing.target == record.target) return 0;
        break;
      default:
        break;
    }
  }
  list.append(std::move(record));
  return 1;
}

const ZoneRecord* LocalZone::Guard::find_zone_record(const RecordList& list, std::string_view name,
                                                     uint32_t type) const {
  for (RecordList::Position position : list.owned_by(name)) {
    if (type == kTypeAny || position->type == type) return &*position;
  }
  return nullptr;
}

const ZoneRecord* LocalZone::Guard::find_address_record(uint32_t address) const {
  return zone_->live_.first_with_address(address);
}

bool LocalZone::Guard::unlink_zone_record(const ZoneRecord* record) {
  const bool found = zone_->live_.remove(record);
  ++zone_->serial_;
  return found;
}

bool LocalZone::Guard::remove_zone_record(const ZoneRecord* record) {
  const bool found = unlink_zone_record(record);
  request_save();
  return found;
}

int LocalZone::Guard::remove_zone_records(uint32_t type, std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  int removed = 0;
  while (const ZoneRecord* record = find_zone_record(zone_->live_, name, type)) {
    if (!remove_zone_record(record)) break;
    ++removed;
  }
  return removed;
}

bool LocalZone::Guard::is_domain(std::string_view name) const {
  return !domain().empty() && names_equal(name, domain());
}

bool LocalZone::Guard::zone_of_name(std::string_view name) const {
  return name_within(name, domain());
}

int LocalZone::Guard::in_local_domain(std::string_view name) const {
  // A label boundary must precede the domain: corp.com does not hold bigcorp.com.
  return name_within(name, domain()) ? 1 : 0;
}

bool LocalZone::Guard::name_exists(std::string_view name) const {
  const RecordList& live = zone_->live_;
  if (!live.owned_by(name).empty() || is_domain(name) || live.has_descendants(name)) return true;
  bool covered = false;
  live.for_each_wildcard_match(name, [&covered](const ZoneRecord&) { covered = true; });
  return covered;
}

int LocalZone::Guard::set_zone_soa(std::string_view new_domain, std::string_view new_primary,
                                   std::string_view new_mailbox, uint32_t new_serial,
                                   uint32_t new_refresh, uint32_t new_retry, uint32_t new_expire,
                                   uint32_t new_minimum) {
  std::string name = stored_name(new_domain);
  if (name.empty() || !valid_text_name(name)) return 0;
  LocalZone& zone = *zone_;
  zone.domain_ = name;

  // An empty primary would otherwise become ".domain"; it means "this host".
  // A name that cannot be qualified within 255 characters is refused and the
  // field keeps its value.
  std::string server = stored_name(new_primary);
  if (server.empty() || names_equal(server, zone.domain_)) server = local_host_name();
  bool server_ok = !server.empty();
  if (server_ok && server.find('.') == std::string::npos)
    server_ok = append_domain(server, zone.domain_);
  if (server_ok && valid_text_name(server)) zone.primary_ = server;

  std::string box = stored_name(new_mailbox);
  bool box_ok = !box.empty();
  if (box_ok && box.find('.') == std::string::npos) box_ok = append_domain(box, zone.primary_);
  if (box_ok && valid_text_name(box)) zone.mailbox_ = box;

  if (new_serial != 0) zone.serial_ = new_serial;
  if (new_refresh != 0) zone.refresh_ = new_refresh;
  if (new_retry != 0) zone.retry_ = new_retry;
  if (new_expire != 0) zone.expire_ = new_expire;
  if (new_minimum != 0) zone.minimum_ = new_minimum;
  return 1;
}

void LocalZone::Guard::log_zone(std::FILE* stream, const char* timestamp) const {
  const LocalZone& zone = *zone_;
  std::fprintf(stream, "%s.\tSOA\t%s.\t%s.", EscapedName(zone.domain_).c_str(),
               EscapedName(zone.primary_).c_str(), EscapedName(zone.mailbox_).c_str());
  std::fprintf(stream, " %u %u %u %u %u\n", zone.serial_, zone.refresh_, zone.retry_, zone.expire_,
               zone.minimum_);
  char address[kIpv4TextSize];
  for (const ZoneRecord& r : zone.live_.records()) {
    switch (r.type) {
      case kTypeA:
        std::fprintf(stream, "%s %s %u A\t%s\n", timestamp, EscapedName(r.owner).c_str(), r.ttl,
                     format_ipv4(r.datum, address));
        break;
      case kTypeNs:
        std::fprintf(stream, "%s %s %u NS\t%s\n", timestamp, EscapedName(r.owner).c_str(), r.ttl,
                     EscapedName(r.target).c_str());
        break;
      case kTypeCname:
        std::fprintf(stream, "%s %s %u CNAME\t%s\n", timestamp, EscapedName(r.owner).c_str(), r.ttl,
                     EscapedName(r.target).c_str());
        break;
      case kTypeMx:
        std::fprintf(stream, "%s %s %u MX\t%u\t%s\n", timestamp, EscapedName(r.owner).c_str(),
                     r.ttl, r.datum, EscapedName(r.target).c_str());
        break;
      default:
        break;
    }
  }
}

void LocalZone::Guard::log_database(const char* heading) {
  TransactionLog& log = zone_->log_;
  if (!log.enabled(2)) return;
  log.with_stream([&](std::FILE* stream) {
    std::fputs(heading, stream);
    log_zone(stream, log.timestamp_locked());
  });
}

void LocalZone::Guard::swap_staging() {
  std::swap(zone_->live_, zone_->staging_);
  zone_->staging_.clear();
}

// ---- name text operations -------------------------------------------------

std::string local_host_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  std::string host(name);
  lower_name(host);
  strip_trailing_dot(host);
  return host;
}

}  // namespace norvane
