// libFuzzer target for request bodies and parameter texts: the first byte picks one of the
// records (and a parameter type), the rest is the body or the text. Any outcome but a validated
// value or a list of errors is a finding, and so is an answer that cannot be written out or a
// "valid" value that lacks a declared field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "corvid/app/http/record.hpp"
#include "corvid/utils/json.hpp"

namespace {

using namespace corvid::app::http;

void require(bool condition) {
  if (!condition) std::abort();
}

constexpr FieldType kParamTypes[] = {FieldType::string, FieldType::integer,
                                     FieldType::nullable_integer, FieldType::boolean};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t pick = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  const auto all = records::all();
  const Record& record = *all[pick % all.size()];
  const Validated body = validate_body(record, text);
  if (body.ok()) {
    require(body.value.is_object());
    require(body.value.size() == record.fields.size());
    for (const Field& field : record.fields) require(body.value.contains(field.name));
  }
  const std::string answer = corvid::dump_compact(validation_error_body(body.errors));
  require(!answer.empty());

  const Param param = query_param("p", kParamTypes[(pick >> 4) % std::size(kParamTypes)]);
  ValidationErrors errors;
  const corvid::Json value = parse_param(param, text, errors);
  require(errors.empty() != value.is_null() || param.type == FieldType::nullable_integer);
  (void)corvid::dump_compact(validation_error_body(errors));
  (void)corvid::dump_compact(value);
  return 0;
}
