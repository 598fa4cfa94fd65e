// The probe ABI of the simulated client: package data, start-up, client lifecycle, requests,
// read-only SQL, the echo contact, malformed input, concurrency and stop.
#include <dirent.h>

#include <atomic>
#include <set>
#include <thread>

#include "sim_probe.hpp"

namespace corvid::sim_test {
namespace {

size_t thread_count() {
  size_t n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

std::vector<Json> messages_of(const std::vector<Event>& events, int64_t client_id) {
  std::vector<Json> out;
  for (const auto& e : events) {
    if (e.kind == Event::kRecv && e.client_id == client_id) out.push_back(e.message);
  }
  return out;
}

TEST(SimPackage, ReportsVersionsAndInstalledVersion) {
  Api& api = Api::get();
  size_t count = 0;
  const char* const* versions = api.tw_support_versions(&count);
  ASSERT_EQ(count, 5u);
  std::vector<std::string> got(versions, versions + count);
  EXPECT_EQ(got,
            (std::vector<std::string>{"3.6.0.18", "3.7.0.26", "3.8.0.15", "3.9.0.28", "3.9.2.26"}));
  EXPECT_EQ(api.tapwire_abi_version(), TAPWIRE_ABI_VERSION);
  EXPECT_EQ(api.tapwire_module_init(), 0);

  char buf[32];
  size_t needed = 0;
  ASSERT_EQ(api.tapwire_get_install_parlo_version(buf, sizeof buf, &needed), 0) << api.error();
  EXPECT_STREQ(buf, "3.9.2.26");
  EXPECT_EQ(needed, 8u);

  // Exactly the text without room for the NUL does not fit; needed still tells the size.
  needed = 0;
  EXPECT_NE(api.tapwire_get_install_parlo_version(buf, 8, &needed), 0);
  EXPECT_EQ(needed, 8u);
  EXPECT_NE(api.error().find("buffer too small"), std::string::npos) << api.error();
  EXPECT_NE(api.tapwire_get_install_parlo_version(nullptr, 0, nullptr), 0);

  ASSERT_EQ(api.tapwire_sim_set_install_version("3.6.0.18"), 0);
  ASSERT_EQ(api.tapwire_get_install_parlo_version(buf, sizeof buf, &needed), 0);
  EXPECT_STREQ(buf, "3.6.0.18");
  EXPECT_NE(api.tapwire_sim_set_install_version(""), 0);
  EXPECT_NE(api.tapwire_sim_set_install_version(nullptr), 0);
}

TEST(SimStartup, InitEnvNeedsAnExistingHelperFile) {
  Api& api = Api::get();
  struct Case {
    const char* name;
    const char* helper;
    const char* exe;
    const char* error_part;
  };
  const Case cases[] = {
      {"missing helper", "/nonexistent/helper_3.9.2.26.dat", "", "helper file not found"},
      {"null helper", nullptr, "", "helper file path is null"},
      {"empty helper", "", "", "helper file path is empty"},
      {"a folder is no helper", "/tmp", "", "helper file not found"},
      {"missing executable", CORVID_TAPWIRE_SIM_PATH, "/nonexistent/Parlo.exe",
       "executable not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(api.tapwire_init_env(c.helper, c.exe), 0);
    EXPECT_NE(api.error().find(c.error_part), std::string::npos) << api.error();
  }
  // Nothing can start before a successful init_env and init_callback.
  int64_t pid = -1;
  EXPECT_NE(api.tapwire_open(0, &pid), 0);
  EXPECT_EQ(pid, 0);
  EXPECT_NE(api.error().find("init_env"), std::string::npos) << api.error();
  EXPECT_EQ(api.tapwire_init_env(CORVID_TAPWIRE_SIM_PATH, nullptr), 0) << api.error();
  EXPECT_NE(api.tapwire_open(0, &pid), 0);
  EXPECT_NE(api.error().find("init_callback"), std::string::npos) << api.error();
  EXPECT_NE(api.tapwire_init_callback(nullptr, nullptr, nullptr, nullptr), 0);
}

using SimLifecycle = SimTest;

TEST_F(SimLifecycle, OpenDeliversAcceptReadyQrcodeThenLoginAfterOpenReturns) {
  std::atomic<bool> open_returned{false};
  std::atomic<bool> ready_seen_after_return{false};
  rec.hook = [&](const Event& e) {
    if (e.kind == Event::kRecv && e.message.is_object() &&
        e.message.value("type", 0) == MT_READY_MSG) {
      ready_seen_after_return = open_returned.load();
    }
  };
  auto start = std::chrono::steady_clock::now();
  int64_t pid = 0;
  ASSERT_EQ(api.tapwire_open(0, &pid), 0) << api.error();
  open_returned = true;
  ASSERT_GT(pid, 0);
  auto login = rec.wait_type(1, MT_USER_LOGIN_MSG, 2s);
  ASSERT_TRUE(login) << "login within 2 s";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(ready_seen_after_return);
  EXPECT_EQ((*login)["data"]["uid"], "uid_standin");
  EXPECT_EQ((*login)["data"]["nickname"], "Corvid Stand-in");

  auto events = rec.events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].kind, Event::kAccept);
  for (const auto& e : events) EXPECT_EQ(e.client_id, 1);
  EXPECT_EQ(events[1].message, (Json{{"type", MT_READY_MSG}, {"data", {{"pid", pid}}}}));
  EXPECT_EQ(events[2].message["type"], MT_RECV_LOGIN_QRCODE_MSG);
  EXPECT_EQ(events[3].message["type"], MT_USER_LOGIN_MSG);

  // A second client gets a new client id and a new pid.
  int64_t second = 0;
  ASSERT_EQ(api.tapwire_open(0, &second), 0);
  EXPECT_NE(second, pid);
  auto ready = rec.wait_type(2, MT_READY_MSG);
  ASSERT_TRUE(ready);
  EXPECT_EQ((*ready)["data"]["pid"], second);
}

TEST_F(SimLifecycle, ReadyBeforeOpenReturnsWhenAsked) {
  ASSERT_EQ(api.tapwire_sim_ready_before_open(1), 0);
  int64_t pid = 0;
  ASSERT_EQ(api.tapwire_open(0, &pid), 0) << api.error();
  // open came back only after the ready callback returned: it is recorded already.
  auto events = rec.events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Event::kAccept);
  EXPECT_EQ(events[1].message["type"], MT_READY_MSG);
  EXPECT_EQ(events[1].message["data"]["pid"], pid);
}

TEST_F(SimLifecycle, AttachDetachQuitAndSmartOpen) {
  int64_t spawned = 0;
  ASSERT_EQ(api.tapwire_sim_spawn(&spawned), 0);
  ASSERT_GT(spawned, 0);
  int64_t result = -1;

  struct Refusal {
    const char* name;
    int64_t pid;
    bool error_status;
  };
  for (const auto& c : {Refusal{"unknown pid", spawned + 999, false}, Refusal{"zero pid", 0, true},
                        Refusal{"negative pid", -5, true}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(api.tapwire_attach(c.pid, &result) != 0, c.error_status);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(api.tapwire_detach(c.pid, &result) != 0, c.error_status);
    EXPECT_EQ(result, 0);
  }

  ASSERT_EQ(api.tapwire_attach(spawned, &result), 0) << api.error();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(api.tapwire_attach(spawned, &result), 0);
  EXPECT_EQ(result, 0) << "a second probe cannot attach to the same client";
  auto login = rec.wait_type(1, MT_USER_LOGIN_MSG);
  ASSERT_TRUE(login) << "client id 1 is the attached one";
  EXPECT_EQ((*login)["data"]["pid"], spawned);

  ASSERT_EQ(api.tapwire_detach(spawned, &result), 0);
  EXPECT_EQ(result, 1);
  ASSERT_TRUE(rec.wait_for([](const std::vector<Event>& evs) {
    return !evs.empty() && evs.back().kind == Event::kClose && evs.back().client_id == 1;
  }));
  // A detached client is still logged in: a new probe connection hears its login at once.
  ASSERT_EQ(api.tapwire_attach(spawned, &result), 0);
  EXPECT_EQ(result, 1);
  auto again = rec.wait_type(2, MT_USER_LOGIN_MSG);
  ASSERT_TRUE(again);
  auto msgs = messages_of(rec.events(), 2);
  ASSERT_GE(msgs.size(), 2u);
  EXPECT_EQ(msgs[0]["type"], MT_READY_MSG);
  EXPECT_EQ(msgs[1]["type"], MT_USER_LOGIN_MSG) << "no QR code for a logged-in client";

  // A smart open takes over a running client nobody is attached to.
  ASSERT_EQ(api.tapwire_detach(spawned, &result), 0);
  int64_t pid = 0;
  ASSERT_EQ(api.tapwire_open(1, &pid), 0);
  EXPECT_EQ(pid, spawned);
  ASSERT_TRUE(rec.wait_type(3, MT_USER_LOGIN_MSG));

  // Quit: the connection closes, the process is gone.
  ASSERT_EQ(api.tapwire_sim_quit(), 0);
  ASSERT_TRUE(rec.wait_for([](const std::vector<Event>& evs) {
    return !evs.empty() && evs.back().kind == Event::kClose && evs.back().client_id == 3;
  }));
  EXPECT_EQ(api.tapwire_attach(spawned, &result), 0);
  EXPECT_EQ(result, 0);
  // Nothing after a close.
  auto events = rec.events();
  std::set<int64_t> closed;
  for (const auto& e : events) {
    EXPECT_FALSE(closed.count(e.client_id)) << "callback after close on " << e.client_id;
    if (e.kind == Event::kClose) closed.insert(e.client_id);
  }
}

TEST_F(SimLifecycle, AutoLoginOffLeavesClientAtQrcodeUntilLoginControl) {
  ASSERT_EQ(api.tapwire_sim_auto_login(0), 0);
  int64_t pid = 0;
  ASSERT_EQ(api.tapwire_show_login_qrcode(), 0);
  ASSERT_EQ(api.tapwire_open(0, &pid), 0);
  auto qr = rec.wait_type(1, MT_RECV_LOGIN_QRCODE_MSG);
  ASSERT_TRUE(qr);
  EXPECT_EQ((*qr)["data"]["requested"], true);
  EXPECT_FALSE(rec.wait_type(1, MT_USER_LOGIN_MSG, 400ms));
  EXPECT_EQ(api.command({{"cmd", "state"}})["logged_in"], false);

  ASSERT_EQ(api.tapwire_sim_login("uid_other", "Other"), 0) << api.error();
  auto login = rec.wait_type(1, MT_USER_LOGIN_MSG);
  ASSERT_TRUE(login);
  EXPECT_EQ((*login)["data"]["uid"], "uid_other");
  EXPECT_EQ((*login)["data"]["nickname"], "Other");
  ASSERT_EQ(api.tapwire_sim_logout(), 0);
  auto logout = rec.wait_type(1, MT_USER_LOGOUT_MSG);
  ASSERT_TRUE(logout);
  EXPECT_EQ((*logout)["data"]["uid"], "uid_other");
  Json state = api.command({{"cmd", "state"}});
  EXPECT_EQ(state["pid"], pid);
  EXPECT_EQ(state["client_id"], 1);
  EXPECT_EQ(state["logged_in"], false);
  EXPECT_TRUE(state["uid"].is_null());
  EXPECT_NE(api.tapwire_sim_login(nullptr, nullptr), 0);
  EXPECT_NE(api.tapwire_sim_login("", nullptr), 0);
}

using SimRequests = SimTest;

// One valid request per code; every one is answered with its code and its extend.
TEST_F(SimRequests, EveryRequestCodeIsAnsweredWithItsExtend) {
  auto [pid, id] = open_logged_in();
  const std::vector<std::pair<int, Json>> cases = {
      {MT_SQL_QUERY_MSG, {{"sql", "select username from contact"}, {"db", 1}}},
      {MT_GET_SELF_MSG, Json::object()},
      {MT_GET_CONTACTS_MSG, Json::object()},
      {MT_GET_PUBLICS_MSG, Json::object()},
      {MT_GET_CONTACT_DETAIL_MSG, {{"uid", "uid_alice"}}},
      {MT_GET_ROOMS_MSG, Json::object()},
      {MT_GET_ROOM_DETAIL_MSG, {{"room_uid", "room_demo@chatroom"}}},
      {MT_GET_ROOM_MEMBERS_MSG, {{"room_uid", "room_demo@chatroom"}}},
      {MT_SEND_TEXT_MSG, {{"to_uid", "uid_alice"}, {"content", "hi"}}},
      {MT_SEND_ROOM_AT_MSG,
       {{"to_uid", "room_demo@chatroom"}, {"content", "@Bob hi"}, {"at_list", {"uid_bob"}}}},
      {MT_SEND_CARD_MSG, {{"to_uid", "uid_alice"}, {"card_uid", "uid_bob"}}},
      {MT_SEND_LINK_MSG,
       {{"to_uid", "uid_alice"}, {"title", "t"}, {"desc", "d"}, {"url", "u"}, {"image_url", "i"}}},
      {MT_SEND_IMAGE_MSG, {{"to_uid", "uid_alice"}, {"file", "/tmp/a.png"}}},
      {MT_SEND_FILE_MSG, {{"to_uid", "uid_alice"}, {"file", "/tmp/a.txt"}}},
      {MT_SEND_VIDEO_MSG, {{"to_uid", "uid_alice"}, {"file", "/tmp/a.mp4"}}},
      {MT_SEND_GIF_MSG, {{"to_uid", "uid_alice"}, {"file", "/tmp/a.gif"}}},
      {MT_SEND_XML_MSG, {{"to_uid", "uid_alice"}, {"xml", "<msg/>"}, {"app_type", 5}}},
      {MT_SEND_PAT_MSG, {{"room_uid", "room_demo@chatroom"}, {"patted_uid", "uid_bob"}}},
      {MT_ACCEPT_FRIEND_MSG,
       {{"encryptusername", "v3_carol_request"}, {"ticket", "v4_carol_ticket"}, {"scene", 30}}},
      {MT_CREATE_ROOM_MSG, Json::array({"uid_alice", "uid_bob"})},
      {MT_ADD_TO_ROOM_MSG, {{"room_uid", "room_demo@chatroom"}, {"member_list", {"uid_echo"}}}},
      {MT_INVITE_TO_ROOM_MSG,
       {{"room_uid", "room_demo@chatroom"}, {"member_list", {"filehelper"}}}},
      {MT_DEL_ROOM_MEMBER_MSG, {{"room_uid", "room_demo@chatroom"}, {"member_list", {"uid_bob"}}}},
      {MT_MOD_ROOM_NAME_MSG, {{"room_uid", "room_demo@chatroom"}, {"name", "Renamed"}}},
      {MT_MOD_ROOM_NOTICE_MSG, {{"room_uid", "room_demo@chatroom"}, {"notice", "Be nice"}}},
      {MT_ADD_FRIEND_MSG,
       {{"room_uid", "room_demo@chatroom"},
        {"uid", "uid_x"},
        {"source_type", 14},
        {"remark", "hi"}}},
      {MT_QUIT_DEL_ROOM_MSG, {{"room_uid", "room_demo@chatroom"}}},
      {MT_MODIFY_FRIEND_REMARK, {{"uid", "uid_bob"}, {"remark", "Bobby"}}},
  };
  ASSERT_EQ(cases.size(), size_t(TAPWIRE_SEND_CODE_LAST - TAPWIRE_SEND_CODE_FIRST + 1));
  for (const auto& [code, data] : cases) {
    SCOPED_TRACE(code);
    std::string extend = "req_" + std::to_string(code);
    auto reply = request(id, code, data, extend);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["type"], code);
    EXPECT_EQ((*reply)["extend"], extend);
    ASSERT_TRUE(reply->contains("data"));
    const Json& d = (*reply)["data"];
    EXPECT_FALSE(d.is_null());
    if (d.is_object()) {
      EXPECT_NE(d.value("success", true), false) << d.dump();
      EXPECT_FALSE(d.contains("error")) << d.dump();
    }
    // Exactly one reply per request.
    EXPECT_EQ(rec.with_extend(extend).size(), 1u);
  }
}

TEST_F(SimRequests, QueriesReturnTheSeededData) {
  auto [pid, id] = open_logged_in();
  auto self = request(id, MT_GET_SELF_MSG, Json::object(), "self");
  ASSERT_TRUE(self);
  EXPECT_EQ((*self)["data"]["uid"], "uid_standin");
  EXPECT_EQ((*self)["data"]["nickname"], "Corvid Stand-in");

  auto contacts = request(id, MT_GET_CONTACTS_MSG, Json::object(), "contacts");
  ASSERT_TRUE(contacts);
  std::vector<std::string> uids;
  for (const auto& c : (*contacts)["data"]) uids.push_back(c["uid"]);
  EXPECT_EQ(uids, (std::vector<std::string>{"uid_echo", "uid_alice", "uid_bob", "filehelper"}));
  EXPECT_EQ((*contacts)["data"][1]["nickname"], "Alice");

  auto publics = request(id, MT_GET_PUBLICS_MSG, Json::object(), "publics");
  ASSERT_TRUE(publics);
  ASSERT_EQ((*publics)["data"].size(), 1u);
  EXPECT_EQ((*publics)["data"][0]["uid"], "gh_corvid_news");

  auto rooms = request(id, MT_GET_ROOMS_MSG, Json::object(), "rooms");
  ASSERT_TRUE(rooms);
  ASSERT_EQ((*rooms)["data"].size(), 1u);
  EXPECT_EQ((*rooms)["data"][0]["room_uid"], "room_demo@chatroom");
  EXPECT_EQ((*rooms)["data"][0]["name"], "Demo Room");
  EXPECT_EQ((*rooms)["data"][0]["member_count"], 3);

  auto members = request(id, MT_GET_ROOM_MEMBERS_MSG, {{"room_uid", "room_demo@chatroom"}}, "m");
  ASSERT_TRUE(members);
  std::vector<std::string> member_uids;
  for (const auto& m : (*members)["data"]) member_uids.push_back(m["uid"]);
  EXPECT_EQ(member_uids, (std::vector<std::string>{"uid_standin", "uid_alice", "uid_bob"}));

  struct Unknown {
    int code;
    Json data;
    Json expected;
  };
  for (const auto& c :
       {Unknown{MT_GET_CONTACT_DETAIL_MSG, {{"uid", "uid_nobody"}}, Json::object()},
        Unknown{MT_GET_ROOM_DETAIL_MSG, {{"room_uid", "r@none"}}, Json::object()},
        Unknown{MT_GET_ROOM_MEMBERS_MSG, {{"room_uid", "r@none"}}, Json::array()}}) {
    SCOPED_TRACE(c.code);
    auto reply = request(id, c.code, c.data, "unknown_" + std::to_string(c.code));
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["data"], c.expected);
  }
}

