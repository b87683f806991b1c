// The control channel's transport on Linux: a SOCK_SEQPACKET UNIX socket that
// keeps message boundaries and carries each reply on the same connection.
// Shared by the server (which listens) and clients (which connect). Plain
// functions on descriptors; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace norvane {

// The address to use: $NORVANE_CONTROL when set and not empty, else
// "@norvane_dns_server". "@name" is an abstract socket name, anything else a
// filesystem path.
std::string control_address();

// A connected SOCK_SEQPACKET socket (close-on-exec) to `address`, or -1 with
// errno set when the address is too long or nobody listens there.
int control_connect(std::string_view address);

// A listening SOCK_SEQPACKET socket (close-on-exec) bound to `address`, or -1
// with errno set. A path address that names a stale socket file (one nobody
// accepts on) is replaced; a live one is left alone and the call fails with
// EADDRINUSE, so a second server cannot steal the first one's channel. A
// path socket is made connectable by every local user (mode 0666).
int control_listen(std::string_view address);

// Sends `request` on a connected socket and receives the reply into `reply`
// (at most its size). Returns the number of reply bytes, or -1 when sending or
// receiving failed, the peer closed the connection or the reply did not fit.
// Waits at most `timeout_ms` for the reply (negative: no limit).
long control_transact(int socket, std::span<const uint8_t> request, std::span<uint8_t> reply,
                      int timeout_ms = -1);

}  // namespace norvane
