// The messaging service against the real simulated client: construction, the relay of every
// event code, account switching, a long burst, the operations' results, fallbacks and failure
// lines, and the login wait.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>

#include <gtest/gtest.h>
#include <tapwire/tapwire.h>

#include "app/service_support.hpp"
#include "corvid/core/client_manager.hpp"
#include "corvid/core/parlo.hpp"

namespace corvid::app {
namespace {

using test::events_of;
using test::ServiceFixture;
using test::wait_until;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (auto& [k, v] : object.items()) keys.push_back(k);
  return keys;
}

class Service : public ServiceFixture {};

TEST_F(Service, WithoutABindingEveryOperationFallsBackSilently) {
  auto& logs = capture();
  ParloConfig config;
  config.version = "1.0.0.1";  // not a supported client version
  build(config);

  EXPECT_EQ(service_->parlo(), nullptr);
  EXPECT_FALSE(service_->is_initialized());
  const auto errors = logs->texts("parlo_service", spdlog::level::err);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("初始化Parlo失败: ", 0), 0u) << errors[0];
  EXPECT_GT(errors[0].size(), std::string("初始化Parlo失败: ").size());
  EXPECT_EQ(
      dump_compact(service_->get_status()),
      R"({"pid":0,"client_id":0,"login_status":false,"status":false,"login_info":null,"current_uid":null})");

  logs->clear();
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(run(service_->open_parlo(true, true)));
  EXPECT_EQ(run(service_->attach_parlo(42)), false);
  EXPECT_EQ(run(service_->detach_parlo()), false);
  EXPECT_FALSE(run(service_->wait_login(0)));
  EXPECT_TRUE(run(service_->get_self_info()).is_null());
  EXPECT_FALSE(run(service_->send_text("uid_echo", "hi")));
  EXPECT_FALSE(run(service_->send_xml("uid_echo", "<x/>")));
  EXPECT_TRUE(run(service_->get_contacts()).is_null());
  EXPECT_TRUE(run(service_->search_contacts()).is_null());
  EXPECT_EQ(run(service_->get_room_name("room_demo@chatroom")), std::nullopt);
  EXPECT_FALSE(run(service_->create_room(Json::array({"uid_alice"}))));
  EXPECT_TRUE(run(service_->sql_query("select 1", 1)).is_null());
  EXPECT_FALSE(run(service_->send_image("uid_echo", "/definitely/missing.png")));
  EXPECT_FALSE(run(service_->send_gif("uid_echo", "")));
  const auto printed = lines_of(::testing::internal::GetCapturedStdout());
  // Only the file senders say why; they check the login before the file.
  EXPECT_EQ(printed, (std::vector<std::string>{"❌ Parlo未登录，无法发送图片",
                                               "❌ Parlo未登录，无法发送GIF"}));
  EXPECT_TRUE(logs->texts("parlo_service", spdlog::level::err).empty());
}

