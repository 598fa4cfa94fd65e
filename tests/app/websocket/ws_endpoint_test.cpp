// The WebSocket endpoint against a real server, a real Beast client and the real simulated
// client: the refusals before the handshake, the welcome frame, the replies of the receive loop,
// the statistics routes, relayed events reaching every connection of the account, a peer that
// stops reading, an abrupt TCP close, and the shutdown closing every connection.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>

#include <tapwire/tapwire.h>

#include "app/websocket/hub_test_support.hpp"
#include "core/support.hpp"
#include "corvid/app/application_lifespan.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/routers/websocket_routes.hpp"
#include "corvid/app/websocket/websocket_hub.hpp"
#include "support/http_client.hpp"
#include "support/test_server.hpp"
#include "support/wait.hpp"
#include "support/ws_client.hpp"

namespace corvid::test {
namespace {

constexpr const char* kKey = "ws-test-key";
constexpr const char* kUid = "uid_standin";  // the simulated client's own account

const HeaderList& auth_header() {
  static const HeaderList h{{"Authorization", std::string("Bearer ") + kKey}};
  return h;
}

std::string connect_target(const std::string& uid,
                           const std::string& query = std::string("api_key=") + kKey) {
  return "/api/ws/connect/" + uid + (query.empty() ? "" : "?" + query);
}

class WsEndpoint : public ::testing::Test {
 protected:
  void SetUp() override { start({}); }

  void start(app::routers::WebSocketRouteOptions options) {
    // Before any thread logs: the capture adds its sink to the channels without their lock.
    logs_ = capture_logs();
    corvid::log::set_level(spdlog::level::info);
    TestServerOptions server_options;
    server_options.keys = {{"test", kKey}};
    server_ = std::make_unique<TestServer>(server_options);
    // The probe keeps pointers into the service and the registry: they live until exit.
    hub_ = new app::ConnectionManager();
    service_ =
        new app::ParloService(app::ParloConfig{}, server_->io().get_executor(), pool_, *hub_);
    ASSERT_NE(service_->parlo(), nullptr) << "the binding could not be built";
    app::routers::add_websocket_routes(server_->router(), *hub_, *service_, options);
    server_->start();
    http_ = std::make_unique<HttpClient>(server_->port());
  }

  void TearDown() override {
    http_.reset();
    if (server_) server_->stop();
    sim_.stop();  // no probe callback reaches the service once its loop is gone
    pool_.join();
    server_.reset();
  }

  // The receive loop's error lines so far.
  std::vector<std::string> loop_errors() const {
    std::vector<std::string> out;
    const std::string prefix = "websocket_router | WebSocket处理消息时出错: ";
    for (const auto& line : logs_->lines())
      if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
    return out;
  }

  std::string all_logs() const {
    std::string text;
    for (const auto& line : logs_->lines()) text += line + "\n";
    return text;
  }

  template <class T>
  T run(boost::asio::awaitable<T> work) {
    return boost::asio::co_spawn(server_->io(), std::move(work), boost::asio::use_future).get();
  }

  // Opens the client, waits for its automatic login and for the login event to have been
  // relayed: the relay runs after the account is set, so a connection opened right after the
  // login could otherwise still receive it ahead of the events a test injects.
  void open_and_login() {
    auto sentinel = std::make_shared<FakeConnection>();
    app::ConnectionPtr registered = sentinel;
    run(hub_->connect(registered, kUid));
    ASSERT_TRUE(run(service_->open_parlo()));
    ASSERT_TRUE(run(service_->wait_login(10)));
    ASSERT_TRUE(wait_until([&] { return service_->current_login_uid() == kUid; }));
    ASSERT_TRUE(wait_until([&] {
      for (const auto& frame : sentinel->frames())
        if (Json::parse(frame).value("type", Json()) == MT_USER_LOGIN_MSG) return true;
      return false;
    }));
    hub_->disconnect(registered, kUid);
  }

