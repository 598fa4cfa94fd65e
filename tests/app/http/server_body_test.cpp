#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http_fixture.hpp"

namespace corvid::app::http::testing {
namespace {

constexpr std::uint64_t kUploadLimit = 4u << 20;

std::uint32_t checksum(std::string_view data, std::uint32_t sum = 2166136261u) {
  for (unsigned char c : data) sum = (sum ^ c) * 16777619u;
  return sum;
}

std::string pattern(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + (i * 7 + i / 1000) % 26);
  return out;
}

std::string chunked(std::string_view body, std::size_t piece) {
  std::string out;
  for (std::size_t i = 0; i < body.size(); i += piece) {
    const auto part = body.substr(i, piece);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", part.size());
    out += size;
    out.append(part);
    out += "\r\n";
  }
  return out + "0\r\n\r\n";
}

class BodyTest : public HttpServerTest {
 protected:
  void more_routes(Router& router) override {
    Route size;
    size.method = bhttp::verb::post;
    size.path = "/size";
    size.handler = [](Request& request) -> net::awaitable<Response> {
      co_return json_response(Json{{"size", request.body.size()}});
    };
    router.add(size);
    size.path = "/big";
    size.body_limit = 10u << 20;
    router.add(size);

    Route upload;
    upload.method = bhttp::verb::post;
    upload.path = "/upload";
    upload.upload = true;
    upload.auth = true;
    upload.login_guard = true;
    upload.body_limit = kUploadLimit;
    upload.params = {Param{"to_uid", ParamIn::query, FieldType::string, true, nullptr, ""}};
    upload.handler = [this](Request& request) -> net::awaitable<Response> {
      std::uint64_t total = 0;
      std::uint32_t sum = 2166136261u;
      std::size_t largest = 0;
      for (;;) {
        const auto piece = co_await request.body_reader->read_some();
        if (piece.empty()) break;
        total += piece.size();
        largest = std::max(largest, piece.size());
        sum = checksum(piece, sum);
      }
      largest_piece_ = largest;
      co_return json_response(
          Json{{"to_uid", request.params["to_uid"]}, {"size", total}, {"sum", sum}});
    };
    router.add(upload);

    upload.path = "/upload-lazy";
    upload.handler = [](Request&) -> net::awaitable<Response> {
      co_return text_response("ignored");
    };
    router.add(upload);
  }

  std::string upload_header(const std::string& target, const std::string& framing, bool key = true,
                            bool expect = false) const {
    std::string out = "POST " + target + " HTTP/1.1\r\nHost: x\r\n" + framing;
    if (key) out += "Authorization: Bearer " + kAdminKey + "\r\n";
    if (expect) out += "Expect: 100-continue\r\n";
    return out + "Content-Type: multipart/form-data; boundary=b\r\n\r\n";
  }

  std::atomic<std::size_t> largest_piece_{0};
};

TEST_F(BodyTest, JsonBodyLimit) {
  const std::uint64_t limit = kJsonBodyLimit;
  {
    SCOPED_TRACE("declared length over the limit: refused from the header");
    test::HttpClient http(port());
    const auto answers =
        http.raw("POST /size HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(limit + 1) +
                 "\r\n\r\n");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, 413);
    EXPECT_EQ(answers[0].json(), (Json{{"detail", "Request body exceeds the limit of 8 MiB"}}));
    EXPECT_TRUE(http.closed_by_peer());
  }
  {
    SCOPED_TRACE("chunked body growing past the limit");
    test::HttpClient http(port());
    const auto answers =
        http.raw("POST /size HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
                 chunked(pattern(limit + 10), 1 << 20));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, 413);
    EXPECT_EQ(answers[0].json(), (Json{{"detail", "Request body exceeds the limit of 8 MiB"}}));
  }
  auto http = client();
  {
    SCOPED_TRACE("exactly the limit");
    const auto res = http.request(bhttp::verb::post, "/size", pattern(limit));
    ASSERT_EQ(res.status, 200);
    EXPECT_EQ(res.json()["size"], limit);
  }
  {
    SCOPED_TRACE("a route with its own larger limit");
    const auto res = http.request(bhttp::verb::post, "/big", pattern(9u << 20));
    ASSERT_EQ(res.status, 200);
    EXPECT_EQ(res.json()["size"], 9u << 20);
  }
}

