#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http_fixture.hpp"
#include "support/log_capture.hpp"
#include "support/wait.hpp"

namespace corvid::app::http::testing {
namespace {

using test::HeaderList;

TEST_F(HttpServerTest, KeyTableCases) {
  struct Case {
    const char* name;
    HeaderList headers;
    int status;
    std::string detail;    // for refusals
    std::string key_name;  // for admissions
  };
  const std::vector<Case> cases = {
      {"missing", {}, 401, "缺少认证信息", ""},
      {"empty", {{"Authorization", ""}}, 401, "缺少认证信息", ""},
      {"wrong scheme", {{"Authorization", "Basic " + kAdminKey}}, 401, "缺少认证信息", ""},
      {"wrong key", bearer("not-a-key"), 401, "无效的API密钥", ""},
      {"right key", bearer(kOpsKey), 200, "", "ops"},
      {"lower-case scheme", {{"Authorization", "bearer " + kOpsKey}}, 200, "", "ops"},
      {"blanks around the value are not part of it",
       {{"Authorization", "  Bearer " + kOpsKey + "  "}},
       200,
       "",
       "ops"},
      {"two names one key: the first", bearer(kAdminKey), 200, "", "admin"},
      {"only the first header counts",
       {{"Authorization", "Bearer nope"}, {"Authorization", "Bearer " + kAdminKey}},
       401,
       "无效的API密钥",
       ""},
  };
  auto http = client();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto res = http.get("/keyed", c.headers);
    ASSERT_EQ(res.status, c.status);
    EXPECT_EQ(res.header("Content-Type"), "application/json");
    if (c.status == 401) {
      EXPECT_EQ(res.json(), (Json{{"detail", c.detail}}));
      EXPECT_EQ(res.header("WWW-Authenticate"), "Bearer");
    } else {
      EXPECT_EQ(res.json()["key_name"], c.key_name);
    }
  }
}

TEST_F(HttpServerTest, KeyThenValidationThenLoginGuard) {
  const std::string good = R"({"to_uid":"u1","content":"hi"})";
  struct Case {
    const char* name;
    bool key;
    std::string target;
    std::string body;
    bool logged_in;
    int status;
  };
  const std::vector<Case> cases = {
      {"no key beats a bad body", false, "/checked/1", "{", false, 401},
      {"no key beats a bad path", false, "/checked/abc", good, true, 401},
      {"bad body beats the guard", true, "/checked/1", R"({"to_uid":1})", false, 422},
      {"bad path beats the guard", true, "/checked/abc", good, false, 422},
      {"bad query beats the guard", true, "/checked/1?smart=maybe", good, false, 422},
      {"guard when logged out", true, "/checked/1", good, false, 400},
      {"through when logged in", true, "/checked/7?smart=yes", good, true, 200},
  };
  auto http = client();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    logged_in_ = c.logged_in;
    HeaderList headers = c.key ? bearer(kAdminKey) : HeaderList{};
    headers.emplace_back("Content-Type", "application/json");
    const auto res = http.request(bhttp::verb::post, c.target, c.body, headers);
    ASSERT_EQ(res.status, c.status) << res.body;
    if (c.status == 400) {
      EXPECT_EQ(res.json(), (Json{{"detail", "Parlo未登录"}}));
    }
    if (c.status == 422) {
      ASSERT_TRUE(res.json()["detail"].is_array());
      EXPECT_FALSE(res.json()["detail"].empty());
    }
    if (c.status == 200) {
      EXPECT_EQ(res.json()["params"], (Json{{"pid", 7}, {"smart", true}}));
      EXPECT_EQ(res.json()["body"], Json::parse(good));
    }
  }
}

TEST_F(HttpServerTest, ValidationCollectsPathQueryAndBodyErrors) {
  auto http = client();
  HeaderList headers = bearer(kAdminKey);
  headers.emplace_back("Content-Type", "application/json");
  const auto res =
      http.request(bhttp::verb::post, "/checked/abc?smart=maybe", R"({"content":5})", headers);
  ASSERT_EQ(res.status, 422);
  const Json detail = res.json()["detail"];
  std::vector<Json> locs;
  for (const auto& e : detail) locs.push_back(e["loc"]);
  EXPECT_EQ(locs,
            (std::vector<Json>{Json::array({"path", "pid"}), Json::array({"query", "smart"}),
                               Json::array({"body", "to_uid"}), Json::array({"body", "content"})}));

  // A body sent as something else than JSON is not read as the record.
  const auto plain =
      http.request(bhttp::verb::post, "/checked/1", R"({"to_uid":"u","content":"c"})",
                   {{"Authorization", "Bearer " + kAdminKey}, {"Content-Type", "text/plain"}});
  ASSERT_EQ(plain.status, 422);
  EXPECT_EQ(plain.json()["detail"][0]["type"], "model_attributes_type");
}

