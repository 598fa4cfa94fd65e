// The front door on raw sockets: what a request is refused for before its body is read, and
// that a refusal never lets bytes behind the header run as a second request.
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "http_fixture.hpp"
#include "support/wait.hpp"

namespace corvid::app::http::testing {
namespace {

// A request with a key, smuggled behind a header; it must never be answered.
const std::string kHidden =
    "GET /keyed HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + kAdminKey + "\r\n\r\n";

std::string post_with(const std::string& fields, const std::string& body) {
  return "POST /echo HTTP/1.1\r\nHost: x\r\n" + fields + "\r\n" + body;
}

class FramingTest : public HttpServerTest {
 protected:
  void adjust(test::TestServerOptions& options) override {
    options.server.upload_min_rate = 1000;
    options.server.upload_rate_grace = std::chrono::milliseconds(300);
  }
};

TEST_F(FramingTest, BodiesOfUncertainLengthAreRefusedAndNothingBehindThemRuns) {
  struct Case {
    const char* name;
    std::string bytes;
    int status;
  };
  const std::vector<Case> cases = {
      {"identity", post_with("Transfer-Encoding: identity\r\n", kHidden), 400},
      {"gzip", post_with("Transfer-Encoding: gzip\r\n", kHidden), 400},
      {"chunked, identity", post_with("Transfer-Encoding: chunked, identity\r\n", kHidden), 400},
      {"chunked then gzip field",
       post_with("Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n", kHidden), 400},
      {"gzip field then chunked field",
       post_with("Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", kHidden), 501},
      {"gzip, chunked", post_with("Transfer-Encoding: gzip, chunked\r\n", kHidden), 501},
      {"chunked, chunked", post_with("Transfer-Encoding: chunked, chunked\r\n", kHidden), 400},
      {"empty coding", post_with("Transfer-Encoding: \r\n", kHidden), 400},
      {"with Content-Length after",
       post_with(
           "Transfer-Encoding: gzip\r\nContent-Length: " + std::to_string(kHidden.size()) + "\r\n",
           kHidden),
       400},
      {"with Content-Length before",
       post_with("Content-Length: 3\r\nTransfer-Encoding: chunked\r\n", "0\r\n\r\n" + kHidden),
       400},
      {"HTTP/1.0 chunked",
       "POST /echo HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + kHidden, 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::HttpClient raw(port());
    const auto answers = raw.raw(c.bytes);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, c.status) << answers[0].body;
    // Closed with nothing more sent: the hidden request was never answered.
    EXPECT_TRUE(raw.closed_by_peer()) << "the bytes behind the header were served";
  }
  // Plain chunked still works, and a request behind it on the same connection is served.
  test::HttpClient raw(port());
  const auto answers =
      raw.raw(post_with("Transfer-Encoding: chunked\r\n", "3\r\nabc\r\n0\r\n\r\n") + kHidden, 2);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].body, "abc");
  EXPECT_EQ(answers[1].status, 200);
}

