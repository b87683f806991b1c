// Route changes over rtnetlink (RFC 3549) on the main IPv4 table, and the
// interface lookup over getifaddrs. Each call opens its own netlink socket,
// so calls share nothing; two concurrent calls could still interleave their
// changes to the kernel's table, which is why callers serialise them.
#include "service/routes.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace norvane {
namespace {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// An answer that does not come within this time means the kernel is not
// answering at all; the call fails rather than blocking the control channel.
constexpr int kReplyTimeoutSeconds = 5;
// A dump that a concurrent table change interrupted is read again this often
// before the call gives up.
constexpr int kDumpAttempts = 3;
// Large enough for any single datagram of a route dump; a larger one is
// reported as truncated and fails the call.
constexpr size_t kReceiveBufferSize = 64 * 1024;
// Next-hop flags that a route may be created with. The kernel reports state
// flags (dead, link down, offloaded) in dumps but refuses them on creation.
constexpr uint32_t kCreatableNextHopFlags = RTNH_F_ONLINK | RTNH_F_PERVASIVE;

// One route of the main table as the kernel listed it: its header and its
// attributes, kept so that it can be named exactly for deletion and, when a
// later step fails, created again.
struct RouteRow {
  rtmsg header{};
  std::vector<std::pair<uint16_t, Bytes>> attributes;
};

// Reads a plain structure from the front of `bytes`. Kernel messages carry no
// alignment promise for our types, so fields are copied rather than cast.
template <typename T>
std::optional<T> read_struct(ByteView bytes) {
  if (bytes.size() < sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, bytes.data(), sizeof(T));
  return value;
}

// Calls `visit(type, payload)` for every attribute in `bytes`. Returns false
// when an attribute's length runs outside `bytes` or is shorter than its
// own header.
template <typename Visit>
bool for_each_attribute(ByteView bytes, Visit&& visit) {
  while (bytes.size() >= sizeof(rtattr)) {
    const rtattr attribute = *read_struct<rtattr>(bytes);
    if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > bytes.size()) return false;
    visit(attribute.rta_type, bytes.subspan(RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0)));
    const size_t step = RTA_ALIGN(attribute.rta_len);
    if (step >= bytes.size()) return true;
    bytes = bytes.subspan(step);
  }
  return true;
}

// A request being built: a netlink header, a fixed header and attributes,
// each aligned as the kernel expects.
class NetlinkRequest {
 public:
  template <typename Fixed>
  NetlinkRequest(uint16_t type, uint16_t flags, const Fixed& fixed) {
    nlmsghdr header{};
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    append(&header, sizeof(header));
    append(&fixed, sizeof(fixed));
  }

  void add(uint16_t type, ByteView payload) {
    rtattr attribute{};
    attribute.rta_type = type;
    attribute.rta_len = static_cast<uint16_t>(RTA_LENGTH(payload.size()));
    append(&attribute, sizeof(attribute));
    append(payload.data(), payload.size());
  }

  void add_u32(uint16_t type, uint32_t value) {
    add(type, ByteView(reinterpret_cast<const uint8_t*>(&value), sizeof(value)));
  }

  // The finished message with its length and sequence number filled in.
  const Bytes& finish(uint32_t sequence) {
    nlmsghdr header = *read_struct<nlmsghdr>(bytes_);
    header.nlmsg_len = static_cast<uint32_t>(bytes_.size());
    header.nlmsg_seq = sequence;
    std::memcpy(bytes_.data(), &header, sizeof(header));
    return bytes_;
  }

 private:
  void append(const void* data, size_t size) {
    const auto* first = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), first, first + size);
    bytes_.resize(NLMSG_ALIGN(bytes_.size()), 0);
  }

  Bytes bytes_;
};

// A NETLINK_ROUTE socket that closes itself. Every receive is bounded by
// kReplyTimeoutSeconds.
class RouteSocket {
 public:
  RouteSocket() {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0) return;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    timeval timeout{};
    timeout.tv_sec = kReplyTimeoutSeconds;
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  RouteSocket(const RouteSocket&) = delete;
  RouteSocket& operator=(const RouteSocket&) = delete;
  ~RouteSocket() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool valid() const { return fd_ >= 0; }

