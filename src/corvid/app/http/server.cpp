#include "corvid/app/http/server.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "corvid/app/http/session.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app::http {

namespace {

constexpr auto kTuple = net::as_tuple(net::use_awaitable);
constexpr auto kAcceptRetry = std::chrono::milliseconds(50);
constexpr auto kShutdownPoll = std::chrono::milliseconds(10);
constexpr auto kDrainAnswerWait = std::chrono::milliseconds(500);

std::shared_ptr<spdlog::logger> logger() { return corvid::log::get("http"); }

// Descriptors kept back from connections: the listener, logs, the client's own files.
constexpr std::size_t kReservedDescriptors = 64;
constexpr std::size_t kMinConnections = 16;

// Each connection may hold a socket and a staging file: half of what is left of the limit.
std::size_t derived_max_connections() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return 1u << 20;
  }
  const auto soft = static_cast<std::size_t>(limit.rlim_cur);
  return std::max(kMinConnections,
                  soft > kReservedDescriptors ? (soft - kReservedDescriptors) / 2 : 0);
}

constexpr std::string_view kBusyAnswer =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
    "Content-Length: 33\r\nRetry-After: 1\r\nConnection: close\r\n\r\n"
    "{\"detail\":\"Too many connections\"}";

// One connection over the cap: a fixed answer, a bounded wait for it to go out, then closed.
net::awaitable<void> refuse_busy(tcp::socket socket) {
  beast::tcp_stream stream(std::move(socket));
  stream.expires_after(std::chrono::seconds(2));
  co_await net::async_write(stream, net::buffer(kBusyAnswer), kTuple);  // best effort
  beast::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream.close();
}

}  // namespace

Server::Server(net::io_context& io, const Router& router, ServerOptions options)
    : io_(io), router_(router), options_(std::move(options)), acceptor_(net::make_strand(io)) {
  if (options_.max_connections == 0) options_.max_connections = derived_max_connections();
}

Server::~Server() = default;

void Server::start() {
  const std::string where = options_.host + ":" + std::to_string(options_.port);
  beast::error_code ec;
  tcp::endpoint endpoint;
  const auto address = net::ip::make_address(options_.host, ec);
  if (!ec) {
    endpoint = tcp::endpoint(address, options_.port);
  } else {
    // A host name: resolved once at start-up, before the loop serves anything.
    tcp::resolver resolver(io_);
    auto results = resolver.resolve(options_.host, std::to_string(options_.port), ec);
    if (ec || results.empty()) {
      throw ServerError("cannot listen on " + where + ": cannot resolve host: " +
                        (ec ? ec.message() : std::string("no address")));
    }
    endpoint = results.begin()->endpoint();
  }
  auto fail = [&](const char* step) {
    throw ServerError("cannot listen on " + where + ": " + step + ": " + ec.message());
  };
  acceptor_.open(endpoint.protocol(), ec);
  if (ec) fail("open");
  acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (ec) fail("set_option");
  acceptor_.bind(endpoint, ec);
  if (ec) {
    acceptor_.close();
    fail("bind");
  }
  acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    acceptor_.close();
    fail("listen");
  }
  port_ = acceptor_.local_endpoint().port();
  net::co_spawn(
      acceptor_.get_executor(),
      [self = shared_from_this()]() -> net::awaitable<void> { co_await self->accept_loop(); },
      net::detached);
}

net::awaitable<void> Server::accept_loop() {
  net::steady_timer retry(acceptor_.get_executor());
  while (acceptor_.is_open() && !stopping_) {
    auto [ec, socket] = co_await acceptor_.async_accept(net::make_strand(io_), kTuple);
    if (ec == net::error::operation_aborted || !acceptor_.is_open() || stopping_) break;
    if (ec) {
      // Out of descriptors and similar: wait a moment instead of spinning.
      logger()->warn("accept failed: {}", ec.message());
      retry.expires_after(kAcceptRetry);
      co_await retry.async_wait(kTuple);
      continue;
    }
    if (connection_count() >= options_.max_connections) {
      if (!busy_logged_.exchange(true)) {
        logger()->warn("connection cap of {} reached; new connections are answered 503",
                       options_.max_connections);
      }
      net::co_spawn(socket.get_executor(), refuse_busy(std::move(socket)), net::detached);
      continue;
    }
    busy_logged_ = false;
    try {
      const std::uint64_t id = next_id_.fetch_add(1);
      auto session = std::make_shared<Session>(shared_from_this(), std::move(socket), id);
      add_session(id, session);
      session->start();
    } catch (const std::exception& e) {
      logger()->error("cannot start a connection: {}", e.what());
    }
  }
}

void Server::stop_accepting() {
  net::post(acceptor_.get_executor(), [self = shared_from_this()] {
    beast::error_code ec;
    self->acceptor_.close(ec);
  });
}

void Server::add_session(std::uint64_t id, const std::shared_ptr<Session>& session) {
  std::lock_guard lock(sessions_mutex_);
  sessions_.emplace(id, session);
}

void Server::remove_session(std::uint64_t id) {
  std::lock_guard lock(sessions_mutex_);
  sessions_.erase(id);
}

std::size_t Server::connection_count() const {
  std::lock_guard lock(sessions_mutex_);
  return sessions_.size();
}

net::awaitable<bool> Server::shutdown(std::chrono::milliseconds bound) {
  stopping_ = true;
  stop_accepting();
  auto snapshot = [this] {
    std::vector<std::shared_ptr<Session>> out;
    std::lock_guard lock(sessions_mutex_);
    for (const auto& [id, weak] : sessions_) {
      if (auto session = weak.lock()) out.push_back(std::move(session));
    }
    return out;
  };
  // Closed outside the lock: each close posts to its session's strand.
  for (const auto& session : snapshot()) session->close_if_idle();
  net::steady_timer timer(co_await net::this_coro::executor);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (connection_count() > 0 && std::chrono::steady_clock::now() < deadline) {
    timer.expires_after(kShutdownPoll);
    co_await timer.async_wait(kTuple);
  }
  const bool all_done = connection_count() == 0;
  if (!all_done) {
    logger()->warn("{} connection(s) still busy at shutdown; answering 503 and closing them",
                   connection_count());
    // Each session answers on its own strand; wait (briefly) until all have, so the loop is
    // not stopped under them.
    auto pending = std::make_shared<std::atomic<std::size_t>>(0);
    const auto sessions = snapshot();
    pending->store(sessions.size());
    for (const auto& session : sessions) session->end_drain([pending] { --*pending; });
    const auto answered_by = std::chrono::steady_clock::now() + kDrainAnswerWait;
    while (pending->load() > 0 && std::chrono::steady_clock::now() < answered_by) {
      timer.expires_after(kShutdownPoll);
      co_await timer.async_wait(kTuple);
    }
  }
  co_return all_done;
}

}  // namespace corvid::app::http
