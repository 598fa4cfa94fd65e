// The upload routes: the staged file holds the upload's bytes under a safe name in a private
// folder, the client gets that path, and the folder is gone afterwards on every outcome:
// success, client failure, refusal, malformed body, disconnect, parallel uploads, shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "app/routers/parlo_fixture.hpp"

namespace corvid::test {
namespace {

namespace fs = std::filesystem;
using boost::beast::http::verb;

constexpr const char* kBoundary = "----corvid-test-boundary";

// One multipart body: an optional text field, then the file part (raw disposition tail).
std::string form(const std::string& disposition_tail, const std::string& content,
                 bool with_file = true, const std::string& extra_field = {}) {
  std::string b = std::string("--") + kBoundary + "\r\n";
  std::string body;
  if (!extra_field.empty()) {
    body += b + "Content-Disposition: form-data; name=\"" + extra_field + "\"\r\n\r\nvalue\r\n";
  }
  if (with_file) {
    body += b + "Content-Disposition: form-data; name=\"file\"" + disposition_tail +
            "\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
  }
  body += std::string("--") + kBoundary + "--\r\n";
  return body;
}

std::string named(const std::string& filename) { return "; filename=\"" + filename + "\""; }

HeaderList form_headers() {
  return {auth_header()[0],
          {"Content-Type", std::string("multipart/form-data; boundary=") + kBoundary}};
}

// Bytes a text-minded parser would trip on: NULs, CRLFs, near-delimiters (the boundary less
// its last byte, the boundary without its leading CRLF), every byte value.
std::string tricky_content() {
  const std::string boundary(kBoundary);
  std::string s("\0\r\n--", 5);
  s += boundary.substr(0, boundary.size() - 1);
  s += "\r\n\r\nx--" + boundary + "--";
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  s += "\r\n-" + boundary + "\r\n";
  return s;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Long enough for a staged file to be read by the test before it goes.
class ParloUploads : public ParloApi {
 protected:
  void configure(TestServerOptions&, app::routers::ParloRouteOptions& routes) override {
    routes.staging_grace = std::chrono::seconds(60);
  }
  HttpResponse upload(const std::string& route, const std::string& body,
                      const std::string& query = "?to_uid=uid_alice") {
    return client_->request(verb::post, "/api/parlo" + route + query, body, form_headers());
  }
};

TEST_F(ParloUploads, StagedFileHoldsTheBytesUnderItsNameAndGoesAtShutdown) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  struct Kind {
    const char* route;
    int code;
    const char* message;
  };
  const Kind kinds[] = {{"/send/image", MT_SEND_IMAGE_MSG, "图片发送成功"},
                        {"/send/file", MT_SEND_FILE_MSG, "文件发送成功"},
                        {"/send/video", MT_SEND_VIDEO_MSG, "视频发送成功"},
                        {"/send/gif", MT_SEND_GIF_MSG, "GIF发送成功"}};
  const std::string content = tricky_content();
  // The console lines are caught while the four uploads run; checks come after (a failure
  // report printed meanwhile would be caught too).
  std::vector<HttpResponse> answers;
  ::testing::internal::CaptureStdout();
  for (const auto& k : kinds)
    answers.push_back(upload(k.route, form(named("报告 2024.bin"), content)));
  const std::string out = ::testing::internal::GetCapturedStdout();
  for (std::size_t i = 0; i < std::size(kinds); ++i) {
    const Kind& k = kinds[i];
    SCOPED_TRACE(k.route);
    const HttpResponse& r = answers[i];
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.json(), Json({{"success", true}, {"message", k.message}, {"data", nullptr}}));
    auto envelopes = sent(k.code);
    ASSERT_EQ(envelopes.size(), 1u);
    EXPECT_EQ(envelopes[0]["data"]["to_uid"], "uid_alice");
    // The path handed over is the staged file itself: private folder, caller's name, same bytes.
    ASSERT_TRUE(envelopes[0]["data"]["file"].is_string()) << envelopes[0].dump();
    const fs::path path(envelopes[0]["data"]["file"].get<std::string>());
    EXPECT_EQ(path.filename().string(), "报告 2024.bin");
    EXPECT_EQ(path.parent_path().parent_path(), upload_root_);
    EXPECT_EQ(path.parent_path().filename().string().rfind("corvid-upload-", 0), 0u);
    EXPECT_EQ(fs::status(path.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(read_file(path), content);
    // Image and file report the staged path on the router log, video and GIF on the console.
    const bool console = i >= 2;
    EXPECT_EQ(logs_->contains("parlo_router | 文件已保存到: " + path.string()), !console);
    EXPECT_EQ(out.find("📁 文件已保存到: " + path.string() + "\n") != std::string::npos, console)
        << out;
  }
  EXPECT_EQ(staged().size(), 4u);  // still within their grace period
  shutdown();
  EXPECT_TRUE(staged().empty());
}

TEST_F(ParloUploads, NamesNeverLeaveTheStagingFolder) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  struct Case {
    const char* name;
    std::string filename;
    std::string expected;  // empty: any safe name
  };
  const Case cases[] = {
      {"parent segments", "../../../tmp/evil.png", "evil.png"},
      {"absolute path", "/etc/passwd", "passwd"},
      {"backslashes and drive", "C:\\Users\\x\\shot.png", "shot.png"},
      {"dot dot alone", "..", ""},
      {"empty", "", ""},
      {"control bytes",
       std::string("a\x01\x7f"
                   "b.png"),
       ""},
      {"NUL", std::string("a\0b.png", 7), ""},
      {"NUL before a separator", std::string("ok.png\0/../../x", 16), ""},
      {"non-ASCII", "照片 ünï.png", "照片 ünï.png"},
      {"very long", std::string(1000, 'n') + ".png", ""},
      {"long non-ASCII",
       std::string() +
           [] {
             std::string s;
             for (int i = 0; i < 200; ++i) s += "图";
             return s;
           }() +
           ".jpg",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim_.ok({{"cmd", "clear_sent"}});
    auto r = upload("/send/image", form(named(c.filename), "bytes"));
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.json()["success"], true) << r.body;
    auto envelopes = sent(MT_SEND_IMAGE_MSG);
    ASSERT_EQ(envelopes.size(), 1u);
    const fs::path path(envelopes[0]["data"]["file"].get<std::string>());
    EXPECT_EQ(path.parent_path().parent_path(), upload_root_) << path;
    const std::string base = path.filename().string();
    EXPECT_FALSE(base.empty());
    EXPECT_NE(base, "..");
    EXPECT_NE(base, ".");
    EXPECT_LE(base.size(), 255u);
    EXPECT_EQ(base.find('/'), std::string::npos);
    for (unsigned char ch : base) EXPECT_GE(ch, 0x20u) << base;
    if (!c.expected.empty()) {
      EXPECT_EQ(base, c.expected);
    }
    if (std::string(c.name).find("long") != std::string::npos) {
      EXPECT_EQ(base.substr(base.size() - 4), c.filename.substr(c.filename.size() - 4));
    }
    EXPECT_EQ(read_file(path), "bytes");
  }
  EXPECT_FALSE(fs::exists("/tmp/evil.png") && read_file("/tmp/evil.png") == "bytes");
}

TEST_F(ParloUploads, TwentyParallelUploadsOfOneNameStayApart) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  constexpr int kUploads = 20;
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < kUploads; ++i) {
    threads.emplace_back([&, i] {
      HttpClient c(server_->port(), std::chrono::seconds(20));
      const std::string content = "upload number " + std::to_string(i) + std::string(100000, 'x');
      auto r = c.request(verb::post, "/api/parlo/send/file?to_uid=uid_alice",
                         form(named("same.txt"), content), form_headers());
      if (r.status == 200 && r.body.find("文件发送成功") != std::string::npos) ++ok;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), kUploads);
  std::set<std::string> paths;
  std::set<std::string> contents;
  for (const auto& e : sent(MT_SEND_FILE_MSG)) {
    const std::string p = e["data"]["file"].get<std::string>();
    paths.insert(p);
    contents.insert(read_file(p).substr(0, 20));
  }
  EXPECT_EQ(paths.size(), static_cast<std::size_t>(kUploads));
  EXPECT_EQ(contents.size(), static_cast<std::size_t>(kUploads));  // none overwrote another
  shutdown();
  EXPECT_TRUE(staged().empty());
}

// Refusals and malformed bodies: the right answer, and nothing staged or sent.
TEST_F(ParloUploads, RefusedAndMalformedUploadsStageNothing) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  struct Case {
    const char* name;
    std::string query;
    std::string content_type;
    std::string body;
    int status;
    Json expect;  // a detail loc for 422, the detail text otherwise
  };
  const std::string multipart = std::string("multipart/form-data; boundary=") + kBoundary;
  const Case cases[] = {
      {"no to_uid", "", multipart, form(named("a.png"), "x"), 422,
       Json::array({"query", "to_uid"})},
      {"no file part", "?to_uid=u", multipart, form("", "", false, "to_uid"), 422,
       Json::array({"body", "file"})},
      {"file part without a name", "?to_uid=u", multipart, form("", "plain field"), 422,
       Json::array({"body", "file"})},
      {"not a form", "?to_uid=u", "application/json", R"({"file":"x"})", 422,
       Json::array({"body", "file"})},
      {"no boundary", "?to_uid=u", "multipart/form-data", form(named("a.png"), "x"), 400,
       "There was an error parsing the body"},
      {"unterminated", "?to_uid=u", multipart,
       std::string("--") + kBoundary +
           "\r\nContent-Disposition: form-data; name=\"file\"; "
           "filename=\"a.png\"\r\n\r\npartial",
       400, "There was an error parsing the body"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = client_->request(verb::post, "/api/parlo/send/image" + c.query, c.body,
                              {auth_header()[0], {"Content-Type", c.content_type}});
    ASSERT_EQ(r.status, c.status) << r.body;
    if (c.status == 422) {
      EXPECT_EQ(r.json()["detail"][0]["loc"], c.expect) << r.body;
    } else {
      EXPECT_EQ(r.json()["detail"], c.expect) << r.body;
    }
    EXPECT_TRUE(staging_empty()) << c.name;
  }
  EXPECT_TRUE(sent(MT_SEND_IMAGE_MSG).empty());
}

TEST_F(ParloUploads, ClientThatDisconnectsMidUploadLeavesNothing) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), server_->port()});
  const std::string head = form(named("big.bin"), "");
  const std::string opening = head.substr(0, head.find("\r\n\r\n", head.find("filename")) + 4);
  const std::string request =
      "POST /api/parlo/send/file?to_uid=uid_alice HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Authorization: Bearer " +
      std::string(kKey) + "\r\nContent-Type: multipart/form-data; boundary=" + kBoundary +
      "\r\nContent-Length: 10000000\r\n\r\n" + opening + std::string(600 * 1024, 'z');
  boost::asio::write(socket, boost::asio::buffer(request));
  // The file is being written into its folder when the caller goes away.
  ASSERT_TRUE(wait_until([&] { return !staged().empty(); }));
  socket.close();
  EXPECT_TRUE(staging_empty());
  EXPECT_TRUE(sent(MT_SEND_FILE_MSG).empty());
}

