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

namespace norvane {

std::vector<uint8_t> question_section(std::span<const uint8_t> message) {
  std::vector<uint8_t> out;
  DnsHeader header;
  if (!DnsHeader::read(message, header)) return out;
  size_t at = DnsHeader::kSize;
  for (int i = 0; i < header.qdcount; ++i) {
    char text[kNameBufferSize];
    at = decode_name(message.data(), message.size(), at, text, sizeof text);
    if (at > message.size() || message.size() - at < 4) return {};
    out.insert(out.end(), text, text + std::strlen(text) + 1);
    out.insert(out.end(), message.begin() + static_cast<std::ptrdiff_t>(at),
               message.begin() + static_cast<std::ptrdiff_t>(at + 4));
    at += 4;
  }
  return out;
}

Forwarder::Forwarder(Engine& engine) : engine_(engine) {}

Forwarder::~Forwarder() { close_sockets(); }

uint16_t Forwarder::random_u16() {
  std::lock_guard<std::mutex> guard(id_lock_);
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
  for (;;) {
    const uint16_t id = random_u16();
    std::lock_guard<std::mutex> guard(id_lock_);
    if (by_key_.find(key(server, port, id)) == by_key_.end()) return id;
  }
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
  if (pending_.size() >= kMaxPending) drop(std::prev(pending_.end()));
  pending_.push_front(std::move(request));
  // fresh_id reads the map from connection threads.
  std::lock_guard<std::mutex> guard(id_lock_);
  by_key_[key(server, port, pending_.front().server_xid)] = pending_.begin();
  return static_cast<int>(sent);
}

void Forwarder::drop(PendingList::iterator position) {
  std::lock_guard<std::mutex> guard(id_lock_);
  by_key_.erase(key(position->server, position->port, position->server_xid));
  pending_.erase(position);
}

void Forwarder::purge_pending(std::time_t now) {
  while (!pending_.empty() && pending_.back().forwarded_at + kPendingSeconds < now)
    drop(std::prev(pending_.end()));
}

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
  // Read on the listener thread, the map's only writer: no lock needed.
  auto found = by_key_.find(key(from.sin_addr.s_addr, ntohs(from.sin_port), id));
  if (found == by_key_.end()) return true;
  // The reply must come in on the socket the query left from.
  uint64_t arrived_on = 0;
  for (const auto* list : {&sources_, &retired_}) {
    for (const SourceSocket& source : *list) {
      if (source.fd == socket) arrived_on = source.serial;
    }
  }
  if (arrived_on == 0 || arrived_on != found->second->source) return true;
  const std::span<uint8_t> message(reply, length);
  // Only the reply to the question that was asked is taken; a forged reply
  // that guessed address, port and id still has to name the same question.
  if (length < DnsHeader::kSize || !(read_u16(reply + 2) & kFlagQr) ||
      question_section(message) != found->second->question)
    return true;
  Pending request = std::move(*found->second);
  drop(found->second);

  write_u16(reply, request.client_xid);
  // The domain is read first: the cache must not wait for the database lock.
  std::string local_domain;
  { local_domain = engine_.zone.hold().domain(); }
  engine_.cache.cache_learn_reply(message, local_domain);
  const ssize_t sent = sendto(request.client_socket, reply, length, MSG_NOSIGNAL,
                              reinterpret_cast<sockaddr*>(&request.client), sizeof request.client);
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
