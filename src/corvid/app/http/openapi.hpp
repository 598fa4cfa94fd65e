#pragma once
// The OpenAPI 3.1 document of the API, generated from the route table and the record
// descriptors: one operation per documented HTTP route in registration order, component
// schemas of every record a route refers to, the 422 schemas, one bearer security scheme
// ("BearerAuth") and that requirement on every operation, "/" and "/health" included.
// Pure functions; OpenApiCache builds the text once, on first use, and is safe to share
// between threads (a failed build is not cached, so the next request tries again).
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "corvid/app/http/router.hpp"
#include "corvid/utils/json.hpp"

namespace corvid::app::http {

// What the document says about the API itself.
struct ApiInfo {
  std::string title;
  std::string description;
  std::string version;
  std::string security_description;  // description of the bearer scheme
};

// The application's title, description, version and key description.
ApiInfo default_api_info();

// "send_text_message" + "/api/parlo/send/text" + post ->
// "send_text_message_api_parlo_send_text_post"
std::string operation_id(const Route& route);

// The whole document. Throws std::invalid_argument for a route whose response record is not
// in the record catalogue.
Json build_openapi(std::span<const Route> routes, const ApiInfo& info);

// The document text of a router, built on first use and kept for the life of the process:
// routes added after the first build do not change it.
class OpenApiCache {
 public:
  OpenApiCache(const Router& router, ApiInfo info) : router_(router), info_(std::move(info)) {}

  // The compact JSON text. Throws what build_openapi throws (nothing is cached then).
  const std::string& text();

 private:
  const Router& router_;
  const ApiInfo info_;
  std::mutex mutex_;                 // guards text_
  std::optional<std::string> text_;  // guarded by mutex_; never changes once set
};

}  // namespace corvid::app::http
