// The streaming multipart parser: framing at every split point, malformed bodies, limits,
// streaming without buffering, the boundary and file-name helpers, and a bounded random run.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvid/app/http/multipart.hpp"

namespace {

using namespace corvid::app::http;
using Kind = MultipartError::Kind;

struct Part {
  PartHeaders headers;
  std::string data;
  bool ended = false;
};

// Records the parts and checks the event order (begin, data..., end).
class RecordingSink : public MultipartSink {
 public:
  void on_part_begin(const PartHeaders& headers) override {
    if (open_) throw std::logic_error("begin inside a part");
    open_ = true;
    parts.push_back(Part{headers, {}, false});
  }
  void on_part_data(std::string_view data) override {
    if (!open_) throw std::logic_error("data outside a part");
    if (data.empty()) throw std::logic_error("empty data piece");
    parts.back().data.append(data);
    delivered += data.size();
  }
  void on_part_end() override {
    if (!open_) throw std::logic_error("end outside a part");
    open_ = false;
    parts.back().ended = true;
  }

  std::vector<Part> parts;
  std::size_t delivered = 0;

 private:
  bool open_ = false;
};

constexpr const char* kBoundary = "----CorvidBoundary7MA4YWxk";

// A body with a text field and a binary file whose content holds CR, LF, NUL, "--" and a
// near-delimiter ("\r\n------CorvidBoundary" without the last characters).
std::string sample_content() {
  std::string content = "\x89PNG\r\n\x1a\n";
  content.push_back('\0');
  content += "line\r\n--not a delimiter\r\n------CorvidBoundary7MA4YWx\r\n--";
  content += "\r\r\n\n";
  return content;
}

std::string sample_body() {
  std::string body;
  body += "--" + std::string(kBoundary) + "\r\n";
  body += "Content-Disposition: form-data; name=\"to_uid\"\r\n\r\n";
  body += "uid_echo";
  body += "\r\n--" + std::string(kBoundary) + "\r\n";
  body += "Content-Disposition: form-data; name=\"file\"; filename=\"pic.png\"\r\n";
  body += "Content-Type: image/png\r\n\r\n";
  body += sample_content();
  body += "\r\n--" + std::string(kBoundary) + "--\r\n";
  return body;
}

void expect_sample(const RecordingSink& sink) {
  ASSERT_EQ(sink.parts.size(), 2u);
  EXPECT_EQ(sink.parts[0].headers.name, "to_uid");
  EXPECT_FALSE(sink.parts[0].headers.filename.has_value());
  EXPECT_EQ(sink.parts[0].data, "uid_echo");
  EXPECT_EQ(sink.parts[1].headers.name, "file");
  EXPECT_EQ(sink.parts[1].headers.filename, "pic.png");
  EXPECT_EQ(sink.parts[1].headers.content_type, "image/png");
  EXPECT_EQ(sink.parts[1].data, sample_content());
  EXPECT_TRUE(sink.parts[0].ended && sink.parts[1].ended);
}

TEST(MultipartParser, SameResultAtEverySplitPoint) {
  const std::string body = sample_body();
  {
    SCOPED_TRACE("one piece");
    RecordingSink sink;
    MultipartParser parser(kBoundary, sink);
    parser.feed(body);
    parser.finish();
    expect_sample(sink);
  }
  for (std::size_t split = 0; split <= body.size(); ++split) {
    SCOPED_TRACE("split at " + std::to_string(split));
    RecordingSink sink;
    MultipartParser parser(kBoundary, sink);
    parser.feed(std::string_view(body).substr(0, split));
    parser.feed(std::string_view(body).substr(split));
    parser.finish();
    expect_sample(sink);
    if (HasFatalFailure()) return;
  }
  {
    SCOPED_TRACE("one byte at a time");
    RecordingSink sink;
    MultipartParser parser(kBoundary, sink);
    for (const char c : body) parser.feed(std::string_view(&c, 1));
    parser.finish();
    expect_sample(sink);
  }
}

TEST(MultipartParser, PreambleEpilogueAndEmptyParts) {
  const std::string b = kBoundary;
  struct Case {
    const char* name;
    std::string body;
    std::vector<std::string> contents;
  };
  const std::vector<Case> cases = {
      {"preamble before the first delimiter is skipped",
       "ignored preamble\r\n--" + b + "\r\n\r\nx\r\n--" + b + "--",
       {"x"}},
      {"epilogue after the close is ignored",
       "--" + b + "\r\n\r\nx\r\n--" + b + "--\r\ntrailing junk",
       {"x"}},
      {"part without headers and with empty content", "--" + b + "\r\n\r\n\r\n--" + b + "--", {""}},
      {"transport padding after a delimiter", "--" + b + " \t\r\n\r\ny\r\n--" + b + "--", {"y"}},
      {"no parts at all", "--" + b + "--", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::size_t split = 0; split <= c.body.size(); ++split) {
      RecordingSink sink;
      MultipartParser parser(kBoundary, sink);
      parser.feed(std::string_view(c.body).substr(0, split));
      parser.feed(std::string_view(c.body).substr(split));
      ASSERT_NO_THROW(parser.finish()) << "split " << split;
      ASSERT_TRUE(parser.complete());
      ASSERT_EQ(sink.parts.size(), c.contents.size()) << "split " << split;
      for (std::size_t i = 0; i < c.contents.size(); ++i)
        EXPECT_EQ(sink.parts[i].data, c.contents[i]);
    }
  }
}

TEST(MultipartParser, MalformedBodiesAreRefused) {
  const std::string b = kBoundary;
  const std::string open = "--" + b + "\r\n";
  struct Case {
    const char* name;
    std::string body;
    Kind kind;
  };
  const std::vector<Case> cases = {
      {"empty body", "", Kind::malformed},
      {"no delimiter at all", "just some text", Kind::malformed},
      {"unterminated part", open + "\r\ncontent without end", Kind::malformed},
      {"delimiter without close", open + "\r\nx\r\n--" + b + "\r\n", Kind::malformed},
      {"junk after a delimiter", "--" + b + "junk\r\n\r\nx\r\n--" + b + "--", Kind::malformed},
      {"header without colon", open + "Content-Disposition form-data\r\n\r\nx\r\n--" + b + "--",
       Kind::malformed},
      {"header with empty name", open + ": v\r\n\r\nx\r\n--" + b + "--", Kind::malformed},
      {"folded header line", open + "A: b\r\n continued\r\n\r\nx\r\n--" + b + "--",
       Kind::malformed},
      {"bare LF line ends never end the headers",
       "--" + b + "\nContent-Disposition: form-data; name=\"f\"\n\n" + std::string(20000, 'x'),
       Kind::malformed},
      {"header block too large",
       open + "X-Big: " + std::string(kMaxPartHeaderBytes, 'a') + "\r\n\r\nx\r\n--" + b + "--",
       Kind::limit},
      {"unterminated header block too large", open + std::string(kMaxPartHeaderBytes + 1, 'a'),
       Kind::limit},
      {"too many header lines",
       [&] {
         std::string s = open;
         for (std::size_t i = 0; i <= kMaxPartHeaders; ++i)
           s += "X-H" + std::to_string(i) + ": v\r\n";
         return s + "\r\nx\r\n--" + b + "--";
       }(),
       Kind::limit},
      {"too many parts",
       [&] {
         std::string s;
         for (std::size_t i = 0; i <= kMaxParts; ++i) s += "--" + b + "\r\n\r\nx\r\n";
         return s + "--" + b + "--";
       }(),
       Kind::limit},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSink sink;
    MultipartParser parser(kBoundary, sink);
    try {
      parser.feed(c.body);
      parser.finish();
      ADD_FAILURE() << "accepted";
    } catch (const MultipartError& e) {
      EXPECT_EQ(e.kind(), c.kind) << e.what();
    }
    // A failed parser stays failed.
    EXPECT_THROW(parser.feed("more"), MultipartError);
    EXPECT_THROW(parser.finish(), MultipartError);
  }
}

TEST(MultipartParser, ContentIsStreamedNotBuffered) {
  const std::string b = kBoundary;
  RecordingSink sink;
  MultipartParser parser(b, sink);
  parser.feed("--" + b +
              "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"big.bin\"\r\n\r\n");
  std::mt19937 rng(7);
  std::string chunk(64 * 1024, '\0');
  std::size_t fed = 0;
  for (int i = 0; i < 64; ++i) {
    for (auto& c : chunk) c = static_cast<char>(rng());
    parser.feed(chunk);
    fed += chunk.size();
    // All but a possible delimiter prefix has reached the sink after each piece.
    ASSERT_GE(sink.delivered + b.size() + 4, fed);
  }
  parser.feed("\r\n--" + b + "--\r\n");
  parser.finish();
  ASSERT_EQ(sink.parts.size(), 1u);
  EXPECT_EQ(sink.delivered, fed);
}

TEST(MultipartParser, SinkFailureStopsTheParser) {
  struct FailingSink : MultipartSink {
    void on_part_begin(const PartHeaders&) override {}
    void on_part_data(std::string_view) override { throw std::runtime_error("disk full"); }
    void on_part_end() override {}
  } sink;
  MultipartParser parser(kBoundary, sink);
  EXPECT_THROW(parser.feed(sample_body()), std::runtime_error);
  EXPECT_THROW(parser.feed("x"), MultipartError);
}

TEST(MultipartParser, ContentDispositionFields) {
  struct Case {
    const char* name;
    std::string disposition;
    std::string field;
    std::optional<std::string> filename;
  };
  const std::vector<Case> cases = {
      {"plain", R"(form-data; name="file"; filename="a b.txt")", "file", "a b.txt"},
      {"unquoted", "form-data; name=file; filename=a.txt", "file", "a.txt"},
      {"no filename is a plain field", R"(form-data; name="file")", "file", std::nullopt},
      {"empty filename is present", R"(form-data; name="file"; filename="")", "file", ""},
      {"semicolon inside quotes", R"(form-data; name="file"; filename="a;b.txt")", "file",
       "a;b.txt"},
      {"escaped quote", R"(form-data; name="file"; filename="say \"hi\".txt")", "file",
       "say \"hi\".txt"},
      {"windows path kept as sent", R"(form-data; name="file"; filename="C:\Users\x.png")", "file",
       R"(C:\Users\x.png)"},
      {"extended name wins",
       R"(form-data; name="file"; filename="x.png"; filename*=UTF-8''%E5%9B%BE.png)", "file",
       "图.png"},
      {"parameter names are case-insensitive", R"(form-data; NAME="file"; FileName="a.txt")",
       "file", "a.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string b = kBoundary;
    const std::string body =
        "--" + b + "\r\nContent-Disposition: " + c.disposition + "\r\n\r\ndata\r\n--" + b + "--";
    RecordingSink sink;
    MultipartParser parser(b, sink);
    parser.feed(body);
    parser.finish();
    ASSERT_EQ(sink.parts.size(), 1u);
    EXPECT_EQ(sink.parts[0].headers.name, c.field);
    EXPECT_EQ(sink.parts[0].headers.filename, c.filename);
    EXPECT_EQ(sink.parts[0].headers.get("content-disposition"), c.disposition);
  }
}

TEST(MultipartBoundary, TakenFromTheContentType) {
  struct Case {
    const char* content_type;
    std::optional<std::string> boundary;  // nullopt: refused
    Kind kind = Kind::malformed;
  };
  const std::vector<Case> cases = {
      {"multipart/form-data; boundary=abc", "abc"},
      {"Multipart/Form-Data; BOUNDARY=abc", "abc"},
      {"multipart/form-data; boundary=\"a b;c\"", "a b;c"},
      {"multipart/form-data; charset=utf-8; boundary=xyz", "xyz"},
      {"multipart/form-data;boundary=xyz ", "xyz"},
      {"multipart/form-data", std::nullopt, Kind::missing_boundary},
      {"multipart/form-data; boundary=", std::nullopt, Kind::missing_boundary},
      {"multipart/form-data; boundary=\"\"", std::nullopt, Kind::missing_boundary},
      {"multipart/form-data; boundary=x\x01y", std::nullopt, Kind::missing_boundary},
      {"application/json", std::nullopt, Kind::not_multipart},
      {"", std::nullopt, Kind::not_multipart},
      {"multipart/mixed; boundary=abc", std::nullopt, Kind::not_multipart},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content_type);
    if (c.boundary) {
      EXPECT_EQ(multipart_boundary(c.content_type), *c.boundary);
      continue;
    }
    try {
      multipart_boundary(c.content_type);
      ADD_FAILURE() << "accepted";
    } catch (const MultipartError& e) {
      EXPECT_EQ(e.kind(), c.kind);
    }
  }
  const std::string longest(kMaxBoundaryLength, 'b');
  EXPECT_EQ(multipart_boundary("multipart/form-data; boundary=" + longest), longest);
  EXPECT_THROW(multipart_boundary("multipart/form-data; boundary=" + longest + "b"),
               MultipartError);
}

