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

std::size_t soft_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::size_t{1} << 21;
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace

std::size_t derived_max_connections(std::size_t descriptors, std::size_t reserve) {
  const std::size_t kept = kReservedDescriptors + reserve;
  return std::max(kMinConnections, descriptors > kept ? (descriptors - kept) / 2 : 0);
}

ConnectionSlot::ConnectionSlot(std::shared_ptr<std::atomic<std::size_t>> count)
    : count_(std::move(count)) {
  count_->fetch_add(1);
}

ConnectionSlot& ConnectionSlot::operator=(ConnectionSlot&& other) noexcept {
  if (this != &other) {
    release();
    count_ = std::move(other.count_);
  }
  return *this;
}

void ConnectionSlot::release() {
  if (count_) count_->fetch_sub(1);
  count_.reset();
}

Server::Server(net::io_context& io, const Router& router, ServerOptions options)
    : io_(io), router_(router), options_(std::move(options)), acceptor_(net::make_strand(io)) {
  if (options_.max_connections == 0) {
    options_.max_connections =
        derived_max_connections(soft_descriptor_limit(), options_.reserve_connections);
  }
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
  logger()->info(
      "connections: at most {} open, HTTP and WebSocket alike, and {} more for the "
      "health check",
      options_.max_connections, options_.reserve_connections);
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
      // Out of descriptors and similar: wait a moment instead of spinning, and say so once
      // until an accept works again.
      if (!accept_failed_logged_) {
        accept_failed_logged_ = true;
        logger()->warn("accept failed: {} (retrying every {} ms; logged once until it works)",
                       ec.message(), kAcceptRetry.count());
      }
      retry.expires_after(kAcceptRetry);
      co_await retry.async_wait(kTuple);
      continue;
    }
    accept_failed_logged_ = false;
    // Only this loop takes places, so the check and the take cannot race; places are given
    // back from any thread.
    if (open_->load() < options_.max_connections) {
      busy_logged_ = false;
      start_session(std::move(socket), ConnectionSlot(open_), false);
      continue;
    }
    if (!busy_logged_.exchange(true)) {
      logger()->warn(
          "connection cap of {} reached; new connections get the health check only, the rest "
          "503",
          options_.max_connections);
    }
    // A full reserve makes room by closing its oldest connection (one per newcomer, so the
    // reserve's descriptors stay bounded): idle sockets past the cap cannot keep the health
    // check out.
    while (!reserve_sessions_.empty() && reserve_sessions_.front().expired()) {
      reserve_sessions_.pop_front();
    }
    if (reserve_->load() >= options_.reserve_connections && !reserve_sessions_.empty()) {
      if (auto oldest = reserve_sessions_.front().lock()) oldest->close();
      reserve_sessions_.pop_front();
    }
    if (auto session = start_session(std::move(socket), ConnectionSlot(reserve_), true)) {
      reserve_sessions_.push_back(session);
    }
  }
}

std::shared_ptr<Session> Server::start_session(tcp::socket socket, ConnectionSlot slot,
                                               bool reserve) {
  try {
    const std::uint64_t id = next_id_.fetch_add(1);
    auto session = std::make_shared<Session>(shared_from_this(), std::move(socket), id,
                                             std::move(slot), reserve);
    add_session(id, session);
    session->start();
    return session;
  } catch (const std::exception& e) {
    logger()->error("cannot start a connection: {}", e.what());
    return nullptr;
  }
}

bool Server::take_answer_bytes(std::uint64_t bytes) {
  if (answer_bytes_.fetch_add(bytes) + bytes <= options_.answer_budget) return true;
  answer_bytes_.fetch_sub(bytes);
  return false;
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
