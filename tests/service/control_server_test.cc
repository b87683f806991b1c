// The control channel served by an in-process ControlServer on a socket path
// in a scratch folder, driven over real SOCK_SEQPACKET connections. The
// privilege test runs for real: a forked child that has become "nobody".
#include "service/control_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control/control_channel.h"
#include "control/control_messages.h"
#include "engine/dns_message.h"
#include "engine/zone_file.h"
#include "runtime/settings.h"
#include "tests/test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uid_t kNobody = 65534;
constexpr int kReplyTimeoutMs = 5000;

struct Reply {
  long length = -1;
  uint32_t status = 0;
  uint32_t value = 0;
  Bytes payload;
};

Bytes request_bytes(uint32_t code, uint32_t value, const Bytes& payload) {
  Bytes bytes(8);
  write_le32(bytes, 0, code);
  write_le32(bytes, 4, value);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

Reply send_raw(int fd, const Bytes& request) {
  Bytes buffer(kControlMessageSize);
  Reply reply;
  reply.length = control_transact(fd, request, buffer, kReplyTimeoutMs);
  if (reply.length < 4) return reply;
  reply.status = read_le32(buffer, 0);
  reply.value = read_le32(buffer, 4);
  if (reply.length > 8) reply.payload.assign(buffer.begin() + 8, buffer.begin() + reply.length);
  return reply;
}

Reply transact(int fd, uint32_t code, uint32_t value = 0, const Bytes& payload = {}) {
  return send_raw(fd, request_bytes(code, value, payload));
}

Bytes handle_bytes(uint64_t handle) {
  Bytes bytes(8);
  write_le64(bytes, 0, handle);
  return bytes;
}

Bytes text_bytes(std::initializer_list<std::string_view> texts) {
  Bytes bytes;
  for (std::string_view text : texts) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
  }
  return bytes;
}

Bytes add_payload(uint32_t ttl, uint32_t datum, std::string_view owner, std::string_view target) {
  return *encode_add_record_request({ttl, datum, std::string(owner), std::string(target)});
}

uint32_t ipv4(const char* text) {
  in_addr address{};
  inet_pton(AF_INET, text, &address);
  return address.s_addr;
}

size_t open_descriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

class Connection {
 public:
  explicit Connection(const std::string& address) : fd_(control_connect(address)) {}
  ~Connection() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

class ControlServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = root_ / "data";
    fs::create_directory(data_);
    fs::create_directory(root_ / "store");
    // Readable by the unprivileged child; the store stays writable by its
    // owner only.
    for (const fs::path& folder : {root_, data_, root_ / "store"}) ::chmod(folder.c_str(), 0755);
    store_ = std::make_unique<SettingsStore>((root_ / "store").string());

    engine_.settings.data_directory.set(data_.string());
    engine_.zone.set_zone_soa("office.lan", "ns1", "hostmaster", 1, 3600, 600, 86400, 300);
    install_zone_save_hook(engine_);
    address_ = (root_ / "control.sock").string();
    server_ = std::make_unique<ControlServer>(engine_, *store_);
    ASSERT_TRUE(server_->start(address_));
  }

  void TearDown() override { server_.reset(); }

  void write_file(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
    ::chmod(path.c_str(), 0644);
  }

  // Adds records through the channel and returns the listing's handles.
  std::vector<uint64_t> add_office_records(int fd) {
    EXPECT_EQ(transact(fd, kControlAddRecord, kTypeA,
                       add_payload(300, ipv4("10.0.0.1"), "a.office.lan", ""))
                  .status,
              0u);
    EXPECT_EQ(transact(fd, kControlAddRecord, kTypeA,
                       add_payload(300, ipv4("10.0.0.2"), "b.office.lan", ""))
                  .status,
              0u);
    EXPECT_EQ(
        transact(fd, kControlAddRecord, kTypeMx, add_payload(300, 10, "office.lan", "a.office.lan"))
            .status,
        0u);
    std::vector<uint64_t> handles;
    Reply reply = transact(fd, kControlNextDatabaseRecord, 0);
    while (reply.length > 8) {
      auto image = decode_record_image(reply.payload);
      if (!image) break;
      handles.push_back(image->handle);
      if (image->next == 0) break;
      reply = transact(fd, kControlNextDatabaseRecord, 8, handle_bytes(image->next));
    }
    return handles;
  }

  test_support::ScratchFolder scratch_{"norvane-control"};
  fs::path root_ = scratch_.path();
  fs::path data_;
  Engine engine_;
  std::unique_ptr<SettingsStore> store_;
  std::string address_;
  std::unique_ptr<ControlServer> server_;
};

