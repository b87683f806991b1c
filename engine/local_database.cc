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

// Handles hold the list's identity above the sequence number's 40 bits.
constexpr uint64_t kSequenceBits = 40;
constexpr uint64_t kSequenceMask = (uint64_t{1} << kSequenceBits) - 1;

uint64_t new_list_id() {
  // Starts at 1 so that no handle is 0; wraps after 2^24 lists, far more
  // loads than a process makes.
  static std::atomic<uint64_t> next{1};
  const uint64_t id = next.fetch_add(1) & 0xFFFFFF;
  return id == 0 ? next.fetch_add(1) & 0xFFFFFF : id;
}

// Lists compact once their removed slots outnumber the live ones and this.
constexpr size_t kCompactAfter = 4096;

}  // namespace

// ---- RecordList -------------------------------------------------------------

RecordList::RecordList() : store_(new_list_id()) {}

std::optional<ZoneRecord> RecordList::append(uint32_t type, std::string_view owner, uint32_t ttl,
                                             uint32_t datum, std::string_view target) {
  if (next_sequence_ > kSequenceMask) return std::nullopt;
  const NameRef owner_ref = store_.intern(owner);
  const NameRef target_ref = target.empty() ? kNoName : store_.intern(target);
  if (owner_ref == kNoName || (!target.empty() && target_ref == kNoName)) return std::nullopt;
  StoredRecord stored{next_sequence_, owner_ref, target_ref, ttl, datum, type, 0};
  const uint32_t index = store_.push(stored);
  if (index == kNoSlot) return std::nullopt;
  ++next_sequence_;
  next_owned_.push_back(kNoSlot);
  next_address_.push_back(kNoSlot);
  ++live_count_;

  RecordStore::NameInfo& info = store_.info(owner_ref);
  if (info.last == kNoSlot)
    info.first = index;
  else
    next_owned_[info.last] = index;
  info.last = index;
  if (!bulk_load_) {
    index_details(index);
    count_ancestors(owner, 1);
  }
  return store_.view(index);
}

void RecordList::start_bulk_load(size_t expected) {
  if (!bulk_load_) bulk_load_start_ = store_.slot_count();
  bulk_load_ = true;
  // A little more than one name per record: the ancestors and the targets.
  store_.reserve(store_.slot_count() + expected, expected + expected / 8);
  next_owned_.reserve(store_.slot_count() + expected);
  next_address_.reserve(store_.slot_count() + expected);
}

void RecordList::finish_bulk_load() {
  if (!bulk_load_) return;
  bulk_load_ = false;
  size_t addresses = 0;
  for (uint32_t index = bulk_load_start_; index < store_.slot_count(); ++index)
    if (store_.slot(index).type == kTypeA) ++addresses;
  by_address_.reserve(by_address_.size() + addresses);
  // Neighbouring records mostly share their ancestors (the hosts of one
  // domain), so the ancestors of the last parent are kept at hand rather
  // than looked up again.
  std::string_view last_parent;
  std::vector<NameRef> last_ancestors;
  for (uint32_t index = bulk_load_start_; index < store_.slot_count(); ++index) {
    if (store_.removed(index)) continue;
    index_details(index);
    const std::string_view owner = store_.name(store_.slot(index).owner);
    const size_t dot = owner.find('.');
    if (dot == std::string_view::npos) continue;
    const std::string_view parent = owner.substr(dot + 1);
    if (last_ancestors.empty() || parent != last_parent) {
      last_ancestors.clear();
      for (size_t at = dot; at != std::string_view::npos; at = owner.find('.', at + 1)) {
        const NameRef ancestor = store_.intern(owner.substr(at + 1));
        if (ancestor != kNoName) last_ancestors.push_back(ancestor);
      }
      // Interning may add a chunk, but never moves a stored name.
      last_parent =
          last_ancestors.empty() ? std::string_view() : store_.name(last_ancestors.front());
    }
    for (NameRef ancestor : last_ancestors) ++store_.info(ancestor).descendants;
  }
}

