// Secondary refresh: one AXFR from the primary, read to its closing SOA and
// only then swapped in. Thread-safety: see zone_refresh.h; the transfer id
// counter is an atomic shared by every engine of the process.
#include "runtime/zone_refresh.h"

#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/dns_message.h"
#include "engine/names.h"
#include "engine/text_helpers.h"
#include "engine/wire_reader.h"
#include "engine/zone_file.h"
#include "runtime/network_server.h"
#include "runtime/serving_guard.h"

namespace norvane {
namespace {

// The ID of a request is the counter's incremented value, so the first
// request of the process carries 1235.
std::atomic<uint16_t> transfer_id_counter{1234};

using Clock = std::chrono::steady_clock;

class ConnectionCloser {
 public:
  explicit ConnectionCloser(int socket) : socket_(socket) {}
  ~ConnectionCloser() { close_socket(socket_); }
  ConnectionCloser(const ConnectionCloser&) = delete;
  ConnectionCloser& operator=(const ConnectionCloser&) = delete;

 private:
  int socket_;
};

// Reads from the primary with a wait of at most kTransferReadWaitMs for each
// piece, an overall deadline, a bound on the bytes of the whole transfer and
// an optional stop descriptor that ends the wait at once when it becomes
// readable.
class PrimaryReader {
 public:
  PrimaryReader(int socket, int stop_fd, uint64_t max_bytes)
      : socket_(socket),
        stop_fd_(stop_fd),
        max_bytes_(max_bytes),
        deadline_(Clock::now() + std::chrono::seconds(kTransferLimitSeconds)) {}

