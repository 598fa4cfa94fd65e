// The simulation's controls: inject, fail, reply modes, sent records, reset, the JSON command
// form and the Unix control socket.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <thread>

#include "sim_probe.hpp"

namespace corvid::sim_test {
namespace {

using SimControls = SimTest;

TEST_F(SimControls, InjectDeliversCountMessagesInOrderWithStampAndPadding) {
  open_logged_in();
  size_t before = rec.count();
  Json cmd{{"cmd", "inject"},
           {"message",
            {{"type", MT_RECV_TEXT_MSG}, {"data", {{"from_uid", "uid_alice"}, {"content", "hi"}}}}},
           {"count", 50},
           {"stamp", true},
           {"size", 600}};
  ASSERT_EQ(api.command(cmd)["ok"], true);
  ASSERT_TRUE(rec.wait_count(before + 50));
  int64_t last_t = 0;
  int64_t seq = 0;
  for (const auto& e : rec.events()) {
    if (e.kind != Event::kRecv || e.message.value("type", 0) != MT_RECV_TEXT_MSG) continue;
    const Json& data = e.message["data"];
    EXPECT_EQ(data["seq"], seq++);
    EXPECT_GE(data["t_ns"].get<int64_t>(), last_t);
    last_t = data["t_ns"];
    EXPECT_EQ(data["content"], "hi");
    EXPECT_NEAR(double(e.text.size()), 600.0, 16.0);
  }
  EXPECT_EQ(seq, 50);

  struct Bad {
    const char* name;
    Json cmd;
  };
  const Bad bad[] = {
      {"negative count", {{"cmd", "inject"}, {"message", {{"type", 1}}}, {"count", -1}}},
      {"negative interval", {{"cmd", "inject"}, {"message", {{"type", 1}}}, {"interval_ms", -1}}},
      {"message not an object", {{"cmd", "inject"}, {"message", "text"}}},
      {"no message", {{"cmd", "inject"}}},
      {"stamp on list data",
       {{"cmd", "inject"}, {"message", {{"type", 1}, {"data", {1}}}}, {"stamp", true}}},
      {"count as text", {{"cmd", "inject"}, {"message", {{"type", 1}}}, {"count", "5"}}},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    Json answer = api.command(c.cmd);
    EXPECT_EQ(answer["ok"], false);
    EXPECT_TRUE(answer["error"].is_string());
  }
}

TEST_F(SimControls, InjectsAMillionMessagesWithoutAThreadEach) {
  open_logged_in();
  rec.keep_messages = false;
  size_t before = rec.count();
  std::string msg = Json{{"type", MT_RECV_TEXT_MSG}, {"data", {{"content", "bulk"}}}}.dump();
  ASSERT_EQ(api.tapwire_sim_inject(msg.data(), msg.size(), 1000000, 0), 0) << api.error();
  EXPECT_TRUE(rec.wait_count(before + 1000000, 240s));
  EXPECT_EQ(rec.count(), before + 1000000);
}

TEST_F(SimControls, InjectWithIntervalSpacesMessages) {
  open_logged_in();
  size_t before = rec.count();
  std::string msg = Json{{"type", MT_RECV_SYSTEM_MSG}, {"data", {{"content", "tick"}}}}.dump();
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(api.tapwire_sim_inject(msg.data(), msg.size(), 3, 50), 0);
  ASSERT_TRUE(rec.wait_count(before + 3));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_NE(api.tapwire_sim_inject(msg.data(), msg.size(), 1, -1), 0);
}

TEST_F(SimControls, FailMakesEachOperationFailWithItsText) {
  auto [pid, id] = open_logged_in();
  std::string envelope = R"({"type": 11201, "data": {}})";
  std::vector<std::pair<std::string, std::function<int32_t()>>> ops = {
      {"open",
       [&] {
         int64_t p;
         return api.tapwire_open(0, &p);
       }},
      {"attach",
       [&] {
         int64_t r;
         return api.tapwire_attach(pid, &r);
       }},
      {"send",
       [&] {
         int64_t r;
         return api.tapwire_send(id, envelope.data(), envelope.size(), &r);
       }},
      {"init_env", [&] { return api.tapwire_init_env(helper_.c_str(), ""); }},
      {"init_callback",
       [&] {
         return api.tapwire_init_callback(&Recorder::on_accept, &Recorder::on_recv,
                                          &Recorder::on_close, &rec);
       }},
      {"show_login_qrcode", [&] { return api.tapwire_show_login_qrcode(); }},
      {"get_install_parlo_version",
       [&] {
         char b[32];
         return api.tapwire_get_install_parlo_version(b, sizeof b, nullptr);
       }},
      {"detach",
       [&] {
         int64_t r;
         return api.tapwire_detach(pid, &r);
       }},
  };
  for (const auto& [op, call] : ops) {
    SCOPED_TRACE(op);
    std::string text = "模拟失败: " + op;
    ASSERT_EQ(api.tapwire_sim_fail(op.c_str(), text.c_str()), 0) << api.error();
    EXPECT_NE(call(), 0);
    EXPECT_EQ(api.error(), text);
    ASSERT_EQ(api.tapwire_sim_fail(op.c_str(), nullptr), 0);
  }
  EXPECT_NE(api.tapwire_sim_fail("no_such_op", "x"), 0);
  EXPECT_NE(api.tapwire_sim_fail(nullptr, "x"), 0);
  Json answer = api.command({{"cmd", "fail"}, {"op", "send"}, {"text", "down"}});
  EXPECT_EQ(answer["ok"], true);
  int64_t r = 0;
  EXPECT_NE(api.tapwire_send(id, envelope.data(), envelope.size(), &r), 0);
  EXPECT_EQ(api.error(), "down");
  EXPECT_EQ(api.command({{"cmd", "fail"}, {"op", "send"}, {"text", nullptr}})["ok"], true);
  EXPECT_EQ(api.tapwire_send(id, envelope.data(), envelope.size(), &r), 0);
  // With every failure cleared the operations work again (detach last: it ends the client).
  for (const auto& [op, call] : ops) {
    SCOPED_TRACE(op + " again");
    EXPECT_EQ(call(), 0) << api.error();
  }
}

TEST_F(SimControls, AnswerMakesAttachAndDetachAnswerWithoutTouchingClients) {
  auto [pid, id] = open_logged_in();
  const size_t before = rec.count();
  int64_t r = -1;
  // A pid no client has: attach answers as told, and no connection opens.
  ASSERT_EQ(api.tapwire_sim_answer("attach", 1, 1), 0) << api.error();
  EXPECT_EQ(api.tapwire_attach(987654, &r), 0) << api.error();
  EXPECT_EQ(r, 1);
  // The running client's connection stays open through a forced detach.
  ASSERT_EQ(api.tapwire_sim_answer("detach", 0, 1), 0) << api.error();
  EXPECT_EQ(api.tapwire_detach(pid, &r), 0) << api.error();
  EXPECT_EQ(r, 0);
  // The pid check still comes first.
  EXPECT_NE(api.tapwire_attach(0, &r), 0);
  EXPECT_NE(api.tapwire_sim_answer("send", 1, 1), 0);
  EXPECT_NE(api.tapwire_sim_answer(nullptr, 1, 1), 0);
  ASSERT_TRUE(request(id, MT_GET_SELF_MSG, Json::object(), "still_open"));
  for (const auto& e : rec.events()) {
    EXPECT_NE(e.kind, Event::kClose);
    EXPECT_EQ(e.client_id, id);
  }
  EXPECT_GT(rec.count(), before);

  // Cleared (the JSON form), they act again: the unknown pid is unknown, the detach closes.
  EXPECT_EQ(api.command({{"cmd", "answer"}, {"op", "attach"}, {"result", nullptr}})["ok"], true);
  EXPECT_EQ(api.command({{"cmd", "answer"}, {"op", "detach"}, {"result", nullptr}})["ok"], true);
  EXPECT_EQ(api.command({{"cmd", "answer"}, {"op", "attach"}, {"result", "1"}})["ok"], false);
  EXPECT_EQ(api.tapwire_attach(987654, &r), 0);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(api.tapwire_detach(pid, &r), 0);
  EXPECT_EQ(r, 1);
  EXPECT_TRUE(rec.wait_for([&](const std::vector<Event>& evs) {
    for (const auto& e : evs) {
      if (e.kind == Event::kClose && e.client_id == id) return true;
    }
    return false;
  }));
}

TEST_F(SimControls, ReadyDelayHoldsTheReadyBackAfterTheReturn) {
  EXPECT_EQ(api.command({{"cmd", "ready"}, {"delay_ms", -1}})["ok"], false);
  ASSERT_EQ(api.command({{"cmd", "ready"}, {"delay_ms", 400}})["ok"], true);
  const auto start = std::chrono::steady_clock::now();
  int64_t pid = 0;
  ASSERT_EQ(api.tapwire_open(0, &pid), 0) << api.error();
  auto ready_seen = [&](const std::vector<Event>& evs) {
    for (const auto& e : evs) {
      if (e.kind == Event::kRecv && e.message.is_object() &&
          e.message.value("type", 0) == MT_READY_MSG) {
        return true;
      }
    }
    return false;
  };
  EXPECT_FALSE(ready_seen(rec.events()));
  ASSERT_TRUE(rec.wait_for(ready_seen));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
  // What the client reports afterwards still follows its ready.
  bool login_after_ready = false;
  ASSERT_TRUE(rec.wait_for([&](const std::vector<Event>& evs) {
    bool ready = false;
    for (const auto& e : evs) {
      if (e.kind != Event::kRecv || !e.message.is_object()) continue;
      ready = ready || e.message.value("type", 0) == MT_READY_MSG;
      if (e.message.value("type", 0) == MT_USER_LOGIN_MSG) {
        login_after_ready = ready;
        return true;
      }
    }
    return false;
  }));
  EXPECT_TRUE(login_after_ready);
}

TEST_F(SimControls, ReplyModesShapeTheReplies) {
  auto [pid, id] = open_logged_in();
  auto send = [&](int code, const std::string& extend) {
    std::string text = Json{{"type", code}, {"data", Json::object()}, {"extend", extend}}.dump();
    int64_t r = 0;
    ASSERT_EQ(api.tapwire_send(id, text.data(), text.size(), &r), 0);
  };
  // A later request acts as a fence: replies are delivered in order on one client id.
  auto fence = [&](const std::string& name) {
    ASSERT_TRUE(request(id, MT_GET_PUBLICS_MSG, Json::object(), "fence_" + name));
  };

  ASSERT_EQ(api.tapwire_sim_reply(MT_GET_SELF_MSG, TAPWIRE_SIM_REPLY_DROP, 0), 0);
  send(MT_GET_SELF_MSG, "dropped");
  fence("drop");
  EXPECT_TRUE(rec.with_extend("dropped").empty());

  ASSERT_EQ(api.tapwire_sim_reply(MT_GET_SELF_MSG, TAPWIRE_SIM_REPLY_DUPLICATE, 0), 0);
  send(MT_GET_SELF_MSG, "twice");
  fence("dup");
  auto twice = rec.with_extend("twice");
  ASSERT_EQ(twice.size(), 2u);
  EXPECT_EQ(twice[0].text, twice[1].text);

  ASSERT_EQ(api.tapwire_sim_reply(MT_GET_SELF_MSG, TAPWIRE_SIM_REPLY_NO_DATA, 0), 0);
  send(MT_GET_SELF_MSG, "nodata");
  fence("nodata");
  auto nodata = rec.with_extend("nodata");
  ASSERT_EQ(nodata.size(), 1u);
  EXPECT_EQ(nodata[0].message, (Json{{"type", MT_GET_SELF_MSG}, {"extend", "nodata"}}));

  ASSERT_EQ(api.tapwire_sim_reply(MT_GET_SELF_MSG, TAPWIRE_SIM_REPLY_MALFORMED, 0), 0);
  send(MT_GET_SELF_MSG, "broken");
  fence("broken");
  auto broken = rec.with_extend("broken");
  ASSERT_EQ(broken.size(), 1u);
  EXPECT_TRUE(broken[0].message.is_null()) << broken[0].text;

  // Delay: the reply comes after the delay; a request sent later overtakes it.
  ASSERT_EQ(api.command({{"cmd", "reply"},
                         {"code", MT_GET_SELF_MSG},
                         {"mode", "delay"},
                         {"delay_ms", 300}})["ok"],
            true);
  auto start = std::chrono::steady_clock::now();
  send(MT_GET_SELF_MSG, "late");
  fence("late");
  EXPECT_TRUE(rec.with_extend("late").empty());
  ASSERT_TRUE(rec.wait_for([&](const std::vector<Event>&) { return false; }, 0ms) || true);
  auto late = request(id, MT_GET_ROOMS_MSG, Json::object(), "unrelated");
  ASSERT_TRUE(late) << "other codes keep their normal replies";
  ASSERT_TRUE(rec.wait_for([&](const std::vector<Event>& evs) {
    for (const auto& e : evs)
      if (e.text.find("\"late\"") != std::string::npos) return true;
    return false;
  }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

  // Code 0 sets every code and replaces the per-code rules.
  ASSERT_EQ(api.tapwire_sim_reply(0, TAPWIRE_SIM_REPLY_DROP, 0), 0);
  send(MT_GET_ROOMS_MSG, "all_dropped");
  ASSERT_EQ(api.tapwire_sim_reply(0, TAPWIRE_SIM_REPLY_NORMAL, 0), 0);
  fence("all");
  EXPECT_TRUE(rec.with_extend("all_dropped").empty());
  EXPECT_TRUE(request(id, MT_GET_SELF_MSG, Json::object(), "normal_again"));

  struct Bad {
    int32_t code, mode;
    int64_t delay;
  };
  for (const auto& b :
       {Bad{11046, 0, 0}, Bad{MT_GET_SELF_MSG, 9, 0}, Bad{MT_GET_SELF_MSG, 2, -1}}) {
    SCOPED_TRACE(std::to_string(b.code) + "/" + std::to_string(b.mode));
    EXPECT_NE(api.tapwire_sim_reply(b.code, b.mode, b.delay), 0);
  }
  EXPECT_EQ(api.command({{"cmd", "reply"}, {"code", 0}, {"mode", "sideways"}})["ok"], false);
}

TEST_F(SimControls, SentRecordsTheExactTexts) {
  auto [pid, id] = open_logged_in();
  const std::vector<std::string> texts = {
      R"({"type": 11208, "data": {"to_uid": "uid_alice", "content": "\u4e2d \"q\""}})",
      R"({"type": 11201, "data": {}, "extend": "req_1"})",
      "{\"type\":11205,\"data\":{}}",
  };
  for (const auto& t : texts) {
    int64_t r = 0;
    ASSERT_EQ(api.tapwire_send(id, t.data(), t.size(), &r), 0) << api.error();
  }
  EXPECT_EQ(api.sent(), texts);
  EXPECT_EQ(api.command({{"cmd", "sent"}})["sent"], Json(texts));
  // A buffer that is too small fails and says how much is needed.
  char small[4];
  size_t needed = 0;
  EXPECT_NE(api.tapwire_sim_sent(small, sizeof small, &needed), 0);
  EXPECT_EQ(needed, Json(texts).dump().size());
  ASSERT_EQ(api.tapwire_sim_clear_sent(), 0);
  EXPECT_TRUE(api.sent().empty());
}

TEST_F(SimControls, ResetClosesClientsReseedsAndClearsControls) {
  auto [pid, id] = open_logged_in();
  ASSERT_TRUE(request(id, MT_MOD_ROOM_NAME_MSG,
                      {{"room_uid", "room_demo@chatroom"}, {"name", "Changed"}}, "rename"));
  ASSERT_EQ(api.tapwire_sim_fail("open", "no"), 0);
  ASSERT_EQ(api.tapwire_sim_reply(0, TAPWIRE_SIM_REPLY_DROP, 0), 0);
  ASSERT_EQ(api.tapwire_sim_set_install_version("3.6.0.18"), 0);
  ASSERT_EQ(api.tapwire_sim_reset(), 0) << api.error();
  auto events = rec.events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, Event::kClose) << "reset waits for the close";
  EXPECT_EQ(events.back().client_id, id);
  EXPECT_TRUE(api.sent().empty());
  Json state = api.command({{"cmd", "state"}});
  EXPECT_EQ(state["pid"], 0);
  EXPECT_EQ(state["processes"], Json::array());