// The client refuses the command: the answer comes after the grace period, the file gone first.
TEST_F(ParloApi, FailedSendRemovesTheFileBeforeAnswering) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  sim_.ok({{"cmd", "fail"}, {"op", "send"}, {"text", "client refused"}});
  const std::pair<const char*, const char*> cases[] = {{"/send/image", "图片发送失败"},
                                                       {"/send/file", "文件发送失败"},
                                                       {"/send/video", "视频发送失败"},
                                                       {"/send/gif", "GIF发送失败"}};
  for (const auto& [route, message] : cases) {
    SCOPED_TRACE(route);
    auto r = client_->request(verb::post, std::string("/api/parlo") + route + "?to_uid=uid_alice",
                              form(named("x.gif"), "GIF89a"), form_headers());
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.json(), Json({{"success", false}, {"message", message}, {"data", nullptr}}));
    EXPECT_TRUE(staged().empty());
  }
  EXPECT_TRUE(logs_->contains("parlo_router | 临时文件已删除: " + upload_root_.string()));
}

// With a short grace period the staged file goes by itself after a successful send.
TEST_F(ParloApi, SentFileIsRemovedAfterTheGracePeriod) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  auto r = client_->request(verb::post, "/api/parlo/send/image?to_uid=uid_alice",
                            form(named("a.png"), "PNG"), form_headers());
  EXPECT_EQ(r.json()["message"], "图片发送成功");
  EXPECT_TRUE(staging_empty());
  EXPECT_TRUE(wait_until([&] { return logs_->contains("parlo_router | 临时文件已删除: "); }));
}

