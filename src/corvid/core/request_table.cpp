#include "corvid/core/request_table.hpp"

#include <cmath>
#include <functional>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "corvid/utils/errors.hpp"
#include "corvid/utils/guid.hpp"

namespace corvid::core {

namespace {

constexpr double kUnlimitedSeconds = 1e8;  // beyond about three years a wait has no limit

bool unlimited(const std::optional<double>& timeout_seconds) {
  return !timeout_seconds || *timeout_seconds >= kUnlimitedSeconds;
}

// A wait that ends at once: no time, a negative time, or no number at all.
bool no_wait(const std::optional<double>& timeout_seconds) {
  return timeout_seconds && (std::isnan(*timeout_seconds) || *timeout_seconds <= 0);
}

std::chrono::steady_clock::duration duration_of(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

}  // namespace

Json ReqData::wait_response(std::optional<double> timeout_seconds) {
  {
    std::unique_lock lock(mutex_);
    if (unlimited(timeout_seconds)) {
      cv_.wait(lock, [&] { return done_; });
    } else if (!no_wait(timeout_seconds)) {
      const auto deadline = std::chrono::steady_clock::now() + duration_of(*timeout_seconds);
      cv_.wait_until(lock, deadline, [&] { return done_; });
    }
  }
  return take_response_data();
}

boost::asio::awaitable<Json> ReqData::async_wait_response(std::optional<double> timeout_seconds) {
  namespace asio = boost::asio;
  if (!no_wait(timeout_seconds)) {
    // The timer lives on a strand of its own: the end of the request (on a probe thread)
    // reaches it only through that strand, and the check below runs there too, so an end
    // between the check and the start of the wait cannot be missed.
    auto executor = co_await asio::this_coro::executor;
    auto strand = asio::make_strand(executor);
    auto timer = std::make_shared<asio::steady_timer>(strand);
    if (unlimited(timeout_seconds)) {
      timer->expires_at(asio::steady_timer::time_point::max());
    } else {
      timer->expires_after(duration_of(*timeout_seconds));
    }
    set_waker([strand, timer] { asio::post(strand, [timer] { timer->cancel(); }); });
    auto wait = [self = shared_from_this(), timer]() -> asio::awaitable<void> {
      if (self->ended()) co_return;
      co_await timer->async_wait(asio::as_tuple(asio::use_awaitable));
    };
    co_await asio::co_spawn(strand, std::move(wait), asio::use_awaitable);
    // A request abandoned here may be kept for a late reply: it must not keep the strand.
    set_waker(nullptr);
  }
  co_return take_response_data();
}

void ReqData::set_waker(std::function<void()> f) {
  bool run_now = false;
  {
    std::lock_guard lock(mutex_);
    run_now = done_ && f;
    waker_ = run_now ? nullptr : std::move(f);
  }
  if (run_now) f();
}

void ReqData::finish() {
  std::function<void()> waker;
  {
    std::lock_guard lock(mutex_);
    waker = std::move(waker_);
    waker_ = nullptr;
  }
  cv_.notify_all();
  if (waker) waker();
}

void ReqData::on_response(Json message) {
  {
    std::lock_guard lock(mutex_);
    if (done_) return;
    response_ = std::move(message);
    done_ = true;
  }
  finish();
}

void ReqData::cancel() {
  {
    std::lock_guard lock(mutex_);
    if (done_) return;
    done_ = true;
  }
  finish();
}

bool ReqData::ended() const {
  std::lock_guard lock(mutex_);
  return done_;
}

namespace {

// The reply's "data", or null before a reply; for a stored reply of either constness.
template <class Reply>
auto reply_data(Reply& response) -> decltype(&*response->find("data")) {
  if (!response) return nullptr;
  if (!response->is_object()) throw TypeError("a reply must be a JSON object");
  auto it = response->find("data");
  if (it == response->end()) throw KeyError("data");
  return &*it;
}

}  // namespace

Json ReqData::take_response_data() {
  std::lock_guard lock(mutex_);
  Json* data = reply_data(response_);
  return data != nullptr ? std::move(*data) : Json();
}

Json ReqData::get_response_data() const {
  std::lock_guard lock(mutex_);
  const Json* data = reply_data(response_);
  return data != nullptr ? *data : Json();
}

bool ReqData::answered() const {
  std::lock_guard lock(mutex_);
  return response_.has_value();
}

std::string RequestTable::add(const std::shared_ptr<ReqData>& request, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  sweep(now);
  std::string id;
  do {
    id = id_source_ ? id_source_() : generate_guid("req");
  } while (pending_.count(id));
  pending_.emplace(id, request);
  return id;
}

void RequestTable::drop(const std::string& id) {
  std::lock_guard lock(mutex_);
  pending_.erase(id);
}

void RequestTable::abandon(const std::string& id, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  if (!pending_.count(id)) return;  // answered meanwhile
  abandoned_.emplace_back(id, now);
  sweep(now);
}

std::shared_ptr<ReqData> RequestTable::take(const std::string& id) {
  std::lock_guard lock(mutex_);
  auto it = pending_.find(id);
  if (it == pending_.end()) return nullptr;
  auto request = std::move(it->second);
  pending_.erase(it);
  return request;
}

void RequestTable::close_client(std::int64_t client_id) {
  std::vector<std::shared_ptr<ReqData>> ended;
  {
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->second->client_id == client_id) {
        ended.push_back(std::move(it->second));
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& request : ended) request->cancel();
}

std::size_t RequestTable::size() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

bool RequestTable::contains(const std::string& id) const {
  std::lock_guard lock(mutex_);
  return pending_.count(id) > 0;
}

void RequestTable::set_id_source(std::function<std::string()> source) {
  std::lock_guard lock(mutex_);
  id_source_ = std::move(source);
}

void RequestTable::sweep(Clock::time_point now) {
  // Ids in abandoned_ that were answered (or ended) since are simply skipped.
  while (!abandoned_.empty() && (abandoned_.front().second + kAbandonedGrace <= now ||
                                 abandoned_.size() > kAbandonedLimit)) {
    pending_.erase(abandoned_.front().first);
    abandoned_.pop_front();
  }
}

}  // namespace corvid::core
