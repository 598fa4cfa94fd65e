// The connection's read and write deadline on real sockets: it cuts a peer that stalls inside a
// header or a body, or stops taking an answer, it moves with every request of a kept-alive
// connection and with every write that moves bytes, and it never runs while a handler works.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/http/raw_socket.hpp"
#include "http_fixture.hpp"
#include "support/wait.hpp"

namespace corvid::app::http::testing {
namespace {

using corvid::test::RawSocket;

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

// Larger than what the kernel buffers of both ends hold, so writing it waits for the reader.
constexpr std::size_t kBigAnswer = 8u << 20;
// Long enough that a reader thread of a loaded machine is never that late by accident.
constexpr auto kWriteTimeout = std::chrono::seconds(1);

class WriteDeadlineTest : public HttpServerTest {
 protected:
  void adjust(test::TestServerOptions& options) override {
    options.server.write_timeout = kWriteTimeout;
  }
  void more_routes(Router& router) override {
    Route big;
    big.path = "/big";
    big.handler = [](Request&) -> net::awaitable<Response> {
      co_return text_response(std::string(kBigAnswer, 'b'));
    };
    router.add(std::move(big));
  }
};

// A reader with a small receive window, so the server's writes wait for what it takes.
constexpr int kSmallWindow = 16 * 1024;

TEST_F(DeadlineTest, APeerThatStallsIsCutAfterTheTimeoutNotBefore) {
  struct Case {
    const char* name;
    std::string bytes;
    bool answered;  // a whole request: answered first, then idle
  };
  const Case cases[] = {
      {"nothing sent", "", false},
      {"half a header", "GET /open HTTP/1.1\r\nHost: x\r\n", false},
      {"part of a body", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc", false},
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

// The write deadline is a stall deadline: an answer that takes many times the timeout to read
// arrives whole while the reader keeps taking bytes, and a reader that stops is cut once it
// has taken nothing for the timeout.
TEST_F(WriteDeadlineTest, AnAnswerIsCutOnlyWhenItsReaderStopsTakingIt) {
  const std::string request = "GET /big HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  {
    SCOPED_TRACE("a reader taking 2 MiB a second, 4 timeouts for the whole answer");
    RawSocket reader(port(), kSmallWindow);
    ASSERT_TRUE(reader.connected());
    ASSERT_TRUE(reader.send_whole(request));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_GT(reader.read_all(2u << 20), kBigAnswer);  // the header and the whole body
    EXPECT_GT(std::chrono::steady_clock::now() - started, 3 * kWriteTimeout);
  }
  {
    SCOPED_TRACE("a reader that takes nothing");
    ASSERT_TRUE(test::wait_until([this] { return server_->server().connection_count() == 0; }));
    RawSocket reader(port(), kSmallWindow);
    ASSERT_TRUE(reader.connected());
    ASSERT_TRUE(reader.send_whole(request));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(test::wait_until([this] { return server_->server().connection_count() == 1; }));
    ASSERT_TRUE(test::wait_until([this] { return server_->server().connection_count() == 0; },
                                 std::chrono::seconds(10)));
    EXPECT_GE(std::chrono::steady_clock::now() - started, kWriteTimeout);
    EXPECT_LT(reader.read_all(), kBigAnswer);
  }
}

// Large answers waiting for their readers hold at most the answer budget: one more is 503,
// and the budget comes back as soon as an answer is written.
class AnswerBudgetTest : public WriteDeadlineTest {
 protected:
  void adjust(test::TestServerOptions& options) override {
    WriteDeadlineTest::adjust(options);
    options.server.answer_budget = kBigAnswer + kBigAnswer / 2;
  }
  std::uint64_t held() const { return server_->server().held_answer_bytes(); }
};

TEST_F(AnswerBudgetTest, AnswersPastTheBudgetAre503UntilOneIsWritten) {
  RawSocket stalled(port(), kSmallWindow);
  ASSERT_TRUE(stalled.connected());
  ASSERT_TRUE(stalled.send_whole("GET /big HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
  ASSERT_TRUE(test::wait_until([this] { return held() == kBigAnswer; }));

  const auto refused = client().get("/big");
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.header("Retry-After"), "1");
  EXPECT_EQ(refused.json()["detail"],
            "Server busy: too many large answers waiting for their readers");
  EXPECT_EQ(client().get("/open").status, 200);  // small answers are not counted

  EXPECT_GT(stalled.read_all(), kBigAnswer);
  ASSERT_TRUE(test::wait_until([this] { return held() == 0; }));
  const auto served = client().get("/big");
  EXPECT_EQ(served.status, 200);
  EXPECT_EQ(served.body.size(), kBigAnswer);
}

}  // namespace
}  // namespace corvid::app::http::testing