TEST_F(HttpServerTest, NotFoundMethodNotAllowedAndHead) {
  auto http = client();
  const auto missing = http.get("/nope");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, R"({"detail":"Not Found"})");
  EXPECT_EQ(missing.header("Content-Type"), "application/json");

  const auto wrong = http.request(bhttp::verb::delete_, "/echo");
  EXPECT_EQ(wrong.status, 405);
  EXPECT_EQ(wrong.body, R"({"detail":"Method Not Allowed"})");
  EXPECT_EQ(wrong.header("Allow"), "POST, GET");

  // OPTIONS that is no preflight is routed like any other method.
  EXPECT_EQ(http.request(bhttp::verb::options, "/open").status, 405);

  const auto get = http.get("/open");
  const auto head = http.request(bhttp::verb::head, "/open");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(head.header("Content-Length"), get.header("Content-Length"));
  EXPECT_EQ(head.header("Content-Type"), get.header("Content-Type"));
  // The connection stays usable after a body-less answer.
  EXPECT_EQ(http.get("/open").body, "open");
  // HEAD on a keyed route still needs the key.
  EXPECT_EQ(http.request(bhttp::verb::head, "/keyed").status, 401);
}

TEST_F(HttpServerTest, TrailingSlashRedirectsToTheRegisteredPath) {
  auto http = client();
  const auto res = http.get("/open/?x=1");
  EXPECT_EQ(res.status, 307);
  EXPECT_EQ(res.header("Location"), "http://127.0.0.1:" + std::to_string(port()) + "/open?x=1");
  EXPECT_EQ(http.get("/nope/").status, 404);
}

