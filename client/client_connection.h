// pallix's connection to the server's control channel: one connection for the
// whole run, opened at the first request and reopened after a failed one.
// Not thread-safe; pallix uses it from its only thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control/control_messages.h"

namespace norvane {

// How long a request waits for its reply before it counts as failed: a
// server that hangs must not hang the scripts that call pallix.
inline constexpr int kClientReplyTimeoutMs = 60'000;

class ClientConnection {
 public:
  using Buffer = std::array<uint8_t, kControlMessageSize>;

  // `address` as control_connect takes it ("@name" or a socket path).
  explicit ClientConnection(std::string address);
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Sends the first `request_length` bytes of `buffer` (at most its size)
  // and receives the reply into the same buffer. Returns the reply length
  // when it is at least 4 and the status is 0 (done); 0 when the server
  // answered anything else; -1 when the connection could not be opened or
  // the exchange failed, in which case the connection is closed so that the
  // next request opens it again.
  int transact_control_message(Buffer& buffer, size_t request_length);

  // Sends `code` with value = payload length and the payload, and requires a
  // reply of at least 8 bytes with status 0, a value of at least `minimum`
  // and at least value + 8 bytes; then `image` holds the value's count of
  // payload bytes of the reply. 1 on success, 0 when the reply did not meet
  // the requirements, -1 when the exchange failed.
  int fetch_image(uint32_t code, std::span<const uint8_t> payload, uint32_t minimum,
                  std::vector<uint8_t>& image);

 private:
  std::string address_;
  int socket_ = -1;
  Buffer buffer_{};
};

// Whether a server host designates this machine, so that its control channel
// is the local one: empty, ".", "localhost", the machine's host name (whole
// or up to its first dot, without regard to ASCII case, one trailing dot
// allowed), a dotted quad that is a loopback address or an address of a
// local interface, or any other name or address that the resolver
// (getaddrinfo: hosts file, then the name service) maps to such an address.
// A name that does not resolve designates another machine. May block for the
// resolver's own time-outs.
bool names_this_machine(std::string_view host);

}  // namespace norvane
