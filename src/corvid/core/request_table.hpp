#pragma once
// The binding's pending synchronous requests: request id -> the request waiting for its
// reply. An entry is made before the envelope is sent (a reply may come before send returns)
// and taken out by the first reply carrying its id. A request whose send failed leaves at
// once; one that timed out stays for a grace period (so a late reply is still consumed, not
// dispatched as an event) and is then dropped, oldest first, beyond a count limit too. A
// client quit ends every request sent to it: no reply can come over a closed connection.
// A request is waited for in one of two ways: a blocking caller parks its thread on the
// request, an awaiting coroutine parks nothing (its own timer ends the wait, the reply or the
// quit cancels the timer), so any number of requests can wait without a thread each.
// Owner: the binding. Threads: any; one mutex, never held while waiting or calling out.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "corvid/utils/json.hpp"

namespace corvid::core {

inline constexpr std::chrono::seconds kAbandonedGrace{300};
inline constexpr std::size_t kAbandonedLimit = 1024;

// One pending request.
class ReqData : public std::enable_shared_from_this<ReqData> {
 public:
  ReqData(int msg_type, Json request_data, std::int64_t client_id)
      : msg_type(msg_type), request_data(std::move(request_data)), client_id(client_id) {}

  const int msg_type;
  const Json request_data;
  const std::int64_t client_id;  // the connection it was sent on

  // Waits up to timeout seconds (nullopt = no limit) and returns get_response_data().
  Json wait_response(std::optional<double> timeout_seconds);
  // The same wait without a thread: the coroutine is suspended on a timer of its own executor
  // until the reply, the end of the connection or the timeout, whichever comes first. Must be
  // owned by a shared_ptr.
  boost::asio::awaitable<Json> async_wait_response(std::optional<double> timeout_seconds);
  // Stores the whole reply, then wakes the waiter.
  void on_response(Json message);
  // Ends the wait without a reply (the connection closed).
  void cancel();
  bool ended() const;
  // null before a reply; the reply's "data" after it (KeyError when it has none).
  Json get_response_data() const;
  // The same, moved out of the stored reply for the one waiter (a reply may be large).
  Json take_response_data();
  bool answered() const;

 private:
  // Runs f once when the request ends, on the thread that ends it (at once when it has ended
  // already); the awaiting form's wake-up. Replaces an earlier f.
  void set_waker(std::function<void()> f);
  void finish();  // wakes both kinds of waiter; called without mutex_

  mutable std::mutex mutex_;  // guards the three fields below
  std::condition_variable cv_;
  bool done_ = false;
  std::optional<Json> response_;
  std::function<void()> waker_;
};

class RequestTable {
 public:
  using Clock = std::chrono::steady_clock;

  // Records a new request under a fresh id (redrawn while taken) and returns the id.
  std::string add(const std::shared_ptr<ReqData>& request, Clock::time_point now = Clock::now());
  // A send that failed: nothing can answer it.
  void drop(const std::string& id);
  // A wait that timed out: kept for a late reply until the grace period or the limit ends it.
  void abandon(const std::string& id, Clock::time_point now = Clock::now());
  // The request a reply with this id answers (removed from the table), or nullptr.
  std::shared_ptr<ReqData> take(const std::string& id);
  // Removes and cancels every request sent on client_id.
  void close_client(std::int64_t client_id);

  std::size_t size() const;
  bool contains(const std::string& id) const;

  // Test seam: the id source (generate_guid("req") by default).
  void set_id_source(std::function<std::string()> source);

 private:
  void sweep(Clock::time_point now);  // caller holds mutex_

  mutable std::mutex mutex_;  // guards everything below
  std::map<std::string, std::shared_ptr<ReqData>> pending_;
  std::deque<std::pair<std::string, Clock::time_point>> abandoned_;  // oldest first
  std::function<std::string()> id_source_;
};

}  // namespace corvid::core
