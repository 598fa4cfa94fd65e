#include "corvid/core/request_table.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

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
  table.add(request(), t0 + kAbandonedGrace);            // the sweep runs on insert
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

// One event-loop thread that awaits requests, as the server's loop threads do.
class OneLoop {
 public:
  OneLoop() : thread_([this] { ioc_.run(); }) {}
  ~OneLoop() { stop(); }
  void stop() {
    work_.reset();
    ioc_.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::future<Json> await(std::shared_ptr<ReqData> r, std::optional<double> timeout) {
    auto wait = [r, timeout]() -> boost::asio::awaitable<Json> {
      Json result = co_await r->async_wait_response(timeout);
      co_return result;
    };
    return boost::asio::co_spawn(ioc_, std::move(wait), boost::asio::use_future);
  }

 private:
  boost::asio::io_context ioc_{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_{
      ioc_.get_executor()};
  std::thread thread_;
};

bool ready_within(std::future<Json>& f, std::chrono::seconds limit) {
  return f.wait_for(limit) == std::future_status::ready;
}

TEST(RequestTable, AThousandAwaitedRequestsShareOneThreadAndEachEndsItsOwnWay) {
  // A blocking waiter holds its thread; a thousand awaited ones on one loop thread can only
  // all end if none of them holds it.
  OneLoop loop;
  RequestTable table;
  constexpr int kEach = 250;
  struct Pending {
    std::shared_ptr<ReqData> request;
    std::string id;
    std::future<Json> result;
  };
  std::vector<Pending> answered, closed, timed_out, early;
  for (int i = 0; i < kEach; ++i) {
    auto a = request(1);
    auto c = request(2);
    auto t = request(1);
    auto e = request(1);
    answered.push_back({a, table.add(a), loop.await(a, std::nullopt)});
    closed.push_back({c, table.add(c), loop.await(c, std::nullopt)});
    timed_out.push_back({t, table.add(t), loop.await(t, 0.05)});
    // Answered before anyone waits: the wait ends at once.
    const std::string id = table.add(e);
    table.take(id)->on_response(Json{{"data", i}});
    early.push_back({e, id, loop.await(e, std::nullopt)});
  }
  // The client's side, from another thread, as the probe's callbacks are.
  std::thread probe([&] {
    for (int i = 0; i < kEach; ++i) {
      if (auto r = table.take(answered[i].id)) r->on_response(Json{{"data", {{"n", i}}}});
    }
    table.close_client(2);
  });
  probe.join();
  for (int i = 0; i < kEach; ++i) {
    ASSERT_TRUE(ready_within(answered[i].result, std::chrono::seconds(10))) << i;
    EXPECT_EQ(answered[i].result.get(), Json({{"n", i}}));
    ASSERT_TRUE(ready_within(closed[i].result, std::chrono::seconds(10))) << i;
    EXPECT_TRUE(closed[i].result.get().is_null());
    EXPECT_FALSE(closed[i].request->answered());
    ASSERT_TRUE(ready_within(timed_out[i].result, std::chrono::seconds(10))) << i;
    EXPECT_TRUE(timed_out[i].result.get().is_null());
    ASSERT_TRUE(ready_within(early[i].result, std::chrono::seconds(10))) << i;
    EXPECT_EQ(early[i].result.get(), Json(i));
  }
  // Only the timed-out ones are left, waiting for a late reply.
  EXPECT_EQ(table.size(), static_cast<std::size_t>(kEach));
}

TEST(RequestTable, AReplyRacingTheStartOfTheWaitIsNeverMissed) {
  OneLoop loop;
  // No time limit: a lost wake-up would leave the wait hanging.
  for (int i = 0; i < 2000; ++i) {
    auto r = request();
    std::promise<void> go;
    std::thread probe([&] {
      go.get_future().wait();
      r->on_response(Json{{"data", i}});
    });
    auto result = loop.await(r, std::nullopt);
    go.set_value();
    ASSERT_TRUE(ready_within(result, std::chrono::seconds(10))) << "round " << i;
    EXPECT_EQ(result.get(), Json(i));
    probe.join();
  }
}

TEST(RequestTable, ALateReplyAfterAnAwaitedTimeoutTouchesNoLoop) {
  RequestTable table;
  auto r = request();
  const std::string id = table.add(r);
  {
    OneLoop loop;
    auto result = loop.await(r, 0.01);
    ASSERT_TRUE(ready_within(result, std::chrono::seconds(10)));
    EXPECT_TRUE(result.get().is_null());
    table.abandon(id);
  }  // the loop and its executor are gone
  // The reply comes long after: it is consumed, and must not reach the loop that waited.
  auto late = table.take(id);
  ASSERT_EQ(late, r);
  late->on_response(Json{{"data", 1}});
  EXPECT_TRUE(r->answered());
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