  // A connection of the logged-in account whose welcome frame was read.
  std::unique_ptr<WsClient> connect(const HeaderList& headers = {},
                                    const std::string& query = std::string("api_key=") + kKey) {
    auto client = std::make_unique<WsClient>(server_->port(), connect_target(kUid, query), headers);
    EXPECT_TRUE(client->accepted())
        << client->handshake().status << " " << client->handshake().body;
    auto welcome = client->read();
    EXPECT_TRUE(welcome.has_value());
    if (welcome) {
      EXPECT_EQ(Json::parse(*welcome).value("type", ""), "connection_established");
    }
    return client;
  }

  Json stats_route() {
    auto r = http_->get("/api/ws/stats", auth_header());
    EXPECT_EQ(r.status, 200) << r.body;
    return r.json();
  }

  std::size_t registered() {
    return hub_->get_connection_stats()["total_connections"].get<std::size_t>();
  }

  void inject_burst(int count, const std::string& pad = "burst", int interval_ms = 0) {
    sim_.ok({{"cmd", "inject"},
             {"message", {{"type", 11046}, {"data", {{"content", pad}}}}},
             {"count", count},
             {"interval_ms", interval_ms},
             {"stamp", true}});
  }

  // Reads count relayed events and checks they carry the stamps 0..count-1 in order.
  static void expect_burst(WsClient& client, int count) {
    for (int i = 0; i < count; ++i) {
      auto frame = client.read();
      ASSERT_TRUE(frame.has_value()) << "frame " << i << " never came";
      Json event = Json::parse(*frame);
      ASSERT_EQ(event["type"], 11046) << *frame;
      ASSERT_EQ(event["data"]["seq"], i) << "out of order";
    }
  }

  std::shared_ptr<LogSink> logs_;
  Sim sim_;
  boost::asio::thread_pool pool_{4};
  std::unique_ptr<TestServer> server_;
  app::ConnectionManager* hub_ = nullptr;
  app::ParloService* service_ = nullptr;
  std::unique_ptr<HttpClient> http_;
};

TEST_F(WsEndpoint, RefusalsAreHttpAnswersBeforeTheHandshakeAndRegisterNothing) {
  struct Case {
    const char* name;
    std::string target;
    HeaderList headers;
    bool login_first;
    int status;
    const char* detail;
  };
  const std::string key = std::string("api_key=") + kKey;
  // Ordered: the cases before the login, then the account checks once someone is logged in.
  const std::vector<Case> cases = {
      {"no key, nobody logged in: the key comes first",
       connect_target(kUid, ""),
       {},
       false,
       401,
       "缺少API密钥"},
      {"empty key", connect_target(kUid, "api_key="), {}, false, 401, "缺少API密钥"},
      {"unknown key", connect_target(kUid, "api_key=nope"), {}, false, 401, "无效的API密钥"},
      {"key only as a bearer header", connect_target(kUid, ""), auth_header(), false, 401,
       "缺少API密钥"},
      {"good key, nobody logged in", connect_target(kUid, key), {}, false, 403, "Parlo未登录"},
      {"another account",
       connect_target("uid_alice", key),
       {},
       true,
       403,
       "uid不匹配，只能连接当前登录的Parlo账号"},
      {"same account in other letter case",
       connect_target("UID_STANDIN", key),
       {},
       true,
       403,
       "uid不匹配，只能连接当前登录的Parlo账号"},
      {"account with a trailing blank",
       connect_target("uid_standin%20", key),
       {},
       true,
       403,
       "uid不匹配，只能连接当前登录的Parlo账号"},
      {"unknown key while logged in",
       connect_target(kUid, "api_key=nope"),
       {},
       true,
       401,
       "无效的API密钥"},
  };
  bool logged_in = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.login_first && !logged_in) {
      ASSERT_NO_FATAL_FAILURE(open_and_login());
      logged_in = true;
    }
    WsClient client(server_->port(), c.target, c.headers);
    EXPECT_FALSE(client.accepted());
    EXPECT_EQ(client.handshake().status, c.status);
    EXPECT_EQ(client.handshake().body, dump_compact(Json({{"detail", c.detail}})));
    EXPECT_EQ(registered(), 0u);
  }
  EXPECT_EQ(stats_route()["data"],
            Json({{"total_users", 0}, {"total_connections", 0}, {"users", Json::object()}}));
}

