#pragma once
// The lifespan's shutdown after the server stopped serving: close every registered WebSocket,
// detach the client, with the shell's fixed log lines on "app.main"; the plan that fits every
// step of a stop into one overall bound; and the static folder's set-up at start. Free
// functions over plain parts, so each outcome can be driven directly. Threads: the coroutine
// runs on any executor; blocking calls go to `blocking`.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "corvid/app/websocket/websocket_connection.hpp"

namespace corvid::app {

using ShutdownClock = std::chrono::steady_clock;

// A whole stop, from the stop signal to the process's exit, takes at most this long.
inline constexpr std::chrono::milliseconds kShutdownBound{10000};

// When each step of a stop must end. Every end is fixed from the stop's start, so a step that
// finishes early hands its time to the steps after it, and a step that runs to its end still
// leaves the later ones their share.
struct ShutdownPlan {
  ShutdownClock::time_point start;
  ShutdownClock::time_point drain_end;   // HTTP requests in progress: half of the bound
  ShutdownClock::time_point closes_end;  // the WebSocket closes: up to 70 %
  ShutdownClock::time_point detach_end;  // the client's detach: up to 85 %
  ShutdownClock::time_point join_end;    // worker threads: up to 90 %; then the sweep and exit
  ShutdownClock::time_point end;         // a stop still running now is forced out

  static ShutdownPlan make(ShutdownClock::time_point start, std::chrono::milliseconds bound);
};

// The time left until `deadline` (0 once it passed).
std::chrono::milliseconds time_left(ShutdownClock::time_point deadline);

// What the shutdown works on.
struct ShutdownParts {
  // The registry's connections, accounts in order and each account's list in order.
  std::function<std::vector<ConnectionPtr>()> connections;
  // Detaches the client; empty when the service has no binding. Blocking: it runs on
  // `blocking`, never on a loop thread.
  std::function<std::int64_t()> detach;
  // The client's process id, read when the detach is due; 0 means no client was ever opened
  // or attached, so there is nothing to detach. Empty: the detach always runs.
  std::function<std::int64_t()> client_pid;
  boost::asio::any_io_executor blocking;
  // The closes and the detach together end within this, counted from the call. The closes
  // leave the detach `detach_share` of it (at most half) when there is a client to detach.
  std::chrono::milliseconds bound{5000};
  std::chrono::milliseconds detach_share{1500};
};

// Logs "🔄 ...", closes every connection (its close frame ahead of its backlog), detaches the
// client (each within its share of the bound) and logs "✅ ...已关闭". Never throws for a failing
// step; each is logged and the next runs.
boost::asio::awaitable<void> lifespan_shutdown(ShutdownParts parts);

// Makes sure `dir` exists as a folder (created with its parents when nothing has that name);
// throws std::runtime_error when the name is taken by something that is not a folder.
std::filesystem::path ensure_static_dir(const std::filesystem::path& dir);

}  // namespace corvid::app
