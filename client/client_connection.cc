// pallix's connection to the control channel and the test of a server host.
#include "client/client_connection.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "control/control_channel.h"
#include "engine/text_helpers.h"

namespace norvane {

namespace {

bool same_text(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// Whether `address` (network order) is a loopback address or one that a
// local interface carries.
bool local_address(uint32_t address) {
  if ((ntohl(address) >> 24) == 127) return true;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return false;
  bool found = false;
  for (const ifaddrs* entry = interfaces; entry != nullptr && !found; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in ipv4;
    std::memcpy(&ipv4, entry->ifa_addr, sizeof ipv4);
    found = ipv4.sin_addr.s_addr == address;
  }
  freeifaddrs(interfaces);
  return found;
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
  if (same_text(name, "localhost")) return true;
  const std::string quad(name);
  int valid = 0;
  const uint32_t address = parse_ipv4(quad.c_str(), &valid);
  if (valid != 0) return local_address(address);
  char own[HOST_NAME_MAX + 1] = {};
  if (gethostname(own, sizeof own - 1) != 0 || own[0] == '\0') return false;
  const std::string_view whole(own);
  const std::string_view short_name = whole.substr(0, whole.find('.'));
  return same_text(name, whole) || same_text(name, short_name);
}

}  // namespace norvane
