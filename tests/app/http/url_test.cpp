#include "corvid/app/http/url.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvid::app::http {
namespace {

TEST(ParseTarget, DecodesPathAndQuery) {
  struct Case {
    const char* name;
    std::string target;
    std::string path;
    std::vector<std::pair<std::string, std::string>> query;
  };
  const std::vector<Case> cases = {
      {"plain", "/api/parlo/status", "/api/parlo/status", {}},
      {"percent in path", "/api/ws/connect/uid%20x%2Fy", "/api/ws/connect/uid x/y", {}},
      {"utf-8 in path", "/api/ws/connect/%E5%BC%A0", "/api/ws/connect/张", {}},
      {"plus is blank in query", "/a?name=a+b%2Bc", "/a", {{"name", "a b+c"}}},
      {"plus stays in path", "/a+b", "/a+b", {}},
      {"blank values kept", "/a?x=&y", "/a", {{"x", ""}, {"y", ""}}},
      {"empty pieces dropped", "/a?&x=1&&", "/a", {{"x", "1"}}},
      {"repeated names in order", "/a?k=1&k=2", "/a", {{"k", "1"}, {"k", "2"}}},
      {"encoded key", "/a?api%5Fkey=s", "/a", {{"api_key", "s"}}},
      {"equals in value", "/a?q=a=b", "/a", {{"q", "a=b"}}},
      {"invalid utf-8 replaced", "/x%FF?v=%C3", "/x\xEF\xBF\xBD", {{"v", "\xEF\xBF\xBD"}}},
      {"truncated sequence one replacement", "/%E5%BCz", "/\xEF\xBF\xBDz", {}},
      {"surrogate replaced", "/%ED%A0%80", "/\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto parsed = parse_target(c.target);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->path, c.path);
    EXPECT_EQ(parsed->query.items(), c.query);
  }
}

TEST(ParseTarget, LastRepeatedValueWinsAndBadTargetsFail) {
  const auto parsed = parse_target("/a?k=1&k=2&other=x");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->query.get("k"), "2");
  EXPECT_EQ(parsed->query.get("missing"), std::nullopt);
  EXPECT_EQ(parsed->raw_query, "k=1&k=2&other=x");

  for (const char* bad : {"", "*", "a/b", "/bad%zz", "/sp ace"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parse_target(bad).has_value());
  }
}

TEST(RedactTarget, HidesEveryApiKeyValue) {
  struct Case {
    std::string target;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"/api/ws/connect/u?api_key=secret", "/api/ws/connect/u?api_key=***"},
      {"/x?a=1&api_key=s1&b=2&api_key=s2", "/x?a=1&api_key=***&b=2&api_key=***"},
      {"/x?api%5Fkey=secret", "/x?api%5Fkey=***"},
      {"/x?api_key", "/x?api_key"},
      {"/x?my_api_key=visible", "/x?my_api_key=visible"},
      {"/x", "/x"},
      {"/x?bad%zz=secret", "/x?bad%zz=***"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(redact_target(c.target), c.expected);
  }
}

TEST(ValidUtf8, KeepsValidTextUnchanged) {
  const std::string text = "ascii 张三 🤖 \x7F";
  EXPECT_EQ(to_valid_utf8(text), text);
  EXPECT_EQ(to_valid_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
  EXPECT_EQ(to_valid_utf8("a\xF4\x90\x80\x80"),
            "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace corvid::app::http