TEST(SanitizeFilename, OneSafeNameInsideTheStagingFolder) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"ordinary", "photo.png", "photo.png"},
      {"non-ASCII kept", "图片 2024.png", "图片 2024.png"},
      {"traversal", "../../home/u/.bashrc", ".bashrc"},
      {"absolute", "/etc/cron.d/x", "x"},
      {"windows path", R"(C:\Users\me\doc.txt)", "doc.txt"},
      {"drive prefix", "C:doc.txt", "doc.txt"},
      {"mixed separators", R"(a/b\c.txt)", "c.txt"},
      {"empty", "", "upload"},
      {"dot", ".", "upload"},
      {"dot dot", "..", "upload"},
      {"trailing separator", "dir/", "upload"},
      {"only dots and spaces", ". . .", "upload"},
      {"NUL and controls removed", std::string("a\0b\r\n.txt", 9), "ab.txt"},
      {"reserved characters", "a<b>c:d\"e|f?g*h.txt", "a_b_c_d_e_f_g_h.txt"},
      {"bidi override made visible", "invoice\u202Egnp.exe", "invoice_gnp.exe"},
      {"invalid UTF-8 replaced", "a\xff\xfe.txt", "a__.txt"},
      {"overlong UTF-8 replaced", "a\xc0\xaf.txt", "a__.txt"},
      {"trailing dots and spaces", "name.txt. . ", "name.txt"},
      {"device name", "CON", "_CON"},
      {"device name with extension", "nul.txt", "_nul.txt"},
      {"device-like name is fine", "console.txt", "console.txt"},
      {"hidden file kept", ".env", ".env"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sanitize_filename(c.input), c.expected);
  }

  // Long names are cut on a character boundary and keep their extension.
  std::string long_name;
  for (int i = 0; i < 200; ++i) long_name += "图";
  long_name += ".png";
  const std::string cut = sanitize_filename(long_name);
  EXPECT_LE(cut.size(), kMaxFileNameBytes);
  EXPECT_TRUE(cut.ends_with(".png"));
  EXPECT_EQ((cut.size() - 4) % 3, 0u) << "cut inside a character";
  EXPECT_EQ(sanitize_filename(std::string(300, 'a')).size(), kMaxFileNameBytes);
}

