#pragma once
// EventRelay: takes each client event from the probe's threads, builds its frame once and hands
// it to the registry for the connections of the account that was logged in when it arrived.
// One lane per account: a lane keeps its account's events in arrival order, runs on a strand of
// its own and never waits for a reader, so one account's backlog never delays another
// account's events, and no reader waits for another (each writes from its own place in the
// account's log). What a lane holds counts against the account's delivery budget together with
// what its log holds; a lane that alone would hold more than the budget is every reader's
// backlog, so every reader of the account is cut and the lane starts again from empty.
// Logs the relay's lines on channel "parlo_service".
// Owner: the service, for the life of the process. Threads: relay() and stop() from any thread
// (the probe's callback threads); a lane's work runs on the loop, on the lane's strand.
// Guarantees: no thread per event; the probe's thread only builds the frame and queues it.
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <boost/asio/any_io_executor.hpp>

#include "corvid/app/websocket/frame_log.hpp"
#include "corvid/utils/json.hpp"

namespace spdlog {
class logger;
}

namespace corvid::app {

class ConnectionManager;

class EventRelay {
 public:
  EventRelay(boost::asio::any_io_executor io, ConnectionManager& hub);
  EventRelay(const EventRelay&) = delete;
  EventRelay& operator=(const EventRelay&) = delete;

  // On a probe thread: queues the event for account (absent or empty: nobody is logged in, and
  // the event is only logged). Throws TypeError for a record that is not a map; a frame that
  // cannot be built is logged and dropped.
  void relay(const Json& message, std::optional<std::string> account);

  // Events delivered after this are no longer relayed (shutdown, before the loop stops).
  void stop() noexcept { stopped_.store(true); }

 private:
  struct Lane;
  // The frame of one event, built and checked; null (and logged) when it cannot be built or
  // could never be held within the budget.
  Frame build_frame(const Json& message) const;
  // On the lane's strand: logs and hands over everything the lane holds, in order.
  void drain(const std::string& account, const std::shared_ptr<Lane>& lane);
  // "处理消息失败: ..." and the error report on the console.
  void report_error(const std::exception& e) const;

  boost::asio::any_io_executor io_;
  ConnectionManager& hub_;
  const std::shared_ptr<spdlog::logger> log_;  // the service's channel
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;  // guards lanes_ and what each lane holds
  // "" is the lane of the events that arrive while nobody is logged in. A lane goes once it
  // is idle; the account's next event makes a new one.
  std::unordered_map<std::string, std::shared_ptr<Lane>> lanes_;
};

}  // namespace corvid::app
