#include "corvid/app/http/docs.hpp"

#include <array>
#include <memory>
#include <utility>

#include <boost/beast/http/verb.hpp>

#include "corvid/app/http/response.hpp"
#include "corvid/app/http/static_files.hpp"

namespace corvid::app::http {
namespace {

// Vendored files the pages use, relative to the vendor folder; each gets its own route under
// kDocsAssetsPath, so nothing else in that folder is reachable.
constexpr std::array<std::string_view, 4> kAssets = {
    "swagger-ui/swagger-ui.css",
    "swagger-ui/swagger-ui-bundle.js",
    "swagger-ui/favicon-32x32.png",
    "redoc/redoc.standalone.js",
};

// The assets change only with a new vendored version, and their URLs never carry one.
constexpr std::string_view kAssetCacheControl = "public, max-age=3600";

std::string asset_url(std::string_view relative) {
  return std::string(kDocsAssetsPath) + "/" + std::string(relative);
}

Route docs_route(std::string path, std::string operation, Handler handler) {
  Route route;
  route.method = boost::beast::http::verb::get;
  route.path = std::move(path);
  route.operation = std::move(operation);
  route.handler = std::move(handler);
  route.in_schema = false;
  return route;
}

Response page_response(std::string html) {
  Response response = html_response(std::move(html));
  response.headers.emplace_back("Content-Security-Policy", std::string(kDocsContentSecurityPolicy));
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  return response;
}

}  // namespace

std::string swagger_page(std::string_view title, std::string_view openapi_url) {
  const std::string url = html_escape(openapi_url);
  return R"(<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<link type="text/css" rel="stylesheet" href=")" +
         asset_url("swagger-ui/swagger-ui.css") + R"(">
<link rel="icon" type="image/png" href=")" +
         asset_url("swagger-ui/favicon-32x32.png") + R"(">
<title>)" +
         html_escape(title) +
         R"( - Swagger UI</title>
</head>
<body>
<div id="swagger-ui">
</div>
<script src=")" +
         asset_url("swagger-ui/swagger-ui-bundle.js") + R"("></script>
<script>
const ui = SwaggerUIBundle({
    url: ')" +
         url + R"(',
    "dom_id": "#swagger-ui",
    "layout": "BaseLayout",
    "deepLinking": true,
    "showExtensions": true,
    "showCommonExtensions": true,
    validatorUrl: null,
    oauth2RedirectUrl: window.location.origin + ')" +
         std::string(kSwaggerRedirectPath) + R"(',
    presets: [
        SwaggerUIBundle.presets.apis,
        SwaggerUIBundle.SwaggerUIStandalonePreset
    ],
})
</script>
</body>
</html>
)";
}

std::string redoc_page(std::string_view title, std::string_view openapi_url) {
  return R"(<!DOCTYPE html>
<html>
<head>
<title>)" +
         html_escape(title) +
         R"( - ReDoc</title>
<meta charset="utf-8"/>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
  body {
    margin: 0;
    padding: 0;
  }
</style>
</head>
<body>
<noscript>
    ReDoc requires Javascript to function. Please enable it to browse the documentation.
</noscript>
<redoc spec-url=")" +
         html_escape(openapi_url) + R"("></redoc>
<script src=")" +
         asset_url("redoc/redoc.standalone.js") + R"("> </script>
</body>
</html>
)";
}

void add_docs_routes(Router& router, DocsOptions options) {
  auto shared = std::make_shared<DocsOptions>(std::move(options));
  auto cache = std::make_shared<OpenApiCache>(router, shared->info);

  router.add(docs_route(std::string(kOpenApiPath), "openapi",
                        [cache](Request&) -> net::awaitable<Response> {
                          Response response;
                          response.body = cache->text();
                          co_return response;
                        }));

  const std::string swagger = swagger_page(shared->info.title, kOpenApiPath);
  router.add(docs_route(
      std::string(kSwaggerPath), "swagger_ui_html",
      [swagger](Request&) -> net::awaitable<Response> { co_return page_response(swagger); }));

  router.add(docs_route(std::string(kSwaggerRedirectPath), "swagger_ui_redirect",
                        [shared](Request& request) -> net::awaitable<Response> {
                          co_return serve_static(shared->vendor_dir,
                                                 "swagger-ui/oauth2-redirect.html",
                                                 request.method());
                        }));
  // The redirect page loads its script by a relative URL, next to itself.
  router.add(docs_route(std::string(kSwaggerRedirectPath) + ".js", "swagger_ui_redirect_script",
                        [shared](Request& request) -> net::awaitable<Response> {
                          co_return serve_static(shared->vendor_dir,
                                                 "swagger-ui/oauth2-redirect.js", request.method());
                        }));

  const std::string redoc = redoc_page(shared->info.title, kOpenApiPath);
  router.add(docs_route(
      std::string(kRedocPath), "redoc_html",
      [redoc](Request&) -> net::awaitable<Response> { co_return page_response(redoc); }));

  for (const std::string_view asset : kAssets) {
    router.add(docs_route(
        asset_url(asset), "docs_asset",
        [shared, asset](Request& request) -> net::awaitable<Response> {
          Response response = serve_static(shared->vendor_dir, asset, request.method());
          if (response.status == boost::beast::http::status::ok) {
            response.headers.emplace_back("Cache-Control", std::string(kAssetCacheControl));
          }
          co_return response;
        }));
  }
}

}  // namespace corvid::app::http
