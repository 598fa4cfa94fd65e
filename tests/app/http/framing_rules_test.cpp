// The framing rules as pure functions, without a socket: which headers frame their body beyond
// doubt, which are refused and with what answer. The same rules on the wire (that nothing
// behind a refused header runs) are in framing_test.cpp.
#include "corvid/app/http/framing.hpp"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>

namespace corvid::app::http {
namespace {

namespace bhttp = boost::beast::http;
using Fields = std::vector<std::pair<bhttp::field, const char*>>;

bhttp::request_header<> header(unsigned version, const Fields& fields) {
  bhttp::request_header<> h;
  h.method(bhttp::verb::post);
  h.target("/echo");
  h.version(version);
  for (const auto& [name, value] : fields) h.insert(name, value);  // repeats stay separate fields
  return h;
}

std::string detail_of(const Response& response) {
  return Json::parse(response.body).at("detail").get<std::string>();
}

TEST(FramingRules, OnlyABodyFramedBeyondDoubtPasses) {
  using F = bhttp::field;
  struct Case {
    const char* name;
    unsigned version;
    Fields fields;
    int status;  // 0: no refusal
    const char* detail;
  };
  const Case cases[] = {
      {"HTTP/1.1, one Host", 11, {{F::host, "a"}}, 0, ""},
      {"Content-Length alone", 11, {{F::host, "a"}, {F::content_length, "5"}}, 0, ""},
      {"chunked", 11, {{F::host, "a"}, {F::transfer_encoding, "chunked"}}, 0, ""},
      {"chunked in capitals, padded",
       11,
       {{F::host, "a"}, {F::transfer_encoding, " \tChunked "}},
       0,
       ""},
      {"empty list elements are skipped",
       11,
       {{F::host, "a"}, {F::transfer_encoding, ", chunked,"}},
       0,
       ""},
      {"HTTP/1.0 needs no Host", 10, {}, 0, ""},
      {"HTTP/1.0 may name two Hosts", 10, {{F::host, "a"}, {F::host, "b"}}, 0, ""},
      {"no Host", 11, {}, 400, "Missing Host header"},
      {"two Hosts", 11, {{F::host, "a"}, {F::host, "b"}}, 400, "More than one Host header"},
      {"the Host rule comes first",
       11,
       {{F::transfer_encoding, "gzip"}},
       400,
       "Missing Host header"},
      {"HTTP/1.0 chunked",
       10,
       {{F::transfer_encoding, "chunked"}},
       400,
       "Transfer-Encoding needs HTTP/1.1"},
      {"with Content-Length",
       11,
       {{F::host, "a"}, {F::content_length, "3"}, {F::transfer_encoding, "chunked"}},
       400,
       "Transfer-Encoding and Content-Length together"},
      {"identity",
       11,
       {{F::host, "a"}, {F::transfer_encoding, "identity"}},
       400,
       "Transfer-Encoding must end with chunked"},
      {"empty coding",
       11,
       {{F::host, "a"}, {F::transfer_encoding, ""}},
       400,
       "Transfer-Encoding must end with chunked"},
      {"chunked, then gzip",
       11,
       {{F::host, "a"}, {F::transfer_encoding, "chunked, gzip"}},
       400,
       "Transfer-Encoding must end with chunked"},
      {"chunked field, then gzip field",
       11,
       {{F::host, "a"}, {F::transfer_encoding, "chunked"}, {F::transfer_encoding, "gzip"}},
       400,
       "Transfer-Encoding must end with chunked"},
      {"chunked twice",
       11,
       {{F::host, "a"}, {F::transfer_encoding, "chunked, CHUNKED"}},
       400,
       "chunked applied more than once"},
      {"gzip, chunked",
       11,
       {{F::host, "a"}, {F::transfer_encoding, "gzip, chunked"}},
       501,
       "Unsupported transfer coding: gzip"},
      {"gzip field, then chunked field",
       11,
       {{F::host, "a"}, {F::transfer_encoding, "GZip"}, {F::transfer_encoding, "chunked"}},
       501,
       "Unsupported transfer coding: gzip"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto refusal = framing_refusal(header(c.version, c.fields));
    if (c.status == 0) {
      EXPECT_FALSE(refusal) << refusal->body;
      continue;
    }
    ASSERT_TRUE(refusal);
    EXPECT_EQ(static_cast<int>(refusal->status), c.status);
    EXPECT_EQ(detail_of(*refusal), c.detail);
    EXPECT_TRUE(refusal->close) << "a refused header must end the connection";
  }
}

TEST(FramingRules, HeaderRefusalsSayWhatDidNotFitAndClose) {
  struct Case {
    const char* name;
    const char* target;
    int status;
    const char* detail;
  };
  const Case cases[] = {
      {"request line cut off", "", 414, "Request line too long"},
      {"fields cut off", "/open", 431, "Request header fields too large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bhttp::request_header<> partial;
    partial.target(c.target);
    const Response refusal = header_too_large(partial);
    EXPECT_EQ(static_cast<int>(refusal.status), c.status);
    EXPECT_EQ(detail_of(refusal), c.detail);
    EXPECT_TRUE(refusal.close);
  }
  const Response invalid = bad_request();
  EXPECT_EQ(invalid.status, bhttp::status::bad_request);
  EXPECT_EQ(invalid.body, "Invalid HTTP request received.");
  EXPECT_TRUE(invalid.close);
}

TEST(FramingRules, BodyAndContinueAreReadFromTheParsedHeader) {
  struct Case {
    const char* name;
    std::string fields;
    bool body;
    bool expects_continue;
  };
  const Case cases[] = {
      {"no length", "", false, false},
      {"zero length", "Content-Length: 0\r\n", false, false},
      {"a length", "Content-Length: 5\r\n", true, false},
      {"chunked", "Transfer-Encoding: chunked\r\n", true, false},
      {"Expect in any case", "Content-Length: 5\r\nExpect: 100-Continue\r\n", true, true},
      {"another expectation", "Content-Length: 5\r\nExpect: 200-ok\r\n", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = "POST /echo HTTP/1.1\r\nHost: a\r\n" + c.fields + "\r\n";
    bhttp::request_parser<bhttp::empty_body> parser;
    boost::beast::error_code ec;
    parser.put(boost::asio::buffer(bytes), ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_TRUE(parser.is_header_done());
    EXPECT_EQ(has_body(parser), c.body);
    EXPECT_EQ(expects_continue(parser.get()), c.expects_continue);
  }
}

}  // namespace
}  // namespace corvid::app::http
