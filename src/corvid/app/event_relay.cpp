#include "corvid/app/event_relay.hpp"

#include <algorithm>
#include <exception>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "corvid/app/parlo_service.hpp"
#include "corvid/app/websocket/websocket_hub.hpp"
#include "corvid/utils/console.hpp"
#include "corvid/utils/errors.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app {
namespace asio = boost::asio;

namespace {

// A lane hands its frames to the registry this many at a time (or fewer, once they reach
// kPieceBytes), each piece logged just before it goes: a long run waits neither for all of its
// log lines nor in one block of the registry's lock.
constexpr std::size_t kPieceFrames = 64;
constexpr std::uint64_t kPieceBytes = std::uint64_t{1} << 20;

}  // namespace

void EventRelay::report_error(const std::exception& e) const {
  log_->error("处理消息失败: {}", e.what());
  console::error_block("ParloService::handle_message", ParloService::error_type(e), e.what());
}

struct EventRelay::Lane {
  explicit Lane(const asio::any_io_executor& io) : strand(asio::make_strand(io)) {}
  asio::strand<asio::any_io_executor> strand;
  // Guarded by EventRelay::mutex_.
  std::vector<Frame> queued;
  std::uint64_t queued_cost = 0;
  std::uint64_t in_hand_cost = 0;  // what drain() took and has not handed over yet
  bool posted = false;             // a drain() is on its way to the strand
};

EventRelay::EventRelay(asio::any_io_executor io, ConnectionManager& hub)
    : io_(std::move(io)), hub_(hub), log_(log::get("parlo_service")) {}

void EventRelay::relay(const Json& message, std::optional<std::string> account) {
  if (!message.is_object()) throw TypeError("event record must be a map");
  if (stopped_.load()) return;
  // The frame is built here, on the probe's thread: the record is the probe's only during this
  // call, its text is several times smaller than the parsed record while it waits, and the
  // account is the one logged in when the event arrived, so a later logout cannot redirect or
  // drop it.
  Frame frame = build_frame(message);
  if (!frame) return;
  const std::string key = account.value_or(std::string());
  const std::uint64_t cost = frame_cost(frame);
  std::shared_ptr<Lane> lane;
  bool post = false;
  std::size_t overflowed = 0;
  std::uint64_t overflowed_cost = 0;
  {
    std::lock_guard lock(mutex_);
    auto& slot = lanes_[key];
    if (!slot) slot = std::make_shared<Lane>(io_);
    lane = slot;
    if (lane->queued_cost + lane->in_hand_cost + cost > hub_.budget()) {
      // Every reader of the account would be at least this far behind.
      overflowed = lane->queued.size();
      overflowed_cost = lane->queued_cost + lane->in_hand_cost;
      std::vector<Frame>().swap(lane->queued);
      lane->queued_cost = 0;
    }
    lane->queued.push_back(std::move(frame));
    lane->queued_cost += cost;
    post = !std::exchange(lane->posted, true);
  }
  if (overflowed > 0) {
    const std::string why = fmt::format(
        "lagging {} bytes behind (budget {} bytes): the relay could not hand over "
        "the account's events as fast as they came",
        overflowed_cost + cost, hub_.budget());
    log_->error("处理消息失败: {} events for {} dropped: {}", overflowed,
                key.empty() ? std::string(console::kNone) : key, why);
    if (!key.empty()) hub_.cut_all(key, why);
  }
  if (post) asio::post(lane->strand, [this, key, lane] { drain(key, lane); });
}

Frame EventRelay::build_frame(const Json& message) const {
  try {
    Frame frame = make_frame(message);
    // A frame the budget cannot hold would cut every reader of the account at once.
    const std::uint64_t budget = hub_.budget();
    const std::uint64_t most =
        std::min<std::uint64_t>(kMaxFrameBytes, budget - std::min(budget, kFrameOverhead));
    if (frame->size() > most) {
      throw std::length_error(fmt::format(
          "frame of {} bytes is over the {}-byte limit, not relayed", frame->size(), most));
    }
    return frame;
  } catch (const std::exception& e) {
    report_error(e);
  }
  return nullptr;
}

void EventRelay::drain(const std::string& account, const std::shared_ptr<Lane>& lane) {
  std::vector<Frame> frames;
  {
    std::lock_guard lock(mutex_);
    frames.swap(lane->queued);
    lane->in_hand_cost = lane->queued_cost;
    lane->queued_cost = 0;
    lane->posted = false;
  }
  if (!stopped_.load()) {
    for (std::size_t from = 0; from < frames.size();) {
      std::size_t to = from;
      std::uint64_t piece_cost = 0;
      while (to < frames.size() && to - from < kPieceFrames &&
             (to == from || piece_cost < kPieceBytes)) {
        piece_cost += frame_cost(frames[to]);
        log_->info("收到消息:\n{}", *frames[to]);
        ++to;
      }
      const std::span<const Frame> piece(frames.data() + from, to - from);
      from = to;
      // Behind this piece: the rest of this run and what arrived meanwhile.
      std::uint64_t behind = 0;
      {
        std::lock_guard lock(mutex_);
        lane->in_hand_cost -= std::min(lane->in_hand_cost, piece_cost);
        behind = lane->in_hand_cost + lane->queued_cost;
      }
      if (account.empty()) {
        for (std::size_t i = 0; i < piece.size(); ++i)
          log_->warn("没有登录用户，无法推送到WebSocket");
        continue;
      }
      try {
        hub_.send_to_user(account, piece, behind);
        for (std::size_t i = 0; i < piece.size(); ++i)
          log_->debug("已推送到WebSocket: {}", account);
      } catch (const std::exception& e) {
        report_error(e);
      }
    }
  }
  frames.clear();
  std::lock_guard lock(mutex_);
  lane->in_hand_cost = 0;
  if (!lane->posted && lane->queued.empty()) {
    auto it = lanes_.find(account);
    if (it != lanes_.end() && it->second == lane) lanes_.erase(it);
  }
}

}  // namespace corvid::app