// Not logged in: refused from the header, before the body is read or anything is staged.
TEST_F(ParloApi, UploadWithoutLoginStagesNothing) {
  auto r = client_->request(verb::post, "/api/parlo/send/image?to_uid=uid_alice",
                            form(named("a.png"), std::string(300000, 'p')), form_headers());
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.json()["detail"], "Parlo未登录");
  EXPECT_TRUE(staged().empty());
}

class SmallUploadLimit : public ParloApi {
 protected:
  void configure(TestServerOptions& server, app::routers::ParloRouteOptions&) override {
    server.server.upload_body_limit = 64 * 1024;
  }
};

TEST_F(SmallUploadLimit, BodiesOverTheLimitAre413AndStageNothing) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  const std::string body = form(named("big.bin"), std::string(200 * 1024, 'b'));
  const std::string head =
      "POST /api/parlo/send/file?to_uid=uid_alice HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Authorization: Bearer " +
      std::string(kKey) + "\r\nContent-Type: multipart/form-data; boundary=" + kBoundary + "\r\n";
  {
    SCOPED_TRACE("declared length: refused from the header, the body never read");
    HttpClient c(server_->port());
    auto answers =
        c.raw(head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, 413);
    EXPECT_EQ(answers[0].json()["detail"], "Request body exceeds the limit of 64 KiB");
    EXPECT_TRUE(staged().empty());
  }
  {
    SCOPED_TRACE("chunked: refused once the limit is passed, the part already staged goes");
    std::string chunked = head + "Transfer-Encoding: chunked\r\n\r\n";
    for (std::size_t at = 0; at < body.size(); at += 8192) {
      const std::string piece = body.substr(at, 8192);
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
      chunked += size + piece + "\r\n";
    }
    chunked += "0\r\n\r\n";
    HttpClient c(server_->port());
    auto answers = c.raw(chunked);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, 413);
    EXPECT_EQ(answers[0].json()["detail"], "Request body exceeds the limit of 64 KiB");
    EXPECT_TRUE(staging_empty());
  }
  EXPECT_TRUE(sent(MT_SEND_FILE_MSG).empty());
  // Under the limit the same route works.
  auto small = client_->request(verb::post, "/api/parlo/send/file?to_uid=uid_alice",
                                form(named("ok.bin"), "ok"), form_headers());
  ASSERT_EQ(small.status, 200) << small.body;
  EXPECT_EQ(small.json()["message"], "文件发送成功");
  EXPECT_EQ(sent(MT_SEND_FILE_MSG).size(), 1u);
}

