#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http_fixture.hpp"

namespace corvid::app::http::testing {
namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// <tmp>/root/static is served; <tmp>/root/secret.txt and <tmp>/outside must never be.
class StaticTest : public HttpServerTest {
 protected:
  void adjust(test::TestServerOptions&) override {
    base_ = fs::temp_directory_path() /
            ("corvid-static-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    folder_ = base_ / "root" / "static";
    write_file(folder_ / "hello.txt", "hello static");
    write_file(folder_ / "css" / "site.css", "body{}");
    write_file(folder_ / "page.HTML", "<p>x</p>");
    write_file(folder_ / "blob.bin", std::string("\0\1\2", 3));
    write_file(base_ / "root" / "secret.txt", "secret");
    write_file(base_ / "outside" / "data.txt", "outside");
    fs::create_symlink(base_ / "outside" / "data.txt", folder_ / "link-out.txt");
    fs::create_directory_symlink(base_ / "outside", folder_ / "dir-out");
    fs::create_symlink(folder_ / "hello.txt", folder_ / "link-in.txt");
  }
  void more_routes(Router& router) override { router.mount({"/static", folder_}); }
  void TearDown() override {
    HttpServerTest::TearDown();
    fs::remove_all(base_);
  }

  fs::path base_;
  fs::path folder_;
};

TEST_F(StaticTest, ServesFilesWithTheirTypes) {
  struct Case {
    std::string target;
    std::string type;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"/static/hello.txt", "text/plain; charset=utf-8", "hello static"},
      {"/static/css/site.css", "text/css; charset=utf-8", "body{}"},
      {"/static/css%2Fsite.css", "text/css; charset=utf-8", "body{}"},
      {"/static/page.HTML", "text/html; charset=utf-8", "<p>x</p>"},
      {"/static/blob.bin", "application/octet-stream", std::string("\0\1\2", 3)},
      {"/static/link-in.txt", "text/plain; charset=utf-8", "hello static"},
  };
  auto http = client();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const auto res = http.get(c.target);
    ASSERT_EQ(res.status, 200);
    EXPECT_EQ(res.header("Content-Type"), c.type);
    EXPECT_EQ(res.body, c.body);
  }
  const auto head = http.request(bhttp::verb::head, "/static/hello.txt");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.header("Content-Length"), "12");
  EXPECT_EQ(head.body, "");
  const auto post = http.request(bhttp::verb::post, "/static/hello.txt", "x");
  EXPECT_EQ(post.status, 405);
  EXPECT_EQ(post.header("Allow"), "GET, HEAD");
}

TEST_F(StaticTest, NothingOutsideTheFolderIsReachable) {
  const std::vector<std::string> targets = {
      "/static/../secret.txt",
      "/static/%2e%2e/secret.txt",
      "/static/%2E%2E%2Fsecret.txt",
      "/static/css/..%2F..%2Fsecret.txt",
      "/static/..%5Csecret.txt",
      "/static/css%5C..%5C..%5Csecret.txt",
      "/static/%2Fetc%2Fpasswd",
      "/static//etc/passwd",
      "/static/link-out.txt",
      "/static/dir-out/data.txt",
      "/static/hello.txt%00.png",
      "/static/./hello.txt",
      "/static/css",
      "/static/",
      "/static",
      "/static/missing.txt",
  };
  for (const auto& target : targets) {
    SCOPED_TRACE(target);
    test::HttpClient http(port());
    // Sent as raw bytes so no client-side normalisation hides the attempt.
    const auto answers = http.raw("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, 404);
    EXPECT_EQ(answers[0].body, R"({"detail":"Not Found"})");
  }
}

}  // namespace
}  // namespace corvid::app::http::testing