void RecordList::index_details(uint32_t index) {
  const StoredRecord& stored = store_.slot(index);
  if (stored.type == kTypeA) {
    // Chains keep list order: a new record goes to the end.
    const uint32_t first = by_address_.find(stored.datum);
    if (first == kNoSlot) {
      by_address_.set(stored.datum, index);
    } else {
      uint32_t at = first;
      while (next_address_[at] != kNoSlot) at = next_address_[at];
      next_address_[at] = index;
    }
  }
  const std::string_view owner = store_.name(stored.owner);
  if (!owner.empty() && owner[0] == '*') ++wildcard_suffix_lengths_[owner.size() - 1];
}

void RecordList::count_ancestors(std::string_view owner, int delta) {
  for (size_t dot = owner.find('.'); dot != std::string_view::npos;
       dot = owner.find('.', dot + 1)) {
    const std::string_view ancestor = owner.substr(dot + 1);
    const NameRef ref = delta > 0 ? store_.intern(ancestor) : store_.find_name(ancestor);
    if (ref == kNoName) continue;
    uint32_t& count = store_.info(ref).descendants;
    count = delta > 0 ? count + 1 : (count > 0 ? count - 1 : 0);
  }
}

bool RecordList::remove(const ZoneRecord& record) {
  if ((record.handle >> kSequenceBits) != store_.list_id()) return false;
  const uint32_t index = store_.find_sequence((record.handle & kSequenceMask) - 1);
  if (index == kNoSlot || store_.removed(index)) return false;
  const StoredRecord stored = store_.slot(index);

  RecordStore::NameInfo& info = store_.info(stored.owner);
  uint32_t before = kNoSlot;
  for (uint32_t at = info.first; at != index; at = next_owned_[at]) before = at;
  if (before == kNoSlot)
    info.first = next_owned_[index];
  else
    next_owned_[before] = next_owned_[index];
  if (info.last == index) info.last = before;

  // Records of a bulk load not yet finished are in the owner chains only.
  const bool indexed = !bulk_load_ || index < bulk_load_start_;
  if (stored.type == kTypeA && indexed) {
    const uint32_t first = by_address_.find(stored.datum);
    if (first == index) {
      by_address_.set(stored.datum, next_address_[index]);
    } else {
      uint32_t at = first;
      while (at != kNoSlot && next_address_[at] != index) at = next_address_[at];
      if (at != kNoSlot) next_address_[at] = next_address_[index];
    }
  }
  const std::string_view owner = store_.name(stored.owner);
  if (indexed) {
    count_ancestors(owner, -1);
    if (!owner.empty() && owner[0] == '*') {
      auto found = wildcard_suffix_lengths_.find(owner.size() - 1);
      if (found != wildcard_suffix_lengths_.end() && --found->second == 0)
        wildcard_suffix_lengths_.erase(found);
    }
  }
  store_.writable(index).type = 0;
  --live_count_;
  ++removed_count_;
  if (!bulk_load_ && removed_count_ > kCompactAfter && removed_count_ > live_count_) compact();
  return true;
}

void RecordList::compact() {
  RecordList fresh;
  fresh.store_ = RecordStore(store_.list_id());
  fresh.start_bulk_load(live_count_);
  for (const ZoneRecord& record : store_) {
    fresh.next_sequence_ = record.sequence;
    fresh.append(record.type, record.owner, record.ttl, record.datum, record.target);
  }
  fresh.finish_bulk_load();
  fresh.next_sequence_ = next_sequence_;
  *this = std::move(fresh);
}

void RecordList::clear() { *this = RecordList(); }

RecordList::Owned RecordList::owned_by(std::string_view owner) const {
  const NameRef ref = store_.find_name(owner);
  return Owned(this, ref == kNoName ? kNoSlot : store_.info(ref).first);
}

std::optional<ZoneRecord> RecordList::find_handle(uint64_t handle) const {
  const Position position = position_of(handle);
  if (position == store_.end()) return std::nullopt;
  return *position;
}

