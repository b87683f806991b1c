// The control channel's listener and connection threads on a SOCK_SEQPACKET
// UNIX socket. Each thread waits in poll() on its socket and on the stop
// event, so stop() wakes every one of them; a connection thread also ends
// when its client stays silent for the idle time.
#include "service/control_server.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "control/control_channel.h"
#include "control/control_messages.h"
#include "service/event_log.h"

namespace norvane {

namespace {

// Waits until `socket` is readable or the stop event fires, at most
// `timeout_ms` (-1: no limit). True when the socket is ready (or in error,
// for the caller's read to find out); false on stop or when the time is up.
bool wait_readable(int socket, int stop_event, int timeout_ms = -1) {
  std::array<pollfd, 2> waiting{{{socket, POLLIN, 0}, {stop_event, POLLIN, 0}}};
  while (true) {
    const int ready = ::poll(waiting.data(), waiting.size(), timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    if (waiting[1].revents != 0) return false;
    return waiting[0].revents != 0;
  }
}

// Reports the exception being handled, which ended a control thread, to the
// event log. Call only inside a catch block.
void report_thread_exception(const char* where) noexcept {
  try {
    std::string text = std::string(where) + ": unexpected exception";
    try {
      throw;
    } catch (const std::exception& error) {
      text += std::string(": ") + error.what();
    } catch (...) {
    }
    // The event log takes nothing in console mode; the console does.
    if (console_mode()) {
      std::fprintf(stderr, "%s\n", text.c_str());
    } else {
      report_error_event(text.c_str());
    }
  } catch (...) {
    // Reporting failed too (out of memory): nothing more to do.
  }
}

// The peer's user, group and supplementary groups; nothing when the kernel
// does not tell.
std::optional<PeerCredentials> peer_credentials(int socket) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return std::nullopt;
  }
  PeerCredentials peer;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  std::vector<gid_t> groups(64);
  while (true) {
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
      groups.resize(size / sizeof(gid_t));
      break;
    }
    // ERANGE tells the size needed; any other error leaves the group list
    // unknown, and the test must not guess membership.
    if (errno != ERANGE || size / sizeof(gid_t) <= groups.size()) return std::nullopt;
    groups.resize(size / sizeof(gid_t));
  }
  peer.groups = std::move(groups);
  return peer;
}

}  // namespace

ControlServer::ControlServer(Engine& engine, SettingsStore& store, ControlLimits limits)
    : commands_(engine, store), store_(store), limits_(limits) {}

ControlServer::~ControlServer() { stop(); }

void ControlServer::set_refresh_hook(std::function<int()> hook) {
  commands_.set_refresh_hook(std::move(hook));
}

void ControlServer::set_route_hook(
    std::function<int(uint32_t destination, uint32_t mask, uint32_t gateway)> hook) {
  commands_.set_route_hook(std::move(hook));
}

bool ControlServer::start() { return start(control_address()); }

bool ControlServer::start(const std::string& address) {
  if (listen_socket_ >= 0 || stopping_.load()) return false;
  stop_event_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_event_ < 0) return false;
  listen_socket_ = control_listen(address);
  if (listen_socket_ < 0) {
    ::close(stop_event_);
    stop_event_ = -1;
    return false;
  }
  address_ = address;
  try {
    listener_ = std::thread([this] { listen_loop(); });
  } catch (...) {
    ::close(listen_socket_);
    listen_socket_ = -1;
    return false;
  }
  return true;
}

void ControlServer::stop() {
  if (stopping_.exchange(true)) return;
  if (stop_event_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(stop_event_, &one, sizeof one);
  }
  if (listener_.joinable()) listener_.join();
  {
    std::lock_guard<std::mutex> guard(connections_lock_);
    for (auto& connection : connections_) {
      if (connection->thread.joinable()) connection->thread.join();
      if (connection->socket >= 0) ::close(connection->socket);
    }
    connections_.clear();
  }
  if (listen_socket_ >= 0) {
    ::close(listen_socket_);
    listen_socket_ = -1;
    if (!address_.empty() && address_.front() != '@') ::unlink(address_.c_str());
  }
  if (stop_event_ >= 0) {
    ::close(stop_event_);
    stop_event_ = -1;
  }
}

