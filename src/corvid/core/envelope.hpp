#pragma once
// The probe envelope and the text forms of JSON values that the client side writes: the
// envelope's exact wire text (", " and ": " separators, pure ASCII with lower-case \u
// escapes, key order kept) and the rendering of a value inside a log line.
// Owner: none (pure functions). Threads: any.
#include <optional>
#include <string>

#include "corvid/utils/json.hpp"

namespace corvid::core {

// {"type": code, "data": data or {} when data is null, "extend": id only when given}.
Json build_envelope(int code, const Json& data, const std::optional<std::string>& extend);

// The wire text of any JSON value. Throws JsonError for invalid UTF-8 and for NaN/infinity,
// which have no JSON text.
std::string envelope_text(const Json& value);

// A value as a log line shows it: text as it is, null as None, booleans True/False, anything
// else as compact JSON (invalid UTF-8 replaced, never thrown).
std::string value_text(const Json& value);

// The event name of a message type: an integer's decimal text, a text unchanged, anything
// else as value_text shows it.
std::string event_name(const Json& type);

// Whether a message's "type" is `code`: a number of any JSON kind equal to it (a text never is).
bool is_code(const Json& type, int code);

// Whether a JSON value counts as true (null, false, 0, "", [] and {} do not).
bool truthy(const Json& value);

}  // namespace corvid::core
