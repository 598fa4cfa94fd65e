#pragma once
// TestServer: the real HTTP server on 127.0.0.1:0 in this process, with its own io_context run
// on a few threads, a key table and a route table that the test fills before start().
// Owner: one test; stop() (also run by the destructor) performs the server's graceful shutdown
// and joins the threads. Threads: start/stop from the test thread; handlers run on the loop.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "corvid/app/http/net.hpp"
#include "corvid/app/http/router.hpp"
#include "corvid/app/http/server.hpp"
#include "corvid/app/security.hpp"

namespace corvid::test {

struct TestServerOptions {
  corvid::app::KeyEntries keys;  // name -> key, in order
  int threads = 2;
  corvid::app::http::ServerOptions server;  // host/port are forced to 127.0.0.1:0
};

class TestServer {
 public:
  explicit TestServer(TestServerOptions options = {});
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  corvid::app::http::Router& router() { return *router_; }
  corvid::app::AuthManager& auth() { return *auth_; }
  corvid::app::http::net::io_context& io() { return io_; }
  corvid::app::http::Server& server() { return *server_; }

  // Binds and starts serving; the port is readable afterwards.
  void start();
  std::uint16_t port() const { return server_ ? server_->port() : 0; }

  // Graceful shutdown (bounded), then the loop threads stop. Gives what shutdown gave.
  bool stop(std::chrono::milliseconds bound = std::chrono::seconds(5));

 private:
  TestServerOptions options_;
  corvid::app::http::net::io_context io_;
  std::optional<corvid::app::http::net::executor_work_guard<
      corvid::app::http::net::io_context::executor_type>>
      work_;
  std::unique_ptr<corvid::app::AuthManager> auth_;
  std::unique_ptr<corvid::app::http::Router> router_;
  std::shared_ptr<corvid::app::http::Server> server_;
  std::vector<std::thread> threads_;
  bool stopped_ = false;
};

}  // namespace corvid::test
