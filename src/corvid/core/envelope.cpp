#include "corvid/core/envelope.hpp"

#include <cmath>

#include "corvid/utils/console.hpp"
#include "corvid/utils/errors.hpp"

namespace corvid::core {

Json build_envelope(int code, const Json& data, const std::optional<std::string>& extend) {
  Json envelope = Json::object();
  envelope["type"] = code;
  envelope["data"] = data.is_null() ? Json::object() : data;
  if (extend) envelope["extend"] = *extend;
  return envelope;
}

namespace {

void write_value(const Json& value, std::string& out) {
  switch (value.type()) {
    case Json::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : value.items()) {
        if (!first) out.append(", ");
        first = false;
        write_value(Json(key), out);
        out.append(": ");
        write_value(item, out);
      }
      out.push_back('}');
      return;
    }
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : value) {
        if (!first) out.append(", ");
        first = false;
        write_value(item, out);
      }
      out.push_back(']');
      return;
    }
    case Json::value_t::number_float:
      if (!std::isfinite(value.get<double>())) {
        throw JsonError("a number that is not finite has no JSON text");
      }
      break;
    case Json::value_t::binary:
      throw JsonError("binary data has no JSON text");
    default:
      break;
  }
  // Scalars: nlohmann writes lower-case \u escapes and the short ones when ensure_ascii is on,
  // and DEL is escaped too, which is exactly the envelope's rule.
  try {
    out.append(value.dump(-1, ' ', true, Json::error_handler_t::strict));
  } catch (const Json::exception& e) {
    throw JsonError(e.what());
  }
}

}  // namespace

std::string envelope_text(const Json& value) {
  std::string out;
  write_value(value, out);
  return out;
}

std::string value_text(const Json& value) {
  if (value.is_string()) return value.get_ref<const std::string&>();
  if (value.is_null()) return std::string(console::kNone);
  if (value.is_boolean()) return value.get<bool>() ? "True" : "False";
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string event_name(const Json& type) {
  if (type.is_number_integer()) return type.dump();
  return value_text(type);
}

bool truthy(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return false;
    case Json::value_t::boolean:
      return value.get<bool>();
    case Json::value_t::number_integer:
      return value.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned:
      return value.get<std::uint64_t>() != 0;
    case Json::value_t::number_float:
      return value.get<double>() != 0.0;
    case Json::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
      return !value.empty();
    default:
      return true;
  }
}

bool is_code(const Json& type, int code) {
  if (type.is_number_integer()) return type.get<std::int64_t>() == code;
  if (type.is_number_unsigned())
    return type.get<std::uint64_t>() == static_cast<std::uint64_t>(code);
  if (type.is_number_float()) return type.get<double>() == code;
  return false;
}

}  // namespace corvid::core
