// ostrum -debug as an operator sees it: the lines on standard output while it
// starts, serves and stops, the stop on Ctrl+C (SIGINT), and the start on a
// port that another program already holds.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/service/system_test_support.h"

namespace norvane::system_test {
namespace {

const std::regex kStamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )");

// The index of the first line at or after `from` that is a timestamp, one
// blank and then exactly one of `texts`; -1 when there is none.
int find_stamped_line(const std::vector<std::string>& lines, const std::vector<std::string>& texts,
                      int from = 0) {
  for (int i = std::max(from, 0); i < static_cast<int>(lines.size()); ++i) {
    const std::string& line = lines[i];
    if (line.size() < 20 || !std::regex_match(line.substr(0, 20), kStamp)) continue;
    for (const std::string& text : texts)
      if (line.compare(20, std::string::npos, text) == 0) return i;
  }
  return -1;
}

int find_stamped_line(const std::vector<std::string>& lines, const std::string& text,
                      int from = 0) {
  return find_stamped_line(lines, std::vector<std::string>{text}, from);
}

// Waits up to two seconds for a stamped line of `texts` at or after `from`:
// lines reach the file when the server flushes, a moment after the reply.
int await_stamped_line(ServerProcess& server, const std::vector<std::string>& texts, int from = 0) {
  const auto deadline = Clock::now() + milliseconds(2'000);
  for (;;) {
    const int at = find_stamped_line(split_lines(server.output()), texts, from);
    if (at >= 0 || Clock::now() > deadline) return at;
    std::this_thread::sleep_for(milliseconds(20));
  }
}

int await_stamped_line(ServerProcess& server, const std::string& text, int from = 0) {
  return await_stamped_line(server, std::vector<std::string>{text}, from);
}

// Someone watching the console (or a script reading it through a pipe) must
// see that the server is ready without first sending it anything.
TEST(SystemConsoleTest, ReadyLineAppearsWithoutAnyTraffic) {
  ServerTree tree(find_free_port(), kOfficeZone);
  ServerProcess::Options options;
  options.nudge = false;
  options.ready_wait = milliseconds(5'000);
  ServerProcess server(tree, options);
  const std::vector<std::string> lines = split_lines(server.output());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Debugging DNS Server.");
  EXPECT_GE(find_stamped_line(lines, "Norvane DNS Server 1.5.3 ready"), 0) << server.output();
}

// Each request leaves its lines in order: the request with its length, the
// question, the local records answered, then the reply with its length and id.
TEST(SystemConsoleTest, QueriesAreLoggedOnStandardOutput) {
  ServerTree tree(find_free_port(), kOfficeZone);
  ServerProcess server(tree);

  struct Case {
    bool tcp;
    const char* name;
    uint16_t id;
    std::vector<std::string> records;
  };
  const Case cases[] = {
      {false, "printer.office.lan", 0x2A01, {"local printer.office.lan 600 IN A 192.168.10.40"}},
      {true,
       "host.office.lan",
       0x2A02,
       {"local host.office.lan 300 IN A 192.168.10.20",
        "local host.office.lan 300 IN A 192.168.10.21"}},
  };
  for (const Case& c : cases) {
    const std::string transport = c.tcp ? "tcp" : "udp";
    SCOPED_TRACE(transport);
    const std::vector<uint8_t> query = make_query(c.id, c.name, 1);
    const auto reply = c.tcp ? tcp_exchange(tree.port(), query) : udp_exchange(tree.port(), query);
    ASSERT_TRUE(reply.has_value());

    const std::string peer = "127.0.0.1 " + transport + " ";
    const int request =
        await_stamped_line(server, peer + "request len " + std::to_string(query.size()));
    ASSERT_GE(request, 0) << server.output();
    const int question = await_stamped_line(
        server, "query (127.0.0.1 " + transport + ") " + c.name + " IN A", request);
    EXPECT_GT(question, request) << server.output();
    int last = question;
    for (const std::string& record : c.records) {
      const int at = await_stamped_line(server, record, last);
      EXPECT_GT(at, last) << record << "\n" << server.output();
      last = std::max(last, at);
    }
    const std::string xid = " xid " + std::to_string(c.id);
    std::vector<std::string> sent_lines = {peer + "reply sent len " +
                                           std::to_string(reply->size()) + xid};
    // Over TCP the count may include the two-byte length in front.
    if (c.tcp)
      sent_lines.push_back(peer + "reply sent len " + std::to_string(reply->size() + 2) + xid);
    const int sent = await_stamped_line(server, sent_lines, last);
    EXPECT_GT(sent, last) << server.output();
  }
}

// Ctrl+C stops the server at once even while a client holds an idle
// connection (the idle timeout is ten seconds), and the program ends with 0.
TEST(SystemConsoleTest, SigintStopsPromptlyWithExitCodeZero) {
  ServerTree tree(find_free_port(), kOfficeZone);
  ServerProcess server(tree);
  UniqueFd idle = connect_tcp_to(tree.port());
  ASSERT_TRUE(idle.valid());
  ASSERT_TRUE(send_all(idle.get(), framed(make_query(0x1D1E, "host.office.lan", 1))));
  ASSERT_TRUE(read_tcp_message(idle.get()).has_value());

  server.interrupt();
  ASSERT_TRUE(server.wait_exit(milliseconds(3'000))) << server.output();
  EXPECT_EQ(server.exit_code(), 0);
  const std::vector<std::string> lines = split_lines(server.output());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Debugging DNS Server.");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Stopping DNS Server."), lines.end())
      << server.output();
  // Both sockets are given back.
  EXPECT_TRUE(bind_port(SOCK_DGRAM, tree.port()).valid());
  EXPECT_TRUE(bind_port(SOCK_STREAM, tree.port()).valid());
}

// A port held by another program, for either transport, is reported and the
// program ends at once with 0 instead of serving half the protocol.
TEST(SystemConsoleTest, PortInUseIsReportedAndTheProgramEnds) {
  for (const int taken : {SOCK_DGRAM, SOCK_STREAM}) {
    SCOPED_TRACE(taken == SOCK_DGRAM ? "udp taken" : "tcp taken");
    const uint16_t port = find_free_port();
    const UniqueFd holder = bind_port(taken, port);
    ASSERT_TRUE(holder.valid());
    ServerTree tree(port, kOfficeZone);
    ServerProcess::Options options;
    options.wait_ready = false;
    ServerProcess server(tree, options);
    ASSERT_TRUE(server.wait_exit(milliseconds(3'000))) << server.output();
    EXPECT_EQ(server.exit_code(), 0);
    const std::vector<std::string> lines = split_lines(server.output());
    EXPECT_GE(find_stamped_line(lines, "Error, bind on port " + std::to_string(port) + " failed"),
              0)
        << server.output();
    EXPECT_LT(find_stamped_line(lines, "Norvane DNS Server 1.5.3 ready"), 0) << server.output();
  }
}

}  // namespace
}  // namespace norvane::system_test
