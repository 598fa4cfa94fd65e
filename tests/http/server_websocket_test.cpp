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
      auto result = auth.check_websocket(key ? std::optional<std::string_view>(*key) : std::nullopt);
      if (auto* refusal = std::get_if<AuthRefusal>(&result)) {
        co_return detail_response(bhttp::status::unauthorized, refusal->detail);
      }
      if (request.path_param("uid") == "blocked") {
        co_return detail_response(bhttp::status::forbidden, "uid不匹配，只能连接当前登录的Parlo账号");
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
        auto [wec, wn] = co_await stream.async_write(net::buffer(reply), net::as_tuple(net::use_awaitable));
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
      {"key only in a header", "/ws/u1", {{"Authorization", "Bearer " + kAdminKey}}, 401, "缺少API密钥"},
      {"wrong key", "/ws/u1?api_key=nope", {}, 401, "无效的API密钥"},
      {"last repeated key counts", "/ws/u1?api_key=" + kAdminKey + "&api_key=nope", {}, 401,
       "无效的API密钥"},
      {"route refuses the account", "/ws/blocked?api_key=" + kAdminKey, {}, 403,
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

}  // namespace
}  // namespace corvid::app::http::testing