TEST_F(BodyTest, UploadRefusalsComeFromTheHeaderBeforeAnyBody) {
  struct Case {
    const char* name;
    std::string target;
    std::uint64_t length;
    bool key;
    bool logged_in;
    int status;
  };
  const std::vector<Case> cases = {
      {"no key", "/upload?to_uid=u", 1000, false, true, 401},
      {"no key beats the length", "/upload?to_uid=u", kUploadLimit + 1, false, true, 401},
      {"length over the limit", "/upload?to_uid=u", kUploadLimit + 1, true, false, 413},
      {"length beats the query", "/upload", kUploadLimit + 1, true, true, 413},
      {"missing query", "/upload", 1000, true, false, 422},
      {"logged out", "/upload?to_uid=u", 1000, true, false, 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    logged_in_ = c.logged_in;
    test::HttpClient http(port());
    // The caller waits for "100 Continue" and never gets it: the body is never sent.
    ASSERT_TRUE(http.send(upload_header(
        c.target, "Content-Length: " + std::to_string(c.length) + "\r\n", c.key, true)));
    const auto res = http.read_answer();
    EXPECT_EQ(res.status, c.status) << res.body;
    EXPECT_EQ(res.header("Connection"), "close");
    EXPECT_TRUE(http.closed_by_peer());
  }
}

TEST_F(BodyTest, UploadStreamsTheBodyInPieces) {
  logged_in_ = true;
  const std::string body = pattern(3u << 20);
  const std::uint32_t expected = checksum(body);
  {
    SCOPED_TRACE("content length");
    test::HttpClient http(port());
    const auto answers =
        http.raw(upload_header("/upload?to_uid=a%20b",
                               "Content-Length: " + std::to_string(body.size()) + "\r\n") +
                 body);
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_EQ(answers[0].status, 200) << answers[0].body;
    EXPECT_EQ(answers[0].json(),
              (Json{{"to_uid", "a b"}, {"size", body.size()}, {"sum", expected}}));
    // Read in bounded pieces, never as a whole.
    EXPECT_LE(largest_piece_.load(), 64u * 1024);
  }
  {
    SCOPED_TRACE("chunked, with 100-continue");
    test::HttpClient http(port());
    ASSERT_TRUE(
        http.send(upload_header("/upload?to_uid=u", "Transfer-Encoding: chunked\r\n", true, true)));
    EXPECT_EQ(http.read_answer().status, 100);
    ASSERT_TRUE(http.send(chunked(body, 100000)));
    const auto res = http.read_answer();
    ASSERT_EQ(res.status, 200) << res.body;
    EXPECT_EQ(res.json()["sum"], expected);
    // The body was read to its end, so the connection stays usable.
    EXPECT_EQ(http.get("/open").body, "open");
  }
  {
    SCOPED_TRACE("chunked past the limit");
    test::HttpClient http(port());
    const auto answers =
        http.raw(upload_header("/upload?to_uid=u", "Transfer-Encoding: chunked\r\n") +
                 chunked(pattern(kUploadLimit + 1), 1 << 20));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, 413);
  }
}

TEST_F(BodyTest, UnreadUploadBodyEndsTheConnection) {
  logged_in_ = true;
  test::HttpClient http(port());
  const std::string body = pattern(100000);
  // A second request follows the body: it must not be mistaken for part of the first.
  const auto answers =
      http.raw(upload_header("/upload-lazy?to_uid=u",
                             "Content-Length: " + std::to_string(body.size()) + "\r\n") +
                   body + "GET /open HTTP/1.1\r\nHost: x\r\n\r\n",
               2);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].body, "ignored");
  EXPECT_EQ(answers[0].header("Connection"), "close");
  EXPECT_EQ(client().get("/open").status, 200);
}

}  // namespace
}  // namespace corvid::app::http::testing
