// The /api/parlo routes against the real simulated client: the route table as documented, the
// key and login refusals, each route's success (answer and recorded envelope), validation, and
// failure answers when the client fails or gives nothing.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/routers/parlo_fixture.hpp"
#include "corvid/app/http/router.hpp"

namespace corvid::test {
namespace {

using boost::beast::http::verb;

// A body each route accepts, so refusals can be told apart from validation.
Json valid_body(const std::string& path) {
  static const Json bodies = {
      {"/api/parlo/send/text", {{"to_uid", "uid_echo"}, {"content", "hi"}}},
      {"/api/parlo/send/room_at",
       {{"to_uid", "room_demo@chatroom"}, {"content", "hi"}, {"at_list", {"uid_alice"}}}},
      {"/api/parlo/send/card", {{"to_uid", "uid_alice"}, {"card_uid", "uid_bob"}}},
      {"/api/parlo/send/link_card",
       {{"to_uid", "uid_alice"}, {"title", "t"}, {"desc", "d"}, {"url", "u"}, {"image_url", "i"}}},
      {"/api/parlo/send/xml", {{"to_uid", "uid_alice"}, {"xml", "<x/>"}, {"app_type", 5}}},
      {"/api/parlo/send/pat", {{"room_uid", "room_demo@chatroom"}, {"patted_uid", "uid_bob"}}},
      {"/api/parlo/contact/detail", {{"uid", "uid_alice"}}},
      {"/api/parlo/contact/search", {{"nickname", "Alice"}}},
      {"/api/parlo/contact/modify_remark", {{"uid", "uid_alice"}, {"remark", "r"}}},
      {"/api/parlo/contact/accept_friend",
       {{"encryptusername", "e"}, {"ticket", "t"}, {"scene", 30}}},
      {"/api/parlo/contact/add_room_friend",
       {{"room_uid", "room_demo@chatroom"}, {"uid", "uid_bob"}, {"verify", "v"}}},
      {"/api/parlo/room/detail", {{"room_uid", "room_demo@chatroom"}}},
      {"/api/parlo/room/members", {{"room_uid", "room_demo@chatroom"}}},
      {"/api/parlo/room/name", {{"room_uid", "room_demo@chatroom"}}},
      {"/api/parlo/room/create", {{"member_list", {"uid_alice", "uid_bob"}}}},
      {"/api/parlo/room/add_member",
       {{"room_uid", "room_demo@chatroom"}, {"member_list", {"uid_echo"}}}},
      {"/api/parlo/room/invite_member",
       {{"room_uid", "room_demo@chatroom"}, {"member_list", {"uid_echo"}}}},
      {"/api/parlo/room/del_member",
       {{"room_uid", "room_demo@chatroom"}, {"member_list", {"uid_bob"}}}},
      {"/api/parlo/room/modify_name", {{"room_uid", "room_demo@chatroom"}, {"name", "New"}}},
      {"/api/parlo/room/modify_notice", {{"room_uid", "room_demo@chatroom"}, {"notice", "n"}}},
      {"/api/parlo/room/quit", {{"room_uid", "room_demo@chatroom"}}},
      {"/api/parlo/sql_query", {{"sql", "select username from contact"}, {"db", 1}}},
  };
  return bodies.contains(path) ? bodies.at(path) : Json(nullptr);
}

// A concrete target for a route template (uploads get their query).
std::string target_of(const app::http::Route& route) {
  std::string t = route.path;
  if (auto at = t.find("{pid}"); at != std::string::npos) t.replace(at, 5, "4321");
  if (route.upload) t += "?to_uid=uid_alice";
  return t;
}

std::string small_form() {
  return "--b0undary\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.png\"\r\n"
         "Content-Type: image/png\r\n\r\nPNGDATA\r\n--b0undary--\r\n";
}

HttpResponse call(HttpClient& client, const app::http::Route& route, const HeaderList& extra) {
  HeaderList headers = extra;
  std::string body;
  if (route.upload) {
    headers.emplace_back("Content-Type", "multipart/form-data; boundary=b0undary");
    body = small_form();
  } else if (route.body != nullptr) {
    headers.emplace_back("Content-Type", "application/json");
    body = valid_body(route.path).dump();
  }
  return client.request(route.method, target_of(route), body, headers);
}

TEST_F(ParloApi, RouteTableListsTheOperationsInDocumentOrder) {
  struct Row {
    verb method;
    const char* path;
    const char* operation;
    const char* summary;
    bool guard;
  };
  const Row rows[] = {
      {verb::get, "/status", "get_parlo_status", "获取Parlo状态", false},
      {verb::post, "/open", "open_parlo", "打开Parlo", false},
      {verb::post, "/attach/{pid}", "attach_parlo", "附加到Parlo进程", false},
      {verb::post, "/detach", "detach_parlo", "分离Parlo进程", false},
      {verb::post, "/wait_login", "wait_login", "等待Parlo登录", false},
      {verb::get, "/self_info", "get_self_info", "获取个人信息", true},
      {verb::get, "/current_uid", "get_current_uid", "获取当前ParloID", true},
      {verb::post, "/send/text", "send_text_message", "发送文本消息", true},
      {verb::post, "/send/room_at", "send_room_at_message", "发送群@消息", true},
      {verb::post, "/send/card", "send_card_message", "发送名片", true},
      {verb::post, "/send/link_card", "send_link_card_message", "发送链接卡片", true},
      {verb::post, "/send/image", "send_image", "发送图片", true},
      {verb::post, "/send/file", "send_file", "发送文件", true},
      {verb::post, "/send/video", "send_video", "发送视频", true},
      {verb::post, "/send/gif", "send_gif", "发送GIF", true},
      {verb::post, "/send/xml", "send_xml_message", "发送XML消息", true},
      {verb::post, "/send/pat", "send_pat_message", "发送拍一拍", true},
      {verb::get, "/contacts", "get_contacts", "获取联系人列表", true},
      {verb::get, "/publics", "get_publics", "获取公众号列表", true},
      {verb::post, "/contact/detail", "get_contact_detail", "获取联系人详情", true},
      {verb::post, "/contact/search", "search_contacts", "搜索联系人", true},
      {verb::post, "/contact/modify_remark", "modify_friend_remark", "修改好友备注", true},
      {verb::post, "/contact/accept_friend", "accept_friend_request", "接受好友请求", true},
      {verb::post, "/contact/add_room_friend", "add_room_friend", "添加群成员为好友", true},
      {verb::get, "/rooms", "get_rooms", "获取群聊列表", true},
      {verb::post, "/room/detail", "get_room_detail", "获取群详情", true},
      {verb::post, "/room/members", "get_room_members", "获取群成员", true},
      {verb::post, "/room/name", "get_room_name", "获取群名", true},
      {verb::post, "/room/create", "create_room", "创建群聊", true},
      {verb::post, "/room/add_member", "add_room_member", "添加群成员", true},
      {verb::post, "/room/invite_member", "invite_room_member", "邀请群成员", true},
      {verb::post, "/room/del_member", "del_room_member", "删除群成员", true},
      {verb::post, "/room/modify_name", "modify_room_name", "修改群名", true},
      {verb::post, "/room/modify_notice", "modify_room_notice", "修改群公告", true},
      {verb::post, "/room/quit", "quit_room", "退出群聊", true},
      {verb::post, "/sql_query", "sql_query", "执行数据库查询", true},
  };
  const auto& routes = server_->router().routes();
  ASSERT_EQ(routes.size(), std::size(rows));
  int bodies = 0;
  int uploads = 0;
  for (std::size_t i = 0; i < routes.size(); ++i) {
    SCOPED_TRACE(rows[i].path);
    const auto& r = routes[i];
    EXPECT_EQ(r.method, rows[i].method);
    EXPECT_EQ(r.path, std::string("/api/parlo") + rows[i].path);
    EXPECT_EQ(r.operation, rows[i].operation);
    EXPECT_EQ(r.summary, rows[i].summary);
    EXPECT_EQ(r.login_guard, rows[i].guard);
    EXPECT_TRUE(r.auth);
    EXPECT_EQ(r.tags, std::vector<std::string>{"Parlo操作"});
    EXPECT_EQ(r.response_record, i == 0 ? "ParloStatusResponse" : "BaseResponse");
    EXPECT_FALSE(r.description.empty());
    if (r.body != nullptr) ++bodies;
    if (r.upload) ++uploads;
  }
  EXPECT_EQ(bodies, 22);
  EXPECT_EQ(uploads, 4);
  EXPECT_EQ(routes[1].description,
            "打开Parlo客户端\n\n- smart: 是否智能模式\n- show_qrcode: 是否显示登录二维码");
  EXPECT_EQ(routes[0].description, "获取当前Parlo进程状态和登录信息");
}

// Without a login every guarded route answers 400 and reaches nothing; a bad key is 401 first.
TEST_F(ParloApi, KeyThenLoginGuardOnEveryRoute) {
  for (const auto& route : server_->router().routes()) {
    SCOPED_TRACE(route.path);
    auto missing = call(*client_, route, {});
    EXPECT_EQ(missing.status, 401);
    EXPECT_EQ(missing.json()["detail"], "缺少认证信息");
    EXPECT_EQ(missing.header("WWW-Authenticate").value_or(""), "Bearer");
    auto wrong = call(*client_, route, {{"Authorization", "Bearer not-the-key"}});
    EXPECT_EQ(wrong.status, 401);
    EXPECT_EQ(wrong.json()["detail"], "无效的API密钥");
    if (!route.login_guard) continue;
    auto r = call(*client_, route, auth_header());
    EXPECT_EQ(r.status, 400) << r.body;
    EXPECT_EQ(r.body, R"({"detail":"Parlo未登录"})");
  }
  EXPECT_TRUE(sim_.sent().empty());
  EXPECT_TRUE(staged().empty());
}

TEST_F(ParloApi, StatusFollowsTheClientsLife) {
  auto before = get("/status");
  ASSERT_EQ(before.status, 200);
  EXPECT_EQ(
      before.body,
      R"({"pid":0,"client_id":0,"login_status":false,"status":false,"login_info":null,"current_uid":null})");

  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  Json s = get("/status").json();
  EXPECT_GT(s["pid"].get<std::int64_t>(), 0);
  EXPECT_GT(s["client_id"].get<std::int64_t>(), 0);
  EXPECT_EQ(s["login_status"], true);
  EXPECT_EQ(s["status"], true);
  EXPECT_EQ(s["login_info"]["uid"], "uid_standin");
  EXPECT_EQ(s["current_uid"], "uid_standin");

  Json uid = get("/current_uid").json();
  EXPECT_EQ(
      uid, Json::parse(
               R"({"success":true,"message":"获取当前ParloID成功","data":{"uid":"uid_standin"}})"));

  Json self = get("/self_info").json();
  EXPECT_EQ(self["success"], true);
  EXPECT_EQ(self["message"], "获取成功");
  EXPECT_FALSE(self["data"].is_null());

  Json waited = post("/wait_login?timeout=1").json();
  EXPECT_EQ(waited, Json::parse(R"({"success":true,"message":"登录成功","data":null})"));

  // The client quits: the guard closes, the last account id stays visible.
  sim_.ok({{"cmd", "quit"}});
  ASSERT_TRUE(wait_until([&] { return !service_->logged_in(); }));
  s = get("/status").json();
  EXPECT_EQ(s["login_status"], false);
  EXPECT_TRUE(s["login_info"].is_null());
  EXPECT_EQ(s["current_uid"], "uid_standin");
  EXPECT_EQ(get("/current_uid").status, 400);
}

TEST_F(ParloApi, LifecycleRoutesAnswerByTheClientsResult) {
  // Before any client: nothing to detach, no login to wait for.
  EXPECT_EQ(post("/detach").json(),
            Json::parse(R"({"success":false,"message":"分离Parlo进程失败","data":null})"));
  EXPECT_EQ(post("/wait_login?timeout=0").json()["message"], "登录超时或失败");

  sim_.ok({{"cmd", "fail"}, {"op", "open"}, {"text", "cannot start"}});
  EXPECT_EQ(post("/open?smart=true&show_qrcode=1").json(),
            Json::parse(R"({"success":false,"message":"Parlo打开失败","data":null})"));
  sim_.ok({{"cmd", "fail"}, {"op", "open"}, {"text", nullptr}});
  ASSERT_NO_FATAL_FAILURE(open_logged_in());

  const auto pid = service_->parlo()->pid();
  EXPECT_EQ(post("/detach").json()["message"], "成功分离Parlo进程");
  sim_.ok({{"cmd", "fail"}, {"op", "attach"}, {"text", "no such process"}});
  EXPECT_EQ(post("/attach/0").json()["message"], "附加到进程 0 失败");
  sim_.ok({{"cmd", "fail"}, {"op", "attach"}, {"text", nullptr}});
  const std::string id = std::to_string(pid);
  EXPECT_EQ(
      post("/attach/" + id).json(),
      Json::parse(R"({"success":true,"message":"成功附加到进程 )" + id + R"(","data":null})"));
}

TEST_F(ParloApi, WaitLoginWaitsForTheLogin) {
  auto r = post("/open");
  ASSERT_EQ(r.json()["success"], true);
  ASSERT_TRUE(wait_until([&] { return service_->parlo()->status(); }));
  std::thread login([&] {
    // The wait is already pending on the server when the user logs in.
    wait_until([&] { return false; }, std::chrono::milliseconds(300));
    sim_.ok({{"cmd", "login"}, {"uid", "uid_standin"}});
  });
  auto waited = post("/wait_login");
  login.join();
  EXPECT_EQ(waited.json()["message"], "登录成功");
}

TEST_F(ParloApi, ParametersAreValidatedBeforeAnything) {
  struct Case {
    const char* target;
    const char* type;
    Json loc;
  };
  const Case cases[] = {
      {"/attach/abc", "int_parsing", {"path", "pid"}},
      {"/attach/99999999999999999999", "less_than_equal", {"path", "pid"}},
      {"/attach/-", "int_parsing", {"path", "pid"}},
      {"/open?smart=maybe", "bool_parsing", {"query", "smart"}},
      {"/open?show_qrcode=2", "bool_parsing", {"query", "show_qrcode"}},
      {"/wait_login?timeout=soon", "int_parsing", {"query", "timeout"}},
      {"/wait_login?timeout=1.5", "int_parsing", {"query", "timeout"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    auto r = post(c.target);
    ASSERT_EQ(r.status, 422) << r.body;
    const Json detail = r.json()["detail"];
    ASSERT_EQ(detail.size(), 1u) << r.body;
    EXPECT_EQ(detail[0]["type"], c.type);
    EXPECT_EQ(detail[0]["loc"], c.loc);
  }
  EXPECT_EQ(service_->parlo()->pid(), 0);  // nothing was opened or attached
}

// True when `part` is found in `whole`: object members by name (recursively), array items each
// matching some item of the array, anything else by equality.
bool includes(const Json& whole, const Json& part) {
  if (part.is_object()) {
    if (!whole.is_object()) return false;
    for (const auto& [key, value] : part.items()) {
      if (!whole.contains(key) || !includes(whole.at(key), value)) return false;
    }
    return true;
  }
  if (part.is_array()) {
    if (!whole.is_array()) return false;
    for (const auto& item : part) {
      bool found = false;
      for (const auto& candidate : whole) found = found || includes(candidate, item);
      if (!found) return false;
    }
    return true;
  }
  return whole == part;
}

// One successful call: the answer's message and data, and the envelope the client recorded.
struct Success {
  verb method;
  const char* path;
  Json body;  // null: no body
  const char* message;
  Json data;      // null: the answer has "data": null; otherwise found in the answer's data
  int code;       // the recorded envelope's type; 0: nothing reaches the client
  Json envelope;  // found in that envelope's data
};

TEST_F(ParloApi, EveryRouteSucceedsThroughTheClient) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  const Json room = "room_demo@chatroom";
  const Success cases[] = {
      {verb::get,
       "/self_info",
       nullptr,
       "获取成功",
       {{"uid", "uid_standin"}, {"nickname", "Corvid Stand-in"}},
       MT_GET_SELF_MSG,
       Json::object()},
      {verb::get,
       "/current_uid",
       nullptr,
       "获取当前ParloID成功",
       {{"uid", "uid_standin"}},
       0,
       nullptr},
      {verb::post,
       "/send/text",
       {{"to_uid", "uid_alice"}, {"content", "你好 \"x\"\n"}},
       "消息发送成功",
       nullptr,
       MT_SEND_TEXT_MSG,
       {{"to_uid", "uid_alice"}, {"content", "你好 \"x\"\n"}}},
      {verb::post,
       "/send/text",
       {{"to_uid", "uid_alice"}, {"content", ""}},
       "消息发送成功",
       nullptr,
       MT_SEND_TEXT_MSG,
       {{"content", ""}}},
      {verb::post,
       "/send/room_at",
       {{"to_uid", room}, {"content", "@Alice hi"}, {"at_list", {"uid_alice", "uid_bob"}}},
       "群@消息发送成功",
       nullptr,
       MT_SEND_ROOM_AT_MSG,
       {{"to_uid", room}, {"content", "@Alice hi"}, {"at_list", {"uid_alice", "uid_bob"}}}},
      {verb::post,
       "/send/room_at",
       {{"to_uid", room}, {"content", "all"}, {"at_list", Json::array()}},
       "群@消息发送成功",
       nullptr,
       MT_SEND_ROOM_AT_MSG,
       {{"at_list", Json::array()}}},
      {verb::post,
       "/send/card",
       {{"to_uid", "uid_alice"}, {"card_uid", "uid_bob"}},
       "名片发送成功",
       nullptr,
       MT_SEND_CARD_MSG,
       {{"to_uid", "uid_alice"}, {"card_uid", "uid_bob"}}},
      {verb::post,
       "/send/link_card",
       {{"to_uid", "uid_alice"},
        {"title", "T"},
        {"desc", "D"},
        {"url", "https://x"},
        {"image_url", "https://i"}},
       "链接卡片发送成功",
       nullptr,
       MT_SEND_LINK_MSG,
       {{"to_uid", "uid_alice"},
        {"title", "T"},
        {"desc", "D"},
        {"url", "https://x"},
        {"image_url", "https://i"}}},
      {verb::post,
       "/send/xml",
       {{"to_uid", "uid_alice"}, {"xml", "<msg/>"}, {"app_type", 33}},
       "XML消息发送成功",
       nullptr,
       MT_SEND_XML_MSG,
       {{"to_uid", "uid_alice"}, {"xml", "<msg/>"}, {"app_type", 33}}},
      {verb::post,
       "/send/xml",
       {{"to_uid", "uid_alice"}, {"xml", "<msg/>"}},
       "XML消息发送成功",
       nullptr,
       MT_SEND_XML_MSG,
       {{"app_type", 5}}},
      {verb::post,
       "/send/pat",
       {{"room_uid", room}, {"patted_uid", "uid_bob"}},
       "拍一拍发送成功",
       {{"room_uid", room}, {"patted_uid", "uid_bob"}},
       MT_SEND_PAT_MSG,
       {{"room_uid", room}, {"patted_uid", "uid_bob"}}},
      {verb::get,
       "/contacts",
       nullptr,
       "获取成功",
       {{{"uid", "uid_alice"}, {"nickname", "Alice"}}},
       MT_GET_CONTACTS_MSG,
       Json::object()},
      {verb::get,
       "/publics",
       nullptr,
       "获取成功",
       {{{"uid", "gh_corvid_news"}}},
       MT_GET_PUBLICS_MSG,
       Json::object()},
      {verb::post,
       "/contact/detail",
       {{"uid", "uid_alice"}},
       "获取成功",
       {{"uid", "uid_alice"}, {"remark", "Alice from work"}},
       MT_GET_CONTACT_DETAIL_MSG,
       {{"uid", "uid_alice"}}},
      {verb::post,
       "/contact/search",
       {{"nickname", "Ali"}},
       "搜索成功",
       {{{"uid", "uid_alice"}}},
       MT_SQL_QUERY_MSG,
       {{"db", 1}}},
      {verb::post,
       "/contact/modify_remark",
       {{"uid", "uid_alice"}, {"remark", ""}},
       "修改备注成功",
       Json::object(),
       MT_MODIFY_FRIEND_REMARK,
       {{"uid", "uid_alice"}, {"remark", ""}}},
      // The client answers that there is no such request: data, so still a success.
      {verb::post,
       "/contact/accept_friend",
       {{"encryptusername", "e"}, {"ticket", "t"}, {"scene", 30}},
       "接受好友请求成功",
       {{"success", false}},
       MT_ACCEPT_FRIEND_MSG,
       {{"encryptusername", "e"}, {"ticket", "t"}, {"scene", 30}}},
      {verb::post,
       "/contact/add_room_friend",
       {{"room_uid", room}, {"uid", "uid_bob"}, {"verify", "hi"}},
       "添加好友成功",
       {{"uid", "uid_bob"}},
       MT_ADD_FRIEND_MSG,
       {{"room_uid", room}, {"uid", "uid_bob"}, {"remark", "hi"}}},
      {verb::get,
       "/rooms",
       nullptr,
       "获取成功",
       {{{"room_uid", room}, {"name", "Demo Room"}}},
       MT_GET_ROOMS_MSG,
       Json::object()},
      {verb::post,
       "/room/detail",
       {{"room_uid", room}},
       "获取成功",
       {{"room_uid", room}, {"members", {{{"uid", "uid_bob"}}}}},
       MT_GET_ROOM_DETAIL_MSG,
       {{"room_uid", room}}},
      {verb::post,
       "/room/members",
       {{"room_uid", room}},
       "获取成功",
       {{{"uid", "uid_bob"}}},
       MT_GET_ROOM_MEMBERS_MSG,
       {{"room_uid", room}}},
      {verb::post,
       "/room/name",
       {{"room_uid", room}},
       "获取成功",
       {{"name", "Demo Room"}},
       MT_SQL_QUERY_MSG,
       {{"db", 1}}},
      {verb::post,
       "/room/create",
       {{"member_list", {"uid_alice", "uid_bob"}}},
       "创建群成功",
       nullptr,
       MT_CREATE_ROOM_MSG,
       {"uid_alice", "uid_bob"}},
      {verb::post,
       "/room/create",
       {{"member_list", Json::array()}},
       "创建群成功",
       nullptr,
       MT_CREATE_ROOM_MSG,
       Json::array()},
      {verb::post,
       "/room/add_member",
       {{"room_uid", room}, {"member_list", {"uid_echo"}}},
       "添加群成员成功",
       {{"room_uid", room}},
       MT_ADD_TO_ROOM_MSG,
       {{"room_uid", room}, {"member_list", {"uid_echo"}}}},
      {verb::post,
       "/room/invite_member",
       {{"room_uid", room}, {"member_list", {"uid_echo"}}},
       "邀请群成员成功",
       {{"room_uid", room}},
       MT_INVITE_TO_ROOM_MSG,
       {{"room_uid", room}, {"member_list", {"uid_echo"}}}},
      {verb::post,
       "/room/del_member",
       {{"room_uid", room}, {"member_list", {"uid_bob"}}},
       "删除群成员成功",
       {{"room_uid", room}},
       MT_DEL_ROOM_MEMBER_MSG,
       {{"room_uid", room}, {"member_list", {"uid_bob"}}}},
      {verb::post,
       "/room/modify_name",
       {{"room_uid", room}, {"name", "新群名"}},
       "修改群名成功",
       {{"name", "新群名"}},
       MT_MOD_ROOM_NAME_MSG,
       {{"room_uid", room}, {"name", "新群名"}}},
      {verb::post,
       "/room/name",
       {{"room_uid", room}},
       "获取成功",
       {{"name", "新群名"}},
       MT_SQL_QUERY_MSG,
       {{"db", 1}}},
      {verb::post,
       "/room/modify_notice",
       {{"room_uid", room}, {"notice", "公告"}},
       "修改群公告成功",
       {{"notice", "公告"}},
       MT_MOD_ROOM_NOTICE_MSG,
       {{"room_uid", room}, {"notice", "公告"}}},
      {verb::post,
       "/room/quit",
       {{"room_uid", room}},
       "退出群成功",
       nullptr,
       MT_QUIT_DEL_ROOM_MSG,
       {{"room_uid", room}}},
      {verb::post,
       "/sql_query",
       {{"sql", "select username, nickname from contact where username = 'uid_alice'"}, {"db", 1}},
       "查询成功",
       {{"result", Json::array({Json::array({"uid_alice", "Alice"})})}},
       MT_SQL_QUERY_MSG,
       {{"sql", "select username, nickname from contact where username = 'uid_alice'"}, {"db", 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.body.dump());
    sim_.ok({{"cmd", "clear_sent"}});
    auto r = c.method == verb::get ? get(c.path) : post(c.path, c.body);
    ASSERT_EQ(r.status, 200) << r.body;
    const Json answer = r.json();
    ASSERT_EQ(answer.size(), 3u) << r.body;
    EXPECT_EQ(answer.begin().key(), "success");
    EXPECT_EQ(answer["success"], true) << r.body;
    EXPECT_EQ(answer["message"], c.message);
    if (c.data.is_null()) {
      EXPECT_TRUE(answer["data"].is_null()) << r.body;
    } else {
      EXPECT_TRUE(includes(answer["data"], c.data)) << r.body;
    }
    const auto all = sim_.sent();
    if (c.code == 0) {
      EXPECT_TRUE(all.empty());
      continue;
    }
    const auto envelopes = sent(c.code);
    ASSERT_FALSE(envelopes.empty()) << "no envelope of type " << c.code;
    EXPECT_TRUE(includes(envelopes[0]["data"], c.envelope)) << envelopes[0].dump();
  }
}

// The edges of the data and flag rules, and caller text that must stay inside its quotes.
TEST_F(ParloApi, EmptyResultsAreSuccessesAndQuotesStayQuoted) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  struct Case {
    const char* path;
    Json body;
    const char* answer;
    bool asks_client;
  };
  const Case cases[] = {
      // Nothing to search for: no statement at all.
      {"/contact/search",
       {{"uid", nullptr}, {"nickname", ""}},
       R"({"success":true,"message":"搜索成功","data":[]})",
       false},
      {"/contact/search",
       {{"nickname", "nobody-has-this"}, {"fuzzy_search", false}},
       R"({"success":true,"message":"搜索成功","data":[]})",
       true},
      {"/contact/search",
       {{"nickname", "x' or '1'='1"}},
       R"({"success":true,"message":"搜索成功","data":[]})",
       true},
      {"/room/name",
       {{"room_uid", "room_none@chatroom"}},
       R"({"success":true,"message":"获取成功","data":{"name":""}})",
       true},
      {"/room/name",
       {{"room_uid", "x' or '1'='1"}},
       R"({"success":true,"message":"获取成功","data":{"name":""}})",
       true},
      {"/sql_query",
       {{"sql", "select username from contact where 0"}, {"db", 1}},
       R"({"success":true,"message":"查询成功","data":{"result":[]}})",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.body.dump());
    sim_.ok({{"cmd", "clear_sent"}});
    auto r = post(c.path, c.body);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body, c.answer);
    EXPECT_EQ(!sim_.sent().empty(), c.asks_client);
  }
  // fuzzy_search false reaches the client as an exact pattern.
  sim_.ok({{"cmd", "clear_sent"}});
  post("/contact/search", {{"nickname", "Alice"}, {"fuzzy_search", false}});
  const auto queries = sent(MT_SQL_QUERY_MSG);
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0]["data"]["sql"], "select username from contact where nickname like 'Alice'");
}

// Large sends and answers are built off the loop threads: what reaches the client and what the
// caller gets back are exactly what small ones give.
TEST_F(ParloApi, LargeSendsAndAnswersArriveWhole) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  for (const std::size_t size : {std::size_t{40} << 10, std::size_t{2} << 20}) {
    SCOPED_TRACE(size);
    std::string content;
    while (content.size() < size) content += "你好, corvid \"quoted\" \\ \x01 line\n";
    sim_.ok({{"cmd", "clear_sent"}});
    auto r = post("/send/text", {{"to_uid", "filehelper"}, {"content", content}});
    ASSERT_EQ(r.status, 200) << r.body.substr(0, 200);
    EXPECT_EQ(r.json()["message"], "消息发送成功");
    const auto envelopes = sent(MT_SEND_TEXT_MSG);
    ASSERT_EQ(envelopes.size(), 1u);
    EXPECT_EQ(envelopes[0]["data"]["content"], content);
  }
  // About 350 KiB of rows: written out on the side pool.
  auto r = post("/sql_query", {{"sql",
                                "with recursive c(x) as (select 1 union all select x + 1 "
                                "from c limit 3000) select x, hex(zeroblob(50)) from c"},
                               {"db", 1}});
  ASSERT_EQ(r.status, 200) << r.body.substr(0, 200);
  const Json answer = r.json();
  EXPECT_EQ(answer["message"], "查询成功");
  ASSERT_EQ(answer["data"]["result"].size(), 3000u);
  EXPECT_EQ(answer["data"]["result"][2999], Json::array({3000, std::string(100, '0')}));
}

