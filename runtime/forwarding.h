// Forwarding of queries for names outside the local domain to the external
// name servers, and the relaying of their replies. Thread-safety: the pending
// list and the UDP relay belong to the listener thread; the server choice and
// id generation may be used from connection threads too and are guarded.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <list>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/engine.h"

namespace norvane {

class Forwarder {
 public:
  // Requests older than this get no reply relayed.
  static constexpr std::time_t kPendingSeconds = 10;
  // A flood of queries towards a dead server must not exhaust memory: beyond
  // this many pending requests the oldest is dropped.
  static constexpr size_t kMaxPending = 4096;

  explicit Forwarder(Engine& engine);
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  // The server the next request would go to, without moving on (address 0
  // when none is configured). Fills `port`.
  uint32_t peek_name_server(uint16_t& port) const;
  // The server for a new forwarded request, round robin over the list in
  // its order; 0 when the list is empty.
  uint32_t next_name_server(uint16_t& port);

  // A fresh forwarding id for a request to `server`: random (RFC 5452
  // section 9.2 — a predictable id lets an off-path attacker forge replies)
  // and unique among the requests pending at that server.
  uint16_t fresh_id(uint32_t server, uint16_t port);

  // UDP, listener thread only. Sends `datagram` (patched in place: a fresh
  // id) from the forwarding socket `forward_socket` to the next server and
  // remembers the request with its question. Returns the send result.
  int forward_udp(int forward_socket, const RequestContext& context,
                  std::span<uint8_t> datagram);
  // Receives one reply on the forwarding socket and, when its source address
  // and port, id and question all match a pending request, learns it into
  // the cache, puts the client's id back and sends it to the client. Anything
  // else is dropped. Returns whether a datagram was received.
  bool relay_udp_reply(int forward_socket);
  // Drops pending requests older than kPendingSeconds.
  void purge_pending(std::time_t now);
  size_t pending_count() const { return pending_.size(); }

 private:
  struct Pending {
    uint32_t server = 0;
    uint16_t port = 0;
    uint16_t server_xid = 0;
    uint16_t client_xid = 0;
    int client_socket = -1;
    sockaddr_in client{};
    std::time_t forwarded_at = 0;
    // The question section as sent, compared byte for byte with the reply's
    // (names without regard to ASCII case).
    std::vector<uint8_t> question;
  };
  using PendingList = std::list<Pending>;

  static uint64_t key(uint32_t server, uint16_t port, uint16_t id) {
    return (uint64_t{server} << 32) | (uint64_t{port} << 16) | id;
  }
  void drop(PendingList::iterator position);

  Engine& engine_;
  std::atomic<uint32_t> next_index_{0};
  std::mutex id_lock_;
  std::vector<uint16_t> random_pool_;
  // Newest first; the map finds an entry by server, port and id.
  PendingList pending_;
  std::unordered_map<uint64_t, PendingList::iterator> by_key_;
};

// The question section of `message` (QDCOUNT questions behind the header),
// with names lowered, or empty when it cannot be read.
std::vector<uint8_t> question_section(std::span<const uint8_t> message);

}  // namespace norvane
