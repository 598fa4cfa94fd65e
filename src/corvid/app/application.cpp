#include "corvid/app/application.hpp"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/http/verb.hpp>
#include <spdlog/spdlog.h>

#include "corvid/app/application_info.hpp"
#include "corvid/app/home_page.hpp"
#include "corvid/app/http/docs.hpp"
#include "corvid/app/http/response.hpp"
#include "corvid/app/http/router.hpp"
#include "corvid/app/http/server.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/routers/config_routes.hpp"
#include "corvid/app/routers/websocket_routes.hpp"
#include "corvid/app/routers/parlo_routes.hpp"
#include "corvid/app/security.hpp"
#include "corvid/app/websocket_hub.hpp"
#include "corvid/core/parlo.hpp"
#include "corvid/utils/log.hpp"
#include "corvid/utils/xdg.hpp"

namespace corvid::app {
namespace {

namespace net = boost::asio;

std::shared_ptr<spdlog::logger> logger() { return log::get(kLogChannel); }

void flush_logs() {
  spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& l) { l->flush(); });
}

std::size_t loop_threads(std::size_t requested) {
  if (requested != 0) return requested;
  const auto hardware = std::thread::hardware_concurrency();
  return hardware != 0 ? hardware : 1;
}

// The key table's source: the configuration file read again, so SIGHUP picks up edited keys.
AuthManager::KeySource key_source(const Config& config, const std::string& path) {
  if (path.empty()) {
    auto keys = config.auth.api_keys;
    return [keys] { return keys; };
  }
  return [path] { return load_config(path).auth.api_keys; };
}

}  // namespace

struct Application::Parts {
  Parts(Config loaded, ApplicationOptions opts)
      : config(std::move(loaded)),
        options(std::move(opts)),
        io(static_cast<int>(loop_threads(options.threads))),
        pool(options.workers != 0 ? options.workers : 1),
        signals(io, SIGINT, SIGTERM, SIGHUP) {}

  Config config;
  ApplicationOptions options;
  net::io_context io;
  net::thread_pool pool;
  net::signal_set signals;
  std::atomic<bool> stopping{false};

  // Long-lived: the probe keeps pointers into the service and the registry, so they are never
  // destroyed (reachable from here until the process ends).
  ConnectionManager* hub = nullptr;
  ParloService* service = nullptr;
  std::unique_ptr<AuthManager> auth;
  std::unique_ptr<http::Router> router;
  std::shared_ptr<http::Server> server;

  void build();
  void add_routes();
  void wait_signal();
  net::awaitable<void> shutdown();
};

void Application::Parts::build() {
  hub = new ConnectionManager();
  service = new ParloService(config.parlo, io.get_executor(), pool, *hub);
  auth = std::make_unique<AuthManager>(key_source(config, options.config_path));
  router = std::make_unique<http::Router>(*auth);
  router->set_login_guard([service = service] { return service->logged_in(); });
  add_routes();
  http::ServerOptions server_options;
  server_options.host = config.server.host;
  server_options.port = static_cast<std::uint16_t>(config.server.port);
  server_options.max_connections = static_cast<std::size_t>(config.server.max_connections);
  server_options.upload_min_rate = config.server.upload_min_rate;
  server = std::make_shared<http::Server>(io, *router, server_options);
}

// Under -fsanitize, GCC 12 inlines both branches of the optional executor's assignment and
// reports the engaged branch's reads of the (not yet constructed) executor as maybe
// uninitialized; that branch runs only when the optional holds one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
void Application::Parts::add_routes() {
  // The routers in the order of the API document: /api/parlo, /api/config, /api/ws, then the
  // application's own pages.
  routers::ParloRouteOptions parlo_options;
  parlo_options.blocking_executor = pool.get_executor();
  routers::add_parlo_routes(*router, *service, std::move(parlo_options));
  routers::add_config_routes(*router, config, *auth);
  routers::add_websocket_routes(*router, *hub, *service);

  http::Route root;
  root.method = boost::beast::http::verb::get;
  root.path = "/";
  root.operation = "root";
  root.summary = "Root";
  root.description = "项目首页";
  root.response_type = std::string(http::kHtmlType);
  root.handler = [](http::Request&) -> net::awaitable<http::Response> {
    co_return http::html_response(home_page());
  };
  router->add(std::move(root));

  http::Route health;
  health.method = boost::beast::http::verb::get;
  health.path = "/health";
  health.operation = "health_check";
  health.summary = "Health Check";
  health.description = "健康检查";
  health.handler = [](http::Request&) -> net::awaitable<http::Response> {
    co_return http::json_response(health_answer());
  };
  router->add(std::move(health));

  http::DocsOptions docs;
  docs.vendor_dir = options.vendor_dir.empty()
                        ? std::filesystem::path(xdg::get_root_dir()) / "web" / "vendor"
                        : options.vendor_dir;
  http::add_docs_routes(*router, std::move(docs));

  router->mount(http::Mount{"/static", ensure_static_dir(options.static_dir)});
}
#pragma GCC diagnostic pop

