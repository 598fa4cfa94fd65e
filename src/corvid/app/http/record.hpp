#pragma once
// Records as data: the fields of every JSON body, query and path parameter the API reads, and of
// the two response records. One descriptor drives the validation (all errors collected, strict
// JSON types, query/path values parsed from text), the 422 answer and the documentation schema.
// Owner: the HTTP layer; the route table refers to these descriptors by pointer.
// Threads: descriptors are immutable after first use (function-local statics), so any thread may
// read and validate concurrently. Free of Beast and of any I/O.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corvid/utils/json.hpp"

namespace corvid::app::http {

// The JSON type of a field or parameter.
enum class FieldType {
  string,            // a JSON string only
  integer,           // a JSON integer in the int64 range (never a bool, never a fraction)
  nullable_integer,  // an integer as above, or null
  boolean,           // true/false; query/path texts: true/false, 1/0, yes/no, on/off, t/f, y/n
  string_array,      // an array whose items are strings
  any,               // any JSON value, null included
  nullable_string,   // a string or null
  nullable_object,   // an object or null
  binary,            // a multipart file part (documentation only; never read from JSON)
};

// One field of a record or one parameter. A field that is not required takes `default_value`
// when absent (a null default is written as null). `title` defaults to the title-cased name
// ("show_qrcode" -> "Show Qrcode").
struct Field {
  std::string name;
  FieldType type = FieldType::string;
  bool required = true;
  Json default_value = nullptr;
  std::string title;        // empty: derived from the name
  std::string description;  // optional, documentation only
};

// A named record: a JSON object with the given fields in order.
struct Record {
  std::string name;
  std::vector<Field> fields;
  std::string title;  // empty: the name
};

// Where a parameter is read from.
enum class ParamIn { query, path };

// A query or path parameter, as the route table declares it.
struct Param {
  std::string name;
  ParamIn in = ParamIn::query;
  FieldType type = FieldType::string;
  bool required = true;
  Json default_value = nullptr;  // used when not required and absent
  std::string title;             // empty: derived from the name
};

// Builders that name every member (plain aggregate initialisation of these structs trips
// -Wmissing-field-initializers).
inline Field required_field(std::string name, FieldType type) {
  return Field{std::move(name), type, true, nullptr, {}, {}};
}
inline Field optional_field(std::string name, FieldType type, Json default_value) {
  return Field{std::move(name), type, false, std::move(default_value), {}, {}};
}
// A required query parameter.
inline Param query_param(std::string name, FieldType type) {
  return Param{std::move(name), ParamIn::query, type, true, nullptr, {}};
}
// An optional query parameter taking `default_value` when absent (null: absent stays null).
inline Param query_param(std::string name, FieldType type, Json default_value) {
  return Param{std::move(name), ParamIn::query, type, false, std::move(default_value), {}};
}
// A path parameter; always required.
inline Param path_param(std::string name, FieldType type) {
  return Param{std::move(name), ParamIn::path, type, true, nullptr, {}};
}

// One validation failure, in the order of the 422 entries: type, loc, msg, input[, ctx].
struct ValidationError {
  std::string type;
  Json loc = Json::array();
  std::string msg;
  Json input = nullptr;
  Json ctx = nullptr;  // null: no "ctx" key
};

using ValidationErrors = std::vector<ValidationError>;

// The outcome of validating a body or a set of parameters: on success `value` is an object with
// every declared field (defaults filled in), in declaration order.
struct Validated {
  Json value = Json::object();
  ValidationErrors errors;
  bool ok() const { return errors.empty(); }
};

// "show_qrcode" -> "Show Qrcode", as parameter and field titles are shown in the docs.
std::string title_of(std::string_view name);
std::string title_of(const Field& field);
std::string title_of(const Param& param);

// Validates an already parsed JSON value against `record`; loc starts with "body".
Validated validate_json(const Record& record, const Json& body);

// Parses `text` as JSON and validates it. An empty text is a missing body; malformed JSON is a
// "json_invalid" error at ["body", byte offset].
Validated validate_body(const Record& record, std::string_view text);

// Looks a parameter up by name; nullopt = absent. The texts are already percent-decoded.
using TextLookup = std::function<std::optional<std::string>(std::string_view name)>;

// Validates every parameter (query ones from `query`, path ones from `path`), collecting all
// errors in declaration order. The value holds each parameter parsed to its type (absent,
// not-required ones take their default).
Validated validate_params(std::span<const Param> params, const TextLookup& query,
                          const TextLookup& path);

// Parses one parameter text (loc = [in, name]); appends errors, returns the value or null.
Json parse_param(const Param& param, std::optional<std::string_view> text,
                 ValidationErrors& errors);

// An entry's "input" as the answer shows it: unchanged up to kShownInputLimit bytes of compact
// JSON text; beyond that, the first kShownInputLimit bytes of that text as a string ending in
// kCutMarker, so an error answer stays about the size of the request's own fields.
inline constexpr std::size_t kShownInputLimit = 4096;
inline constexpr const char* kCutMarker = "...[cut]";
Json shown_input(const Json& value);

// Items of one list reported as wrong at most: past them the list's other items go unchecked,
// so a body of a million wrong items gets an answer of a few KiB, not of a million entries.
inline constexpr std::size_t kMaxItemErrors = 10;

// The 422 body: {"detail": [{"type", "loc", "msg", "input"[, "ctx"]}, ...]}; every value it
// echoes ("input", and each value of "ctx") is cut as shown_input cuts it.
Json validation_error_body(const ValidationErrors& errors);

// One error entry (the item of "detail").
Json to_json(const ValidationError& error);

// A ValidationError for a required field that is missing (e.g. the multipart "file" part).
ValidationError missing_error(Json loc, Json input);

// Deepest nesting a request body may have: values past it are refused before parsing, since
// copying and printing a parsed value recurse once per level.
inline constexpr int kMaxJsonDepth = 256;

// The common answer record: {"success", "message", "data"}; data is null when not given.
Json base_response(bool success, std::string message, Json data = nullptr);

// The status answer record: the six keys in their fixed order, taken from `mapping` (missing
// keys take the record's neutral value: 0, false or null).
Json status_response(const Json& mapping);

// The catalogue of records. Each returns a reference to an immutable, process-lifetime record.
namespace records {
const Record& base_response();
const Record& parlo_status_response();

const Record& send_text_request();
const Record& send_room_at_request();
const Record& send_card_request();
const Record& send_link_card_request();
const Record& send_xml_request();
const Record& send_pat_request();
const Record& sql_query_request();
const Record& get_contact_detail_request();
const Record& search_contacts_request();
const Record& modify_friend_remark_request();
const Record& accept_friend_request();
const Record& add_room_friend_request();
const Record& get_room_detail_request();
const Record& get_room_members_request();
const Record& get_room_name_request();
const Record& create_room_request();
const Record& add_room_member_request();
const Record& invite_room_member_request();
const Record& del_room_member_request();
const Record& modify_room_name_request();
const Record& modify_room_notice_request();
const Record& quit_room_request();

// The multipart form of the upload routes: one required binary field "file".
const Record& upload_form();

// Every record above: the two answer records, the request records in route order, the form.
std::span<const Record* const> all();

// The record of that name, or nullptr.
const Record* find(std::string_view name);
}  // namespace records

}  // namespace corvid::app::http