TEST_F(ControlServerTest, UnassignedCodesAnswerUnknownCommand) {
  Connection client(address_);
  for (uint32_t code : {0u, 4u, 19u, 20u, 27u, 28u, 29u, 30u, 35u, 0x80000000u, 0xFFFFFFFFu}) {
    const Reply reply = transact(client.fd(), code, 7, {1, 2, 3});
    EXPECT_EQ(reply.length, 4) << code;
    EXPECT_EQ(reply.status, kControlUnknownCommand) << code;
  }
}

TEST_F(ControlServerTest, FixedImagesHaveTheirLengths) {
  Connection client(address_);
  struct Case {
    uint32_t code;
    long length;
    uint32_t value;
  };
  for (const Case& c : {Case{kControlGetSettings, 344, 336}, Case{kControlGetZone, 832, 824},
                        Case{kControlGetStatistics, 52, 44}}) {
    const Reply reply = transact(client.fd(), c.code);
    EXPECT_EQ(reply.length, c.length) << c.code;
    EXPECT_EQ(reply.status, 0u) << c.code;
    EXPECT_EQ(reply.value, c.value) << c.code;
  }
  auto zone = decode_zone_image(transact(client.fd(), kControlGetZone).payload);
  ASSERT_TRUE(zone);
  EXPECT_EQ(zone->soa.domain, "office.lan");
  EXPECT_EQ(zone->soa.primary, "ns1.office.lan");
  EXPECT_EQ(zone->soa.retry, 600u);
  auto settings = decode_settings_image(transact(client.fd(), kControlGetSettings).payload);
  ASSERT_TRUE(settings);
  EXPECT_EQ(std::string(settings->data_directory), data_.string());
}

TEST_F(ControlServerTest, RecordWalkEndsCleanlyWhenARecordVanishes) {
  Connection client(address_);
  EXPECT_EQ(transact(client.fd(), kControlNextDatabaseRecord, 0).length, 4);

  const auto handles = add_office_records(client.fd());
  ASSERT_EQ(handles.size(), 3u);
  EXPECT_EQ(std::set<uint64_t>(handles.begin(), handles.end()).size(), 3u);
  EXPECT_EQ(std::count(handles.begin(), handles.end(), 0u), 0);

  // Handle 0 with a nonzero value names nothing; it must not restart the walk.
  EXPECT_EQ(transact(client.fd(), kControlNextDatabaseRecord, 8, handle_bytes(0)).length, 4);

  Reply second = transact(client.fd(), kControlNextDatabaseRecord, 8, handle_bytes(handles[1]));
  auto image = decode_record_image(second.payload);
  ASSERT_TRUE(image);
  EXPECT_EQ(second.value, second.length - 8);
  EXPECT_EQ(image->name, "b.office.lan");
  EXPECT_EQ(image->next, handles[2]);

  EXPECT_EQ(transact(client.fd(), kControlRemoveRecord, 8, handle_bytes(handles[1])).status, 0u);
  EXPECT_EQ(transact(client.fd(), kControlNextDatabaseRecord, 8, handle_bytes(handles[1])).length,
            4);
  EXPECT_EQ(transact(client.fd(), kControlRemoveRecord, 8, handle_bytes(handles[1])).status,
            kControlRemoveRecord);
  // The walk from the first record now skips to the third.
  image = decode_record_image(
      transact(client.fd(), kControlNextDatabaseRecord, 8, handle_bytes(handles[0])).payload);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->next, handles[2]);
}

TEST_F(ControlServerTest, FieldsAShortRequestDoesNotCarryReadAsZero) {
  Connection client(address_);
  const auto handles = add_office_records(client.fd());
  ASSERT_EQ(handles.size(), 3u);
  // A full request leaves the handle of the second record behind it...
  ASSERT_GT(transact(client.fd(), kControlNextDatabaseRecord, 8, handle_bytes(handles[1])).length,
            8);
  // ...which an 8-byte request must not pick up.
  EXPECT_EQ(transact(client.fd(), kControlNextDatabaseRecord, 8).length, 4);
  EXPECT_EQ(transact(client.fd(), kControlRemoveRecord, 8).status, kControlRemoveRecord);
  EXPECT_EQ(engine_.zone.hold().live().size(), 3u);
}

