// Network auto-configuration on Linux: getifaddrs for the interface
// addresses, the resolver configuration file for the name servers and the
// domain, an rtnetlink socket (RTMGRP_IPV4_IFADDR) and inotify for the
// changes. See auto_config.h for the contracts.
#include "runtime/auto_config.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <limits.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "engine/dns_message.h"
#include "engine/hosts_file.h"
#include "engine/local_database.h"
#include "engine/text_helpers.h"
#include "engine/unique_fd.h"
#include "runtime/serving_guard.h"

namespace norvane {
namespace {

constexpr uint32_t kLoopbackNetwork = 0x7F000000u;  // 127.0.0.0/8, host order
constexpr uint32_t kLoopbackMask = 0xFF000000u;
constexpr uint32_t kLocalhost = 0x7F000001u;  // 127.0.0.1, host order

struct InterfaceListFree {
  void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

std::string environment_path(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0' ? std::string(value) : std::string(fallback);
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The blank-separated tokens of one line up to a "#" or ";" comment, as
// resolv.conf(5) reads them.
std::vector<std::string_view> line_tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && is_blank(line[at])) ++at;
    if (at >= line.size() || line[at] == '#' || line[at] == ';') break;
    size_t end = at;
    while (end < line.size() && !is_blank(line[end])) ++end;
    tokens.push_back(line.substr(at, end - at));
    at = end;
  }
  return tokens;
}

// Calls `visit(tokens)` for each line of the resolver configuration that has
// a token. Lines are cut at 1,024 characters (glibc's own limit is lower), so
// a hostile file cannot make the reader grow. False when the file cannot be
// opened.
template <class Visit>
bool for_each_resolver_line(const std::string& path, Visit&& visit) {
  FilePointer in(std::fopen(path.c_str(), "re"));
  if (!in) return false;
  constexpr size_t kMaxLine = 1024;
  std::string line;
  bool more = true;
  while (more) {
    line.clear();
    int c;
    while ((c = std::getc(in.get())) != EOF && c != '\n') {
      if (c != '\0' && line.size() < kMaxLine) line.push_back(static_cast<char>(c));
    }
    more = c != EOF;
    const std::vector<std::string_view> tokens = line_tokens(line);
    if (!tokens.empty()) visit(tokens);
  }
  return true;
}

std::string normal_domain(std::string_view text) {
  std::string name(text);
  strip_trailing_dot(name);
  lower_name(name);
  return name;
}

// The host name cut at its first dot, lower case; empty when unknown.
std::string short_host_name() {
  char name[257] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  std::string host(name);
  host.resize(host.find('.') == std::string::npos ? host.size() : host.find('.'));
  lower_name(host);
  return host;
}

// The interface index of an address entry; an alias label ("eth0:1") names
// the interface before its colon. 0 when the interface has gone.
unsigned interface_index(const char* name) {
  std::string device(name != nullptr ? name : "");
  const size_t colon = device.find(':');
  if (colon != std::string::npos) device.resize(colon);
  return device.empty() ? 0 : if_nametoindex(device.c_str());
}

// Publishes one interface address. Database lock taken; it stays held across
// the removal's zone file save so that the record found cannot be freed by
// another thread before it is removed.
void publish_interface_address(LocalZone& database, const std::string& host, unsigned index,
                               uint32_t address) {
  LocalZone::Guard zone = database.hold();
  std::string owner = host + "-" + std::to_string(index);
  if (!zone.domain().empty()) owner += "." + zone.domain();
  // Owners are indexed in lower case; the domain keeps the case it was written in.
  lower_name(owner);
  if (const std::optional<ZoneRecord> old = zone.find_zone_record(zone.live(), owner, kTypeA))
    zone.remove_zone_record(*old);
  zone.add_zone_record(0, kTypeA, owner, zone.minimum(), address, std::string_view());
}

void close_descriptor(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Reads everything queued on a non-blocking descriptor, discarding it.
void drain(int fd) {
  alignas(nlmsghdr) char buffer[8192];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) continue;
    // ENOBUFS: notifications were lost; the pass that follows covers them.
    if (got < 0 && (errno == EINTR || errno == ENOBUFS)) continue;
    return;
  }
}

}  // namespace

int load_ip_helper() {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return 0;
  close(fd);
  return 1;
}

std::string system_hosts_path() { return environment_path("NORVANE_HOSTS", kDefaultHostsPath); }

std::string system_resolv_conf_path() {
  return environment_path("NORVANE_RESOLV_CONF", kDefaultResolvConfPath);
}

std::vector<ExternalServer> read_system_name_servers(size_t maximum, const std::string& path) {
  std::vector<ExternalServer> servers;
  try {
    for_each_resolver_line(path, [&](const std::vector<std::string_view>& tokens) {
      if (servers.size() >= maximum || tokens.size() < 2 || tokens[0] != "nameserver") return;
      const std::string text(tokens[1]);
      int valid = 0;
      const uint32_t address = parse_ipv4(text.c_str(), &valid);
      if (!valid || address == 0 || ntohl(address) == kLocalhost) return;
      servers.push_back(ExternalServer{address, 53});
    });
  } catch (...) {
    servers.clear();
  }
  return servers;
}

