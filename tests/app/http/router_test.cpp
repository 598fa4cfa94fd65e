#include "corvid/app/http/router.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvid/app/security.hpp"

namespace corvid::app::http {
namespace {

Handler ok_handler() {
  return [](Request&) -> net::awaitable<Response> { co_return text_response("ok"); };
}

Route route(bhttp::verb method, std::string path) {
  Route r;
  r.method = method;
  r.path = std::move(path);
  r.handler = ok_handler();
  return r;
}

class RouterTest : public ::testing::Test {
 protected:
  RouterTest() : auth_(AuthManager::KeySource([] { return KeyEntries{}; })), router_(auth_) {}
  AuthManager auth_;
  Router router_;
};

TEST_F(RouterTest, MatchesTemplatesMethodsAndHead) {
  router_.add(route(bhttp::verb::get, "/api/parlo/status"));
  router_.add(route(bhttp::verb::post, "/api/parlo/attach/{pid}"));
  router_.add(route(bhttp::verb::post, "/api/parlo/status"));
  router_.add(route(bhttp::verb::get, "/"));
  Route ws;
  ws.kind = RouteKind::websocket;
  ws.path = "/api/ws/connect/{user_uid}";
  ws.ws_run = [](Request&, WebSocketStream) -> net::awaitable<void> { co_return; };
  router_.add(std::move(ws));

  struct Case {
    const char* name;
    bhttp::verb method;
    std::string path;
    bool websocket;
    RouteMatch::Kind kind;
    std::string allow;
    std::vector<std::pair<std::string, std::string>> params;
  };
  using K = RouteMatch::Kind;
  const std::vector<Case> cases = {
      {"get", bhttp::verb::get, "/api/parlo/status", false, K::found, "", {}},
      {"head answers like get", bhttp::verb::head, "/api/parlo/status", false, K::found, "", {}},
      {"second method of one path",
       bhttp::verb::post,
       "/api/parlo/status",
       false,
       K::found,
       "",
       {}},
      {"wrong method lists all",
       bhttp::verb::delete_,
       "/api/parlo/status",
       false,
       K::method_not_allowed,
       "GET, POST",
       {}},
      {"path parameter",
       bhttp::verb::post,
       "/api/parlo/attach/42",
       false,
       K::found,
       "",
       {{"pid", "42"}}},
      {"parameter needs a segment",
       bhttp::verb::post,
       "/api/parlo/attach/",
       false,
       K::not_found,
       "",
       {}},
      {"parameter is one segment",
       bhttp::verb::post,
       "/api/parlo/attach/4/2",
       false,
       K::not_found,
       "",
       {}},
      {"get on post-only path",
       bhttp::verb::get,
       "/api/parlo/attach/1",
       false,
       K::method_not_allowed,
       "POST",
       {}},
      {"unknown", bhttp::verb::get, "/nope", false, K::not_found, "", {}},
      {"trailing slash is another path",
       bhttp::verb::get,
       "/api/parlo/status/",
       false,
       K::not_found,
       "",
       {}},
      {"root", bhttp::verb::get, "/", false, K::found, "", {}},
      {"websocket route",
       bhttp::verb::get,
       "/api/ws/connect/uid 1",
       true,
       K::found,
       "",
       {{"user_uid", "uid 1"}}},
      {"plain get to websocket path",
       bhttp::verb::get,
       "/api/ws/connect/u",
       false,
       K::not_found,
       "",
       {}},
      {"upgrade to http path", bhttp::verb::get, "/api/parlo/status", true, K::not_found, "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto m = router_.match(c.method, c.path, c.websocket);
    EXPECT_EQ(m.kind, c.kind);
    EXPECT_EQ(m.allow, c.allow);
    EXPECT_EQ(m.path_params, c.params);
  }
}

TEST_F(RouterTest, RefusesBadEntries) {
  router_.add(route(bhttp::verb::get, "/a/{id}"));
  EXPECT_THROW(router_.add(route(bhttp::verb::get, "/a/{id}")), std::invalid_argument);
  EXPECT_NO_THROW(router_.add(route(bhttp::verb::post, "/a/{id}")));
  for (const char* bad : {"a", "", "/x/{", "/x/{a}b", "/x/{a}{b}", "/x/}"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(router_.add(route(bhttp::verb::get, bad)), std::invalid_argument);
  }
  Route no_handler;
  no_handler.path = "/n";
  EXPECT_THROW(router_.add(std::move(no_handler)), std::invalid_argument);
  EXPECT_EQ(template_names("/api/{a}/x/{b}"), (std::vector<std::string>{"a", "b"}));
}

TEST_F(RouterTest, MountsCoverOnlyTheirPrefix) {
  router_.mount({"/static", "/tmp"});
  EXPECT_THROW(router_.mount({"/static/", "/tmp"}), std::invalid_argument);
  const auto file = router_.match_mount("/static/css/a.css");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->second, "css/a.css");
  EXPECT_EQ(router_.match_mount("/static")->second, "");
  EXPECT_FALSE(router_.match_mount("/staticx/a"));
  EXPECT_FALSE(router_.match_mount("/other"));
}

// The 413 names the limit the body passed, in the unit it was configured in.
TEST(BodyLimit, TheRefusalNamesTheLimit) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {8ull << 20, "8 MiB"}, {200ull << 20, "200 MiB"},
      {64 * 1024, "64 KiB"}, {1536, "1536 bytes"},
      {1, "1 byte"},         {(1ull << 20) + 1024, "1025 KiB"},
  };
  for (const auto& [limit, text] : cases) {
    SCOPED_TRACE(text);
    const Response answer = body_too_large(limit);
    EXPECT_EQ(answer.status, bhttp::status::payload_too_large);
    EXPECT_TRUE(answer.close);
    EXPECT_EQ(Json::parse(answer.body),
              (Json{{"detail", std::string("Request body exceeds the limit of ") + text}}));
  }
}

}  // namespace
}  // namespace corvid::app::http
