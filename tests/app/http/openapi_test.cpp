// The API document generated from a route table, and the documentation routes served by a real
// server on a loopback port.
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvid/app/http/docs.hpp"
#include "corvid/app/http/openapi.hpp"
#include "corvid/app/http/record.hpp"
#include "corvid/app/http/router.hpp"
#include "corvid/app/security.hpp"
#include "support/http_client.hpp"
#include "support/test_server.hpp"

namespace {

using corvid::Json;
using namespace corvid::app::http;
using boost::beast::http::verb;

Handler ok_handler() {
  return [](Request&) -> net::awaitable<Response> { co_return json_response(Json::object()); };
}

Route api_route(verb method, std::string path, std::string operation, std::string summary) {
  Route r;
  r.method = method;
  r.path = std::move(path);
  r.operation = std::move(operation);
  r.summary = std::move(summary);
  r.handler = ok_handler();
  r.tags = {"Parlo操作"};
  r.response_record = "BaseResponse";
  r.auth = true;
  return r;
}

// A table shaped like the application's: guarded and unguarded API routes with every kind of
// input, the application's own "/" and "/health", a route kept out of the document and a
// WebSocket route.
std::vector<Route> sample_routes() {
  std::vector<Route> routes;
  Route status = api_route(verb::get, "/api/parlo/status", "get_parlo_status", "获取Parlo状态");
  status.description = "获取当前Parlo进程状态和登录信息";
  status.response_record = "ParloStatusResponse";
  routes.push_back(status);

  Route open = api_route(verb::post, "/api/parlo/open", "open_parlo", "打开Parlo");
  open.description = "打开Parlo客户端\n\n- smart: 是否智能模式\n- show_qrcode: 是否显示登录二维码";
  open.params = {query_param("smart", FieldType::boolean, false),
                 query_param("show_qrcode", FieldType::boolean, false)};
  routes.push_back(open);

  Route attach =
      api_route(verb::post, "/api/parlo/attach/{pid}", "attach_parlo", "附加到Parlo进程");
  attach.params = {path_param("pid", FieldType::integer)};
  routes.push_back(attach);

  Route wait = api_route(verb::post, "/api/parlo/wait_login", "wait_login", "等待Parlo登录");
  wait.params = {query_param("timeout", FieldType::nullable_integer, nullptr)};
  routes.push_back(wait);

  Route text = api_route(verb::post, "/api/parlo/send/text", "send_text_message", "发送文本消息");
  text.body = &records::send_text_request();
  text.login_guard = true;
  routes.push_back(text);

  Route image = api_route(verb::post, "/api/parlo/send/image", "send_image", "发送图片");
  image.params = {query_param("to_uid", FieldType::string)};
  image.upload = true;
  routes.push_back(image);

  Route search =
      api_route(verb::post, "/api/parlo/contact/search", "search_contacts", "搜索联系人");
  search.body = &records::search_contacts_request();
  routes.push_back(search);

  Route stats =
      api_route(verb::get, "/api/ws/stats", "get_websocket_stats", "获取WebSocket连接统计");
  stats.tags = {"WebSocket消息推送"};
  routes.push_back(stats);

  Route ws;
  ws.kind = RouteKind::websocket;
  ws.path = "/api/ws/connect/{user_uid}";
  ws.operation = "websocket_endpoint";
  routes.push_back(ws);

  Route hidden = api_route(verb::get, "/static-ish", "hidden", "");
  hidden.in_schema = false;
  routes.push_back(hidden);

  Route root;
  root.path = "/";
  root.operation = "root";
  root.description = "项目首页";
  root.response_type = std::string(kHtmlType);
  root.handler = ok_handler();
  routes.push_back(root);

  Route health;
  health.path = "/health";
  health.operation = "health_check";
  health.description = "健康检查";
  health.handler = ok_handler();
  routes.push_back(health);
  return routes;
}

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

// Every {"$ref": ...} anywhere in `node`.
void collect_refs(const Json& node, std::vector<std::string>& refs) {
  if (node.is_object()) {
    for (const auto& item : node.items()) {
      if (item.key() == "$ref" && item.value().is_string()) refs.push_back(item.value());
      collect_refs(item.value(), refs);
    }
  } else if (node.is_array()) {
    for (const auto& item : node) collect_refs(item, refs);
  }
}

TEST(OpenApi, DocumentListsOperationsInRegistrationOrder) {
  const std::vector<Route> routes = sample_routes();
  const Json doc = build_openapi(routes, default_api_info());

  EXPECT_EQ(keys_of(doc), (std::vector<std::string>{"openapi", "info", "paths", "components"}));
  EXPECT_EQ(doc["openapi"], "3.1.0");
  EXPECT_EQ(
      doc["info"].dump(),
      R"({"title":"CorvidParlo机器人API","description":"基于HOOK的Parlo自动化接口，支持WebSocket实时消息推送","version":"2.0.0"})");

  // WebSocket and undocumented routes are not operations.
  EXPECT_EQ(keys_of(doc["paths"]),
            (std::vector<std::string>{
                "/api/parlo/status", "/api/parlo/open", "/api/parlo/attach/{pid}",
                "/api/parlo/wait_login", "/api/parlo/send/text", "/api/parlo/send/image",
                "/api/parlo/contact/search", "/api/ws/stats", "/", "/health"}));

  struct Case {
    const char* path;
    const char* method;
    const char* operation_id;
    const char* summary;
    bool validation;
  };
  const std::vector<Case> cases = {
      {"/api/parlo/status", "get", "get_parlo_status_api_parlo_status_get", "获取Parlo状态", false},
      {"/api/parlo/open", "post", "open_parlo_api_parlo_open_post", "打开Parlo", true},
      {"/api/parlo/attach/{pid}", "post", "attach_parlo_api_parlo_attach__pid__post",
       "附加到Parlo进程", true},
      {"/api/parlo/send/text", "post", "send_text_message_api_parlo_send_text_post", "发送文本消息",
       true},
      {"/api/parlo/send/image", "post", "send_image_api_parlo_send_image_post", "发送图片", true},
      {"/api/ws/stats", "get", "get_websocket_stats_api_ws_stats_get", "获取WebSocket连接统计",
       false},
      {"/", "get", "root__get", "Root", false},
      {"/health", "get", "health_check_health_get", "Health Check", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Json& op = doc["paths"][c.path][c.method];
    EXPECT_EQ(op["operationId"], c.operation_id);
    EXPECT_EQ(op["summary"], c.summary);
    EXPECT_EQ(op["responses"].contains("422"), c.validation);
    EXPECT_EQ(op["responses"]["200"]["description"], "Successful Response");
  }
  EXPECT_EQ(doc["paths"]["/api/parlo/open"]["post"]["description"],
            "打开Parlo客户端\n\n- smart: 是否智能模式\n- show_qrcode: 是否显示登录二维码");
  EXPECT_EQ(doc["paths"]["/api/parlo/open"]["post"]["tags"], (Json{"Parlo操作"}));
  EXPECT_FALSE(doc["paths"]["/"]["get"].contains("tags"));
  EXPECT_EQ(doc["paths"]["/"]["get"]["responses"]["200"]["content"].dump(),
            R"({"text/html":{"schema":{"type":"string"}}})");
  EXPECT_EQ(doc["paths"]["/health"]["get"]["responses"]["200"]["content"].dump(),
            R"({"application/json":{"schema":{}}})");
}

TEST(OpenApi, EveryOperationRequiresTheOneBearerScheme) {
  const std::vector<Route> routes = sample_routes();
  const Json doc = build_openapi(routes, default_api_info());
  EXPECT_EQ(doc["components"]["securitySchemes"].dump(),
            R"({"BearerAuth":{"type":"http","scheme":"bearer","bearerFormat":"JWT",)"
            R"("description":"API密钥认证，格式: Bearer hvtrno"}})");
  int operations = 0;
  for (const auto& path : doc["paths"].items()) {
    for (const auto& op : path.value().items()) {
      SCOPED_TRACE(path.key() + " " + op.key());
      ++operations;
      EXPECT_EQ(op.value()["security"].dump(), R"([{"BearerAuth":[]}])");
    }
  }
  EXPECT_EQ(operations, 10);
}

TEST(OpenApi, InputsAndSchemasComeFromTheRecords) {
  const std::vector<Route> routes = sample_routes();
  const Json doc = build_openapi(routes, default_api_info());
  const Json& paths = doc["paths"];
  const Json& schemas = doc["components"]["schemas"];

  EXPECT_EQ(paths["/api/parlo/open"]["post"]["parameters"][0].dump(),
            R"({"name":"smart","in":"query","required":false,)"
            R"("schema":{"type":"boolean","default":false,"title":"Smart"}})");
  EXPECT_EQ(paths["/api/parlo/open"]["post"]["parameters"][1]["schema"]["title"], "Show Qrcode");
  EXPECT_EQ(
      paths["/api/parlo/attach/{pid}"]["post"]["parameters"][0].dump(),
      R"({"name":"pid","in":"path","required":true,"schema":{"type":"integer","title":"Pid"}})");
  EXPECT_EQ(paths["/api/parlo/wait_login"]["post"]["parameters"][0]["schema"].dump(),
            R"({"anyOf":[{"type":"integer"},{"type":"null"}],"default":null,"title":"Timeout"})");

  EXPECT_EQ(
      paths["/api/parlo/send/text"]["post"]["requestBody"].dump(),
      R"({"content":{"application/json":{"schema":{"$ref":"#/components/schemas/SendTextRequest"}}},"required":true})");
  EXPECT_EQ(schemas["SendTextRequest"].dump(),
            R"({"properties":{"to_uid":{"type":"string","title":"To Uid"},)"
            R"("content":{"type":"string","title":"Content"}},"type":"object",)"
            R"("required":["to_uid","content"],"title":"SendTextRequest"})");
  // A record without required fields has no "required" list; defaults are documented.
  EXPECT_FALSE(schemas["SearchContactsRequest"].contains("required"));
  EXPECT_EQ(schemas["SearchContactsRequest"]["properties"]["fuzzy_search"].dump(),
            R"({"type":"boolean","default":true,"title":"Fuzzy Search"})");

  const Json& upload = paths["/api/parlo/send/image"]["post"]["requestBody"]["content"];
  EXPECT_EQ(
      upload.dump(),
      R"({"multipart/form-data":{"schema":{"$ref":"#/components/schemas/Body_send_image_api_parlo_send_image_post"}}})");
  EXPECT_EQ(
      schemas["Body_send_image_api_parlo_send_image_post"].dump(),
      R"({"properties":{"file":{"type":"string","format":"binary","title":"File"}},)"
      R"("type":"object","required":["file"],"title":"Body_send_image_api_parlo_send_image_post"})");

  EXPECT_EQ(schemas["ParloStatusResponse"]["required"],
            (Json{"pid", "client_id", "login_status", "status", "login_info", "current_uid"}));
  EXPECT_EQ(schemas["BaseResponse"]["required"], (Json{"success", "message"}));
  EXPECT_EQ(schemas["ValidationError"]["required"], (Json{"loc", "msg", "type"}));

  // Exactly the referenced schemas, and every reference resolves.
  EXPECT_EQ(keys_of(schemas), (std::vector<std::string>{
                                  "BaseResponse", "Body_send_image_api_parlo_send_image_post",
                                  "HTTPValidationError", "ParloStatusResponse",
                                  "SearchContactsRequest", "SendTextRequest", "ValidationError"}));
  std::vector<std::string> refs;
  collect_refs(doc, refs);
  EXPECT_FALSE(refs.empty());
  for (const auto& ref : refs) {
    SCOPED_TRACE(ref);
    ASSERT_EQ(ref.rfind("#/components/schemas/", 0), 0u);
    EXPECT_TRUE(schemas.contains(ref.substr(std::string("#/components/schemas/").size())));
  }
}

TEST(OpenApi, UnknownResponseRecordIsAnError) {
  std::vector<Route> routes = sample_routes();
  routes[0].response_record = "NoSuchRecord";
  EXPECT_THROW(build_openapi(routes, default_api_info()), std::invalid_argument);
}

TEST(OpenApi, CacheKeepsTheFirstDocument) {
  corvid::app::AuthManager auth([] { return corvid::app::KeyEntries{}; });
  Router router(auth);
  router.add(api_route(verb::get, "/api/a", "a", "A"));
  OpenApiCache cache(router, default_api_info());
  const std::string first = cache.text();
  EXPECT_NE(first.find("/api/a"), std::string::npos);
  router.add(api_route(verb::get, "/api/b", "b", "B"));
  EXPECT_EQ(cache.text(), first);
  EXPECT_EQ(&cache.text(), &cache.text());
}

// The documentation routes on a real server.
class DocsRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.emplace(corvid::test::TestServerOptions{{{"main", "k-123"}}, 2, {}});
    for (Route& r : sample_routes()) {
      if (r.kind == RouteKind::http) server_->router().add(std::move(r));
    }
    add_docs_routes(server_->router(), DocsOptions{vendor_dir(), default_api_info()});
    server_->start();
  }
  void TearDown() override { server_.reset(); }

  static std::filesystem::path vendor_dir() {
    return std::filesystem::path(CORVID_SOURCE_ROOT) / "web" / "vendor";
  }

  std::optional<corvid::test::TestServer> server_;
};

TEST_F(DocsRoutes, DocumentIsServedWithoutKeyAndListsNoDocsRoute) {
  corvid::test::HttpClient client(server_->port());
  const auto first = client.get("/openapi.json");
  ASSERT_EQ(first.status, 200);
  EXPECT_EQ(first.header("content-type").value_or("").rfind("application/json", 0), 0u);
  const Json doc = first.json();
  EXPECT_EQ(doc["components"]["securitySchemes"].size(), 1u);
  for (const char* path : {"/docs", "/redoc", "/openapi.json", "/docs/oauth2-redirect",
                           "/docs/assets/redoc/redoc.standalone.js"}) {
    EXPECT_FALSE(doc["paths"].contains(path)) << path;
  }
  EXPECT_TRUE(doc["paths"].contains("/api/parlo/send/text"));
  EXPECT_EQ(client.get("/openapi.json").body, first.body);
}

TEST_F(DocsRoutes, PagesLoadOnlyFromThisServer) {
  corvid::test::HttpClient client(server_->port());
  struct Case {
    const char* path;
    const char* title;
    std::vector<std::string> assets;
  };
  const std::vector<Case> cases = {
      {"/docs",
       "<title>CorvidParlo机器人API - Swagger UI</title>",
       {"/docs/assets/swagger-ui/swagger-ui.css", "/docs/assets/swagger-ui/swagger-ui-bundle.js",
        "/docs/assets/swagger-ui/favicon-32x32.png"}},
      {"/redoc",
       "<title>CorvidParlo机器人API - ReDoc</title>",
       {"/docs/assets/redoc/redoc.standalone.js"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto page = client.get(c.path);
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(page.header("content-type").value_or("").rfind("text/html", 0), 0u);
    EXPECT_NE(page.body.find(c.title), std::string::npos);
    EXPECT_NE(page.body.find("/openapi.json"), std::string::npos);
    // No absolute or protocol-relative URL: nothing comes from another host.
    EXPECT_EQ(page.body.find("http:"), std::string::npos);
    EXPECT_EQ(page.body.find("https:"), std::string::npos);
    EXPECT_EQ(page.body.find("\"//"), std::string::npos);
    EXPECT_EQ(page.header("content-security-policy"), std::string(kDocsContentSecurityPolicy));
    for (const auto& asset : c.assets) {
      SCOPED_TRACE(asset);
      EXPECT_NE(page.body.find(asset), std::string::npos);
      const auto file = client.get(asset);
      ASSERT_EQ(file.status, 200);
      const auto on_disk = vendor_dir() / asset.substr(std::string("/docs/assets/").size());
      EXPECT_EQ(file.body.size(), std::filesystem::file_size(on_disk));
    }
  }
  const auto js = client.get("/docs/assets/redoc/redoc.standalone.js");
  EXPECT_NE(js.header("content-type").value_or("").find("javascript"), std::string::npos);
  const auto redirect = client.get("/docs/oauth2-redirect");
  ASSERT_EQ(redirect.status, 200);
  EXPECT_NE(redirect.body.find("oauth2-redirect.js"), std::string::npos);
  EXPECT_EQ(client.get("/docs/oauth2-redirect.js").status, 200);
}

TEST_F(DocsRoutes, OnlyTheListedAssetsAreReachable) {
  corvid::test::HttpClient client(server_->port());
  for (const char* target : {"/docs/assets/swagger-ui/LICENSE", "/docs/assets/VERSIONS",
                             "/docs/assets/swagger-ui/../redoc/LICENSE", "/docs/assets/",
                             "/docs/assets/redoc/redoc.standalone.js/x"}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(client.get(target).status, 404);
  }
}

TEST(DocsPages, MissingVendorFolderAnswersNotFound) {
  corvid::test::TestServer server;
  add_docs_routes(server.router(), DocsOptions{"/nonexistent/vendor", default_api_info()});
  server.start();
  corvid::test::HttpClient client(server.port());
  EXPECT_EQ(client.get("/docs").status, 200);
  EXPECT_EQ(client.get("/docs/assets/swagger-ui/swagger-ui-bundle.js").status, 404);
  EXPECT_EQ(client.get("/openapi.json").status, 200);
}

}  // namespace
