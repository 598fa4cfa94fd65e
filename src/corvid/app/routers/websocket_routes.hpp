#pragma once
// The /api/ws router: the WebSocket endpoint /api/ws/connect/{user_uid} (key, login and account
// checks before the handshake, then registration, the receive loop and the cleanup) and the
// keyed statistics routes /api/ws/stats and /api/ws/connections.
// Owner: the application registers it once; the registry and the service outlive the router.
// Threads: handlers run on the server's loop; the reading never blocks it (each read completes
// on the connection's strand, replies only enqueue).
#include <string_view>

#include "corvid/app/websocket/websocket_connection.hpp"

namespace corvid::app {
class ConnectionManager;
class ParloService;
namespace http {
class Router;
}
}  // namespace corvid::app

namespace corvid::app::routers {

inline constexpr std::string_view kUidMismatch = "uid不匹配，只能连接当前登录的Parlo账号";
inline constexpr std::string_view kStatsMessage = "获取WebSocket统计成功";
inline constexpr std::string_view kConnectionsMessage = "获取WebSocket连接详情成功";
inline constexpr std::string_view kWebSocketTag = "WebSocket消息推送";

struct WebSocketRouteOptions {
  ConnectionLimits limits;  // per connection: replies' bound, stall timeout, closing times
};

// Adds, in this order: the WebSocket route (not documented), GET /api/ws/stats and
// GET /api/ws/connections. The key check uses the router's AuthManager.
void add_websocket_routes(http::Router& router, ConnectionManager& hub, const ParloService& service,
                          WebSocketRouteOptions options = {});

}  // namespace corvid::app::routers