TEST_F(ControlServerTest, DatabaseRulesAnswerTheCommandCode) {
  Connection client(address_);
  add_office_records(client.fd());
  struct Case {
    const char* what;
    uint32_t code;
    uint32_t value;
    Bytes payload;
    uint32_t status;
  };
  const std::vector<Case> cases = {
      {"duplicate A", kControlAddRecord, kTypeA,
       add_payload(60, ipv4("10.0.0.1"), "a.office.lan", ""), kControlAddRecord},
      {"first CNAME", kControlAddRecord, kTypeCname,
       add_payload(60, 0, "www.office.lan", "a.office.lan"), kControlDone},
      {"second CNAME", kControlAddRecord, kTypeCname,
       add_payload(60, 0, "www.office.lan", "b.office.lan"), kControlAddRecord},
      {"unknown type", kControlAddRecord, 99, add_payload(60, 0, "x.office.lan", "a"),
       kControlAddRecord},
      {"remove by upper case", kControlRemoveRecords, kTypeA, text_bytes({"A.OFFICE.LAN"}),
       kControlRemoveRecords},
      {"remove with trailing dot", kControlRemoveRecords, kTypeA, text_bytes({"a.office.lan."}),
       kControlDone},
      {"remove again", kControlRemoveRecords, kTypeA, text_bytes({"a.office.lan"}),
       kControlRemoveRecords},
      {"remove wrong type", kControlRemoveRecords, kTypeMx, text_bytes({"b.office.lan"}),
       kControlRemoveRecords},
      {"remove cache entry 0", kControlRemoveCacheEntry, 8, handle_bytes(0),
       kControlRemoveCacheEntry},
  };
  for (const Case& c : cases) {
    const Reply reply = transact(client.fd(), c.code, c.value, c.payload);
    EXPECT_EQ(reply.length, 4) << c.what;
    EXPECT_EQ(reply.status, c.status) << c.what;
  }
}

TEST_F(ControlServerTest, SettingsImageOfTheWrongLengthChangesNothing) {
  Connection client(address_);
  Reply current = transact(client.fd(), kControlGetSettings);
  ASSERT_EQ(current.payload.size(), kSettingsImageSize);
  Bytes image = current.payload;
  write_le32(image, 40, 5353);  // Port

  const std::string store_file = store_->file_path();
  Reply refused = transact(client.fd(), kControlSetSettings, 335, image);
  EXPECT_EQ(refused.status, kControlSetSettings);
  EXPECT_EQ(engine_.settings.port.load(), 53u);
  EXPECT_EQ(store_->store_read_text(kMainKey, "Port", ""), "");

  EXPECT_EQ(transact(client.fd(), kControlSetSettings, 336, image).status, 0u);
  EXPECT_EQ(engine_.settings.port.load(), 5353u);
  EXPECT_EQ(store_->store_read_text(kMainKey, "Port", ""), "5353");
}

TEST_F(ControlServerTest, SetSettingsNeverWritesTheNameServerPorts) {
  // Stored: DNS1 on 5353, an orphan port for slot 3. The image moves DNS1's
  // port and adds a second server with its own port; neither port is stored,
  // and both come back as the store says.
  ASSERT_EQ(store_->store_write_text(kMainKey, "DNS1", "10.0.0.1"), 1);
  ASSERT_EQ(store_->store_write_text(kMainKey, "DNS-Port1", "5353"), 1);
  ASSERT_EQ(store_->store_write_text(kMainKey, "DNS-Port3", "7053"), 1);
  settings_read(engine_, *store_, kMainKey);
  Connection client(address_);
  Bytes image = transact(client.fd(), kControlGetSettings).payload;
  ASSERT_EQ(image.size(), kSettingsImageSize);
  write_le32(image, 44, 2);  // server count
  std::memcpy(image.data() + 56, handle_bytes(ipv4("10.0.0.2")).data(), 4);
  image[68] = 0x35;  // port 1: 53
  image[69] = 0x00;
  image[70] = 0x11;  // port 2: 4369
  image[71] = 0x11;

  ASSERT_EQ(transact(client.fd(), kControlSetSettings, 336, image).status, 0u);
  EXPECT_EQ(store_->store_read_text(kMainKey, "DNS2", ""), "10.0.0.2");
  EXPECT_EQ(store_->store_read_text(kMainKey, "DNS-Port1", ""), "5353");
  EXPECT_EQ(store_->store_read_text(kMainKey, "DNS-Port2", "none"), "none");
  EXPECT_EQ(store_->store_read_text(kMainKey, "DNS-Port3", ""), "7053");
  const auto servers = engine_.settings.external_servers.get();
  ASSERT_EQ(servers->size(), 2u);
  EXPECT_EQ((*servers)[0].port, 5353);
  EXPECT_EQ((*servers)[1].port, 53);
}

