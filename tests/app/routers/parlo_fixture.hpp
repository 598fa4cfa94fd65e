#pragma once
// ParloApi: a real server on 127.0.0.1:0 carrying the /api/parlo routes over a real
// ParloService, which drives the simulated client loaded by dlopen. Uploads stage into a
// private folder per test process, so a test can see exactly what was staged and that nothing
// stayed. Each TEST runs in its own process (the binding is process-wide).
// Threads: the server loop and the worker pool run beside the test thread; probe callbacks run
// on the simulation's threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/thread_pool.hpp>

#include "core/support.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/routers/parlo_routes.hpp"
#include "corvid/app/websocket/websocket_hub.hpp"
#include "corvid/core/parlo.hpp"
#include "support/http_client.hpp"
#include "support/test_server.hpp"
#include "support/wait.hpp"
#include "tapwire/tapwire.h"

namespace corvid::test {

inline constexpr const char* kKey = "routes-test-key";

inline const HeaderList& auth_header() {
  static const HeaderList h{{"Authorization", std::string("Bearer ") + kKey}};
  return h;
}

class ParloApi : public ::testing::Test {
 protected:
  // Adjusts the server before it starts (upload limit, grace period).
  virtual void configure(TestServerOptions&, app::routers::ParloRouteOptions&) {}

  void SetUp() override {
    logs_ = capture_logs();
    upload_root_ = std::filesystem::temp_directory_path() /
                   ("corvid-routes-test-" + std::to_string(::getpid()));
    std::filesystem::remove_all(upload_root_);
    std::filesystem::create_directories(upload_root_);

    TestServerOptions server_options;
    server_options.keys = {{"test", kKey}};
    app::routers::ParloRouteOptions route_options;
    route_options.upload_root = upload_root_;
    route_options.staging_grace = std::chrono::milliseconds(200);
    route_options.blocking_executor = pool_.get_executor();
    configure(server_options, route_options);

    server_ = std::make_unique<TestServer>(server_options);
    // The probe keeps pointers into the service and the registry: they live until exit.
    static auto* hubs = new std::vector<std::unique_ptr<app::ConnectionManager>>();
    static auto* services = new std::vector<std::unique_ptr<app::ParloService>>();
    hubs->push_back(std::make_unique<app::ConnectionManager>());
    services->push_back(std::make_unique<app::ParloService>(
        app::ParloConfig{}, server_->io().get_executor(), pool_, *hubs->back()));
    service_ = services->back().get();
    ASSERT_NE(service_->parlo(), nullptr) << "the binding could not be built";
    server_->router().set_login_guard([s = service_] { return s->logged_in(); });
    app::routers::add_parlo_routes(server_->router(), *service_, route_options);
    server_->start();
    client_ = std::make_unique<HttpClient>(server_->port(), std::chrono::seconds(20));
    sim_.ok({{"cmd", "auto_login"}, {"enabled", false}});
  }

  void TearDown() override {
    shutdown();
    std::error_code ec;
    std::filesystem::remove_all(upload_root_, ec);
  }

  // The server's graceful stop, then its loop is destroyed with whatever was still pending on
  // it. Idempotent.
  void shutdown() {
    if (!server_) return;
    client_.reset();
    server_->stop();
    // No probe callback may reach the service once its loop is gone.
    sim_.fn<decltype(&tapwire_sim_stop)>("tapwire_sim_stop")();
    pool_.join();
    server_.reset();
  }

  // Starts the client through the route and logs its user in.
  void open_logged_in(const std::string& uid = "uid_standin") {
    auto r = post("/open");
    ASSERT_EQ(r.status, 200) << r.body;
    ASSERT_EQ(r.json()["success"], true) << r.body;
    ASSERT_TRUE(wait_until([&] { return service_->parlo()->status(); }));
    sim_.ok({{"cmd", "login"}, {"uid", uid}, {"nickname", "Corvid Stand-in"}});
    ASSERT_TRUE(wait_until([&] { return service_->logged_in(); }));
    ASSERT_TRUE(wait_until([&] { return service_->current_login_uid() == uid; }));
    sim_.ok({{"cmd", "clear_sent"}});
  }

  HttpResponse post(const std::string& path, const Json& body) {
    return client_->post_json("/api/parlo" + path, body, auth_header());
  }
  HttpResponse post(const std::string& path) {
    return client_->request(boost::beast::http::verb::post, "/api/parlo" + path, {}, auth_header());
  }
  HttpResponse get(const std::string& path) {
    return client_->get("/api/parlo" + path, auth_header());
  }

  // The recorded envelopes of one request code, parsed.
  std::vector<Json> sent(int code) {
    std::vector<Json> out;
    for (const auto& text : sim_.sent()) {
      Json e = Json::parse(text, nullptr, false);
      if (e.is_object() && e.value("type", 0) == code) out.push_back(std::move(e));
    }
    return out;
  }

  // Entries of the staging root (the private folders of uploads still alive).
  std::vector<std::filesystem::path> staged() {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(upload_root_, ec))
      out.push_back(e.path());
    return out;
  }
  bool staging_empty(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return wait_until([&] { return staged().empty(); }, timeout);
  }

  Sim sim_;
  std::shared_ptr<LogSink> logs_;
  boost::asio::thread_pool pool_{8};  // room for the side-by-side waits of one test
  std::filesystem::path upload_root_;
  std::unique_ptr<TestServer> server_;
  app::ParloService* service_ = nullptr;
  std::unique_ptr<HttpClient> client_;
};

}  // namespace corvid::test
