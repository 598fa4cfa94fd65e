#pragma once
// A server with a handful of test routes that exercise each step the router applies (key,
// validation, login guard, handler failures, slow handlers), shared by the server tests.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "corvid/app/http/record.hpp"
#include "corvid/app/http/router.hpp"
#include "support/http_client.hpp"
#include "support/test_server.hpp"

namespace corvid::app::http::testing {

inline const std::string kAdminKey = "test-admin-key-0123456789";
inline const std::string kOpsKey = "test-ops-key-0123456789";

inline const Record& echo_record() {
  static const Record record = [] {
    Record r;
    r.name = "EchoRequest";
    for (const char* name : {"to_uid", "content"}) {
      Field field;
      field.name = name;
      r.fields.push_back(std::move(field));
    }
    return r;
  }();
  return record;
}

inline test::HeaderList bearer(const std::string& key) {
  return {{"Authorization", "Bearer " + key}};
}

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::TestServerOptions options;
    options.keys = {{"admin", kAdminKey}, {"ops", kOpsKey}, {"admin-copy", kAdminKey}};
    options.threads = 3;
    adjust(options);
    server_ = std::make_unique<test::TestServer>(std::move(options));
    add_routes(server_->router());
    server_->router().set_login_guard([this] { return logged_in_.load(); });
    server_->start();
  }

  void TearDown() override { server_.reset(); }

  // Hook for a test file that needs other options (timeouts, limits).
  virtual void adjust(test::TestServerOptions&) {}
  // Hook for extra routes; the common ones are always there.
  virtual void more_routes(Router&) {}

  std::uint16_t port() const { return server_->port(); }
  test::HttpClient client() const { return test::HttpClient(port()); }

  std::unique_ptr<test::TestServer> server_;
  std::atomic<bool> logged_in_{false};
  std::atomic<bool> release_slow_{false};
  std::atomic<int> slow_started_{0};

 private:
  void add_routes(Router& router) {
    Route open;
    open.path = "/open";
    open.handler = [](Request&) -> net::awaitable<Response> { co_return text_response("open"); };
    router.add(std::move(open));

    Route keyed;
    keyed.path = "/keyed";
    keyed.auth = true;
    keyed.handler = [](Request& request) -> net::awaitable<Response> {
      co_return json_response(Json{{"key_name", request.user->key_name.value_or("")}});
    };
    router.add(std::move(keyed));

    Route checked;
    checked.method = bhttp::verb::post;
    checked.path = "/checked/{pid}";
    checked.auth = true;
    checked.login_guard = true;
    checked.params = {Param{"pid", ParamIn::path, FieldType::integer, true, nullptr, ""},
                      Param{"smart", ParamIn::query, FieldType::boolean, false, false, ""}};
    checked.body = &echo_record();
    checked.handler = [](Request& request) -> net::awaitable<Response> {
      co_return json_response(Json{{"params", request.params}, {"body", request.json}});
    };
    router.add(std::move(checked));

    Route echo;
    echo.method = bhttp::verb::post;
    echo.path = "/echo";
    echo.handler = [](Request& request) -> net::awaitable<Response> {
      co_return text_response(request.body);
    };
    router.add(std::move(echo));

    Route echo_get;
    echo_get.path = "/echo";
    echo_get.handler = [](Request& request) -> net::awaitable<Response> {
      Json query = Json::array();
      for (const auto& [k, v] : request.query.items()) query.push_back(Json::array({k, v}));
      co_return json_response(Json{{"path", request.path}, {"query", query}});
    };
    router.add(std::move(echo_get));

    Route boom;
    boom.path = "/boom";
    boom.handler = [](Request&) -> net::awaitable<Response> {
      throw std::runtime_error("handler failed");
      co_return text_response("never");
    };
    router.add(std::move(boom));

    Route refused;
    refused.path = "/refused";
    refused.handler = [](Request&) -> net::awaitable<Response> {
      throw HttpError(bhttp::status::conflict, "busy", {{"Retry-After", "1"}});
      co_return text_response("never");
    };
    router.add(std::move(refused));

    Route slow;
    slow.path = "/slow";
    slow.handler = [this](Request&) -> net::awaitable<Response> {
      ++slow_started_;
      net::steady_timer timer(co_await net::this_coro::executor);
      while (!release_slow_) {
        timer.expires_after(std::chrono::milliseconds(5));
        co_await timer.async_wait(net::use_awaitable);
      }
      co_return text_response("slow done");
    };
    router.add(std::move(slow));

    more_routes(router);
  }
};

}  // namespace corvid::app::http::testing
