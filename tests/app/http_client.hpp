#pragma once
// A small synchronous HTTP/1.1 client for black-box tests against 127.0.0.1: one request per
// call on a fresh connection, or several on a kept-alive one. Each read has a deadline, so a
// server that never answers fails the test instead of hanging it.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace corvid::testing {

struct HttpAnswer {
  int status = 0;
  std::string body;
  boost::beast::http::fields headers;
  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string{} : std::string(it->value());
  }
};

class HttpConnection {
 public:
  explicit HttpConnection(std::uint16_t port) : stream_(io_) {
    stream_.expires_after(std::chrono::seconds(10));
    stream_.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  }

  HttpAnswer request(boost::beast::http::verb method, const std::string& target,
                     std::vector<std::pair<std::string, std::string>> headers = {},
                     std::string body = {}) {
    namespace http = boost::beast::http;
    http::request<http::string_body> req{method, target, 11};
    req.set(http::field::host, "127.0.0.1");
    for (auto& [name, value] : headers) req.set(name, value);
    if (!body.empty() || method == http::verb::post) {
      req.body() = std::move(body);
      req.prepare_payload();
    }
    stream_.expires_after(std::chrono::seconds(15));
    http::write(stream_, req);
    boost::beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64u << 20);
    if (method == http::verb::head) parser.skip(true);
    http::read(stream_, buffer, parser);
    auto res = parser.release();
    HttpAnswer answer;
    answer.status = static_cast<int>(res.result_int());
    answer.body = std::move(res.body());
    for (const auto& field : res) answer.headers.insert(field.name_string(), field.value());
    return answer;
  }

  // Writes raw bytes (a request left unfinished, malformed input).
  void write_raw(const std::string& bytes) {
    stream_.expires_after(std::chrono::seconds(10));
    boost::asio::write(stream_.socket(), boost::asio::buffer(bytes));
  }

  // True when the server closed this connection within `limit` (read gives end of stream or
  // an error before any further byte arrives).
  bool closed_by_peer(std::chrono::milliseconds limit) {
    stream_.expires_after(limit);
    char byte;
    boost::beast::error_code ec;
    stream_.read_some(boost::asio::buffer(&byte, 1), ec);
    return ec && ec != boost::beast::error::timeout;
  }

 private:
  boost::asio::io_context io_;
  boost::beast::tcp_stream stream_;
};

inline HttpAnswer http_request(std::uint16_t port, boost::beast::http::verb method,
                               const std::string& target,
                               std::vector<std::pair<std::string, std::string>> headers = {},
                               std::string body = {}) {
  HttpConnection connection(port);
  return connection.request(method, target, std::move(headers), std::move(body));
}

}  // namespace corvid::testing
