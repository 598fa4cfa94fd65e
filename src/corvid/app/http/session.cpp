#include "corvid/app/http/session.hpp"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corvid/app/http/cors.hpp"
#include "corvid/app/http/framing.hpp"
#include "corvid/app/http/request.hpp"
#include "corvid/app/http/response.hpp"
#include "corvid/app/http/router.hpp"
#include "corvid/app/http/server.hpp"
#include "corvid/app/http/side_pool.hpp"
#include "corvid/app/http/static_files.hpp"
#include "corvid/app/http/upload_body.hpp"
#include "corvid/app/http/url.hpp"
#include "corvid/utils/log.hpp"
#include "corvid/utils/memory.hpp"
#include "corvid/utils/peer_gone.hpp"

namespace corvid::app::http {

namespace {

constexpr auto kLingerQuiet = std::chrono::milliseconds(500);
constexpr auto kLingerTotal = std::chrono::seconds(2);
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kDrainEndAnswer =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
    "Content-Length: 36\r\nConnection: close\r\n\r\n"
    "{\"detail\":\"Server is shutting down\"}";
// A request line and header fields together (Beast's default, kept explicit for the 414/431 split).
constexpr std::uint32_t kHeaderLimit = 8 * 1024;
// While a header is read the connection's buffer may grow to this and no further (its own
// doubling would take it to 16 KiB for a header of 8 KiB).
constexpr std::size_t kHeaderBuffer = kHeaderLimit + 1024;
// A buffer that grew past this for a body is given back before the connection waits for its
// next request, so a kept-alive connection costs its header's bytes only.
constexpr std::size_t kIdleBuffer = 4 * 1024;
// A body the answer does not need (404, 405, a refused key) is read and dropped up to this
// size so the connection can be kept; anything larger closes the connection unread.
constexpr std::uint64_t kDrainLimit = 64 * 1024;

constexpr auto kTuple = net::as_tuple(net::use_awaitable);
// After a request whose body or answer has this size the allocator is asked to give free pages
// back; answers from this size also count against the server's answer budget.
constexpr std::size_t kLargeMessage = 1024 * 1024;
// An answer's JSON from about this size is written out on the side pool.
constexpr std::size_t kSideAnswerFrom = 32 * 1024;

std::shared_ptr<spdlog::logger> logger() { return corvid::log::get("http"); }

// The peer went away (also before or within a message, as the parser says) or the server
// closed the connection: nothing to answer.
bool benign(const beast::error_code& ec) {
  return ec == bhttp::error::end_of_stream || ec == bhttp::error::partial_message ||
         corvid::peer_gone(ec);
}

// The body of a request the server refuses without reading it whole: read through and dropped,
// so draining it costs no buffer of its own.
struct DiscardBody {
  struct value_type {};
  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(bhttp::header<isRequest, Fields>&, value_type&) {}
    void init(const boost::optional<std::uint64_t>&, beast::error_code& ec) { ec = {}; }
    template <class Buffers>
    std::size_t put(const Buffers& buffers, beast::error_code& ec) {
      ec = {};
      return net::buffer_size(buffers);
    }
    void finish(beast::error_code& ec) { ec = {}; }
  };
};

Response too_many_connections() {
  Response out = detail_response(bhttp::status::service_unavailable, "Too many connections",
                                 {{"Retry-After", "1"}});
  out.close = true;
  return out;
}

Response server_busy() {
  Response out = detail_response(bhttp::status::service_unavailable,
                                 "Server busy: too many large answers waiting for their readers",
                                 {{"Retry-After", "1"}});
  out.close = true;
  return out;
}

// 404, or for a path that differs from a registered one only by its trailing slash ("/health/"
// and "/health" name the same resource) a redirect to the registered one.
Response not_found(const Router& router, const Request& request, const std::string& raw_path) {
  std::string other = request.path;
  if (other.size() > 1 && other.back() == '/')
    other.pop_back();
  else
    other.push_back('/');
  if (other == request.path ||
      router.match(request.method(), other).kind == RouteMatch::Kind::not_found) {
    return detail_response(bhttp::status::not_found, "Not Found");
  }
  std::string location = raw_path;
  if (location.size() > 1 && location.back() == '/')
    location.pop_back();
  else
    location.push_back('/');
  if (const auto host = request.header_value("Host")) location = "http://" + *host + location;
  if (!request.raw_query.empty()) location += "?" + request.raw_query;
  Response redirect = text_response("", bhttp::status::temporary_redirect);
  redirect.content_type.clear();
  redirect.headers.emplace_back("Location", location);
  return redirect;
}

}  // namespace