  // Callbacks stay registered; a new client sees the seed data again and normal replies.
  rec.clear();
  int64_t pid2 = 0;
  ASSERT_EQ(api.tapwire_open(0, &pid2), 0) << api.error();
  auto login = rec.wait_type(id + 1, MT_USER_LOGIN_MSG);
  ASSERT_TRUE(login) << "client ids are not reused after reset";
  auto detail =
      request(id + 1, MT_GET_ROOM_DETAIL_MSG, {{"room_uid", "room_demo@chatroom"}}, "after");
  ASSERT_TRUE(detail);
  EXPECT_EQ((*detail)["data"]["name"], "Demo Room");
  char buf[32];
  ASSERT_EQ(api.tapwire_get_install_parlo_version(buf, sizeof buf, nullptr), 0);
  EXPECT_STREQ(buf, "3.9.2.26");
}

TEST_F(SimControls, CommandFormCoversTheControlsAndReportsErrors) {
  Json spawned = api.command({{"cmd", "spawn"}});
  ASSERT_EQ(spawned["ok"], true);
  ASSERT_GT(spawned["pid"].get<int64_t>(), 0);
  EXPECT_EQ(api.command({{"cmd", "auto_login"}, {"enabled", false}})["ok"], true);
  EXPECT_EQ(api.command({{"cmd", "ready"}, {"before_open_returns", true}})["ok"], true);
  int64_t r = 0;
  ASSERT_EQ(api.tapwire_attach(spawned["pid"].get<int64_t>(), &r), 0);
  ASSERT_EQ(r, 1);
  // Ready came before attach returned.
  auto first = rec.events();
  ASSERT_GE(first.size(), 2u);
  EXPECT_EQ(first[0].kind, Event::kAccept);
  EXPECT_EQ(first[1].message["type"], MT_READY_MSG);
  EXPECT_EQ(api.command({{"cmd", "login"}, {"uid", "uid_cmd"}, {"nickname", "Cmd"}})["ok"], true);
  auto login = rec.wait_type(1, MT_USER_LOGIN_MSG);
  ASSERT_TRUE(login);
  EXPECT_EQ((*login)["data"]["uid"], "uid_cmd");
  Json state = api.command({{"cmd", "state"}});
  EXPECT_EQ(state["logged_in"], true);
  EXPECT_EQ(state["uid"], "uid_cmd");
  EXPECT_EQ(state["client_id"], 1);
  EXPECT_EQ(api.command({{"cmd", "logout"}})["ok"], true);
  ASSERT_TRUE(rec.wait_type(1, MT_USER_LOGOUT_MSG));
  EXPECT_EQ(api.command({{"cmd", "quit"}})["ok"], true);
  ASSERT_TRUE(
      rec.wait_for([](const std::vector<Event>& evs) { return evs.back().kind == Event::kClose; }));
  EXPECT_EQ(api.command({{"cmd", "clear_sent"}})["ok"], true);
  EXPECT_EQ(api.command({{"cmd", "install_version"}, {"version", "3.8.0.15"}})["ok"], true);
  EXPECT_EQ(api.command({{"cmd", "reset"}})["ok"], true);

  struct Bad {
    const char* name;
    std::string text;
  };
  const Bad bad[] = {
      {"not JSON", "{"},
      {"not an object", "[]"},
      {"no cmd", "{}"},
      {"unknown cmd", R"({"cmd": "fly"})"},
      {"login without uid", R"({"cmd": "login"})"},
      {"quit without client", R"({"cmd": "quit"})"},
      {"bool as text", R"({"cmd": "auto_login", "enabled": "yes"})"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.name);
    char buf[512];
    size_t needed = 0;
    EXPECT_NE(api.tapwire_sim_command(b.text.data(), b.text.size(), buf, sizeof buf, &needed), 0);
    Json answer = Json::parse(std::string(buf, needed));
    EXPECT_EQ(answer["ok"], false);
    EXPECT_EQ(answer["error"], api.error());
  }
}