TEST_F(WsEndpoint, StatisticsRoutesNeedTheBearerKeyButNoLogin) {
  for (const char* path : {"/api/ws/stats", "/api/ws/connections"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(http_->get(path).status, 401);
    auto r = http_->get(path, auth_header());
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.json()["success"], true);
  }
  EXPECT_EQ(http_->get("/api/ws/connections", auth_header()).json(),
            Json({{"success", true},
                  {"message", "获取WebSocket连接详情成功"},
                  {"data", {{"connections", Json::array()}, {"total_connections", 0}}}}));
}

TEST_F(WsEndpoint, WelcomeFrameComesFirstThenPingAndStatusAreAnsweredInOrder) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  WsClient client(server_->port(),
                  connect_target(kUid, std::string("api_key=") + kKey + "&client_name=tester"),
                  {{"User-Agent", "corvid-test/1"}});
  ASSERT_TRUE(client.accepted()) << client.handshake().body;

  auto welcome = client.read();
  ASSERT_TRUE(welcome.has_value());
  const Json greeting = Json::parse(*welcome);
  const std::string stamp = greeting.value("timestamp", "");
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?)")))
      << stamp;
  // The exact text: keys in this order, two-space indentation, Chinese as it is.
  EXPECT_EQ(
      *welcome,
      "{\n  \"type\": \"connection_established\",\n  \"message\": \"WebSocket连接建立成功\",\n"
      "  \"uid\": \"uid_standin\",\n  \"timestamp\": \"" +
          stamp + "\"\n}");

  // Only the exact texts are answered; the others get nothing, so the next reply is the pong.
  for (const char* ignored : {"PING", " ping", "ping\n", "hello", ""})
    ASSERT_TRUE(client.write(ignored));
  ASSERT_TRUE(client.write("ping"));
  EXPECT_EQ(client.read(), "pong");

  ASSERT_TRUE(client.write("get_status"));
  ASSERT_TRUE(client.write("ping"));
  auto status = client.read();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(
      *status,
      app::make_frame(
          Json{{"type", "status_response"},
               {"data", {{"total_users", 1}, {"total_connections", 1}, {"users", {{kUid, 1}}}}}})
          ->c_str());
  EXPECT_EQ(client.read(), "pong");

  EXPECT_EQ(
      stats_route(),
      Json({{"success", true},
            {"message", "获取WebSocket统计成功"},
            {"data", {{"total_users", 1}, {"total_connections", 1}, {"users", {{kUid, 1}}}}}}));
  auto details = http_->get("/api/ws/connections", auth_header()).json()["data"];
  ASSERT_EQ(details["total_connections"], 1);
  const Json entry = details["connections"][0];
  EXPECT_EQ(entry["user_uid"], kUid);
  EXPECT_EQ(entry["client_info"],
            Json({{"client_name", "tester"}, {"user_agent", "corvid-test/1"}}));
  EXPECT_EQ(entry["connection_id"],
            std::string(kUid) + "_" + std::to_string(entry["websocket_id"].get<std::uint64_t>()));

  client.close();
  EXPECT_EQ(client.close_code(), 1000);
  EXPECT_TRUE(wait_until([&] { return registered() == 0; }));
}

TEST_F(WsEndpoint, ClientInfoFallsBackToUnknownOnlyWhenAbsent) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  auto bare = connect();  // the test client sends a User-Agent of its own
  auto empty = connect({{"User-Agent", ""}}, std::string("api_key=") + kKey + "&client_name=");
  auto details = http_->get("/api/ws/connections", auth_header()).json()["data"]["connections"];
  ASSERT_EQ(details.size(), 2u);
  EXPECT_EQ(details[0]["client_info"]["client_name"], "unknown");
  EXPECT_EQ(details[1]["client_info"]["client_name"], "");
  EXPECT_EQ(details[1]["client_info"]["user_agent"], "");
}

