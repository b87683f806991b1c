// Forwarding to the external name servers.
#include "runtime/forwarding.h"

#include <arpa/inet.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/dns_message.h"
#include "engine/text_helpers.h"
#include "engine/wire_reader.h"

namespace norvane {

std::vector<uint8_t> question_section(std::span<const uint8_t> message) {
  std::vector<uint8_t> out;
  DnsHeader header;
  if (!DnsHeader::read(message, header)) return out;
  WireReader reader(message, DnsHeader::kSize);
  for (int i = 0; i < header.qdcount; ++i) {
    const auto question = reader.read_question();
    if (!question) return {};
    // The lowered name behind its length (at most 254 characters), then
    // QTYPE and QCLASS as they are on the wire.
    const std::string& text = question->name.text;
    out.push_back(static_cast<uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    append_u16(out, question->type);
    append_u16(out, question->question_class);
  }
  return out;
}

Forwarder::Forwarder(Engine& engine) : engine_(engine) {}

Forwarder::~Forwarder() { close_sockets(); }

uint16_t Forwarder::random_u16() {
  std::lock_guard<std::mutex> guard(random_lock_);
  if (random_pool_.empty()) {
    random_pool_.resize(256);
    const size_t bytes = random_pool_.size() * sizeof(uint16_t);
    size_t filled = 0;
    while (filled < bytes) {
      const ssize_t got =
          getrandom(reinterpret_cast<uint8_t*>(random_pool_.data()) + filled, bytes - filled, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      filled += static_cast<size_t>(got);
    }
  }
  const uint16_t value = random_pool_.back();
  random_pool_.pop_back();
  return value;
}

Forwarder::SourceSocket Forwarder::open_source_socket(std::time_t now) {
  SourceSocket source;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return source;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = INADDR_ANY;
  // Ports below 1024 are left to their services (RFC 5452 section 10 asks
  // for as much of the range as can be used); a port taken by another
  // program is tried again elsewhere, and after a few misses the kernel's
  // own (randomised) choice is taken.
  bool bound = false;
  for (int attempt = 0; attempt < 8 && !bound; ++attempt) {
    const uint16_t port = static_cast<uint16_t>(1024 + random_u16() % (65536 - 1024));
    if (port == avoid_port_) continue;
    local.sin_port = htons(port);
    bound = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  if (!bound) {
    local.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      return source;
    }
  }
  source.fd = fd;
  source.serial = next_serial_++;
  source.since = now;
  return source;
}

bool Forwarder::open_sockets(uint16_t avoid_port) {
  close_sockets();
  avoid_port_ = avoid_port;
  const std::time_t now = std::time(nullptr);
  for (size_t i = 0; i < kSourceSockets; ++i) {
    SourceSocket source = open_source_socket(now);
    if (source.fd >= 0) sources_.push_back(source);
  }
  return !sources_.empty();
}

void Forwarder::close_sockets() {
  for (SourceSocket& source : sources_) close(source.fd);
  for (SourceSocket& source : retired_) close(source.fd);
  sources_.clear();
  retired_.clear();
}

std::vector<int> Forwarder::reply_sockets() const {
  std::vector<int> out;
  out.reserve(sources_.size() + retired_.size());
  for (const SourceSocket& source : sources_) out.push_back(source.fd);
  for (const SourceSocket& source : retired_) out.push_back(source.fd);
  return out;
}

void Forwarder::close_retired(std::time_t now) {
  size_t kept = 0;
  for (SourceSocket& source : retired_) {
    if (source.since + kPendingSeconds < now)
      close(source.fd);
    else
      retired_[kept++] = source;
  }
  retired_.resize(kept);
}

Forwarder::SourceSocket* Forwarder::pick_source_socket(std::time_t now) {
  if (sources_.empty()) return nullptr;
  SourceSocket& source = sources_[random_u16() % sources_.size()];
  const bool due = source.uses >= kSocketUses || now - source.since >= kSocketSeconds;
  if (due && retired_.size() < kMaxRetiredSockets) {
    SourceSocket fresh = open_source_socket(now);
    // When no new socket can be had, the old one serves on.
    if (fresh.fd >= 0) {
      source.since = now;
      retired_.push_back(source);
      source = fresh;
    }
  }
  return &source;
}

uint16_t Forwarder::fresh_id(uint32_t server, uint16_t port) {
  // At most kMaxPending of the 65,536 ids are taken, so this ends quickly.
  for (;;) {
    const uint16_t id = random_u16();
    if (!pending_.contains(key(server, port, id))) return id;
  }
}

bool Forwarder::PendingTable::contains(uint64_t key) const {
  std::lock_guard<std::mutex> guard(lock_);
  return by_key_.find(key) != by_key_.end();
}

void Forwarder::PendingTable::insert(Pending request) {
  const uint64_t request_key = key(request.server, request.port, request.server_xid);
  std::lock_guard<std::mutex> guard(lock_);
  if (list_.size() >= kMaxPending) drop_locked(std::prev(list_.end()));
  // An id still pending at the same server is never handed out again, but a
  // stale entry under the key must not be left behind a new one.
  if (const auto found = by_key_.find(request_key); found != by_key_.end())
    drop_locked(found->second);
  list_.push_front(std::move(request));
  by_key_[request_key] = list_.begin();
}

std::optional<Forwarder::Pending> Forwarder::PendingTable::take_match(
    uint64_t key, uint64_t source, const std::vector<uint8_t>& question) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto found = by_key_.find(key);
  if (found == by_key_.end()) return std::nullopt;
  if (found->second->source != source || found->second->question != question) return std::nullopt;
  Pending request = std::move(*found->second);
  drop_locked(found->second);
  return request;
}

void Forwarder::PendingTable::purge(std::time_t oldest) {
  std::lock_guard<std::mutex> guard(lock_);
  while (!list_.empty() && list_.back().forwarded_at < oldest) drop_locked(std::prev(list_.end()));
}

size_t Forwarder::PendingTable::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return list_.size();
}

void Forwarder::PendingTable::drop_locked(PendingList::iterator position) {
  by_key_.erase(key(position->server, position->port, position->server_xid));
  list_.erase(position);
}

uint32_t Forwarder::peek_name_server(uint16_t& port) const {
  const auto servers = engine_.settings.external_servers.get();
  if (servers->empty()) return 0;
  const uint32_t index = next_index_.load();
  const ExternalServer& server = (*servers)[index < servers->size() ? index : 0];
  port = server.port;
  return server.address;
}

uint32_t Forwarder::next_name_server(uint16_t& port) {
  const auto servers = engine_.settings.external_servers.get();
  if (servers->empty()) return 0;
  uint32_t index = next_index_.load();
  uint32_t chosen;
  do {
    chosen = index < servers->size() ? index : 0;
  } while (!next_index_.compare_exchange_weak(index, chosen + 1));
  port = (*servers)[chosen].port;
  return (*servers)[chosen].address;
}

int Forwarder::forward_udp(const RequestContext& context, std::span<uint8_t> datagram) {
  uint16_t port = 0;
  const uint32_t server = next_name_server(port);
  if (server == 0 || datagram.size() < DnsHeader::kSize) return 0;
  const std::time_t now = std::time(nullptr);
  SourceSocket* source = pick_source_socket(now);
  if (source == nullptr) return 0;
  ++source->uses;
  Pending request;
  request.server = server;
  request.port = port;
  request.client_xid = read_u16(datagram.data());
  request.server_xid = fresh_id(server, port);
  request.client_socket = context.socket;
  request.client = context.client_address;
  request.forwarded_at = now;
  request.source = source->serial;
  request.question = question_section(datagram);
  write_u16(datagram.data(), request.server_xid);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = server;
  to.sin_port = htons(port);
  const ssize_t sent = sendto(source->fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                              reinterpret_cast<sockaddr*>(&to), sizeof to);
  // The client's datagram stays as it came in (callers may log or reuse it).
  write_u16(datagram.data(), request.client_xid);
  if (sent < 1) {
    char address[kIpv4TextSize];
    engine_.log.write(2, "udp forwarding request failed %s %d\n", format_ipv4(server, address),
                      static_cast<int>(sent));
    return static_cast<int>(sent);
  }
  pending_.insert(std::move(request));
  return static_cast<int>(sent);
}

void Forwarder::purge_pending(std::time_t now) { pending_.purge(now - kPendingSeconds); }

bool Forwarder::relay_udp_reply(int socket) {
  uint8_t reply[1536];
  sockaddr_in from{};
  socklen_t from_length = sizeof from;
  const ssize_t received = recvfrom(socket, reply, sizeof reply, MSG_DONTWAIT | MSG_TRUNC,
                                    reinterpret_cast<sockaddr*>(&from), &from_length);
  if (received < 0) return false;
  // A reply larger than the buffer cannot be relayed whole.
  if (static_cast<size_t>(received) > sizeof reply || received < 2) return true;
  const size_t length = static_cast<size_t>(received);
  const uint16_t id = read_u16(reply);
  char sender[kIpv4TextSize];
  engine_.log.write(2, "%s udp reply received len %d xid %u\n",
                    format_ipv4(from.sin_addr.s_addr, sender), static_cast<int>(length),
                    unsigned{id});
  // The reply must come in on the socket the query left from.
  uint64_t arrived_on = 0;
  for (const auto* list : {&sources_, &retired_}) {
    for (const SourceSocket& source : *list) {
      if (source.fd == socket) arrived_on = source.serial;
    }
  }
  const std::span<uint8_t> message(reply, length);
  if (arrived_on == 0 || length < DnsHeader::kSize || !(read_u16(reply + 2) & kFlagQr)) return true;
  // Only the reply to the question that was asked is taken; a forged reply
  // that guessed address, port and id still has to name the same question.
  std::optional<Pending> matched = pending_.take_match(
      key(from.sin_addr.s_addr, ntohs(from.sin_port), id), arrived_on, question_section(message));
  if (!matched) return true;
  const Pending& request = *matched;

  write_u16(reply, request.client_xid);
  // The domain is read first: the cache must not wait for the database lock.
  std::string local_domain;
  { local_domain = engine_.zone.hold().domain(); }
  engine_.cache.cache_learn_reply(message, local_domain);
  const ssize_t sent =
      sendto(request.client_socket, reply, length, MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&request.client), sizeof request.client);
  char client[kIpv4TextSize];
  if (sent < 0) {
    engine_.log.write(2, "%s udp forwarding reply failed %d\n", sender, static_cast<int>(sent));
  } else {
    engine_.log.write(2, "%s udp reply forwarded len %u xid %u\n",
                      format_ipv4(request.client.sin_addr.s_addr, client),
                      static_cast<unsigned>(sent), unsigned{request.client_xid});
  }
  return true;
}

}  // namespace norvane
