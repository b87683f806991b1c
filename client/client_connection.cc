// pallix's connection to the control channel and the test of a server host.
#include "client/client_connection.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "control/control_channel.h"
#include "engine/names.h"
#include "engine/text_helpers.h"

namespace norvane {

namespace {

// Whether `address` is a loopback address (127.0.0.0/8, ::1) or one that a
// local interface carries. `interfaces` is the getifaddrs list.
bool local_address(const sockaddr* address, const ifaddrs* interfaces) {
  if (address->sa_family == AF_INET) {
    sockaddr_in ipv4;
    std::memcpy(&ipv4, address, sizeof ipv4);
    if ((ntohl(ipv4.sin_addr.s_addr) >> 24) == 127) return true;
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
      if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
      sockaddr_in own;
      std::memcpy(&own, entry->ifa_addr, sizeof own);
      if (own.sin_addr.s_addr == ipv4.sin_addr.s_addr) return true;
    }
  } else if (address->sa_family == AF_INET6) {
    sockaddr_in6 ipv6;
    std::memcpy(&ipv6, address, sizeof ipv6);
    if (IN6_IS_ADDR_LOOPBACK(&ipv6.sin6_addr)) return true;
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
      if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6) continue;
      sockaddr_in6 own;
      std::memcpy(&own, entry->ifa_addr, sizeof own);
      if (IN6_ARE_ADDR_EQUAL(&own.sin6_addr, &ipv6.sin6_addr)) return true;
    }
  }
  return false;
}

// Whether `host` resolves (hosts file, name service, or a numeric address)
// to an address of this machine. A name that does not resolve is no host of
// this machine.
bool resolves_to_this_machine(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) interfaces = nullptr;
  bool local = false;
  for (const addrinfo* entry = found; entry != nullptr && !local; entry = entry->ai_next) {
    local = entry->ai_addr != nullptr && local_address(entry->ai_addr, interfaces);
  }
  if (interfaces != nullptr) freeifaddrs(interfaces);
  freeaddrinfo(found);
  return local;
}

}  // namespace

ClientConnection::ClientConnection(std::string address) : address_(std::move(address)) {}

ClientConnection::~ClientConnection() {
  if (socket_ >= 0) close(socket_);
}

int ClientConnection::transact_control_message(Buffer& buffer, size_t request_length) {
  if (socket_ < 0) {
    socket_ = control_connect(address_);
    if (socket_ < 0) return -1;
  }
  request_length = std::min(request_length, buffer.size());
  // The reply lands in a buffer of its own first: a reply that does not fit
  // fails the exchange and must not leave half of itself over the request.
  Buffer reply;
  const long received = control_transact(socket_, std::span(buffer.data(), request_length), reply,
                                         kClientReplyTimeoutMs);
  if (received < 0) {
    close(socket_);
    socket_ = -1;
    return -1;
  }
  std::copy_n(reply.begin(), received, buffer.begin());
  if (received < 4 ||
      read_le32(std::span(buffer.data(), static_cast<size_t>(received)), 0) != kControlDone)
    return 0;
  return static_cast<int>(received);
}

int ClientConnection::fetch_image(uint32_t code, std::span<const uint8_t> payload, uint32_t minimum,
                                  std::vector<uint8_t>& image) {
  image.clear();
  if (payload.size() > kControlPayloadSize) return 0;
  write_le32(buffer_, 0, code);
  write_le32(buffer_, 4, static_cast<uint32_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), buffer_.begin() + kControlHeaderSize);
  const int received = transact_control_message(buffer_, kControlHeaderSize + payload.size());
  if (received <= 0) return received;
  const auto reply = std::span(buffer_.data(), static_cast<size_t>(received));
  if (reply.size() < kControlHeaderSize) return 0;
  const uint32_t length = read_le32(reply, 4);
  if (length < minimum || length > reply.size() - kControlHeaderSize) return 0;
  image.assign(reply.begin() + kControlHeaderSize, reply.begin() + kControlHeaderSize + length);
  return 1;
}

bool names_this_machine(std::string_view host) {
  if (host.empty() || host == ".") return true;
  std::string_view name = host;
  if (name.size() > 1 && name.back() == '.') name.remove_suffix(1);
  if (names_equal(name, "localhost")) return true;
  // A text with a zero inside would be cut short by the resolver and could
  // name another host than the one typed.
  if (name.find('\0') != std::string_view::npos) return false;
  char own[HOST_NAME_MAX + 1] = {};
  if (gethostname(own, sizeof own - 1) == 0 && own[0] != '\0') {
    const std::string_view whole(own);
    const std::string_view short_name = whole.substr(0, whole.find('.'));
    if (names_equal(name, whole) || names_equal(name, short_name)) return true;
  }
  // A dotted quad is taken as written; the resolver would also read forms
  // such as "127.1" that the rest of the system does not.
  const std::string text(name);
  int valid = 0;
  const uint32_t address = parse_ipv4(text.c_str(), &valid);
  if (valid != 0) {
    sockaddr_in ipv4{};
    ipv4.sin_family = AF_INET;
    ipv4.sin_addr.s_addr = address;
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) interfaces = nullptr;
    const bool local = local_address(reinterpret_cast<const sockaddr*>(&ipv4), interfaces);
    if (interfaces != nullptr) freeifaddrs(interfaces);
    return local;
  }
  return resolves_to_this_machine(text);
}

}  // namespace norvane
