// How WebSocket connections end, through the real corvid binary and its simulated client: the
// peer's close frame takes the connection out of the registry at once though the peer holds
// TCP open; the endpoint's own close (1003 for a binary message) reaches a peer that reads,
// after its backlog; the shutdown's close (1000) reaches every reading peer ahead of its
// backlog, and a peer that holds TCP open after it does not hold the exit; an unknown upgrade
// path is a 404; a handshake that fails after the checks is logged and registers nothing.
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "app/websocket/raw_peer.hpp"
#include "app/websocket/ws_binary_fixture.hpp"
#include "support/wait.hpp"

namespace corvid::test {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A WebSocket of the account through Beast.
struct Peer {
  explicit Peer(const Corvid& corvid) : ws(io) {
    beast::get_lowest_layer(ws).expires_after(10s);
    beast::get_lowest_layer(ws).connect(
        tcp::endpoint(asio::ip::make_address("127.0.0.1"), corvid.port()));
    ws.handshake("127.0.0.1", std::string("/api/ws/connect/") + kUid + "?api_key=" + corvid.key());
    beast::get_lowest_layer(ws).expires_never();
  }
  std::optional<std::string> read(std::chrono::seconds limit = 30s) {
    beast::get_lowest_layer(ws).expires_after(limit);
    beast::flat_buffer buffer;
    beast::error_code ec;
    ws.read(buffer, ec);
    if (ec) return std::nullopt;
    return beast::buffers_to_string(buffer.data());
  }
  asio::io_context io;
  websocket::stream<beast::tcp_stream> ws;
};

class Endpoint : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(corvid_.start()) << corvid_.output(); }
  Corvid corvid_;
};

TEST_F(Endpoint, ACompletedCloseHandshakeLeavesTheRegistryAtOnceThoughThePeerHoldsTcpOpen) {
  Peer peer(corvid_);
  ASSERT_TRUE(peer.read().has_value());
  ASSERT_EQ(corvid_.connections(), 1);

  // A masked close frame with code 1000 written by hand, so the socket stays open after it.
  const unsigned char mask[4] = {0x11, 0x22, 0x33, 0x44};
  std::string close_frame = {'\x88', '\x82'};
  close_frame.append(reinterpret_cast<const char*>(mask), 4);
  close_frame.push_back(static_cast<char>(0x03 ^ mask[0]));
  close_frame.push_back(static_cast<char>(0xe8 ^ mask[1]));
  auto& socket = beast::get_lowest_layer(peer.ws).socket();
  asio::write(socket, asio::buffer(close_frame));
  const auto sent = Clock::now();
  ASSERT_TRUE(wait_until([&] { return corvid_.connections() == 0; }, 1s))
      << corvid_.get("/api/ws/connections").body;
  EXPECT_LT(Clock::now() - sent, 1s);
  EXPECT_EQ(Json::parse(corvid_.get("/api/ws/connections").body)["data"]["total_connections"], 0);

  // The server answered the close and then closed TCP itself, after a short wait.
  std::string rest;
  beast::error_code ec;
  socket.non_blocking(false);
  struct timeval limit {
    5, 0
  };
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::array<char, 256> chunk{};
  for (;;) {
    const std::size_t n = socket.read_some(asio::buffer(chunk), ec);
    if (ec) break;
    rest.append(chunk.data(), n);
  }
  EXPECT_EQ(ec, asio::error::eof) << ec.message();
  ASSERT_GE(rest.size(), 4u);
  EXPECT_EQ(static_cast<unsigned char>(rest[0]), 0x88);  // the server's close frame
  EXPECT_EQ(rest.substr(2, 2), std::string("\x03\xe8", 2));
}

TEST_F(Endpoint, UnknownUpgradePathsAreNotFoundAndAFailedHandshakeIsLoggedAndRegistersNothing) {
  const std::string upgrade =
      "Host: 127.0.0.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
      "Sec-WebSocket-Version: 13\r\n";
  struct Case {
    const char* name;
    std::string target;
    std::string extra;
    int status;
  };
  const std::vector<Case> cases = {
      {"unknown path", "/api/ws/nowhere?api_key=" + corvid_.key(),
       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n", 404},
      {"no Sec-WebSocket-Key", std::string("/api/ws/connect/") + kUid + "?api_key=" + corvid_.key(),
       "", 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    beast::tcp_stream stream(io);
    stream.expires_after(10s);
    stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), corvid_.port()));
    const std::string request = "GET " + c.target + " HTTP/1.1\r\n" + upgrade + c.extra + "\r\n";
    asio::write(stream, asio::buffer(request));
    beast::flat_buffer buffer;
    bhttp::response<bhttp::string_body> response;
    bhttp::read(stream, buffer, response);
    EXPECT_EQ(response.result_int(), c.status) << response;
    if (c.status == 404) {
      EXPECT_EQ(Json::parse(response.body()), (Json{{"detail", "Not Found"}}));
    }
  }
  EXPECT_EQ(corvid_.connections(), 0);
  EXPECT_TRUE(wait_until([&] { return corvid_.logged("WebSocket连接异常: "); }, 5s))
      << corvid_.output();
  EXPECT_TRUE(corvid_.logged(std::string("WebSocket连接断开: ") + kUid)) << corvid_.output();
  EXPECT_FALSE(corvid_.logged(std::string("WebSocket连接建立: ") + kUid));
}

