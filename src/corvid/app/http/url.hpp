#pragma once
// Request-target parsing on Boost.URL: the percent-decoded path and the query pairs as the API's
// callers expect them ("+" is a blank in queries, blank values kept, the last of a repeated name
// wins). Decoded texts that are not valid UTF-8 get U+FFFD in place of each bad sequence, so a
// handler only ever sees valid text. Pure functions, any thread.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvid::app::http {

// The query pairs in request order, decoded.
class QueryParams {
 public:
  QueryParams() = default;
  explicit QueryParams(std::vector<std::pair<std::string, std::string>> items)
      : items_(std::move(items)) {}

  // The value of the last pair with this name; nullopt when the name is absent.
  std::optional<std::string> get(std::string_view name) const;
  bool contains(std::string_view name) const { return get(name).has_value(); }
  const std::vector<std::pair<std::string, std::string>>& items() const { return items_; }

 private:
  std::vector<std::pair<std::string, std::string>> items_;
};

struct ParsedTarget {
  std::string path;       // decoded ("/api/ws/connect/uid%20x" -> "/api/ws/connect/uid x")
  std::string raw_path;   // as sent
  std::string raw_query;  // as sent, without "?"; empty when absent
  QueryParams query;
};

// Parses an origin-form target ("/path?query"); nullopt when it is not one.
std::optional<ParsedTarget> parse_target(std::string_view target);

// Replaces every invalid UTF-8 sequence by U+FFFD.
std::string to_valid_utf8(std::string_view text);

// The target with the value of every "api_key" query parameter replaced by "***", for logs.
std::string redact_target(std::string_view target);

}  // namespace corvid::app::http