TEST_F(FramingTest, HostAndHeaderSizeRules) {
  struct Case {
    const char* name;
    std::string bytes;
    int status;
  };
  const std::vector<Case> cases = {
      {"no Host", "GET /open HTTP/1.1\r\n\r\n", 400},
      {"two Hosts", "GET /open HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
      {"HTTP/1.0 needs none", "GET /open HTTP/1.0\r\n\r\n", 200},
      {"one Host", "GET /open HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n", 200},
      {"request line too long",
       "GET /open?q=" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: a\r\n\r\n", 414},
      {"one field too large",
       "GET /open HTTP/1.1\r\nHost: a\r\nX-Big: " + std::string(9000, 'b') + "\r\n\r\n", 431},
      {"many fields",
       [] {
         std::string fields;
         for (int i = 0; i < 1000; ++i) fields += "X-F" + std::to_string(i) + ": value\r\n";
         return "GET /open HTTP/1.1\r\nHost: a\r\n" + fields + "\r\n";
       }(),
       431},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::HttpClient raw(port());
    const auto answers = raw.raw(c.bytes);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, c.status) << answers[0].body;
    EXPECT_TRUE(raw.closed_by_peer());
  }
}

// A caller without a key is answered from the header: its body is never waited for (the raw
// client would time out after 5 s if it were), and a large one is never read at all.
TEST_F(FramingTest, KeylessBodiesAreAnsweredFromTheHeader) {
  const std::string path = "/checked/7";
  struct Case {
    const char* name;
    std::string fields;
    std::string body;  // sent right after the header; the declared length may be larger
    int status;
    bool closes;
  };
  const std::string small = R"({"to_uid":"a","content":"b"})";
  const std::vector<Case> cases = {
      {"9 MiB declared, none sent", "Content-Length: " + std::to_string(9u << 20) + "\r\n", "", 401,
       true},
      {"8 MiB declared, most sent", "Content-Length: " + std::to_string(8u << 20) + "\r\n",
       std::string(256 * 1024, 'x'), 401, true},
      {"Expect, nothing sent",
       "Expect: 100-continue\r\nContent-Length: " + std::to_string(small.size()) + "\r\n", "", 401,
       true},
      {"small body sent whole", "Content-Length: " + std::to_string(small.size()) + "\r\n", small,
       401, false},
      {"wrong key, small body",
       "Authorization: Bearer nope\r\nContent-Length: " + std::to_string(small.size()) + "\r\n",
       small, 401, false},
      {"key, 9 MiB declared",
       "Authorization: Bearer " + kAdminKey + "\r\nContent-Length: " + std::to_string(9u << 20) +
           "\r\n",
       "", 413, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::HttpClient raw(port());
    ASSERT_TRUE(raw.send("POST " + path + " HTTP/1.1\r\nHost: x\r\n" + c.fields +
                         "Content-Type: application/json\r\n\r\n" + c.body));
    const auto answer = raw.read_answer();
    EXPECT_EQ(answer.status, c.status) << answer.body;  // never a 100 Continue first
    if (c.closes) {
      EXPECT_TRUE(raw.closed_by_peer());
    } else {
      // The small body was drained: the connection serves the next request.
      ASSERT_TRUE(raw.send("GET /open HTTP/1.1\r\nHost: x\r\n\r\n"));
      EXPECT_EQ(raw.read_answer().status, 200);
    }
  }
  // With the key, Expect still gets its 100 Continue and the body is read.
  test::HttpClient raw(port());
  ASSERT_TRUE(raw.send(
      "POST " + path + " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + kAdminKey +
      "\r\nExpect: 100-continue\r\nContent-Length: " + std::to_string(small.size()) + "\r\n\r\n"));
  EXPECT_EQ(raw.read_answer().status, 100);
  ASSERT_TRUE(raw.send(small));
  EXPECT_EQ(raw.read_answer().status, 400);  // the key and the body passed; not logged in
}

TEST_F(FramingTest, AnswersThatNeedNoBodyReadOnlyASmallOne) {
  const std::string large = "Content-Length: " + std::to_string(8u << 20) + "\r\n";
  const std::string small = "Content-Length: 5\r\n";
  struct Case {
    const char* name;
    std::string head;
    int status;
  };
  const std::vector<Case> cases = {
      {"404", "POST /nowhere HTTP/1.1\r\nHost: x\r\n", 404},
      {"405", "DELETE /open HTTP/1.1\r\nHost: x\r\n", 405},
      {"OPTIONS",
       "OPTIONS /open HTTP/1.1\r\nHost: x\r\nOrigin: http://a\r\n"
       "Access-Control-Request-Method: GET\r\n",
       200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      // 8 MiB declared: answered at once, the connection closed unread.
      test::HttpClient raw(port());
      ASSERT_TRUE(raw.send(c.head + large + "\r\n" + std::string(1024, 'x')));
      EXPECT_EQ(raw.read_answer().status, c.status);
      EXPECT_TRUE(raw.closed_by_peer());
    }
    // A small body is drained and the connection kept.
    test::HttpClient raw(port());
    const auto answers =
        raw.raw(c.head + small + "\r\nhello" + "GET /open HTTP/1.1\r\nHost: x\r\n\r\n", 2);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].status, c.status);
    EXPECT_EQ(answers[1].status, 200);
  }
}

}  // namespace
}  // namespace corvid::app::http::testing

namespace corvid::app::http::testing {
namespace {

// A request still running when the drain ends gets an answer instead of a cut connection.
TEST_F(FramingTest, RequestsStillRunningAtTheDrainsEndAre503) {
  test::HttpClient busy(port());
  test::HttpResponse answer;
  std::thread caller([&] { answer = busy.get("/slow"); });
  ASSERT_TRUE(test::wait_until([this] { return slow_started_ > 0; }));
  // A body still arriving is a request whose answer has not started either.
  // (Its "100 Continue" shows the header was read and the body is awaited.)
  test::HttpClient sending(port());
  ASSERT_TRUE(sending.send(
      "POST /echo HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 100\r\n\r\n"));
  ASSERT_EQ(sending.read_answer().status, 100);
  ASSERT_TRUE(sending.send("abc"));

  EXPECT_FALSE(server_->stop(std::chrono::milliseconds(200)));
  caller.join();
  EXPECT_EQ(answer.status, 503);
  EXPECT_EQ(answer.header("Connection"), "close");
  EXPECT_EQ(answer.json()["detail"], "Server is shutting down");
  const auto second = sending.read_answer();
  EXPECT_EQ(second.status, 503);
  release_slow_ = true;
}

}  // namespace
}  // namespace corvid::app::http::testing
