#include "corvid/core/envelope.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "corvid/core/contact_sql.hpp"
#include "corvid/utils/errors.hpp"

namespace corvid::core {
namespace {

TEST(Envelope, ExactWireText) {
  struct Case {
    const char* name;
    Json data;
    std::optional<std::string> extend;
    const char* text;
  };
  const Case cases[] = {
      {"absent payload becomes an empty object, no extend key", Json(), std::nullopt,
       R"({"type": 11208, "data": {}})"},
      {"empty list goes out unchanged", Json::array(), std::nullopt,
       R"({"type": 11208, "data": []})"},
      {"extend comes last", Json::object(), "req_1",
       R"({"type": 11208, "data": {}, "extend": "req_1"})"},
      {"key order is kept, not sorted",
       Json::parse(R"({"z": 1, "a": [true, false, null], "m": {"y": 2.5, "b": 1.0}})"),
       std::nullopt,
       R"({"type": 11208, "data": {"z": 1, "a": [true, false, null], "m": {"y": 2.5, "b": 1.0}}})"},
      {"non-ASCII as lower-case escapes, non-BMP as a surrogate pair",
       Json::object({{"content", "中文 é \xF0\x9F\x98\x80"}}), std::nullopt,
       R"({"type": 11208, "data": {"content": "\u4e2d\u6587 \u00e9 \ud83d\ude00"}})"},
      {"short escapes, other control characters and DEL as escapes, slash kept",
       Json::object({{"c", "q\" b\\ n\n r\r t\t b\b f\f x\x01 del\x7f /"}}), std::nullopt,
       R"({"type": 11208, "data": {"c": "q\" b\\ n\n r\r t\t b\b f\f x\u0001 del\u007f /"}})"},
      {"keys are escaped like values", Json::object({{"ké\"y", 1}}), std::nullopt,
       R"({"type": 11208, "data": {"k\u00e9\"y": 1}})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(envelope_text(build_envelope(11208, c.data, c.extend)), c.text);
  }
}

TEST(Envelope, UnrepresentablePayloadIsRefused) {
  struct Case {
    const char* name;
    Json data;
  };
  const Case cases[] = {
      {"invalid UTF-8", Json::object({{"content", std::string("\xff\xfe")}})},
      {"NaN", Json::object({{"n", std::nan("")}})},
      {"infinity nested in a list",
       Json::object({{"l", Json::array({1, std::numeric_limits<double>::infinity()})}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(envelope_text(build_envelope(1, c.data, std::nullopt)), JsonError);
  }
}

TEST(Envelope, LogTextAndTruthiness) {
  EXPECT_EQ(value_text(Json()), "None");
  EXPECT_EQ(value_text(Json("uid_a")), "uid_a");
  EXPECT_EQ(value_text(Json(true)), "True");
  EXPECT_EQ(value_text(Json::object({{"a", 1}})), R"({"a":1})");
  EXPECT_EQ(event_name(Json(11046)), "11046");
  EXPECT_EQ(event_name(Json("11046")), "11046");

  for (const Json& falsy :
       {Json(), Json(false), Json(0), Json(0.0), Json(""), Json::array(), Json::object()}) {
    SCOPED_TRACE(falsy.dump());
    EXPECT_FALSE(truthy(falsy));
  }
  for (const Json& truthy_value : {Json(true), Json(2), Json("no"), Json::array({0})}) {
    SCOPED_TRACE(truthy_value.dump());
    EXPECT_TRUE(truthy(truthy_value));
  }
}

TEST(ContactSql, StatementShapes) {
  using O = std::optional<std::string>;
  struct Case {
    const char* name;
    O uid, account, nickname, remark;
    bool fuzzy;
    std::optional<std::string> sql;
  };
  const Case cases[] = {
      {"no criteria", {}, {}, {}, {}, true, std::nullopt},
      {"empty texts are no criteria", "", "", "", "", true, std::nullopt},
      {"one exact remark is still a like",
       {},
       {},
       {},
       "x",
       false,
       "select username from contact where remark like 'x'"},
      {"all four in column order, fuzzy", "u", "a", "n", "r", true,
       "select username from contact where username like '%u%' or alias like '%a%' or "
       "nickname like '%n%' or remark like '%r%'"},
      {"a quote is doubled and cannot close the literal",
       {},
       "x' or '1'='1",
       {},
       {},
       false,
       "select username from contact where alias like 'x'' or ''1''=''1'"},
      {"wildcards, backslashes and non-ASCII stay as given",
       {},
       {},
       "a%_\\中",
       {},
       true,
       "select username from contact where nickname like '%a%_\\中%'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(contact_search_sql(c.uid, c.account, c.nickname, c.remark, c.fuzzy), c.sql);
  }
  EXPECT_EQ(room_name_sql("r1"), "select nickname from contact where username='r1'");
  EXPECT_EQ(room_name_sql("r'1"), "select nickname from contact where username='r''1'");
}

}  // namespace
}  // namespace corvid::core