  // Fills `data` with exactly `length` bytes; false on time-out, end of
  // stream, error or stop.
  bool read_exact(uint8_t* data, size_t length) {
    size_t have = 0;
    while (have < length) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
      if (left.count() <= 0) return false;
      const int wait_ms = static_cast<int>(std::min<long long>(left.count(), kTransferReadWaitMs));
      pollfd waits[2] = {{socket_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
      const int ready = ::poll(waits, stop_fd_ >= 0 ? 2 : 1, wait_ms);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      if (stop_fd_ >= 0 && (waits[1].revents & POLLIN) != 0) return false;
      const ssize_t got = ::recv(socket_, data + have, length - have, MSG_DONTWAIT);
      if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (got <= 0) return false;
      have += static_cast<size_t>(got);
    }
    return true;
  }

  // Reads one length-prefixed message (RFC 1035 section 4.2.2) into `message`.
  // False also, before the message is read, when it would take the transfer
  // past its byte bound (over_limit() then tells).
  bool read_message(std::vector<uint8_t>& message) {
    uint8_t prefix[2];
    if (!read_exact(prefix, sizeof prefix)) return false;
    const uint16_t length = read_u16(prefix);
    if (length < DnsHeader::kSize) return false;
    received_ += sizeof prefix + length;
    if (received_ > max_bytes_) {
      over_limit_ = true;
      return false;
    }
    message.resize(length);
    return read_exact(message.data(), length);
  }

  bool over_limit() const { return over_limit_; }

 private:
  int socket_;
  int stop_fd_;
  uint64_t max_bytes_;
  uint64_t received_ = 0;
  bool over_limit_ = false;
  Clock::time_point deadline_;
};

bool send_all(int socket, const std::vector<uint8_t>& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// The request with its 2-byte length prefix. The prefix gives the exact length
// of the message (RFC 1035 section 4.2.2): a primary may refuse a message with
// bytes behind its question as malformed.
std::vector<uint8_t> axfr_request(uint16_t id, const std::string& domain) {
  std::vector<uint8_t> out(2);
  DnsHeader header;
  header.id = id;
  header.qdcount = 1;
  out.resize(2 + DnsHeader::kSize);
  header.write(out.data() + 2);
  append_name(out, domain);
  append_u16(out, kTypeAxfr);
  append_u16(out, kClassIn);
  write_u16(out.data(), static_cast<uint16_t>(out.size() - 2));
  return out;
}

// A name of the message as text, lower case, no trailing dot. Sets `next` to
// the position behind the name; false when the reader refuses it, when it does
// not end inside `limit`, or when its text would stand for another name (a
// label holding a "." or a zero byte).
bool read_name(const std::vector<uint8_t>& message, size_t position, size_t limit,
               std::string& name, size_t& next) {
  WireReader reader(message, position, limit);
  auto read = reader.read_name();
  if (!read || !read->faithful) return false;
  name = std::move(read->text);
  next = reader.position();
  return true;
}

// True when `name` is `domain` or lies below it, case ignored (RFC 4343: the
// domain keeps the case it was configured in, decoded names are lower case);
// the label boundary keeps "xoffice.lan" out of "office.lan".
bool inside_domain(std::string_view name, std::string_view domain) {
  return name_within(name, domain);
}

struct PrimarySoa {
  std::string owner, server, mailbox;
  uint32_t serial = 0, refresh = 0, retry = 0, expire = 0, minimum = 0;
};

// Takes the reply messages of one transfer apart and stages the domain's
// records. A transfer opens with the zone's SOA and ends with the next SOA
// (RFC 5936 section 2.2); anything else is refused as a whole.
class TransferWalk {
 public:
  TransferWalk(Engine& engine, std::string domain, uint16_t id, uint32_t max_records)
      : engine_(engine), domain_(std::move(domain)), id_(id), max_records_(max_records) {}

  // Checks the header and question of one message (RFC 5936 section 2.2.1:
  // the query's ID, no error, the question optional after the first). Logs
  // the question at level 2. False when the message does not belong to the
  // transfer.
  bool check_header(const std::vector<uint8_t>& message) {
    DnsHeader header;
    if (!DnsHeader::read(message, header)) return false;
    if (header.id != id_ || (header.flags & kFlagQr) == 0 || header.rcode() != kRcodeNoError)
      return false;
    if (header.qdcount > 1) return false;
    answers_ = header.ancount;
    position_ = DnsHeader::kSize;
    if (header.qdcount == 0) return true;
    WireReader reader(message, position_);
    const auto question = reader.read_question();
    if (!question) return false;
    position_ = reader.position();
    const std::string& name = question->name.text;
    engine_.log.write(2, "response %s %s %s\n", EscapedName(name).c_str(),
                      class_mnemonic(question->question_class), type_mnemonic(question->type));
    return question->question_class == kClassIn && question->type == kTypeAxfr &&
           question->name.faithful && names_equal(name, domain_);
  }

  // Walks the answers of a message whose header passed check_header, adding
  // the records to the staging list (which the caller has claimed). False
  // when the message is malformed, the transfer does not open with the
  // zone's SOA, or its answer records, of any type, pass the record bound
  // (over_limit() then tells).
  bool take_answers(const std::vector<uint8_t>& message) {
    LocalZone::Guard held = engine_.zone.hold();
    WireReader reader(message, position_);
    for (uint16_t i = 0; i < answers_ && !complete_; ++i) {
      if (++received_ > max_records_) {
        over_limit_ = true;
        return false;
      }
      const auto record = reader.read_record();
      if (!record) return false;
      position_ = reader.position();
      const std::string& owner = record->owner.text;
      const uint16_t type = record->type;
      const uint16_t rclass = record->record_class;
      const uint32_t ttl = record->ttl;
      const size_t rdata = record->rdata_at;
      const size_t end = record->rdata_end();

      if (!soa_seen_) {
        // RFC 5936 section 2.2: the first record is the SOA of the zone.
        if (type != kTypeSoa || rclass != kClassIn || !record->owner.faithful ||
            !names_equal(owner, domain_))
          return false;
        if (!read_soa(message, rdata, end, owner)) return false;
        soa_seen_ = true;
        continue;
      }
      if (rclass != kClassIn) continue;
      if (type == kTypeSoa) {
        complete_ = true;
        break;
      }
      // A name whose text would stand for another name is not staged.
      if (record->owner.faithful) take_record(message, type, owner, ttl, rdata, end);
    }
    return true;
  }

  bool complete() const { return complete_; }
  bool over_limit() const { return over_limit_; }
  int count() const { return count_; }
  const PrimarySoa& soa() const { return soa_; }

 private:
  bool read_soa(const std::vector<uint8_t>& message, size_t rdata, size_t end,
                const std::string& owner) {
    size_t position;
    if (!read_name(message, rdata, end, soa_.server, position)) return false;
    if (!read_name(message, position, end, soa_.mailbox, position)) return false;
    WireReader numbers(message, position, end);
    const auto serial = numbers.read_u32();
    const auto refresh = numbers.read_u32();
    const auto retry = numbers.read_u32();
    const auto expire = numbers.read_u32();
    const auto minimum = numbers.read_u32();
    if (!minimum) return false;
    soa_.owner = owner;
    soa_.serial = *serial;
    soa_.refresh = *refresh;
    soa_.retry = *retry;
    soa_.expire = *expire;
    soa_.minimum = *minimum;
    return true;
  }

  // Stages one A, NS, CNAME or MX record of the domain and counts it whether
  // or not the database takes it. Records of other names are ignored: a
  // primary has no say over names outside the zone it transfers (RFC 5936
  // section 3), and such records would pile up beside the ones kept from
  // other domains at every refresh. A record whose data cannot be read is
  // skipped.
  void take_record(const std::vector<uint8_t>& message, uint16_t type, const std::string& owner,
                   uint32_t ttl, size_t rdata, size_t end) {
    if (type != kTypeA && type != kTypeNs && type != kTypeCname && type != kTypeMx) return;
    if (!inside_domain(owner, domain_)) return;
    LocalZone& zone = engine_.zone;
    std::string target;
    size_t after;
    switch (type) {
      case kTypeA: {
        if (end - rdata != 4) return;
        uint32_t address;
        std::memcpy(&address, &message[rdata], sizeof address);
        zone.add_zone_record(1, kTypeA, owner, ttl, address, std::string_view());
        break;
      }
      case kTypeNs:
      case kTypeCname:
        if (!read_name(message, rdata, end, target, after)) return;
        zone.add_zone_record(1, type, owner, ttl, 0, std::string_view(target));
        break;
      case kTypeMx:
        if (end - rdata < 3) return;
        if (!read_name(message, rdata + 2, end, target, after)) return;
        zone.add_zone_record(1, kTypeMx, owner, ttl, read_u16(&message[rdata]),
                             std::string_view(target));
        break;
      default:
        return;
    }
    ++count_;
  }

  Engine& engine_;
  std::string domain_;
  uint16_t id_;
  uint64_t max_records_;
  uint64_t received_ = 0;
  bool over_limit_ = false;
  uint16_t answers_ = 0;
  size_t position_ = 0;
  bool soa_seen_ = false;
  bool complete_ = false;
  int count_ = 0;
  PrimarySoa soa_;
};

// Makes the staged zone live: the primary's SOA, the staged records, then the
// records of other domains in their old order, all under one hold of the
// database lock so that no query sees the domain without them. Returns false
// when the domain was renamed while the transfer ran (the transfer is then
// of no use). Database lock taken here; the caller holds the staging claim.
bool install_transfer(Engine& engine, const std::string& domain, const PrimarySoa& soa,
                      uint32_t primary) {
  LocalZone::Guard zone = engine.zone.hold();
  if (!zone.is_domain(domain)) return false;
  // The decoder lowers the SOA's owner; the domain is the one asked for, so
  // it keeps the case it was configured in.
  const std::string owner = zone.domain();

  // The old list is freed by the swap below, and its names with it: the
  // records kept from it are copied out first.
  struct Kept {
    uint32_t type, ttl, datum;
    std::string owner, target;
  };
  std::vector<Kept> kept;
  for (const ZoneRecord& record : zone.live().records())
    if (!inside_domain(record.owner, domain))
      kept.push_back({record.type, record.ttl, record.datum, std::string(record.owner),
                      std::string(record.target)});
  zone.set_zone_soa(owner, soa.server, soa.mailbox, soa.serial, soa.refresh, soa.retry, soa.expire,
                    soa.minimum);
  zone.swap_staging();
  for (const Kept& record : kept)
    zone.live().append(record.type, record.owner, record.ttl, record.datum, record.target);

  const std::time_t now = std::time(nullptr);
  zone.set_refreshed_at(now);
  zone.set_retry_after(now);
  if (engine.log.enabled(2)) {
    char address[kIpv4TextSize];
    char heading[64];
    std::snprintf(heading, sizeof heading, "Loaded database from Primary Server %s\n",
                  format_ipv4(primary, address));
    zone.log_database(heading);
  }
  return true;
}

// Logs, at level 1, a transfer abandoned at one of its bounds: the operator
// must learn why a secondary stays on its old data.
void log_over_limit(Engine& engine, uint32_t primary, const char* what, uint32_t limit) {
  char address[kIpv4TextSize];
  engine.log.write(1, "zone transfer from %s abandoned: more than %u %s\n",
                   format_ipv4(primary, address), limit, what);
}

// zone_refresh with a descriptor that ends the transfer early when it becomes
// readable (-1: none).
int transfer_from_primary(Engine& engine, uint16_t port, int stop_fd) {
  try {
    std::string domain;
    {
      LocalZone::Guard zone = engine.zone.hold();
      zone.set_refreshed_at(0);
      domain = zone.domain();
    }
    const uint32_t primary = engine.settings.primary.load();
    if (primary == 0 || domain.empty() || !valid_text_name(domain)) return 0;

    const int socket = connect_tcp(primary, port);
    if (socket < 0) return 0;
    std::optional<ConnectionCloser> closer(std::in_place, socket);
    const timeval send_wait{kTransferReadWaitMs / 1000, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &send_wait, sizeof send_wait);

    const uint16_t id = static_cast<uint16_t>(transfer_id_counter.fetch_add(1) + 1);
    if (!send_all(socket, axfr_request(id, domain))) return 0;

    const uint32_t max_bytes = engine.settings.transfer_max_bytes.load();
    PrimaryReader reader(socket, stop_fd, max_bytes);
    const int count = zone_transfer_take(
        engine, domain, id, primary,
        [&](std::vector<uint8_t>& message) {
          if (reader.read_message(message)) return true;
          if (reader.over_limit()) log_over_limit(engine, primary, "bytes", max_bytes);
          return false;
        },
        [&closer] { closer.reset(); });
    if (count < 0) return 0;
    zone_save(engine);
    return count;
  } catch (const std::bad_alloc&) {
    // Out of memory: the claim frees what was staged; the live list is intact.
    return 0;
  } catch (...) {
    // The same for anything else, which is reported: the refresher thread
    // ends with this refresh, never the process.
    log_thread_exception(engine.log, "zone refresh");
    return 0;
  }
}

// A transfer, and the claim that frees what it staged. The staged records and
// the replaced live list go back to the allocator in many small pieces, which
// it keeps for reuse; a transfer of a million records would then hold its
// memory long after it ended (or failed). Returning the free pages to the
// system makes that memory available again.
int refresh_from_primary(Engine& engine, uint16_t port, int stop_fd) {
  const int count = transfer_from_primary(engine, port, stop_fd);
  ::malloc_trim(0);
  return count;
}

}  // namespace

int zone_transfer_take(Engine& engine, const std::string& domain, uint16_t id, uint32_t primary,
                       const std::function<bool(std::vector<uint8_t>&)>& next_message,
                       const std::function<void()>& on_complete) {
  const uint32_t max_records = engine.settings.transfer_max_records.load();
  TransferWalk walk(engine, domain, id, max_records);
  // Claimed once the primary has answered, so that a zone file load is
  // kept out only while records are actually being staged.
  std::optional<StagingClaim> claim;
  std::vector<uint8_t> message;
  while (!walk.complete()) {
    if (!next_message(message) || !walk.check_header(message)) return -1;
    if (!claim) {
      claim.emplace(engine);
      if (!claim->held()) return -1;
    }
    if (!walk.take_answers(message)) {
      if (walk.over_limit()) log_over_limit(engine, primary, "records", max_records);
      return -1;
    }
  }
  if (on_complete) on_complete();

  if (!install_transfer(engine, domain, walk.soa(), primary)) return -1;
  return walk.count();
}

int zone_refresh(Engine& engine, uint16_t port) { return refresh_from_primary(engine, port, -1); }

// ---- ZoneRefresher ----------------------------------------------------------

ZoneRefresher::ZoneRefresher(Engine& engine) : engine_(engine) {
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ZoneRefresher::~ZoneRefresher() {
  stop();
  stop_fd_ = close_socket(stop_fd_);
}

bool ZoneRefresher::zone_refresh_start() { return start(std::time(nullptr)); }

bool ZoneRefresher::refresh_at_start() {
  if (engine_.settings.primary.load() == 0) return false;
  return start(std::nullopt);
}

void ZoneRefresher::on_turn(std::time_t now) {
  if (engine_.settings.primary.load() == 0 || running_.load()) return;
  bool due;
  {
    const LocalZone::Guard zone = engine_.zone.hold();
    due = zone.refreshed_at() + static_cast<std::time_t>(zone.refresh()) < now &&
          zone.retry_after() < now;
  }
  if (due) start(now);
}

bool ZoneRefresher::start(std::optional<std::time_t> now) {
  std::lock_guard<std::mutex> guard(lock_);
  if (stopped_ || running_.load()) return false;
  if (thread_.joinable()) thread_.join();
  if (now) {
    LocalZone::Guard zone = engine_.zone.hold();
    zone.set_retry_after(*now + static_cast<std::time_t>(zone.retry()));
  }
  running_.store(true);
  try {
    thread_ = std::thread([this] {
      last_result_.store(refresh_from_primary(engine_, port_, stop_fd_));
      running_.store(false);
    });
  } catch (...) {
    running_.store(false);
    return false;
  }
  return true;
}

void ZoneRefresher::stop() {
  if (stop_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stop_fd_, &one, sizeof one);
  }
  std::lock_guard<std::mutex> guard(lock_);
  stopped_ = true;
  if (thread_.joinable()) thread_.join();
}

int ZoneRefresher::wait() {
  std::lock_guard<std::mutex> guard(lock_);
  if (thread_.joinable()) thread_.join();
  return last_result_.load();
}

}  // namespace norvane