// Each route's failure text, as the caller reads it in "message" of a 200 answer.
struct FailureRoute {
  verb method;
  const char* path;
  const char* message;
};
const FailureRoute kFailureTexts[] = {
    {verb::get, "/self_info", "获取自己信息失败"},
    {verb::post, "/send/text", "消息发送失败"},
    {verb::post, "/send/room_at", "群@消息发送失败"},
    {verb::post, "/send/card", "名片发送失败"},
    {verb::post, "/send/link_card", "链接卡片发送失败"},
    {verb::post, "/send/xml", "XML消息发送失败"},
    {verb::post, "/send/pat", "拍一拍发送失败"},
    {verb::get, "/contacts", "获取联系人列表失败"},
    {verb::get, "/publics", "获取公众号列表失败"},
    {verb::post, "/contact/detail", "获取联系人详情失败"},
    {verb::post, "/contact/search", "搜索联系人失败"},
    {verb::post, "/contact/modify_remark", "修改备注失败"},
    {verb::post, "/contact/accept_friend", "接受好友请求失败"},
    {verb::post, "/contact/add_room_friend", "添加好友失败"},
    {verb::get, "/rooms", "获取群列表失败"},
    {verb::post, "/room/detail", "获取群详情失败"},
    {verb::post, "/room/members", "获取群成员失败"},
    {verb::post, "/room/name", "获取群名失败"},
    {verb::post, "/room/create", "创建群失败"},
    {verb::post, "/room/add_member", "添加群成员失败"},
    {verb::post, "/room/invite_member", "邀请群成员失败"},
    {verb::post, "/room/del_member", "删除群成员失败"},
    {verb::post, "/room/modify_name", "修改群名失败"},
    {verb::post, "/room/modify_notice", "修改群公告失败"},
    {verb::post, "/room/quit", "退出群失败"},
    {verb::post, "/sql_query", "查询失败"},
};

