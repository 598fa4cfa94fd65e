#pragma once
// The lifespan's shutdown after the server stopped serving: close every registered WebSocket,
// detach the client, each step bounded, with the shell's fixed log lines on "app.main"; and
// the static folder's set-up at start. Free functions over plain parts, so each outcome can be
// driven directly. Threads: the coroutine runs on any executor; blocking calls go to `blocking`.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "corvid/app/websocket_connection.hpp"

namespace corvid::app {

// Each shutdown step (HTTP requests in progress, the WebSocket closes, the detach) waits at
// most this long, then logs a warning and goes on.
inline constexpr std::chrono::milliseconds kShutdownStepBound{5000};

// What the shutdown works on.
struct ShutdownParts {
  // The registry's connections, accounts in order and each account's list in order.
  std::function<std::vector<ConnectionPtr>()> connections;
  // Detaches the client; empty when the service has no binding. Blocking: it runs on
  // `blocking`, never on a loop thread.
  std::function<std::int64_t()> detach;
  boost::asio::any_io_executor blocking;
  std::chrono::milliseconds bound = kShutdownStepBound;
};

// Logs "🔄 ...", closes every connection (the whole block bounded), detaches the client (bounded)
// and logs "✅ ...已关闭". Never throws for a failing step; each is logged and the next runs.
boost::asio::awaitable<void> lifespan_shutdown(ShutdownParts parts);

// Makes sure `dir` exists as a folder (created with its parents when nothing has that name);
// throws std::runtime_error when the name is taken by something that is not a folder.
std::filesystem::path ensure_static_dir(const std::filesystem::path& dir);

}  // namespace corvid::app
