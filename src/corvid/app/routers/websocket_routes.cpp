#include "corvid/app/routers/websocket_routes.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/verb.hpp>

#include "corvid/app/http/record.hpp"
#include "corvid/app/http/router.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/security.hpp"
#include "corvid/app/websocket/websocket_connection.hpp"
#include "corvid/app/websocket/websocket_hub.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app::routers {
namespace {

namespace net = boost::asio;
using boost::beast::http::status;

auto logger() { return corvid::log::get("websocket_router"); }

// Takes the connection out of the registry once: when the peer's close frame arrives (the peer
// may keep TCP open for a while after it), when the reading ends, or when the connection goes
// away without either (the loop stopped with its read pending).
class Registration {
 public:
  Registration(ConnectionManager& hub, std::weak_ptr<Connection> connection, std::string uid)
      : hub_(hub), connection_(std::move(connection)), uid_(std::move(uid)) {}
  ~Registration() { leave(); }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

  void leave() {
    if (left_) return;
    left_ = true;
    // Weak: the connection's handlers own this record, and a strong pointer here would keep
    // the connection alive through its own members. Once it is gone, disconnect() only logs.
    hub_.disconnect(connection_.lock(), uid_);
  }

 private:
  ConnectionManager& hub_;
  std::weak_ptr<Connection> connection_;
  std::string uid_;
  bool left_ = false;  // the connection's strand only
};

// The checks before the handshake, in order: key (401), someone logged in (403), the path's
// account is the logged-in one (403). nullopt admits.
std::optional<http::Response> admit(const AuthManager& auth, const ParloService& service,
                                    const http::Request& request) {
  try {
    auto checked = auth.check_websocket(request.query_value("api_key"));
    if (const auto* refusal = std::get_if<AuthRefusal>(&checked)) {
      return http::detail_response(status::unauthorized, refusal->detail);
    }
  } catch (const std::exception& e) {
    log_websocket_auth_error(e.what());
    return http::detail_response(status::unauthorized, std::string(kWebSocketAuthFailed));
  }
  const auto current = service.current_login_uid();
  if (!current || current->empty()) {
    return http::detail_response(status::forbidden, std::string(http::kNotLoggedIn));
  }
  if (request.path_param("user_uid").value_or(std::string()) != *current) {
    return http::detail_response(status::forbidden, std::string(kUidMismatch));
  }
  return std::nullopt;
}

Json client_info_of(const http::Request& request) {
  return Json{
      {"client_name", request.query_value("client_name").value_or("unknown")},
      {"user_agent", request.header_value("user-agent").value_or("unknown")},
  };
}

// One message from the peer, on the connection's strand. False ends the reading with close_code
// set; the connection's end is handled by finish().
bool on_message(ConnectionManager& hub, WebSocketConnection& connection, Received& received,
                std::uint16_t& close_code) {
  if (received.kind == Received::Kind::binary) {
    // Only text requests exist; a binary "ping" is not the text command either.
    logger()->error(
        "WebSocket处理消息时出错: binary message ({} bytes); only text messages are accepted",
        received.data.size());
    close_code = kCloseUnsupportedData;
    return false;
  }
  if (received.data == "ping") {
    // One frame for every connection: it is never changed, only written.
    static const Frame pong = std::make_shared<const std::string>("pong");
    if (!connection.send(pong)) {
      logger()->error("WebSocket处理消息时出错: {}", connection.error_text());
      close_code = kCloseInternalError;
      return false;
    }
  } else if (received.data == "get_status") {
    hub.send_to_connection(connection.shared_from_this(),
                           Json{{"type", "status_response"}, {"data", hub.get_connection_stats()}});
  }
  return true;
}

// The end of a connection's run: out of the registry, then closed after what it still has to
// write. Accepted connections are never left open behind the run: a normal end closes with
// 1000, a binary message with 1003, a failure with 1011 (a no-op when the peer, the WebSocket
// layer or the shutdown already closed it). The closing connection holds itself until its
// socket is gone.
void finish(const std::shared_ptr<WebSocketConnection>& connection, Registration& registration,
            std::uint16_t close_code) {
  registration.leave();
  connection->set_peer_close_handler({});
  connection->close(close_code);
}

net::awaitable<void> run(ConnectionManager& hub, const ConnectionLimits& limits,
                         http::Request& request, http::WebSocketStream stream) {
  const std::string uid = request.path_param("user_uid").value_or(std::string());
  auto connection = WebSocketConnection::adopt(std::move(stream), limits);
  auto registration = std::make_shared<Registration>(hub, connection, uid);
  // Runs on the connection's strand, inside a read, when the peer's close frame arrives.
  connection->set_peer_close_handler([registration] { registration->leave(); });
  try {
    // Named arguments: no temporaries beside the co_await (GCC 12 destroys them twice).
    ConnectionPtr registered = connection;
    std::optional<Json> client_info = client_info_of(request);
    // Nothing reads the upgrade request from here on; an idle connection need not keep it.
    request = http::Request{};
    co_await hub.connect(registered, uid, client_info);
  } catch (const std::exception& e) {
    logger()->error("WebSocket连接异常: {}", e.what());
    finish(connection, *registration, kCloseInternalError);
    co_return;
  }
  // From here the connection reads on its own and this coroutine ends: an idle connection
  // keeps one pending read, not a suspended coroutine.
  std::weak_ptr<WebSocketConnection> weak = connection;
  connection->serve([&hub, weak, registration](Received received) {
    auto self = weak.lock();
    if (!self) return false;
    std::uint16_t close_code = kCloseNormal;
    bool more = false;
    try {
      if (received.kind == Received::Kind::closed) {
        // By the peer, or the peer is gone.
      } else if (received.kind == Received::Kind::failed) {
        // Oversize message or protocol violation: the WebSocket layer already closed with the
        // protocol's code (1009, 1002, 1007), so the close below finds nothing left to do.
        logger()->error("WebSocket处理消息时出错: {}", received.data);
        close_code = kCloseInternalError;
      } else {
        more = on_message(hub, *self, received, close_code);
      }
    } catch (const std::exception& e) {
      logger()->error("WebSocket连接异常: {}", e.what());
      close_code = kCloseInternalError;
      more = false;
    }
    if (!more) finish(self, *registration, close_code);
    return more;
  });
}

}  // namespace

