// Network auto-configuration: the machine's interface addresses published as A
// records, the system's name servers and DNS domain, and the watcher thread
// that applies them again after every address change. Thread-safe: the free
// functions take the locks they need; an AddressWatcher is driven by one owner.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"

namespace norvane {

inline constexpr const char* kDefaultHostsPath = "/etc/hosts";
inline constexpr const char* kDefaultResolvConfPath = "/etc/resolv.conf";

// 1 when the platform's network configuration interface (a routing netlink
// socket) can be used, else 0. Decides whether AutoIf and AutoDNS may be on.
int load_ip_helper();

// The hosts file: NORVANE_HOSTS when set and not empty, else /etc/hosts.
std::string system_hosts_path();
// The resolver configuration: NORVANE_RESOLV_CONF when set and not empty,
// else /etc/resolv.conf.
std::string system_resolv_conf_path();

// The IPv4 "nameserver" lines of the resolver configuration at `path`, in
// file order, each with port 53, at most `maximum` of them. 0.0.0.0 and
// 127.0.0.1 are skipped: the first is no server, the second is usually this
// server itself, to which forwarding would loop. Empty when the file cannot be
// read or names no usable server.
std::vector<ExternalServer> read_system_name_servers(
    size_t maximum = kMaxExternalServers, const std::string& path = system_resolv_conf_path());

// The system's DNS domain from the resolver configuration at `path`: the last
// "domain" line, else the first entry of the last "search" line, else empty.
// Lower case, without a trailing dot.
std::string read_system_domain(const std::string& path = system_resolv_conf_path());

// Publishes every IPv4 address of a local interface as the A record
// "<host>-<index>.<domain>" (host name cut at its first dot, interface index,
// local domain; without a domain just "<host>-<index>") with the zone's
// minimum as TTL. An existing A record of that owner is removed first
// (raising the serial and saving the zone file), so an address that changed
// replaces the old one. Loopback addresses (127.0.0.0/8) and 0.0.0.0 are
// never published; records of interfaces that have gone stay. A record the
// database refuses (a CNAME owns the name) is left out. Takes the database
// lock per address. Returns the number of IPv4 addresses visited, 0 when the
// addresses or the host name cannot be read.
int refresh_interface_records(Engine& engine);

// The start-up fallback when the zone file gave no record: hosts_import with
// the system's hosts file, DNS domain and host name. Returns its count.
int import_system_hosts(Engine& engine, int enabled = 1);

// The auto-configuration thread. Each pass applies AutoIf (interface records)
// and AutoDNS (the external server list from the resolver configuration) as
// the settings stand at that moment. A pass runs at start, after every change
// of an IPv4 address of the machine (rtnetlink address notifications), and,
// for the name servers only, when the resolver configuration file is
// rewritten. stop() wakes the thread at once.
class AddressWatcher {
 public:
  explicit AddressWatcher(Engine& engine, std::string resolv_conf_path = system_resolv_conf_path());
  ~AddressWatcher();
  AddressWatcher(const AddressWatcher&) = delete;
  AddressWatcher& operator=(const AddressWatcher&) = delete;

  // Subscribes to address changes and starts the thread, whose first pass
  // follows at once. False when already running or when the notifications,
  // the stop descriptor or the thread cannot be had (nothing then runs).
  bool start();
  // Wakes the thread and waits for it to end. Does nothing when not running.
  void stop();

  // Passes completed so far (name-server-only passes included).
  uint64_t passes() const { return passes_.load(); }

 private:
  void run();
  void apply(bool interfaces);
  void close_descriptors();

  Engine& engine_;
  const std::string resolv_conf_path_;
  int netlink_ = -1;
  int stop_event_ = -1;
  // Watches the folders of the resolver configuration (and of its target
  // when it is a link); -1 when they cannot be watched.
  int file_watch_ = -1;
  std::vector<std::string> watched_names_;
  std::thread thread_;
  std::atomic<uint64_t> passes_{0};
};

}  // namespace norvane