TEST_F(SimRequests, CommandsChangeTheDataAndReportEvents) {
  auto [pid, id] = open_logged_in();
  const std::string room = "room_demo@chatroom";
  auto sql = [&](const std::string& stmt, const std::string& ext) {
    auto reply = request(id, MT_SQL_QUERY_MSG, {{"sql", stmt}, {"db", 1}}, ext);
    EXPECT_TRUE(reply);
    return reply ? (*reply)["data"]["result"] : Json();
  };

  ASSERT_TRUE(request(id, MT_MOD_ROOM_NAME_MSG, {{"room_uid", room}, {"name", "新名字"}}, "a"));
  EXPECT_EQ(sql("select nickname from contact where username='" + room + "'", "a1"),
            Json::parse(R"([["新名字"]])"));

  ASSERT_TRUE(request(id, MT_ADD_TO_ROOM_MSG,
                      {{"room_uid", room}, {"member_list", {"uid_echo", "uid_alice"}}}, "b"));
  auto added = rec.wait_type(id, MT_ROOM_ADD_MEMBER_NOTIFY_MSG);
  ASSERT_TRUE(added);
  EXPECT_EQ((*added)["data"]["member_list"], Json::array({"uid_echo"})) << "alice was a member";
  ASSERT_TRUE(
      request(id, MT_DEL_ROOM_MEMBER_MSG, {{"room_uid", room}, {"member_list", {"uid_bob"}}}, "c"));
  ASSERT_TRUE(rec.wait_type(id, MT_ROOM_DEL_MEMBER_NOTIFY_MSG));
  auto detail = request(id, MT_GET_ROOM_DETAIL_MSG, {{"room_uid", room}}, "d");
  ASSERT_TRUE(detail);
  EXPECT_EQ((*detail)["data"]["name"], "新名字");
  std::vector<std::string> members;
  for (const auto& m : (*detail)["data"]["members"]) members.push_back(m["uid"]);
  EXPECT_EQ(members, (std::vector<std::string>{"uid_standin", "uid_alice", "uid_echo"}));

  ASSERT_TRUE(request(id, MT_MODIFY_FRIEND_REMARK, {{"uid", "uid_bob"}, {"remark", "Bobby"}}, "e"));
  EXPECT_EQ(sql("select remark from contact where username='uid_bob'", "e1"),
            Json::parse(R"([["Bobby"]])"));

  auto accepted = request(
      id, MT_ACCEPT_FRIEND_MSG,
      {{"encryptusername", "v3_carol_request"}, {"ticket", "v4_carol_ticket"}, {"scene", 30}}, "f");
  ASSERT_TRUE(accepted);
  EXPECT_EQ((*accepted)["data"]["uid"], "uid_carol");
  ASSERT_TRUE(rec.wait_type(id, MT_CONTACT_ADD_NOITFY_MSG));
  EXPECT_EQ(sql("select nickname from contact where username='uid_carol'", "f1"),
            Json::parse(R"([["Carol"]])"));
  auto again = request(
      id, MT_ACCEPT_FRIEND_MSG,
      {{"encryptusername", "v3_carol_request"}, {"ticket", "v4_carol_ticket"}, {"scene", 30}},
      "f2");
  ASSERT_TRUE(again);
  EXPECT_EQ((*again)["data"]["success"], false) << "a request is accepted once";

  // Create (send path: no extend, the notify tells the new room) then quit it.
  std::string create =
      Json{{"type", MT_CREATE_ROOM_MSG}, {"data", {"uid_alice", "uid_bob"}}}.dump();
  int64_t result = 0;
  ASSERT_EQ(api.tapwire_send(id, create.data(), create.size(), &result), 0);
  EXPECT_EQ(result, 1);
  auto created = rec.wait_type(id, MT_ROOM_CREATE_NOTIFY_MSG);
  ASSERT_TRUE(created);
  std::string new_room = (*created)["data"]["room_uid"];
  EXPECT_EQ((*created)["data"]["name"], "Alice, Bob");
  EXPECT_EQ((*created)["data"]["member_count"], 3);
  std::string quit =
      Json{{"type", MT_QUIT_DEL_ROOM_MSG}, {"data", {{"room_uid", new_room}}}}.dump();
  ASSERT_EQ(api.tapwire_send(id, quit.data(), quit.size(), &result), 0);
  auto gone = rec.wait_type(id, MT_ROOM_DEL_NOTIFY_MSG);
  ASSERT_TRUE(gone);
  EXPECT_EQ((*gone)["data"]["room_uid"], new_room);
  EXPECT_EQ(sql("select count(*) from contact where username='" + new_room + "'", "g"),
            Json::parse("[[0]]"));

  // Refusals are replies that say so, and change nothing.
  struct Refusal {
    int code;
    Json data;
  };
  for (const auto& c :
       {Refusal{MT_MOD_ROOM_NAME_MSG, {{"room_uid", "r@none"}, {"name", "x"}}},
        Refusal{MT_MOD_ROOM_NAME_MSG, {{"room_uid", room}}},
        Refusal{MT_MOD_ROOM_NAME_MSG, {{"room_uid", room}, {"name", 5}}},
        Refusal{MT_ADD_TO_ROOM_MSG, {{"room_uid", room}, {"member_list", "uid_bob"}}},
        Refusal{MT_MODIFY_FRIEND_REMARK, {{"uid", "uid_nobody"}, {"remark", "x"}}},
        Refusal{MT_CREATE_ROOM_MSG, Json::array()},
        Refusal{MT_CREATE_ROOM_MSG, Json::array({1, 2})},
        Refusal{MT_SEND_TEXT_MSG, Json::array()}}) {
    SCOPED_TRACE(c.data.dump());
    auto reply = request(id, c.code, c.data, "refused_" + c.data.dump());
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["data"]["success"], false);
    EXPECT_TRUE((*reply)["data"]["error"].is_string());
  }
  EXPECT_EQ(sql("select nickname from contact where username='" + room + "'", "h"),
            Json::parse(R"([["新名字"]])"));
}