// A peer with a backlog it has not read yet sends a binary message: it reads the whole backlog,
// in order, and then the endpoint's close with 1003.
TEST_F(Endpoint, ABinaryMessageDuringABacklogClosesWith1003AfterTheBacklog) {
  RawPeer peer(corvid_.port(), corvid_.key(), kUid, 16 * 1024);
  RawPeer witness(corvid_.port(), corvid_.key(), kUid);
  ASSERT_TRUE(peer.accepted() && witness.accepted());
  ASSERT_TRUE(wait_until([&] { return corvid_.connections() == 2; }, 10s));
  constexpr int kEvents = 3000;  // about 3 MB: far more than the peer's socket buffers take
  witness.start({.want = kEvents});
  ASSERT_TRUE(corvid_.inject(kEvents, 1000));
  ASSERT_TRUE(witness.wait(60s));  // the whole burst is in the account's log by now
  ASSERT_TRUE(peer.send_binary("ping"));
  ASSERT_TRUE(wait_until([&] { return corvid_.connections() == 1; }, 10s));
  peer.start({});
  ASSERT_TRUE(peer.wait(60s));
  const auto seen = peer.seen();
  EXPECT_EQ(seen.events, kEvents);
  EXPECT_TRUE(seen.unbroken);
  EXPECT_EQ(seen.close_code, std::optional<std::uint16_t>(1003));
  EXPECT_TRUE(corvid_.logged("WebSocket处理消息时出错: binary message (4 bytes)"));
}

// The shutdown during a burst: every reading peer gets the close (1000), ahead of what it has
// not read, and the process exits 0 within its bound; a peer that answers the close but holds
// TCP open is let go after the same short wait as after its own close.
TEST(Shutdown, SigtermClosesEveryReadingPeerAheadOfItsBacklogAndExitsInTheBound) {
  struct Case {
    const char* name;
    int peers;
    bool during_burst;
    bool hold_tcp_open;
    // A sanitizer's own work at the exit takes seconds; the log's "did not finish closing"
    // still tells a close that waited for its bound.
    std::chrono::milliseconds exit_within;
  };
  const auto bound = [](std::chrono::milliseconds plain) {
    return kScale == 1 ? plain : plain + 5s;
  };
  const Case cases[] = {
      {"twenty readers in a burst", 20, true, false, bound(10s)},
      {"a peer that holds TCP open after the close", 1, false, true, bound(3s)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Corvid corvid;
    ASSERT_TRUE(corvid.start()) << corvid.output();
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < c.peers; ++i) {
      // A small window: each peer's backlog waits in the server, not in its socket.
      peers.push_back(std::make_unique<RawPeer>(corvid.port(), corvid.key(), kUid, 16 * 1024));
      ASSERT_TRUE(peers.back()->accepted());
      peers.back()->start({.pace = 2'000'000, .end_tcp_after_close = !c.hold_tcp_open});
    }
    ASSERT_TRUE(wait_until([&] { return corvid.connections() == c.peers; }, 10s));
    // About 45 MB: within the budget, so every peer still has most of it to read when the
    // stop comes.
    const int events = 40'000 / kScale;
    if (c.during_burst) {
      ASSERT_TRUE(corvid.inject(events, 1000));
      ASSERT_TRUE(wait_until([&] { return peers.front()->seen().events > 100; }, 30s));
    }
    const auto stopped = Clock::now();
    const auto status = corvid.stop(SIGTERM, c.exit_within + 5s);
    const auto took = Clock::now() - stopped;
    ASSERT_TRUE(status.has_value()) << "still running\n" << corvid.output().substr(0, 2000);
    EXPECT_EQ(*status, 0);
    EXPECT_LT(took, c.exit_within) << corvid.lines_with("app.main");
    for (auto& peer : peers) {
      ASSERT_TRUE(peer->wait(10s));
      const auto seen = peer->seen();
      EXPECT_EQ(seen.close_code, std::optional<std::uint16_t>(1000)) << "got no close frame";
      EXPECT_TRUE(seen.unbroken);
      if (c.during_burst) {
        EXPECT_LT(seen.events, events) << "the close waited for the backlog";
      }
    }
    EXPECT_FALSE(corvid.logged("did not finish closing")) << corvid.lines_with("closing");
  }
}

}  // namespace
}  // namespace corvid::test