TEST_F(ControlServerTest, OverlongRequestEndsTheConnection) {
  Connection client(address_);
  EXPECT_EQ(send_raw(client.fd(), Bytes(kControlMessageSize, 0)).status, kControlUnknownCommand);
  Bytes overlong = request_bytes(kControlGetStatistics, 0, Bytes(kControlPayloadSize + 1, 0));
  EXPECT_EQ(send_raw(client.fd(), overlong).length, -1);
  char byte;
  EXPECT_EQ(::recv(client.fd(), &byte, 1, 0), 0);  // closed by the server
}

TEST_F(ControlServerTest, FilesAreListedAndReadLineByLine) {
  write_file(data_ / "dns2612.log", "one\r\ntwo\n" + std::string(3000, 'x') + "\nlast");
  write_file(data_ / "dns2611.log", "");
  write_file(data_ / "name.db", "");
  Connection client(address_);

  Reply first = transact(client.fd(), kControlListFilesFirst, 0, text_bytes({"dns*.log"}));
  ASSERT_EQ(first.length, 336);
  const uint64_t search = read_le64(first.payload, 0);
  EXPECT_NE(search, 0u);
  auto record = decode_find_record(std::span<const uint8_t>(first.payload).subspan(8));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->name, "dns2611.log");
  Reply next = transact(client.fd(), kControlListFilesNext, 0, handle_bytes(search));
  ASSERT_EQ(next.length, 336);
  EXPECT_NE(next.value, 0u);
  record = decode_find_record(std::span<const uint8_t>(next.payload).subspan(8));
  EXPECT_EQ(record->name, "dns2612.log");
  EXPECT_EQ(record->size, 3000u + 14);
  EXPECT_EQ(transact(client.fd(), kControlListFilesNext, 0, handle_bytes(search)).length, 8);
  EXPECT_EQ(transact(client.fd(), kControlListFilesEnd, 0, handle_bytes(search)).value, 1u);
  EXPECT_EQ(transact(client.fd(), kControlListFilesEnd, 0, handle_bytes(search)).value, 0u);
  EXPECT_EQ(transact(client.fd(), kControlListFilesFirst, 0, text_bytes({"*.none"})).length, 8);

  Reply opened = transact(client.fd(), kControlOpenFile, 0, text_bytes({"dns2612.log", "r"}));
  ASSERT_EQ(opened.length, 16);
  const uint64_t file = read_le64(opened.payload, 0);
  ASSERT_NE(file, 0u);
  ASSERT_NE(file, search);
  const std::vector<std::string> lines = {"one\r\n", "two\n", std::string(2039, 'x'),
                                          std::string(961, 'x') + "\n", "last"};
  for (const std::string& line : lines) {
    Reply read = transact(client.fd(), kControlReadLine, 0, handle_bytes(file));
    ASSERT_EQ(read.length, static_cast<long>(8 + line.size() + 1));
    EXPECT_NE(read.value, 0u);
    EXPECT_EQ(std::string(read.payload.begin(), read.payload.end() - 1), line);
    EXPECT_EQ(read.payload.back(), 0);
  }
  Reply end = transact(client.fd(), kControlReadLine, 0, handle_bytes(file));
  EXPECT_EQ(end.length, 8);
  EXPECT_EQ(end.value, 0u);
  EXPECT_EQ(transact(client.fd(), kControlCloseFile, 0, handle_bytes(file)).value, 0u);
  EXPECT_NE(transact(client.fd(), kControlCloseFile, 0, handle_bytes(file)).value, 0u);
  EXPECT_EQ(transact(client.fd(), kControlReadLine, 0, handle_bytes(file)).length, 8);
}

