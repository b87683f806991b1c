// Shared helpers for the system tests: a free port, a scratch settings store
// and data directory, the real ostrum program run in console mode, real
// clients run through the shell, and raw sockets whose replies are read with
// ldns. Not thread-safe; the system tests run one at a time.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ldns/ldns.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/unique_fd.h"
#include "tests/office_zone.h"
#include "tests/test_support.h"

extern char** environ;

namespace norvane::system_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline constexpr std::string_view kOfficeZone = test_zones::kOfficeZone;

inline sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// A socket of `type` bound to `port` on every address (as the server binds),
// listening when it is a stream socket; invalid when the port is taken.
inline UniqueFd bind_port(int type, uint16_t port) {
  UniqueFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  // Like the server: a connection of an earlier server still in TIME_WAIT
  // does not hold the port, a live socket does.
  const int on = 1;
  if (type == SOCK_STREAM) setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  if (type == SOCK_STREAM && listen(fd.get(), 4) != 0) return {};
  return fd;
}

// A port that is free for both UDP and TCP at the moment of the call: the
// kernel picks one for UDP and the TCP bind must succeed on the same number.
inline uint16_t find_free_port() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    UniqueFd udp = bind_port(SOCK_DGRAM, 0);
    if (!udp.valid()) continue;
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (getsockname(udp.get(), reinterpret_cast<sockaddr*>(&bound), &size) != 0) continue;
    const uint16_t port = ntohs(bound.sin_port);
    if (bind_port(SOCK_STREAM, port).valid()) return port;
  }
  ADD_FAILURE() << "no port free for both UDP and TCP";
  return 0;
}

// A scratch folder holding the machine store (store/settings.ini) and the data
// directory (data/name.db); removed with everything in it at the end.
class ServerTree {
 public:
  ServerTree(uint16_t port, std::string_view zone) : ServerTree(port, zone, "office.lan", "") {}
  // A server of `domain` (the zone file's own origin). `more_settings` is
  // written behind the main key's values: further values of that key, then
  // keys of their own such as [Velisk\Access].
  ServerTree(uint16_t port, std::string_view zone, std::string_view domain,
             std::string_view more_settings)
      : port_(port) {
    char pattern[] = "/tmp/norvane-system-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
      return;
    }
    root_ = pattern;
    std::filesystem::create_directories(root_ / "store");
    std::filesystem::create_directories(root_ / "data");
    write_file(root_ / "data" / "name.db", zone);
    std::ostringstream settings;
    settings << "[Velisk]\n"
             << "Port=" << port
             << "\n"
             // The machine's own addresses would otherwise join the zone.
             << "AutoIf=0\n"
             << "Directory=" << (root_ / "data").string() << "/\n"
             << "Domain=" << domain << "\nServer=ns1\nAdministrator=hostmaster\n"
             << more_settings;
    write_file(root_ / "store" / "settings.ini", settings.str());
  }
  ~ServerTree() {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  ServerTree(const ServerTree&) = delete;
  ServerTree& operator=(const ServerTree&) = delete;

  uint16_t port() const { return port_; }
  std::filesystem::path store() const { return root_ / "store"; }
  std::filesystem::path data() const { return root_ / "data"; }
  std::filesystem::path output_file() const { return root_ / "output.txt"; }

  static void write_file(const std::filesystem::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
  }

 private:
  uint16_t port_;
  std::filesystem::path root_;
};

using test_support::read_text;

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Opens a TCP connection to the loopback port; invalid when refused.
inline UniqueFd connect_tcp_to(uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = loopback(port);
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return {};
  return fd;
}

// Owned strings and the null-terminated pointer array exec wants, made
// before fork: only async-signal-safe calls may follow it.
struct ExecList {
  explicit ExecList(std::vector<std::string> items) : strings(std::move(items)) {
    for (std::string& item : strings) pointers.push_back(item.data());
    pointers.push_back(nullptr);
  }
  std::vector<std::string> strings;
  std::vector<char*> pointers;
};

// This runner's environment without its NORVANE_ settings, and the tree's
// store as the server's machine store.
inline std::vector<std::string> server_environment(const ServerTree& tree) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (!std::string_view(*entry).starts_with("NORVANE_")) environment.emplace_back(*entry);
  environment.push_back("NORVANE_MACHINE_STORE=" + tree.store().string());
  return environment;
}