Session::Session(std::shared_ptr<Server> server, tcp::socket socket, std::uint64_t id,
                 ConnectionSlot slot, bool reserve)
    : server_(std::move(server)),
      executor_(socket.get_executor()),
      stream_(std::move(socket)),
      watchdog_(executor_),
      id_(id),
      slot_(std::move(slot)),
      reserve_(reserve) {
  beast::error_code ec;
  remote_ = stream_.socket().remote_endpoint(ec);
}

void Session::start() {
  net::co_spawn(
      executor_, [self = shared_from_this()]() -> net::awaitable<void> { co_await self->run(); },
      net::detached);
}

void Session::close_if_idle() {
  net::post(executor_, [self = shared_from_this()] {
    if (self->idle_.load()) self->close_now();
  });
}

void Session::close() {
  net::post(executor_, [self = shared_from_this()] { self->close_now(); });
}

void Session::end_drain(std::function<void()> done) {
  net::post(executor_, [self = shared_from_this(), done = std::move(done)] {
    self->answer_drain_end();
    done();
  });
}

void Session::answer_drain_end() {
  if (upgraded_.load()) return;
  if (!idle_.load() && !answer_started_) {
    // A request still running (its body being read, or its handler waiting): it gets its
    // answer now, written at once without waiting; a peer whose window is full gets none.
    drain_answered_ = true;
    beast::error_code ec;
    auto& socket = stream_.socket();
    socket.non_blocking(true, ec);
    if (!ec) socket.write_some(net::buffer(kDrainEndAnswer), ec);
    if (ec) logger()->debug("connection {}: shutdown answer not written: {}", id_, ec.message());
  }
  // Reads and the handler's later answer now fail at once; the connection's coroutine closes
  // the socket when the handler returns.
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
}

void Session::expire_after(std::chrono::steady_clock::duration timeout) {
  deadline_ = std::chrono::steady_clock::now() + timeout;
  // A pending wait that ends before the new deadline finds it when it fires and waits again.
  if (watching_ && watchdog_.expiry() <= deadline_) return;
  watch();
}

void Session::watch() {
  watching_ = true;
  watchdog_.expires_at(deadline_);  // cancels an earlier wait, whose handler then does nothing
  watchdog_.async_wait([weak = weak_from_this()](const beast::error_code& ec) {
    if (ec) return;
    const auto self = weak.lock();
    if (!self || self->upgraded_.load()) return;
    self->watching_ = false;
    if (self->deadline_ == std::chrono::steady_clock::time_point::max()) return;
    if (std::chrono::steady_clock::now() < self->deadline_) {
      self->watch();
      return;
    }
    if (self->answer_moved()) {
      // A write still waiting, but the peer took bytes meanwhile: the kernel reports room only
      // once much of its buffer is free, which at a slow reader's pace may take longer than
      // the timeout.
      self->deadline_ = std::chrono::steady_clock::now() + self->server_->options().write_timeout;
      self->watch();
      return;
    }
    // As a stream's own timeout does: the operation under way ends with an error and the
    // connection's coroutine closes it.
    beast::error_code ignored;
    self->stream_.socket().close(ignored);
  });
}

