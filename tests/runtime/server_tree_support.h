// A scratch store folder and data directory for one domain, as a server host
// reads them (store/settings.ini, data/name.db), and a port to serve it on:
// the set-up of the tests that run the engine or a whole host in this process.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/unique_fd.h"
#include "runtime/settings_store.h"
#include "tests/test_support.h"

namespace norvane::test_support {

// A port free for both UDP and TCP at the moment of asking: the kernel picks
// one for UDP and the TCP bind must succeed on the same number.
inline uint16_t free_port() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    UniqueFd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    UniqueFd tcp(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t size = sizeof local;
    if (bind(udp.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(udp.get(), reinterpret_cast<sockaddr*>(&local), &size) != 0)
      continue;
    if (bind(tcp.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0)
      return ntohs(local.sin_port);
  }
  ADD_FAILURE() << "no free port";
  return 0;
}

// What the tree serves: `domain` with SOA serial `serial`, name server ns1 at
// `ns1_address` and www at `www_address`; `port` 0 leaves Port out of the
// settings.
struct TreeZone {
  std::string domain;
  uint32_t serial = 1;
  std::string ns1_address;
  std::string www_address;
  uint16_t port = 0;
};

// The folder "/tmp/<prefix>-XXXXXX" with store/ and data/, removed with its
// contents at the end. The machine's own addresses stay out of the zone
// (AutoIf=0, AutoDNS=0).
class ServerTree {
 public:
  ServerTree(std::string_view prefix, const TreeZone& zone) : folder_(prefix), zone_(zone) {
    std::filesystem::create_directories(root() / "store");
    std::filesystem::create_directories(root() / "data");
    std::ofstream(root() / "data" / "name.db")
        << "$ORIGIN " << zone.domain << ".\n"
        << "@\tSOA\tns1." << zone.domain << ".\thostmaster." << zone.domain << ". " << zone.serial
        << " 3600 600 86400 300\n"
        << "@\tNS\tns1\n"
        << "ns1\tA\t" << zone.ns1_address << "\n"
        << "www\tA\t" << zone.www_address << "\n";
    std::ofstream settings(root() / "store" / "settings.ini");
    settings << "[Velisk]\n";
    if (zone.port != 0) settings << "Port=" << zone.port << "\n";
    settings << "AutoIf=0\nAutoDNS=0\nDirectory=" << data().string() << "/\nDomain=" << zone.domain
             << "\nServer=ns1\nAdministrator=hostmaster\n";
  }

  std::filesystem::path root() const { return folder_.path(); }
  std::filesystem::path data() const { return root() / "data"; }
  SettingsStore store() const { return SettingsStore((root() / "store").string()); }
  uint16_t port() const { return zone_.port; }
  const TreeZone& zone() const { return zone_; }

  // The lines of every log file of the data directory.
  std::vector<std::string> log_lines() const {
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::directory_iterator(data())) {
      if (entry.path().extension() != ".log") continue;
      std::ifstream in(entry.path());
      for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    return lines;
  }
  // How many of those lines `counts` holds for.
  int log_lines_where(const std::function<bool(const std::string&)>& counts) const {
    const std::vector<std::string> lines = log_lines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), counts));
  }

 private:
  ScratchFolder folder_;
  TreeZone zone_;
};

}  // namespace norvane::test_support