// The control socket exists only when TAPWIRE_SIM_CONTROL names it; it speaks JSON lines.
TEST(SimControlSocket, ServesCommandsAsJsonLinesOnlyWhenAsked) {
  std::string path = "/tmp/tapwire_sim_ctl_" + std::to_string(getpid()) + ".sock";
  ASSERT_EQ(setenv("TAPWIRE_SIM_CONTROL", path.c_str(), 1), 0);
  Api& api = Api::get();
  ASSERT_EQ(api.tapwire_module_init(), 0);
  ASSERT_TRUE(std::filesystem::is_socket(path));
  EXPECT_EQ(api.command({{"cmd", "state"}})["control_socket"], path);

  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  // Two commands in one write, one split across writes, and a bad line: one answer each.
  std::string lines = "{\"cmd\": \"spawn\"}\n{\"cmd\": \"state\"}\n{\"cmd\": ";
  ASSERT_EQ(write(fd, lines.data(), lines.size()), ssize_t(lines.size()));
  std::string rest = "\"sent\"}\nnot json\n";
  ASSERT_EQ(write(fd, rest.data(), rest.size()), ssize_t(rest.size()));
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::count(got.begin(), got.end(), '\n') < 4 &&
         std::chrono::steady_clock::now() < deadline) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, size_t(n));
  }
  close(fd);
  std::vector<Json> answers;
  for (size_t start = 0, nl; (nl = got.find('\n', start)) != std::string::npos; start = nl + 1) {
    answers.push_back(Json::parse(got.substr(start, nl - start)));
  }
  ASSERT_EQ(answers.size(), 4u) << got;
  EXPECT_EQ(answers[0]["ok"], true);
  EXPECT_GT(answers[0]["pid"].get<int64_t>(), 0);
  EXPECT_EQ(answers[1]["pid"], answers[0]["pid"]);
  EXPECT_EQ(answers[2]["sent"], Json::array());
  EXPECT_EQ(answers[3]["ok"], false);

  ASSERT_EQ(api.tapwire_sim_stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(path)) << "stop removes the socket file";
}

