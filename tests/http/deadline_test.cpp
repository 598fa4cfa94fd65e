// The connection's read and write deadline on real sockets: it cuts a peer that stalls inside a
// header or a body, it moves with every request of a kept-alive connection, and it never runs
// while a handler works.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "http_fixture.hpp"

namespace corvid::app::http::testing {
namespace {

using namespace std::chrono_literals;
constexpr auto kTimeout = 300ms;

class DeadlineTest : public HttpServerTest {
 protected:
  void adjust(test::TestServerOptions& options) override {
    options.server.header_timeout = kTimeout;
    options.server.body_timeout = kTimeout;
    options.server.write_timeout = kTimeout;
  }
};

TEST_F(DeadlineTest, APeerThatStallsIsCutAfterTheTimeoutNotBefore) {
  struct Case {
    const char* name;
    std::string bytes;
    bool answered;  // a whole request: answered first, then idle
  };
  const Case cases[] = {
      {"nothing sent", "", false},
      {"half a header", "GET /open HTTP/1.1\r\nHost: x\r\n", false},
      {"part of a body", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc",
       false},
      {"idle after an answer", "GET /open HTTP/1.1\r\nHost: x\r\n\r\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::HttpClient raw(port(), 5s);
    const auto started = std::chrono::steady_clock::now();
    if (c.answered) {
      const auto answers = raw.raw(c.bytes);
      ASSERT_EQ(answers.size(), 1u);
      EXPECT_EQ(answers[0].status, 200);
    } else {
      ASSERT_TRUE(raw.send(c.bytes));
    }
    EXPECT_TRUE(raw.closed_by_peer());
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, kTimeout - 50ms);
    EXPECT_LT(waited, 4s);
  }
}

TEST_F(DeadlineTest, AKeptAliveConnectionServedPastManyTimeoutsStaysOpen) {
  test::HttpClient client(port());
  const auto until = std::chrono::steady_clock::now() + 4 * kTimeout;
  int served = 0;
  while (std::chrono::steady_clock::now() < until) {
    ASSERT_EQ(client.get("/open").status, 200) << "after " << served << " requests";
    ++served;
    std::this_thread::sleep_for(kTimeout / 3);
  }
  EXPECT_TRUE(client.connected());
  EXPECT_GE(served, 8);
}

TEST_F(DeadlineTest, AHandlerSlowerThanEveryTimeoutStillAnswers) {
  std::thread release([this] {
    std::this_thread::sleep_for(3 * kTimeout);
    release_slow_ = true;
  });
  test::HttpClient client(port());
  const auto answer = client.get("/slow");
  release.join();
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, "slow done");
  // And the connection goes on serving, with its deadline set anew.
  EXPECT_EQ(client.get("/open").status, 200);
}

}  // namespace
}  // namespace corvid::app::http::testing
