#include "corvid/app/http/session.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corvid/app/http/cors.hpp"
#include "corvid/app/http/request.hpp"
#include "corvid/app/http/response.hpp"
#include "corvid/app/http/router.hpp"
#include "corvid/app/http/server.hpp"
#include "corvid/app/http/static_files.hpp"
#include "corvid/app/http/url.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app::http {

namespace {

constexpr std::size_t kUploadChunk = 64 * 1024;
constexpr std::size_t kWebSocketMessageLimit = 64 * 1024;
constexpr auto kWebSocketIdle = std::chrono::seconds(40);  // pings at half of it
constexpr std::size_t kWebSocketWriteBuffer = 64;  // the least Beast takes is 8
constexpr std::string_view kInvalidRequest = "Invalid HTTP request received.";
constexpr auto kLingerQuiet = std::chrono::milliseconds(500);
constexpr auto kLingerTotal = std::chrono::seconds(2);
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

constexpr auto kTuple = net::as_tuple(net::use_awaitable);

std::shared_ptr<spdlog::logger> logger() { return corvid::log::get("http"); }

std::string http_date() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::array<char, 64> text{};
  const auto n = std::strftime(text.data(), text.size(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return std::string(text.data(), n);
}

// The peer went away or the server closed the connection: nothing to answer.
bool benign(const beast::error_code& ec) {
  return ec == bhttp::error::end_of_stream || ec == bhttp::error::partial_message ||
         ec == net::error::eof || ec == beast::error::timeout ||
         ec == net::error::operation_aborted || ec == net::error::connection_reset ||
         ec == net::error::bad_descriptor || ec == net::error::broken_pipe ||
         ec == net::error::not_connected;
}

bool has_body(const bhttp::request_parser<bhttp::empty_body>& parser) {
  return parser.chunked() || (parser.content_length() && *parser.content_length() > 0);
}

bool expects_continue(const bhttp::request_header<>& header) {
  const auto it = header.find(bhttp::field::expect);
  return it != header.end() && beast::iequals(it->value(), "100-continue");
}

Response bad_request() {
  Response out = text_response(std::string(kInvalidRequest), bhttp::status::bad_request);
  out.close = true;
  return out;
}

Response too_large() {
  Response out = detail_response(bhttp::status::payload_too_large, "Request Entity Too Large");
  out.close = true;
  return out;
}

template <class Message>
void set_common_fields(Message& res, const Response& response, const std::string& server_name) {
  res.set(bhttp::field::server, server_name);
  res.set(bhttp::field::date, http_date());
  if (!response.content_type.empty()) res.set(bhttp::field::content_type, response.content_type);
  for (const auto& [name, value] : response.headers) res.insert(name, value);
}

}  // namespace

// The body of an upload route, pulled from the connection piece by piece.
class UploadBody final : public BodyReader {
 public:
  UploadBody(Session& session, bhttp::request_parser<bhttp::buffer_body>& parser,
             bool expect_continue)
      : session_(session), parser_(parser), expect_continue_(expect_continue) {
    // Beast sizes each receive by the buffer's free capacity (at least 512 bytes); after a
    // header the buffer is small, so without room every receive would carry 512 bytes.
    session_.buffer_.reserve(kUploadChunk);
  }