void add_websocket_routes(http::Router& router, ConnectionManager& hub, const ParloService& service,
                          WebSocketRouteOptions options) {
  const AuthManager& auth = router.auth();

  http::Route ws;
  ws.kind = http::RouteKind::websocket;
  ws.path = "/api/ws/connect/{user_uid}";
  ws.operation = "websocket_endpoint";
  ws.tags = {std::string(kWebSocketTag)};
  ws.in_schema = false;
  ws.ws_admit =
      [&auth, &service](http::Request& request) -> net::awaitable<std::optional<http::Response>> {
    co_return admit(auth, service, request);
  };
  // The handshake failed after the checks: the endpoint's error line, and its cleanup, which
  // finds nothing registered.
  ws.ws_failed = [&hub](http::Request& request, const std::string& error) {
    logger()->error("WebSocket连接异常: {}", error);
    hub.disconnect(nullptr, request.path_param("user_uid").value_or(std::string()));
  };
  // Not a coroutine itself: the run's own frame is the only one under each connection.
  ws.ws_run = [&hub, limits = options.limits](http::Request& request,
                                              http::WebSocketStream stream) {
    return run(hub, limits, request, std::move(stream));
  };
  router.add(std::move(ws));

  http::Route stats;
  stats.path = "/api/ws/stats";
  stats.operation = "get_websocket_stats";
  stats.summary = "获取WebSocket连接统计";
  stats.description = "获取当前WebSocket连接统计信息";
  stats.tags = {std::string(kWebSocketTag)};
  stats.response_record = "BaseResponse";
  stats.auth = true;
  stats.handler = [&hub](http::Request&) -> net::awaitable<http::Response> {
    co_return http::json_response(
        http::base_response(true, std::string(kStatsMessage), hub.get_connection_stats()));
  };
  router.add(std::move(stats));

  http::Route connections;
  connections.path = "/api/ws/connections";
  connections.operation = "get_websocket_connections";
  connections.summary = "获取WebSocket连接详情";
  connections.description = "获取当前所有WebSocket连接的详细信息";
  connections.tags = {std::string(kWebSocketTag)};
  connections.response_record = "BaseResponse";
  connections.auth = true;
  connections.handler = [&hub](http::Request&) -> net::awaitable<http::Response> {
    Json list = hub.get_detailed_connections();
    const auto total = list.size();
    co_return http::json_response(
        http::base_response(true, std::string(kConnectionsMessage),
                            Json{{"connections", std::move(list)}, {"total_connections", total}}));
  };
  router.add(std::move(connections));
}

}  // namespace corvid::app::routers