TEST_F(ControlServerTest, HandlesAreBoundedAndClosedWithTheirConnection) {
  write_file(data_ / "name.db", "x\n");
  const size_t before = open_descriptors();
  uint64_t foreign = 0;
  {
    Connection client(address_);
    std::set<uint64_t> handles;
    for (size_t i = 0; i < kMaxFilesPerConnection; ++i) {
      const uint64_t handle = read_le64(
          transact(client.fd(), kControlOpenFile, 0, text_bytes({"name.db", "r"})).payload, 0);
      EXPECT_NE(handle, 0u);
      handles.insert(handle);
    }
    EXPECT_EQ(handles.size(), kMaxFilesPerConnection);
    EXPECT_EQ(
        read_le64(transact(client.fd(), kControlOpenFile, 0, text_bytes({"name.db", "r"})).payload,
                  0),
        0u);
    for (size_t i = 0; i < kMaxSearchesPerConnection; ++i) {
      EXPECT_EQ(transact(client.fd(), kControlListFilesFirst, 0, text_bytes({"*"})).length, 336);
    }
    EXPECT_EQ(transact(client.fd(), kControlListFilesFirst, 0, text_bytes({"*"})).length, 8);
    foreign = *handles.begin();

    // Another connection cannot use them.
    Connection other(address_);
    EXPECT_EQ(transact(other.fd(), kControlReadLine, 0, handle_bytes(foreign)).value, 0u);
    EXPECT_NE(transact(other.fd(), kControlCloseFile, 0, handle_bytes(foreign)).value, 0u);
    EXPECT_EQ(transact(client.fd(), kControlReadLine, 0, handle_bytes(foreign)).value, 2u);
  }
  // The server closes the files once it sees the connections end.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (open_descriptors() > before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_LE(open_descriptors(), before);
}

TEST_F(ControlServerTest, RoutesGoThroughTheHookAndTheGatewayIsStored) {
  struct Call {
    uint32_t destination, mask, gateway;
  };
  std::vector<Call> calls;
  server_->set_route_hook([&calls](uint32_t destination, uint32_t mask, uint32_t gateway) {
    calls.push_back({destination, mask, gateway});
    return destination == ipv4("172.16.0.0") ? 0 : 1;
  });
  engine_.settings.routes.set(
      {{ipv4("10.1.0.0"), ipv4("255.255.0.0")}, {ipv4("172.16.0.0"), ipv4("255.240.0.0")}});
  Connection client(address_);

  // Nothing stored: neither re-applying nor removing the default route acts.
  EXPECT_EQ(transact(client.fd(), kControlSetGateway, 0).value, 0u);
  EXPECT_EQ(transact(client.fd(), kControlRemoveDefaultRoute).value, 0u);
  EXPECT_TRUE(calls.empty());

  const uint32_t gateway = ipv4("192.168.1.254");
  Reply set = transact(client.fd(), kControlSetGateway, 4, handle_bytes(gateway));
  EXPECT_EQ(set.length, 8);
  EXPECT_EQ(set.value, 1u);
  EXPECT_EQ(store_->store_read_text(kMainKey, "Gateway", ""), "192.168.1.254");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].destination, 0u);
  EXPECT_EQ(calls[0].gateway, gateway);

  calls.clear();
  EXPECT_EQ(transact(client.fd(), kControlAddRoutes).value, 1u);  // one of two succeeded
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].mask, ipv4("255.240.0.0"));
  EXPECT_EQ(calls[1].gateway, gateway);
  calls.clear();
  EXPECT_EQ(transact(client.fd(), kControlRemoveRoutes).value, 1u);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].gateway, 0u);

  // Address 0 removes the setting and every default route, adding none.
  calls.clear();
  EXPECT_EQ(transact(client.fd(), kControlSetGateway, 4, handle_bytes(0)).value, 1u);
  EXPECT_EQ(store_->store_read_text(kMainKey, "Gateway", "none"), "none");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].gateway, 0u);
}

