#pragma once
// Namespace aliases of the HTTP layer, kept in one private header so no other header needs a
// using-directive. Included by the server, session, router and the tests of this layer only.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "corvid/app/websocket/websocket_socket.hpp"

namespace corvid::app::http {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;

// The stream a WebSocket route receives once the handshake is accepted: straight over the
// socket (the websocket layer has its own timers; see WebSocketSocket) and without
// permessage-deflate, which the server never offers.
using WebSocketStream = websocket::stream<WebSocketSocket, false>;

}  // namespace corvid::app::http