TEST_F(Service, ConfiguredClientSettingsReplaceBothDefaults) {
  struct Case {
    const char* name;
    std::optional<std::string> exe_path, version;
    std::optional<std::string> want_exe, want_version;
  };
  // In order: an unconfigured start keeps whatever was set before it.
  const std::vector<Case> cases = {
      {"exe only", "/opt/parlo/parlo.exe", std::nullopt, "/opt/parlo/parlo.exe", std::nullopt},
      {"neither (empty texts)", "", "", "/opt/parlo/parlo.exe", std::nullopt},
      {"version only", std::nullopt, "3.9.2.26", std::nullopt, "3.9.2.26"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ParloConfig config;
    config.exe_path = c.exe_path;
    config.version = c.version;
    ParloService service(config, ioc_.get_executor(), workers_, hub_);
    service.stop_relaying();
    const auto defaults = core::client_defaults();
    EXPECT_EQ(defaults.exe_path, c.want_exe);
    EXPECT_EQ(defaults.version, c.want_version);
  }
  // The services above never opened a client, so no event can reach them any more.
}

TEST_F(Service, StatusFollowsTheBindingAndTheAccount) {
  build();
  ASSERT_NE(service_->parlo(), nullptr);
  EXPECT_TRUE(service_->is_initialized());
  Json before = service_->get_status();
  EXPECT_EQ(keys_of(before), (std::vector<std::string>{"pid", "client_id", "login_status", "status",
                                                       "login_info", "current_uid"}));
  EXPECT_EQ(before["login_status"], false);
  EXPECT_TRUE(before["login_info"].is_null());
  EXPECT_TRUE(before["current_uid"].is_null());

  ASSERT_NO_FATAL_FAILURE(open_and_login());
  Json after = service_->get_status();
  EXPECT_NE(after["pid"], 0);
  EXPECT_NE(after["client_id"], 0);
  EXPECT_EQ(after["login_status"], true);
  EXPECT_EQ(after["status"], true);
  EXPECT_EQ(after["login_info"]["uid"], "uid_standin");
  EXPECT_EQ(after["current_uid"], "uid_standin");
}

TEST_F(Service, EveryEventCodeAndAnUnknownOneReachTheLoggedInAccountOnce) {
  auto& logs = capture();
  build();
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  auto conn = watch("uid_standin");
  auto bystander = watch("uid_alice");

  // Every code with a handler of its own except login/logout (they switch the account, tested
  // below) and ready (the manager keeps it), then what only the fallback relays.
  std::vector<Json> types;
  for (int code :
       {11046, 11047, 11048, 11049, 11050, 11051, 11052, 11053, 11054, 11055, 11056, 11057,
        11058, 11059, 11060, 11061, 11098, 11099, 11100, 11101, 11102, 11103, 11001, 11087})
    types.push_back(code);
  types.push_back(12345);    // no handler of its own
  types.push_back("11046");  // named like the code: its own handler relays it, the fallback not
  types.push_back(11046.0);  // named "11046.0": no handler of its own, so the fallback relays it
  for (std::size_t i = 0; i < types.size(); ++i) {
    Json message = {{"type", types[i]}, {"data", {{"n", i}, {"text", "消息"}}}};
    sim_.ok({{"cmd", "inject"}, {"message", message}});
  }
  ASSERT_TRUE(wait_until([&] { return events_of(*conn).size() >= types.size(); }))
      << events_of(*conn).size();
  // Give a duplicate (a code relayed twice) the chance to show up behind the last event.
  sim_.ok({{"cmd", "inject"}, {"message", {{"type", 11046}, {"data", {{"n", "end"}}}}}});
  ASSERT_TRUE(wait_until([&] { return events_of(*conn).size() >= types.size() + 1; }));

  const auto received = events_of(*conn);
  ASSERT_EQ(received.size(), types.size() + 1);
  for (std::size_t i = 0; i < types.size(); ++i) {
    SCOPED_TRACE(types[i].dump());
    EXPECT_EQ(received[i]["type"], types[i]);
    EXPECT_EQ(received[i]["data"]["n"], i);
    EXPECT_EQ(received[i]["data"]["text"], "消息");
  }
  EXPECT_EQ(events_of(*bystander).size(), 0u);
  // Each relay logs the event as the frame text (raw UTF-8) and names the account.
  bool logged = false;
  for (auto& line : logs->texts("parlo_service", spdlog::level::info))
    logged = logged || (line.rfind("收到消息:\n{\n  \"type\": 11046,", 0) == 0 &&
                        line.find("\"text\": \"消息\"") != std::string::npos);
  EXPECT_TRUE(logged);
  const auto debug = logs->texts("parlo_service", spdlog::level::debug);
  EXPECT_NE(std::find(debug.begin(), debug.end(), "已推送到WebSocket: uid_standin"), debug.end());
}

TEST_F(Service, LoginAndLogoutSwitchTheAccountEventsGoTo) {
  auto& logs = capture();
  build();
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  auto standin = watch("uid_standin");
  auto other = watch("uid_other");

  sim_.ok({{"cmd", "login"}, {"uid", "uid_other"}, {"nickname", "Other"}});
  ASSERT_TRUE(wait_until([&] { return service_->current_login_uid() == "uid_other"; }));
  sim_.ok({{"cmd", "inject"}, {"message", {{"type", 11046}, {"data", {{"n", 1}}}}}});
  ASSERT_TRUE(wait_until([&] {
    auto got = events_of(*other);
    return !got.empty() && got.back()["type"] == 11046;
  }));
  auto to_other = events_of(*other);
  ASSERT_EQ(to_other.size(), 2u);  // its own login event, then the message
  EXPECT_EQ(to_other[0]["type"], MT_USER_LOGIN_MSG);
  EXPECT_EQ(to_other[0]["data"]["uid"], "uid_other");
  for (auto& e : events_of(*standin)) EXPECT_NE(e["type"], 11046) << "went to the old account";

  logs->clear();
  sim_.ok({{"cmd", "logout"}});
  ASSERT_TRUE(wait_until([&] { return !service_->current_login_uid().has_value(); }));
  sim_.ok({{"cmd", "inject"}, {"message", {{"type", 11046}, {"data", {{"n", 2}}}}}});
  ASSERT_TRUE(
      wait_until([&] { return logs->texts("parlo_service", spdlog::level::warn).size() >= 2; }));
  EXPECT_EQ(logs->texts("parlo_service", spdlog::level::warn),
            (std::vector<std::string>{"没有登录用户，无法推送到WebSocket",
                                      "没有登录用户，无法推送到WebSocket"}));
  const auto info = logs->texts("parlo_service", spdlog::level::info);
  EXPECT_NE(std::find(info.begin(), info.end(), "用户登出: uid_other"), info.end());
  EXPECT_EQ(events_of(*other).size(), 2u) << "the logout and later events reach nobody";
  EXPECT_TRUE(service_->get_status()["current_uid"].is_null());
}

TEST_F(Service, TenThousandEventsArriveCompleteAndInOrder) {
  auto& quiet = capture(spdlog::level::warn);
  build();
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  auto first = watch("uid_standin");
  auto second = watch("uid_standin");
  constexpr int kEvents = 10'000;
  sim_.ok({{"cmd", "inject"},
           {"message", {{"type", 11046}, {"data", {{"content", "burst"}}}}},
           {"count", kEvents},
           {"interval_ms", 0},
           {"stamp", true}});
  for (auto* conn : {first.get(), second.get()}) {
    ASSERT_TRUE(
        wait_until([&] { return events_of(*conn).size() >= kEvents; }, std::chrono::seconds(60)))
        << events_of(*conn).size();
    const auto received = events_of(*conn);
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kEvents));
    for (int i = 0; i < kEvents; ++i) ASSERT_EQ(received[i]["data"]["seq"], i) << "at " << i;
  }
  EXPECT_TRUE(quiet->texts("parlo_service", spdlog::level::err).empty());
}