TEST_F(WsEndpoint, HundredConnectionsOfTheAccountReceiveABurstCompleteAndInOrder) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  constexpr int kConnections = 100;
  constexpr int kEvents = 200;
  std::vector<std::unique_ptr<WsClient>> clients;
  for (int i = 0; i < kConnections; ++i) {
    clients.push_back(connect());
    ASSERT_TRUE(clients.back()->accepted());
  }
  ASSERT_EQ(registered(), static_cast<std::size_t>(kConnections));
  EXPECT_EQ(stats_route()["data"]["users"], Json({{kUid, kConnections}}));

  inject_burst(kEvents);
  for (int i = 0; i < kConnections; ++i) {
    SCOPED_TRACE("connection " + std::to_string(i));
    ASSERT_NO_FATAL_FAILURE(expect_burst(*clients[i], kEvents));
  }
  // They still answer their own requests after the burst.
  ASSERT_TRUE(clients.back()->write("ping"));
  EXPECT_EQ(clients.back()->read(), "pong");
}

TEST_F(WsEndpoint, ALogoutLeavesOpenConnectionsAloneAndStopsTheRelayUntilTheNextLogin) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  auto client = connect();
  sim_.ok({{"cmd", "logout"}});
  ASSERT_TRUE(wait_until([&] { return !service_->current_login_uid().has_value(); }));
  inject_burst(3);  // nobody logged in: these reach no connection

  // Admission was tested once: the open connection stays registered and keeps answering.
  ASSERT_TRUE(client->write("ping"));
  EXPECT_EQ(client->read(), "pong");
  EXPECT_EQ(registered(), 1u);
  WsClient refused(server_->port(), connect_target(kUid));
  EXPECT_EQ(refused.handshake().status, 403);

  sim_.ok({{"cmd", "login"}, {"uid", kUid}, {"nickname", "again"}});
  ASSERT_TRUE(wait_until([&] { return service_->current_login_uid() == kUid; }));
  auto login = client->read();
  ASSERT_TRUE(login.has_value());
  EXPECT_NE(Json::parse(*login)["type"], 11046) << "an event from the logged-out time was relayed";
  inject_burst(2);
  ASSERT_NO_FATAL_FAILURE(expect_burst(*client, 2));
}

class WsShortDeadline : public WsEndpoint {
 protected:
  void SetUp() override {
    app::routers::WebSocketRouteOptions options;
    options.limits.stall_timeout = std::chrono::seconds(3);
    start(options);
  }
};

TEST_F(WsShortDeadline, APeerThatStopsReadingIsCutWhileTheOthersReceiveTheWholeBurst) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  auto stalled = connect();
  auto reader = connect();
  ASSERT_EQ(registered(), 2u);

  // More than the stalled peer's socket buffers take, in one burst: the relay waits for the
  // reader, not for the peer whose write stands still, and that peer is cut by its deadline.
  constexpr int kEvents = 4000;
  inject_burst(kEvents, std::string(4096, 'x'));
  ASSERT_NO_FATAL_FAILURE(expect_burst(*reader, kEvents));
  EXPECT_TRUE(wait_until([&] { return registered() == 1; }, std::chrono::seconds(20)))
      << hub_->get_connection_stats().dump();
  ASSERT_TRUE(reader->write("ping"));
  EXPECT_EQ(reader->read(), "pong");
}

