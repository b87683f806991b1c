// Forwarding of queries for names outside the local domain to the external
// name servers, and the relaying of their replies. Thread-safety: the pending
// list, the source sockets and the UDP relay belong to the listener thread;
// the server choice and id generation may be used from connection threads
// too and are guarded.
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

  // Forwarded UDP queries leave from a pool of sockets bound to random
  // ports, so a forger has to guess the port as well as the id (RFC 5452
  // section 9.2). A socket is re-opened on a new random port once it has
  // carried kSocketUses queries or is kSocketSeconds old; the old one stays
  // open until the replies it may still get are too late, as long as no more
  // than kMaxRetiredSockets wait so (beyond that, sockets are kept longer).
  static constexpr size_t kSourceSockets = 32;
  static constexpr uint32_t kSocketUses = 256;
  static constexpr std::time_t kSocketSeconds = 60;
  static constexpr size_t kMaxRetiredSockets = 64;

  explicit Forwarder(Engine& engine);
  ~Forwarder();
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  // Listener thread. Opens the source sockets on random ports, never on
  // `avoid_port` (the server's own). Returns whether at least one opened.
  bool open_sockets(uint16_t avoid_port);
  // Closes every source socket, retired ones included.
  void close_sockets();
  // The descriptors on which replies may arrive, for the listener to poll.
  std::vector<int> reply_sockets() const;
  // Closes retired sockets whose requests are older than kPendingSeconds.
  void close_retired(std::time_t now);

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
  // id) from a source socket chosen at random to the next server and
  // remembers the request with its question. Returns the send result (0 when
  // no server is configured or no source socket is open).
  int forward_udp(const RequestContext& context, std::span<uint8_t> datagram);
  // Receives one reply on `socket` (one of reply_sockets()) and, when its
  // source address and port, id and question all match a pending request
  // sent from that socket, learns it into the cache, puts the client's id
  // back and sends it to the client. Anything else is dropped. Returns
  // whether a datagram was received.
  bool relay_udp_reply(int socket);
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
    // The source socket the request left from (its serial, which is never
    // reused, unlike a descriptor number).
    uint64_t source = 0;
    // The question section as sent, compared byte for byte with the reply's
    // (names without regard to ASCII case).
    std::vector<uint8_t> question;
  };
  using PendingList = std::list<Pending>;

  static uint64_t key(uint32_t server, uint16_t port, uint16_t id) {
    return (uint64_t{server} << 32) | (uint64_t{port} << 16) | id;
  }
  struct SourceSocket {
    int fd = -1;
    uint64_t serial = 0;
    uint32_t uses = 0;
    // Opened at (in the pool) or retired at (waiting for late replies).
    std::time_t since = 0;
  };

  void drop(PendingList::iterator position);
  // A random number from the kernel's generator.
  uint16_t random_u16();
  // A fresh non-blocking socket on a random port; fd -1 on failure.
  SourceSocket open_source_socket(std::time_t now);
  // The pool socket for the next query, re-opened first when it is due.
  SourceSocket* pick_source_socket(std::time_t now);

  Engine& engine_;
  std::atomic<uint32_t> next_index_{0};
  std::mutex id_lock_;
  std::vector<uint16_t> random_pool_;
  uint16_t avoid_port_ = 0;
  uint64_t next_serial_ = 1;
  std::vector<SourceSocket> sources_;
  // Oldest first.
  std::vector<SourceSocket> retired_;
  // Newest first; the map finds an entry by server, port and id.
  PendingList pending_;
  std::unordered_map<uint64_t, PendingList::iterator> by_key_;
};

// The question section of `message` (QDCOUNT questions behind the header),
// with names lowered, or empty when it cannot be read.
std::vector<uint8_t> question_section(std::span<const uint8_t> message);

}  // namespace norvane