TEST_F(ControlServerTest, RefreshNeedsItsHook) {
  Connection client(address_);
  EXPECT_EQ(transact(client.fd(), kControlRefreshFromPrimary).status, kControlRefreshFromPrimary);
  int started = 0;
  server_->set_refresh_hook([&started] { return ++started; });
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(transact(client.fd(), kControlRefreshFromPrimary).status, 0u);
  EXPECT_EQ(started, 1);
  EXPECT_GE(engine_.zone.hold().retry_after(), before + 600);
}

TEST_F(ControlServerTest, StopWakesAnIdleConnection) {
  Connection client(address_);
  ASSERT_EQ(transact(client.fd(), kControlGetStatistics).status, 0u);
  server_->stop();
  char byte;
  EXPECT_EQ(::recv(client.fd(), &byte, 1, 0), 0);
  EXPECT_FALSE(fs::exists(address_));
}

// What the unprivileged child saw for one request.
struct Seen {
  uint32_t status;
  int32_t length;
  uint64_t handle;  // first 8 payload bytes
};

TEST_F(ControlServerTest, UnprivilegedClientReadsButCannotChange) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
  write_file(data_ / "dns2612.log", "line\n");
  write_file(root_ / "outside.txt", "secret\n");
  // A stored gateway and route list, so every route command would act if let.
  int route_calls = 0;
  server_->set_route_hook([&route_calls](uint32_t, uint32_t, uint32_t) { return ++route_calls; });
  const uint32_t stored_gateway = ipv4("192.168.1.254");
  engine_.settings.gateway.store(stored_gateway);
  engine_.settings.routes.set({{ipv4("10.1.0.0"), ipv4("255.255.0.0")}});
  fs::create_symlink(root_ / "outside.txt", data_ / "link.log");

  struct Request {
    const char* what;
    uint32_t code;
    uint32_t value;
    Bytes payload;
  };
  const std::vector<Request> requests = {
      {"walk", kControlNextDatabaseRecord, 0, {}},
      {"statistics", kControlGetStatistics, 0, {}},
      {"add", kControlAddRecord, kTypeA, add_payload(60, 1, "n.office.lan", "")},
      {"write setting", kControlWriteSetting, 0,
       *encode_write_setting_request({"Velisk", "Port", "1"})},
      {"clear cache", kControlClearCache, 0, {}},
      {"open r", kControlOpenFile, 0, text_bytes({"dns2612.log", "r"})},
      {"open R absolute", kControlOpenFile, 0, text_bytes({(data_ / "dns2612.log").string(), "R"})},
      {"open rb", kControlOpenFile, 0, text_bytes({"dns2612.log", "rb"})},
      {"open w", kControlOpenFile, 0, text_bytes({"dns2612.log", "w"})},
      {"open outside", kControlOpenFile, 0, text_bytes({"/etc/passwd", "r"})},
      {"open dot-dot", kControlOpenFile, 0, text_bytes({"../outside.txt", "r"})},
      {"open symlink", kControlOpenFile, 0, text_bytes({"link.log", "r"})},
      {"open missing", kControlOpenFile, 0, text_bytes({"missing.log", "r"})},
      {"list outside", kControlListFilesFirst, 0, text_bytes({"/etc/*"})},
      {"list inside", kControlListFilesFirst, 0, text_bytes({"*.log"})},
      {"set gateway", kControlSetGateway, 4, handle_bytes(ipv4("10.0.0.1"))},
      {"re-apply gateway", kControlSetGateway, 0, {}},
      {"remove default route", kControlRemoveDefaultRoute, 0, {}},
      {"add routes", kControlAddRoutes, 0, {}},
      {"remove routes", kControlRemoveRoutes, 0, {}},
  };

  int results[2];
  ASSERT_EQ(::pipe(results), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(results[0]);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
        ::setresuid(kNobody, kNobody, kNobody) != 0) {
      ::_exit(2);
    }
    const int fd = control_connect(address_);
    if (fd < 0) ::_exit(3);
    for (const Request& request : requests) {
      const Reply reply = transact(fd, request.code, request.value, request.payload);
      const Seen seen{reply.status, static_cast<int32_t>(reply.length),
                      read_le64(reply.payload, 0)};
      if (::write(results[1], &seen, sizeof seen) != sizeof seen) ::_exit(4);
    }
    ::_exit(0);
  }
  ::close(results[1]);
  std::vector<Seen> seen(requests.size());
  const ssize_t expected = static_cast<ssize_t>(seen.size() * sizeof(Seen));
  ssize_t got = 0;
  while (got < expected) {
    const ssize_t n =
        ::read(results[0], reinterpret_cast<char*>(seen.data()) + got, expected - got);
    if (n <= 0) break;
    got += n;
  }
  ::close(results[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ASSERT_EQ(got, expected);

  auto at = [&](const char* what) {
    for (size_t i = 0; i < requests.size(); ++i) {
      if (std::string_view(requests[i].what) == what) return seen[i];
    }
    ADD_FAILURE() << what;
    return Seen{};
  };
  EXPECT_EQ(at("walk").length, 4);
  EXPECT_EQ(at("walk").status, 0u);
  EXPECT_EQ(at("statistics").length, 52);
  for (const char* refused :
       {"add", "write setting", "clear cache", "open rb", "open w", "open outside", "open dot-dot",
        "open symlink", "list outside", "set gateway", "re-apply gateway", "remove default route",
        "add routes", "remove routes"}) {
    EXPECT_EQ(at(refused).status, kControlRefused) << refused;
    EXPECT_EQ(at(refused).length, 4) << refused;
  }
  for (const char* opened : {"open r", "open R absolute"}) {
    EXPECT_EQ(at(opened).status, 0u) << opened;
    EXPECT_EQ(at(opened).length, 16) << opened;
    EXPECT_NE(at(opened).handle, 0u) << opened;
  }
  EXPECT_EQ(at("open missing").length, 16);
  EXPECT_EQ(at("open missing").handle, 0u);
  EXPECT_EQ(at("list inside").length, 336);
  // No route command reached the routing table, and the gateway is as stored.
  EXPECT_EQ(route_calls, 0);
  EXPECT_EQ(engine_.settings.gateway.load(), stored_gateway);
  EXPECT_EQ(engine_.zone.hold().live().size(), 0u);
  EXPECT_EQ(store_->store_read_text(kMainKey, "Used", "none"), "none");

  // The owner of the store is privileged, and the test leaves its mark.
  Connection owner(address_);
  EXPECT_EQ(transact(owner.fd(), kControlAddRecord, kTypeA, add_payload(60, 1, "n.office.lan", ""))
                .status,
            0u);
  EXPECT_EQ(store_->store_read_text(kMainKey, "Used", "none"), "1");
}

// A connection that sends nothing for the idle time is closed by the server;
// one that keeps asking stays open well past it.
TEST_F(ControlServerTest, IdleConnectionIsClosedAndABusyOneKept) {
  server_.reset();
  ControlLimits limits;
  limits.idle_timeout_ms = 400;
  server_ = std::make_unique<ControlServer>(engine_, *store_, limits);
  ASSERT_TRUE(server_->start(address_));

  Connection idle(address_);
  Connection busy(address_);
  ASSERT_EQ(transact(idle.fd(), kControlGetStatistics).status, 0u);
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(transact(busy.fd(), kControlGetStatistics).length, 52) << "request " << i;
  }
  pollfd ready{idle.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, kReplyTimeoutMs), 1);
  char byte;
  EXPECT_EQ(::recv(idle.fd(), &byte, 1, MSG_DONTWAIT), 0);
}

