#include "corvid/core/request_table.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "corvid/core/login_signal.hpp"
#include "corvid/utils/errors.hpp"

namespace corvid::core {
namespace {

std::shared_ptr<ReqData> request(std::int64_t client_id = 1) {
  return std::make_shared<ReqData>(11201, Json(), client_id);
}

TEST(RequestTable, TakenIdIsRedrawn) {
  RequestTable table;
  std::vector<std::string> ids = {"req_a", "req_a", "req_a", "req_b"};
  std::size_t next = 0;
  table.set_id_source([&] { return ids[next++]; });
  EXPECT_EQ(table.add(request()), "req_a");
  EXPECT_EQ(table.add(request()), "req_b");
  EXPECT_EQ(next, 4u);
}

TEST(RequestTable, ReplyIsTakenOnceAndLateReplyStillConsumed) {
  RequestTable table;
  auto r = request();
  const std::string id = table.add(r);
  EXPECT_TRUE(r->wait_response(0.01).is_null());  // timed out
  table.abandon(id);
  ASSERT_TRUE(table.contains(id));  // held: a late reply is consumed, not dispatched
  auto taken = table.take(id);
  ASSERT_EQ(taken, r);
  taken->on_response(Json::parse(R"({"type": 11201, "data": {"ok": 1}, "extend": "x"})"));
  EXPECT_EQ(r->get_response_data(), Json::parse(R"({"ok": 1})"));
  EXPECT_EQ(table.take(id), nullptr);  // a duplicate finds nothing
}

TEST(RequestTable, AbandonedRequestsAgeOutByTimeAndCount) {
  RequestTable table;
  const auto t0 = RequestTable::Clock::now();
  const std::string old_id = table.add(request(), t0);
  table.abandon(old_id, t0);
  const std::string live_id = table.add(request(), t0);  // still waited for: never aged
  table.add(request(), t0 + kAbandonedGrace);             // the sweep runs on insert
  EXPECT_FALSE(table.contains(old_id));
  EXPECT_TRUE(table.contains(live_id));

  RequestTable capped;
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < kAbandonedLimit + 5; ++i) {
    ids.push_back(capped.add(request(), t0));
    capped.abandon(ids.back(), t0);
  }
  EXPECT_EQ(capped.size(), kAbandonedLimit);
  EXPECT_FALSE(capped.contains(ids.front()));
  EXPECT_TRUE(capped.contains(ids.back()));
}

TEST(RequestTable, CloseEndsOnlyThatClientsWaits) {
  RequestTable table;
  auto mine = request(7);
  auto other = request(8);
  const std::string mine_id = table.add(mine);
  const std::string other_id = table.add(other);
  std::thread closer([&] { table.close_client(7); });
  // No limit: only the close can end this wait.
  EXPECT_TRUE(mine->wait_response(std::nullopt).is_null());
  closer.join();
  EXPECT_FALSE(table.contains(mine_id));
  EXPECT_TRUE(table.contains(other_id));
  EXPECT_FALSE(other->answered());
}

TEST(RequestTable, MalformedReplyShapes) {
  struct Case {
    const char* name;
    Json reply;
    bool key_error;
  };
  const Case cases[] = {{"no data key", Json::parse(R"({"type": 1})"), true},
                        {"not an object", Json::array({1}), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = request();
    r->on_response(c.reply);
    if (c.key_error) {
      EXPECT_THROW(r->wait_response(1.0), KeyError);
    } else {
      EXPECT_THROW(r->wait_response(1.0), TypeError);
    }
  }
  auto null_data = request();
  null_data->on_response(Json::parse(R"({"data": null})"));
  EXPECT_TRUE(null_data->wait_response(1.0).is_null());
  EXPECT_TRUE(null_data->answered());
}

TEST(LoginSignal, WaitsSubscriptionsAndReArming) {
  LoginSignal signal;
  EXPECT_FALSE(signal.wait(0.0));
  EXPECT_FALSE(signal.wait(-5.0));  // negative = no wait
  EXPECT_FALSE(signal.wait(std::nan("")));

  int fired = 0;
  const auto kept = signal.subscribe([&] { ++fired; });
  const auto cancelled = signal.subscribe([&] { fired += 100; });
  EXPECT_NE(kept, 0u);
  EXPECT_TRUE(signal.cancel(cancelled));
  EXPECT_FALSE(signal.cancel(cancelled));

  std::thread login([&] { signal.set(); });
  EXPECT_TRUE(signal.wait(1e300));  // huge = no limit, no overflow
  login.join();
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(signal.cancel(kept));  // already ran

  // Logged in now: runs at once, token 0.
  EXPECT_EQ(signal.subscribe([&] { ++fired; }), 0u);
  EXPECT_EQ(fired, 2);

  // After a logout the next wait is for the next login.
  signal.clear();
  EXPECT_FALSE(signal.wait(0.01));
  signal.set();
  signal.set();  // a second login runs nothing twice
  EXPECT_EQ(fired, 2);
}

}  // namespace
}  // namespace corvid::core