// The staging root cannot hold a folder: the caller gets the route's error text, status 200,
// and the client is never asked.
class UnusableStagingRoot : public ParloApi {
 protected:
  void configure(TestServerOptions&, app::routers::ParloRouteOptions& routes) override {
    blocker_ = upload_root_ / "not-a-folder";
    std::ofstream(blocker_) << "x";
    routes.upload_root = blocker_ / "uploads";
  }
  fs::path blocker_;
};

TEST_F(UnusableStagingRoot, StagingFailureIsTheRoutesErrorAnswer) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  const std::pair<const char*, const char*> cases[] = {{"/send/image", "发送图片时出错: "},
                                                       {"/send/file", "发送文件时出错: "},
                                                       {"/send/video", "发送视频时出错: "},
                                                       {"/send/gif", "发送GIF时出错: "}};
  for (const auto& [route, prefix] : cases) {
    SCOPED_TRACE(route);
    auto r = client_->request(verb::post, std::string("/api/parlo") + route + "?to_uid=uid_alice",
                              form(named("a.bin"), "bytes"), form_headers());
    ASSERT_EQ(r.status, 200) << r.body;
    const Json answer = r.json();
    EXPECT_EQ(answer["success"], false);
    EXPECT_EQ(answer["message"].get<std::string>().rfind(prefix, 0), 0u) << r.body;
    EXPECT_GT(answer["message"].get<std::string>().size(), std::string(prefix).size());
    EXPECT_TRUE(answer["data"].is_null());
  }
  EXPECT_TRUE(sim_.sent().empty());
  EXPECT_EQ(staged(), std::vector<fs::path>{blocker_});
}

}  // namespace
}  // namespace corvid::test
