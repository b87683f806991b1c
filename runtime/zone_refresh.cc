// Secondary refresh: one AXFR from the primary, read to its closing SOA and
// only then swapped in. Thread-safety: see zone_refresh.h; the transfer id
// counter is an atomic shared by every engine of the process.
#include "runtime/zone_refresh.h"

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
#include "engine/text_helpers.h"
#include "engine/zone_file.h"
#include "runtime/network_server.h"

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
// piece, an overall deadline and an optional stop descriptor that ends the
// wait at once when it becomes readable.
class PrimaryReader {
 public:
  PrimaryReader(int socket, int stop_fd)
      : socket_(socket),
        stop_fd_(stop_fd),
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
  bool read_message(std::vector<uint8_t>& message) {
    uint8_t prefix[2];
    if (!read_exact(prefix, sizeof prefix)) return false;
    const uint16_t length = read_u16(prefix);
    if (length < DnsHeader::kSize) return false;
    message.resize(length);
    return read_exact(message.data(), length);
  }

 private:
  int socket_;
  int stop_fd_;
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

// A name of the message as text without the leading dot that decode_name puts
// before every label. Sets `next` to the position behind the name; false when
// the name does not end inside `limit`.
bool read_name(const std::vector<uint8_t>& message, size_t position, size_t limit,
               std::string& name, size_t& next) {
  char text[kNameBufferSize];
  next = decode_name(message.data(), message.size(), position, text, sizeof text);
  if (next > limit) return false;
  name.assign(text[0] == '.' ? text + 1 : text);
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
  TransferWalk(Engine& engine, std::string domain, uint16_t id)
      : engine_(engine), domain_(std::move(domain)), id_(id) {}

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
    std::string name;
    if (!read_name(message, position_, message.size(), name, position_)) return false;
    if (position_ + 4 > message.size()) return false;
    const uint16_t type = read_u16(&message[position_]);
    const uint16_t qclass = read_u16(&message[position_ + 2]);
    position_ += 4;
    engine_.log.write(2, "response %s %s %s\n", name.c_str(), class_mnemonic(qclass),
                      type_mnemonic(type));
    return qclass == kClassIn && type == kTypeAxfr && names_equal(name, domain_);
  }

  // Walks the answers of a message whose header passed check_header, adding
  // the records to the staging list (which the caller has claimed). False
  // when the message is malformed or the transfer does not open with the
  // zone's SOA.
  bool take_answers(const std::vector<uint8_t>& message) {
    LocalZone::Guard held = engine_.zone.hold();
    for (uint16_t i = 0; i < answers_ && !complete_; ++i) {
      std::string owner;
      size_t fixed;
      if (!read_name(message, position_, message.size(), owner, fixed)) return false;
      if (fixed + 10 > message.size()) return false;
      const uint16_t type = read_u16(&message[fixed]);
      const uint16_t rclass = read_u16(&message[fixed + 2]);
      const uint32_t ttl = read_u32(&message[fixed + 4]);
      const uint16_t rdlength = read_u16(&message[fixed + 8]);
      const size_t rdata = fixed + 10;
      const size_t end = rdata + rdlength;
      if (end > message.size()) return false;
      position_ = end;

      if (!soa_seen_) {
        // RFC 5936 section 2.2: the first record is the SOA of the zone.
        if (type != kTypeSoa || rclass != kClassIn || !names_equal(owner, domain_)) return false;
        if (!read_soa(message, rdata, end, owner)) return false;
        soa_seen_ = true;
        continue;
      }
      if (rclass != kClassIn) continue;
      if (type == kTypeSoa) {
        complete_ = true;
        break;
      }
      take_record(message, type, owner, ttl, rdata, end);
    }
    return true;
  }

  bool complete() const { return complete_; }
  int count() const { return count_; }
  const PrimarySoa& soa() const { return soa_; }

 private:
  bool read_soa(const std::vector<uint8_t>& message, size_t rdata, size_t end,
                const std::string& owner) {
    size_t position;
    if (!read_name(message, rdata, end, soa_.server, position)) return false;
    if (!read_name(message, position, end, soa_.mailbox, position)) return false;
    if (position + 20 > end) return false;
    soa_.owner = owner;
    soa_.serial = read_u32(&message[position]);
    soa_.refresh = read_u32(&message[position + 4]);
    soa_.retry = read_u32(&message[position + 8]);
    soa_.expire = read_u32(&message[position + 12]);
    soa_.minimum = read_u32(&message[position + 16]);
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

  std::vector<ZoneRecord> kept;
  for (const ZoneRecord& record : zone.live().records())
    if (!inside_domain(record.owner, domain)) kept.push_back(record);
  zone.set_zone_soa(owner, soa.server, soa.mailbox, soa.serial, soa.refresh, soa.retry, soa.expire,
                    soa.minimum);
  zone.swap_staging();
  for (ZoneRecord& record : kept) zone.live().append(std::move(record));

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

// zone_refresh with a descriptor that ends the transfer early when it becomes
// readable (-1: none).
int refresh_from_primary(Engine& engine, uint16_t port, int stop_fd) {
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

    PrimaryReader reader(socket, stop_fd);
    const int count = zone_transfer_take(
        engine, domain, id, primary,
        [&reader](std::vector<uint8_t>& message) { return reader.read_message(message); },
        [&closer] { closer.reset(); });
    if (count < 0) return 0;
    zone_save(engine);
    return count;
  } catch (...) {
    // Out of memory: the claim frees what was staged; the live list is intact.
    return 0;
  }
}

}  // namespace

int zone_transfer_take(Engine& engine, const std::string& domain, uint16_t id, uint32_t primary,
                       const std::function<bool(std::vector<uint8_t>&)>& next_message,
                       const std::function<void()>& on_complete) {
  TransferWalk walk(engine, domain, id);
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
    if (!walk.take_answers(message)) return -1;
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

bool ZoneRefresher::start(std::time_t now) {
  std::lock_guard<std::mutex> guard(lock_);
  if (stopped_ || running_.load()) return false;
  if (thread_.joinable()) thread_.join();
  {
    LocalZone::Guard zone = engine_.zone.hold();
    zone.set_retry_after(now + static_cast<std::time_t>(zone.retry()));
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
