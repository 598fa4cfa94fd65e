#include "support/test_server.hpp"

#include <future>

namespace corvid::test {

namespace net = corvid::app::http::net;

TestServer::TestServer(TestServerOptions options)
    : options_(std::move(options)),
      work_(net::make_work_guard(io_)),
      auth_(std::make_unique<corvid::app::AuthManager>(
          corvid::app::AuthManager::KeySource([keys = options_.keys] { return keys; }))),
      router_(std::make_unique<corvid::app::http::Router>(*auth_)) {}

TestServer::~TestServer() { stop(); }

void TestServer::start() {
  auto server_options = options_.server;
  server_options.host = "127.0.0.1";
  server_options.port = 0;
  server_ = std::make_shared<corvid::app::http::Server>(io_, *router_, server_options);
  server_->start();
  for (int i = 0; i < options_.threads; ++i) threads_.emplace_back([this] { io_.run(); });
}

bool TestServer::stop(std::chrono::milliseconds bound) {
  if (stopped_) return true;
  stopped_ = true;
  bool result = true;
  if (server_ && !threads_.empty()) {
    std::promise<bool> done;
    auto future = done.get_future();
    net::co_spawn(
        io_,
        [server = server_, bound, &done]() -> net::awaitable<void> {
          done.set_value(co_await server->shutdown(bound));
        },
        net::detached);
    result = future.get();
  }
  // Let finished work drain; a handler that never ends (a test's own fault) is cut off.
  work_.reset();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!io_.stopped() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  io_.stop();
  for (auto& thread : threads_) thread.join();
  threads_.clear();
  return result;
}

}  // namespace corvid::test
