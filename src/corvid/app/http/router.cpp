#include "corvid/app/http/router.hpp"

#include <exception>
#include <stdexcept>

#include "corvid/app/http/url.hpp"
#include "corvid/app/security.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app::http {

namespace {

std::vector<std::string> split_path(std::string_view path) {
  // "/a/b" -> {"a", "b"}, "/" -> {""}, "/a/" -> {"a", ""}
  std::vector<std::string> out;
  std::string_view rest = path.substr(1);
  while (true) {
    const auto slash = rest.find('/');
    out.emplace_back(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest = rest.substr(slash + 1);
  }
  return out;
}

bool is_param_segment(std::string_view segment) {
  return segment.size() >= 2 && segment.front() == '{' && segment.back() == '}';
}

bool is_json_content_type(std::string_view value) {
  const auto semicolon = value.find(';');
  std::string type(value.substr(0, semicolon));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  for (auto& c : type) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (type == "application/json") return true;
  return type.starts_with("application/") && type.ends_with("+json");
}

}  // namespace

std::string body_limit_detail(std::uint64_t limit) {
  constexpr std::uint64_t kKiB = 1024;
  constexpr std::uint64_t kMiB = kKiB * kKiB;
  std::string size;
  if (limit >= kMiB && limit % kMiB == 0)
    size = std::to_string(limit / kMiB) + " MiB";
  else if (limit >= kKiB && limit % kKiB == 0)
    size = std::to_string(limit / kKiB) + " KiB";
  else
    size = std::to_string(limit) + (limit == 1 ? " byte" : " bytes");
  return "Request body exceeds the limit of " + size;
}

Response body_too_large(std::uint64_t limit) {
  Response out = detail_response(bhttp::status::payload_too_large, body_limit_detail(limit));
  out.close = true;
  return out;
}

std::vector<std::string> template_names(std::string_view path_template) {
  if (path_template.empty() || path_template.front() != '/') {
    throw std::invalid_argument("route path must start with \"/\": " + std::string(path_template));
  }
  std::vector<std::string> names;
  for (const auto& segment : split_path(path_template)) {
    const bool opens = segment.find('{') != std::string::npos;
    const bool closes = segment.find('}') != std::string::npos;
    if (!opens && !closes) continue;
    if (!is_param_segment(segment) || segment.find('{', 1) != std::string::npos ||
        segment.find('}') != segment.size() - 1) {
      throw std::invalid_argument("malformed path parameter in " + std::string(path_template));
    }
    names.push_back(segment.substr(1, segment.size() - 2));
  }
  return names;
}

Router::Router(const AuthManager& auth) : auth_(auth) {}

void Router::add(Route route) {
  template_names(route.path);  // validates
  if (route.kind == RouteKind::http && !route.handler) {
    throw std::invalid_argument("route without a handler: " + route.path);
  }
  if (route.kind == RouteKind::websocket && !route.ws_run) {
    throw std::invalid_argument("websocket route without a handler: " + route.path);
  }
  for (const auto& existing : routes_) {
    if (existing.kind == route.kind && existing.path == route.path &&
        (route.kind == RouteKind::websocket || existing.method == route.method)) {
      throw std::invalid_argument("route registered twice: " + route.path);
    }
  }
  segments_.push_back(split_path(route.path));
  routes_.push_back(std::move(route));
}

void Router::mount(Mount mount) {
  if (mount.prefix.empty() || mount.prefix.front() != '/' || mount.prefix.back() == '/') {
    throw std::invalid_argument("mount prefix must start and not end with \"/\": " + mount.prefix);
  }
  mounts_.push_back(std::move(mount));
}

void Router::set_login_guard(LoginGuard guard) { guard_ = std::move(guard); }

RouteMatch Router::match(bhttp::verb method, std::string_view path, bool websocket) const {
  RouteMatch out;
  if (path.empty() || path.front() != '/') return out;
  const auto parts = split_path(path);
  std::vector<std::string> allowed;
  for (std::size_t i = 0; i < routes_.size(); ++i) {
    const Route& route = routes_[i];
    if ((route.kind == RouteKind::websocket) != websocket) continue;
    const auto& pattern = segments_[i];
    if (pattern.size() != parts.size()) continue;
    std::vector<std::pair<std::string, std::string>> params;
    bool same = true;
    for (std::size_t k = 0; k < parts.size() && same; ++k) {
      if (is_param_segment(pattern[k])) {
        // A parameter stands for one non-empty segment.
        if (parts[k].empty())
          same = false;
        else
          params.emplace_back(pattern[k].substr(1, pattern[k].size() - 2), parts[k]);
      } else {
        same = pattern[k] == parts[k];
      }
    }
    if (!same) continue;
    const bool method_ok = websocket || route.method == method ||
                           (method == bhttp::verb::head && route.method == bhttp::verb::get);
    if (method_ok) {
      out.kind = RouteMatch::Kind::found;
      out.route = &route;
      out.path_params = std::move(params);
      return out;
    }
    const std::string name(bhttp::to_string(route.method));
    bool seen = false;
    for (const auto& a : allowed) seen = seen || a == name;
    if (!seen) allowed.push_back(name);
  }
  if (!allowed.empty()) {
    out.kind = RouteMatch::Kind::method_not_allowed;
    for (const auto& a : allowed) {
      if (!out.allow.empty()) out.allow += ", ";
      out.allow += a;
    }
  }
  return out;
}

std::optional<std::pair<const Mount*, std::string>> Router::match_mount(
    std::string_view path) const {
  for (const auto& m : mounts_) {
    if (path == m.prefix) return std::make_pair(&m, std::string());
    if (path.size() > m.prefix.size() && path.starts_with(m.prefix) &&
        path[m.prefix.size()] == '/') {
      return std::make_pair(&m, std::string(path.substr(m.prefix.size() + 1)));
    }
  }
  return std::nullopt;
}

std::optional<Response> Router::check_key(const Route& route, Request& request) const {
  if (!route.auth || request.user) return std::nullopt;
  auto result = auth_.check_bearer(request.header_value("Authorization"));
  if (auto* refusal = std::get_if<AuthRefusal>(&result)) {
    Headers headers;
    if (refusal->www_authenticate) headers.emplace_back("WWW-Authenticate", "Bearer");
    return detail_response(static_cast<bhttp::status>(refusal->status), refusal->detail,
                           std::move(headers));
  }
  request.user = std::get<AuthenticatedUser>(std::move(result));
  return std::nullopt;
}

std::optional<Response> Router::admit(const Route& route, Request& request) const {
  if (auto refusal = check_key(route, request)) return refusal;

  if (route.upload && request.body_reader != nullptr) {
    const auto length = request.body_reader->content_length();
    const std::uint64_t limit = request.body_reader->limit();
    if (length && *length > limit) return body_too_large(limit);
  }

  ValidationErrors errors;
  if (!route.params.empty()) {
    const TextLookup query = [&](std::string_view name) { return request.query.get(name); };
    const TextLookup path = [&](std::string_view name) { return request.path_param(name); };
    Validated params = validate_params(route.params, query, path);
    errors = std::move(params.errors);
    request.params = std::move(params.value);
  }
  if (route.body != nullptr && !route.upload) {
    const auto type = request.header_value("Content-Type");
    if (type && !is_json_content_type(*type) && !request.body.empty()) {
      // A body that is not sent as JSON is not read as a record.
      ValidationError error;
      error.type = "model_attributes_type";
      error.loc = Json::array({"body"});
      error.msg = "Input should be a valid dictionary or object to extract fields from";
      error.input = to_valid_utf8(request.body);
      errors.push_back(std::move(error));
    } else {
      Validated body = validate_body(*route.body, request.body);
      for (auto& e : body.errors) errors.push_back(std::move(e));
      request.json = std::move(body.value);
    }
  }
  if (!errors.empty()) {
    return json_response(validation_error_body(errors), bhttp::status::unprocessable_entity);
  }

  if (route.login_guard && !(guard_ && guard_())) {
    return detail_response(bhttp::status::bad_request, std::string(kNotLoggedIn));
  }
  return std::nullopt;
}

namespace {

void log_failure(const Request& request, const std::string& failure) {
  corvid::log::get("http")->error("Exception in request {} {} {}: {}", request.id,
                                  std::string(request.header.method_string()),
                                  redact_target(request.header.target()), failure);
}

}  // namespace

std::optional<Response> Router::admit_safely(const Route& route, Request& request) const {
  std::optional<Response> refusal;
  try {
    refusal = admit(route, request);
  } catch (const HttpError& e) {
    refusal = e.to_response();
  } catch (const std::exception& e) {
    log_failure(request, e.what());
    refusal = internal_error_response();
  } catch (...) {
    log_failure(request, "unknown exception");
    refusal = internal_error_response();
  }
  return refusal;
}

net::awaitable<Response> Router::handle(const Route& route, Request& request) const {
  if (auto refusal = admit_safely(route, request)) co_return std::move(*refusal);
  co_return co_await run_handler(route, request);
}

net::awaitable<Response> Router::run_handler(const Route& route, Request& request) const {
  std::optional<Response> answer;
  std::string failure;
  try {
    answer = co_await route.handler(request);
  } catch (const HttpError& e) {
    answer = e.to_response();
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown exception";
  }
  if (!answer) {
    log_failure(request, failure);
    answer = internal_error_response();
  }
  co_return std::move(*answer);
}

}  // namespace corvid::app::http
