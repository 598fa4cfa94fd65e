// The registry against fake connections: frame text, welcome, statistics and records, pushes
// with failing connections, and the welcome's place under concurrent pushes.
#include <atomic>
#include <future>
#include <regex>
#include <stdexcept>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "app/websocket/hub_test_support.hpp"
#include "corvid/app/websocket/websocket_hub.hpp"
#include "corvid/utils/errors.hpp"
#include "support/log_capture.hpp"

namespace corvid::app {
namespace {

using corvid::test::LogCapture;
using test::FakeConnection;

std::shared_ptr<FakeConnection> fake() { return std::make_shared<FakeConnection>(); }

// Runs connect to completion on a private loop; rethrows what it threw.
void connect(ConnectionManager& hub, const ConnectionPtr& conn, const std::string& uid,
             std::optional<Json> client_info = std::nullopt) {
  boost::asio::io_context ioc;
  auto done = boost::asio::co_spawn(ioc, hub.connect(conn, uid, std::move(client_info)),
                                    boost::asio::use_future);
  ioc.run();
  done.get();
}

const std::regex kIsoLocal(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{6})?)");

TEST(FrameText, FollowsTheWireFormat) {
  struct Case {
    const char* name;
    Json data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"nested map", Json::parse(R"({"a":{"b":1}})"), "{\n  \"a\": {\n    \"b\": 1\n  }\n}"},
      {"empty list member", Json::parse(R"({"list":[]})"), "{\n  \"list\": []\n}"},
      {"empty map", Json::object(), "{}"},
      {"key order kept", Json::parse(R"({"z":1,"a":2})"), "{\n  \"z\": 1,\n  \"a\": 2\n}"},
      {"raw non-ASCII", Json{{"text", "你好"}}, "{\n  \"text\": \"你好\"\n}"},
      {"short escapes and lower-case hex", Json{{"t", std::string("\"\\\b\f\n\r\t\x01\x1f")}},
       "{\n  \"t\": \"\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001f\"\n}"},
      {"floats keep a point or exponent", Json{{"a", 1.0}, {"b", 1e16}, {"c", 0.1}},
       "{\n  \"a\": 1.0,\n  \"b\": 1e+16,\n  \"c\": 0.1\n}"},
      {"invalid UTF-8 is replaced",
       Json{{"t", std::string("a\xff"
                              "b")}},
       "{\n  \"t\": \"a\xef\xbf\xbd"
       "b\"\n}"},
      {"literals", Json{{"t", true}, {"f", false}, {"n", nullptr}, {"i", -5}},
       "{\n  \"t\": true,\n  \"f\": false,\n  \"n\": null,\n  \"i\": -5\n}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(*make_frame(c.data), c.expected);
  }
}

// {"d": {"d": ... 1}} nested `depth` levels, built by parsing (no recursion here).
Json nested(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "{\"d\":";
  text += "1";
  text.append(depth, '}');
  return Json::parse(text);
}

TEST(FrameText, DeepEventsAreWrittenCompactAndHostileDepthsAreRefused) {
  // Up to the indented limit the frame keeps the wire format.
  const Json shallow = nested(kMaxIndentedDepth);
  EXPECT_EQ(*make_frame(shallow), dump_pretty(shallow));
  // Deeper, the indented text would grow with the square of the depth (10,000 levels: about
  // 200 MB); the compact one is the size of the event and reads back the same.
  for (std::size_t depth : {kMaxIndentedDepth + 1, kMaxFrameDepth}) {
    SCOPED_TRACE(depth);
    const Json deep = nested(depth);
    const Frame frame = make_frame(deep);
    EXPECT_EQ(frame->find('\n'), std::string::npos);
    EXPECT_LT(frame->size(), 6 * depth + 2);
    EXPECT_EQ(Json::parse(*frame), deep);
  }
  // Past the hard limit (10,000 levels, say) the event is refused before anything recurses.
  EXPECT_THROW(make_frame(nested(kMaxFrameDepth + 1)), std::length_error);
  EXPECT_THROW(make_frame(nested(10'000)), std::length_error);
  EXPECT_EQ(nesting_depth(Json(1), 10), 0u);
  EXPECT_EQ(nesting_depth(Json::parse(R"({"a":[[],{}]})"), 10), 3u);
}

TEST(ConnectionManager, AnEventThatCannotBeFramedIsLoggedAndCutsNobody) {
  LogCapture logs;
  ConnectionManager hub;
  auto conn = fake();
  connect(hub, conn, "u1");
  hub.send_to_user("u1", nested(kMaxFrameDepth + 1));
  hub.send_to_user("u1", Json{{"next", true}});
  const auto frames = conn->frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(Json::parse(frames[1])["next"], true);
  EXPECT_EQ(hub.get_connection_stats()["total_connections"], 1);
  const auto errors = logs->texts("websocket_hub", spdlog::level::err);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("向用户 u1 发送消息失败: nested deeper than", 0), 0u) << errors[0];
}

TEST(IsoLocalTime, LeavesOutAZeroFractionAndTheZone) {
  const auto whole = Clock::time_point(std::chrono::seconds(1'700'000'000));
  const std::string a = iso_local_time(whole);
  EXPECT_TRUE(std::regex_match(a, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})"))) << a;
  const std::string b = iso_local_time(whole + std::chrono::microseconds(42));
  EXPECT_EQ(b, a + ".000042");
}

TEST(ConnectionManager, WelcomeIsTheFirstFrameWithItsKeysInOrder) {
  LogCapture logs;
  ConnectionManager hub;
  auto conn = fake();
  connect(hub, conn, "用户甲", Json{{"client_name", "web"}});

  const auto frames = conn->frames();
  ASSERT_EQ(frames.size(), 1u);
  const Json welcome = Json::parse(frames[0]);
  std::vector<std::string> keys;
  for (auto& [k, v] : welcome.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"type", "message", "uid", "timestamp"}));
  EXPECT_EQ(welcome["type"], "connection_established");
  EXPECT_EQ(welcome["message"], "WebSocket连接建立成功");
  EXPECT_EQ(welcome["uid"], "用户甲");
  EXPECT_NE(frames[0].find("\"uid\": \"用户甲\""), std::string::npos) << "uid must be raw UTF-8";
  EXPECT_TRUE(std::regex_match(welcome["timestamp"].get<std::string>(), kIsoLocal));

  EXPECT_EQ(logs->texts("websocket_hub", spdlog::level::info),
            (std::vector<std::string>{"WebSocket连接建立: 用户甲, 当前连接数: 1"}));
  EXPECT_EQ(logs->texts("websocket_hub", spdlog::level::debug),
            (std::vector<std::string>{"WebSocket消息已发送: " + std::to_string(frames[0].size()) +
                                      " 字节"}));
}

TEST(ConnectionManager, RefusedHandshakeOrClientInfoRegistersNothing) {
  ConnectionManager hub;
  auto refused = fake();
  refused->fail_accept = true;
  EXPECT_THROW(connect(hub, refused, "u1"), std::runtime_error);
  EXPECT_THROW(connect(hub, fake(), "u1", Json::array({1})), TypeError);
  EXPECT_EQ(hub.get_connection_stats(),
            Json::parse(R"({"total_users":0,"total_connections":0,"users":{}})"));
  EXPECT_EQ(hub.get_detailed_connections(), Json::array());
}

TEST(ConnectionManager, StatsAndDetailedRecordsFollowRegistrationOrder) {
  ConnectionManager hub;
  auto a1 = fake(), a2 = fake(), b1 = fake();
  connect(hub, a1, "bob");
  connect(hub, b1, "alice", Json{{"client_name", "cli"}, {"user_agent", "ua"}});
  connect(hub, a2, "bob", Json::object());

  const std::string stats = dump_compact(hub.get_connection_stats());
  EXPECT_EQ(stats, R"({"total_users":2,"total_connections":3,"users":{"bob":2,"alice":1}})");

  const Json records = hub.get_detailed_connections();
  ASSERT_EQ(records.size(), 3u);
  const std::vector<std::pair<std::string, ConnectionPtr>> expected = {
      {"bob", a1}, {"bob", a2}, {"alice", b1}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const Json& r = records[i];
    std::vector<std::string> keys;
    for (auto& [k, v] : r.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"user_uid", "connection_id", "connected_at",
                                              "client_info", "websocket_id"}));
    EXPECT_EQ(r["user_uid"], expected[i].first);
    EXPECT_EQ(r["websocket_id"], expected[i].second->id());
    EXPECT_EQ(r["connection_id"],
              expected[i].first + "_" + std::to_string(expected[i].second->id()));
    EXPECT_TRUE(std::regex_match(r["connected_at"].get<std::string>(), kIsoLocal));
  }
  EXPECT_NE(records[0]["websocket_id"], records[1]["websocket_id"]);
  EXPECT_EQ(records[1]["client_info"], Json::object());
  EXPECT_EQ(dump_compact(records[2]["client_info"]), R"({"client_name":"cli","user_agent":"ua"})");
}

TEST(ConnectionManager, DisconnectRemovesTheFirstListingAndEmptyAccounts) {
  LogCapture logs;
  ConnectionManager hub;
  auto twice = fake(), other = fake();
  connect(hub, twice, "u1", Json{{"k", "v"}});
  connect(hub, twice, "u1");
  connect(hub, other, "u2");
  logs->clear();

  hub.disconnect(twice, "u1");
  Json records = hub.get_detailed_connections();
  ASSERT_EQ(records.size(), 2u);
  // Still listed once, but its record is gone: current time and an empty map.
  EXPECT_EQ(records[0]["user_uid"], "u1");
  EXPECT_EQ(records[0]["client_info"], Json::object());

  hub.disconnect(twice, "u1");
  hub.disconnect(twice, "u1");  // nothing left: changes nothing, still logs
  hub.disconnect(fake(), "nobody");
  EXPECT_EQ(dump_compact(hub.get_connection_stats()),
            R"({"total_users":1,"total_connections":1,"users":{"u2":1}})");
  EXPECT_EQ(logs->texts("websocket_hub", spdlog::level::info),
            (std::vector<std::string>{"WebSocket连接断开: u1", "WebSocket连接断开: u1",
                                      "WebSocket连接断开: u1", "WebSocket连接断开: nobody"}));
  // A key removed and added again goes to the end.
  connect(hub, fake(), "u1");
  EXPECT_EQ(dump_compact(hub.get_connection_stats()["users"]), R"({"u2":1,"u1":1})");
}

TEST(ConnectionManager, PushToAnAccountWithoutConnectionsOnlyLogs) {
  LogCapture logs;
  ConnectionManager hub;
  auto elsewhere = fake();
  connect(hub, elsewhere, "other");
  hub.send_to_user("ghost", Json{{"type", 1}});
  EXPECT_EQ(elsewhere->frames().size(), 1u);
  const auto debug = logs->texts("websocket_hub", spdlog::level::debug);
  ASSERT_FALSE(debug.empty());
  EXPECT_EQ(debug.back(), "用户 ghost 没有活跃的WebSocket连接");
}

TEST(ConnectionManager, FailingConnectionIsDroppedAndClosedWhileOthersReceive) {
  LogCapture logs;
  ConnectionManager hub;
  auto broken = fake(), healthy = fake();
  connect(hub, broken, "u1");
  connect(hub, healthy, "u1");
  broken->refuse_sends = true;
  logs->clear();

  const Json event = {{"type", 11046}, {"data", {{"content", "hi"}}}};
  hub.send_to_user("u1", event);
  hub.send_to_user("u1", event);

  EXPECT_EQ(healthy->frames().size(), 3u);
  EXPECT_EQ(healthy->frames()[1], *make_frame(event));
  EXPECT_EQ(broken->frames().size(), 1u);
  EXPECT_FALSE(broken->is_open()) << "a forgotten connection is closed, so its peer reconnects";
  EXPECT_EQ(broken->close_code(), kCloseInternalError);
  EXPECT_EQ(logs->texts("websocket_hub", spdlog::level::err),
            (std::vector<std::string>{"向用户 u1 发送消息失败: peer gone"}));
  EXPECT_EQ(logs->texts("websocket_hub", spdlog::level::info),
            (std::vector<std::string>{"WebSocket连接断开: u1"}));
  EXPECT_EQ(
      logs->texts("websocket_hub", spdlog::level::debug),
      (std::vector<std::string>{"成功向 u1 的 1 个连接推送消息", "成功向 u1 的 1 个连接推送消息"}));
  EXPECT_EQ(hub.get_connection_stats()["total_connections"], 1);
}

TEST(ConnectionManager, EveryConnectionFailingWritesNoSummary) {
  LogCapture logs;
  ConnectionManager hub;
  auto a = fake(), b = fake();
  connect(hub, a, "u1");
  connect(hub, b, "u1");
  a->refuse_sends = true;
  b->refuse_sends = true;
  logs->clear();
  hub.send_to_user("u1", Json{{"type", 1}});
  EXPECT_EQ(logs->texts("websocket_hub", spdlog::level::err).size(), 2u);
  EXPECT_TRUE(logs->texts("websocket_hub", spdlog::level::debug).empty());
  EXPECT_EQ(hub.get_connection_stats()["total_users"], 0);
}

TEST(ConnectionManager, ALaterWriteFailureRemovesTheConnection) {
  LogCapture logs;
  ConnectionManager hub;
  auto stalled = fake(), healthy = fake();
  connect(hub, stalled, "u1");
  connect(hub, healthy, "u1");
  logs->clear();
  stalled->fail_later("write timed out after 30000 ms");
  EXPECT_EQ(dump_compact(hub.get_connection_stats()["users"]), R"({"u1":1})");
  EXPECT_EQ(logs->texts("websocket_hub", spdlog::level::err),
            (std::vector<std::string>{"向用户 u1 发送消息失败: write timed out after 30000 ms"}));
  hub.send_to_user("u1", Json{{"n", 1}});
  EXPECT_EQ(healthy->frames().size(), 2u);
}

TEST(ConnectionManager, SendToConnectionLogsFailuresAndKeepsTheConnection) {
  LogCapture logs;
  ConnectionManager hub;
  auto conn = fake();
  connect(hub, conn, "u1");
  conn->refuse_sends = true;
  logs->clear();
  hub.send_to_connection(conn, Json{{"type", "status_response"}});
  EXPECT_EQ(logs->texts("websocket_hub", spdlog::level::err),
            (std::vector<std::string>{"发送消息失败: peer gone"}));
  EXPECT_EQ(hub.get_connection_stats()["total_connections"], 1);
}

// Past the budget, the connection that falls behind goes, with its figure, and only it. What a
// backlog costs counts the frames' overhead and what the relay still holds behind the push.
TEST(ConnectionManager, PastTheBudgetTheOneThatFallsBehindGoesTheOthersStay) {
  LogCapture logs;
  constexpr std::uint64_t kBudget = std::uint64_t{1} << 20;
  ConnectionManager hub(kBudget);
  auto behind = fake(), reading = fake();
  connect(hub, behind, "u1");
  connect(hub, reading, "u1");
  behind->hold = true;
  logs->clear();
  const Json event = {{"pad", std::string(100 * 1024, 'x')}};
  const std::uint64_t cost = frame_cost(make_frame(event));
  std::uint64_t pushed = 0;
  while (hub.get_connection_stats()["total_connections"] == 2 && pushed < 100) {
    hub.send_to_user("u1", event);
    ++pushed;
  }
  EXPECT_EQ(pushed, kBudget / cost + 1) << "cut at the first push past the budget, not before";
  EXPECT_FALSE(behind->is_open());
  EXPECT_EQ(reading->frames().size(), pushed + 1);
  EXPECT_EQ(logs->texts("websocket_hub", spdlog::level::err),
            (std::vector<std::string>{
                fmt::format("向用户 u1 发送消息失败: lagging {} bytes behind (budget {} bytes)",
                            pushed * cost, kBudget)}));
  // What only the cut connection still needed is let go.
  EXPECT_EQ(hub.held_bytes("u1"), 0u);

  // A reader that took everything is still behind what the relay holds for the account.
  const Frame frame = make_frame(event);
  hub.send_to_user("u1", std::span<const Frame>(&frame, 1), kBudget);
  EXPECT_TRUE(reading->is_open());
  hub.send_to_user("u1", std::span<const Frame>(&frame, 1), kBudget + 1);
  EXPECT_FALSE(reading->is_open());
  EXPECT_EQ(hub.get_connection_stats()["total_connections"], 0);
}

TEST(ConnectionManager, WelcomeStaysFirstUnderConcurrentPushes) {
  ConnectionManager hub;
  std::atomic<bool> stop{false};
  std::vector<std::thread> pushers;
  for (int t = 0; t < 3; ++t) {
    pushers.emplace_back([&] {
      while (!stop.load()) hub.send_to_user("u1", Json{{"type", 11046}});
    });
  }
  std::vector<std::shared_ptr<FakeConnection>> conns;
  for (int i = 0; i < 200; ++i) {
    conns.push_back(fake());
    connect(hub, conns.back(), "u1");
  }
  stop = true;
  for (auto& t : pushers) t.join();
  for (std::size_t i = 0; i < conns.size(); ++i) {
    SCOPED_TRACE(i);
    const auto frames = conns[i]->frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(Json::parse(frames[0])["type"], "connection_established");
    for (std::size_t f = 1; f < frames.size(); ++f)
      ASSERT_EQ(Json::parse(frames[f])["type"], 11046);
  }
}

}  // namespace
}  // namespace corvid::app
