#pragma once
// One parsed HTTP request as a handler sees it: the header, the decoded path and query, the path
// parameters of the matched route, the body (whole, or as a stream for upload routes), the
// validated parameter and body values, and the authenticated caller.
// Owner: the session, for the duration of one request; handlers get it by reference and must not
// keep it. Threads: only the session's strand touches it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/message.hpp>

#include "corvid/app/http/url.hpp"
#include "corvid/app/security.hpp"
#include "corvid/utils/json.hpp"

namespace corvid::app::http {

struct Route;

// The body of an upload route, read on demand in pieces so it never sits whole in memory.
// The first read sends "100 Continue" when the caller asked for it.
class BodyReader {
 public:
  virtual ~BodyReader() = default;
  // The next piece of the body (valid until the next call); empty once the body is complete.
  // Throws HttpError 413 past the route's limit and boost::system::system_error on a read error
  // or malformed framing.
  virtual boost::asio::awaitable<std::string_view> read_some() = 0;
  // The declared Content-Length, when the request has one.
  virtual std::optional<std::uint64_t> content_length() const = 0;
  // The most bytes the body may have (the route's limit, or the server's for uploads).
  virtual std::uint64_t limit() const = 0;
  // True once the whole body was read.
  virtual bool done() const = 0;
};

struct Request {
  boost::beast::http::request_header<> header;
  std::string path;  // decoded
  std::string raw_query;
  QueryParams query;
  std::vector<std::pair<std::string, std::string>> path_params;  // decoded, template order
  std::string body;                       // the whole body, except on upload routes
  BodyReader* body_reader = nullptr;      // upload routes only
  Json params = Json::object();           // validated query/path values by name (defaults filled)
  Json json = nullptr;                    // the validated body record, when the route has one
  std::optional<AuthenticatedUser> user;  // set on keyed routes once the key passed
  boost::asio::ip::tcp::endpoint remote;
  std::uint64_t id = 0;     // per-process request number, for log lines
  bool keep_alive = false;  // what the caller asked for (version and Connection)
  const Route* route = nullptr;

  boost::beast::http::verb method() const { return header.method(); }
  // The first field of that name (case-insensitive); nullopt when absent.
  std::optional<std::string> header_value(std::string_view name) const;
  std::optional<std::string> query_value(std::string_view name) const { return query.get(name); }
  std::optional<std::string> path_param(std::string_view name) const;
  bool is_head() const { return header.method() == boost::beast::http::verb::head; }
};

}  // namespace corvid::app::http