bool Session::answer_moved() {
  if (unsent_ < 0) return false;
  int unsent = 0;
  if (::ioctl(stream_.socket().native_handle(), SIOCOUTQ, &unsent) != 0) return false;
  const bool moved = unsent != unsent_;
  unsent_ = unsent;
  return moved;
}

void Session::close_now() {
  if (upgraded_.load()) return;
  beast::error_code ec;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
  stream_.close();
}

net::awaitable<beast::error_code> Session::send_continue() {
  if (drain_answered_) co_return beast::error_code(net::error::operation_aborted);
  expire_after(server_->options().write_timeout);
  answer_started_ = true;  // an interim answer shares the write side
  auto [ec, n] = co_await net::async_write(stream_, net::buffer(kContinue), kTuple);
  expire_never();
  answer_started_ = false;
  co_return ec;
}

net::awaitable<beast::error_code> Session::read_body_some(
    bhttp::request_parser<bhttp::buffer_body>& parser) {
  expire_after(server_->options().body_timeout);
  auto [ec, n] = co_await bhttp::async_read_some(stream_, buffer_, parser, kTuple);
  expire_never();
  co_return ec;
}

void Session::cancel_read() {
  beast::error_code ignored;
  stream_.socket().cancel(ignored);
}

std::shared_ptr<BodyConnection> Session::share() {
  // The aliasing form: the base is private, so the converting constructor cannot see it.
  auto self = shared_from_this();
  BodyConnection* connection = this;
  return std::shared_ptr<BodyConnection>(std::move(self), connection);
}

net::any_io_executor Session::executor() const { return executor_; }

const ServerOptions& Session::options() const { return server_->options(); }

net::awaitable<void> Session::run() {
  try {
    while (!server_->stopping()) {
      const bool more = co_await serve_one();
      // serve_one's frame, and the request's body and answer with it, are gone by now.
      if (large_message_) {
        large_message_ = false;
        corvid::memory::give_back_later();
      }
      if (!more) break;
    }
  } catch (const std::exception& e) {
    logger()->error("connection {} ended by an error: {}", id_, e.what());
  } catch (...) {
    logger()->error("connection {} ended by an unknown error", id_);
  }
  if (!upgraded_.load()) {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    co_await linger();
    stream_.close();
  }
  watchdog_.cancel();
  server_->remove_session(id_);
  slot_.release();
  // What a connection used (its buffers, its frames) is spread over the allocator's arenas;
  // after many have closed, those pages go back once a quiet second has passed.
  corvid::memory::give_back_later();
}

net::awaitable<void> Session::linger() {
  // Closing with unread input makes the kernel reset the connection, which can destroy our last
  // answer (a 400 or 413) before the peer reads it; read and drop what still comes, briefly.
  std::array<char, 16 * 1024> scratch{};
  const auto deadline = std::chrono::steady_clock::now() + kLingerTotal;
  while (std::chrono::steady_clock::now() < deadline) {
    expire_after(kLingerQuiet);
    auto [ec, n] = co_await stream_.async_read_some(net::buffer(scratch), kTuple);
    expire_never();
    if (ec) break;
  }
}

net::awaitable<bool> Session::drain_body(bhttp::request_parser<bhttp::empty_body>& parser,
                                         const bhttp::request_header<>& header) {
  if (!has_body(parser)) co_return true;
  if (expects_continue(header)) co_return false;  // the caller need not send it
  if (parser.content_length() && *parser.content_length() > kDrainLimit) co_return false;
  bhttp::request_parser<DiscardBody> body(std::move(parser));
  body.body_limit(kDrainLimit);
  expire_after(server_->options().body_timeout);
  auto [ec, n] = co_await bhttp::async_read(stream_, buffer_, body, kTuple);
  expire_never();
  co_return !ec;
}