// In a forked child: becomes `uid`, opens `attempts` control connections,
// counts those that are answered, writes the count to `report` and holds
// every connection until `release` reaches its end.
[[noreturn]] void hold_connections_as(uid_t uid, const std::string& address, int attempts,
                                      int report, int release) {
  if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
      ::setresuid(uid, uid, uid) != 0) {
    ::_exit(2);
  }
  // The child of a threaded process must not allocate: a lock of the
  // allocator (the sanitizer's in particular) may have been held by another
  // thread at the fork and would never be released here. The connections stay
  // open until exit; the buffers are static.
  static uint8_t request[8];
  static uint8_t reply[kControlMessageSize];
  write_le32(std::span<uint8_t>(request), 0, kControlGetStatistics);
  int32_t answered = 0;
  for (int i = 0; i < attempts; ++i) {
    const int fd = control_connect(address);
    if (fd < 0) continue;
    if (control_transact(fd, request, reply, kReplyTimeoutMs) == 52) ++answered;
  }
  if (::write(report, &answered, sizeof answered) != sizeof answered) ::_exit(3);
  char byte;
  while (::read(release, &byte, 1) > 0) {
  }
  ::_exit(0);
}

// Unprivileged users who open connections and leave them idle get at most
// their share: 8 each, 56 among them all, and the last 8 places stay free
// for a privileged client, which is still answered.
TEST_F(ControlServerTest, UnprivilegedUsersCannotLockOutThePrivileged) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to become other users";
  constexpr int kUsers = 8;
  // "nobody" tries every place there is; the others a few more than their share.
  constexpr int kNobodyAttempts = 64;
  constexpr int kAttempts = 10;
  const uid_t users[kUsers] = {kNobody, 60001, 60002, 60003, 60004, 60005, 60006, 60007};
  int report[2];
  int release[2];
  ASSERT_EQ(::pipe(report), 0);
  ASSERT_EQ(::pipe(release), 0);
  std::vector<pid_t> children;
  for (const uid_t uid : users) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(report[0]);
      ::close(release[1]);
      hold_connections_as(uid, address_, uid == kNobody ? kNobodyAttempts : kAttempts, report[1],
                          release[0]);
    }
    children.push_back(child);
  }
  ::close(report[1]);
  ::close(release[0]);
  std::vector<int32_t> counts;
  for (int i = 0; i < kUsers; ++i) {
    int32_t count = -1;
    if (::read(report[0], &count, sizeof count) != sizeof count) break;
    counts.push_back(count);
  }
  ::close(report[0]);

  // While they hold their places, the privileged client gets the reserve.
  std::vector<std::unique_ptr<Connection>> privileged;
  int privileged_answered = 0;
  for (int i = 0; i < 9; ++i) {
    privileged.push_back(std::make_unique<Connection>(address_));
    if (transact(privileged.back()->fd(), kControlGetStatistics).length == 52)
      ++privileged_answered;
  }
  ::close(release[1]);
  for (const pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  ASSERT_EQ(counts.size(), static_cast<size_t>(kUsers));
  int total = 0;
  for (const int32_t count : counts) {
    EXPECT_LE(count, 8);
    total += count;
  }
  EXPECT_EQ(total, 56);
  EXPECT_EQ(privileged_answered, 8);
}