TEST_F(Service, OperationsReachTheClientAndReturnItsData) {
  build();
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  auto conn = watch("uid_standin");
  ::testing::internal::CaptureStdout();

  EXPECT_TRUE(run(service_->send_text("uid_echo", "回声")));
  ASSERT_TRUE(wait_until([&] {
    for (auto& e : events_of(*conn))
      if (e["type"] == MT_RECV_TEXT_MSG && e["data"].dump().find("回声") != std::string::npos)
        return true;
    return false;
  })) << "the echo contact answers a text with the same text";

  EXPECT_EQ(run(service_->get_self_info()).value("uid", ""), "uid_standin");
  const Json contacts = run(service_->get_contacts());
  EXPECT_TRUE(contacts.is_array() || contacts.is_object()) << contacts.dump();
  EXPECT_FALSE(run(service_->get_contact_detail("uid_alice")).is_null());
  const Json found = run(service_->search_contacts(std::nullopt, std::nullopt, "Ali"));
  ASSERT_TRUE(found.is_array()) << found.dump();
  EXPECT_FALSE(found.empty());
  EXPECT_EQ(run(service_->search_contacts()), Json::array());
  EXPECT_EQ(run(service_->get_room_name("room_demo@chatroom")), "Demo Room");
  EXPECT_EQ(run(service_->get_room_name("no_such_room@chatroom")), "");
  EXPECT_FALSE(run(service_->modify_room_name("room_demo@chatroom", "新名字")).is_null());
  EXPECT_EQ(run(service_->get_room_name("room_demo@chatroom")), "新名字");
  const Json rows =
      run(service_->sql_query("select nickname from contact where username = 'uid_bob'", 1));
  EXPECT_EQ(rows["result"], Json::parse(R"([["Bob"]])")) << rows.dump();
  EXPECT_FALSE(run(service_->get_rooms()).is_null());
  EXPECT_FALSE(run(service_->get_room_members("room_demo@chatroom")).is_null());
  EXPECT_TRUE(run(service_->send_card("uid_alice", "uid_bob")));
  EXPECT_TRUE(run(service_->send_link_card("uid_alice", "t", "d", "https://example.invalid", "")));
  EXPECT_TRUE(run(service_->send_xml("uid_alice", "<msg/>")));
  EXPECT_TRUE(
      run(service_->send_room_at_msg("room_demo@chatroom", "hi", Json::array({"uid_bob"}))));
  EXPECT_TRUE(run(service_->create_room(Json::array({"uid_alice", "uid_bob"}))));
  EXPECT_TRUE(run(service_->quit_room("room_demo@chatroom")));
  EXPECT_TRUE(ParloService::truthy(run(service_->detach_parlo())));
  // Operations that worked print nothing.
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(Service, FileSendersCheckTheFileAndReportEachStep) {
  build();
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  const std::string file = staged_photo();
  const auto& dir = scratch_;
  const std::string missing = (dir / "missing.png").string();

  using Op = boost::asio::awaitable<bool> (ParloService::*)(std::string, std::string);
  struct Case {
    const char* kind;
    Op op;
  };
  const std::vector<Case> cases = {{"图片", &ParloService::send_image},
                                   {"文件", &ParloService::send_file},
                                   {"视频", &ParloService::send_video},
                                   {"GIF", &ParloService::send_gif}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    const std::string kind = c.kind;
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(run((service_.get()->*c.op)("uid_alice", file)));
    EXPECT_EQ(lines_of(::testing::internal::GetCapturedStdout()),
              (std::vector<std::string>{"📤 开始发送" + kind + "到 uid_alice: " + file,
                                        "✅ " + kind + "发送请求已提交: " + file}));
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(run((service_.get()->*c.op)("uid_alice", missing)));
    EXPECT_EQ(lines_of(::testing::internal::GetCapturedStdout()),
              (std::vector<std::string>{"❌ 文件不存在: " + missing}));
    // A directory exists, so it passes the check.
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(run((service_.get()->*c.op)("uid_alice", dir.string())));
    EXPECT_EQ(lines_of(::testing::internal::GetCapturedStdout()).size(), 2u);
  }

  sim_.ok({{"cmd", "fail"}, {"op", "send"}, {"text", "probe refused"}});
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(run(service_->send_file("uid_alice", file)));
  EXPECT_EQ(lines_of(::testing::internal::GetCapturedStdout()),
            (std::vector<std::string>{"📤 开始发送文件到 uid_alice: " + file,
                                      "❌ 发送文件失败: probe refused"}));
  const std::string report = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("send_file"), std::string::npos) << report;
  EXPECT_NE(report.find("ProbeError"), std::string::npos) << report;
  EXPECT_NE(report.find("probe refused"), std::string::npos) << report;
}