net::awaitable<bool> Session::serve_one() {
  bhttp::request_parser<bhttp::empty_body> parser;
  Request request;
  std::string raw_path;
  if (!co_await read_request(parser, request, raw_path)) co_return false;
  if (reserve_ && !admitted_past_cap(request)) {
    co_await write(request, too_many_connections());
    co_return false;
  }
  if (websocket::is_upgrade(request.header)) {
    co_await run_websocket(request);
    co_return false;
  }
  Answer answer = co_await answer_request(parser, request, raw_path);
  if (!answer.response) co_return false;
  if (!answer.body_read) answer.response->close = true;
  co_return co_await write(request, std::move(*answer.response));
}

net::awaitable<beast::error_code> Session::read_header(
    bhttp::request_parser<bhttp::empty_body>& parser) {
  parser.header_limit(kHeaderLimit);
  // The body limit depends on the route, which is known only once the header is read.
  parser.body_limit(boost::none);
  if (buffer_.capacity() > kIdleBuffer && buffer_.size() <= kIdleBuffer) buffer_.shrink_to_fit();
  const bool bounded = buffer_.size() < kHeaderBuffer;
  if (bounded) buffer_.max_size(kHeaderBuffer);
  idle_ = true;
  answer_started_ = false;
  expire_after(reserve_ ? server_->options().reserve_header_timeout
                        : server_->options().header_timeout);
  auto [ec, n] = co_await bhttp::async_read_header(stream_, buffer_, parser, kTuple);
  expire_never();
  idle_ = false;
  if (bounded) buffer_.max_size(std::numeric_limits<std::size_t>::max());
  co_return ec;
}

net::awaitable<bool> Session::read_request(bhttp::request_parser<bhttp::empty_body>& parser,
                                           Request& request, std::string& raw_path) {
  const beast::error_code ec = co_await read_header(parser);
  request.id = server_->next_request_id();
  request.remote = remote_;
  if (ec) {
    if (benign(ec)) co_return false;
    logger()->debug("connection {}: malformed request: {}", id_, ec.message());
    // A local, not a conditional inside the co_await: GCC 12 destroys such a temporary twice.
    Response refusal =
        ec == bhttp::error::header_limit ? header_too_large(parser.get()) : bad_request();
    co_await write(request, std::move(refusal));
    co_return false;
  }
  // Moved, not copied: the parser keeps what framing the body needs in its own state, and
  // each field is an allocation of its own.
  request.header = std::move(parser.get().base());
  if (auto refusal = framing_refusal(request.header)) {
    logger()->debug("connection {}: refused framing: {}", id_, refusal->body);
    co_await write(request, std::move(*refusal));
    co_return false;
  }
  request.keep_alive = parser.keep_alive();
  auto target = parse_target(request.header.target());
  if (!target) {
    co_await write(request, bad_request());
    co_return false;
  }
  request.path = std::move(target->path);
  request.raw_query = std::move(target->raw_query);
  request.query = std::move(target->query);
  raw_path = std::move(target->raw_path);
  if (logger()->should_log(spdlog::level::debug)) {
    logger()->debug("{} - \"{} {}\"", id_, std::string(request.header.method_string()),
                    redact_target(request.header.target()));
  }
  co_return true;
}

bool Session::admitted_past_cap(Request& request) const {
  // Past the connection cap only the health check gets through, once per connection.
  const auto match = server_->router().match(request.method(), request.path);
  const bool served = !websocket::is_upgrade(request.header) &&
                      match.kind == RouteMatch::Kind::found && match.route->served_past_cap;
  if (served) request.keep_alive = false;
  return served;
}

