// Client calls through the real routes while the client answers no request: the waiting
// requests hold no thread, so a send passes them at once and each of them still answers its
// failure after its own wait; past the bound on waiting requests one more fails at once, with
// its failure line, and sends nothing.
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/routers/parlo_fixture.hpp"

namespace corvid::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Timed {
  HttpResponse response;
  Clock::duration took;
};

class ClientCalls : public ParloApi {
 protected:
  // A GET on a connection of its own, timed from before the request is written.
  std::future<Timed> get_on_own_connection(std::string target) {
    return std::async(std::launch::async, [port = server_->port(), target] {
      HttpClient client(port, std::chrono::seconds(30));
      const auto start = Clock::now();
      HttpResponse response = client.get(target, auth_header());
      return Timed{std::move(response), Clock::now() - start};
    });
  }

  std::vector<std::future<Timed>> unanswered_queries(std::size_t count) {
    std::vector<std::future<Timed>> queries;
    for (std::size_t i = 0; i < count; ++i)
      queries.push_back(get_on_own_connection("/api/parlo/contacts"));
    // A request waits from before its command reaches the client: both counts, so a later
    // look at what the client got sees every one of them.
    EXPECT_TRUE(wait_until(
        [&] {
          return service_->parlo()->awaiting_requests() == count &&
                 sent(MT_GET_CONTACTS_MSG).size() == count;
        },
        20s))
        << service_->parlo()->awaiting_requests() << " of " << count << " are waiting, "
        << sent(MT_GET_CONTACTS_MSG).size() << " reached the client";
    return queries;
  }

  // Each query answers the route's failure, and only after its whole wait.
  static void expect_failed_after(std::vector<std::future<Timed>>& queries,
                                  std::chrono::milliseconds wait) {
    for (auto& query : queries) {
      ASSERT_EQ(query.wait_for(wait + 20s), std::future_status::ready);
      const Timed answer = query.get();
      ASSERT_EQ(answer.response.status, 200) << answer.response.body;
      const Json body = answer.response.json();
      EXPECT_EQ(body["success"], false);
      EXPECT_EQ(body["message"], "获取联系人列表失败");
      EXPECT_TRUE(body["data"].is_null());
      EXPECT_GE(answer.took, wait - 20ms);
    }
  }

  Timed timed_send_text(const std::string& content) {
    const auto start = Clock::now();
    HttpResponse response =
        post("/send/text", Json{{"to_uid", "filehelper"}, {"content", content}});
    return Timed{std::move(response), Clock::now() - start};
  }
};

TEST_F(ClientCalls, AHundredUnansweredQueriesHoldNoThreadSoASendPassesThem) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  sim_.ok({{"cmd", "reply"}, {"code", 0}, {"mode", "drop"}});
  // More waiting queries than the pool has workers (8 here).
  auto queries = unanswered_queries(100);

  const Timed sent = timed_send_text("passes the waiting queries");
  ASSERT_EQ(sent.response.status, 200) << sent.response.body;
  EXPECT_EQ(sent.response.json()["success"], true) << sent.response.body;
  EXPECT_LT(sent.took, 1s);
  ASSERT_EQ(this->sent(MT_SEND_TEXT_MSG).size(), 1u);
  EXPECT_EQ(this->sent(MT_SEND_TEXT_MSG)[0]["data"]["content"], "passes the waiting queries");

  // The default wait of a request is 10 s.
  expect_failed_after(queries, 10s);
  EXPECT_EQ(service_->parlo()->awaiting_requests(), 0u);
}

TEST_F(ClientCalls, PastTheBoundOneMoreRequestFailsAtOnceWithItsLine) {
  ASSERT_NO_FATAL_FAILURE(open_logged_in());
  service_->parlo()->set_awaiting_limit(20);
  service_->parlo()->set_default_timeout(2.0);
  sim_.ok({{"cmd", "reply"}, {"code", 0}, {"mode", "drop"}});
  auto queries = unanswered_queries(20);

  ::testing::internal::CaptureStdout();
  const auto start = Clock::now();
  const HttpResponse refused = get("/contacts");
  const auto took = Clock::now() - start;
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(refused.status, 200) << refused.body;
  EXPECT_EQ(refused.json()["success"], false);
  EXPECT_EQ(refused.json()["message"], "获取联系人列表失败");
  EXPECT_LT(took, 1s);
  EXPECT_EQ(printed,
            "获取联系人列表失败: too many requests awaiting the client's reply (limit 20)\n");
  EXPECT_EQ(sent(MT_GET_CONTACTS_MSG).size(), 20u) << "the refused request was sent";

  // A send expects no reply: the bound does not concern it.
  const Timed text = timed_send_text("not bounded");
  EXPECT_EQ(text.response.json()["success"], true) << text.response.body;
  EXPECT_LT(text.took, 1s);

  expect_failed_after(queries, 2s);
  // The waits are over, so the bound has room again.
  sim_.ok({{"cmd", "reply"}, {"code", 0}, {"mode", "normal"}});
  const HttpResponse again = get("/contacts");
  EXPECT_EQ(again.json()["success"], true) << again.body;
}

}  // namespace
}  // namespace corvid::test
