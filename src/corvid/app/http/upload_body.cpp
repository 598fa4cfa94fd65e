#include "corvid/app/http/upload_body.hpp"

#include <algorithm>
#include <string>

#include "corvid/app/http/router.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app::http {

UploadBody::UploadBody(BodyConnection& connection,
                       bhttp::request_parser<bhttp::buffer_body>& parser, std::uint64_t limit,
                       bool expect_continue)
    : connection_(connection),
      parser_(parser),
      limit_(limit),
      expect_continue_(expect_continue),
      started_(std::chrono::steady_clock::now()),
      paid_until_(started_),
      rate_timer_(connection.executor()) {}

UploadBody::~UploadBody() { rate_timer_.cancel(); }

net::awaitable<std::string_view> UploadBody::read_some() {
  if (failed_) throw beast::system_error(net::error::operation_aborted);
  if (parser_.is_done()) co_return std::string_view{};
  if (expect_continue_) {
    expect_continue_ = false;
    const beast::error_code ec = co_await connection_.send_continue();
    if (ec) fail(ec);
  }
  const bool rated = connection_.options().upload_min_rate > 0;
  for (;;) {
    parser_.get().body().data = chunk_.data();
    parser_.get().body().size = chunk_.size();
    if (rated) watch_rate();
    beast::error_code ec = co_await connection_.read_body_some(parser_);
    rate_timer_.cancel();
    if (*rate_fired_) too_slow();
    if (ec == bhttp::error::need_buffer) ec = {};
    if (ec == bhttp::error::body_limit) {
      failed_ = true;
      throw HttpError(bhttp::status::payload_too_large, body_limit_detail(limit_));
    }
    if (ec) fail(ec);
    const std::size_t got = chunk_.size() - parser_.get().body().size;
    received_ += got;
    if (rated) pay(got);
    if (got > 0) co_return std::string_view(chunk_.data(), got);
    if (parser_.is_done()) co_return std::string_view{};
  }
}

std::optional<std::uint64_t> UploadBody::content_length() const {
  if (auto n = parser_.content_length()) return static_cast<std::uint64_t>(*n);
  return std::nullopt;
}

std::chrono::steady_clock::time_point UploadBody::rate_deadline() const {
  return std::max(started_ + connection_.options().upload_rate_grace, paid_until_);
}

void UploadBody::pay(std::size_t bytes) {
  const auto& options = connection_.options();
  const auto now = std::chrono::steady_clock::now();
  const auto bought =
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(
          static_cast<double>(bytes) / static_cast<double>(options.upload_min_rate)));
  paid_until_ = std::min(std::max(paid_until_, now) + bought, now + options.upload_rate_window);
}

void UploadBody::watch_rate() {
  const auto deadline = rate_deadline();
  if (std::chrono::steady_clock::now() >= deadline) too_slow();
  // The connection's own deadline would close the socket; this one only cancels the read, so
  // the caller still gets its 408.
  rate_timer_.expires_at(deadline);
  // The handler may run after this body is gone: it owns what it touches.
  rate_timer_.async_wait(
      [fired = rate_fired_, connection = connection_.share()](const beast::error_code& ec) {
        if (ec) return;
        *fired = true;
        connection->cancel_read();
      });
}

void UploadBody::fail(const beast::error_code& ec) {
  failed_ = true;
  throw beast::system_error(ec);
}

void UploadBody::too_slow() {
  failed_ = true;
  const auto& options = connection_.options();
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_);
  corvid::log::get("http")->info(
      "connection {}: upload too slow: {} byte(s) in {:.1f} s (minimum {} B/s over {} ms)",
      connection_.connection_id(), received_, seconds.count(), options.upload_min_rate,
      options.upload_rate_window.count());
  throw HttpError(bhttp::status::request_timeout, "Upload too slow: less than " +
                                                      std::to_string(options.upload_min_rate) +
                                                      " bytes per second");
}

}  // namespace corvid::app::http
