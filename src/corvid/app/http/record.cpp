#include "corvid/app/http/record.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "corvid/utils/json_parse.hpp"

namespace corvid::app::http {
namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

// Texts of the 422 entries; callers match on "type" and sometimes show "msg".
constexpr const char* kMissingMsg = "Field required";
constexpr const char* kStringTypeMsg = "Input should be a valid string";
constexpr const char* kIntTypeMsg = "Input should be a valid integer";
constexpr const char* kIntFromFloatMsg =
    "Input should be a valid integer, got a number with a fractional part";
constexpr const char* kIntParsingMsg =
    "Input should be a valid integer, unable to parse string as an integer";
constexpr const char* kBoolTypeMsg = "Input should be a valid boolean";
constexpr const char* kBoolParsingMsg =
    "Input should be a valid boolean, unable to interpret input";
constexpr const char* kListTypeMsg = "Input should be a valid list";
constexpr const char* kDictTypeMsg = "Input should be a valid dictionary";
constexpr const char* kModelTypeMsg =
    "Input should be a valid dictionary or object to extract fields from";
constexpr const char* kJsonInvalidMsg = "JSON decode error";

ValidationError make_error(std::string type, Json loc, std::string msg, Json input,
                           Json ctx = nullptr) {
  return ValidationError{std::move(type), std::move(loc), std::move(msg), std::move(input),
                         std::move(ctx)};
}

// The longest prefix of text, up to size bytes, that does not end inside a UTF-8 sequence.
std::string_view utf8_prefix(std::string_view text, std::size_t size) {
  if (text.size() <= size) return text;
  while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
  return text.substr(0, size);
}

// Appends value's compact JSON text to out, stopping once out holds more than cap bytes;
// false when it stopped. Never copies or serialises more of a large value than it keeps.
bool append_bounded(const Json& value, std::string& out, std::size_t cap) {
  auto append_string = [&](std::string_view text) {
    const std::size_t room = cap + 1 > out.size() ? cap + 1 - out.size() : 0;
    const auto kept = utf8_prefix(text, room);
    out += Json(std::string(kept)).dump(-1, ' ', false, Json::error_handler_t::replace);
    return kept.size() == text.size() && out.size() <= cap;
  };
  if (value.is_string()) return append_string(value.get_ref<const std::string&>());
  if (value.is_object()) {
    out += '{';
    bool first = true;
    for (const auto& [key, item] : value.items()) {
      if (!first) out += ',';
      first = false;
      if (!append_string(key)) return false;
      out += ':';
      if (!append_bounded(item, out, cap)) return false;
    }
    out += '}';
    return out.size() <= cap;
  }
  if (value.is_array()) {
    out += '[';
    bool first = true;
    for (const auto& item : value) {
      if (!first) out += ',';
      first = false;
      if (!append_bounded(item, out, cap)) return false;
    }
    out += ']';
    return out.size() <= cap;
  }
  out += value.dump();
  return out.size() <= cap;
}

Json loc_of(Json loc, const std::string& name) {
  loc.push_back(name);
  return loc;
}

ValidationError too_large(Json loc, Json input) {
  return make_error("less_than_equal", std::move(loc),
                    "Input should be less than or equal to " + std::to_string(kInt64Max),
                    std::move(input), Json{{"le", kInt64Max}});
}

ValidationError too_small(Json loc, Json input) {
  return make_error("greater_than_equal", std::move(loc),
                    "Input should be greater than or equal to " + std::to_string(kInt64Min),
                    std::move(input), Json{{"ge", kInt64Min}});
}

// A JSON number as int64. Floats with no fractional part are integers of the same value; the
// int64 bounds are checked here because nlohmann's get<int>() would truncate silently.
std::optional<std::int64_t> check_integer(const Json& value, const Json& loc,
                                          ValidationErrors& errors) {
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    return value.get<std::int64_t>();
  }
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(kInt64Max)) {
      errors.push_back(too_large(loc, value));
      return std::nullopt;
    }
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (!std::isfinite(d) || d != std::trunc(d)) {
      errors.push_back(make_error("int_from_float", loc, kIntFromFloatMsg, value));
      return std::nullopt;
    }
    // A float of magnitude 2^63 is refused on both sides: "-9223372036854775809" parses to
    // exactly -2^63, and taking it as the int64 minimum would change the caller's value.
    // (The minimum written as an integer never reaches this branch.)
    constexpr double kTwo63 = 9223372036854775808.0;
    if (d >= kTwo63) {
      errors.push_back(too_large(loc, value));
      return std::nullopt;
    }
    if (d <= -kTwo63) {
      errors.push_back(too_small(loc, value));
      return std::nullopt;
    }
    return static_cast<std::int64_t>(d);
  }
  errors.push_back(make_error("int_type", loc, kIntTypeMsg, value));
  return std::nullopt;
}

