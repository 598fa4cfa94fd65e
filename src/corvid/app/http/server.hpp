#pragma once
// The HTTP/1.1 + WebSocket server: one acceptor and one session per connection, each session a
// coroutine on its own strand of the shared multi-threaded io_context. Sessions read a request,
// answer it, then read the next (keep-alive; pipelined requests are answered in order).
// Owner: the application, through std::make_shared; the Router and AuthManager outlive it.
// Threads: start/port/stop_accepting/shutdown may be called from any thread; nothing here
// blocks a loop thread. Limits: 8 KiB of request line and fields (414/431), the route's body
// limit (413, decided from the header after the key), read and write stall deadlines, an upload
// rate rule (408),
// and a cap on open HTTP connections (503).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "corvid/app/http/net.hpp"
#include "corvid/app/http/router.hpp"

namespace corvid::app::http {

struct ServerOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;  // 0: any free port (read it back with port())
  // A whole request header (keep-alive idle time included) must arrive within this.
  std::chrono::milliseconds header_timeout{std::chrono::seconds(60)};
  // Each read of a body must make progress within this.
  std::chrono::milliseconds body_timeout{std::chrono::seconds(60)};
  // Writing an answer must make progress within this: a peer that takes no byte for so long is
  // cut; one that keeps reading, however slowly, gets the whole answer.
  std::chrono::milliseconds write_timeout{std::chrono::seconds(60)};
  std::uint64_t upload_body_limit = kUploadBodyLimit;  // for upload routes without their own
  // An upload body must average at least this many bytes a second over its whole length once
  // upload_rate_grace has passed, else it ends with 408. 0: no rate rule.
  std::uint64_t upload_min_rate = 8 * 1024;
  std::chrono::milliseconds upload_rate_grace{std::chrono::seconds(20)};
  // Open HTTP connections beyond which a new one is answered 503 and closed. 0: derived from
  // the descriptor limit at start, leaving room for a staging file per connection.
  std::size_t max_connections = 0;
  std::string server_name = "corvid";
};

// Binding the listening socket failed; what() names the address and the reason.
class ServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Session;

class Server : public std::enable_shared_from_this<Server> {
 public:
  Server(net::io_context& io, const Router& router, ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds, listens and starts accepting. Throws ServerError when the address cannot be used.
  void start();
  // The bound port (after start).
  std::uint16_t port() const { return port_.load(); }
  const ServerOptions& options() const { return options_; }

  // Closes the acceptor; open connections keep being served.
  void stop_accepting();

  // Graceful stop: stop accepting, close idle keep-alive connections at once, let requests in
  // progress finish (their connections close after the answer) and wait up to `bound` for them;
  // then a request whose answer has not started is answered 503 and its connection shut down
  // (up to half a second more for those answers). Gives true when every request finished in time. WebSocket
  // connections already handed to their route are left to their owner.
  net::awaitable<bool> shutdown(std::chrono::milliseconds bound);

  // Open HTTP connections (WebSocket hand-offs excluded), for tests and stats.
  std::size_t connection_count() const;
  bool stopping() const { return stopping_.load(); }
  const Router& router() const { return router_; }

 private:
  friend class Session;
  net::awaitable<void> accept_loop();
  void add_session(std::uint64_t id, const std::shared_ptr<Session>& session);
  void remove_session(std::uint64_t id);
  std::uint64_t next_request_id() { return next_request_.fetch_add(1); }

  net::io_context& io_;
  const Router& router_;
  ServerOptions options_;
  tcp::acceptor acceptor_;
  std::atomic<std::uint16_t> port_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> busy_logged_{false};  // the cap's warning, once per episode
  std::atomic<std::uint64_t> next_id_{1};
  std::atomic<std::uint64_t> next_request_{1};
  mutable std::mutex sessions_mutex_;
  std::unordered_map<std::uint64_t, std::weak_ptr<Session>> sessions_;  // guarded by sessions_mutex_
};

}  // namespace corvid::app::http
