#include "corvid/app/http/framing.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/beast/core/string.hpp>

namespace corvid::app::http {

namespace bhttp = boost::beast::http;

namespace {

constexpr std::string_view kInvalidRequest = "Invalid HTTP request received.";

Response refusal_closing(bhttp::status status, std::string detail) {
  Response out = detail_response(status, std::move(detail));
  out.close = true;
  return out;
}

std::string lower_trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

}  // namespace

Response bad_request() {
  Response out = text_response(std::string(kInvalidRequest), bhttp::status::bad_request);
  out.close = true;
  return out;
}

std::optional<Response> framing_refusal(const bhttp::request_header<>& header) {
  std::vector<std::string> codings;
  bool has_te = false;
  std::size_t hosts = 0;
  for (const auto& field : header) {
    if (field.name() == bhttp::field::host) ++hosts;
    if (field.name() != bhttp::field::transfer_encoding) continue;
    has_te = true;
    std::string_view value = field.value();
    while (!value.empty()) {
      const auto comma = value.find(',');
      std::string coding = lower_trimmed(value.substr(0, comma));
      if (!coding.empty()) codings.push_back(std::move(coding));
      if (comma == std::string_view::npos) break;
      value.remove_prefix(comma + 1);
    }
  }
  if (header.version() >= 11 && hosts != 1) {
    return hosts == 0 ? refusal_closing(bhttp::status::bad_request, "Missing Host header")
                      : refusal_closing(bhttp::status::bad_request, "More than one Host header");
  }
  if (!has_te) return std::nullopt;
  if (header.version() < 11) {
    return refusal_closing(bhttp::status::bad_request, "Transfer-Encoding needs HTTP/1.1");
  }
  if (header.find(bhttp::field::content_length) != header.end()) {
    return refusal_closing(bhttp::status::bad_request,
                           "Transfer-Encoding and Content-Length together");
  }
  if (codings.empty() || codings.back() != "chunked") {
    return refusal_closing(bhttp::status::bad_request, "Transfer-Encoding must end with chunked");
  }
  const auto chunked = std::count(codings.begin(), codings.end(), std::string("chunked"));
  if (chunked > 1) {
    return refusal_closing(bhttp::status::bad_request, "chunked applied more than once");
  }
  if (codings.size() > 1) {
    return refusal_closing(bhttp::status::not_implemented,
                           "Unsupported transfer coding: " + codings.front());
  }
  return std::nullopt;
}

Response header_too_large(const bhttp::request_header<>& partial) {
  if (partial.target().empty()) {
    return refusal_closing(bhttp::status::uri_too_long, "Request line too long");
  }
  return refusal_closing(bhttp::status::request_header_fields_too_large,
                         "Request header fields too large");
}

bool expects_continue(const bhttp::request_header<>& header) {
  const auto it = header.find(bhttp::field::expect);
  return it != header.end() && boost::beast::iequals(it->value(), "100-continue");
}

bool has_body(const bhttp::request_parser<bhttp::empty_body>& parser) {
  return parser.chunked() || (parser.content_length() && *parser.content_length() > 0);
}

}  // namespace corvid::app::http