TEST_F(SimRequests, TextToEchoComesBackAsIncomingText) {
  auto [pid, id] = open_logged_in();
  const std::string content = "ping 中文 \"quoted\"";
  std::string text =
      Json{{"type", MT_SEND_TEXT_MSG}, {"data", {{"to_uid", "uid_echo"}, {"content", content}}}}
          .dump();
  int64_t result = 0;
  ASSERT_EQ(api.tapwire_send(id, text.data(), text.size(), &result), 0);
  auto echo = rec.wait_type(id, MT_RECV_TEXT_MSG);
  ASSERT_TRUE(echo);
  EXPECT_EQ((*echo)["data"]["from_uid"], "uid_echo");
  EXPECT_EQ((*echo)["data"]["to_uid"], "uid_standin");
  EXPECT_EQ((*echo)["data"]["content"], content);
  EXPECT_FALSE(echo->contains("extend"));
  // A text to anyone else is not echoed.
  text = Json{{"type", MT_SEND_TEXT_MSG}, {"data", {{"to_uid", "uid_alice"}, {"content", "x"}}}}
             .dump();
  ASSERT_EQ(api.tapwire_send(id, text.data(), text.size(), &result), 0);
  ASSERT_TRUE(request(id, MT_GET_SELF_MSG, Json::object(), "fence"));
  size_t texts = 0;
  for (const auto& m : messages_of(rec.events(), id))
    texts += m.value("type", 0) == MT_RECV_TEXT_MSG;
  EXPECT_EQ(texts, 1u);
}