TEST_F(Service, FailuresWriteTheirPrefixOnTheirChannelAndFallBack) {
  auto& logs = capture();
  build();
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  enum Channel { kLog, kConsole };
  struct Case {
    const char* prefix;
    Channel channel;
    std::function<Json()> op;
    Json fallback;
  };
  auto& s = *service_;
  const std::vector<Case> cases = {
      {"获取自己信息失败: ", kLog, [&] { return run(s.get_self_info()); }, nullptr},
      {"发送文本消息失败: ", kLog, [&] { return Json(run(s.send_text("a", "b"))); }, false},
      {"发送群@消息失败: ", kLog,
       [&] { return Json(run(s.send_room_at_msg("r", "c", Json::array()))); }, false},
      {"发送名片失败: ", kConsole, [&] { return Json(run(s.send_card("a", "b"))); }, false},
      {"发送链接卡片失败: ", kConsole,
       [&] { return Json(run(s.send_link_card("a", "t", "d", "u", "i"))); }, false},
      {"发送XML消息失败: ", kConsole, [&] { return Json(run(s.send_xml("a", "<x/>", 7))); }, false},
      {"发送拍一拍失败: ", kConsole, [&] { return run(s.send_pat("r", "p")); }, nullptr},
      {"获取联系人列表失败: ", kConsole, [&] { return run(s.get_contacts()); }, nullptr},
      {"获取公众号列表失败: ", kConsole, [&] { return run(s.get_publics()); }, nullptr},
      {"获取联系人详情失败: ", kConsole, [&] { return run(s.get_contact_detail("u")); }, nullptr},
      {"搜索联系人失败: ", kConsole, [&] { return run(s.search_contacts("u")); }, nullptr},
      {"修改好友备注失败: ", kConsole, [&] { return run(s.modify_friend_remark("u", "r")); },
       nullptr},
      {"接受好友请求失败: ", kConsole, [&] { return run(s.accept_friend_request("e", "t", 3)); },
       nullptr},
      {"添加群成员为好友失败: ", kConsole, [&] { return run(s.add_room_friend("r", "u", "v")); },
       nullptr},
      {"获取群列表失败: ", kConsole, [&] { return run(s.get_rooms()); }, nullptr},
      {"获取群详情失败: ", kConsole, [&] { return run(s.get_room_detail("r")); }, nullptr},
      {"获取群成员列表失败: ", kConsole, [&] { return run(s.get_room_members("r")); }, nullptr},
      {"获取群名失败: ", kConsole,
       [&] {
         auto n = run(s.get_room_name("r"));
         return n ? Json(*n) : Json();
       },
       nullptr},
      {"创建群失败: ", kConsole, [&] { return Json(run(s.create_room(Json::array({"u"})))); },
       false},
      {"添加群成员失败: ", kConsole, [&] { return run(s.add_room_member("r", Json::array())); },
       nullptr},
      {"邀请群成员失败: ", kConsole, [&] { return run(s.invite_room_member("r", Json::array())); },
       nullptr},
      {"删除群成员失败: ", kConsole, [&] { return run(s.del_room_member("r", Json::array())); },
       nullptr},
      {"修改群名失败: ", kConsole, [&] { return run(s.modify_room_name("r", "n")); }, nullptr},
      {"修改群公告失败: ", kConsole, [&] { return run(s.modify_room_notice("r", "n")); }, nullptr},
      {"退出群失败: ", kConsole, [&] { return Json(run(s.quit_room("r"))); }, false},
      {"数据库查询失败: ", kConsole, [&] { return run(s.sql_query("select 1", 1)); }, nullptr},
  };
  for (const char* text : {"probe refused"}) {
    sim_.ok({{"cmd", "fail"}, {"op", "send"}, {"text", text}});
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.prefix) + " / text '" + text + "'");
      logs->clear();
      ::testing::internal::CaptureStdout();
      EXPECT_EQ(c.op(), c.fallback);
      const std::string printed = ::testing::internal::GetCapturedStdout();
      const std::string line = std::string(c.prefix) + text;
      if (c.channel == kConsole) {
        EXPECT_EQ(printed, line + "\n");
        EXPECT_TRUE(logs->texts("parlo_service", spdlog::level::err).empty());
      } else {
        EXPECT_EQ(printed, "");
        EXPECT_EQ(logs->texts("parlo_service", spdlog::level::err), std::vector<std::string>{line});
      }
    }
  }
}

