// The shutdown steps after serving stopped: WebSocket closes in registry order with failures
// logged and counted, the detach with its outcomes (none asked of the probe when no client was
// ever opened), and the bounds that keep a silent peer or a stuck probe from holding the
// process, silent peers never taking the detach's share. The connections are fakes: a close that
// throws or a peer that never answers the close cannot be produced on demand by a real socket.
#include "corvid/app/application_lifespan.hpp"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include "corvid/utils/errors.hpp"
#include "support/log_capture.hpp"

namespace corvid::app {
namespace {

namespace net = boost::asio;
using std::chrono::milliseconds;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr const char* kFirst = "🔄 正在关闭CorvidParlo机器人API服务...";
constexpr const char* kClosing = "正在关闭WebSocket连接...";
constexpr const char* kLast = "✅ CorvidParlo机器人API服务已关闭";

enum class CloseBehaviour { closes, throws, never_answers };

// Records the order of close requests into a shared journal.
class FakeConnection : public Connection {
 public:
  struct Journal {
    std::mutex mutex;
    std::vector<std::string> closes;   // guarded by mutex
    std::vector<milliseconds> limits;  // guarded by mutex
  };

  FakeConnection(std::shared_ptr<Journal> journal, std::string name, CloseBehaviour behaviour)
      : journal_(std::move(journal)), name_(std::move(name)), behaviour_(behaviour) {}

  net::awaitable<void> accept() override { co_return; }
  bool send(Frame) override { return false; }
  void close(std::uint16_t, std::string) override {
    std::lock_guard lock(journal_->mutex);
    journal_->closes.push_back(name_);
  }
  void close_ahead(std::uint16_t code, std::string reason) override { close(code, reason); }
  bool notify_grouped(std::vector<ConnectionPtr>&) override { return true; }
  net::awaitable<bool> close_and_wait(milliseconds limit, std::uint16_t code,
                                      std::string) override {
    {
      std::lock_guard lock(journal_->mutex);
      journal_->limits.push_back(limit);
    }
    EXPECT_EQ(code, kCloseNormal);
    switch (behaviour_) {
      case CloseBehaviour::closes:
        co_return true;
      case CloseBehaviour::throws:
        throw std::runtime_error("peer gone");
      case CloseBehaviour::never_answers: {
        net::steady_timer timer(co_await net::this_coro::executor);
        timer.expires_after(limit);
        co_await timer.async_wait(net::use_awaitable);
        co_return false;
      }
    }
    co_return false;
  }
  bool is_open() const override { return true; }
  std::string error_text() const override { return {}; }

 private:
  std::shared_ptr<Journal> journal_;
  std::string name_;
  CloseBehaviour behaviour_;
};

struct Harness {
  net::io_context io;
  net::thread_pool pool{2};
  test::LogCapture log{"app.main"};