  net::awaitable<std::string_view> read_some() override {
    if (failed_) throw beast::system_error(net::error::operation_aborted);
    if (parser_.is_done()) co_return std::string_view{};
    if (expect_continue_) {
      expect_continue_ = false;
      session_.stream_.expires_after(session_.server_->options().write_timeout);
      auto [ec, n] = co_await net::async_write(session_.stream_, net::buffer(kContinue), kTuple);
      if (ec) {
        failed_ = true;
        throw beast::system_error(ec);
      }
    }
    for (;;) {
      parser_.get().body().data = chunk_.data();
      parser_.get().body().size = chunk_.size();
      session_.stream_.expires_after(session_.server_->options().body_timeout);
      auto [ec, n] = co_await bhttp::async_read_some(session_.stream_, session_.buffer_, parser_,
                                                     kTuple);
      if (ec == bhttp::error::need_buffer) ec = {};
      if (ec == bhttp::error::body_limit) {
        failed_ = true;
        throw HttpError(bhttp::status::payload_too_large, "Request Entity Too Large");
      }
      if (ec) {
        failed_ = true;
        throw beast::system_error(ec);
      }
      const std::size_t got = chunk_.size() - parser_.get().body().size;
      if (got > 0) co_return std::string_view(chunk_.data(), got);
      if (parser_.is_done()) co_return std::string_view{};
    }
  }

  std::optional<std::uint64_t> content_length() const override {
    if (auto n = parser_.content_length()) return static_cast<std::uint64_t>(*n);
    return std::nullopt;
  }

  bool done() const override { return !failed_ && parser_.is_done(); }