// Runs one input through the parser in the given pieces; returns the outcome as text so two
// ways of feeding the same bytes can be compared.
std::string outcome(const std::string& boundary, std::string_view body,
                    const std::vector<std::size_t>& cuts) {
  RecordingSink sink;
  try {
    MultipartParser parser(boundary, sink);
    std::size_t pos = 0;
    for (std::size_t cut : cuts) {
      parser.feed(body.substr(pos, cut - pos));
      pos = cut;
    }
    parser.feed(body.substr(pos));
    parser.finish();
  } catch (const MultipartError& e) {
    return "error " + std::to_string(static_cast<int>(e.kind()));
  }
  std::string out = "ok";
  for (const auto& p : sink.parts) {
    out += "|" + p.headers.name + "|" + p.headers.filename.value_or("<none>") + "|" + p.data;
  }
  return out;
}

TEST(MultipartParser, RandomInputsNeverCrashAndSplitsAgree) {
  // A fixed number of seeded inputs: mutations of a valid body and plain random bytes, each fed
  // whole and in random pieces. Every run ends in a result or a MultipartError, and how the
  // bytes were split never changes which.
  std::mt19937_64 rng(20261210);
  const std::string valid = sample_body();
  const std::string alphabet = std::string("\r\n-\"; =:") + kBoundary;
  for (int round = 0; round < 1500; ++round) {
    std::string body;
    if (round % 3 == 0) {
      const std::size_t len = rng() % 400;
      for (std::size_t i = 0; i < len; ++i) body.push_back(static_cast<char>(rng()));
    } else {
      body = valid;
      const int edits = 1 + static_cast<int>(rng() % 6);
      for (int e = 0; e < edits && !body.empty(); ++e) {
        const std::size_t at = rng() % body.size();
        switch (rng() % 4) {
          case 0:
            body[at] = alphabet[rng() % alphabet.size()];
            break;
          case 1:
            body.erase(at, 1 + rng() % 8);
            break;
          case 2:
            body.insert(at, body.substr(rng() % body.size(), 1 + rng() % 40));
            break;
          case 3:
            body[at] = static_cast<char>(rng());
            break;
        }
      }
    }
    std::vector<std::size_t> cuts;
    if (!body.empty()) {
      const std::size_t n = rng() % 8;
      for (std::size_t i = 0; i < n; ++i) cuts.push_back(rng() % (body.size() + 1));
      std::sort(cuts.begin(), cuts.end());
    }
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(outcome(kBoundary, body, {}), outcome(kBoundary, body, cuts));
  }
}

}  // namespace
