#pragma once
// The documentation routes: GET /openapi.json (the document, built once), /docs (Swagger UI),
// /docs/oauth2-redirect, /redoc (ReDoc) and the pages' own assets under /docs/assets/, served
// from the vendored copies in web/vendor. The pages load nothing from outside: every script,
// style and image comes from this server, and a Content-Security-Policy keeps it that way.
// None of these routes needs a key, and none appears in the document itself.
// Owner: the application calls add_docs_routes once while it fills the route table.
#include <filesystem>
#include <string>
#include <string_view>

#include "corvid/app/http/openapi.hpp"
#include "corvid/app/http/router.hpp"

namespace corvid::app::http {

inline constexpr std::string_view kOpenApiPath = "/openapi.json";
inline constexpr std::string_view kSwaggerPath = "/docs";
inline constexpr std::string_view kSwaggerRedirectPath = "/docs/oauth2-redirect";
inline constexpr std::string_view kRedocPath = "/redoc";
inline constexpr std::string_view kDocsAssetsPath = "/docs/assets";

// The policy sent with both pages: same-origin everything, inline start-up script and styles,
// data: images, and blob: workers (ReDoc runs its search in one).
inline constexpr std::string_view kDocsContentSecurityPolicy =
    "default-src 'self'; script-src 'self' 'unsafe-inline'; style-src 'self' 'unsafe-inline'; "
    "img-src 'self' data:; font-src 'self' data:; worker-src 'self' blob:; connect-src 'self'; "
    "object-src 'none'; base-uri 'self'; frame-ancestors 'self'";

struct DocsOptions {
  std::filesystem::path vendor_dir;  // holds swagger-ui/ and redoc/ (the repository's web/vendor)
  ApiInfo info = default_api_info();
};

// The two pages, for a given title (the API title) and document URL.
std::string swagger_page(std::string_view title, std::string_view openapi_url);
std::string redoc_page(std::string_view title, std::string_view openapi_url);

// Adds the routes above. The document is generated from `router`'s table the first time it is
// asked for, so call this before or after the API routes: the table must only be complete by
// the time the server starts.
void add_docs_routes(Router& router, DocsOptions options);

}  // namespace corvid::app::http
