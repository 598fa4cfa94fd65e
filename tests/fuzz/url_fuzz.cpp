// libFuzzer target for request-target parsing: any bytes as a target. Beyond "no crash", the
// decoded path and query texts must be valid UTF-8 (handlers rely on it), and a target with its
// keys redacted must never show an "api_key" value in the logs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "corvid/app/http/url.hpp"

namespace {

using namespace corvid::app::http;

void require(bool condition) {
  if (!condition) std::abort();
}

bool is_valid(const std::string& text) { return to_valid_utf8(text) == text; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const std::string fixed = to_valid_utf8(input);
  require(is_valid(fixed));
  if (is_valid(std::string(input))) require(fixed == input);

  const auto parsed = parse_target(input);
  if (parsed) {
    require(is_valid(parsed->path));
    for (const auto& [key, value] : parsed->query.items()) {
      require(is_valid(key));
      require(is_valid(value));
    }
  }

  const std::string redacted = redact_target(input);
  if (parsed) {
    const auto again = parse_target(redacted);
    require(again.has_value());
    require(again->path == parsed->path);
    require(again->query.items().size() == parsed->query.items().size());
    for (const auto& [key, value] : again->query.items()) {
      if (key == "api_key") require(value.empty() || value == "***");
    }
  }
  return 0;
}