TEST(ControlPrivilegeTest, WritePermissionDecidesThroughOwnerGroupOrOther) {
  char pattern[] = "/tmp/norvane-store-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path folder = pattern;
  struct stat status {};
  ASSERT_EQ(::stat(folder.c_str(), &status), 0);
  const uid_t owner = status.st_uid;
  const gid_t group = status.st_gid;
  const uid_t stranger = owner + 4242;
  const gid_t other_group = group + 4242;
  struct Case {
    const char* what;
    mode_t mode;
    PeerCredentials peer;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"root always", 0500, {0, 0, {}}, true},
      {"owner with wx", 0700, {owner == 0 ? 1u : owner, group, {}}, owner != 0},
      {"owner without w", 0500, {stranger, other_group, {}}, false},
      {"group member", 0770, {stranger, other_group, {group}}, true},
      {"group bits deny though other allow", 0707, {stranger, group, {}}, false},
      {"other bits", 0703, {stranger, other_group, {}}, true},
      {"other without x", 0702, {stranger, other_group, {}}, false},
  };
  for (const Case& c : cases) {
    ::chmod(folder.c_str(), c.mode);
    EXPECT_EQ(peer_may_write_store(c.peer, folder.string()), c.expected) << c.what;
  }
  // A missing folder: its nearest existing parent decides.
  ::chmod(folder.c_str(), 0703);
  EXPECT_TRUE(peer_may_write_store({stranger, other_group, {}}, (folder / "a" / "b").string()));
  ::chmod(folder.c_str(), 0755);
  EXPECT_FALSE(peer_may_write_store({stranger, other_group, {}}, (folder / "a").string()));
  // The settings file itself must be writable too.
  ::chmod(folder.c_str(), 0777);
  std::ofstream(folder / "settings.ini") << "[Velisk]\n";
  ::chmod((folder / "settings.ini").c_str(), 0644);
  EXPECT_FALSE(peer_may_write_store({stranger, other_group, {}}, folder.string()));
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
}  // namespace norvane
