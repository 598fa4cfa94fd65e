// The relay's lanes against the real registry, with connections that take their frames at once
// (fakes: a lane that cannot hand over is produced here by a loop that is not running yet): a
// lane that alone would hold more than the budget cuts every reader of its account and no
// other; an event whose frame the budget could never hold is logged and cuts nobody.
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "app/websocket/hub_test_support.hpp"
#include "corvid/app/event_relay.hpp"
#include "corvid/app/websocket/websocket_hub.hpp"

namespace corvid::app {
namespace {

using test::FakeConnection;
using test::LogCapture;

constexpr std::uint64_t kBudget = std::uint64_t{1} << 20;

std::shared_ptr<FakeConnection> connected(ConnectionManager& hub, const std::string& uid) {
  auto conn = std::make_shared<FakeConnection>();
  boost::asio::io_context ioc;
  auto done = boost::asio::co_spawn(ioc, hub.connect(conn, uid), boost::asio::use_future);
  ioc.run();
  done.get();
  return conn;
}

Json event_of(std::size_t pad) {
  return Json{{"type", 11046}, {"data", {{"pad", std::string(pad, 'x')}}}};
}

TEST(EventRelay, ALaneThatAloneHoldsMoreThanTheBudgetCutsEveryReaderOfItsAccount) {
  LogCapture logs;
  boost::asio::io_context io;  // not running yet: no lane hands anything over
  ConnectionManager hub(kBudget);
  EventRelay relay(io.get_executor(), hub);
  auto first = connected(hub, "u1"), second = connected(hub, "u1"), other = connected(hub, "u2");
  logs->clear();

  const Json event = event_of(100 * 1024);
  constexpr int kEvents = 12;  // about 1.2 MB: past the budget in the lane alone
  for (int i = 0; i < kEvents; ++i) relay.relay(event, std::string("u1"));
  relay.relay(event, std::string("u2"));
  EXPECT_FALSE(first->is_open());
  EXPECT_FALSE(second->is_open());
  EXPECT_TRUE(other->is_open()) << "another account's readers are not behind";
  const auto errors = logs->texts("parlo_service", spdlog::level::err);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("处理消息失败: 10 events for u1 dropped: lagging ", 0), 0u)
      << errors[0];
  EXPECT_EQ(logs->texts("websocket_hub", spdlog::level::err).size(), 2u);

  // The lanes then hand over what they hold: nobody of u1 is left to take it, u2's reader
  // gets its event.
  io.run();
  EXPECT_EQ(other->frames().size(), 2u);
  EXPECT_EQ(hub.get_connection_stats()["users"], (Json{{"u2", 1}}));
}

TEST(EventRelay, AnEventTheBudgetCouldNeverHoldIsLoggedAndCutsNobody) {
  LogCapture logs;
  boost::asio::io_context io;
  ConnectionManager hub(kBudget);
  EventRelay relay(io.get_executor(), hub);
  auto reader = connected(hub, "u1");
  relay.relay(event_of(kBudget), std::string("u1"));
  relay.relay(event_of(16), std::string("u1"));
  io.run();
  EXPECT_TRUE(reader->is_open());
  ASSERT_EQ(reader->frames().size(), 2u);  // the welcome, then the small event only
  EXPECT_EQ(Json::parse(reader->frames()[1])["data"]["pad"], std::string(16, 'x'));
  const auto errors = logs->texts("parlo_service", spdlog::level::err);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("-byte limit, not relayed"), std::string::npos) << errors[0];
}

}  // namespace
}  // namespace corvid::app