std::string read_system_domain(const std::string& path) {
  std::string domain, search;
  try {
    for_each_resolver_line(path, [&](const std::vector<std::string_view>& tokens) {
      if (tokens.size() < 2) return;
      if (tokens[0] == "domain") domain = normal_domain(tokens[1]);
      if (tokens[0] == "search") search = normal_domain(tokens[1]);
    });
  } catch (...) {
    return std::string();
  }
  return !domain.empty() ? domain : search;
}

int refresh_interface_records(Engine& engine) {
  try {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) return 0;
    const std::unique_ptr<ifaddrs, InterfaceListFree> list(raw);
    const std::string host = short_host_name();
    if (host.empty()) return 0;
    int visited = 0;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
      if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
      ++visited;
      sockaddr_in address;
      std::memcpy(&address, entry->ifa_addr, sizeof address);
      const uint32_t value = address.sin_addr.s_addr;
      // All of 127.0.0.0/8 is loopback (RFC 1122 section 3.2.1.3): an answer
      // with it would send the asker to itself. Other addresses on the
      // loopback device (service addresses) are reachable and published.
      if (value == 0 || (ntohl(value) & kLoopbackMask) == kLoopbackNetwork) continue;
      const unsigned index = interface_index(entry->ifa_name);
      if (index == 0) continue;
      publish_interface_address(engine.zone, host, index, value);
    }
    return visited;
  } catch (...) {
    return 0;
  }
}

int import_system_hosts(Engine& engine, int enabled) {
  if (enabled == 0) return 0;
  return hosts_import(engine, system_hosts_path(), read_system_domain(), local_host_name(),
                      enabled);
}

// ---- AddressWatcher ---------------------------------------------------------

AddressWatcher::AddressWatcher(Engine& engine, std::string resolv_conf_path)
    : engine_(engine), resolv_conf_path_(std::move(resolv_conf_path)) {}

AddressWatcher::~AddressWatcher() {
  stop();
  close_descriptors();
}

bool AddressWatcher::start() {
  if (thread_.joinable()) return false;
  close_descriptors();
  // Subscribed before the first pass, so a change during that pass is queued
  // and causes another rather than being missed.
  netlink_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (netlink_ < 0) return false;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_IPV4_IFADDR;
  stop_event_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (bind(netlink_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      stop_event_ < 0) {
    close_descriptors();
    return false;
  }

  // The resolver configuration is usually replaced by a rename (or is a link
  // into /run), so the folders are watched, not the file.
  file_watch_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (file_watch_ >= 0) {
    std::vector<std::string> paths{resolv_conf_path_};
    if (char* target = realpath(resolv_conf_path_.c_str(), nullptr)) {
      if (resolv_conf_path_ != target) paths.emplace_back(target);
      std::free(target);
    }
    for (const std::string& path : paths) {
      const size_t slash = path.rfind('/');
      const std::string folder = slash == std::string::npos ? "."
                                 : slash == 0               ? "/"
                                                            : path.substr(0, slash);
      const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
      if (inotify_add_watch(file_watch_, folder.c_str(),
                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE) >= 0)
        watched_names_.push_back(name);
    }
  }

  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    close_descriptors();
    return false;
  }
  return true;
}

void AddressWatcher::stop() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  while (write(stop_event_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  thread_.join();
  close_descriptors();
}

void AddressWatcher::close_descriptors() {
  close_descriptor(netlink_);
  close_descriptor(stop_event_);
  close_descriptor(file_watch_);
  watched_names_.clear();
}

void AddressWatcher::apply(bool interfaces) {
  const ServerSettings& settings = engine_.settings;
  if (interfaces && settings.auto_interfaces.load() != 0) refresh_interface_records(engine_);
  // A file that cannot be read leaves no server rather than stale ones; the
  // next change tries again.
  if (settings.auto_dns.load() != 0)
    engine_.settings.external_servers.set(
        read_system_name_servers(kMaxExternalServers, resolv_conf_path_));
  passes_.fetch_add(1);
}

void AddressWatcher::run() {
  try {
    apply(true);
    for (;;) {
      pollfd waits[3] = {{stop_event_, POLLIN, 0}, {netlink_, POLLIN, 0}, {file_watch_, POLLIN, 0}};
      const nfds_t count = file_watch_ >= 0 ? 3 : 2;
      if (poll(waits, count, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (waits[0].revents != 0) return;
      bool addresses_changed = false, resolver_changed = false;
      if (waits[1].revents != 0) {
        drain(netlink_);
        addresses_changed = true;
      }
      if (count == 3 && waits[2].revents != 0) {
        alignas(inotify_event) char buffer[4096];
        ssize_t got;
        while ((got = read(file_watch_, buffer, sizeof buffer)) > 0) {
          // Each event is a fixed header and `len` bytes of zero-padded name.
          size_t at = 0;
          while (static_cast<size_t>(got) - at >= sizeof(inotify_event)) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const size_t name_at = at + sizeof event;
            if (event.len > static_cast<size_t>(got) - name_at) break;
            const std::string_view name(buffer + name_at, strnlen(buffer + name_at, event.len));
            for (const std::string& watched : watched_names_)
              if (name == watched) resolver_changed = true;
            at = name_at + event.len;
          }
        }
      }
      if (addresses_changed || resolver_changed) apply(addresses_changed);
    }
  } catch (...) {
    // A watcher that fails ends; serving goes on with the last configuration.
    log_thread_exception(engine_.log, "address watcher");
  }
}

}  // namespace norvane
