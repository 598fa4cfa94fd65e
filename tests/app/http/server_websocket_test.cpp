#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvid/app/security.hpp"
#include "http_fixture.hpp"
#include "support/wait.hpp"
#include "support/ws_client.hpp"

namespace corvid::app::http::testing {
namespace {

class WebSocketTest : public HttpServerTest {
 protected:
  void more_routes(Router& router) override {
    Route ws;
    ws.kind = RouteKind::websocket;
    ws.path = "/ws/{uid}";
    const AuthManager& auth = router.auth();
    ws.ws_admit = [&auth](Request& request) -> net::awaitable<std::optional<Response>> {
      const auto key = request.query_value("api_key");
      auto result =
          auth.check_websocket(key ? std::optional<std::string_view>(*key) : std::nullopt);
      if (auto* refusal = std::get_if<AuthRefusal>(&result)) {
        co_return detail_response(bhttp::status::unauthorized, refusal->detail);
      }
      if (request.path_param("uid") == "blocked") {
        co_return detail_response(bhttp::status::forbidden,
                                  "uid不匹配，只能连接当前登录的Parlo账号");
      }
      co_return std::nullopt;
    };
    ws.ws_run = [this](Request& request, WebSocketStream stream) -> net::awaitable<void> {
      ++runs_;
      const std::string uid = request.path_param("uid").value_or("");
      for (;;) {
        beast::flat_buffer buffer;
        auto [ec, n] = co_await stream.async_read(buffer, net::as_tuple(net::use_awaitable));
        if (ec) break;
        stream.text(true);
        const std::string reply = uid + ":" + beast::buffers_to_string(buffer.data());
        auto [wec, wn] =
            co_await stream.async_write(net::buffer(reply), net::as_tuple(net::use_awaitable));
        if (wec) break;
      }
      ++ended_;
    };
    router.add(std::move(ws));
  }

  std::atomic<int> runs_{0};
  std::atomic<int> ended_{0};
};

TEST_F(WebSocketTest, RefusalsAreHttpAnswersBeforeTheHandshake) {
  struct Case {
    const char* name;
    std::string target;
    test::HeaderList headers;
    int status;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {"no key", "/ws/u1", {}, 401, "缺少API密钥"},
      {"empty key", "/ws/u1?api_key=", {}, 401, "缺少API密钥"},
      {"key only in a header",
       "/ws/u1",
       {{"Authorization", "Bearer " + kAdminKey}},
       401,
       "缺少API密钥"},
      {"wrong key", "/ws/u1?api_key=nope", {}, 401, "无效的API密钥"},
      {"last repeated key counts",
       "/ws/u1?api_key=" + kAdminKey + "&api_key=nope",
       {},
       401,
       "无效的API密钥"},
      {"route refuses the account",
       "/ws/blocked?api_key=" + kAdminKey,
       {},
       403,
       "uid不匹配，只能连接当前登录的Parlo账号"},
      {"no WebSocket route there", "/open?api_key=" + kAdminKey, {}, 404, "Not Found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::WsClient ws(port(), c.target, c.headers);
    EXPECT_FALSE(ws.accepted());
    EXPECT_EQ(ws.handshake().status, c.status);
    EXPECT_EQ(Json::parse(ws.handshake().body), (Json{{"detail", c.detail}}));
  }
  EXPECT_EQ(runs_, 0);  // a refused connection never reaches the route
}

TEST_F(WebSocketTest, AcceptedStreamBelongsToTheRoute) {
  test::WsClient ws(port(), "/ws/u%201?api_key=" + kAdminKey);
  ASSERT_TRUE(ws.accepted());
  EXPECT_EQ(ws.handshake().status, 101);
  ASSERT_TRUE(ws.write("ping"));
  EXPECT_EQ(ws.read(), "u 1:ping");
  // A handed-off WebSocket is not an HTTP connection of the server any more.
  EXPECT_TRUE(test::wait_until([this] { return server_->server().connection_count() == 0; }));
  ws.close();
  EXPECT_TRUE(test::wait_until([this] { return ended_ == 1; }));

  // A plain GET on the WebSocket path is an unknown HTTP resource.
  EXPECT_EQ(client().get("/ws/u1?api_key=" + kAdminKey).status, 404);
}

// One budget of connections for HTTP and WebSocket: past it, a connection is served the health
// check only, and a full reserve makes room for a newcomer by closing its oldest connection.
class ConnectionBudget : public WebSocketTest {
 protected:
  void adjust(test::TestServerOptions& options) override {
    options.server.max_connections = 2;
    options.server.reserve_connections = 2;
  }
  void more_routes(Router& router) override {
    WebSocketTest::more_routes(router);
    Route health;
    health.path = "/health";
    health.served_past_cap = true;
    health.handler = [](Request&) -> net::awaitable<Response> {
      co_return json_response(Json{{"status", "healthy"}});
    };
    router.add(std::move(health));
  }
  std::size_t open() const { return server_->server().open_connections(); }
};

TEST_F(ConnectionBudget, WebSocketsHoldTheirPlaceAndTheHealthCheckGetsThroughPastIt) {
  test::WsClient first(port(), "/ws/a?api_key=" + kAdminKey);
  test::WsClient second(port(), "/ws/b?api_key=" + kAdminKey);
  ASSERT_TRUE(first.accepted());
  ASSERT_TRUE(second.accepted());
  ASSERT_TRUE(test::wait_until([this] { return open() == 2; }));

  {
    SCOPED_TRACE("past the cap: 503 for anything but the health check");
    const auto refused = test::HttpClient(port()).get("/open");
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.json(), (Json{{"detail", "Too many connections"}}));
    EXPECT_EQ(refused.header("Retry-After"), "1");
    test::WsClient third(port(), "/ws/c?api_key=" + kAdminKey);
    EXPECT_FALSE(third.accepted());
    EXPECT_EQ(third.handshake().status, 503);
    EXPECT_EQ(test::HttpClient(port()).get("/health").status, 200);
  }
  {
    SCOPED_TRACE("silent sockets in the reserve do not keep the health check out");
    net::io_context io;
    std::vector<tcp::socket> silent;
    for (int i = 0; i < 4; ++i) {
      silent.emplace_back(io);
      silent.back().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port()));
    }
    EXPECT_EQ(test::HttpClient(port()).get("/health").status, 200);
  }
  {
    SCOPED_TRACE("room again once a WebSocket ends");
    first.close();
    ASSERT_TRUE(test::wait_until([this] { return open() == 1; }));
    EXPECT_EQ(client().get("/open").status, 200);
  }
}

}  // namespace
}  // namespace corvid::app::http::testing
