#pragma once
// The HTTP/1.1 + WebSocket server: one acceptor and one session per connection, each session a
// coroutine on its own strand of the shared multi-threaded io_context. Sessions read a request,
// answer it, then read the next (keep-alive; pipelined requests are answered in order).
// Owner: the application, through std::make_shared; the Router and AuthManager outlive it.
// Threads: start/port/stop_accepting/shutdown may be called from any thread; nothing here
// blocks a loop thread. Limits: 8 KiB of request line and fields (414/431), the route's body
// limit (413, decided from the header after the key), read and write stall deadlines, an
// upload rate rule (408), one budget of open connections for HTTP and WebSocket alike with a
// small reserve past it that only the health check gets through (503 for the rest), and a
// budget of memory for large answers waiting for their readers (503).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
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
  // Once upload_rate_grace has passed, an upload body must bring at least this many bytes a
  // second, counted over the last upload_rate_window (bytes sent earlier buy no more than one
  // window), else it ends with 408. 0: no rate rule.
  std::uint64_t upload_min_rate = 8 * 1024;
  std::chrono::milliseconds upload_rate_grace{std::chrono::seconds(20)};
  std::chrono::milliseconds upload_rate_window{std::chrono::seconds(20)};
  // Open connections, HTTP and WebSocket alike, beyond which a new one goes to the reserve.
  // 0: derived from the descriptor limit at start (see derived_max_connections).
  std::size_t max_connections = 0;
  // Connections past the cap that may each send one request: the routes marked
  // served_past_cap (the health check) are answered, anything else 503 "Too many
  // connections"; a reserve connection silent for reserve_header_timeout is closed, and when
  // the reserve is full a new connection takes the place of its oldest one.
  std::size_t reserve_connections = 32;
  std::chrono::milliseconds reserve_header_timeout{std::chrono::seconds(5)};
  // Answers of 1 MiB or more held while their readers take them: past this many bytes in all,
  // one more such answer is 503 "Server busy" instead.
  std::uint64_t answer_budget = 512ull << 20;
  std::string server_name = "corvid";
};

// The cap on open connections derived from the soft descriptor limit `descriptors`: what is
// left after 64 descriptors for the listener, logs and the client's own files and one for each
// reserve connection, halved, since each connection may also hold a staging file; at least 16.
std::size_t derived_max_connections(std::size_t descriptors, std::size_t reserve);

// One place of a connection budget, held while the connection is open; it moves with the
// connection (into a WebSocket route's coroutine at the hand-off).
class ConnectionSlot {
 public:
  ConnectionSlot() = default;
  explicit ConnectionSlot(std::shared_ptr<std::atomic<std::size_t>> count);
  ConnectionSlot(ConnectionSlot&&) noexcept = default;
  ConnectionSlot& operator=(ConnectionSlot&& other) noexcept;
  ~ConnectionSlot() { release(); }
  void release();

 private:
  std::shared_ptr<std::atomic<std::size_t>> count_;
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
  // (up to half a second more for those answers). Gives true when every request finished in time.
  // WebSocket connections already handed to their route are left to their owner.
  net::awaitable<bool> shutdown(std::chrono::milliseconds bound);

  // Open HTTP connections (WebSocket hand-offs excluded): what the shutdown drains.
  std::size_t connection_count() const;
  // Connections holding a place of the budget: HTTP and WebSocket, the reserve apart.
  std::size_t open_connections() const { return open_->load(); }
  // Bytes of large answers being written now, within options().answer_budget.
  std::uint64_t held_answer_bytes() const { return answer_bytes_.load(); }
  bool stopping() const { return stopping_.load(); }
  const Router& router() const { return router_; }

 private:
  friend class Session;
  net::awaitable<void> accept_loop();
  std::shared_ptr<Session> start_session(tcp::socket socket, ConnectionSlot slot, bool reserve);
  void add_session(std::uint64_t id, const std::shared_ptr<Session>& session);
  // Takes `bytes` of the answer budget; false when they do not fit. give_answer_bytes returns
  // them once the answer is written.
  bool take_answer_bytes(std::uint64_t bytes);
  void give_answer_bytes(std::uint64_t bytes) { answer_bytes_.fetch_sub(bytes); }
  void remove_session(std::uint64_t id);
  std::uint64_t next_request_id() { return next_request_.fetch_add(1); }

  net::io_context& io_;
  const Router& router_;
  ServerOptions options_;
  tcp::acceptor acceptor_;
  std::atomic<std::uint16_t> port_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> busy_logged_{false};  // the cap's warning, once per episode
  bool accept_failed_logged_ = false;     // accept_loop only: its warning, once per episode
  std::deque<std::weak_ptr<Session>> reserve_sessions_;  // accept_loop only, oldest first
  // The budget's places taken (HTTP and WebSocket), and the reserve's.
  std::shared_ptr<std::atomic<std::size_t>> open_ = std::make_shared<std::atomic<std::size_t>>(0);
  std::shared_ptr<std::atomic<std::size_t>> reserve_ =
      std::make_shared<std::atomic<std::size_t>>(0);
  std::atomic<std::uint64_t> answer_bytes_{0};  // held by large answers being written
  std::atomic<std::uint64_t> next_id_{1};
  std::atomic<std::uint64_t> next_request_{1};
  mutable std::mutex sessions_mutex_;
  std::unordered_map<std::uint64_t, std::weak_ptr<Session>>
      sessions_;  // guarded by sessions_mutex_
};

}  // namespace corvid::app::http