net::awaitable<Session::Answer> Session::answer_request(
    bhttp::request_parser<bhttp::empty_body>& parser, Request& request,
    const std::string& raw_path) {
  const Router& router = server_->router();
  if (is_preflight(request.header)) {
    const bool read = co_await drain_body(parser, request.header);
    co_return Answer{preflight_response(request.header), read};
  }
  auto match = router.match(request.method(), request.path);
  if (match.kind == RouteMatch::Kind::found) {
    request.route = match.route;
    request.path_params = std::move(match.path_params);
    co_return co_await answer_route(parser, request);
  }
  // No route: nothing needs the body, which is dropped if small enough to keep the connection.
  const bool read = co_await drain_body(parser, request.header);
  if (match.kind == RouteMatch::Kind::method_not_allowed) {
    co_return Answer{detail_response(bhttp::status::method_not_allowed, "Method Not Allowed",
                                     {{"Allow", match.allow}}),
                     read};
  }
  if (auto mount = router.match_mount(request.path)) {
    co_return Answer{serve_static(mount->first->directory, mount->second, request.method()), read};
  }
  co_return Answer{not_found(router, request, raw_path), read};
}

net::awaitable<Session::Answer> Session::answer_route(
    bhttp::request_parser<bhttp::empty_body>& parser, Request& request) {
  const Router& router = server_->router();
  const Route& route = *request.route;
  const std::uint64_t limit = route.effective_body_limit(server_->options().upload_body_limit);
  // The key decides first: a caller without one never gets a "100 Continue" nor has its body
  // read (beyond a small drain that keeps the connection).
  if (std::optional<Response> key_refusal = router.check_key(route, request)) {
    const bool read = co_await drain_body(parser, request.header);
    co_return Answer{std::move(key_refusal), read};
  }
  if (route.upload) co_return co_await answer_upload(parser, request, limit);
  if (parser.content_length() && *parser.content_length() > limit) {
    co_return Answer{body_too_large(limit), false};  // refused from the header: never read
  }
  if (has_body(parser)) co_return co_await answer_body(parser, request, limit);
  Response response = co_await router.handle(route, request);
  co_return Answer{std::move(response), true};
}

net::awaitable<Session::Answer> Session::answer_upload(
    bhttp::request_parser<bhttp::empty_body>& parser, Request& request, std::uint64_t limit) {
  bhttp::request_parser<bhttp::buffer_body> body(std::move(parser));
  body.body_limit(limit);
  // Beast sizes each receive by the buffer's free capacity (at least 512 bytes); after a
  // header the buffer is small, so without room every receive would carry 512 bytes.
  buffer_.reserve(kBodyChunk);
  UploadBody reader(*this, body, limit, expects_continue(request.header));
  request.body_reader = &reader;
  Response response = co_await server_->router().handle(*request.route, request);
  request.body_reader = nullptr;
  co_return Answer{std::move(response), reader.done()};
}

net::awaitable<Session::Answer> Session::answer_body(
    bhttp::request_parser<bhttp::empty_body>& parser, Request& request, std::uint64_t limit) {
  if (expects_continue(request.header)) {
    const beast::error_code continued = co_await send_continue();
    if (continued) co_return Answer{};
  }
  bhttp::request_parser<bhttp::string_body> body(std::move(parser));
  body.body_limit(limit);
  // Room for large receives (as for an upload), as much as the declared body needs.
  buffer_.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(body.content_length().value_or(0), kBodyChunk)));
  expire_after(server_->options().body_timeout);
  auto [ec, n] = co_await bhttp::async_read(stream_, buffer_, body, kTuple);
  expire_never();
  if (ec == bhttp::error::body_limit) co_return Answer{body_too_large(limit), false};
  if (ec && benign(ec)) co_return Answer{};
  if (ec) {
    logger()->debug("connection {}: malformed body: {}", id_, ec.message());
    co_return Answer{bad_request(), false};
  }
  request.body = std::move(body.get().body());
  const std::size_t size = request.body.size();
  large_message_ = large_message_ || size >= kLargeMessage;
  const Router& router = server_->router();
  const Route& route = *request.route;
  if (size < kSideWorkFrom) {
    Response response = co_await router.handle(route, request);
    co_return Answer{std::move(response), true};
  }
  // Parsing and checking a JSON body of this size takes a millisecond or more (much more for
  // some shapes); done here it would stall every other connection of this loop thread.
  Request& shared = request;
  std::optional<Response> refusal = co_await on_side(
      size, [&router, &route, &shared] { return router.admit_safely(route, shared); });
  // The shutdown's drain may have answered this request meanwhile.
  if (drain_answered_) co_return Answer{};
  if (refusal) co_return Answer{std::move(refusal), true};
  Response response = co_await router.run_handler(route, request);
  co_return Answer{std::move(response), true};
}