// Runs `argv[0]` with `envp`, its standard output and error into `sink`.
// A test runner that dies must not leave a server holding the port, so the
// child dies with it. The child's id, or -1 when fork failed.
inline pid_t spawn_tied(char* const argv[], char* const envp[], int sink) {
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(sink, 1);
    dup2(sink, 2);
    execve(argv[0], argv, envp);
    _exit(127);
  }
  return child;
}

// `ostrum -debug` with its own store, its standard output and error in one
// file. The constructor returns once the ready line is out (or the wait of
// `ready_wait` is over, which fails the test); the destructor stops the server
// with SIGINT and, should it hang, kills it.
class ServerProcess {
 public:
  struct Options {
    // Wait for the ready line before the constructor returns.
    bool wait_ready = true;
    // Wake a quiet server with empty connections while waiting (they turn
    // its loop and leave no line behind). The server flushes its start-up
    // lines itself, so no test needs this by default.
    bool nudge = false;
    milliseconds ready_wait{10'000};
  };

  explicit ServerProcess(const ServerTree& tree) : ServerProcess(tree, Options{}) {}
  ServerProcess(const ServerTree& tree, Options options)
      : output_path_(tree.output_file()), port_(tree.port()) {
    // Everything the child needs is made before fork: only async-signal-safe
    // calls are allowed between fork and exec in a threaded process.
    ExecList envp(server_environment(tree));
    ExecList argv({NORVANE_OSTRUM_PATH, "-debug"});
    UniqueFd sink(open(output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!sink.valid()) {
      ADD_FAILURE() << "cannot create " << output_path_;
      return;
    }
    pid_ = spawn_tied(argv.pointers.data(), envp.pointers.data(), sink.get());
    if (pid_ < 0) {
      ADD_FAILURE() << "fork failed";
      return;
    }
    if (options.wait_ready) {
      const bool ready = wait_for_output(" ready\n", options.ready_wait, options.nudge);
      EXPECT_TRUE(ready) << "no ready line within " << options.ready_wait.count()
                         << " ms; output:\n"
                         << output();
    }
  }

  ~ServerProcess() {
    if (pid_ <= 0 || exited_) return;
    kill(pid_, SIGINT);
    if (!wait_exit(milliseconds(5'000))) {
      ADD_FAILURE() << "ostrum did not stop within 5 s of SIGINT; killed";
      kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  pid_t pid() const { return pid_; }
  uint16_t port() const { return port_; }
  std::string output() const { return read_text(output_path_); }

  // Waits until the output holds `text`; false when the wait ends first or
  // the process exits without it. With `nudge`, a quiet server is woken by an
  // empty connection every 100 ms.
  bool wait_for_output(std::string_view text, milliseconds wait, bool nudge = false) {
    const auto start = Clock::now();
    auto next_nudge = start + milliseconds(100);
    for (;;) {
      if (output().find(text) != std::string::npos) return true;
      if (exited_ || Clock::now() - start > wait) return false;
      if (poll_exit()) continue;  // one more look at the final output
      if (nudge && Clock::now() >= next_nudge) {
        connect_tcp_to(port_);
        next_nudge = Clock::now() + milliseconds(100);
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
  }

  void interrupt() const { kill(pid_, SIGINT); }

  // Reaps the process when it has exited within `wait`; false otherwise.
  bool wait_exit(milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    while (!poll_exit()) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
  }

  // The exit code once the process has exited normally, -1 for a signal.
  std::optional<int> exit_code() const {
    if (!exited_) return std::nullopt;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  bool poll_exit() {
    if (exited_) return true;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }

  std::filesystem::path output_path_;
  uint16_t port_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

struct CommandResult {
  int exit_code = -1;
  std::string output;  // standard output
  std::string errors;  // standard error, kept apart: clients write warnings
                       // unbuffered into the middle of their buffered listing
};

// Runs `command` (no single quotes in it) through the shell, bounded by
// `seconds`: coreutils timeout sends SIGTERM, then SIGKILL two seconds later.
inline CommandResult run_command(const std::string& command, int seconds = 20) {
  CommandResult result;
  char errors_path[] = "/tmp/norvane-system-stderr-XXXXXX";
  const int errors_fd = mkstemp(errors_path);
  if (errors_fd < 0) return result;
  close(errors_fd);
  const std::string bounded =
      "timeout -k 2 " + std::to_string(seconds) + " sh -c '" + command + "' 2>" + errors_path;
  std::FILE* pipe = popen(bounded.c_str(), "r");
  if (pipe != nullptr) {
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  result.errors = read_text(errors_path);
  unlink(errors_path);
  return result;
}

// ---- Raw DNS messages ----

// A query written byte by byte, not by the server's own encoder, so that a
// fault there cannot hide a matching one in the decoder.
inline std::vector<uint8_t> make_query(uint16_t id, std::string_view name, uint16_t type,
                                       uint16_t flags = 0, uint8_t opcode = 0) {
  const uint16_t word = static_cast<uint16_t>(flags | (opcode << 11));
  std::vector<uint8_t> out = {
      uint8_t(id >> 8), uint8_t(id), uint8_t(word >> 8), uint8_t(word), 0, 1, 0, 0, 0, 0, 0, 0};
  while (!name.empty()) {
    const std::string_view label = name.substr(0, name.find('.'));
    out.push_back(uint8_t(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    name.remove_prefix(std::min(name.size(), label.size() + 1));
  }
  out.insert(out.end(), {0, uint8_t(type >> 8), uint8_t(type), 0, 1});
  return out;
}

// The same query with an EDNS OPT record (RFC 6891) in the additional section.
inline std::vector<uint8_t> make_edns_query(uint16_t id, std::string_view name, uint16_t type) {
  std::vector<uint8_t> out = make_query(id, name, type);
  out[11] = 1;
  out.insert(out.end(), {0, 0, 41, 0x10, 0x00, 0, 0, 0, 0, 0, 0});
  return out;
}

inline uint16_t read_u16(const std::vector<uint8_t>& data, size_t at) {
  return static_cast<uint16_t>((data.at(at) << 8) | data.at(at + 1));
}

// A socket of `type` bound to `source` (a dotted quad on loopback) and
// `port` (0: any): the whole 127/8 block reaches the host, so one test can
// play several clients or servers. Invalid when the bind fails.
inline UniqueFd socket_from(int type, const char* source, uint16_t port = 0) {
  UniqueFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (!fd.valid() || inet_pton(AF_INET, source, &address.sin_addr) != 1) return {};
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return {};
  return fd;
}

// A socket of `type` from `source` connected to the loopback port; invalid
// on failure.
inline UniqueFd connected_from(int type, const char* source, uint16_t port) {
  UniqueFd fd = socket_from(type, source);
  const sockaddr_in address = loopback(port);
  if (!fd.valid() ||
      connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return {};
  return fd;
}

// A UDP socket from `source` connected to the loopback port, so that it only
// hears datagrams from there; invalid on failure.
inline UniqueFd udp_client(uint16_t port, const char* source = "127.0.0.1") {
  return connected_from(SOCK_DGRAM, source, port);
}

// ---- Every reply read by a strict reader ----

// Replies received by the raw-socket helpers below while recording is on,
// for a check with dnspython at the end of the test (see DnspythonCheck).
struct ReplyRecorder {
  bool on = false;
  std::vector<std::vector<uint8_t>> replies;
};
inline ReplyRecorder& reply_recorder() {
  static ReplyRecorder recorder;
  return recorder;
}
inline void record_reply(const std::vector<uint8_t>& message) {
  if (reply_recorder().on) reply_recorder().replies.push_back(message);
}

// What dnspython says of each message: empty when
// `dns.message.from_wire(wire)` reads it whole (bytes behind the last record
// included, which it refuses unless told to ignore them), else its error.
// Runs the distribution's /usr/bin/python3, which has python3-dnspython; one
// process for all the messages.
inline std::vector<std::string> dnspython_faults(
    const std::vector<std::vector<uint8_t>>& messages) {
  std::vector<std::string> faults(messages.size(), "dnspython gave no verdict");
  char path[] = "/tmp/norvane-dnspython-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return faults;
  close(fd);
  {
    std::ofstream out(path);
    static constexpr char kHex[] = "0123456789abcdef";
    for (const auto& message : messages) {
      for (const uint8_t byte : message) out << kHex[byte >> 4] << kHex[byte & 15];
      out << "-\n";  // a line is never empty, even for an empty message
    }
  }
  const std::string script =
      "import sys, dns.message\n"
      "for line in open(sys.argv[1]):\n"
      "    try:\n"
      "        dns.message.from_wire(bytes.fromhex(line.strip()[:-1]))\n"
      "        print('ok')\n"
      "    except Exception as e:\n"
      "        print('error ' + type(e).__name__ + ': ' + str(e).replace(chr(10), ' '))\n";
  std::string command = "/usr/bin/python3 -c \"";
  command += script;
  command += "\" ";
  command += path;
  std::FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  if (pipe != nullptr) {
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    pclose(pipe);
  }
  unlink(path);
  std::istringstream lines(output);
  size_t i = 0;
  for (std::string line; i < faults.size() && std::getline(lines, line); ++i)
    faults[i] = line == "ok" ? std::string() : line;
  return faults;
}

// Fails the test for every recorded reply that dnspython cannot read, then
// clears the record. A fixture turns recording on in SetUp and calls this in
// TearDown.
inline void expect_dnspython_reads_recorded_replies() {
  ReplyRecorder& recorder = reply_recorder();
  const auto faults = dnspython_faults(recorder.replies);
  for (size_t i = 0; i < faults.size(); ++i) {
    if (faults[i].empty()) continue;
    std::ostringstream hex;
    for (const uint8_t byte : recorder.replies[i])
      hex << "0123456789abcdef"[byte >> 4] << "0123456789abcdef"[byte & 15];
    ADD_FAILURE() << "reply " << i << " (" << recorder.replies[i].size() << " bytes): " << faults[i]
                  << "\n"
                  << hex.str();
  }
  recorder.replies.clear();
  recorder.on = false;
}

// The next datagram on `fd` within `wait`, or nothing.
inline std::optional<std::vector<uint8_t>> receive_datagram(int fd, milliseconds wait) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, static_cast<int>(wait.count())) != 1) return std::nullopt;
  std::vector<uint8_t> reply(65535);
  const ssize_t got = recv(fd, reply.data(), reply.size(), 0);
  if (got < 0) return std::nullopt;
  reply.resize(static_cast<size_t>(got));
  record_reply(reply);
  return reply;
}

// Sends one datagram from `source` to the loopback port and returns the first
// reply within `wait`, or nothing.
inline std::optional<std::vector<uint8_t>> udp_exchange_from(
    const char* source, uint16_t port, const std::vector<uint8_t>& request,
    milliseconds wait = milliseconds(2'000)) {
  UniqueFd fd = udp_client(port, source);
  if (!fd.valid() ||
      send(fd.get(), request.data(), request.size(), 0) != static_cast<ssize_t>(request.size()))
    return std::nullopt;
  return receive_datagram(fd.get(), wait);
}

// Sends one datagram to the loopback port and returns the first reply within
// `wait`, or nothing.
inline std::optional<std::vector<uint8_t>> udp_exchange(uint16_t port,
                                                        const std::vector<uint8_t>& request,
                                                        milliseconds wait = milliseconds(2'000)) {
  return udp_exchange_from("127.0.0.1", port, request, wait);
}

using test_support::send_all;

// `message` behind its two-byte length (RFC 1035 section 4.2.2).
inline std::vector<uint8_t> framed(const std::vector<uint8_t>& message) {
  std::vector<uint8_t> out = {uint8_t(message.size() >> 8), uint8_t(message.size())};
  out.insert(out.end(), message.begin(), message.end());
  return out;
}

// Reads exactly `length` bytes before `deadline`; false on end of stream,
// error or time out.
inline bool read_exact(int fd, uint8_t* data, size_t length, Clock::time_point deadline) {
  while (length > 0) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    pollfd ready{fd, POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) != 1) return false;
    const ssize_t got = recv(fd, data, length, 0);
    if (got <= 0) return false;
    data += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

// One length-prefixed message from a TCP connection within `wait`.
inline std::optional<std::vector<uint8_t>> read_tcp_message(
    int fd, milliseconds wait = milliseconds(2'000)) {
  const auto deadline = Clock::now() + wait;
  uint8_t head[2];
  if (!read_exact(fd, head, 2, deadline)) return std::nullopt;
  std::vector<uint8_t> message(static_cast<size_t>((head[0] << 8) | head[1]));
  if (!read_exact(fd, message.data(), message.size(), deadline)) return std::nullopt;
  record_reply(message);
  return message;
}

// Whether the peer closes the connection (end of stream or reset) within
// `wait`; any data that arrives first is read and dropped.
inline bool closed_by_peer(int fd, milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    pollfd ready{fd, POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) != 1) return false;
    uint8_t scratch[512];
    const ssize_t got = recv(fd, scratch, sizeof scratch, 0);
    if (got <= 0) return true;
  }
}

// A TCP connection from `source` to the loopback port; invalid when refused.
inline UniqueFd connect_tcp_from(const char* source, uint16_t port) {
  return connected_from(SOCK_STREAM, source, port);
}

inline std::optional<std::vector<uint8_t>> tcp_exchange(uint16_t port,
                                                        const std::vector<uint8_t>& request) {
  UniqueFd fd = connect_tcp_to(port);
  if (!fd.valid() || !send_all(fd.get(), framed(request))) return std::nullopt;
  return read_tcp_message(fd.get());
}

// ---- Reading replies with ldns ----

struct LdnsPacketFree {
  void operator()(ldns_pkt* packet) const { ldns_pkt_free(packet); }
};
using LdnsPacket = std::unique_ptr<ldns_pkt, LdnsPacketFree>;

// Null when ldns refuses the message. ldns ignores bytes behind the last
// record; dnspython_faults is the stricter reader.
inline LdnsPacket parse_with_ldns(const std::vector<uint8_t>& message) {
  ldns_pkt* packet = nullptr;
  if (ldns_wire2pkt(&packet, message.data(), message.size()) != LDNS_STATUS_OK) return nullptr;
  return LdnsPacket(packet);
}

// Collapses every run of blanks and tabs to one blank and trims the ends, so
// that dig, kdig and ldns print a record the same way.
inline std::string squeeze(std::string_view text) {
  std::string out;
  std::istringstream words{std::string(text)};
  for (std::string word; words >> word;) {
    if (!out.empty()) out += ' ';
    out += word;
  }
  return out;
}

inline std::vector<std::string> section_texts(const ldns_pkt* packet, ldns_pkt_section section) {
  std::vector<std::string> out;
  ldns_rr_list* list = ldns_pkt_get_section_clone(packet, section);
  for (size_t i = 0; i < ldns_rr_list_rr_count(list); ++i) {
    char* raw = ldns_rr2str(ldns_rr_list_rr(list, i));
    out.push_back(squeeze(raw != nullptr ? raw : ""));
    std::free(raw);
  }
  ldns_rr_list_deep_free(list);
  return out;
}

// Walks every name of a reply, in the question, the owners and the record
// data of the types that carry names, and reports the first compression
// pointer or overrun; empty when there is none. With `backward_pointers`
// a pointer is accepted when it leads to an earlier offset of the same
// message than the name that holds it, and names in record data must end
// where the record data does.
inline std::string find_compressed_name(const std::vector<uint8_t>& message,
                                        bool backward_pointers = false) {
  size_t at = 12;
  auto skip_name = [&](const char* where) -> std::string {
    const size_t start = at;
    for (;;) {
      if (at >= message.size()) return std::string("name runs past the end in ") + where;
      const uint8_t length = message[at];
      if (backward_pointers && (length & 0xC0) == 0xC0 && at + 1 < message.size()) {
        const size_t target = ((length & 0x3F) << 8) | message[at + 1];
        if (target < 12 || target >= start)
          return std::string("pointer to ") + std::to_string(target) + " in " + where +
                 " at offset " + std::to_string(at);
        at += 2;
        return {};
      }
      if ((length & 0xC0) != 0)
        return std::string("compressed name in ") + where + " at offset " + std::to_string(at);
      ++at;
      if (length == 0) return {};
      at += length;
    }
  };
  if (message.size() < 12) return "message shorter than a header";
  const size_t questions = read_u16(message, 4);
  const size_t records =
      size_t{read_u16(message, 6)} + read_u16(message, 8) + read_u16(message, 10);
  for (size_t i = 0; i < questions; ++i) {
    if (std::string fault = skip_name("the question"); !fault.empty()) return fault;
    at += 4;
  }
  for (size_t i = 0; i < records; ++i) {
    if (std::string fault = skip_name("an owner"); !fault.empty()) return fault;
    if (at + 10 > message.size()) return "record header runs past the end";
    const uint16_t type = read_u16(message, at);
    const size_t data_length = read_u16(message, at + 8);
    at += 10;
    const size_t end = at + data_length;
    if (end > message.size()) return "record data runs past the end";
    switch (type) {
      case LDNS_RR_TYPE_NS:
      case LDNS_RR_TYPE_CNAME:
      case LDNS_RR_TYPE_PTR:
        if (std::string fault = skip_name("record data"); !fault.empty()) return fault;
        break;
      case LDNS_RR_TYPE_MX:
        at += 2;
        if (std::string fault = skip_name("record data"); !fault.empty()) return fault;
        break;
      case LDNS_RR_TYPE_SOA:
        if (std::string fault = skip_name("record data"); !fault.empty()) return fault;
        if (std::string fault = skip_name("record data"); !fault.empty()) return fault;
        break;
      default:
        at = end;
        break;
    }
    if (type == LDNS_RR_TYPE_SOA) at += 20;
    if (at != end) return "record data length differs from its content at " + std::to_string(end);
  }
  return {};
}

// ---- Reading dig and kdig output ----

// What a client printed about one reply. dig and kdig share the layout of
// the parts read here: a header line with "status:", a flags line, and
// sections headed ";; ANSWER SECTION:" and so on, one record a line.
struct ClientReply {
  bool answered = false;
  std::string status;
  std::vector<std::string> flags;
  bool has_opt = false;
  std::vector<std::string> answer;
  std::vector<std::string> authority;
  std::vector<std::string> additional;

  bool has_flag(std::string_view flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
  }
};

inline ClientReply parse_client_output(const std::string& text) {
  ClientReply reply;
  std::vector<std::string>* section = nullptr;
  for (const std::string& line : split_lines(text)) {
    if (line.find("->>HEADER<<-") != std::string::npos) {
      const size_t at = line.find("status: ");
      if (at != std::string::npos) {
        reply.answered = true;
        const size_t begin = at + 8;
        reply.status = line.substr(begin, line.find_first_of(",;", begin) - begin);
      }
      continue;
    }
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    if (lower.starts_with(";; flags:")) {
      std::istringstream words(line.substr(9, line.find(';', 3) - 9));
      for (std::string word; words >> word;) reply.flags.push_back(word);
      continue;
    }
    if (line.find("OPT PSEUDOSECTION") != std::string::npos ||
        line.find("EDNS PSEUDOSECTION") != std::string::npos) {
      reply.has_opt = true;
      section = nullptr;
      continue;
    }
    if (line.starts_with(";; ANSWER SECTION:"))
      section = &reply.answer;
    else if (line.starts_with(";; AUTHORITY SECTION:"))
      section = &reply.authority;
    else if (line.starts_with(";; ADDITIONAL SECTION:"))
      section = &reply.additional;
    else if (line.starts_with(";;"))
      section = nullptr;
    else if (section != nullptr && !line.empty() && line[0] != ';')
      section->push_back(squeeze(line));
    else if (line.empty())
      section = nullptr;
  }
  return reply;
}

inline std::vector<std::string> sorted(std::vector<std::string> texts) {
  std::sort(texts.begin(), texts.end());
  return texts;
}

// One server for a whole test suite, on a tree that `Suite::make_tree()`
// builds. With `kReadAgain` every reply the raw-socket helpers read is also
// read by dnspython.
template <typename Suite, bool kReadAgain = true>
class RunningServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tree_ = Suite::make_tree();
    server_ = std::make_unique<ServerProcess>(*tree_);
  }
  static void TearDownTestSuite() {
    server_.reset();
    tree_.reset();
  }
  static uint16_t port() { return tree_->port(); }

  void SetUp() override {
    if (kReadAgain) reply_recorder().on = true;
  }
  void TearDown() override {
    if (kReadAgain) expect_dnspython_reads_recorded_replies();
  }

  static inline std::unique_ptr<ServerTree> tree_;
  static inline std::unique_ptr<ServerProcess> server_;
};

}  // namespace norvane::system_test
