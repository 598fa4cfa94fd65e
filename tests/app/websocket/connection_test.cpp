// The Beast connection over real loopback sockets, made as the server makes it (the handshake
// with the server's stream settings, adopt(), serve()): welcome first, frames in order, the
// peer's messages, a stalled peer cut by the stall timeout or the budget while another peer of
// the same account keeps receiving, and the close after or ahead of the backlog.
#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "app/websocket/hub_test_support.hpp"
#include "corvid/app/websocket/websocket_hub.hpp"
#include "support/log_capture.hpp"

namespace corvid::app {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;
using corvid::test::LogCapture;
using test::wait_until;

// A server on an ephemeral loopback port: each request to /<uid> becomes a connection of that
// account, accepted as the HTTP server accepts one; text "ping" is answered "pong" through the
// connection's queue.
class Server {
 public:
  explicit Server(ConnectionLimits limits, std::uint64_t budget = kDefaultDeliveryBudget)
      : hub(budget), limits_(limits) {
    acceptor_.open(tcp::v4());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind({asio::ip::make_address("127.0.0.1"), 0});
    acceptor_.listen();
    asio::co_spawn(ioc_, accept_loop(), asio::detached);
    for (int i = 0; i < 3; ++i) threads_.emplace_back([this] { ioc_.run(); });
  }
  ~Server() {
    for (auto& conn : hub.snapshot()) conn->close();
    // Sessions end once their peers answer the close (or the socket drops) and unregister.
    wait_until([&] { return hub.get_connection_stats()["total_connections"] == 0; },
               std::chrono::seconds(5));
    acceptor_.close();
    work_.reset();
    ioc_.stop();
    for (auto& t : threads_) t.join();
  }
  unsigned short port() const { return acceptor_.local_endpoint().port(); }

  std::vector<std::string> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::shared_ptr<WebSocketConnection> last() {
    std::lock_guard lock(mutex_);
    return last_;
  }

  // Declared first: the loop outlives every connection, the registry's included.
  asio::io_context ioc_;
  ConnectionManager hub;

 private:
  asio::awaitable<void> accept_loop() {
    for (;;) {
      // Each socket on a strand of its own, as the server's sessions are.
      tcp::socket socket =
          co_await acceptor_.async_accept(asio::make_strand(ioc_), asio::use_awaitable);
      auto executor = socket.get_executor();
      asio::co_spawn(executor, session(std::move(socket)), asio::detached);
    }
  }

  asio::awaitable<void> session(tcp::socket socket) {
    beast::tcp_stream stream(std::move(socket));
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    co_await http::async_read(stream, buffer, request, asio::use_awaitable);
    const std::string uid(request.target().substr(1));
    WebSocketConnection::Stream ws(stream.release_socket());
    app::set_up_server_stream(ws, "corvid-test");
    co_await ws.async_accept(request, asio::use_awaitable);
    auto conn = WebSocketConnection::adopt(std::move(ws), limits_);
    {
      std::lock_guard lock(mutex_);
      last_ = conn;
    }
    ConnectionPtr registered = conn;  // named: GCC 12 mishandles temporaries next to co_await
    co_await hub.connect(registered, uid);
    std::weak_ptr<WebSocketConnection> weak = conn;
    conn->serve([this, weak, uid](Received message) {
      auto self = weak.lock();
      if (!self) return false;
      if (message.kind != Received::Kind::text) {
        hub.disconnect(self, uid);
        return false;
      }
      {
        std::lock_guard lock(mutex_);
        received_.push_back(message.data);
      }
      if (message.data == "ping") self->send(std::make_shared<const std::string>("pong"));
      return true;
    });
  }

