#pragma once
// What a handler answers: status, extra headers and either a text body or a file. Plain data,
// built on any thread; the session turns it into a Beast message (adding Date, Server,
// Content-Length, CORS and keep-alive) on the connection's strand.
// HttpError is the one exception a handler or check throws to answer with {"detail": ...};
// anything else escaping a handler becomes the plain 500 answer.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/beast/http/status.hpp>

#include "corvid/utils/json.hpp"

namespace corvid::app::http {

inline constexpr std::string_view kJsonType = "application/json";
inline constexpr std::string_view kHtmlType = "text/html; charset=utf-8";
inline constexpr std::string_view kTextType = "text/plain; charset=utf-8";

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Response {
  boost::beast::http::status status = boost::beast::http::status::ok;
  std::string content_type{kJsonType};
  Headers headers;  // extra headers, written in this order
  std::string body;
  // When set, the body is this file (streamed by the session), `body` is ignored.
  std::optional<std::filesystem::path> file;
  std::uint64_t file_size = 0;
  // Ends the connection after this answer (e.g. an upload whose body was not read to the end).
  bool close = false;
};

// A compact JSON answer (non-ASCII written as UTF-8, invalid UTF-8 replaced).
Response json_response(const Json& value,
                       boost::beast::http::status status = boost::beast::http::status::ok);

// {"detail": detail} with the given status and extra headers.
Response detail_response(boost::beast::http::status status, const Json& detail, Headers headers = {});

Response text_response(std::string text,
                       boost::beast::http::status status = boost::beast::http::status::ok);

Response html_response(std::string html,
                       boost::beast::http::status status = boost::beast::http::status::ok);

// The answer to an unexpected failure: 500, plain text "Internal Server Error".
Response internal_error_response();

// Thrown by handlers and checks: answered as status + {"detail": detail} + headers.
class HttpError : public std::runtime_error {
 public:
  HttpError(boost::beast::http::status status, Json detail, Headers headers = {});

  boost::beast::http::status status() const noexcept { return status_; }
  const Json& detail() const noexcept { return detail_; }
  const Headers& headers() const noexcept { return headers_; }
  Response to_response() const;

 private:
  boost::beast::http::status status_;
  Json detail_;
  Headers headers_;
};

}  // namespace corvid::app::http
