#pragma once
// The one JSON type of the project: insertion-ordered, so objects keep the key order in which
// they were built or parsed (the order callers see on the wire).
#include <string>

#include <nlohmann/json.hpp>

namespace corvid {

using Json = nlohmann::ordered_json;

// A WebSocket frame / readable text: two-space indentation, UTF-8 written as it is; invalid
// UTF-8 is replaced by U+FFFD instead of failing.
inline std::string dump_pretty(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

// A compact body (HTTP answers): no whitespace, UTF-8 as it is, invalid UTF-8 replaced.
inline std::string dump_compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace corvid