net::awaitable<bool> Session::write(const Request& request, Response response) {
  if (response.json) {
    // A large JSON answer is written out on the side; its text alone is held from here on.
    // (No co_await inside a conditional: GCC 12 destroys such temporaries twice.)
    bool fits = true;
    if (!json_text_reaches(*response.json, kSideAnswerFrom)) {
      fits = write_out_json(response);
    } else {
      const std::size_t lane =
          json_text_reaches(*response.json, kLargeSideWork) ? kLargeSideWork : kSideAnswerFrom;
      fits = co_await on_side(lane, [&response] { return write_out_json(response); });
    }
    if (!fits) {
      logger()->warn(
          "request {}: answer over the limit of {} MiB not sent; the route's failure "
          "answered instead",
          request.id, kAnswerLimit >> 20);
    }
  }
  // The drain's end already answered this request for it.
  if (drain_answered_) co_return false;
  answer_started_ = true;
  // A large answer waits in memory for its reader: all of them together stay within the
  // server's answer budget, and their memory goes back once written.
  std::uint64_t held = 0;
  if (response.body.size() >= kLargeMessage) {
    large_message_ = true;
    if (server_->take_answer_bytes(response.body.size())) {
      held = response.body.size();
    } else {
      logger()->warn(
          "request {}: answer of {} bytes refused: large answers being written "
          "already hold the budget of {} MiB",
          request.id, response.body.size(), server_->options().answer_budget >> 20);
      response = server_busy();
    }
  }
  // A file found by its route but gone or unreadable by now is answered as not found.
  bhttp::file_body::value_type file;
  if (response.file) {
    beast::error_code ec;
    file.open(response.file->c_str(), beast::file_mode::scan, ec);
    if (ec) response = detail_response(bhttp::status::not_found, "Not Found");
  }
  if (!is_preflight(request.header)) add_cors_headers(request.header, response);
  const bool keep_alive = request.keep_alive && !response.close && !server_->stopping();
  const unsigned version = request.header.version() == 10 ? 10 : 11;
  const bool head = request.header.method() == bhttp::verb::head;
  beast::error_code ec;
  if (file.is_open()) {
    bhttp::response<bhttp::file_body> res{response.status, version};
    res.body() = std::move(file);
    ec = co_await send_answer(res, response, keep_alive, head);
  } else {
    bhttp::response<bhttp::string_body> res{response.status, version};
    res.body() = std::move(response.body);
    ec = co_await send_answer(res, response, keep_alive, head);
  }
  if (held > 0) server_->give_answer_bytes(held);
  last_write_error_ = ec;
  co_return !ec && keep_alive;
}

template <class Body>
net::awaitable<beast::error_code> Session::send_answer(bhttp::response<Body>& res,
                                                       const Response& response, bool keep_alive,
                                                       bool head) {
  res.set(bhttp::field::server, server_->options().server_name);
  res.set(bhttp::field::date, http_date());
  if (!response.content_type.empty()) res.set(bhttp::field::content_type, response.content_type);
  for (const auto& [name, value] : response.headers) res.insert(name, value);
  // The length of the body as it is now: for a file, the file as it was opened.
  res.prepare_payload();
  res.keep_alive(keep_alive);
  co_return co_await send(res, head);
}