TEST(SimControlSocket, LeavesAFileThatIsNotASocketAlone) {
  std::string path = "/tmp/tapwire_sim_ctl_file_" + std::to_string(getpid());
  {
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_TRUE(f);
    std::fputs("keep me", f);
    std::fclose(f);
  }
  ASSERT_EQ(setenv("TAPWIRE_SIM_CONTROL", path.c_str(), 1), 0);
  Api& api = Api::get();
  ASSERT_EQ(api.tapwire_module_init(), 0);
  EXPECT_TRUE(api.command({{"cmd", "state"}})["control_socket"].is_null());
  ASSERT_EQ(api.tapwire_sim_stop(), 0);
  ASSERT_TRUE(std::filesystem::is_regular_file(path));
  EXPECT_EQ(std::filesystem::file_size(path), 7u);
  std::filesystem::remove(path);
}

// TAPWIRE_SIM_DB keeps the data in a file: seeded on first use, changes written to it.
TEST(SimDataFile, SeedsAndKeepsTheDataInTheNamedFile) {
  std::string path = "/tmp/tapwire_sim_db_" + std::to_string(getpid()) + ".db";
  std::filesystem::remove(path);
  ASSERT_EQ(setenv("TAPWIRE_SIM_DB", path.c_str(), 1), 0);
  Api& api = Api::get();
  ASSERT_EQ(api.tapwire_module_init(), 0);
  ASSERT_TRUE(std::filesystem::is_regular_file(path));
  auto size_before = std::filesystem::file_size(path);
  EXPECT_GT(size_before, 0u);
  std::filesystem::path helper = path + ".helper";
  {
    std::FILE* f = std::fopen(helper.c_str(), "w");
    ASSERT_TRUE(f);
    std::fclose(f);
  }
  Recorder rec;
  ASSERT_EQ(api.tapwire_init_env(helper.c_str(), ""), 0);
  ASSERT_EQ(api.tapwire_init_callback(&Recorder::on_accept, &Recorder::on_recv, &Recorder::on_close,
                                      &rec),
            0);
  int64_t pid = 0;
  ASSERT_EQ(api.tapwire_open(0, &pid), 0);
  ASSERT_TRUE(rec.wait_type(1, MT_USER_LOGIN_MSG));
  std::string rename = Json{
      {"type", MT_MOD_ROOM_NAME_MSG},
      {"data", {{"room_uid", "room_demo@chatroom"}, {"name", "On disk"}}},
      {"extend", "r"}}.dump();
  int64_t result = 0;
  ASSERT_EQ(api.tapwire_send(1, rename.data(), rename.size(), &result), 0);
  ASSERT_TRUE(rec.wait_for([](const std::vector<Event>& evs) {
    for (const auto& e : evs)
      if (e.message.is_object() && e.message.value("extend", "") == "r") return true;
    return false;
  }));
  ASSERT_EQ(api.tapwire_sim_stop(), 0);
  // The new name is in the file itself (SQLite stores short texts verbatim).
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_TRUE(f);
  std::string bytes;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
  std::fclose(f);
  EXPECT_NE(bytes.find("On disk"), std::string::npos);
  std::filesystem::remove(helper);
  std::filesystem::remove(path);
}

TEST(SimControlSocket, NothingListensByDefault) {
  ASSERT_EQ(unsetenv("TAPWIRE_SIM_CONTROL"), 0);
  Api& api = Api::get();
  ASSERT_EQ(api.tapwire_module_init(), 0);
  EXPECT_TRUE(api.command({{"cmd", "state"}})["control_socket"].is_null());
}

}  // namespace
}  // namespace corvid::sim_test