  // Sends `request` with a fresh sequence number; returns that number, or
  // nullopt when the kernel did not take the whole message.
  std::optional<uint32_t> send(NetlinkRequest& request) {
    const uint32_t sequence = ++sequence_;
    const Bytes& bytes = request.finish(sequence);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel));
    if (sent < 0 || static_cast<size_t>(sent) != bytes.size()) return std::nullopt;
    return sequence;
  }

  // Receives one datagram into the buffer; returns its bytes, or nullopt on a
  // timeout, an error or a truncated datagram.
  std::optional<ByteView> receive() {
    buffer_.resize(kReceiveBufferSize);
    for (;;) {
      iovec vector{buffer_.data(), buffer_.size()};
      sockaddr_nl sender{};
      msghdr message{};
      message.msg_name = &sender;
      message.msg_namelen = sizeof(sender);
      message.msg_iov = &vector;
      message.msg_iovlen = 1;
      const ssize_t received = ::recvmsg(fd_, &message, 0);
      if (received < 0 && errno == EINTR) continue;
      if (received <= 0 || (message.msg_flags & MSG_TRUNC) != 0) return std::nullopt;
      // Only the kernel (port 0) speaks for the routing table.
      if (sender.nl_pid != 0) continue;
      return ByteView(buffer_.data(), static_cast<size_t>(received));
    }
  }

  // Sends a request that asks for an acknowledgement and waits for it.
  // Returns 0 when the kernel carried it out, else the (positive) errno.
  int execute(NetlinkRequest& request) {
    const std::optional<uint32_t> sequence = send(request);
    if (!sequence) return EIO;
    for (;;) {
      const std::optional<ByteView> datagram = receive();
      if (!datagram) return ETIMEDOUT;
      std::optional<int> outcome;
      const bool well_formed =
          for_each_message(*datagram, [&](const nlmsghdr& header, ByteView body) {
            if (header.nlmsg_seq != *sequence || header.nlmsg_type != NLMSG_ERROR) return;
            const std::optional<nlmsgerr> error = read_struct<nlmsgerr>(body);
            outcome = error ? -error->error : EIO;
          });
      if (!well_formed) return EIO;
      if (outcome) return *outcome;
    }
  }

  // Calls `visit(header, body)` for every message in `datagram`. Returns
  // false when a message's length runs outside the datagram.
  template <typename Visit>
  static bool for_each_message(ByteView datagram, Visit&& visit) {
    while (datagram.size() >= sizeof(nlmsghdr)) {
      const nlmsghdr header = *read_struct<nlmsghdr>(datagram);
      if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size()) {
        return false;
      }
      visit(header, datagram.subspan(NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN));
      const size_t step = NLMSG_ALIGN(header.nlmsg_len);
      if (step >= datagram.size()) return true;
      datagram = datagram.subspan(step);
    }
    return true;
  }

 private:
  int fd_ = -1;
  uint32_t sequence_ = 0;
  Bytes buffer_;
};

// The route in `body` when it is an IPv4 route of the main table to
// `destination` (network byte order); nullopt for any other route.
std::optional<RouteRow> main_table_route_to(ByteView body, uint32_t destination) {
  // NLMSG_ALIGN(sizeof(rtmsg)) == sizeof(rtmsg), so a body that holds the
  // header also holds the start of its attributes.
  static_assert(NLMSG_ALIGN(sizeof(rtmsg)) == sizeof(rtmsg));
  const std::optional<rtmsg> header = read_struct<rtmsg>(body);
  if (!header || header->rtm_family != AF_INET) return std::nullopt;
  // Cached routes are copies the kernel made on its own, not table entries.
  if ((header->rtm_flags & RTM_F_CLONED) != 0) return std::nullopt;
  RouteRow row;
  row.header = *header;
  uint32_t table = header->rtm_table;
  uint32_t route_destination = 0;  // no RTA_DST: the default route
  const bool well_formed = for_each_attribute(
      body.subspan(NLMSG_ALIGN(sizeof(rtmsg))), [&](uint16_t type, ByteView payload) {
        if (type == RTA_TABLE && payload.size() >= 4) {
          std::memcpy(&table, payload.data(), 4);
        } else if (type == RTA_DST && payload.size() >= 4) {
          std::memcpy(&route_destination, payload.data(), 4);
        }
        row.attributes.emplace_back(type, Bytes(payload.begin(), payload.end()));
      });
  if (!well_formed || table != RT_TABLE_MAIN || route_destination != destination) {
    return std::nullopt;
  }
  return row;
}

