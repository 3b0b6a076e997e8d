// The readiness probe on a simulated guest whose resolver gives loopback addresses: real
// TCP connects and fetches, sleeps on the virtual clock, and a network port that refuses
// connects from chosen local addresses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "cloudinit/cloud_init.h"
#include "platform/sim/services.h"
#include "support/agent_test.h"
#include "support/delegating_platform.h"
#include "support/http_server.h"
#include "support/network_wrapper.h"

namespace tarvik::test {
namespace {

using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::Not;

struct Connect {
  std::string local, server;
  uint16_t port;
};

// The sim's network, with every connect recorded and those from refused addresses
// failing as a refused connection does.
class RecordingNetwork final : public NetworkWrapper {
 public:
  using NetworkWrapper::NetworkWrapper;
  Status tcp_connect(std::string_view local, std::string_view server, uint16_t port) override {
    connects.push_back({std::string(local), std::string(server), port});
    if (refused.count(std::string(local))) return win::kConnectionRefused;
    return NetworkWrapper::tcp_connect(local, server, port);
  }

  std::vector<Connect> connects;
  std::set<std::string> refused;
};

class ProbeTest : public AgentTest {
 protected:
  // A guest whose resolver answers addresses and whose metadata service is endpoint.
  RecordingNetwork& guest(const std::string& addresses, const std::string& endpoint) {
    write(root_ + "/machine.ini", std::string(kDefaultMachineIni) + "[network]\nhost_addresses=" +
                                      addresses + "\nmetadata=" + endpoint + "\n");
    std::string error;
    auto sim = sim::make_platform(root_, error);
    EXPECT_TRUE(sim) << error;
    auto wrapped = std::make_unique<PlatformWithNetwork<RecordingNetwork>>(std::move(sim));
    RecordingNetwork& net = wrapped->wrapper();
    install_platform(std::move(wrapped));
    return net;
  }
  uint32_t ms() { return p().clock().tick_count(); }
  static std::vector<std::string> locals(const std::vector<Connect>& connects) {
    std::vector<std::string> out;
    for (const Connect& c : connects) out.push_back(c.local);
    return out;
  }
  cloud_init& ci() { return cloud_init::instance(); }
};

std::string closed_endpoint() {
  SilentListener gone;  // its port is free again once it has closed
  return gone.endpoint();
}

TEST_F(ProbeTest, OneAddressWaitsUnboundAndNeverBindsTheFetch) {
  HttpServer server({{"/latest/meta-data/instance-id", {200, "i-42"}}});
  RecordingNetwork& net = guest("127.0.0.2", server.endpoint());
  EXPECT_EQ(ci().select_local_ip(), "");
  ASSERT_EQ(net.connects.size(), 1u);
  EXPECT_EQ(net.connects[0].local, "");
  EXPECT_EQ(net.connects[0].server, "127.0.0.1");
  EXPECT_EQ(net.connects[0].port, server.port());
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].peer, "127.0.0.1");
  EXPECT_THAT(log_messages(),
              ElementsAre("-->cloud_init::local ipv4 address: 127.0.0.2",
                          "-->cloud_init::wait_ready", "-->curl_util::fetch 6,5000,",
                          "<--curl_util::fetch", "fetch instance_id(i-42) ok "));
}

TEST_F(ProbeTest, AnUnreachableServiceIsTried120Times2000msApartThenReported) {
  std::string endpoint = closed_endpoint();
  RecordingNetwork& net = guest("10.0.0.5", endpoint);
  uint32_t start = ms();
  EXPECT_EQ(ci().select_local_ip(), "");
  EXPECT_EQ(net.connects.size(), 120u);
  EXPECT_THAT(locals(net.connects), Each(""));
  EXPECT_EQ(ms() - start, 240000u);
  std::vector<std::string> lines = log_messages();
  EXPECT_THAT(lines, Contains("cloud_init wait net ready fail"));
  EXPECT_THAT(lines, Contains("fetch instance_id error "));
  EXPECT_THAT(lines, Contains("TARVIK_REPORT_ERROR:meta_server_error http://" + endpoint +
                              "/latest/meta-data/instance-id"));
}

TEST_F(ProbeTest, AHostNameThatDoesNotResolveTakesTheOneAddressPath) {
  HttpServer server({{"/latest/meta-data/instance-id", {200, "i-42"}}});
  RecordingNetwork& net = guest("none", server.endpoint());
  EXPECT_EQ(ci().select_local_ip(), "");
  EXPECT_THAT(log_messages(), Contains("-->cloud_init::gethostbyname Error:11001"));
  EXPECT_THAT(log_messages(), Contains("-->cloud_init::wait_ready"));
  EXPECT_EQ(net.connects.size(), 1u);
}

