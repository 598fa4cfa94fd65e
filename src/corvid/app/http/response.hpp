#pragma once
// What a handler answers: status, extra headers and a text body, a JSON value still to be
// written out, or a file. Plain data, built on any thread; the session turns it into a Beast
// message (adding Date, Server, Content-Length, CORS and keep-alive) on the connection's strand,
// and writes out a large JSON value on the side pool first.
// HttpError is the one exception a handler or check throws to answer with {"detail": ...};
// anything else escaping a handler becomes the plain 500 answer. http_date() is the Date field
// every answer carries, cached per thread.
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
  // When set, the body is this value's compact JSON text, written out by the session (see
  // deferred_json_response); `oversize` is answered instead when that text would pass
  // kAnswerLimit.
  std::optional<Json> json;
  std::optional<Json> oversize;
  // When set, the body is this file (streamed by the session, with the length it has when the
  // session opens it), `body` is ignored.
  std::optional<std::filesystem::path> file;
  // Ends the connection after this answer (e.g. an upload whose body was not read to the end).
  bool close = false;
};

// A compact JSON answer (non-ASCII written as UTF-8, invalid UTF-8 replaced).
Response json_response(const Json& value,
                       boost::beast::http::status status = boost::beast::http::status::ok);

// The most bytes one answer's text may take: a large client reply past it is answered with the
// route's failure record instead.
inline constexpr std::size_t kAnswerLimit = 128ull << 20;

// A JSON answer that may be large (a client's reply passed on): the session writes out its
// text, off the loop threads when it is large. `oversize` is the answer (200) when the text
// would pass kAnswerLimit.
Response deferred_json_response(Json value, Json oversize);

// Whether value's compact text reaches `bytes`, judged from its strings and the count of its
// values without writing it, and stopping as soon as it does: cheap for any size.
bool json_text_reaches(const Json& value, std::size_t bytes);

// Writes response.json out into response.body (or response.oversize when the text would pass
// `limit`: false then) and clears both. Any thread.
bool write_out_json(Response& response, std::size_t limit = kAnswerLimit);

// {"detail": detail} with the given status and extra headers.
Response detail_response(boost::beast::http::status status, const Json& detail,
                         Headers headers = {});

Response text_response(std::string text,
                       boost::beast::http::status status = boost::beast::http::status::ok);

Response html_response(std::string html,
                       boost::beast::http::status status = boost::beast::http::status::ok);

// The answer to an unexpected failure: 500, plain text "Internal Server Error".
Response internal_error_response();

// Text made safe to place in HTML text or a quoted attribute.
std::string html_escape(std::string_view text);

// The Date field's text for the current second ("Sun, 06 Nov 1994 08:49:37 GMT"). It changes
// once a second, so each thread formats it once per second, not once per answer; the text
// stays valid on the calling thread until its next call.
const std::string& http_date();

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