// Lists the main table's IPv4 routes to `destination`, in table order.
// nullopt when the table cannot be read completely.
std::optional<std::vector<RouteRow>> routes_to(RouteSocket& socket, uint32_t destination) {
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    rtmsg filter{};
    filter.rtm_family = AF_INET;
    NetlinkRequest request(RTM_GETROUTE, NLM_F_REQUEST | NLM_F_DUMP, filter);
    const std::optional<uint32_t> sequence = socket.send(request);
    if (!sequence) return std::nullopt;

    std::vector<RouteRow> rows;
    bool done = false;
    bool failed = false;
    bool interrupted = false;
    while (!done && !failed) {
      const std::optional<ByteView> datagram = socket.receive();
      if (!datagram) return std::nullopt;
      const bool well_formed =
          RouteSocket::for_each_message(*datagram, [&](const nlmsghdr& header, ByteView body) {
            if (done || failed || header.nlmsg_seq != *sequence) return;
            if ((header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) interrupted = true;
            if (header.nlmsg_type == NLMSG_DONE) {
              // The kernel puts the dump's own error code in the DONE message.
              const std::optional<int> status = read_struct<int>(body);
              failed = status && *status < 0;
              done = true;
            } else if (header.nlmsg_type == NLMSG_ERROR) {
              failed = true;
            } else if (header.nlmsg_type == RTM_NEWROUTE) {
              if (std::optional<RouteRow> row = main_table_route_to(body, destination)) {
                rows.push_back(std::move(*row));
              }
            }
          });
      if (!well_formed) return std::nullopt;
    }
    if (failed) return std::nullopt;
    if (!interrupted) return rows;
  }
  return std::nullopt;
}

// A copy of a multipath attribute's next hops with the state flags cleared,
// so that the kernel takes it on creation. The nested attributes stay as
// they are.
Bytes creatable_next_hops(ByteView next_hops) {
  Bytes copy(next_hops.begin(), next_hops.end());
  size_t offset = 0;
  while (copy.size() - offset >= sizeof(rtnexthop)) {
    rtnexthop hop = *read_struct<rtnexthop>(ByteView(copy).subspan(offset));
    if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > copy.size() - offset) break;
    hop.rtnh_flags &= kCreatableNextHopFlags;
    std::memcpy(copy.data() + offset, &hop, sizeof(hop));
    offset += RTNH_ALIGN(hop.rtnh_len);
  }
  return copy;
}

// Whether an attribute names the route exactly enough to delete that one
// route and no other: destination, table, metric and next hops.
bool identifies_route(uint16_t type) {
  switch (type) {
    case RTA_DST:
    case RTA_TABLE:
    case RTA_PRIORITY:
    case RTA_GATEWAY:
    case RTA_VIA:
    case RTA_OIF:
    case RTA_PREFSRC:
    case RTA_MULTIPATH:
    case RTA_NH_ID:
    case RTA_FLOW:
    case RTA_ENCAP_TYPE:
    case RTA_ENCAP:
      return true;
    default:
      return false;
  }
}

// Deletes `row` as it was read. Returns 0 or the kernel's errno.
int delete_route(RouteSocket& socket, const RouteRow& row) {
  rtmsg header = row.header;
  header.rtm_flags = 0;
  NetlinkRequest request(RTM_DELROUTE, NLM_F_REQUEST | NLM_F_ACK, header);
  for (const auto& [type, payload] : row.attributes) {
    if (identifies_route(type)) request.add(type, payload);
  }
  return socket.execute(request);
}

// Creates `row` again after it was deleted. Appending keeps several routes
// of equal metric side by side as they were; an identical route that is
// already there again counts as restored. Returns 0 or the kernel's errno.
int restore_route(RouteSocket& socket, const RouteRow& row) {
  rtmsg header = row.header;
  header.rtm_flags &= kCreatableNextHopFlags;
  NetlinkRequest request(RTM_NEWROUTE, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_APPEND,
                         header);
  for (const auto& [type, payload] : row.attributes) {
    if (type == RTA_MULTIPATH) {
      request.add(type, creatable_next_hops(payload));
    } else if (identifies_route(type) || type == RTA_METRICS) {
      request.add(type, payload);
    }
  }
  const int error = socket.execute(request);
  return error == EEXIST ? 0 : error;
}

