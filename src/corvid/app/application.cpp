#include "corvid/app/application.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http/verb.hpp>

#include "corvid/app/application_info.hpp"
#include "corvid/app/home_page.hpp"
#include "corvid/app/http/docs.hpp"
#include "corvid/app/http/response.hpp"
#include "corvid/app/http/router.hpp"
#include "corvid/app/http/server.hpp"
#include "corvid/app/http/side_pool.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/routers/config_routes.hpp"
#include "corvid/app/routers/parlo_routes.hpp"
#include "corvid/app/routers/parlo_routes_staging.hpp"
#include "corvid/app/routers/websocket_routes.hpp"
#include "corvid/app/security.hpp"
#include "corvid/app/websocket/websocket_hub.hpp"
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

// Ends the process without running exit handlers or destructors: threads still blocked in the
// probe would race them. The uploads still staged are removed first, since the exit-time sweep
// is one of the handlers skipped.
[[noreturn]] void exit_now(int code) {
  routers::parlo::sweep_staging_folders();
  flush_logs();
  std::_Exit(code);
}

long long elapsed_ms(ShutdownClock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(ShutdownClock::now() - since)
      .count();
}

std::size_t loop_threads(std::size_t requested) {
  if (requested != 0) return requested;
  const auto hardware = std::thread::hardware_concurrency();
  return hardware != 0 ? hardware : 1;
}

// Where SIGHUP reloads the keys from: the configuration file read again, so edited keys take
// effect (a file that went missing or broke is a failed reload, not an empty table).
AuthManager::KeySource key_source(const Config& config, const std::string& path) {
  if (path.empty()) {
    auto keys = config.auth.api_keys;
    return [keys] { return keys; };
  }
  return keys_from_file(path);
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
  // The detach at shutdown runs here, so it never queues behind the client calls that may hold
  // every worker of the pool (a probe call that blocks, or a backlog of them).
  net::thread_pool detach_pool{1};

  // The stop in progress: the watchdog that ends the process when the stop overruns its
  // plan's end (a step that ignored its share), and whether the worker threads ended in time.
  std::mutex stop_mutex;
  std::condition_variable stop_done;
  bool finished = false;  // guarded by stop_mutex
  std::thread watchdog;   // guarded by stop_mutex; joined by finish_stop
  std::atomic<bool> workers_joined{false};

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
  ShutdownPlan begin_stop();
  net::awaitable<bool> join_workers(ShutdownClock::time_point until);
  void finish_stop();
  net::awaitable<void> shutdown(ShutdownPlan plan);
};

void Application::Parts::build() {
  hub = new ConnectionManager(config.server.ws_budget.value_or(kDefaultDeliveryBudget));
  service = new ParloService(config.parlo, io.get_executor(), pool, *hub);
  auth = std::make_unique<AuthManager>(config, key_source(config, options.config_path));
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
  routers::WebSocketRouteOptions websocket_options;
  if (config.server.ws_stall_timeout) {
    websocket_options.limits.stall_timeout = std::chrono::seconds(*config.server.ws_stall_timeout);
  }
  routers::add_websocket_routes(*router, *hub, *service, websocket_options);

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
  health.served_past_cap = true;  // a full server can still be watched
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
          // A failed reload has logged its error and kept the keys in force.
          if (auth->reload_api_keys()) {
            logger()->info("API keys reloaded on SIGHUP: {} key(s)", auth->key_count());
          }
        } catch (const std::exception& e) {
          logger()->error("reloading the API keys failed: {}", e.what());
        }
      });
    } else if (stopping.exchange(true)) {
      logger()->warn("second stop signal: exiting at once");
      exit_now(128 + signo);
    } else {
      net::co_spawn(net::make_strand(io), shutdown(begin_stop()), net::detached);
    }
    wait_signal();
  });
}

ShutdownPlan Application::Parts::begin_stop() {
  const auto stop = ShutdownPlan::make(ShutdownClock::now(), options.shutdown_bound);
  logger()->info("stop signal: the server stops within {} ms", options.shutdown_bound.count());
  std::lock_guard lock(stop_mutex);
  try {
    watchdog = std::thread([this, stop] {
      std::unique_lock wait_lock(stop_mutex);
      if (stop_done.wait_until(wait_lock, stop.end, [this] { return finished; })) return;
      wait_lock.unlock();
      logger()->error("the stop did not end within {} ms; exiting now", elapsed_ms(stop.start));
      exit_now(0);
    });
  } catch (const std::exception& e) {
    // The steps keep their own bounds; only the last resort is missing.
    logger()->error("cannot start the stop's watchdog: {}", e.what());
  }
  return stop;
}