// Checks one present JSON value against its declared type; returns the value to keep.
Json check_value(FieldType type, const Json& value, const Json& loc, ValidationErrors& errors) {
  switch (type) {
    case FieldType::string:
    case FieldType::binary:
      if (value.is_string()) return value;
      errors.push_back(make_error("string_type", loc, kStringTypeMsg, value));
      return nullptr;
    case FieldType::nullable_string:
      if (value.is_string() || value.is_null()) return value;
      errors.push_back(make_error("string_type", loc, kStringTypeMsg, value));
      return nullptr;
    case FieldType::integer:
    case FieldType::nullable_integer: {
      if (value.is_null() && type == FieldType::nullable_integer) return nullptr;
      if (auto n = check_integer(value, loc, errors)) return *n;
      return nullptr;
    }
    case FieldType::boolean:
      if (value.is_boolean()) return value;
      errors.push_back(make_error("bool_type", loc, kBoolTypeMsg, value));
      return nullptr;
    case FieldType::string_array: {
      if (!value.is_array()) {
        errors.push_back(make_error("list_type", loc, kListTypeMsg, value));
        return nullptr;
      }
      std::size_t wrong = 0;
      for (std::size_t i = 0; i < value.size() && wrong < kMaxItemErrors; ++i) {
        if (!value[i].is_string()) {
          Json item_loc = loc;
          item_loc.push_back(i);
          errors.push_back(
              make_error("string_type", std::move(item_loc), kStringTypeMsg, value[i]));
          ++wrong;
        }
      }
      return value;
    }
    case FieldType::nullable_object:
      if (value.is_object() || value.is_null()) return value;
      errors.push_back(make_error("dict_type", loc, kDictTypeMsg, value));
      return nullptr;
    case FieldType::any:
      return value;
  }
  return value;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// An integer written as text: optional sign, then decimal digits only.
Json parse_integer_text(std::string_view text, const Json& loc, ValidationErrors& errors) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  const bool all_digits =
      !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                     [](unsigned char c) { return std::isdigit(c) != 0; });
  if (!all_digits) {
    errors.push_back(make_error("int_parsing", loc, kIntParsingMsg, std::string(text)));
    return nullptr;
  }
  std::string normalised = negative ? "-" : "";
  normalised.append(digits);
  std::int64_t value = 0;
  const auto* first = normalised.data();
  const auto* last = first + normalised.size();
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec == std::errc::result_out_of_range) {
    errors.push_back(negative ? too_small(loc, std::string(text))
                              : too_large(loc, std::string(text)));
    return nullptr;
  }
  if (ec != std::errc{} || ptr != last) {
    errors.push_back(make_error("int_parsing", loc, kIntParsingMsg, std::string(text)));
    return nullptr;
  }
  return value;
}

Json parse_bool_text(std::string_view text, const Json& loc, ValidationErrors& errors) {
  static constexpr std::string_view kTrue[] = {"true", "1", "yes", "on", "t", "y"};
  static constexpr std::string_view kFalse[] = {"false", "0", "no", "off", "f", "n"};
  const std::string l = lower(text);
  if (std::find(std::begin(kTrue), std::end(kTrue), l) != std::end(kTrue)) return true;
  if (std::find(std::begin(kFalse), std::end(kFalse), l) != std::end(kFalse)) return false;
  errors.push_back(make_error("bool_parsing", loc, kBoolParsingMsg, std::string(text)));
  return nullptr;
}

// Deepest nesting of a JSON text, counted without parsing (brackets inside strings skipped).
// Stops counting once past `limit`.
int nesting_depth(std::string_view text, int limit) {
  int depth = 0;
  int deepest = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) return deepest;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

std::string title_of(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  bool start = true;
  for (const char c : name) {
    if (c == '_') {
      out.push_back(' ');
      start = true;
      continue;
    }
    const auto u = static_cast<unsigned char>(c);
    out.push_back(start ? static_cast<char>(std::toupper(u)) : static_cast<char>(std::tolower(u)));
    start = false;
  }
  return out;
}

std::string title_of(const Field& field) {
  return field.title.empty() ? title_of(field.name) : field.title;
}

std::string title_of(const Param& param) {
  return param.title.empty() ? title_of(param.name) : param.title;
}

Json shown_input(const Json& value) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    if (text.size() <= kShownInputLimit) return value;
    return std::string(utf8_prefix(text, kShownInputLimit)) + kCutMarker;
  }
  if (!value.is_object() && !value.is_array()) return value;
  std::string text;
  if (append_bounded(value, text, kShownInputLimit)) return value;
  return std::string(utf8_prefix(text, kShownInputLimit)) + kCutMarker;
}