TEST_F(Service, RequestsWithoutAReplyGiveNullSilently) {
  build();
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  service_->parlo()->set_default_timeout(0.2);
  sim_.ok({{"cmd", "reply"}, {"code", 0}, {"mode", "drop"}});
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(run(service_->get_contacts()).is_null());
  EXPECT_TRUE(run(service_->get_room_detail("room_demo@chatroom")).is_null());
  EXPECT_TRUE(run(service_->send_pat("room_demo@chatroom", "uid_bob")).is_null());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

class ServiceOneWorker : public ServiceFixture {
 protected:
  ServiceOneWorker() : ServiceFixture(1) {}
};

TEST_F(ServiceOneWorker, WaitingForTheLoginHoldsNoWorker) {
  build();
  EXPECT_FALSE(run(service_->wait_login(0)));
  EXPECT_FALSE(run(service_->wait_login(-5)));
  std::vector<std::future<bool>> waits;
  for (int i = 0; i < 3; ++i)
    waits.push_back(
        boost::asio::co_spawn(ioc_, service_->wait_login(std::nullopt), boost::asio::use_future));
  // With one worker, open could not run if a wait held it.
  ASSERT_TRUE(run(service_->open_parlo()));
  for (auto& w : waits) {
    ASSERT_EQ(w.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(w.get());
  }
  EXPECT_TRUE(run(service_->wait_login(std::numeric_limits<std::int64_t>::max())));
}

TEST_F(ServiceOneWorker, SendsNeedNoWorkerAndCallsThatMayBlockQueueOnlyUpToTheirBound) {
  build();
  ASSERT_NO_FATAL_FAILURE(open_and_login());
  const std::string file = staged_photo();

  // The only worker is busy until released.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  boost::asio::post(workers_, [released] { released.wait(); });
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  std::vector<std::future<bool>> queued;
  for (int i = 0; i < 256; ++i)
    queued.push_back(boost::asio::co_spawn(ioc_, service_->send_image("uid_alice", file),
                                           boost::asio::use_future));
  ASSERT_TRUE(wait_until([&] { return service_->blocking_calls() == 256u; }));

  // A send reaches the client at once; one more file check fails at once with its lines.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(run(service_->send_text("uid_alice", "no worker needed")));
  EXPECT_FALSE(run(service_->send_image("uid_alice", file)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  const std::string printed = ::testing::internal::GetCapturedStdout();
  const std::string report = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(lines_of(printed),
            (std::vector<std::string>{"❌ 发送图片失败: too many client calls waiting for a worker "
                                      "(limit 256)"}));
  EXPECT_NE(report.find("send_image"), std::string::npos) << report;

  ::testing::internal::CaptureStdout();
  release.set_value();
  for (auto& q : queued) {
    ASSERT_EQ(q.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(q.get());
  }
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(service_->blocking_calls(), 0u);
}

TEST_F(Service, TheLoginWaitWritesTheBindingsWaitLine) {
  auto& logs = capture();
  build();
  EXPECT_FALSE(run(service_->wait_login(0)));
  EXPECT_EQ(logs->texts("ParloInstance", spdlog::level::info),
            std::vector<std::string>{"wait login..."});
}

}  // namespace
}  // namespace corvid::app