 private:
  Session& session_;
  bhttp::request_parser<bhttp::buffer_body>& parser_;
  bool expect_continue_;
  bool failed_ = false;
  // On the heap: the reader lives in the frame of every request's coroutine, and 64 KiB there
  // made each request's frame a large allocation.
  std::vector<char> chunk_ = std::vector<char>(kUploadChunk);
};

Session::Session(std::shared_ptr<Server> server, tcp::socket socket, std::uint64_t id)
    : server_(std::move(server)),
      executor_(socket.get_executor()),
      stream_(std::move(socket)),
      id_(id) {
  beast::error_code ec;
  remote_ = stream_.socket().remote_endpoint(ec);
}

void Session::start() {
  net::co_spawn(
      executor_,
      [self = shared_from_this()]() -> net::awaitable<void> { co_await self->run(); },
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

void Session::close_now() {
  if (upgraded_.load()) return;
  beast::error_code ec;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
  stream_.close();
}

net::awaitable<void> Session::run() {
  try {
    while (!server_->stopping()) {
      if (!co_await serve_one()) break;
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
  server_->remove_session(id_);
}

net::awaitable<void> Session::linger() {
  // Closing with unread input makes the kernel reset the connection, which can destroy our last
  // answer (a 400 or 413) before the peer reads it; read and drop what still comes, briefly.
  std::array<char, 16 * 1024> scratch{};
  const auto deadline = std::chrono::steady_clock::now() + kLingerTotal;
  while (std::chrono::steady_clock::now() < deadline) {
    stream_.expires_after(kLingerQuiet);
    auto [ec, n] = co_await stream_.async_read_some(net::buffer(scratch), kTuple);
    if (ec) break;
  }
}

net::awaitable<bool> Session::drain_body(bhttp::request_parser<bhttp::empty_body>& parser) {
  if (!has_body(parser)) co_return true;
  if (expects_continue(parser.get())) co_return false;  // the caller need not send it
  if (parser.content_length() && *parser.content_length() > kJsonBodyLimit) co_return false;
  bhttp::request_parser<bhttp::string_body> body(std::move(parser));
  body.body_limit(kJsonBodyLimit);
  stream_.expires_after(server_->options().body_timeout);
  auto [ec, n] = co_await bhttp::async_read(stream_, buffer_, body, kTuple);
  co_return !ec;
}

net::awaitable<bool> Session::serve_one() {
  bhttp::request_parser<bhttp::empty_body> parser;  // Beast's default header limit
  // The body limit depends on the route, which is known only once the header is read.
  parser.body_limit(boost::none);
  idle_ = true;
  stream_.expires_after(server_->options().header_timeout);
  auto [ec, n] = co_await bhttp::async_read_header(stream_, buffer_, parser, kTuple);
  idle_ = false;
  Request request;
  request.id = server_->next_request_id();
  request.remote = remote_;
  if (ec) {
    if (benign(ec)) co_return false;
    logger()->debug("connection {}: malformed request: {}", id_, ec.message());
    co_await write(request, bad_request());
    co_return false;
  }
  request.header = parser.get().base();
  request.keep_alive = parser.keep_alive();
  auto target = parse_target(request.header.target());
  if (!target) {
    co_await write(request, bad_request());
    co_return false;
  }
  request.path = std::move(target->path);
  request.raw_query = std::move(target->raw_query);
  request.query = std::move(target->query);
  if (logger()->should_log(spdlog::level::debug)) {
    logger()->debug("{} - \"{} {}\"", id_, std::string(request.header.method_string()),
                    redact_target(request.header.target()));
  }

  if (websocket::is_upgrade(parser.get())) {
    co_await run_websocket(request, parser);
    co_return false;
  }

  const Router& router = server_->router();
  std::optional<Response> response;
  bool body_read = !has_body(parser);

  if (is_preflight(request.header)) {
    body_read = co_await drain_body(parser);
    response = preflight_response(request.header);
  } else if (auto match = router.match(request.method(), request.path);
             match.kind == RouteMatch::Kind::found) {
    const Route& route = *match.route;
    request.route = &route;
    request.path_params = std::move(match.path_params);
    const std::uint64_t limit =
        route.body_limit != 0 ? route.body_limit
                              : (route.upload ? server_->options().upload_body_limit
                                              : kJsonBodyLimit);
    if (route.upload) {
      bhttp::request_parser<bhttp::buffer_body> body(std::move(parser));
      body.body_limit(limit);
      UploadBody reader(*this, body, expects_continue(request.header));
      request.body_reader = &reader;
      Route limited = route;
      limited.body_limit = limit;
      response = co_await router.handle(limited, request);
      request.body_reader = nullptr;
      body_read = reader.done();
    } else if (parser.content_length() && *parser.content_length() > limit) {
      response = too_large();  // refused from the header: the body is never read
    } else if (!body_read) {
      if (expects_continue(request.header)) {
        stream_.expires_after(server_->options().write_timeout);
        auto [wec, wn] = co_await net::async_write(stream_, net::buffer(kContinue), kTuple);
        if (wec) co_return false;
      }
      bhttp::request_parser<bhttp::string_body> body(std::move(parser));
      body.body_limit(limit);
      // Room for large receives (see UploadBody), as much as the declared body needs.
      buffer_.reserve(static_cast<std::size_t>(
          std::min<std::uint64_t>(body.content_length().value_or(0), kUploadChunk)));
      stream_.expires_after(server_->options().body_timeout);
      auto [bec, bn] = co_await bhttp::async_read(stream_, buffer_, body, kTuple);
      if (bec == bhttp::error::body_limit) {
        response = too_large();
      } else if (bec && benign(bec)) {
        co_return false;
      } else if (bec) {
        logger()->debug("connection {}: malformed body: {}", id_, bec.message());
        response = bad_request();
      } else {
        body_read = true;
        request.body = std::move(body.get().body());
        response = co_await router.handle(route, request);
      }
    } else {
      response = co_await router.handle(route, request);
    }
  } else if (match.kind == RouteMatch::Kind::method_not_allowed) {
    body_read = co_await drain_body(parser);
    response = detail_response(bhttp::status::method_not_allowed, "Method Not Allowed",
                               {{"Allow", match.allow}});
  } else if (auto mount = router.match_mount(request.path)) {
    body_read = co_await drain_body(parser);
    response = serve_static(mount->first->directory, mount->second, request.method());
  } else {
    body_read = co_await drain_body(parser);
    // "/health/" and "/health" name the same resource: point the caller at the registered one.
    std::string other = request.path;
    if (other.size() > 1 && other.back() == '/') other.pop_back();
    else other.push_back('/');
    if (other != request.path &&
        router.match(request.method(), other).kind != RouteMatch::Kind::not_found) {
      std::string location = target->raw_path;
      if (location.size() > 1 && location.back() == '/') location.pop_back();
      else location.push_back('/');
      if (const auto host = request.header_value("Host")) location = "http://" + *host + location;
      if (!request.raw_query.empty()) location += "?" + request.raw_query;
      Response redirect = text_response("", bhttp::status::temporary_redirect);
      redirect.content_type.clear();
      redirect.headers.emplace_back("Location", location);
      response = std::move(redirect);
    } else {
      response = detail_response(bhttp::status::not_found, "Not Found");
    }
  }
  if (!body_read) response->close = true;
  co_return co_await write(request, std::move(*response));
}

net::awaitable<bool> Session::write(const Request& request, Response response) {
  if (!is_preflight(request.header)) add_cors_headers(request.header, response);
  const bool keep_alive = request.keep_alive && !response.close && !server_->stopping();
  const unsigned version = request.header.version() == 10 ? 10 : 11;
  const bool head = request.header.method() == bhttp::verb::head;
  const std::string& server_name = server_->options().server_name;
  stream_.expires_after(server_->options().write_timeout);
  beast::error_code ec;

  if (response.file) {
    bhttp::response<bhttp::file_body> res{response.status, version};
    res.body().open(response.file->c_str(), beast::file_mode::scan, ec);
    if (!ec) {
      set_common_fields(res, response, server_name);
      res.content_length(response.file_size);
      res.keep_alive(keep_alive);
      if (head) {
        bhttp::response_serializer<bhttp::file_body> sr{res};
        std::tie(ec, std::ignore) = co_await bhttp::async_write_header(stream_, sr, kTuple);
      } else {
        std::tie(ec, std::ignore) = co_await bhttp::async_write(stream_, res, kTuple);
      }
      last_write_error_ = ec;
      co_return !ec && keep_alive;
    }
    response = detail_response(bhttp::status::not_found, "Not Found");
    if (!is_preflight(request.header)) add_cors_headers(request.header, response);
  }

  bhttp::response<bhttp::string_body> res{response.status, version};
  set_common_fields(res, response, server_name);
  res.body() = std::move(response.body);
  res.prepare_payload();
  res.keep_alive(keep_alive);
  if (head) {
    bhttp::response_serializer<bhttp::string_body> sr{res};
    std::tie(ec, std::ignore) = co_await bhttp::async_write_header(stream_, sr, kTuple);
  } else {
    std::tie(ec, std::ignore) = co_await bhttp::async_write(stream_, res, kTuple);
  }
  last_write_error_ = ec;
  co_return !ec && keep_alive;
}

net::awaitable<void> Session::run_websocket(Request& request,
                                            bhttp::request_parser<bhttp::empty_body>& parser) {
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

  // From here the stream belongs to the route; the server no longer counts or closes it.
  upgraded_ = true;
  server_->remove_session(id_);
  WebSocketStream ws(std::move(stream_));
  beast::get_lowest_layer(ws).expires_never();
  auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
  timeouts.idle_timeout = kWebSocketIdle;
  timeouts.keep_alive_pings = true;
  ws.set_option(timeouts);
  ws.read_message_max(kWebSocketMessageLimit);
  // Each message goes out as one frame, written straight from its text: the write buffer only
  // serves fragmenting, and an idle connection would keep its 4 KiB for nothing.
  ws.auto_fragment(false);
  ws.write_buffer_bytes(kWebSocketWriteBuffer);
  const std::string server_name = server_->options().server_name;
  ws.set_option(websocket::stream_base::decorator(
      [server_name](websocket::response_type& res) { res.set(bhttp::field::server, server_name); }));
  auto [ec] = co_await ws.async_accept(parser.get(), kTuple);
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
  // of staying suspended under every open WebSocket.
  net::co_spawn(
      executor_,
      [&route, request = std::move(request), ws = std::move(ws)]() mutable -> net::awaitable<void> {
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
