// curl_util against real HTTP servers on loopback: what counts as an answer, retries,
// the time limit, the body cap and the local address requests leave from.
#include "cloudinit/curl_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/agent_test.h"
#include "support/http_server.h"

namespace tarvik::test {
namespace {

using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

using Clock = std::chrono::steady_clock;

class CurlUtilTest : public AgentTest {
 protected:
  curl_util& curl() { return curl_util::instance(); }
};

TEST_F(CurlUtilTest, NoAttemptsSendNothing) {
  HttpServer server({{"/x", {200, "body"}}});
  EXPECT_EQ(curl().fetch(server.url("/x"), 0, 5000, ""), "");
  EXPECT_THAT(server.requests(), IsEmpty());
  EXPECT_THAT(log_messages(), ElementsAre("-->curl_util::fetch 0,5000,", "<--curl_util::fetch"));
}

TEST_F(CurlUtilTest, OnlyAComplete200WithABodyIsAnAnswer) {
  HttpServer server({{"/missing", {404, "not here"}},
                     {"/empty", {200, ""}},
                     {"/moved", {301, "see /x"}},
                     {"/x", {200, "value"}}});
  EXPECT_EQ(curl().fetch(server.url("/missing"), 3, 5000, ""), "");
  EXPECT_EQ(curl().fetch(server.url("/empty"), 6, 5000, ""), "");
  EXPECT_EQ(curl().fetch(server.url("/moved"), 2, 5000, ""), "");
  EXPECT_EQ(server.paths().size(), 11u);
  EXPECT_THAT(server.paths(), Not(Contains("/x")));  // the redirect is not followed

  EXPECT_EQ(curl().fetch(server.url("/x"), 6, 5000, ""), "value");
  EXPECT_EQ(server.paths().size(), 12u);
}

TEST_F(CurlUtilTest, ABodyInPiecesIsJoinedWithItsNulBytes) {
  const std::string body("first\0second|third", 18);
  HttpServer server([&](const HttpRequest&, HttpConnection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 18\r\n\r\n");
    for (std::string_view piece : {body.substr(0, 3), body.substr(3, 9), body.substr(12)}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      c.send(piece);
    }
  });
  EXPECT_EQ(curl().fetch(server.url("/p"), 1, 5000, ""), body);
}

TEST_F(CurlUtilTest, RequestsLeaveFromTheLocalAddressWhenOneIsGiven) {
  HttpServer server({{"/x", {200, "v"}}});
  EXPECT_EQ(curl().fetch(server.url("/x"), 1, 5000, "127.0.0.2"), "v");
  EXPECT_EQ(curl().fetch(server.url("/x"), 1, 5000, ""), "v");
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[0].peer, "127.0.0.2");
  EXPECT_EQ(server.requests()[1].peer, "127.0.0.1");
  EXPECT_THAT(log_messages(), Contains("-->curl_util::fetch 1,5000,127.0.0.2"));
}

TEST_F(CurlUtilTest, TheTimeLimitIsInMilliseconds) {
  // A service that takes the connection and never answers: 1000 taken as seconds would
  // wait for a quarter of an hour.
  SilentListener silent;
  auto start = Clock::now();
  EXPECT_EQ(curl().fetch("http://" + silent.endpoint() + "/x", 2, 1000, ""), "");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
}

TEST_F(CurlUtilTest, ABodyCutShortIsNoAnswer) {
  // 200 and part of the body, then nothing until the time limit: the part is discarded.
  HttpServer slow([](const HttpRequest&, HttpConnection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n[powershell]\r\nRemove-");
    c.hold();
  });
  EXPECT_EQ(curl().fetch(slow.url("/latest/user-data/"), 1, 500, ""), "");
  // 200 and part of the body, then the connection closes.
  HttpServer cut([](const HttpRequest&, HttpConnection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n[bat]\r\ndel ");
  });
  EXPECT_EQ(curl().fetch(cut.url("/latest/user-data/"), 2, 5000, ""), "");
  EXPECT_EQ(cut.paths().size(), 2u);
}

TEST_F(CurlUtilTest, BodiesAreCappedAt16MiB) {
  auto endless = [](const HttpRequest& r, HttpConnection& c) {
    size_t total = r.path == "/cap" ? curl_util::kMaxBody : size_t{1} << 30;
    c.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(total) + "\r\n\r\n");
    std::string chunk(1 << 16, 'x');
    for (size_t sent = 0; sent < total; sent += chunk.size())
      if (!c.send(chunk)) return;
  };
  HttpServer server(endless);
  EXPECT_EQ(curl().fetch(server.url("/cap"), 1, 5000, "").size(), curl_util::kMaxBody);
  EXPECT_THAT(log_messages(),
              Each(Not("curl_util::fetch body over 16777216 bytes, transfer ended")));
  EXPECT_EQ(curl().fetch(server.url("/endless"), 2, 5000, ""), "");
  EXPECT_EQ(server.paths().size(), 3u);
  std::vector<std::string> lines = log_messages();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "curl_util::fetch body over 16777216 bytes, transfer ended"),
            2);
}

TEST(CurlWriteBody, RefusesSizesThatOverflow) {
  std::string body;
  char data[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(curl_util::write_body(data, 1, 4, &body), 4u);
  EXPECT_EQ(curl_util::write_body(data, SIZE_MAX / 2, 4, &body), 0u);
  EXPECT_EQ(body, "abcd");
}

}  // namespace
}  // namespace tarvik::test