template <class Body>
net::awaitable<beast::error_code> Session::send(bhttp::response<Body>& res, bool head) {
  bhttp::response_serializer<Body> serializer{res};
  if (head) serializer.split(true);
  beast::error_code ec;
  // The deadline counts a stall, not the whole answer: it is set anew whenever the peer has
  // taken bytes, so a slow reader gets the whole answer and one that takes nothing is cut.
  while (!ec && !(head ? serializer.is_header_done() : serializer.is_done())) {
    expire_after(server_->options().write_timeout);
    std::tie(ec, std::ignore) = co_await bhttp::async_write_some(stream_, serializer, kTuple);
    // More to write: the next write waits for room, and the deadline looks at whether the
    // bytes queued in the kernel move meanwhile.
    unsent_ = -1;
    if (!ec && !serializer.is_done()) {
      int unsent = 0;
      if (::ioctl(stream_.socket().native_handle(), SIOCOUTQ, &unsent) == 0) unsent_ = unsent;
    }
  }
  unsent_ = -1;
  expire_never();
  co_return ec;
}

net::awaitable<void> Session::run_websocket(Request& request) {
  const Router& router = server_->router();
  auto match = router.match(request.method(), request.path, true);
  if (match.kind != RouteMatch::Kind::found) {
    // An upgrade to a path without a WebSocket route is refused, never accepted, and answered
    // as any unknown path is.
    Response refusal = detail_response(bhttp::status::not_found, "Not Found");
    refusal.close = true;
    co_await write(request, std::move(refusal));
    co_return;
  }
  const Route& route = *match.route;
  request.route = &route;
  request.path_params = std::move(match.path_params);

  std::optional<Response> refusal;
  bool failed = false;
  if (route.ws_admit) {
    try {
      refusal = co_await route.ws_admit(request);
    } catch (const HttpError& e) {
      refusal = e.to_response();
    } catch (const std::exception& e) {
      logger()->error("Exception in request {} WEBSOCKET {}: {}", request.id,
                      redact_target(request.header.target()), e.what());
      failed = true;
    }
  }
  if (failed) refusal = internal_error_response();
  if (refusal) {
    refusal->close = true;
    const bool key_refusal = refusal->status == bhttp::status::unauthorized;
    co_await write(request, std::move(*refusal));
    if (key_refusal && last_write_error_ && !benign(last_write_error_)) {
      log_websocket_auth_error(last_write_error_.message());
    }
    co_return;
  }

  // From here the stream belongs to the route; the server no longer drains or closes it, but
  // its place in the connection budget stays taken until the route ends.
  upgraded_ = true;
  expire_never();
  watchdog_.cancel();
  server_->remove_session(id_);
  WebSocketStream ws(stream_.release_socket());
  set_up_server_stream(ws, server_->options().server_name);
  const bhttp::request<bhttp::empty_body> upgrade(request.header);
  auto [ec] = co_await ws.async_accept(upgrade, kTuple);
  if (ec) {
    logger()->debug("connection {}: WebSocket handshake failed: {}", id_, ec.message());
    if (route.ws_failed) {
      try {
        route.ws_failed(request, ec.message());
      } catch (const std::exception& e) {
        logger()->error("WebSocket route {} failed to report a handshake error: {}", route.path,
                        e.what());
      }
    }
    co_return;
  }
  // The route runs in a coroutine of its own on the connection's strand, which owns the request
  // and the stream: this session's coroutine (its parser, buffers and frames) ends here instead
  // of staying suspended under every open WebSocket. The connection's place in the server's
  // budget goes with it, for as long as the route runs.
  net::co_spawn(
      executor_,
      [&route, request = std::move(request), ws = std::move(ws),
       slot = std::move(slot_)]() mutable -> net::awaitable<void> {
        try {
          co_await route.ws_run(request, std::move(ws));
        } catch (const std::exception& e) {
          logger()->error("WebSocket route {} ended by an error: {}", route.path, e.what());
        } catch (...) {
          logger()->error("WebSocket route {} ended by an unknown error", route.path);
        }
      },
      net::detached);
}

}  // namespace corvid::app::http
