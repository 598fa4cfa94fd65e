#include "corvid/app/http/response.hpp"

#include <array>
#include <ctime>
#include <memory>
#include <vector>

namespace corvid::app::http {

namespace bhttp = boost::beast::http;

namespace {

// Thrown by CappedText to stop the serializer once the text passes its cap.
struct TextTooLong {};

// The serializer's output: appends to a text and stops it past `cap` bytes, so an oversize
// answer costs at most the cap before it is dropped.
class CappedText : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  CappedText(std::string& out, std::size_t cap) : out_(out), cap_(cap) {}
  void write_character(char c) override {
    if (out_.size() >= cap_) throw TextTooLong{};
    out_.push_back(c);
  }
  void write_characters(const char* s, std::size_t length) override {
    if (length > cap_ - out_.size()) throw TextTooLong{};
    out_.append(s, length);
  }

 private:
  std::string& out_;
  std::size_t cap_;
};

// The least text of a scalar (a number is at least one digit).
std::size_t scalar_text(const Json& value) {
  return value.is_string() ? value.get_ref<const std::string&>().size() + 2 : 1;
}

}  // namespace

Response deferred_json_response(Json value, Json oversize) {
  Response out;
  out.content_type = std::string(kJsonType);
  out.json = std::move(value);
  out.oversize = std::move(oversize);
  return out;
}

bool json_text_reaches(const Json& value, std::size_t bytes) {
  // Every value visited adds to the count, so the walk stops after about `bytes` of them.
  std::size_t total = 0;
  std::vector<const Json*> pending;
  const auto visit = [&](const Json& item) {
    if (item.is_structured()) {
      total += 2;
      pending.push_back(&item);
    } else {
      total += scalar_text(item);
    }
    return total >= bytes;
  };
  if (visit(value)) return true;
  while (!pending.empty()) {
    const Json& container = *pending.back();
    pending.pop_back();
    if (container.is_object()) {
      for (const auto& [key, item] : container.items()) {
        total += key.size() + 4;  // quotes, colon, comma
        if (visit(item)) return true;
      }
    } else {
      for (const auto& item : container) {
        total += 1;  // comma
        if (visit(item)) return true;
      }
    }
  }
  return false;
}

bool write_out_json(Response& response, std::size_t limit) {
  if (!response.json) return true;
  std::string text;
  bool fits = true;
  try {
    nlohmann::detail::serializer<Json> serializer(std::make_shared<CappedText>(text, limit), ' ',
                                                  Json::error_handler_t::replace);
    serializer.dump(*response.json, false, false, 0);
  } catch (const TextTooLong&) {
    fits = false;
  }
  response.json.reset();
  if (fits) {
    response.body = std::move(text);
  } else {
    std::string().swap(text);
    response.body = dump_compact(response.oversize.value_or(Json(nullptr)));
  }
  response.oversize.reset();
  return fits;
}

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

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

const std::string& http_date() {
  thread_local std::time_t cached_at = -1;
  thread_local std::string cached;
  const std::time_t now = std::time(nullptr);
  if (now == cached_at) return cached;
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::array<char, 64> text{};
  const auto n = std::strftime(text.data(), text.size(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
  cached.assign(text.data(), n);
  cached_at = now;
  return cached;
}

}  // namespace corvid::app::http