TEST_F(ProbeTest, TheFirstAddressFromWhichTheServiceAnswersIsChosen) {
  HttpServer server({{"/latest/meta-data/instance-id", {200, "i-42"}}});
  RecordingNetwork& net = guest("127.0.0.3,127.0.0.2", server.endpoint());
  net.refused = {"127.0.0.3"};
  uint32_t start = ms();
  EXPECT_EQ(ci().select_local_ip(), "127.0.0.2");
  std::vector<std::string> expected(30, "127.0.0.3");
  expected.push_back("127.0.0.2");
  EXPECT_EQ(locals(net.connects), expected);
  EXPECT_EQ(ms() - start, 30000u);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].peer, "127.0.0.2");
  EXPECT_THAT(log_messages(), Contains("test connect success: 127.0.0.2"));
  EXPECT_THAT(log_messages(), Contains("fetch instance_id(i-42) ok with local ip: 127.0.0.2"));
  EXPECT_THAT(log_messages(), Not(Contains("test connect success: 127.0.0.3")));
}

TEST_F(ProbeTest, AnAddressThatConnectsButGetsNoIdentifierIsPassedOver) {
  HttpServer server([](const HttpRequest& r, HttpConnection& c) {
    c.send(r.peer == "127.0.0.2" ? HttpServer::answer(200, "i-42")
                                 : HttpServer::answer(403, "not from here"));
  });
  RecordingNetwork& net = guest("127.0.0.3,127.0.0.2", server.endpoint());
  EXPECT_EQ(ci().select_local_ip(), "127.0.0.2");
  EXPECT_THAT(locals(net.connects), ElementsAre("127.0.0.3", "127.0.0.2"));
  std::vector<std::string> peers;
  for (const HttpRequest& r : server.requests()) peers.push_back(r.peer);
  std::vector<std::string> expected(6, "127.0.0.3");
  expected.push_back("127.0.0.2");
  EXPECT_EQ(peers, expected);
  EXPECT_THAT(log_messages(), Contains("test connect success: 127.0.0.3"));
}

TEST_F(ProbeTest, NoAddressReachingTheServiceEndsAfterTenPassesWithOneLine) {
  HttpServer server({{"/latest/meta-data/instance-id", {200, "i-42"}}});
  RecordingNetwork& net = guest("127.0.0.3,127.0.0.2", server.endpoint());
  net.refused = {"127.0.0.3", "127.0.0.2"};
  uint32_t start = ms();
  EXPECT_EQ(ci().select_local_ip(), "");
  EXPECT_EQ(net.connects.size(), 600u);  // 10 passes of 30 tries from each address
  EXPECT_EQ(ms() - start, 600000u);
  EXPECT_TRUE(server.requests().empty());
  std::vector<std::string> lines = log_messages();
  EXPECT_EQ(lines.back(), "cloud_init no local address reaches the metadata service at 127.0.0.1");
  for (const std::string& line : lines)
    EXPECT_EQ(line.find("TARVIK_REPORT_ERROR"), std::string::npos) << line;
}

TEST(MetadataService, TheCompiledAddressUnlessTheGuestGivesOne) {
  MetadataService compiled{compiled_metadata_address(), compiled_metadata_port()};
  EXPECT_EQ(compiled.url("/latest/user-data/"), "http://169.254.169.254/latest/user-data/");
  MetadataService local{"127.0.0.1", 8080};
  EXPECT_EQ(local.url("/x"), "http://127.0.0.1:8080/x");
}

TEST_F(ProbeTest, TheGuestsSettingMovesTheService) {
  guest("10.0.0.5", "10.1.2.3");
  MetadataService s = cloud_init::metadata_service();
  EXPECT_EQ(s.address, "10.1.2.3");
  EXPECT_EQ(s.port, 80);
  guest("10.0.0.5", "10.1.2.3:8169");
  s = cloud_init::metadata_service();
  EXPECT_EQ(s.address, "10.1.2.3");
  EXPECT_EQ(s.port, 8169);
}

TEST_F(ProbeTest, AMalformedMetadataSettingStopsTheGuest) {
  for (const char* bad : {"localhost", "10.1.2.3:", "10.1.2.3:0", "10.1.2.3:65536", "10.1.2:80"}) {
    write(root_ + "/machine.ini",
          std::string(kDefaultMachineIni) + "[network]\nmetadata=" + bad + "\n");
    std::string error;
    EXPECT_FALSE(sim::make_platform(root_, error)) << bad;
    EXPECT_THAT(error, ::testing::HasSubstr(std::string("[network] metadata must be a dotted "
                                                        "IPv4 address with an optional :PORT "
                                                        "(1-65535), not '") +
                                            bad + "'"));
  }
}

}  // namespace
}  // namespace tarvik::test