TEST_F(SimRequests, SqlRunsReadOnly) {
  auto [pid, id] = open_logged_in();
  auto run = [&](const std::string& stmt, int db = 1) {
    static int n = 0;
    auto reply =
        request(id, MT_SQL_QUERY_MSG, {{"sql", stmt}, {"db", db}}, "sql_" + std::to_string(++n));
    EXPECT_TRUE(reply);
    return reply ? (*reply)["data"] : Json();
  };
  Json rows =
      run("select username, nickname from contact where alias like '%ali%' or remark like '%Bo%'");
  EXPECT_EQ(rows, Json::parse(R"({"result": [["uid_alice", "Alice"]]})"));
  EXPECT_EQ(run("select username from contact where username = 'nobody'"),
            Json::parse(R"({"result": []})"));
  EXPECT_EQ(run("select 1, 2.5, null, x'ff00', 'a'"),
            Json::parse(R"({"result": [[1, 2.5, null, "ff00", "a"]]})"));
  // A text column holding bytes that are not UTF-8 still gives a valid JSON reply.
  EXPECT_TRUE(run("select cast(x'ff' as text)")["result"].is_array());

  const std::string path = "/tmp/tapwire_sim_attach_" + std::to_string(getpid()) + ".db";
  const char* writes[] = {
      "insert into contact (username, nickname) values ('uid_evil', 'Evil')",
      "update contact set nickname = 'x'",
      "delete from contact",
      "drop table contact",
      "create table t (x)",
      "select 1; delete from contact",
      "attach database '/tmp/tapwire_sim_attach_PID.db' as evil",
      "pragma writable_schema = 1",
      "begin",
      "with x as (select 1) delete from contact",
      "replace into contact (username) values ('uid_alice')",
      "vacuum",
  };
  for (std::string stmt : writes) {
    if (auto at = stmt.find("PID"); at != std::string::npos)
      stmt.replace(at, 3, std::to_string(getpid()));
    SCOPED_TRACE(stmt);
    Json reply = run(stmt);
    EXPECT_FALSE(reply.contains("result")) << reply.dump();
    EXPECT_TRUE(reply["error"].is_string());
  }
  EXPECT_FALSE(std::filesystem::exists(path)) << "ATTACH must not create a file";

  // The tokenizer registry writes nothing, yet its one-argument form hands out a code pointer
  // of this very process and its two-argument form installs one: refused by name, any case.
  for (const std::string stmt :
       {"select fts3_tokenizer('simple')", "select hex(FTS3_Tokenizer('porter'))",
        "select fts3_tokenizer('evil', x'0000000000000000')",
        "select nickname from contact "
        "where fts3_tokenizer('simple') is not null"}) {
    SCOPED_TRACE(stmt);
    Json reply = run(stmt);
    EXPECT_FALSE(reply.contains("result")) << reply.dump();
    EXPECT_EQ(reply.value("error", std::string()), "function fts3_tokenizer() may not be called");
  }
  // Other functions still run.
  EXPECT_EQ(run("select upper('a'), length('abc')"), Json::parse(R"({"result": [["A", 3]]})"));
  EXPECT_EQ(run("select count(*), min(nickname) from contact"),
            Json::parse(R"({"result": [[6, "Alice"]]})"));

  for (const auto& [stmt, db] : std::vector<std::pair<std::string, int>>{
           {"select * from nosuchtable", 1}, {"not sql at all", 1}, {"", 1}, {"select 1", 7}}) {
    SCOPED_TRACE(stmt + " db " + std::to_string(db));
    Json reply = run(stmt, db);
    EXPECT_TRUE(reply["error"].is_string()) << reply.dump();
  }
  // A runaway query is interrupted instead of holding the client forever.
  Json slow =
      run("with recursive c(x) as (select 1 union all select x + 1 from c) select count(*) from c");
  EXPECT_NE(slow.value("error", std::string()).find("interrupted"), std::string::npos)
      << slow.dump();
}

