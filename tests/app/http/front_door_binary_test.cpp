// The real corvid binary: what a request costs the server. Keyless callers holding back large
// bodies cost it nearly nothing, memory taken by large bodies goes back, the connection cap
// answers 503 but for the health check, WebSockets count toward it so the descriptors never run
// out, and the descriptor limit it raised at start is logged.
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "binary_fixture.hpp"

namespace corvid::test {
namespace {

using namespace std::chrono_literals;

class FrontDoor : public BinaryServer {};

TEST_F(FrontDoor, KeylessCallersHoldingBackLargeBodiesCostAlmostNothing) {
  ASSERT_NO_FATAL_FAILURE(start());
  // Warm up the paths once, so their first-use allocations are not counted.
  {
    RawSocket s(port_);
    s.send_some("POST /api/parlo/send/text HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n");
    s.status();
  }
  const long before = corvid_->rss_kib();
  const std::string head =
      "POST /api/parlo/send/text HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
      "Content-Length: " +
      std::to_string(8u << 20) + "\r\n\r\n";
  const std::string body((8u << 20) - 1, 'x');  // all but the last byte
  std::vector<std::unique_ptr<RawSocket>> callers;
  for (int i = 0; i < 50; ++i) {
    callers.push_back(std::make_unique<RawSocket>(port_));
    ASSERT_TRUE(callers.back()->connected());
    callers.back()->send_some(head);
    callers.back()->send_some(body);  // stops when the server takes no more
  }
  const long during = corvid_->rss_kib();
  for (auto& caller : callers) EXPECT_EQ(caller->status(), 401);
  std::cout << "RSS before " << before << " KiB, with 50 keyless 8 MiB callers " << during
            << " KiB\n";
  if (kSanitized) GTEST_SKIP() << "memory figures need a plain build";
  EXPECT_LT(during - before, 5 * 1024);
}

// What a caller without a key costs while its connection is open, bounded whatever it sends
// (an unfinished header of 8 KB, a refused body drained), and that memory goes back once such
// connections have closed.
TEST_F(FrontDoor, KeylessConnectionsCostLittleAndTheirMemoryGoesBack) {
  ASSERT_NO_FATAL_FAILURE(start());
  constexpr int kCallers = 1000;
  const std::string unfinished =
      "POST /api/parlo/send/text HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(8000, 'p') + "\r\n";
  const std::string body(60 * 1024, 'b');
  const std::string drained =
      "POST /api/parlo/send/text HTTP/1.1\r\nHost: x\r\n"
      "Content-Type: application/json\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  {
    RawSocket warm(port_);
    warm.send_some(drained);
    warm.status();
  }
  const long before = corvid_->anon_kib();
  struct Case {
    const char* name;
    const std::string& bytes;
    int status;  // 0: no answer expected
  };
  for (const Case c : {Case{"an unfinished 8 KB header", unfinished, 0},
                       Case{"a 60 KiB body drained after the 401", drained, 401}}) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<RawSocket>> callers;
    for (int i = 0; i < kCallers; ++i) {
      callers.push_back(std::make_unique<RawSocket>(port_));
      ASSERT_TRUE(callers.back()->connected());
      callers.back()->send_some(c.bytes);
    }
    if (c.status != 0) {
      for (auto& caller : callers) ASSERT_EQ(caller->status(), c.status);
    }
    // The server reads what the callers sent at its own pace: RSS is taken once it is steady.
    long during = corvid_->anon_kib();
    for (const auto until = std::chrono::steady_clock::now() + 3s;
         std::chrono::steady_clock::now() < until;) {
      std::this_thread::sleep_for(100ms);
      const long now = corvid_->anon_kib();
      if (now == during) break;
      during = now;
    }
    std::cout << c.name << ": " << (during - before) * 1024 / kCallers << " bytes a connection\n";
    if (!kSanitized) {
      EXPECT_LT((during - before) * 1024 / kCallers, 32 * 1024);
    }
  }
  // All closed now: their memory goes back after a quiet second, but for the reactor's record
  // of each socket, which it keeps for the next one (with the pages those records pin).
  constexpr long kKept = 12 * 1024;
  long after = corvid_->anon_kib();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (after - before > kKept * 2 / 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
    after = corvid_->anon_kib();
  }
  std::cout << "RSS before " << before << " KiB, after the callers closed " << after << " KiB\n";
  if (kSanitized) GTEST_SKIP() << "memory figures need a plain build";
  EXPECT_LT(after - before, kKept);
}