// Waits until `until` for the worker threads (stopped: queued calls are dropped) and the
// detach thread, while the loop still runs, so a second stop signal is still heard. A call
// still blocked in the probe cannot be interrupted: false then, and the threads are left
// running. Runs on a strand, so the joiner's posted cancel never races the wait.
net::awaitable<bool> Application::Parts::join_workers(ShutdownClock::time_point until) {
  pool.stop();
  detach_pool.stop();
  auto strand = co_await net::this_coro::executor;
  auto timer = std::make_shared<net::steady_timer>(strand, until);
  auto joined = std::make_shared<std::atomic<bool>>(false);
  try {
    // Detached: when it does not finish in time the process exits under it, and a joinable
    // thread would block that exit.
    std::thread([this, strand, joined, weak = std::weak_ptr<net::steady_timer>(timer)] {
      pool.join();
      detach_pool.join();
      joined->store(true);
      net::post(strand, [weak] {
        if (auto t = weak.lock()) t->cancel();
      });
    }).detach();
  } catch (const std::exception& e) {
    logger()->error("cannot wait for the worker threads: {}", e.what());
    co_return false;
  }
  co_await timer->async_wait(net::as_tuple(net::use_awaitable));
  co_return joined->load();
}

void Application::Parts::finish_stop() {
  std::thread ended;
  {
    std::lock_guard lock(stop_mutex);
    finished = true;
    ended = std::move(watchdog);
  }
  stop_done.notify_all();
  if (ended.joinable()) ended.join();
}

net::awaitable<void> Application::Parts::shutdown(ShutdownPlan stop) {
  try {
    const auto drain = time_left(stop.drain_end);
    if (!co_await server->shutdown(drain)) {
      logger()->warn("HTTP requests still running after {} ms were cut off", drain.count());
    }
  } catch (const std::exception& e) {
    logger()->error("stopping the HTTP server failed: {}", e.what());
  }
  try {
    ShutdownParts parts;
    parts.connections = [hub = hub] { return hub->snapshot(); };
    if (auto* parlo = service->parlo()) {
      parts.detach = [parlo] { return parlo->detach(); };
      parts.client_pid = [parlo] { return parlo->pid(); };
    }
    parts.blocking = detach_pool.get_executor();
    // The closes and the detach end by the plan's detach end; the closes by its closes end.
    parts.bound = time_left(stop.detach_end);
    parts.detach_share =
        std::chrono::ceil<std::chrono::milliseconds>(stop.detach_end - stop.closes_end);
    co_await lifespan_shutdown(std::move(parts));
  } catch (const std::exception& e) {
    logger()->error("the shutdown steps failed: {}", e.what());
  }
  service->stop_relaying();
  try {
    // A client call still stuck in the probe must not keep the process past the stop's bound.
    const bool joined = co_await join_workers(stop.join_end);
    workers_joined.store(joined);
    if (!joined) {
      logger()->warn("worker threads still busy {} ms into the stop; exiting without them",
                     elapsed_ms(stop.start));
    }
  } catch (const std::exception& e) {
    logger()->error("waiting for the worker threads failed: {}", e.what());
  }
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
    // The server's own text already names the address; a failure from anywhere else gets it
    // here. Another port is the usual way out (a port in use, one below 1024).
    const std::string_view prefix = "cannot listen on ";
    const std::string_view text = e.what();
    if (text.substr(0, prefix.size()) == prefix) {
      log->error("{} (start on another port with --port N)", text);
    } else {
      log->error("{}{}:{}: {} (start on another port with --port N)", prefix, p.config.server.host,
                 p.config.server.port, text);
    }
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

  // Threads still running client calls, or work on a large body or answer, would race the exit
  // handlers: such work is abandoned, not awaited.
  if (const auto side = http::side_work_running(); side > 0) {
    log->warn("{} task(s) on large bodies or answers still running; exiting without them", side);
    exit_now(0);
  }
  if (!p.workers_joined.load()) exit_now(0);
  // The watchdog ends first, so it cannot force an exit while this one runs the exit handlers.
  p.finish_stop();
  // Uploads waiting out their grace period on the stopped loop (the exit-time sweep would find
  // them too, on this way out only).
  routers::parlo::sweep_staging_folders();
  flush_logs();
  return 0;
}

}  // namespace corvid::app