  ConnectionLimits limits_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{ioc_.get_executor()};
  tcp::acceptor acceptor_{ioc_};
  std::vector<std::thread> threads_;
  std::mutex mutex_;  // guards received_, last_
  std::vector<std::string> received_;
  std::shared_ptr<WebSocketConnection> last_;
};

// A blocking client; receive_buffer shrinks its socket buffer so a stalled client fills fast.
struct Client {
  Client(unsigned short port, const std::string& uid, int receive_buffer = 0) {
    auto& socket = ws.next_layer();
    socket.open(tcp::v4());
    if (receive_buffer > 0)
      socket.set_option(asio::socket_base::receive_buffer_size(receive_buffer));
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    ws.handshake("127.0.0.1", "/" + uid);
  }
  std::string read() {
    beast::flat_buffer buffer;
    ws.read(buffer);
    return beast::buffers_to_string(buffer.data());
  }
  asio::io_context ioc;
  websocket::stream<tcp::socket> ws{ioc};
};

// Shorter than the default so a stalled peer is cut within the test's wait, long enough that a
// reader slowed down by a sanitizer on a busy machine still takes a byte in time.
ConnectionLimits quick_limits() {
  ConnectionLimits limits;
  limits.stall_timeout = std::chrono::seconds(5);
  return limits;
}

TEST(WebSocketConnection, WelcomeFirstThenFramesInOrderAndPeerMessages) {
  Server server(quick_limits());
  Client client(server.port(), "u1");
  EXPECT_EQ(Json::parse(client.read())["type"], "connection_established");
  ASSERT_TRUE(
      wait_until([&] { return server.hub.get_connection_stats()["total_connections"] == 1; }));

  for (int i = 0; i < 500; ++i) server.hub.send_to_user("u1", Json{{"seq", i}});
  for (int i = 0; i < 500; ++i) ASSERT_EQ(Json::parse(client.read())["seq"], i);

  client.ws.write(asio::buffer(std::string("ping")));
  EXPECT_EQ(client.read(), "pong");
  EXPECT_TRUE(wait_until([&] { return server.received() == std::vector<std::string>{"ping"}; }));

  client.ws.close(websocket::close_code::normal);
  EXPECT_TRUE(wait_until([&] { return server.hub.get_connection_stats()["total_users"] == 0; }));
  EXPECT_FALSE(server.last()->send(std::make_shared<const std::string>("late")));
}

// A burst goes out as gathered writes straight to the socket, which the websocket layer's own
// frames share: a pong (to a control ping) and a reply (to a "ping" text) sent while the
// socket is full must land between whole frames, never inside one, and none may be lost.
TEST(WebSocketConnection, PongsAndRepliesGoBetweenWholeFramesOfABurst) {
  Server server(ConnectionLimits{});
  Client client(server.port(), "u1", 8192);  // a small window: the burst's writes wait for room
  int pongs = 0;
  client.ws.control_callback([&](websocket::frame_type kind, beast::string_view) {
    if (kind == websocket::frame_type::pong) ++pongs;
  });
  EXPECT_EQ(Json::parse(client.read())["type"], "connection_established");
  ASSERT_TRUE(
      wait_until([&] { return server.hub.get_connection_stats()["total_connections"] == 1; }));

  const std::string padding(16 * 1024, 'x');
  constexpr int kFrames = 400;  // ~6.5 MiB: many times what the socket buffers hold
  for (int i = 0; i < kFrames; ++i)
    server.hub.send_to_user("u1", Json{{"seq", i}, {"pad", padding}});

  int next = 0;
  int pings = 0;
  int replies = 0;
  while (next < kFrames) {
    if (next % 25 == 0 && pings <= next / 25) {
      client.ws.ping({});
      client.ws.text(true);
      client.ws.write(asio::buffer(std::string("ping")));
      ++pings;
    }
    const std::string text = client.read();  // a frame cut by another would fail here
    if (text == "pong") {
      ++replies;
      continue;
    }
    ASSERT_EQ(Json::parse(text)["seq"], next);
    ++next;
  }
  while (replies < pings) {
    ASSERT_EQ(client.read(), "pong");
    ++replies;
  }
  // Each ping's pong left before the reply to the text that followed it.
  EXPECT_EQ(pongs, pings);
  EXPECT_EQ(server.hub.get_connection_stats()["total_connections"], 1);
}

TEST(WebSocketConnection, StalledPeerIsCutByTheStallTimeoutWhileOthersReceive) {
  LogCapture logs(spdlog::level::warn);
  Server server(quick_limits());
  Client stalled(server.port(), "u1", 4096);
  Client reader(server.port(), "u1");
  ASSERT_TRUE(
      wait_until([&] { return server.hub.get_connection_stats()["total_connections"] == 2; }));
  EXPECT_EQ(Json::parse(reader.read())["type"], "connection_established");

  const std::string padding(64 * 1024, 'x');
  constexpr int kFrames = 150;  // ~9.6 MiB: more than the stalled peer's buffers, under the bound
  for (int i = 0; i < kFrames; ++i)
    server.hub.send_to_user("u1", Json{{"seq", i}, {"pad", padding}});
  for (int i = 0; i < kFrames; ++i) ASSERT_EQ(Json::parse(reader.read())["seq"], i);

  ASSERT_TRUE(
      wait_until([&] { return server.hub.get_connection_stats()["total_connections"] == 1; },
                 std::chrono::seconds(30)));
  bool logged = false;
  for (auto& line : logs->texts("websocket_hub", spdlog::level::err))
    logged = logged || line.rfind("向用户 u1 发送消息失败: no byte taken for ", 0) == 0;
  EXPECT_TRUE(logged);
  server.hub.send_to_user("u1", Json{{"seq", "after"}});
  EXPECT_EQ(Json::parse(reader.read())["seq"], "after");
}

TEST(WebSocketConnection, APeerThatStopsReadingIsCutByTheBudgetNeverAReader) {
  LogCapture logs(spdlog::level::warn);
  // The real 30 s stall timeout: the budget acts first.
  constexpr std::uint64_t kBudget = std::uint64_t{16} << 20;
  Server server(ConnectionLimits{}, kBudget);
  Client stalled(server.port(), "u1", 4096);
  Client reader(server.port(), "u1");
  Client other(server.port(), "u2");
  ASSERT_TRUE(
      wait_until([&] { return server.hub.get_connection_stats()["total_connections"] == 3; }));
  EXPECT_EQ(Json::parse(reader.read())["type"], "connection_established");

  // Past the budget in all, pushed faster than any peer reads: only the peer that takes
  // nothing falls that far behind; the reader drains as it goes.
  const std::string padding(64 * 1024, 'x');
  const int frames = static_cast<int>(kBudget / padding.size()) + 200;
  std::atomic<int> got{0};
  std::thread reading([&] {
    for (int i = 0; i < frames; ++i) {
      if (Json::parse(reader.read())["seq"] != i) return;
      got = i + 1;
    }
  });
  for (int i = 0; i < frames; ++i) {
    server.hub.send_to_user("u1", Json{{"seq", i}, {"pad", padding}});
    // The registry does not wait; a pusher that runs too far ahead of the reader is the relay's
    // business, so this one keeps within a few MiB of it.
    while (i - got.load() > 64) std::this_thread::yield();
  }
  reading.join();
  EXPECT_EQ(got.load(), frames) << "the reader lost or reordered frames";
  EXPECT_EQ(server.hub.get_connection_stats()["users"], (Json{{"u1", 1}, {"u2", 1}}));
  bool logged = false;
  for (auto& line : logs->texts("websocket_hub", spdlog::level::err))
    logged = logged || line.rfind("向用户 u1 发送消息失败: lagging ", 0) == 0;
  EXPECT_TRUE(logged);
  // What the log kept for the stalled peer is let go with it.
  EXPECT_LT(server.hub.held_bytes("u1"), std::uint64_t{8} << 20);

  // Another account is not affected.
  EXPECT_EQ(Json::parse(other.read())["type"], "connection_established");
  server.hub.send_to_user("u2", Json{{"ok", true}});
  EXPECT_EQ(Json::parse(other.read())["ok"], true);
}

// The endpoint's close goes after everything queued or logged for the connection; the
// shutdown's goes ahead of a backlog the peer has not read yet.
TEST(WebSocketConnection, CloseGoesAfterTheBacklogOrAheadOfIt) {
  struct Case {
    const char* name;
    bool ahead;
  };
  for (const Case& c : {Case{"the endpoint's close", false}, Case{"the shutdown's close", true}}) {
    SCOPED_TRACE(c.name);
    Server server(quick_limits());
    Client client(server.port(), "u1", 4096);  // a small window: the backlog waits in the server
    ASSERT_TRUE(wait_until([&] {
      return server.last() && server.hub.get_connection_stats()["total_connections"] == 1;
    }));
    auto conn = server.last();
    constexpr int kFrames = 200;  // ~3 MiB: far more than the socket buffers hold
    const std::string padding(16 * 1024, 'x');
    for (int i = 0; i < kFrames; ++i)
      server.hub.send_to_user("u1", Json{{"seq", i}, {"pad", padding}});

    asio::io_context closer;
    std::future<bool> closed;
    if (c.ahead) {
      closed =
          asio::co_spawn(closer, conn->close_and_wait(std::chrono::seconds(10)), asio::use_future);
    } else {
      conn->close();
    }
    std::thread closer_thread([&] { closer.run(); });
    EXPECT_EQ(Json::parse(client.read())["type"], "connection_established");
    int seen = 0;
    beast::error_code ec;
    for (;;) {
      beast::flat_buffer buffer;
      client.ws.read(buffer, ec);
      if (ec) break;
      ASSERT_EQ(Json::parse(beast::buffers_to_string(buffer.data()))["seq"], seen);
      ++seen;
    }
    EXPECT_EQ(ec, websocket::error::closed);
    EXPECT_EQ(client.ws.reason().code, websocket::close_code::normal);
    if (c.ahead) {
      EXPECT_LT(seen, kFrames) << "the close waited for the whole backlog";
      EXPECT_TRUE(closed.get());
    } else {
      EXPECT_EQ(seen, kFrames);
    }
    closer_thread.join();
    EXPECT_FALSE(conn->send(std::make_shared<const std::string>("late")));
  }
}

}  // namespace
}  // namespace corvid::app
