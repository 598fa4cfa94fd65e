#include "support/http_client.hpp"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace corvid::test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  const auto it = headers.find(beast::string_view(name.data(), name.size()));
  if (it == headers.end()) return std::nullopt;
  return std::string(it->value());
}

std::vector<std::string> HttpResponse::header_values(std::string_view name) const {
  std::vector<std::string> out;
  for (auto [it, end] = headers.equal_range(beast::string_view(name.data(), name.size()));
       it != end; ++it) {
    out.emplace_back(it->value());
  }
  return out;
}

corvid::Json HttpResponse::json() const { return corvid::Json::parse(body); }

struct HttpClient::Impl {
  std::uint16_t port;
  std::chrono::milliseconds timeout;
  net::io_context io;
  std::unique_ptr<beast::tcp_stream> stream;
  beast::flat_buffer buffer;

  bool open() {
    stream = std::make_unique<beast::tcp_stream>(io);
    buffer.clear();
    beast::error_code ec;
    stream->socket().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
    if (ec) stream.reset();
    return !ec;
  }

  // Runs one async operation on the private loop, bounded by the stream's timeout.
  template <class Start>
  beast::error_code run(Start start) {
    beast::error_code result = net::error::would_block;
    stream->expires_after(timeout);
    start([&](beast::error_code ec, std::size_t) { result = ec; });
    io.restart();
    io.run();
    return result;
  }

  HttpResponse read_response(bool head, bool& closed) {
    bhttp::response_parser<bhttp::string_body> parser;
    parser.body_limit(256u << 20);
    parser.skip(head);
    const auto ec = run([&](auto handler) { bhttp::async_read(*stream, buffer, parser, handler); });
    HttpResponse out;
    if (ec) {
      closed = true;
      return out;
    }
    auto message = parser.release();
    out.status = static_cast<int>(message.result_int());
    for (const auto& field : message) out.headers.insert(field.name_string(), field.value());
    out.body = std::move(message.body());
    closed = !message.keep_alive();
    return out;
  }
};

HttpClient::HttpClient(std::uint16_t port, std::chrono::milliseconds timeout)
    : impl_(std::make_unique<Impl>()) {
  impl_->port = port;
  impl_->timeout = timeout;
}

HttpClient::~HttpClient() = default;

bool HttpClient::connected() const { return impl_->stream != nullptr; }

HttpResponse HttpClient::request(bhttp::verb method, std::string_view target, std::string body,
                                 const HeaderList& headers) {
  if (!impl_->stream && !impl_->open()) return {};
  bhttp::request<bhttp::string_body> req{method, std::string(target), 11};
  req.set(bhttp::field::host, "127.0.0.1:" + std::to_string(impl_->port));
  for (const auto& [name, value] : headers) req.insert(name, value);
  const bool has_body = !body.empty();
  req.body() = std::move(body);
  if (has_body || method == bhttp::verb::post || method == bhttp::verb::put) req.prepare_payload();
  beast::error_code ec =
      impl_->run([&](auto handler) { bhttp::async_write(*impl_->stream, req, handler); });
  if (ec) {
    // The server may have closed an idle keep-alive connection: one fresh attempt.
    if (!impl_->open()) return {};
    ec = impl_->run([&](auto handler) { bhttp::async_write(*impl_->stream, req, handler); });
    if (ec) return {};
  }
  bool closed = false;
  HttpResponse out = impl_->read_response(method == bhttp::verb::head, closed);
  if (closed) impl_->stream.reset();
  return out;
}

HttpResponse HttpClient::get(std::string_view target, const HeaderList& headers) {
  return request(bhttp::verb::get, target, {}, headers);
}

HttpResponse HttpClient::post_json(std::string_view target, const corvid::Json& body,
                                   const HeaderList& headers) {
  HeaderList all = headers;
  all.emplace_back("Content-Type", "application/json");
  return request(bhttp::verb::post, target, body.dump(), all);
}

std::vector<HttpResponse> HttpClient::raw(std::string_view bytes, std::size_t count, bool head) {
  if (!impl_->open()) return {};
  const std::string data(bytes);
  std::vector<HttpResponse> out;
  const auto ec = impl_->run(
      [&](auto handler) { net::async_write(*impl_->stream, net::buffer(data), handler); });
  if (ec) return out;
  for (std::size_t i = 0; i < count; ++i) {
    bool closed = false;
    HttpResponse response = impl_->read_response(head, closed);
    if (response.status == 0) break;
    out.push_back(std::move(response));
  }
  return out;
}

bool HttpClient::send(std::string_view bytes) {
  if (!impl_->stream && !impl_->open()) return false;
  const auto ec = impl_->run([&](auto handler) {
    net::async_write(*impl_->stream, net::buffer(bytes.data(), bytes.size()), handler);
  });
  return !ec;
}

HttpResponse HttpClient::read_answer(bool head) {
  if (!impl_->stream) return {};
  bool closed = false;
  return impl_->read_response(head, closed);
}

bool HttpClient::closed_by_peer() {
  if (!impl_->stream) return true;
  std::array<char, 256> scratch{};
  beast::error_code ec;
  // Bytes left in the buffer mean the server sent more than was read: not closed.
  if (impl_->buffer.size() > 0) return false;
  ec = impl_->run(
      [&](auto handler) { impl_->stream->async_read_some(net::buffer(scratch), handler); });
  const bool closed = ec == net::error::eof || ec == net::error::connection_reset;
  if (closed) impl_->stream.reset();
  return closed;
}

}  // namespace corvid::test
