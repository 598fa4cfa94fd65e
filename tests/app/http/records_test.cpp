// Validation of bodies and parameters against the records, and the shape of the 422 entries.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvid/app/http/record.hpp"

namespace {

using corvid::Json;
using namespace corvid::app::http;

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

struct BodyCase {
  const char* name;
  const Record* record;
  const char* body;
  // Expected errors as (type, loc) pairs, in order; empty = valid.
  std::vector<std::pair<std::string, Json>> errors;
  const char* value = nullptr;  // expected validated value when valid
};

TEST(RecordValidation, BodiesAreCheckedStrictlyAndAllErrorsCollected) {
  const std::vector<BodyCase> cases = {
      {"valid text body, extra field ignored",
       &records::send_text_request(),
       R"({"content":"hi","to_uid":"uid_echo","extra":1})",
       {},
       R"({"to_uid":"uid_echo","content":"hi"})"},
      {"both fields missing, reported in field order",
       &records::send_text_request(),
       "{}",
       {{"missing", {"body", "to_uid"}}, {"missing", {"body", "content"}}}},
      {"number and bool are not strings",
       &records::send_text_request(),
       R"({"to_uid":5,"content":true})",
       {{"string_type", {"body", "to_uid"}}, {"string_type", {"body", "content"}}}},
      {"null is not a string",
       &records::send_text_request(),
       R"({"to_uid":null,"content":""})",
       {{"string_type", {"body", "to_uid"}}}},
      {"bool is not an integer",
       &records::sql_query_request(),
       R"({"sql":"x","db":true})",
       {{"int_type", {"body", "db"}}}},
      {"numeric text is not an integer",
       &records::sql_query_request(),
       R"({"sql":"x","db":"1"})",
       {{"int_type", {"body", "db"}}}},
      {"fraction is not an integer",
       &records::sql_query_request(),
       R"({"sql":"x","db":1.5})",
       {{"int_from_float", {"body", "db"}}}},
      {"2^32+1 keeps its value (no narrowing)",
       &records::sql_query_request(),
       R"({"sql":"x","db":4294967297})",
       {},
       R"({"sql":"x","db":4294967297})"},
      {"integral float is that integer",
       &records::sql_query_request(),
       R"({"sql":"x","db":2.0})",
       {},
       R"({"sql":"x","db":2})"},
      {"int64 max accepted",
       &records::accept_friend_request(),
       R"({"encryptusername":"e","ticket":"t","scene":9223372036854775807})",
       {},
       R"({"encryptusername":"e","ticket":"t","scene":9223372036854775807})"},
      {"int64 max + 1 refused",
       &records::accept_friend_request(),
       R"({"encryptusername":"e","ticket":"t","scene":9223372036854775808})",
       {{"less_than_equal", {"body", "scene"}}}},
      {"int64 min accepted",
       &records::accept_friend_request(),
       R"({"encryptusername":"e","ticket":"t","scene":-9223372036854775808})",
       {},
       R"({"encryptusername":"e","ticket":"t","scene":-9223372036854775808})"},
      {"below int64 min refused",
       &records::accept_friend_request(),
       R"({"encryptusername":"e","ticket":"t","scene":-9223372036854775809})",
       {{"greater_than_equal", {"body", "scene"}}}},
      {"huge exponent refused",
       &records::accept_friend_request(),
       R"({"encryptusername":"e","ticket":"t","scene":1e300})",
       {{"less_than_equal", {"body", "scene"}}}},
      {"list expected",
       &records::create_room_request(),
       R"({"member_list":"uid_a"})",
       {{"list_type", {"body", "member_list"}}}},
      {"list items must be strings, loc carries the index",
       &records::add_room_member_request(),
       R"({"room_uid":"r","member_list":["a","b",3,null]})",
       {{"string_type", {"body", "member_list", 2}}, {"string_type", {"body", "member_list", 3}}}},
      {"empty list is allowed",
       &records::create_room_request(),
       R"({"member_list":[]})",
       {},
       R"({"member_list":[]})"},
      {"search defaults fill every omitted field",
       &records::search_contacts_request(),
       "{}",
       {},
       R"({"uid":null,"account":null,"nickname":null,"remark":null,"fuzzy_search":true})"},
      {"search criteria may be null but not numbers",
       &records::search_contacts_request(),
       R"({"uid":null,"account":7,"fuzzy_search":"yes"})",
       {{"string_type", {"body", "account"}}, {"bool_type", {"body", "fuzzy_search"}}}},
      {"xml app type defaults to 5",
       &records::send_xml_request(),
       R"({"to_uid":"u","xml":"<x/>"})",
       {},
       R"({"to_uid":"u","xml":"<x/>","app_type":5})"},
      {"body must be an object",
       &records::send_text_request(),
       R"(["to_uid"])",
       {{"model_attributes_type", {"body"}}}},
      {"empty body is a missing body", &records::send_text_request(), "", {{"missing", {"body"}}}},
      {"blank body is a missing body",
       &records::send_text_request(),
       " \r\n",
       {{"missing", {"body"}}}},
      {"malformed JSON points at the offending byte",
       &records::send_text_request(),
       R"({"to_uid": x})",
       {{"json_invalid", {"body", 11}}}},
      {"a number beyond the double range is malformed JSON, not a failure",
       &records::sql_query_request(),
       R"({"sql": "select 1", "db": 1e999})",
       {{"json_invalid", {"body", 26}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Validated v = validate_body(*c.record, c.body);
    ASSERT_EQ(v.errors.size(), c.errors.size());
    for (std::size_t i = 0; i < c.errors.size(); ++i) {
      EXPECT_EQ(v.errors[i].type, c.errors[i].first);
      EXPECT_EQ(v.errors[i].loc, c.errors[i].second);
    }
    if (c.value) {
      EXPECT_EQ(v.value.dump(), Json::parse(c.value).dump());
    }
  }
}

TEST(RecordValidation, ErrorEntriesCarryTheInputAndContext) {
  const char* body = R"({"to_uid":5})";
  const Validated v = validate_body(records::send_text_request(), body);
  ASSERT_EQ(v.errors.size(), 2u);
  // A wrong type echoes the value, a missing field echoes the whole object it was missing from.
  EXPECT_EQ(v.errors[0].input, Json(5));
  EXPECT_EQ(v.errors[1].input, Json::parse(body));

  const Json answer = validation_error_body(v.errors);
  EXPECT_EQ(answer.dump(), R"({"detail":[{"type":"string_type","loc":["body","to_uid"],)"
                           R"("msg":"Input should be a valid string","input":5},)"
                           R"({"type":"missing","loc":["body","content"],"msg":"Field required",)"
                           R"("input":{"to_uid":5}}]})");

  const Validated bad = validate_body(records::send_text_request(), "{\"a\":");
  ASSERT_EQ(bad.errors.size(), 1u);
  const Json entry = to_json(bad.errors[0]);
  EXPECT_EQ(keys_of(entry), (std::vector<std::string>{"type", "loc", "msg", "input", "ctx"}));
  EXPECT_EQ(entry["msg"], "JSON decode error");
  EXPECT_EQ(entry["input"], Json::object());
  ASSERT_TRUE(entry["ctx"]["error"].is_string());
  EXPECT_EQ(entry["ctx"]["error"].get<std::string>().rfind("[json.exception", 0),
            std::string::npos);

  const Validated big =
      validate_body(records::sql_query_request(), R"({"sql":"s","db":9223372036854775808})");
  ASSERT_EQ(big.errors.size(), 1u);
  EXPECT_EQ(to_json(big.errors[0])["ctx"], (Json{{"le", 9223372036854775807LL}}));
}

// An error answer stays about the size of the request's own fields: a large input is shown
// cut, with a marker, however many entries show it.
TEST(RecordValidation, LargeInputsAreShownCut) {
  const Record& record = records::send_link_card_request();
  // Every field but one missing, in a body of 7 MiB: each "missing" entry shows the body.
  const std::string filler(7u << 20, 'f');
  const Json body{{"unrelated", filler}};
  const Validated v = validate_body(record, body.dump());
  ASSERT_GE(v.errors.size(), 3u);
  const std::string answer = validation_error_body(v.errors).dump();
  EXPECT_LT(answer.size(), v.errors.size() * (kShownInputLimit + 256));
  for (const auto& error : v.errors) {
    const Json shown = to_json(error)["input"];
    ASSERT_TRUE(shown.is_string());
    const auto& text = shown.get_ref<const std::string&>();
    EXPECT_EQ(text.rfind(R"({"unrelated":"fff)", 0), 0u) << text.substr(0, 40);
    EXPECT_TRUE(text.ends_with(kCutMarker));
    EXPECT_LE(text.size(), kShownInputLimit + std::string_view(kCutMarker).size());
  }

  struct Case {
    const char* name;
    Json input;
    bool cut;
  };
  const std::vector<Case> cases = {
      {"small object", Json{{"a", 1}, {"b", "text"}}, false},
      {"text at the limit", std::string(kShownInputLimit, 't'), false},
      {"text over the limit", std::string(kShownInputLimit + 1, 't'), true},
      {"long array of numbers", Json(std::vector<int>(5000, 7)), true},
      {"deep but small", Json::parse("[[[[[[[[1]]]]]]]]"), false},
      {"number", Json(42), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Json shown = shown_input(c.input);
    if (!c.cut) {
      EXPECT_EQ(shown, c.input);
      continue;
    }
    ASSERT_TRUE(shown.is_string());
    EXPECT_TRUE(shown.get_ref<const std::string&>().ends_with(kCutMarker));
  }
  // A cut never splits a UTF-8 sequence (the answer must stay valid JSON text).
  std::string wide;
  while (wide.size() < kShownInputLimit + 10) wide += "\xe4\xb8\xad";
  const Json shown = shown_input(wide);  // 4096 is not a multiple of 3
  EXPECT_NO_THROW((void)shown.dump());
}

// Whatever a body holds, its 422 answer stays small: the parser's message quotes the token it
// stopped at (which may be most of the body) and is cut as an input is, and a list of wrong
// items reports only its first few.
TEST(RecordValidation, ErrorAnswersStayBoundedWhateverTheBody) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::size_t size = 1u << 20;  // the instrumented parser is many times slower
#else
  const std::size_t size = 7u << 20;
#endif
  const std::string big(size, 'a');
  std::string wrong_items = R"({"to_uid":"r","content":"c","at_list":[)";
  for (int i = 0; i < 100000; ++i) wrong_items += i ? ",{\"x\":1}" : "{\"x\":1}";
  wrong_items += "]}";
  struct Case {
    const char* name;
    const Record& record;
    std::string body;
    std::size_t entries;
  };
  const Case cases[] = {
      {"a string ending in a control byte", records::send_text_request(),
       R"({"to_uid":")" + big + "\x01\"}", 1},
      {"a bad escape", records::send_text_request(), R"({"to_uid":")" + big + R"(\q"})", 1},
      {"an unterminated string", records::send_text_request(), R"({"to_uid":")" + big, 1},
      {"a number past the double range", records::sql_query_request(),
       R"({"sql":"s","db":1)" + std::string(size, '0') + "}", 1},
      {"a list of wrong items", records::send_room_at_request(), wrong_items, kMaxItemErrors},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Validated v = validate_body(c.record, c.body);
    ASSERT_EQ(v.errors.size(), c.entries);
    const std::string answer = validation_error_body(v.errors).dump();
    EXPECT_LT(answer.size(), 64u * 1024);
    if (c.entries == 1) {
      const Json entry = to_json(v.errors[0]);
      EXPECT_EQ(entry["type"], "json_invalid");
      EXPECT_TRUE(entry["ctx"]["error"].get_ref<const std::string&>().ends_with(kCutMarker));
    }
  }
}

TEST(RecordValidation, DeepNestingIsRefusedWithoutParsing) {
  // Copying or printing a parsed value recurses per level; such a body must stay text.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  const Validated v = validate_body(records::send_text_request(), deep);
  ASSERT_EQ(v.errors.size(), 1u);
  EXPECT_EQ(v.errors[0].type, "json_invalid");
  EXPECT_EQ(validation_error_body(v.errors)["detail"][0]["input"], Json::object());

  // Brackets inside strings do not count, and moderate nesting is fine.
  const std::string quoted = R"({"to_uid":")" + std::string(1000, '[') + R"(","content":"c"})";
  EXPECT_TRUE(validate_body(records::send_text_request(), quoted).ok());
  const std::string nested =
      std::string(kMaxJsonDepth - 1, '[') + std::string(kMaxJsonDepth - 1, ']');
  const std::string body = R"({"to_uid":"u","content":"c","x":)" + nested + "}";
  EXPECT_TRUE(validate_body(records::send_text_request(), body).ok());
}

struct ParamCase {
  const char* name;
  Param param;
  std::optional<std::string> text;
  const char* error_type;  // nullptr = valid
  Json value = nullptr;
};

TEST(ParamValidation, TextsAreParsedToTheirTypes) {
  const Param smart = query_param("smart", FieldType::boolean, false);
  const Param pid = path_param("pid", FieldType::integer);
  const Param timeout = query_param("timeout", FieldType::nullable_integer, nullptr);
  const Param to_uid = query_param("to_uid", FieldType::string);
  const std::vector<ParamCase> cases = {
      {"bool true", smart, "true", nullptr, true},
      {"bool TRUE", smart, "TRUE", nullptr, true},
      {"bool 1", smart, "1", nullptr, true},
      {"bool yes", smart, "Yes", nullptr, true},
      {"bool on", smart, "on", nullptr, true},
      {"bool t / y", smart, "y", nullptr, true},
      {"bool false", smart, "False", nullptr, false},
      {"bool 0", smart, "0", nullptr, false},
      {"bool off", smart, "OFF", nullptr, false},
      {"bool n", smart, "n", nullptr, false},
      {"bool absent takes default", smart, std::nullopt, nullptr, false},
      {"bool garbage", smart, "maybe", "bool_parsing"},
      {"bool empty", smart, "", "bool_parsing"},
      {"bool 2", smart, "2", "bool_parsing"},
      {"int", pid, "4321", nullptr, 4321},
      {"int negative", pid, "-7", nullptr, -7},
      {"int plus", pid, "+7", nullptr, 7},
      {"int 2^32+1 keeps value", pid, "4294967297", nullptr, 4294967297LL},
      {"int64 max", pid, "9223372036854775807", nullptr, 9223372036854775807LL},
      {"int64 max + 1", pid, "9223372036854775808", "less_than_equal"},
      {"int64 min - 1", pid, "-9223372036854775809", "greater_than_equal"},
      {"int letters", pid, "abc", "int_parsing"},
      {"int fraction", pid, "1.5", "int_parsing"},
      {"int trailing junk", pid, "12abc", "int_parsing"},
      {"int spaces", pid, " 12", "int_parsing"},
      {"int bare sign", pid, "-", "int_parsing"},
      {"int empty", pid, "", "int_parsing"},
      {"path int missing", pid, std::nullopt, "missing"},
      {"nullable int absent stays null", timeout, std::nullopt, nullptr, nullptr},
      {"nullable int given", timeout, "5", nullptr, 5},
      {"text required missing", to_uid, std::nullopt, "missing"},
      {"empty text is a value", to_uid, "", nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ValidationErrors errors;
    std::optional<std::string_view> view;
    if (c.text) view = *c.text;
    const Json value = parse_param(c.param, view, errors);
    if (c.error_type) {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0].type, c.error_type);
      EXPECT_EQ(errors[0].loc,
                (Json::array({c.param.in == ParamIn::query ? "query" : "path", c.param.name})));
      EXPECT_EQ(errors[0].input, c.text ? Json(*c.text) : Json(nullptr));
    } else {
      EXPECT_TRUE(errors.empty());
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(ParamValidation, AllParametersAreCheckedInDeclarationOrder) {
  const std::vector<Param> params = {query_param("smart", FieldType::boolean, false),
                                     query_param("show_qrcode", FieldType::boolean, false),
                                     path_param("pid", FieldType::integer)};
  const auto query = [](std::string_view name) -> std::optional<std::string> {
    if (name == "smart") return "nope";
    if (name == "show_qrcode") return "1";
    return std::nullopt;
  };
  const auto path = [](std::string_view) -> std::optional<std::string> { return "x1"; };
  const Validated bad = validate_params(params, query, path);
  ASSERT_EQ(bad.errors.size(), 2u);
  EXPECT_EQ(bad.errors[0].loc, (Json{"query", "smart"}));
  EXPECT_EQ(bad.errors[1].loc, (Json{"path", "pid"}));

  const auto none = [](std::string_view) -> std::optional<std::string> { return std::nullopt; };
  const auto pid = [](std::string_view) -> std::optional<std::string> { return "12"; };
  const Validated good = validate_params(params, none, pid);
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value.dump(), R"({"smart":false,"show_qrcode":false,"pid":12})");
}

TEST(Records, CatalogueHoldsEveryRecordTheRoutesRead) {
  std::set<std::string> names;
  for (const Record* r : records::all()) {
    SCOPED_TRACE(r->name);
    EXPECT_TRUE(names.insert(r->name).second) << "duplicate record name";
    EXPECT_EQ(records::find(r->name), r);
    EXPECT_FALSE(r->fields.empty());
  }
  // 22 request records, the two answer records and the upload form.
  EXPECT_EQ(names.size(), 25u);
  EXPECT_EQ(records::find("SendFileRequest"), nullptr);
  EXPECT_EQ(records::find("nope"), nullptr);

  // Fields in the order the service takes them.
  std::vector<std::string> link;
  for (const auto& f : records::send_link_card_request().fields) link.push_back(f.name);
  EXPECT_EQ(link, (std::vector<std::string>{"to_uid", "title", "desc", "url", "image_url"}));
}

TEST(Records, AnswerRecordsKeepTheirKeyOrder) {
  EXPECT_EQ(base_response(false, "失败").dump(),
            R"({"success":false,"message":"失败","data":null})");
  EXPECT_EQ(base_response(true, "ok", Json::array()).dump(),
            R"({"success":true,"message":"ok","data":[]})");

  const Json mapping = Json::parse(
      R"({"current_uid":"u","login_info":{"uid":"u"},"status":true,"login_status":true,
          "client_id":2,"pid":4321})");
  EXPECT_EQ(status_response(mapping).dump(),
            R"({"pid":4321,"client_id":2,"login_status":true,"status":true,)"
            R"("login_info":{"uid":"u"},"current_uid":"u"})");
  EXPECT_EQ(status_response(Json::object()).dump(),
            R"({"pid":0,"client_id":0,"login_status":false,"status":false,)"
            R"("login_info":null,"current_uid":null})");
}

TEST(Records, TitlesAreTitleCasedNames) {
  EXPECT_EQ(title_of("show_qrcode"), "Show Qrcode");
  EXPECT_EQ(title_of("to_uid"), "To Uid");
  EXPECT_EQ(title_of("pid"), "Pid");
  EXPECT_EQ(title_of("fuzzy_search"), "Fuzzy Search");
  EXPECT_EQ(title_of("image_url"), "Image Url");
  Field titled = required_field("x", FieldType::string);
  titled.title = "Custom";
  EXPECT_EQ(title_of(titled), "Custom");
}

}  // namespace
