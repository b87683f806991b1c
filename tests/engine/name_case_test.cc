// A local domain written in mixed case: queries and updates in any case still
// find it and the names below it (RFC 4343), and the SOA goes out with the
// domain, primary and mailbox exactly as they were written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/dns_message.h"
#include "engine/dynamic_update.h"
#include "engine/engine.h"
#include "engine/query.h"
#include "tests/engine/engine_test_support.h"

namespace norvane {
namespace {

using namespace test_support;

class NameCaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(engine_.zone.set_zone_soa("Office.LAN.", "Ns1", "Hostmaster.Office.LAN", 2024, 10800,
                                        3600, 604800, 900),
              1);
    add_record(engine_, kTypeNs, "Office.LAN", 3600, 0, "ns1.office.lan");
    add_record(engine_, kTypeA, "ns1.office.lan", 3600, ipv4(192, 168, 1, 1));
    add_record(engine_, kTypeA, "Host.Office.LAN", 300, ipv4(192, 168, 1, 10));
    context_.client_address.sin_family = AF_INET;
    context_.client_address.sin_addr.s_addr = ipv4(10, 0, 0, 5);
    context_.server_address = ipv4(8, 8, 8, 8);
  }

  Engine engine_;
  RequestContext context_;
};

const std::string kMixedSoa =
    "Office.LAN. 10800 IN SOA Ns1.Office.LAN. Hostmaster.Office.LAN. 2024 10800 3600 604800 900";
const std::string kNs = "office.lan. 3600 IN NS ns1.office.lan.";
const std::string kNs1A = "ns1.office.lan. 3600 IN A 192.168.1.1";
const std::string kHostA = "host.office.lan. 300 IN A 192.168.1.10";

TEST_F(NameCaseTest, QuestionsInAnyCaseAreAnsweredWithTheSoaAsWritten) {
  struct Case {
    const char* name;
    uint16_t type;
    int rcode;
    std::vector<std::string> answer;
    std::vector<std::string> authority;
    std::vector<std::string> additional;
  };
  const Case cases[] = {
      {"host.office.lan", kTypeA, 0, {kHostA}, {}, {}},
      {"HOST.OFFICE.LAN", kTypeA, 0, {kHostA}, {}, {}},
      {"office.lan", kTypeSoa, 0, {kMixedSoa}, {}, {kNs, kNs1A}},
      {"oFFICE.lan", kTypeSoa, 0, {kMixedSoa}, {}, {kNs, kNs1A}},
      {"office.lan", kTypeNs, 0, {kNs}, {}, {kNs1A}},
      // The domain exists even for a type it has no record of.
      {"office.lan", kTypeA, 0, {}, {}, {}},
      {"nosuch.office.lan", kTypeA, 3, {}, {}, {}},
      {"host.office.lan", kTypeNs, 0, {}, {kMixedSoa}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + type_mnemonic(c.type));
    const Served served = serve(engine_, context_, make_query(c.name, c.type));
    ASSERT_GT(served.result, 0) << "forwarded instead of answered";
    ASSERT_NE(served.packet, nullptr);
    EXPECT_EQ(ldns_pkt_get_rcode(served.packet.get()), c.rcode);
    EXPECT_TRUE(ldns_pkt_aa(served.packet.get()));
    EXPECT_EQ(served.answer, c.answer);
    EXPECT_EQ(served.authority, c.authority);
    EXPECT_EQ(served.additional, c.additional);
  }
  // A name that only ends with the domain's letters is not local.
  Reply reply;
  EXPECT_EQ(handle_message(engine_, context_, reply, kUdpReplyLimit,
                           make_query("backOffice.LAN", kTypeA)),
            0);
}

TEST_F(NameCaseTest, UpdatesNameTheZoneInAnyCase) {
  for (const char* zone : {"office.lan", "OFFICE.Lan"}) {
    SCOPED_TRACE(zone);
    // Zone section only, no prerequisites and no updates: opcode 5.
    const Served served = serve(engine_, context_, make_request(7, 0x2800, {{zone, kTypeSoa}}));
    ASSERT_GT(served.result, 0);
    EXPECT_EQ(served.flags & 0x000F, kRcodeNoError);
  }
  const Served other = serve(engine_, context_, make_request(8, 0x2800, {{"lan", kTypeSoa}}));
  ASSERT_GT(other.result, 0);
  EXPECT_EQ(other.flags & 0x000F, kRcodeNotAuth);
}

}  // namespace
}  // namespace norvane
