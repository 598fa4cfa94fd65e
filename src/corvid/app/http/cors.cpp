#include "corvid/app/http/cors.hpp"

#include <string>

namespace corvid::app::http {

namespace bhttp = boost::beast::http;

namespace {

std::string trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return std::string(text);
}

bool method_allowed(std::string_view method) {
  std::string_view list = kCorsAllowedMethods;
  while (!list.empty()) {
    const auto comma = list.find(',');
    if (trimmed(list.substr(0, comma)) == method) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

bool is_preflight(const bhttp::request_header<>& request) {
  return request.method() == bhttp::verb::options && request.count(bhttp::field::origin) > 0 &&
         request.count(bhttp::field::access_control_request_method) > 0;
}

Response preflight_response(const bhttp::request_header<>& request) {
  const std::string origin(request[bhttp::field::origin]);
  const std::string method(request[bhttp::field::access_control_request_method]);
  const bool allowed = method_allowed(trimmed(method));
  Response out = allowed ? text_response("OK")
                         : text_response("Disallowed CORS method", bhttp::status::bad_request);
  // With credentials allowed, "*" is not accepted by browsers: the origin is echoed.
  out.headers.emplace_back("Access-Control-Allow-Origin", origin);
  out.headers.emplace_back("Vary", "Origin");
  out.headers.emplace_back("Access-Control-Allow-Methods", std::string(kCorsAllowedMethods));
  out.headers.emplace_back("Access-Control-Max-Age", std::string(kCorsMaxAge));
  out.headers.emplace_back("Access-Control-Allow-Credentials", "true");
  const auto requested = request.find(bhttp::field::access_control_request_headers);
  if (requested != request.end()) {
    out.headers.emplace_back("Access-Control-Allow-Headers", std::string(requested->value()));
  }
  return out;
}

void add_cors_headers(const bhttp::request_header<>& request, Response& response) {
  const auto origin = request.find(bhttp::field::origin);
  if (origin == request.end()) return;
  if (request.count(bhttp::field::cookie) > 0) {
    response.headers.emplace_back("Access-Control-Allow-Origin", std::string(origin->value()));
    response.headers.emplace_back("Vary", "Origin");
  } else {
    response.headers.emplace_back("Access-Control-Allow-Origin", "*");
  }
  response.headers.emplace_back("Access-Control-Allow-Credentials", "true");
}

}  // namespace corvid::app::http
