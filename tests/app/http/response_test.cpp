// Answers written out from a JSON value: the text is the compact dump the answer always had,
// one past the limit gives way to its failure record, and the size check that decides where
// the text is written stops early on any value.
#include "corvid/app/http/response.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvid::app::http {
namespace {

TEST(DeferredJson, WritesTheCompactTextOrTheFailureRecordPastTheLimit) {
  const Json failure{{"success", false}, {"message", "查询失败"}, {"data", nullptr}};
  const Json rows{{"success", true},
                  {"data", {{"result", {{1, "中文", nullptr}, {2, "\x01", 1.5}}}}}};
  const std::string text = dump_compact(rows);
  struct Case {
    const char* name;
    std::size_t limit;
    bool fits;
  };
  for (const Case c : {Case{"well under the limit", text.size() * 2, true},
                       Case{"exactly the limit", text.size(), true},
                       Case{"one byte over", text.size() - 1, false}}) {
    SCOPED_TRACE(c.name);
    Response answer = deferred_json_response(rows, failure);
    EXPECT_EQ(write_out_json(answer, c.limit), c.fits);
    EXPECT_EQ(answer.body, c.fits ? text : dump_compact(failure));
    EXPECT_FALSE(answer.json);
    EXPECT_FALSE(answer.oversize);
    EXPECT_EQ(answer.content_type, kJsonType);
  }
}

TEST(DeferredJson, TheSizeCheckStopsEarly) {
  std::vector<Json> many(1'000'000, Json::object());
  const Json wide(many);
  struct Case {
    const char* name;
    Json value;
    std::size_t bytes;
    bool reaches;
  };
  const Case cases[] = {
      {"a small object", Json{{"a", 1}, {"b", "text"}}, 64, false},
      {"a long text", std::string(100'000, 't'), 50'000, true},
      {"a million empty objects", wide, 32 * 1024, true},
      {"deep but small", Json::parse("[[[[[[[[1]]]]]]]]"), 64, false},
      {"keys count too", Json{{std::string(40'000, 'k'), 1}}, 32 * 1024, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(json_text_reaches(c.value, c.bytes), c.reaches);
    if (!c.reaches) {
      EXPECT_LT(dump_compact(c.value).size(), c.bytes);
    }
  }
}

}  // namespace
}  // namespace corvid::app::http
