#pragma once
// UploadBody: the body of an upload route, pulled from its connection piece by piece as the
// handler asks, so it never sits whole in memory. It sends "100 Continue" before the first
// read when the caller asked for it, ends with 413 past the route's limit and with 408 when the
// body falls below the upload rate rule. It reaches its connection only through
// BodyConnection, the few things a body read needs of it.
// Owner: the session's request step, for one request (the handler borrows it through
// Request::body_reader). Threads: the connection's strand only; the rate timer's handler may
// run after the body is gone and holds the connection itself.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "corvid/app/http/net.hpp"
#include "corvid/app/http/request.hpp"
#include "corvid/app/http/server.hpp"

namespace corvid::app::http {

// A body is received in pieces of this size (the reader's chunk; the connection's buffer is
// given room for one).
inline constexpr std::size_t kBodyChunk = 64 * 1024;

// What reading a body needs of its connection (the session implements it). Strand only.
class BodyConnection {
 public:
  // Writes "100 Continue" under the write deadline. An error when it could not be written, or
  // when the shutdown's drain has answered the request already (the caller must stop).
  virtual net::awaitable<beast::error_code> send_continue() = 0;
  // Reads what comes next of the body into the parser's buffer, under the body's deadline.
  virtual net::awaitable<beast::error_code> read_body_some(
      bhttp::request_parser<bhttp::buffer_body>& parser) = 0;
  // Ends the read under way with operation_aborted, leaving the connection open.
  virtual void cancel_read() = 0;
  // Keeps the connection alive for a handler that may outlive the body.
  virtual std::shared_ptr<BodyConnection> share() = 0;
  virtual net::any_io_executor executor() const = 0;
  virtual const ServerOptions& options() const = 0;
  virtual std::uint64_t connection_id() const = 0;

 protected:
  ~BodyConnection() = default;
};

class UploadBody final : public BodyReader {
 public:
  UploadBody(BodyConnection& connection, bhttp::request_parser<bhttp::buffer_body>& parser,
             std::uint64_t limit, bool expect_continue);
  ~UploadBody() override;

  net::awaitable<std::string_view> read_some() override;
  std::optional<std::uint64_t> content_length() const override;
  std::uint64_t limit() const override { return limit_; }
  bool done() const override { return !failed_ && parser_.is_done(); }

 private:
  // Once the grace period is over the body must keep up the configured rate: each byte buys
  // 1/rate s, and what was bought may reach at most one window past now, so bytes sent up front
  // buy no more than a window. A caller trickling bytes (each read on its own makes progress)
  // would otherwise hold a socket and a staging file for as long as it likes.
  std::chrono::steady_clock::time_point rate_deadline() const;
  void pay(std::size_t bytes);
  void watch_rate();
  [[noreturn]] void fail(const beast::error_code& ec);
  [[noreturn]] void too_slow();

  BodyConnection& connection_;
  bhttp::request_parser<bhttp::buffer_body>& parser_;
  std::uint64_t limit_;
  bool expect_continue_;
  bool failed_ = false;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point paid_until_;  // what the bytes so far bought
  std::uint64_t received_ = 0;
  net::steady_timer rate_timer_;
  std::shared_ptr<bool> rate_fired_ = std::make_shared<bool>(false);  // strand only
  // On the heap: the reader lives in the frame of every request's coroutine, and 64 KiB there
  // made each request's frame a large allocation.
  std::vector<char> chunk_ = std::vector<char>(kBodyChunk);
};

}  // namespace corvid::app::http