RecordList::Position RecordList::position_of(uint64_t handle) const {
  if ((handle >> kSequenceBits) != store_.list_id() || (handle & kSequenceMask) == 0)
    return store_.end();
  const uint32_t index = store_.find_sequence((handle & kSequenceMask) - 1);
  if (index == kNoSlot || store_.removed(index)) return store_.end();
  return Position(&store_, index);
}

std::optional<ZoneRecord> RecordList::first_with_address(uint32_t address) const {
  const uint32_t index = by_address_.find(address);
  if (index == kNoSlot) return std::nullopt;
  return store_.view(index);
}

bool RecordList::has_descendants(std::string_view name) const {
  const NameRef ref = store_.find_name(name);
  return ref != kNoName && store_.info(ref).descendants > 0;
}

void RecordList::for_each_wildcard_match(
    std::string_view name, const std::function<void(const ZoneRecord&)>& visit) const {
  if (wildcard_suffix_lengths_.empty()) return;
  // Slots are in list order, so sorting the matching slots orders the
  // answers when several wildcard owners cover the name.
  std::vector<uint32_t> matches;
  char key[kMaxNameLength + 2];
  for (const auto& entry : wildcard_suffix_lengths_) {
    const size_t suffix_length = entry.first;
    if (suffix_length >= name.size() || suffix_length > kMaxNameLength) continue;
    key[0] = '*';
    name.copy(key + 1, suffix_length, name.size() - suffix_length);
    const NameRef ref = store_.find_name(std::string_view(key, suffix_length + 1));
    if (ref == kNoName) continue;
    for (uint32_t at = store_.info(ref).first; at != kNoSlot; at = next_owned_[at])
      matches.push_back(at);
  }
  std::sort(matches.begin(), matches.end());
  for (uint32_t index : matches) visit(store_.view(index));
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

bool LocalZone::remove_zone_record(const ZoneRecord& record) {
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
  const std::string owner_name = normal_name(owner);
  const std::string target_name = type != kTypeA ? normal_name(target) : std::string();
  // The root cannot own a record of the local database.
  if (owner_name.empty() || !valid_text_name(owner_name)) return 0;
  if (type != kTypeA && (target_name.empty() || !valid_text_name(target_name))) return 0;
  // The preference travels in 16 bits (RFC 1035 section 3.3.9); a larger one
  // could neither be answered nor read back from the zone file.
  if (type == kTypeMx && datum > 0xFFFF) return 0;

  RecordList& list = staging ? zone_->staging_ : zone_->live_;
  for (const ZoneRecord& existing : list.owned_by(owner_name)) {
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
        if (existing.target == target_name) return 0;
        break;
      case kTypeMx:
        if (existing.datum == datum && existing.target == target_name) return 0;
        break;
      default:
        break;
    }
  }
  return list.append(type, owner_name, ttl == 0 ? minimum() : ttl, datum, target_name) ? 1 : 0;
}

std::optional<ZoneRecord> LocalZone::Guard::find_zone_record(const RecordList& list,
                                                             std::string_view name,
                                                             uint32_t type) const {
  for (const ZoneRecord& record : list.owned_by(name)) {
    if (type == kTypeAny || record.type == type) return record;
  }
  return std::nullopt;
}

std::optional<ZoneRecord> LocalZone::Guard::find_address_record(uint32_t address) const {
  return zone_->live_.first_with_address(address);
}

bool LocalZone::Guard::unlink_zone_record(const ZoneRecord& record) {
  const bool found = zone_->live_.remove(record);
  ++zone_->serial_;
  return found;
}

bool LocalZone::Guard::remove_zone_record(const ZoneRecord& record) {
  const bool found = unlink_zone_record(record);
  request_save();
  return found;
}

int LocalZone::Guard::remove_zone_records(uint32_t type, std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  int removed = 0;
  while (const std::optional<ZoneRecord> record = find_zone_record(zone_->live_, name, type)) {
    if (!remove_zone_record(*record)) break;
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