// Puts back the routes of `rows` that were deleted, in their table order.
// Best effort: a route the kernel no longer takes is left out.
void restore_routes(RouteSocket& socket, std::span<const RouteRow> rows) {
  for (const RouteRow& row : rows) restore_route(socket, row);
}

// The prefix length of `mask` (network byte order) when it is a run of
// leading ones, else nullopt.
std::optional<uint8_t> prefix_length(uint32_t mask) {
  const uint32_t host_order = ntohl(mask);
  const uint32_t inverted = ~host_order;
  if ((inverted & (inverted + 1)) != 0) return std::nullopt;
  return static_cast<uint8_t>(std::popcount(host_order));
}

// Adds destination/prefix via `gateway` on `interface_index`, protocol
// static, metric kRouteMetric. Returns 0 or the kernel's errno.
int create_route(RouteSocket& socket, uint32_t destination, uint8_t prefix, uint32_t gateway,
                 uint32_t interface_index) {
  rtmsg header{};
  header.rtm_family = AF_INET;
  header.rtm_dst_len = prefix;
  header.rtm_table = RT_TABLE_MAIN;
  header.rtm_protocol = RTPROT_STATIC;
  header.rtm_scope = RT_SCOPE_UNIVERSE;
  header.rtm_type = RTN_UNICAST;
  // EXCL: every route to the destination was deleted just before, so one
  // that is there now was added behind our back and is not ours to replace.
  NetlinkRequest request(RTM_NEWROUTE, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL,
                         header);
  request.add_u32(RTA_TABLE, RT_TABLE_MAIN);
  if (prefix > 0) request.add_u32(RTA_DST, destination);
  request.add_u32(RTA_GATEWAY, gateway);
  request.add_u32(RTA_OIF, interface_index);
  request.add_u32(RTA_PRIORITY, kRouteMetric);
  return socket.execute(request);
}

// The index of the interface named `name`. getifaddrs names an address by
// its label, which for an alias address is "eth0:1"; the interface is then
// the part before the colon.
uint32_t index_of_interface(const char* name) {
  if (name == nullptr) return 0;
  if (const unsigned index = ::if_nametoindex(name); index != 0) return index;
  const std::string label(name);
  const size_t colon = label.find(':');
  if (colon == std::string::npos || colon == 0) return 0;
  return ::if_nametoindex(label.substr(0, colon).c_str());
}

}  // namespace

uint32_t interface_for_gateway(uint32_t gateway) {
  ifaddrs* addresses = nullptr;
  if (::getifaddrs(&addresses) != 0) return 0;
  uint32_t found = 0;
  for (const ifaddrs* entry = addresses; entry != nullptr && found == 0; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr ||
        entry->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    sockaddr_in address{};
    sockaddr_in netmask{};
    std::memcpy(&address, entry->ifa_addr, sizeof(address));
    std::memcpy(&netmask, entry->ifa_netmask, sizeof(netmask));
    const uint32_t local = address.sin_addr.s_addr;
    const uint32_t mask = netmask.sin_addr.s_addr;
    if (local == 0 || (local & mask) != (gateway & mask)) continue;
    // An address whose interface vanished since the list was read cannot
    // carry the route; a later address still may.
    found = index_of_interface(entry->ifa_name);
  }
  ::freeifaddrs(addresses);
  return found;
}

int apply_route(uint32_t destination, uint32_t mask, uint32_t gateway) {
  // A route that the kernel would refuse is refused before anything is
  // deleted: otherwise the old routes would be gone and no new one added.
  std::optional<uint8_t> prefix;
  if (gateway != 0) {
    prefix = prefix_length(mask);
    if (!prefix || (destination & ~mask) != 0) return 0;
  }

  RouteSocket socket;
  if (!socket.valid()) return 0;
  const std::optional<std::vector<RouteRow>> rows = routes_to(socket, destination);
  if (!rows) return 0;

  for (size_t deleted = 0; deleted < rows->size(); ++deleted) {
    if (delete_route(socket, (*rows)[deleted]) != 0) {
      restore_routes(socket, std::span<const RouteRow>(*rows).first(deleted));
      return 0;
    }
  }

  if (gateway == 0) return 1;
  const uint32_t interface_index = interface_for_gateway(gateway);
  if (interface_index == 0) return 1;
  if (create_route(socket, destination, *prefix, gateway, interface_index) != 0) {
    restore_routes(socket, *rows);
    return 0;
  }
  return 1;
}

}  // namespace norvane
