#pragma once
// Cross-origin access: any origin, credentials allowed, every method and header. A preflight
// (OPTIONS with Origin and Access-Control-Request-Method) is answered here for any path, before
// routing and without a key; other requests from an Origin get the allow headers added to
// whatever they are answered. Requests without Origin get no CORS headers. Pure functions.
#include <string_view>

#include <boost/beast/http/message.hpp>

#include "corvid/app/http/response.hpp"

namespace corvid::app::http {

inline constexpr std::string_view kCorsAllowedMethods =
    "DELETE, GET, HEAD, OPTIONS, PATCH, POST, PUT";
inline constexpr std::string_view kCorsMaxAge = "600";

bool is_preflight(const boost::beast::http::request_header<>& request);

// 200 "OK", or 400 "Disallowed CORS method" when the requested method is not a known one.
Response preflight_response(const boost::beast::http::request_header<>& request);

// Adds the allow headers of an actual (non-preflight) request to `response`.
void add_cors_headers(const boost::beast::http::request_header<>& request, Response& response);

}  // namespace corvid::app::http