Validated validate_json(const Record& record, const Json& body) {
  Validated out;
  const Json body_loc = Json::array({"body"});
  if (!body.is_object()) {
    out.errors.push_back(
        make_error("model_attributes_type", body_loc, kModelTypeMsg, shown_input(body)));
    return out;
  }
  // Every missing field shows the same body: made once, and cut when large.
  std::optional<Json> shown_body;
  for (const Field& field : record.fields) {
    const Json loc = loc_of(body_loc, field.name);
    const auto it = body.find(field.name);
    if (it == body.end()) {
      if (field.required) {
        if (!shown_body) shown_body = shown_input(body);
        out.errors.push_back(make_error("missing", loc, kMissingMsg, *shown_body));
      } else {
        out.value[field.name] = field.default_value;
      }
      continue;
    }
    out.value[field.name] = check_value(field.type, *it, loc, out.errors);
  }
  if (!out.ok()) out.value = Json::object();
  return out;
}

Validated validate_body(const Record& record, std::string_view text) {
  const bool blank = std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
  });
  if (blank) {
    Validated out;
    out.errors.push_back(make_error("missing", Json::array({"body"}), kMissingMsg, nullptr));
    return out;
  }
  if (nesting_depth(text, kMaxJsonDepth) > kMaxJsonDepth) {
    Validated out;
    out.errors.push_back(make_error(
        "json_invalid", Json::array({"body", 0}), kJsonInvalidMsg, Json::object(),
        Json{{"error", "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels"}}));
    return out;
  }
  Json body;
  try {
    body = parse_json(text);
  } catch (const JsonParseError& e) {
    Validated out;
    out.errors.push_back(make_error("json_invalid", Json::array({"body", e.offset()}),
                                    kJsonInvalidMsg, Json::object(), Json{{"error", e.what()}}));
    return out;
  }
  return validate_json(record, body);
}

Json parse_param(const Param& param, std::optional<std::string_view> text,
                 ValidationErrors& errors) {
  const Json loc = Json::array({param.in == ParamIn::query ? "query" : "path", param.name});
  if (!text) {
    if (param.required) {
      errors.push_back(make_error("missing", loc, kMissingMsg, nullptr));
      return nullptr;
    }
    return param.default_value;
  }
  switch (param.type) {
    case FieldType::integer:
    case FieldType::nullable_integer:
      return parse_integer_text(*text, loc, errors);
    case FieldType::boolean:
      return parse_bool_text(*text, loc, errors);
    case FieldType::string_array:
      // A repeated query key is folded by the caller; a single text is a one-item list.
      return Json::array({std::string(*text)});
    case FieldType::string:
    case FieldType::nullable_string:
    case FieldType::any:
    case FieldType::binary:
    case FieldType::nullable_object:
      return std::string(*text);
  }
  return std::string(*text);
}

Validated validate_params(std::span<const Param> params, const TextLookup& query,
                          const TextLookup& path) {
  Validated out;
  for (const Param& param : params) {
    const TextLookup& lookup = param.in == ParamIn::query ? query : path;
    std::optional<std::string> text = lookup ? lookup(param.name) : std::nullopt;
    std::optional<std::string_view> view;
    if (text) view = *text;
    out.value[param.name] = parse_param(param, view, out.errors);
  }
  if (!out.ok()) out.value = Json::object();
  return out;
}

Json to_json(const ValidationError& error) {
  Json entry = Json::object();
  entry["type"] = error.type;
  entry["loc"] = error.loc;
  entry["msg"] = error.msg;
  entry["input"] = shown_input(error.input);
  if (error.ctx.is_object()) {
    // The parser's message quotes the token it stopped at, which may be the whole body.
    Json ctx = Json::object();
    for (const auto& [key, value] : error.ctx.items()) ctx[key] = shown_input(value);
    entry["ctx"] = std::move(ctx);
  } else if (!error.ctx.is_null()) {
    entry["ctx"] = shown_input(error.ctx);
  }
  return entry;
}

Json validation_error_body(const ValidationErrors& errors) {
  Json detail = Json::array();
  for (const auto& error : errors) detail.push_back(to_json(error));
  return Json{{"detail", std::move(detail)}};
}

ValidationError missing_error(Json loc, Json input) {
  return make_error("missing", std::move(loc), kMissingMsg, std::move(input));
}

Json base_response(bool success, std::string message, Json data) {
  Json out = Json::object();
  out["success"] = success;
  out["message"] = std::move(message);
  out["data"] = std::move(data);
  return out;
}

Json status_response(const Json& mapping) {
  const auto take = [&](const char* key, const Json& neutral) -> Json {
    if (!mapping.is_object()) return neutral;
    const auto it = mapping.find(key);
    return it == mapping.end() ? neutral : *it;
  };
  Json out = Json::object();
  out["pid"] = take("pid", 0);
  out["client_id"] = take("client_id", 0);
  out["login_status"] = take("login_status", false);
  out["status"] = take("status", false);
  out["login_info"] = take("login_info", nullptr);
  out["current_uid"] = take("current_uid", nullptr);
  return out;
}

}  // namespace corvid::app::http
