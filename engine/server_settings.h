// The engine's in-memory settings and the state of one request. Settings are
// written at start and by administrators; serving threads read the fields
// without a lock, so each is an atomic or is replaced only while no request is
// served.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "engine/snapshot.h"

namespace norvane {

inline constexpr int kMaxExternalServers = 4;
inline constexpr int kMaxRoutes = 64;
// Defaults of the transfer bounds: room for a zone of a million records
// twice over, and for its messages even with long, uncompressed names.
inline constexpr uint32_t kDefaultTransferMaxRecords = 2'000'000;
inline constexpr uint32_t kDefaultTransferMaxBytes = 256u * 1024 * 1024;

// An external name server that queries are forwarded to.
struct ExternalServer {
  uint32_t address = 0;  // network order
  uint16_t port = 53;
};

// A static route: destination and mask, network order.
struct Route {
  uint32_t destination = 0;
  uint32_t mask = 0;
};

struct ServerSettings {
  std::atomic<uint32_t> create_log{0};
  std::atomic<uint32_t> access_control{0};
  std::atomic<uint32_t> network_configuration{0};
  std::atomic<uint32_t> auto_dns{0};
  std::atomic<uint32_t> auto_interfaces{1};
  std::atomic<uint32_t> server_ttl{0};
  std::atomic<uint32_t> client_ttl{4294967295u};
  std::atomic<uint32_t> cache_entries{1024};
  std::atomic<uint32_t> cache_dump{0};
  std::atomic<uint32_t> port{53};
  // Primary server (network order), 0 when this server is not a secondary.
  std::atomic<uint32_t> primary{0};
  std::atomic<uint32_t> gateway{0};
  // Bounds on one incoming zone transfer: answer records received and bytes
  // of reply messages. A transfer that passes either is abandoned, so a
  // primary that never sends the closing SOA cannot take all memory.
  std::atomic<uint32_t> transfer_max_records{kDefaultTransferMaxRecords};
  std::atomic<uint32_t> transfer_max_bytes{kDefaultTransferMaxBytes};
  // At most four, in the order they are tried.
  Snapshot<std::vector<ExternalServer>> external_servers;
  // At most 64.
  Snapshot<std::vector<Route>> routes;
  // Folder of the zone file, the cache dump and the log files.
  Snapshot<std::string> data_directory;
};

// One received request: the client, the transport and the external name
// server chosen to forward it to.
struct RequestContext {
  int socket = -1;
  int upstream = -1;
  // TCP: the length announced by the request's prefix; UDP: 0. Non-zero marks
  // a TCP request.
  uint32_t request_length = 0;
  uint32_t relay_remaining = 0;
  uint16_t client_xid = 0;
  uint16_t server_xid = 0;
  int client_address_length = sizeof(sockaddr_in);
  sockaddr_in client_address{};
  // External name server for this request (network order), 0 when none.
  uint32_t server_address = 0;
  uint16_t server_port = 0;
  std::time_t forwarded_at = 0;

  bool tcp() const { return request_length != 0; }
  uint32_t client_ipv4() const { return client_address.sin_addr.s_addr; }
};

}  // namespace norvane