// The row of kFailureTexts for path; a row naming the missing path when there is none.
FailureRoute failure_route(std::string_view path) {
  for (const auto& row : kFailureTexts) {
    if (row.path == path) return row;
  }
  ADD_FAILURE() << "no failure text for " << path;
  return {verb::get, "", "(no failure text)"};
}

std::string failure_body(const char* message) {
  return std::string(R"({"success":false,"message":")") + message + R"(","data":null})";
}

// The client fails every command it is handed: each route answers 200 with its own failure
// text and no data, and nothing is recorded as sent.
TEST_F(ParloApi, ClientFailuresAnswerEachRoutesFailureText) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  sim_.ok({{"cmd", "fail"}, {"op", "send"}, {"text", "client refused"}});
  for (const auto& c : kFailureTexts) {
    SCOPED_TRACE(c.path);
    const std::string full = std::string("/api/parlo") + c.path;
    auto r = c.method == verb::get ? get(c.path) : post(c.path, valid_body(full));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body, failure_body(c.message));
  }
  EXPECT_TRUE(sim_.sent().empty());
}

// Data routes: a reply without data is a failure; the client's data is never invented.
TEST_F(ParloApi, DataRoutesFailWhenTheReplyCarriesNothing) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  sim_.ok({{"cmd", "reply"}, {"code", 0}, {"mode", "no_data"}});
  const char* const paths[] = {
      "/self_info",
      "/contacts",
      "/publics",
      "/contact/detail",
      "/contact/modify_remark",
      "/contact/accept_friend",
      "/contact/add_room_friend",
      "/rooms",
      "/room/detail",
      "/room/members",
      "/room/name",
      "/room/add_member",
      "/room/invite_member",
      "/room/del_member",
      "/room/modify_name",
      "/room/modify_notice",
      "/send/pat",
      "/sql_query",
  };
  for (const char* path : paths) {
    const FailureRoute c = failure_route(path);
    SCOPED_TRACE(c.path);
    const std::string full = std::string("/api/parlo") + c.path;
    auto r = c.method == verb::get ? get(c.path) : post(c.path, valid_body(full));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body, failure_body(c.message));
  }
}

