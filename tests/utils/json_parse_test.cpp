// The linear JSON parser: the same value and the same errors as the library's own parser, and
// time linear in the text whatever its shape (the library's takes quadratic time on an object
// of many distinct keys).
#include "corvid/utils/json_parse.hpp"

#include <time.h>

#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvid {
namespace {

// Instrumented builds run the parser many times slower: a smaller large body, a wider bound.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSlowdown = 10;
constexpr std::size_t kLargeBody = std::size_t{2} << 20;
#else
constexpr double kSlowdown = 1;
constexpr std::size_t kLargeBody = std::size_t{8} << 20;
#endif

double thread_cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// {"k0":0,"k1":1,...} of at least `bytes`, every key distinct.
std::string distinct_keys(std::size_t bytes) {
  std::string text = "{";
  for (std::size_t i = 0; text.size() < bytes; ++i) {
    if (i > 0) text += ',';
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i);
  }
  return text + "}";
}

// An object of n members named m0.. with `extra` appended verbatim before the closing brace.
std::string members(int n, const std::string& extra = {}) {
  std::string text = "{";
  for (int i = 0; i < n; ++i)
    text += (i ? ",\"m" : "\"m") + std::to_string(i) + "\":" + std::to_string(i);
  return text + extra + "}";
}

TEST(ParseJson, GivesTheLibrarysValue) {
  const std::vector<std::string> texts = {
      "null",
      "true",
      " 12 ",
      "-7",
      "18446744073709551615",
      "1.5e3",
      R"("a\u00e9\ud83d\ude00")",
      "[]",
      "{}",
      R"([1,[2,[3,{}]],{"a":[]}])",
      R"({"b":1,"a":2,"c":{"z":0,"y":[true,null]}})",
      // A repeated key keeps its first place and takes its last value, below and above the
      // size from which an object is indexed, and when the value is a container.
      R"({"a":1,"b":2,"a":3})",
      members(40, R"(,"m3":"again","m39":[1],"m0":{"x":1})"),
      members(31, R"(,"m31":1,"m5":5,"m31":2)"),
      members(100, R"(,"inner":)" + members(50)),
      "[" + members(60) + "," + members(60, R"(,"m1":"x")") + "]",
  };
  for (const auto& text : texts) {
    SCOPED_TRACE(text.substr(0, 60));
    EXPECT_EQ(parse_json(text).dump(), Json::parse(text).dump());
  }
}

TEST(ParseJson, ErrorsNameTheOffsetAndTheParsersText) {
  // Malformed text: the offset is the library's, the byte it stopped at.
  const std::vector<std::string> malformed = {
      "",          "{",       R"({"a":})", "[1,]",  "[1] 2",
      "{\"a\" 1}", "\"\\x\"", "\"open",    "[tru]", members(40, ",")};
  for (const auto& text : malformed) {
    SCOPED_TRACE(text);
    std::size_t expected = 0;
    try {
      [[maybe_unused]] const Json parsed = Json::parse(text);
    } catch (const Json::parse_error& e) {
      expected = e.byte - 1;
    }
    try {
      (void)parse_json(text);
      ADD_FAILURE() << "parsed";
    } catch (const JsonParseError& e) {
      EXPECT_EQ(e.offset(), expected);
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("parse error at line 1", 0), 0u) << what;
    }
  }
  // A number beyond the double range: the offset of its first byte.
  for (const auto& [text, offset] :
       {std::pair<std::string, std::size_t>{"[1e999]", 1}, {R"({"n": -1e999, "m": 0})", 6}}) {
    SCOPED_TRACE(text);
    try {
      (void)parse_json(text);
      ADD_FAILURE() << "parsed";
    } catch (const JsonParseError& e) {
      EXPECT_EQ(e.offset(), offset);
      EXPECT_NE(std::string(e.what()).find("number overflow"), std::string::npos) << e.what();
    }
  }
}

TEST(ParseJson, DistinctKeysTakeLinearTime) {
  // The library's parser took 30 s of CPU for 1 MiB of distinct keys and would take hours for
  // 8 MiB; this one takes a fraction of a second for either.
  for (const std::size_t size : {std::size_t{1} << 20, kLargeBody}) {
    SCOPED_TRACE(size);
    const std::string text = distinct_keys(size);
    const double start = thread_cpu_seconds();
    const Json value = parse_json(text);
    const double spent = thread_cpu_seconds() - start;
    EXPECT_TRUE(value.contains("k0"));
    std::cout << size << " bytes of distinct keys: " << spent << " s of CPU\n";
    EXPECT_LT(spent, 3.0 * kSlowdown);
  }
}

}  // namespace
}  // namespace corvid