TEST_F(WsEndpoint, AnAbruptTcpCloseIsCleanedOutOfTheRegistry) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  auto kept = connect();
  {
    auto gone = connect();
    ASSERT_EQ(registered(), 2u);
  }  // the client's destructor drops the socket without a close frame
  EXPECT_TRUE(wait_until([&] { return registered() == 1; }));
  EXPECT_EQ(stats_route()["data"]["users"], Json({{kUid, 1}}));
  ASSERT_TRUE(kept->write("ping"));
  EXPECT_EQ(kept->read(), "pong");
  // A peer that is gone is a disconnect, not an error of the receive loop.
  EXPECT_TRUE(loop_errors().empty()) << all_logs();
}

TEST_F(WsEndpoint, WhatTheLoopCannotTakeEndsTheConnectionWithALogLineAndItsOwnCloseCode) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  // A masked client frame with all three reserved bits set: no extension was agreed on.
  const std::string reserved_bits(
      "\xf1\x84\x01\x02\x03\x04"
      "\x71\x6b\x6d\x63",
      10);
  struct Case {
    const char* name;
    std::function<bool(WsClient&)> send;
    std::uint16_t close_code;
    std::string logged;  // the error text after the loop's prefix ("" = any)
  };
  const std::vector<Case> cases = {
      {"a binary \"ping\" is no text command", [](WsClient& c) { return c.write_binary("ping"); },
       1003, "binary message (4 bytes); only text messages are accepted"},
      {"a message over 64 KiB",
       [](WsClient& c) { return c.write(std::string((64 << 10) + 1, 'x')); }, 1009,
       "The WebSocket message exceeded the locally configured limit"},
      {"text that is not UTF-8", [](WsClient& c) { return c.write("\xff\xfe"); }, 1007, ""},
      {"a frame with reserved bits", [&](WsClient& c) { return c.write_raw(reserved_bits); }, 1002,
       ""},
  };
  auto kept = connect();
  // The limit itself is still taken.
  ASSERT_TRUE(kept->write(std::string(64 << 10, 'x')));
  ASSERT_TRUE(kept->write("ping"));
  ASSERT_EQ(kept->read(), "pong");

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = connect();
    ASSERT_EQ(registered(), 2u);
    const auto errors_before = loop_errors().size();
    ASSERT_TRUE(c.send(*client));
    EXPECT_FALSE(client->read().has_value()) << "answered instead of closing";
    EXPECT_EQ(client->close_code(), c.close_code);
    EXPECT_TRUE(wait_until([&] { return registered() == 1; }));
    EXPECT_TRUE(wait_until([&] { return loop_errors().size() == errors_before + 1; }))
        << all_logs();
    const auto errors = loop_errors();
    if (errors.size() == errors_before + 1) {
      EXPECT_FALSE(errors.back().empty());
      if (!c.logged.empty()) {
        EXPECT_EQ(errors.back(), c.logged);
      }
    }
  }
  // The other connection of the account never noticed.
  ASSERT_TRUE(kept->write("ping"));
  EXPECT_EQ(kept->read(), "pong");
  kept->close();
  EXPECT_EQ(kept->close_code(), 1000);
  EXPECT_TRUE(wait_until([&] { return registered() == 0; }));
  EXPECT_EQ(loop_errors().size(), cases.size()) << "a normal close is no error";
}

TEST_F(WsEndpoint, ShutdownClosesEveryConnection) {
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  std::vector<std::unique_ptr<WsClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(connect());
  ASSERT_EQ(registered(), 3u);

  app::ShutdownParts parts;
  parts.connections = [hub = hub_] { return hub->snapshot(); };
  parts.blocking = pool_.get_executor();
  // The clients read while the shutdown runs, so each answers its close as a live peer does.
  auto stopped = boost::asio::co_spawn(server_->io(), app::lifespan_shutdown(std::move(parts)),
                                       boost::asio::use_future);
  for (auto& client : clients) {
    EXPECT_FALSE(client->read().has_value());
    EXPECT_EQ(client->close_code(), 1000);
  }
  stopped.get();
  EXPECT_TRUE(wait_until([&] { return registered() == 0; }));
}

}  // namespace
}  // namespace corvid::test
