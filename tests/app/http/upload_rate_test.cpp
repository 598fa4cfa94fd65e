// The rate rule on the real upload routes: a caller that trickles its upload (each read makes
// progress, so the per-read timeout never fires), stalls it, or sends much up front and then
// trickles is ended with 408 once it falls below the minimum over the window, and its staging
// folder goes with it.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/routers/parlo_fixture.hpp"

namespace corvid::test {
namespace {

constexpr const char* kBoundary = "----corvid-rate-boundary";

class UploadRate : public ParloApi {
 protected:
  void configure(TestServerOptions& server, app::routers::ParloRouteOptions&) override {
    server.server.upload_min_rate = 4096;  // bytes per second
    server.server.upload_rate_grace = std::chrono::milliseconds(500);
    server.server.upload_rate_window = std::chrono::milliseconds(500);
  }

  std::string head(std::size_t length) {
    return "POST /api/parlo/send/file?to_uid=uid_alice HTTP/1.1\r\nHost: 127.0.0.1\r\n"
           "Authorization: Bearer " +
           std::string(kKey) + "\r\nContent-Type: multipart/form-data; boundary=" + kBoundary +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
  }
  static std::string part_head() {
    return std::string("--") + kBoundary +
           "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"slow.bin\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n";
  }
};

TEST_F(UploadRate, TooSlowUploadsEndWith408AndLeaveNothingStaged) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  struct Case {
    const char* name;
    std::size_t up_front;           // bytes of the file sent at once
    std::chrono::milliseconds gap;  // between 1-byte sends; 0: send nothing more (a stall)
  };
  // Sent up front at the minimum rate, 256 KiB would have bought a minute.
  for (const Case c :
       {Case{"trickle", 0, std::chrono::milliseconds(20)},
        Case{"stall", 0, std::chrono::milliseconds(0)},
        Case{"256 KiB up front, then a trickle", 256 * 1024, std::chrono::milliseconds(20)}}) {
    SCOPED_TRACE(c.name);
    HttpClient raw(server_->port(), std::chrono::seconds(10));
    const std::size_t declared = 1 << 20;
    ASSERT_TRUE(
        raw.send(head(declared) + part_head() + std::string(c.up_front, 'u') + "first bytes"));
    // The part is staged as soon as its header arrives.
    ASSERT_TRUE(wait_until([&] { return !staged().empty(); }));
    const auto start = std::chrono::steady_clock::now();
    if (c.gap.count() > 0) {
      // 50 bytes a second, well below the minimum; the server answers within a few seconds.
      std::thread trickler([&] {
        while (std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
          if (!raw.send("x")) break;
          std::this_thread::sleep_for(c.gap);
        }
      });
      trickler.join();
    }
    const auto answer = raw.read_answer();
    EXPECT_EQ(answer.status, 408) << answer.body;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_NE(answer.body.find("Upload too slow"), std::string::npos) << answer.body;
    EXPECT_TRUE(raw.closed_by_peer());
    EXPECT_TRUE(staging_empty());
  }
  // An upload at a sound rate is untouched by the rule.
  const std::string content(64 * 1024, 'f');
  const std::string body = part_head() + content + "\r\n--" + kBoundary + "--\r\n";
  HttpClient raw(server_->port());
  const auto answers = raw.raw(head(body.size()) + body);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].status, 200) << answers[0].body;
  EXPECT_EQ(answers[0].json()["success"], true);
}

}  // namespace
}  // namespace corvid::test