TEST_F(HttpServerTest, UnexpectedErrorIsPlain500AndServingGoesOn) {
  test::LogCapture log;
  auto http = client();
  const auto res = http.get("/boom?api_key=leaky-secret");
  EXPECT_EQ(res.status, 500);
  EXPECT_EQ(res.body, "Internal Server Error");
  EXPECT_EQ(res.header("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(http.get("/open").body, "open");  // same connection
  EXPECT_TRUE(log.contains("handler failed"));
  EXPECT_TRUE(log.contains("/boom?api_key=***"));
  EXPECT_FALSE(log.contains("leaky-secret"));

  const auto refused = http.get("/refused");
  EXPECT_EQ(refused.status, 409);
  EXPECT_EQ(refused.json(), (Json{{"detail", "busy"}}));
  EXPECT_EQ(refused.header("Retry-After"), "1");
}

TEST_F(HttpServerTest, CorsPreflightAndActualRequests) {
  auto http = client();
  const std::string origin = "http://app.example";
  struct Case {
    const char* name;
    std::string path;
    std::string method;
    int status;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"keyed route, no key needed", "/keyed", "POST", 200, "OK"},
      {"unknown path", "/nope", "GET", 200, "OK"},
      {"unknown method", "/keyed", "FOO", 400, "Disallowed CORS method"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto res =
        http.request(bhttp::verb::options, c.path, {},
                     {{"Origin", origin},
                      {"Access-Control-Request-Method", c.method},
                      {"Access-Control-Request-Headers", "authorization,content-type"}});
    EXPECT_EQ(res.status, c.status);
    EXPECT_EQ(res.body, c.body);
    EXPECT_EQ(res.header("Access-Control-Allow-Origin"), origin);
    EXPECT_EQ(res.header("Access-Control-Allow-Methods"),
              "DELETE, GET, HEAD, OPTIONS, PATCH, POST, PUT");
    EXPECT_EQ(res.header("Access-Control-Allow-Headers"), "authorization,content-type");
    EXPECT_EQ(res.header("Access-Control-Allow-Credentials"), "true");
    EXPECT_EQ(res.header("Access-Control-Max-Age"), "600");
    EXPECT_EQ(res.header("Vary"), "Origin");
  }

  const auto simple = http.get("/keyed", {{"Origin", origin}});
  EXPECT_EQ(simple.status, 401);  // refusals carry the CORS headers too
  EXPECT_EQ(simple.header("Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(simple.header("Access-Control-Allow-Credentials"), "true");

  const auto cookie = http.get("/open", {{"Origin", origin}, {"Cookie", "a=b"}});
  EXPECT_EQ(cookie.header("Access-Control-Allow-Origin"), origin);
  EXPECT_EQ(cookie.header("Vary"), "Origin");

  const auto plain = http.get("/open");
  EXPECT_FALSE(plain.header("Access-Control-Allow-Origin"));
}

TEST_F(HttpServerTest, QueryDecodingReachesHandlers) {
  auto http = client();
  const auto res = http.get("/echo?name=a+b%20c&k=1&k=2&blank=&%E5%BC%A0=%FF");
  ASSERT_EQ(res.status, 200);
  EXPECT_EQ(res.json()["query"],
            Json::parse(R"([["name","a b c"],["k","1"],["k","2"],["blank",""],["张","\uFFFD"]])"));
  // The absolute form names the same resource.
  const auto absolute =
      http.raw("GET http://127.0.0.1/echo?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  ASSERT_EQ(absolute.size(), 1u);
  EXPECT_EQ(absolute[0].json()["path"], "/echo");
}

TEST_F(HttpServerTest, PipelinedRequestsAreAnsweredInOrder) {
  auto http = client();
  // The first answer takes longest; order must still follow the requests.
  std::string bytes =
      "GET /slow HTTP/1.1\r\nHost: x\r\n\r\n"
      "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"
      "GET /echo?n=3 HTTP/1.1\r\nHost: x\r\n\r\n"
      "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"
      "GET /nope HTTP/1.1\r\nHost: x\r\n\r\n";
  std::thread releaser([this] {
    test::wait_until([this] { return slow_started_ > 0; });
    release_slow_ = true;
  });
  const auto answers = http.raw(bytes, 5);
  releaser.join();
  ASSERT_EQ(answers.size(), 5u);
  EXPECT_EQ(answers[0].body, "slow done");
  EXPECT_EQ(answers[1].body, "hello");
  EXPECT_EQ(answers[2].json()["query"], Json::parse(R"([["n","3"]])"));
  EXPECT_EQ(answers[3].body, "abc");
  EXPECT_EQ(answers[4].status, 404);
}

TEST_F(HttpServerTest, MalformedRequestsGet400AndOthersKeepBeingServed) {
  struct Case {
    const char* name;
    std::string bytes;
    int status = 400;
  };
  const std::vector<Case> cases = {
      {"bad request line", "GARBAGE\r\n\r\n"},
      {"bad version", "GET /open HTTP/x.y\r\nHost: x\r\n\r\n"},
      {"bad header name", "GET /open HTTP/1.1\r\nBad Header: v\r\n\r\n"},
      {"huge header",
       "GET /open HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n", 431},
      {"bad content length", "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n"},
      {"bad chunk size",
       "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
       "ZZ\r\nabc\r\n0\r\n\r\n"},
      {"chunk longer than declared",
       "POST /echo HTTP/1.1\r\nHost: x\r\n"
       "Transfer-Encoding: chunked\r\n\r\n2\r\nabcdef\r\n0\r\n\r\n"},
      {"bad target", "GET nowhere HTTP/1.1\r\nHost: x\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::HttpClient raw(port());
    const auto answers = raw.raw(c.bytes);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, c.status);
    EXPECT_TRUE(raw.closed_by_peer());
    // A well-formed caller is not affected.
    EXPECT_EQ(client().get("/open").status, 200);
  }
}

TEST_F(HttpServerTest, KeepAliveReusesOneConnection) {
  auto http = client();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(http.get("/open").status, 200);
  EXPECT_EQ(server_->server().connection_count(), 1u);
  // "Connection: close" ends it after the answer.
  const auto last = http.get("/open", {{"Connection", "close"}});
  EXPECT_EQ(last.header("Connection"), "close");
  EXPECT_TRUE(test::wait_until([&] { return server_->server().connection_count() == 0; }));
}

TEST_F(HttpServerTest, ShutdownClosesIdleConnectionsAndLetsRequestsFinish) {
  auto idle = client();
  ASSERT_EQ(idle.get("/open").status, 200);

  test::HttpClient busy(port());
  test::HttpResponse slow_answer;
  std::thread caller([&] { slow_answer = busy.get("/slow"); });
  ASSERT_TRUE(test::wait_until([this] { return slow_started_ > 0; }));

  bool finished = false;
  std::thread stopper([&] { finished = server_->stop(std::chrono::seconds(5)); });
  EXPECT_TRUE(idle.closed_by_peer());  // idle keep-alive closed at once, not after the bound
  release_slow_ = true;
  caller.join();
  stopper.join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(slow_answer.status, 200);
  EXPECT_EQ(slow_answer.header("Connection"), "close");
  // Nothing accepts any more.
  EXPECT_EQ(client().get("/open").status, 0);
}

TEST_F(HttpServerTest, ShutdownGivesUpOnStuckRequestsAfterTheBound) {
  test::HttpClient busy(port());
  std::thread caller([&] { busy.get("/slow"); });
  ASSERT_TRUE(test::wait_until([this] { return slow_started_ > 0; }));
  EXPECT_FALSE(server_->stop(std::chrono::milliseconds(100)));
  release_slow_ = true;
  caller.join();
}

TEST_F(HttpServerTest, BindFailureNamesTheAddress) {
  corvid::app::AuthManager auth(corvid::app::AuthManager::KeySource([] { return KeyEntries{}; }));
  Router router(auth);
  net::io_context io;
  ServerOptions options;
  options.port = port();  // taken by the fixture's server
  auto second = std::make_shared<Server>(io, router, options);
  try {
    second->start();
    FAIL() << "bind should fail";
  } catch (const ServerError& e) {
    EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(port())), std::string::npos)
        << e.what();
  }
  options.host = "192.0.2.1";  // a documentation address: never on this machine
  options.port = 0;
  auto third = std::make_shared<Server>(io, router, options);
  EXPECT_THROW(third->start(), ServerError);
}

}  // namespace
}  // namespace corvid::app::http::testing
