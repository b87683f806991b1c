// Forwarding to the external name servers.
#include "runtime/forwarding.h"

#include <arpa/inet.h>
#include <sys/random.h>
#include <sys/socket.h>

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

uint16_t Forwarder::fresh_id(uint32_t server, uint16_t port) {
  std::lock_guard<std::mutex> guard(id_lock_);
  for (;;) {
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
    const uint16_t id = random_pool_.back();
    random_pool_.pop_back();
    if (by_key_.find(key(server, port, id)) == by_key_.end()) return id;
  }
}

int Forwarder::forward_udp(int forward_socket, const RequestContext& context,
                           std::span<uint8_t> datagram) {
  uint16_t port = 0;
  const uint32_t server = next_name_server(port);
  if (server == 0 || datagram.size() < DnsHeader::kSize) return 0;
  Pending request;
  request.server = server;
  request.port = port;
  request.client_xid = read_u16(datagram.data());
  request.server_xid = fresh_id(server, port);
  request.client_socket = context.socket;
  request.client = context.client_address;
  request.forwarded_at = std::time(nullptr);
  request.question = question_section(datagram);
  write_u16(datagram.data(), request.server_xid);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = server;
  to.sin_port = htons(port);
  const ssize_t sent = sendto(forward_socket, datagram.data(), datagram.size(), MSG_NOSIGNAL,
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
  by_key_[key(server, port, pending_.front().server_xid)] = pending_.begin();
  return static_cast<int>(sent);
}

void Forwarder::drop(PendingList::iterator position) {
  by_key_.erase(key(position->server, position->port, position->server_xid));
  pending_.erase(position);
}

void Forwarder::purge_pending(std::time_t now) {
  while (!pending_.empty() && pending_.back().forwarded_at + kPendingSeconds < now)
    drop(std::prev(pending_.end()));
}

bool Forwarder::relay_udp_reply(int forward_socket) {
  uint8_t reply[1536];
  sockaddr_in from{};
  socklen_t from_length = sizeof from;
  const ssize_t received = recvfrom(forward_socket, reply, sizeof reply, MSG_DONTWAIT | MSG_TRUNC,
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
  auto found = by_key_.find(key(from.sin_addr.s_addr, ntohs(from.sin_port), id));
  if (found == by_key_.end()) return true;
  const std::span<uint8_t> message(reply, length);
  // Only the reply to the question that was asked is taken; a forged reply
  // that guessed address, port and id still has to name the same question.
  if (length < DnsHeader::kSize || !(read_u16(reply + 2) & kFlagQr) ||
      question_section(message) != found->second->question)
    return true;
  Pending request = std::move(*found->second);
  drop(found->second);

  write_u16(reply, request.client_xid);
  engine_.cache.cache_learn_reply(message);
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