TEST_F(FrontDoor, MemoryOfLargeBodiesGoesBack) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string content(7u << 20, 'c');
  const Json body{{"to_uid", "uid_alice"}, {"content", content}};
  const std::string text = body.dump();
  auto send = [&] {
    HttpClient c(port_, 60s);
    return c.request(
        bhttp::verb::post, "/api/parlo/send/text", text,
        {{"Authorization", std::string("Bearer ") + kKey}, {"Content-Type", "application/json"}});
  };
  // The first send warms the pools and buffers every later one reuses.
  ASSERT_EQ(send().status, 400);  // parsed and checked whole; no client is logged in
  const long start = corvid_->rss_kib();
  long peak = start;
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(send().status, 400);
    peak = std::max(peak, corvid_->rss_kib());
  }
  // Memory is handed back on the side after each large request: poll for it.
  long after = corvid_->rss_kib();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (after - start > 32 * 1024 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
    after = corvid_->rss_kib();
  }
  std::cout << "RSS after one 7 MiB send " << start << " KiB, peak " << peak
            << " KiB, after 30 more " << after << " KiB\n";
  if (kSanitized) GTEST_SKIP() << "memory figures need a plain build";
  EXPECT_LT(after - start, 32 * 1024);
}

TEST_F(FrontDoor, ConnectionsOverTheCapAre503ButTheHealthCheckAndTheLimitIsLogged) {
  ASSERT_NO_FATAL_FAILURE(start(Json{{"max_connections", 3}}));
  EXPECT_NE(process_->output().find("descriptor limit"), std::string::npos) << process_->output();
  // Three connections hold the budget's places: a keyless status request is 401 on such a
  // connection and 503 on one past the cap. The start-up probe's connections may still be
  // closing, so each is retried until it holds a place.
  std::vector<std::unique_ptr<HttpClient>> held;
  for (int i = 0; i < 3; ++i) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    int status = 0;
    while (status != 401 && std::chrono::steady_clock::now() < deadline) {
      auto connection = std::make_unique<HttpClient>(port_, 15s);
      status = connection->get("/api/parlo/status").status;
      if (status == 401)
        held.push_back(std::move(connection));
      else
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(status, 401);
  }
  RawSocket extra(port_);
  ASSERT_TRUE(extra.connected());
  extra.send_some("GET /api/parlo/status HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(extra.status(), 503);
  EXPECT_EQ(HttpClient(port_).get("/health").status, 200);
  EXPECT_TRUE(process_->wait_output(
      [](const std::string& out) {
        return out.find("connection cap of 3 reached") != std::string::npos;
      },
      5s));
  // Room again once one closes.
  held.pop_back();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  int status = 0;
  while (status != 401 && std::chrono::steady_clock::now() < deadline) {
    status = HttpClient(port_).get("/api/parlo/status").status;  // 0: no answer
    if (status != 401) std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(status, 401);
}

// With a limit of 512 descriptors, WebSockets and idle sockets filling every place of the
// budget, and more idle sockets knocking past it: the server never runs out of descriptors, so
// nothing logs "accept failed" over and over, and /health still answers.
TEST_F(FrontDoor, WebSocketsAndIdleSocketsAtTheCapLeaveTheHealthCheckAnswering) {
  ASSERT_NO_FATAL_FAILURE(start(Json::object(), 512));
  const std::string out = process_->output();
  const auto at = out.find("connections: at most ");
  ASSERT_NE(at, std::string::npos) << out;
  const int cap = std::stoi(out.substr(at + 21));
  ASSERT_GT(cap, 100);
  ASSERT_NO_FATAL_FAILURE(log_in());

  const std::string upgrade = std::string("GET /api/ws/connect/uid_standin?api_key=") + kKey +
                              " HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                              "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
  std::vector<std::unique_ptr<RawSocket>> sockets;
  const int websockets = cap * 2 / 3;
  for (int i = 0; i < websockets; ++i) {
    sockets.push_back(std::make_unique<RawSocket>(port_));
    ASSERT_TRUE(sockets.back()->connected());
    sockets.back()->send_some(upgrade);
    ASSERT_EQ(sockets.back()->status(), 101) << "WebSocket " << i;
  }
  // Idle sockets up to the cap, then twice as many again past it.
  for (int i = websockets; i < 3 * cap; ++i) {
    sockets.push_back(std::make_unique<RawSocket>(port_));
    ASSERT_TRUE(sockets.back()->connected());
  }
  EXPECT_TRUE(process_->wait_output(
      [](const std::string& text) { return text.find("connection cap of") != std::string::npos; },
      5s));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(HttpClient(port_).get("/health").status, 200);
  }
  RawSocket keyed(port_);
  keyed.send_some("GET /api/parlo/status HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(keyed.status(), 503);
  std::size_t failures = 0;
  const std::string log = process_->output();
  for (auto pos = log.find("accept failed"); pos != std::string::npos;
       pos = log.find("accept failed", pos + 1)) {
    ++failures;
  }
  EXPECT_EQ(failures, 0u) << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
}

}  // namespace
}  // namespace corvid::test
