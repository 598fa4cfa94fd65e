#include "corvid/app/application_lifespan.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <spdlog/logger.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "corvid/app/application_info.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app {
namespace {

namespace net = boost::asio;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::shared_ptr<spdlog::logger> logger() { return log::get(kLogChannel); }

// What the worker and the waiting coroutine share. The timer is not in it: the coroutine owns
// the timer, and the worker only reaches it through a weak pointer on the timer's strand, so a
// late worker never touches a timer (or an io_context) that is already gone.
struct BoundedCall {
  std::mutex mutex;
  bool done = false;         // guarded by mutex
  std::exception_ptr error;  // guarded by mutex
};

// Runs on a strand, so the worker's posted cancel never races the wait.
net::awaitable<bool> wait_bounded(net::any_io_executor blocking, std::function<void()> call,
                                  milliseconds bound) {
  auto strand = co_await net::this_coro::executor;
  auto state = std::make_shared<BoundedCall>();
  auto timer = std::make_shared<net::steady_timer>(strand, bound);
  net::post(blocking, [state, strand, weak = std::weak_ptr<net::steady_timer>(timer),
                       call = std::move(call)] {
    std::exception_ptr error;
    try {
      call();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard lock(state->mutex);
      state->done = true;
      state->error = error;
    }
    net::post(strand, [weak] {
      if (auto t = weak.lock()) t->cancel();
    });
  });
  co_await timer->async_wait(net::as_tuple(net::use_awaitable));
  std::lock_guard lock(state->mutex);
  if (!state->done) co_return false;
  if (state->error) std::rethrow_exception(state->error);
  co_return true;
}

// Runs a blocking call on `blocking` and waits for it at most `bound`. The call keeps running
// after a timeout (a blocked probe call cannot be interrupted); its result is then dropped.
// Gives true when it finished in time; rethrows what it threw.
net::awaitable<bool> run_bounded(net::any_io_executor blocking, std::function<void()> call,
                                 milliseconds bound) {
  auto strand = net::make_strand(co_await net::this_coro::executor);
  auto waiting = wait_bounded(std::move(blocking), std::move(call), bound);
  const bool finished = co_await net::co_spawn(strand, std::move(waiting), net::use_awaitable);
  co_return finished;
}

}  // namespace

ShutdownPlan ShutdownPlan::make(ShutdownClock::time_point start, milliseconds bound) {
  if (bound.count() < 0) bound = milliseconds(0);
  const auto at = [&](int percent) { return start + bound * percent / 100; };
  return ShutdownPlan{start, at(50), at(70), at(85), at(90), at(100)};
}

milliseconds time_left(ShutdownClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - ShutdownClock::now());
  return left.count() > 0 ? left : milliseconds(0);
}

net::awaitable<void> lifespan_shutdown(ShutdownParts parts) {
  auto log = logger();
  log->info("🔄 正在关闭CorvidParlo机器人API服务...");
  const auto start = Clock::now();
  const auto bound = std::max(parts.bound, milliseconds(0));
  const auto detach_end = start + bound;
  // The closes may not eat the detach's share; without a binding they may use it all.
  const auto share =
      parts.detach ? std::clamp(parts.detach_share, milliseconds(0), bound / 2) : milliseconds(0);
  const auto closes_end = detach_end - share;

  try {
    log->info("正在关闭WebSocket连接...");
    const auto connections = parts.connections ? parts.connections() : std::vector<ConnectionPtr>{};
    // Every close frame is queued first, in registry order, ahead of each connection's
    // backlog, so one peer that never answers costs the whole block at most one bound instead
    // of one bound per connection, and a peer that reads gets its close at once.
    for (const auto& connection : connections) {
      try {
        connection->close_ahead();
      } catch (const std::exception&) {
        // reported by close_and_wait below
      }
    }
    std::size_t timed_out = 0;
    for (const auto& connection : connections) {
      try {
        if (!co_await connection->close_and_wait(time_left(closes_end))) ++timed_out;
      } catch (const std::exception& e) {
        log->error("关闭WebSocket连接时出错: {}", e.what());
      }
    }
    if (timed_out > 0) {
      log->warn("{} WebSocket connection(s) did not finish closing within {} ms and were dropped",
                timed_out, std::chrono::ceil<milliseconds>(closes_end - start).count());
    }
    log->info("已关闭 {} 个WebSocket连接", connections.size());
  } catch (const std::exception& e) {
    log->error("关闭WebSocket连接时出错: {}", e.what());
  }

  if (parts.detach) {
    try {
      log->info("正在关闭Parlo服务...");
      if (parts.client_pid && parts.client_pid() == 0) {
        // The probe refuses to detach from pid 0; a server that never drove a client has
        // nothing to release, which is no error.
        log->debug("no Parlo client was opened or attached: nothing to detach");
        log->info("Parlo服务已关闭");
      } else {
        // Named, not a temporary inside the co_await: GCC 12 may destroy such temporaries twice.
        std::function<void()> call = [detach = parts.detach] { static_cast<void>(detach()); };
        const auto allowed = time_left(detach_end);
        const bool finished = co_await run_bounded(parts.blocking, std::move(call), allowed);
        if (finished) {
          log->info("Parlo服务已关闭");
        } else {
          log->warn("detaching the client did not finish within {} ms; going on without it",
                    allowed.count());
        }
      }
    } catch (const std::exception& e) {
      log->error("关闭Parlo服务时出错: {}", e.what());
    }
  }

  log->info("✅ CorvidParlo机器人API服务已关闭");
}

std::filesystem::path ensure_static_dir(const std::filesystem::path& dir) {
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(dir, ec);
  if (!std::filesystem::exists(status)) {
    std::filesystem::create_directories(dir);
  } else if (!std::filesystem::is_directory(std::filesystem::status(dir))) {
    throw std::runtime_error("the static folder " + dir.string() + " exists but is not a folder");
  }
  return std::filesystem::absolute(dir).lexically_normal();
}

}  // namespace corvid::app