// Replies that never come: every waiting route ends with its failure once the binding's wait
// is over. The requests run side by side, so the suite pays that wait once.
TEST_F(ParloApi, UnansweredRequestsFailAfterTheWait) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  sim_.ok({{"cmd", "reply"}, {"code", 0}, {"mode", "drop"}});
  std::vector<FailureRoute> cases;
  for (const char* path : {"/self_info", "/send/pat", "/contact/detail", "/contact/search",
                           "/room/name", "/room/modify_name", "/sql_query"}) {
    cases.push_back(failure_route(path));
  }
  std::vector<std::string> answers(cases.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    threads.emplace_back([&, i] {
      HttpClient c(server_->port(), std::chrono::seconds(30));
      const FailureRoute& k = cases[i];
      const std::string full = std::string("/api/parlo") + k.path;
      answers[i] = k.method == verb::get ? c.get(full, auth_header()).body
                                         : c.post_json(full, valid_body(full), auth_header()).body;
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].path);
    EXPECT_EQ(answers[i], failure_body(cases[i].message));
  }
}

// Bodies that do not fit their record: 422 naming each field, before the guard and before the
// client. The field table is the API's contract, written out here independently of the code.
TEST_F(ParloApi, BodiesThatDoNotFitTheirRecordAre422) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  enum Kind { text, integer, boolean, list, nullable_text };
  struct FieldRule {
    const char* name;
    Kind kind;
    bool required;
  };
  struct RouteFields {
    const char* path;
    std::vector<FieldRule> fields;
  };
  const RouteFields routes[] = {
      {"/send/text", {{"to_uid", text, true}, {"content", text, true}}},
      {"/send/room_at", {{"to_uid", text, true}, {"content", text, true}, {"at_list", list, true}}},
      {"/send/card", {{"to_uid", text, true}, {"card_uid", text, true}}},
      {"/send/link_card",
       {{"to_uid", text, true},
        {"title", text, true},
        {"desc", text, true},
        {"url", text, true},
        {"image_url", text, true}}},
      {"/send/xml", {{"to_uid", text, true}, {"xml", text, true}, {"app_type", integer, false}}},
      {"/send/pat", {{"room_uid", text, true}, {"patted_uid", text, true}}},
      {"/contact/detail", {{"uid", text, true}}},
      {"/contact/search",
       {{"uid", nullable_text, false},
        {"account", nullable_text, false},
        {"nickname", nullable_text, false},
        {"remark", nullable_text, false},
        {"fuzzy_search", boolean, false}}},
      {"/contact/modify_remark", {{"uid", text, true}, {"remark", text, true}}},
      {"/contact/accept_friend",
       {{"encryptusername", text, true}, {"ticket", text, true}, {"scene", integer, true}}},
      {"/contact/add_room_friend",
       {{"room_uid", text, true}, {"uid", text, true}, {"verify", text, true}}},
      {"/room/detail", {{"room_uid", text, true}}},
      {"/room/members", {{"room_uid", text, true}}},
      {"/room/name", {{"room_uid", text, true}}},
      {"/room/create", {{"member_list", list, true}}},
      {"/room/add_member", {{"room_uid", text, true}, {"member_list", list, true}}},
      {"/room/invite_member", {{"room_uid", text, true}, {"member_list", list, true}}},
      {"/room/del_member", {{"room_uid", text, true}, {"member_list", list, true}}},
      {"/room/modify_name", {{"room_uid", text, true}, {"name", text, true}}},
      {"/room/modify_notice", {{"room_uid", text, true}, {"notice", text, true}}},
      {"/room/quit", {{"room_uid", text, true}}},
      {"/sql_query", {{"sql", text, true}, {"db", integer, true}}},
  };
  // A value of the wrong JSON type for each kind, and the error it must give.
  const auto wrong = [](Kind k) -> std::pair<Json, const char*> {
    switch (k) {
      case text:
        return {5, "string_type"};
      case nullable_text:
        return {false, "string_type"};
      case integer:
        return {"5", "int_type"};
      case boolean:
        return {"yes", "bool_type"};
      case list:
        return {"uid_alice", "list_type"};
    }
    return {nullptr, ""};
  };
  const auto check = [&](const std::string& path, const std::string& body, const char* type,
                         const Json& loc) {
    SCOPED_TRACE(path + " " + body);
    auto r = client_->request(verb::post, "/api/parlo" + path, body,
                              {auth_header()[0], {"Content-Type", "application/json"}});
    ASSERT_EQ(r.status, 422) << r.body;
    const Json detail = r.json()["detail"];
    ASSERT_EQ(detail.size(), 1u) << r.body;
    EXPECT_EQ(detail[0]["type"], type) << r.body;
    if (!loc.is_null()) {
      EXPECT_EQ(detail[0]["loc"], loc) << r.body;
    }
    EXPECT_TRUE(detail[0].contains("msg"));
  };
  // Logged out: a 422 comes before the login guard's 400.
  sim_.ok({{"cmd", "logout"}});
  ASSERT_TRUE(wait_until([&] { return !service_->logged_in(); }));
  std::size_t checked = 0;
  for (const auto& route : routes) {
    const Json valid = valid_body(std::string("/api/parlo") + route.path);
    ASSERT_TRUE(valid.is_object()) << route.path;
    for (const auto& f : route.fields) {
      if (f.required) {
        Json body = valid;
        body.erase(f.name);
        check(route.path, body.dump(), "missing", {"body", f.name});
        if (f.kind == text || f.kind == list) {
          body[f.name] = nullptr;
          check(route.path, body.dump(), f.kind == text ? "string_type" : "list_type",
                {"body", f.name});
        }
      }
      Json body = valid;
      const auto [value, type] = wrong(f.kind);
      body[f.name] = value;
      check(route.path, body.dump(), type, {"body", f.name});
      ++checked;
    }
    // The body itself: absent, not an object, not JSON.
    check(route.path, "", "missing", {"body"});
    check(route.path, "[1]", "model_attributes_type", {"body"});
    check(route.path, R"({"a":)", "json_invalid", nullptr);
  }
  EXPECT_EQ(checked, 48u);
  // Finer type rules.
  check("/send/xml", R"({"to_uid":"a","xml":"x","app_type":true})", "int_type",
        {"body", "app_type"});
  check("/send/xml", R"({"to_uid":"a","xml":"x","app_type":5.5})", "int_from_float",
        {"body", "app_type"});
  check("/sql_query", R"({"sql":"s","db":9223372036854775808})", "less_than_equal", {"body", "db"});
  check("/contact/accept_friend", R"({"encryptusername":"e","ticket":"t","scene":false})",
        "int_type", {"body", "scene"});
  check("/contact/search", R"({"fuzzy_search":1})", "bool_type", {"body", "fuzzy_search"});
  check("/send/room_at", R"({"to_uid":"r","content":"c","at_list":["a",2]})", "string_type",
        {"body", "at_list", 1});
  check("/room/create", R"({"member_list":["a",null]})", "string_type", {"body", "member_list", 1});
  // Every error of one body is listed, in field order.
  auto r = client_->request(verb::post, "/api/parlo/send/text", R"({"to_uid":null,"content":5})",
                            {auth_header()[0], {"Content-Type", "application/json"}});
  ASSERT_EQ(r.status, 422);
  const Json detail = r.json()["detail"];
  ASSERT_EQ(detail.size(), 2u) << r.body;
  EXPECT_EQ(detail[0]["loc"], Json({"body", "to_uid"}));
  EXPECT_EQ(detail[1]["loc"], Json({"body", "content"}));
  EXPECT_TRUE(sim_.sent().empty());
}
}  // namespace
}  // namespace corvid::test