void Application::Parts::wait_signal() {
  signals.async_wait([this](const boost::system::error_code& ec, int signo) {
    if (ec) return;
    if (signo == SIGHUP) {
      // Reading the file is blocking I/O: it belongs on the worker pool.
      net::post(pool, [this] {
        try {
          auth->reload_api_keys();
          logger()->info("API keys reloaded on SIGHUP: {} key(s)", auth->key_count());
        } catch (const std::exception& e) {
          logger()->error("reloading the API keys failed: {}", e.what());
        }
      });
    } else if (stopping.exchange(true)) {
      logger()->warn("second stop signal: exiting at once");
      flush_logs();
      std::_Exit(128 + signo);
    } else {
      net::co_spawn(net::make_strand(io), shutdown(), net::detached);
    }
    wait_signal();
  });
}

net::awaitable<void> Application::Parts::shutdown() {
  try {
    if (!co_await server->shutdown(options.step_bound)) {
      logger()->warn("HTTP requests still running after {} ms were cut off", options.step_bound.count());
    }
  } catch (const std::exception& e) {
    logger()->error("stopping the HTTP server failed: {}", e.what());
  }
  ShutdownParts parts;
  parts.connections = [hub = hub] { return hub->snapshot(); };
  if (auto* parlo = service->parlo()) {
    parts.detach = [parlo] { return parlo->detach(); };
  }
  parts.blocking = pool.get_executor();
  parts.bound = options.step_bound;
  co_await lifespan_shutdown(std::move(parts));
  service->stop_relaying();
  signals.cancel();
  io.stop();
}

Application::Application(Config config, ApplicationOptions options)
    : parts_(std::make_unique<Parts>(std::move(config), std::move(options))) {
  parts_->build();
}

Application::~Application() {
  // The probe may still call into the service, the registry and their executors from its own
  // threads while the process exits, so none of them is ever destroyed.
  static auto* kept = new std::vector<std::unique_ptr<Parts>>();
  kept->push_back(std::move(parts_));
}

int Application::run() {
  auto& p = *parts_;
  auto log = logger();
  log->info("🚀 CorvidParlo机器人API服务启动中...");
  log->info("✅ Parlo服务初始化完成");
  if (p.service->parlo() == nullptr) {
    log->warn("the client binding could not be built: client routes answer failures until restart");
  }
  try {
    p.server->start();
  } catch (const std::exception& e) {
    log->error("cannot listen on {}:{}: {}", p.config.server.host, p.config.server.port, e.what());
    flush_logs();
    return 1;
  }
  log->info("listening on http://{}:{}", p.config.server.host, p.server->port());
  p.wait_signal();

  auto guard = net::make_work_guard(p.io);
  std::vector<std::jthread> threads;
  const auto count = loop_threads(p.options.threads);
  for (std::size_t i = 1; i < count; ++i) threads.emplace_back([&p] { p.io.run(); });
  p.io.run();
  threads.clear();  // joins

  // A blocking call still stuck in the probe must not keep the process alive for ever.
  p.pool.stop();
  auto joined = std::async(std::launch::async, [&p] { p.pool.join(); });
  if (joined.wait_for(p.options.step_bound) != std::future_status::ready) {
    log->warn("worker threads still busy after {} ms; exiting without them", p.options.step_bound.count());
    flush_logs();
    std::_Exit(0);
  }
  flush_logs();
  return 0;
}

}  // namespace corvid::app
