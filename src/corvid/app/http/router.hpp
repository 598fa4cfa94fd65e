#pragma once
// The route table as data and the one place that knows paths. An entry carries everything the
// server, the validation and the API document need: method, path template with {name}
// segments, handler, operation name, summary, description, tags, parameters, body record or
// upload flag, response record, key flag and login-guard flag.
// Owner: the application fills the table before the server starts; after that it is read-only
// and any thread may match and read it. The router applies, from the entry's flags and in this
// order: key (401), validation (422), login guard (400), then the handler; an unexpected
// exception becomes the plain 500 answer and a log line, so every request gets one answer.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/verb.hpp>

#include "corvid/app/http/net.hpp"
#include "corvid/app/http/record.hpp"
#include "corvid/app/http/request.hpp"
#include "corvid/app/http/response.hpp"

namespace corvid::app {
class AuthManager;
}

namespace corvid::app::http {

inline constexpr std::uint64_t kJsonBodyLimit = 8ull << 20;      // 8 MiB
inline constexpr std::uint64_t kUploadBodyLimit = 200ull << 20;  // 200 MiB
inline constexpr std::string_view kNotLoggedIn = "Parlo未登录";

// An HTTP handler: takes the parsed, checked request and gives the answer.
using Handler = std::function<net::awaitable<Response>(Request&)>;

// A WebSocket route, before the handshake: nullopt admits; a Response refuses the upgrade with
// that HTTP answer (401/403 {"detail": reason}) and the connection is never accepted.
using WebSocketAdmit = std::function<net::awaitable<std::optional<Response>>(Request&)>;
// A WebSocket route, after the handshake: owns the accepted stream until it returns. The
// request (header, path parameters, query) stays valid for the whole run.
using WebSocketRun = std::function<net::awaitable<void>(Request&, WebSocketStream)>;
// A WebSocket route whose handshake failed after it was admitted: the route reports it (the
// text says why); the stream is already gone.
using WebSocketFailed = std::function<void(Request&, const std::string& error)>;

enum class RouteKind { http, websocket };

struct Route {
  RouteKind kind = RouteKind::http;
  boost::beast::http::verb method = boost::beast::http::verb::get;
  std::string path;  // "/api/parlo/attach/{pid}"; a {name} stands for one decoded segment

  Handler handler;            // http routes
  WebSocketAdmit ws_admit;    // websocket routes (may be empty: admit everyone)
  WebSocketRun ws_run;        // websocket routes
  WebSocketFailed ws_failed;  // websocket routes (may be empty)

  // Documentation (the API document is generated from these fields).
  std::string operation;  // the handler's name, e.g. "send_text_message"
  std::string summary;
  std::string description;
  std::vector<std::string> tags;
  bool in_schema = true;  // false: served but not documented (docs pages, assets)

  // Inputs, validated in this order: path and query parameters, then the body.
  std::vector<Param> params;
  const Record* body = nullptr;  // a JSON body record, or nullptr
  bool upload = false;           // a multipart body, streamed through Request::body_reader
  std::uint64_t body_limit = 0;  // 0: kJsonBodyLimit, or the server's upload limit for uploads

  // Output, for the document: a record name, or empty with the content type alone
  // ("text/html" -> a string schema, "application/json" -> any value).
  std::string response_record;
  std::string response_type{kJsonType};

  bool auth = false;         // bearer key required (401 before anything else)
  bool login_guard = false;  // 400 "Parlo未登录" unless the guard predicate says logged in
  // Also answered to connections past the server's connection cap (the health check), so a
  // full server can still be watched.
  bool served_past_cap = false;

  // The limit this route's body is read under: its own, else kJsonBodyLimit for a JSON body
  // or the server's `upload_limit` for an upload.
  std::uint64_t effective_body_limit(std::uint64_t upload_limit) const {
    return body_limit != 0 ? body_limit : (upload ? upload_limit : kJsonBodyLimit);
  }
};

// The 413 answer for a body over `limit` bytes, whose detail names the limit ("Request body
// exceeds the limit of 8 MiB"); the connection closes after it, since the body stays unread.
std::string body_limit_detail(std::uint64_t limit);
Response body_too_large(std::uint64_t limit);

// The outcome of matching a method and decoded path.
struct RouteMatch {
  enum class Kind { found, not_found, method_not_allowed };
  Kind kind = Kind::not_found;
  const Route* route = nullptr;
  std::vector<std::pair<std::string, std::string>> path_params;
  std::string allow;  // 405: the path's methods, "GET, POST"
};

// A folder served under a path prefix ("/static" -> ./static). GET and HEAD only.
struct Mount {
  std::string prefix;  // "/static"; requests "/static/<file>"
  std::filesystem::path directory;
};

class Router {
 public:
  // True when the client is logged in; the guard refuses with 400 "Parlo未登录" otherwise.
  using LoginGuard = std::function<bool()>;

  explicit Router(const AuthManager& auth);

  // Appends an entry. Throws std::invalid_argument for a template that does not start with
  // "/", a malformed {name}, a missing handler, or a method + path already taken.
  void add(Route route);
  void mount(Mount mount);
  void set_login_guard(LoginGuard guard);

  // Every entry in registration order (the order of the API document).
  const std::vector<Route>& routes() const { return routes_; }
  const std::vector<Mount>& mounts() const { return mounts_; }
  const AuthManager& auth() const { return auth_; }

  // HEAD matches GET entries. `websocket` selects websocket entries (an upgrade request).
  RouteMatch match(boost::beast::http::verb method, std::string_view path,
                   bool websocket = false) const;
  // The mount serving `path`, with the rest of the path after the prefix ("" for the prefix
  // itself); nullopt when no mount covers it.
  std::optional<std::pair<const Mount*, std::string>> match_mount(std::string_view path) const;

  // The checks before the handler, from the entry's flags: key, (for uploads: a declared
  // length over the limit, 413), parameters and body (422), login guard. On success fills
  // request.user, request.params and request.json and gives nullopt; otherwise the refusal.
  // Upload routes are checked from the header alone (the body is not read yet).
  std::optional<Response> admit(const Route& route, Request& request) const;
  // The key step of admit alone (the server runs it from the header, before any body is read):
  // nullopt when the route needs no key or the key passed (request.user is then set); a key
  // already accepted for this request is not checked again.
  std::optional<Response> check_key(const Route& route, Request& request) const;
  // admit, with an unexpected exception turned into the 500 answer and a log line. Touches
  // only the route table, the key table and the request, so it may run off the loop.
  std::optional<Response> admit_safely(const Route& route, Request& request) const;
  // The handler alone, for a request already admitted; failures as in handle.
  net::awaitable<Response> run_handler(const Route& route, Request& request) const;

  // admit, then the handler; HttpError -> its answer, anything else -> 500 and a log line.
  net::awaitable<Response> handle(const Route& route, Request& request) const;

 private:
  const AuthManager& auth_;
  LoginGuard guard_;
  std::vector<Route> routes_;
  // Per entry, its template split at "/" ("{name}" segments kept as written).
  std::vector<std::vector<std::string>> segments_;
  std::vector<Mount> mounts_;
};

// "/api/parlo/attach/{pid}" -> {"pid"}; throws std::invalid_argument when malformed.
std::vector<std::string> template_names(std::string_view path_template);

}  // namespace corvid::app::http
