#include "corvid/app/http/response.hpp"

namespace corvid::app::http {

namespace bhttp = boost::beast::http;

Response json_response(const Json& value, bhttp::status status) {
  Response out;
  out.status = status;
  out.content_type = std::string(kJsonType);
  out.body = dump_compact(value);
  return out;
}

Response detail_response(bhttp::status status, const Json& detail, Headers headers) {
  Json body = Json::object();
  body["detail"] = detail;
  Response out = json_response(body, status);
  out.headers = std::move(headers);
  return out;
}

Response text_response(std::string text, bhttp::status status) {
  Response out;
  out.status = status;
  out.content_type = std::string(kTextType);
  out.body = std::move(text);
  return out;
}

Response html_response(std::string html, bhttp::status status) {
  Response out;
  out.status = status;
  out.content_type = std::string(kHtmlType);
  out.body = std::move(html);
  return out;
}

Response internal_error_response() {
  return text_response("Internal Server Error", bhttp::status::internal_server_error);
}

namespace {
std::string describe(const Json& detail) {
  return detail.is_string() ? detail.get<std::string>() : dump_compact(detail);
}
}  // namespace

HttpError::HttpError(bhttp::status status, Json detail, Headers headers)
    : std::runtime_error(describe(detail)),
      status_(status),
      detail_(std::move(detail)),
      headers_(std::move(headers)) {}

Response HttpError::to_response() const { return detail_response(status_, detail_, headers_); }

}  // namespace corvid::app::http
