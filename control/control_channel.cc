// SOCK_SEQPACKET UNIX sockets for the control channel.
#include "control/control_channel.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "control/control_messages.h"

namespace norvane {

namespace {

// Fills `address` for `text`; false when it does not fit sun_path. An
// abstract name starts with a NUL and its length counts exactly its bytes.
bool make_address(std::string_view text, sockaddr_un& address, socklen_t& length) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (text.empty()) return false;
  if (text.front() == '@') {
    std::string_view name = text.substr(1);
    if (name.size() + 1 > sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
  }
  if (text.size() + 1 > sizeof address.sun_path || text.find('\0') != std::string_view::npos) {
    return false;
  }
  std::memcpy(address.sun_path, text.data(), text.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
  return true;
}

// A SOCK_SEQPACKET socket and the address it is for.
struct AddressedSocket {
  int fd = -1;
  sockaddr_un address;
  socklen_t length = 0;

  const sockaddr* name() const { return reinterpret_cast<const sockaddr*>(&address); }
};

// A new socket for `text`, with its address filled; fd -1 with errno set when
// the name does not fit or no socket can be made.
AddressedSocket open_socket(std::string_view text) {
  AddressedSocket socket;
  if (!make_address(text, socket.address, socket.length)) {
    errno = ENAMETOOLONG;
    return socket;
  }
  socket.fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  return socket;
}

// Closes `fd` keeping the errno of the failure that made the caller give up.
int close_failed(int fd) {
  int saved = errno;
  ::close(fd);
  errno = saved;
  return -1;
}

}  // namespace

std::string control_address() {
  const char* value = std::getenv(kControlAddressVariable);
  if (value != nullptr && value[0] != '\0') return value;
  return kDefaultControlAddress;
}

int control_connect(std::string_view text) {
  const AddressedSocket socket = open_socket(text);
  if (socket.fd < 0) return -1;
  if (::connect(socket.fd, socket.name(), socket.length) != 0) return close_failed(socket.fd);
  return socket.fd;
}

int control_listen(std::string_view text) {
  const AddressedSocket socket = open_socket(text);
  const int fd = socket.fd;
  if (fd < 0) return -1;
  const char* path = socket.address.sun_path;
  int result = ::bind(fd, socket.name(), socket.length);
  if (result != 0 && errno == EADDRINUSE && text.front() != '@') {
    // A socket file left by a server that died: remove it only when nobody
    // answers on it and it really is a socket.
    int probe = control_connect(text);
    struct stat status {};
    if (probe >= 0) {
      ::close(probe);
    } else if (::lstat(path, &status) == 0 && S_ISSOCK(status.st_mode)) {
      ::unlink(path);
      result = ::bind(fd, socket.name(), socket.length);
    }
    if (result != 0) errno = EADDRINUSE;
  }
  // Any local user may connect, as to the abstract name; the server decides
  // per connection what a client may do.
  if (result == 0 && text.front() != '@') ::chmod(path, 0666);
  if (result != 0 || ::listen(fd, 16) != 0) {
    return close_failed(fd);
  }
  return fd;
}

long control_transact(int socket, std::span<const uint8_t> request, std::span<uint8_t> reply,
                      int timeout_ms) {
  ssize_t sent = ::send(socket, request.data(), request.size(), MSG_NOSIGNAL);
  if (sent < 0 || static_cast<size_t>(sent) != request.size()) return -1;
  pollfd waiting{socket, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&waiting, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return -1;
  ssize_t received = ::recv(socket, reply.data(), reply.size(), MSG_TRUNC);
  if (received <= 0 || static_cast<size_t>(received) > reply.size()) return -1;
  return received;
}

}  // namespace norvane