  // Runs the shutdown to its end and gives the lines of "app.main".
  std::vector<std::string> run(ShutdownParts parts) {
    parts.blocking = pool.get_executor();
    auto done = net::co_spawn(io, lifespan_shutdown(std::move(parts)), net::use_future);
    io.run();
    done.get();
    return log.lines();
  }
};

TEST(LifespanShutdown, NoConnectionAndNoBindingLogsTheFixedLinesOnly) {
  Harness h;
  ShutdownParts parts;
  parts.connections = [] { return std::vector<ConnectionPtr>{}; };
  EXPECT_THAT(h.run(std::move(parts)),
              ElementsAre(kFirst, kClosing, "已关闭 0 个WebSocket连接", kLast));
}

TEST(LifespanShutdown, ClosesInRegistryOrderAndCountsEveryAttempt) {
  Harness h;
  auto journal = std::make_shared<FakeConnection::Journal>();
  std::vector<ConnectionPtr> registry{
      std::make_shared<FakeConnection>(journal, "alice#1", CloseBehaviour::closes),
      std::make_shared<FakeConnection>(journal, "alice#2", CloseBehaviour::throws),
      std::make_shared<FakeConnection>(journal, "bob#1", CloseBehaviour::closes),
  };
  ShutdownParts parts;
  parts.connections = [registry] { return registry; };
  parts.detach = [] { return std::int64_t{1}; };

  EXPECT_THAT(
      h.run(std::move(parts)),
      ElementsAre(kFirst, kClosing, "关闭WebSocket连接时出错: peer gone",
                  "已关闭 3 个WebSocket连接", "正在关闭Parlo服务...", "Parlo服务已关闭", kLast));
  EXPECT_THAT(journal->closes, ElementsAre("alice#1", "alice#2", "bob#1"));
}

TEST(LifespanShutdown, DetachOutcomes) {
  struct Case {
    const char* name;
    std::function<std::int64_t()> detach;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases{
      {"no binding", nullptr, {kFirst, kClosing, "已关闭 0 个WebSocket连接", kLast}},
      {"detach works",
       [] { return std::int64_t{0}; },
       {kFirst, kClosing, "已关闭 0 个WebSocket连接", "正在关闭Parlo服务...", "Parlo服务已关闭",
        kLast}},
      {"probe refuses",
       []() -> std::int64_t { throw ProbeError("detach refused"); },
       {kFirst, kClosing, "已关闭 0 个WebSocket连接", "正在关闭Parlo服务...",
        "关闭Parlo服务时出错: detach refused", kLast}},
      {"error without text",
       []() -> std::int64_t { throw ParloBindError(); },
       {kFirst, kClosing, "已关闭 0 个WebSocket连接", "正在关闭Parlo服务...",
        "关闭Parlo服务时出错: ", kLast}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    ShutdownParts parts;
    parts.detach = c.detach;
    EXPECT_THAT(h.run(std::move(parts)), ElementsAreArray(c.expected));
  }
}

TEST(LifespanShutdown, NoClientToDetachIsNoError) {
  // A binding that never opened or attached a client: the probe would refuse pid 0.
  corvid::log::set_level(spdlog::level::debug);
  Harness h;
  std::atomic<int> detach_calls{0};
  ShutdownParts parts;
  parts.detach = [&] {
    ++detach_calls;
    return std::int64_t{0};
  };
  parts.client_pid = [] { return std::int64_t{0}; };
  const auto lines = h.run(std::move(parts));
  corvid::log::set_level(spdlog::level::info);
  EXPECT_THAT(lines,
              ElementsAre(kFirst, kClosing, "已关闭 0 个WebSocket连接", "正在关闭Parlo服务...",
                          "no Parlo client was opened or attached: nothing to detach",
                          "Parlo服务已关闭", kLast));
  EXPECT_EQ(detach_calls.load(), 0);

  // Once a client is known, the detach runs.
  Harness attached;
  ShutdownParts with_client;
  with_client.detach = [&] {
    ++detach_calls;
    return std::int64_t{1};
  };
  with_client.client_pid = [] { return std::int64_t{4242}; };
  EXPECT_THAT(attached.run(std::move(with_client)), ::testing::Contains("Parlo服务已关闭"));
  EXPECT_EQ(detach_calls.load(), 1);
}

TEST(LifespanShutdown, SilentPeersLeaveTheDetachItsShare) {
  // Peers that never answer the close use the closes' part of the bound; the detach still
  // gets its share and runs to its end.
  Harness h;
  auto journal = std::make_shared<FakeConnection::Journal>();
  std::vector<ConnectionPtr> registry{
      std::make_shared<FakeConnection>(journal, "a", CloseBehaviour::never_answers)};
  std::atomic<bool> detached{false};
  ShutdownParts parts;
  parts.bound = milliseconds(600);
  parts.detach_share = milliseconds(250);
  parts.connections = [registry] { return registry; };
  parts.detach = [&] {
    detached = true;
    return std::int64_t{1};
  };
  const auto lines = h.run(std::move(parts));
  EXPECT_TRUE(detached.load());
  EXPECT_THAT(lines, ::testing::Contains("Parlo服务已关闭"));
  ASSERT_EQ(journal->limits.size(), 1u);
  EXPECT_LE(journal->limits[0].count(), 350);
}

TEST(LifespanShutdown, DetachRunsOffTheLoopThread) {
  Harness h;
  std::thread::id loop_thread;
  std::atomic<bool> same_thread{true};
  ShutdownParts parts;
  parts.connections = [&] {
    loop_thread = std::this_thread::get_id();
    return std::vector<ConnectionPtr>{};
  };
  parts.detach = [&] {
    same_thread = std::this_thread::get_id() == loop_thread;
    return std::int64_t{0};
  };
  h.run(std::move(parts));
  EXPECT_FALSE(same_thread.load());
}

TEST(LifespanShutdown, StuckDetachIsAbandonedAfterTheBound) {
  Harness h;
  auto release = std::make_shared<std::latch>(1);
  ShutdownParts parts;
  parts.bound = milliseconds(200);
  parts.detach = [release] {
    release->wait();  // a probe call that does not come back by itself
    return std::int64_t{0};
  };
  const auto lines = h.run(std::move(parts));
  release->count_down();  // only now: the shutdown finished while the call was still blocked
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back(), kLast);
  EXPECT_THAT(lines, ::testing::Not(::testing::Contains("Parlo服务已关闭")));
  EXPECT_THAT(lines, ::testing::Contains(
                         ::testing::HasSubstr("detaching the client did not finish within")));
}

TEST(LifespanShutdown, SilentPeersShareOneBound) {
  Harness h;
  auto journal = std::make_shared<FakeConnection::Journal>();
  std::vector<ConnectionPtr> registry{
      std::make_shared<FakeConnection>(journal, "a", CloseBehaviour::never_answers),
      std::make_shared<FakeConnection>(journal, "b", CloseBehaviour::never_answers),
  };
  ShutdownParts parts;
  parts.bound = milliseconds(300);
  parts.connections = [registry] { return registry; };
  const auto lines = h.run(std::move(parts));

  EXPECT_THAT(lines, ::testing::Contains("已关闭 2 个WebSocket连接"));
  EXPECT_THAT(
      lines, ::testing::Contains(::testing::HasSubstr("2 WebSocket connection(s) did not finish")));
  // Every close frame was queued before the first wait, and the waits together stay in one bound.
  EXPECT_THAT(journal->closes, ElementsAre("a", "b"));
  ASSERT_EQ(journal->limits.size(), 2u);
  EXPECT_LE((journal->limits[0] + journal->limits[1]).count(), parts.bound.count());
}

TEST(StaticDir, CreatedWhenMissingKeptWhenPresentRefusedWhenAFile) {
  const auto root =
      std::filesystem::temp_directory_path() / ("corvid-static-" + std::to_string(::getpid()));
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);

  const auto nested = root / "a" / "static";
  EXPECT_EQ(ensure_static_dir(nested), nested);
  EXPECT_TRUE(std::filesystem::is_directory(nested));

  std::ofstream(nested / "keep.txt") << "kept";
  ensure_static_dir(nested);
  EXPECT_TRUE(std::filesystem::exists(nested / "keep.txt"));

  const auto file = root / "static";
  std::ofstream(file) << "not a folder";
  EXPECT_THROW(ensure_static_dir(file), std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_regular_file(file));

  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace corvid::app
