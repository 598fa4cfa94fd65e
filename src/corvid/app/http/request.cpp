#include "corvid/app/http/request.hpp"

namespace corvid::app::http {

std::optional<std::string> Request::header_value(std::string_view name) const {
  const auto it = header.find(boost::beast::string_view(name.data(), name.size()));
  if (it == header.end()) return std::nullopt;
  return std::string(it->value());
}

std::optional<std::string> Request::path_param(std::string_view name) const {
  for (const auto& [key, value] : path_params) {
    if (key == name) return value;
  }
  return std::nullopt;
}

}  // namespace corvid::app::http
