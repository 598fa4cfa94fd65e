#pragma once
// A small synchronous HTTP/1.1 client for tests: one keep-alive connection to 127.0.0.1:<port>
// (reopened when the server closed it), every read bounded by a timeout, and a raw mode that
// sends bytes exactly as given (malformed requests, pipelining) and parses what comes back.
// Owner: one test thread; not shared.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/verb.hpp>

#include "corvid/utils/json.hpp"

namespace corvid::test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
  int status = 0;  // 0: no answer (connection closed or timed out)
  boost::beast::http::fields headers;
  std::string body;

  std::optional<std::string> header(std::string_view name) const;
  // Every value of a header that may repeat (Vary, ...), in order.
  std::vector<std::string> header_values(std::string_view name) const;
  corvid::Json json() const;  // parses body (throws when it is not JSON)
};

class HttpClient {
 public:
  explicit HttpClient(std::uint16_t port,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  HttpResponse request(boost::beast::http::verb method, std::string_view target,
                       std::string body = {}, const HeaderList& headers = {});
  HttpResponse get(std::string_view target, const HeaderList& headers = {});
  HttpResponse post_json(std::string_view target, const corvid::Json& body,
                         const HeaderList& headers = {});

  // Sends `bytes` on a new connection and reads up to `count` answers. After it,
  // closed_by_peer() tells whether the server then closed that connection.
  std::vector<HttpResponse> raw(std::string_view bytes, std::size_t count = 1, bool head = false);
  bool closed_by_peer();

  // Step by step on the current connection (opened when needed), for exchanges such as
  // "Expect: 100-continue": send bytes, read one answer (an interim 1xx counts as one).
  bool send(std::string_view bytes);
  HttpResponse read_answer(bool head = false);

  // True while the current connection is open as far as this side knows.
  bool connected() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvid::test