void ControlServer::reap_finished() {
  std::lock_guard<std::mutex> guard(connections_lock_);
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->finished.load()) {
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

bool ControlServer::admits_locked(uid_t uid, bool privileged) const {
  if (connections_.size() >= limits_.max_connections) return false;
  if (privileged) return true;
  size_t unprivileged = 0;
  size_t same_user = 0;
  for (const auto& connection : connections_) {
    if (connection->privileged) continue;
    ++unprivileged;
    if (connection->uid == uid) ++same_user;
  }
  const size_t shared = limits_.max_connections > limits_.reserved_privileged
                            ? limits_.max_connections - limits_.reserved_privileged
                            : 0;
  return unprivileged < shared && same_user < limits_.per_user;
}

void ControlServer::listen_loop() {
  try {
    accept_connections();
  } catch (...) {
    report_thread_exception("control listener");
  }
}

void ControlServer::accept_connections() {
  while (!stopping_.load() && wait_readable(listen_socket_, stop_event_)) {
    const int socket = ::accept4(listen_socket_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) {
      // A client that gave up before we accepted, or a momentary shortage
      // of descriptors: the listener goes on rather than leaving the server
      // without its control channel.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        ::usleep(100000);
      }
      continue;
    }
    // A client that sends without ever reading would otherwise block its
    // connection thread in send() for good, and stop() with it.
    const timeval send_limit{5, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
    // The place a client may take depends on who it is: the credentials
    // are the kernel's record of the peer at connect time, and the test is
    // the one that grants the privileged commands.
    const auto peer = peer_credentials(socket);
    if (!peer) {
      ::close(socket);
      continue;
    }
    const bool privileged = peer_may_write_store(*peer, store_.folder());
    reap_finished();
    std::lock_guard<std::mutex> guard(connections_lock_);
    if (!admits_locked(peer->uid, privileged)) {
      ::close(socket);
      continue;
    }
    auto connection = std::make_unique<Connection>();
    connection->socket = socket;
    connection->uid = peer->uid;
    connection->privileged = privileged;
    Connection& served = *connection;
    try {
      served.thread = std::thread([this, &served] { serve(served); });
    } catch (...) {
      ::close(socket);
      continue;
    }
    connections_.push_back(std::move(connection));
  }
}

void ControlServer::serve(Connection& connection) {
  std::optional<ControlSession> session;
  try {
    serve_messages(connection, session);
  } catch (...) {
    report_thread_exception("control connection");
  }
  // The session's searches and files close here, with the connection.
  session.reset();
  ::close(connection.socket);
  connection.socket = -1;
  connection.finished.store(true);
}

void ControlServer::serve_messages(Connection& connection, std::optional<ControlSession>& session) {
  std::vector<uint8_t> request(kControlMessageSize);
  // A connection that sends nothing for the idle time is closed, so that
  // idle clients cannot keep their places for good.
  while (!stopping_.load() &&
         wait_readable(connection.socket, stop_event_, limits_.idle_timeout_ms)) {
    // MSG_TRUNC makes recv report the message's full length, so an
    // over-long request is seen and ends the connection instead of being
    // answered from its first 2048 bytes.
    const ssize_t received =
        ::recv(connection.socket, request.data(), request.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (received < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (received <= 0 || static_cast<size_t>(received) > kControlMessageSize) break;
    if (!session) {
      auto peer = peer_credentials(connection.socket);
      if (!peer) break;
      session.emplace(commands_.privilege_test(*peer));
    }
    const auto reply = commands_.handle_control_message(
        *session, std::span<const uint8_t>(request.data(), static_cast<size_t>(received)));
    if (reply.empty()) break;
    if (::send(connection.socket, reply.data(), reply.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(reply.size())) {
      break;
    }
  }
}

}  // namespace norvane