TEST_F(SimRequests, MalformedInputGetsAnErrorNotACrash) {
  auto [pid, id] = open_logged_in();
  int64_t result = 7;
  struct Case {
    const char* name;
    int64_t client_id;
    const char* json;
    size_t len;
    const char* error_part;
  };
  const std::string huge_len_text = "{}";
  const Case cases[] = {
      {"null json", id, nullptr, 4, "json is null"},
      {"huge length", id, huge_len_text.c_str(), size_t(1) << 40, "too large"},
      {"not JSON", id, "{\"type\": ", 9, "not valid JSON"},
      {"not an object", id, "[1, 2]", 6, "not a JSON object"},
      {"no type", id, "{\"data\": {}}", 12, "\"type\""},
      {"type is text", id, "{\"type\": \"11201\"}", 17, "\"type\""},
      {"unknown code", id, "{\"type\": 11046, \"data\": {}}", 27, "unknown request code 11046"},
      {"unknown client", id + 100, "{\"type\": 11201}", 15, "no client connection"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    result = 7;
    EXPECT_NE(api.tapwire_send(c.client_id, c.json, c.len, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_NE(api.error().find(c.error_part), std::string::npos) << api.error();
  }
  EXPECT_NE(api.tapwire_send(id, "{}", 2, nullptr), 0);
  EXPECT_NE(api.tapwire_open(0, nullptr), 0);
  EXPECT_NE(api.tapwire_attach(pid, nullptr), 0);
  EXPECT_NE(api.tapwire_detach(pid, nullptr), 0);
  EXPECT_NE(api.tapwire_sim_spawn(nullptr), 0);
  EXPECT_NE(api.tapwire_sim_inject(nullptr, 3, 1, 0), 0);
  EXPECT_NE(api.tapwire_sim_inject("[]", 2, 1, 0), 0);
  EXPECT_NE(api.tapwire_sim_inject("{", 1, 1, 0), 0);
  EXPECT_NE(api.tapwire_sim_command(nullptr, 0, nullptr, 0, nullptr), 0);
  // The client is still there and answers.
  EXPECT_TRUE(request(id, MT_GET_SELF_MSG, Json::object(), "still_alive"));
}

TEST_F(SimRequests, ConcurrentSendsFromManyThreadsAreEachAnsweredOnce) {
  auto [pid, id] = open_logged_in();
  constexpr int kThreads = 16;
  constexpr int kPerThread = 200;
  size_t before = rec.count();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        std::string text = Json{{"type", i % 2 ? MT_GET_SELF_MSG : MT_GET_ROOMS_MSG},
                                {"data", Json::object()},
                                {"extend", "t" + std::to_string(t) + "_" + std::to_string(i)}}
                               .dump();
        int64_t result = 0;
        if (api.tapwire_send(id, text.data(), text.size(), &result) != 0 || result != 1) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_TRUE(rec.wait_count(before + kThreads * kPerThread, 20s));
  std::set<std::string> extends;
  size_t replies = 0;
  for (const auto& e : rec.events()) {
    if (e.kind == Event::kRecv && e.message.contains("extend")) {
      ++replies;
      extends.insert(e.message["extend"].get<std::string>());
    }
  }
  EXPECT_EQ(replies, size_t(kThreads * kPerThread));
  EXPECT_EQ(extends.size(), size_t(kThreads * kPerThread));
  EXPECT_EQ(api.sent().size(), size_t(kThreads * kPerThread));
}

TEST_F(SimLifecycle, StopJoinsEveryThreadAndSilencesCallbacks) {
  // A first thread lets a sanitizer start its own helper thread before the baseline.
  std::thread([] {}).join();
  size_t baseline = thread_count();
  auto [pid, id] = open_logged_in();
  int64_t other = 0;
  ASSERT_EQ(api.tapwire_open(0, &other), 0);
  std::string msg = Json{{"type", MT_RECV_TEXT_MSG}, {"data", {{"content", "x"}}}}.dump();
  ASSERT_EQ(api.tapwire_sim_inject(msg.data(), msg.size(), 1000000, 1), 0);
  EXPECT_GT(thread_count(), baseline);
  ASSERT_EQ(api.tapwire_sim_stop(), 0) << api.error();
  EXPECT_EQ(thread_count(), baseline);
  size_t after_stop = rec.count();
  // Every thread is joined, so nothing can arrive any more; stop may be repeated.
  int64_t result = 0;
  EXPECT_EQ(rec.count(), after_stop);
  EXPECT_NE(api.tapwire_send(id, "{\"type\": 11201}", 15, &result), 0);
  EXPECT_EQ(api.tapwire_sim_stop(), 0);
}

TEST_F(SimLifecycle, StopFromInsideACallbackDoesNotDeadlock) {
  std::atomic<int> stop_status{-2};
  rec.hook = [&](const Event& e) {
    if (e.kind == Event::kRecv && e.message.value("type", 0) == MT_USER_LOGIN_MSG) {
      stop_status = api.tapwire_sim_stop();
    }
  };
  int64_t pid = 0;
  ASSERT_EQ(api.tapwire_open(0, &pid), 0);
  ASSERT_TRUE(rec.wait_type(1, MT_USER_LOGIN_MSG));
  ASSERT_TRUE(rec.wait_for([&](const std::vector<Event>&) { return stop_status.load() != -2; }));
  EXPECT_EQ(stop_status.load(), 0);
}

}  // namespace
}  // namespace corvid::sim_test
