#include "corvid/app/websocket/frame_log.hpp"

#include <algorithm>
#include <mutex>
#include <utility>

#include "corvid/utils/memory.hpp"

namespace corvid::app {
namespace {

// A backlog that held this much has its memory handed back once it has drained, as a large
// request body's is.
constexpr std::uint64_t kGiveBackAfter = std::uint64_t{1} << 20;
// Drained: what is left is no more than a few frames in flight.
constexpr std::uint64_t kDrainedHeld = std::uint64_t{64} << 10;

}  // namespace

std::size_t nesting_depth(const Json& value, std::size_t stop_at) {
  std::size_t deepest = 0;
  std::vector<std::pair<const Json*, std::size_t>> stack{{&value, 0}};
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    if (!node->is_structured()) continue;
    const std::size_t inner = depth + 1;
    deepest = std::max(deepest, inner);
    if (deepest > stop_at) return deepest;
    for (const auto& child : *node)
      if (child.is_structured()) stack.emplace_back(&child, inner);
  }
  return deepest;
}

void FrameLog::join(LogPlace& place, std::weak_ptr<Connection> reader) {
  std::lock_guard lock(mutex_);
  if (place.joined_) return;
  place.reader_ = std::move(reader);
  place.joined_ = true;
  const std::uint64_t head = base_ + entries_.size();
  place.next_.store(head, std::memory_order_seq_cst);
  // At the head of an empty log it is also at the base: the frames appended next are its.
  if (head == base_) at_base_.fetch_add(1, std::memory_order_seq_cst);
  places_.push_back(&place);
}

void FrameLog::leave(LogPlace& place) {
  bool give_back = false;
  {
    std::lock_guard lock(mutex_);
    if (!place.joined_) return;
    place.joined_ = false;
    auto it = std::find(places_.begin(), places_.end(), &place);
    if (it != places_.end()) {
      *it = places_.back();
      places_.pop_back();
    }
    give_back = trim_locked();
  }
  if (give_back) memory::give_back_later();
}

void FrameLog::advance(LogPlace& place, std::uint64_t to) {
  bool last_at_base = false;
  {
    // Shared: the writers of an account move on side by side; only the last one to leave the
    // oldest frames behind takes the exclusive lock to let them go.
    std::shared_lock lock(mutex_);
    const std::uint64_t from = place.next_.exchange(to, std::memory_order_seq_cst);
    if (place.joined_ && from == base_ && to != from)
      last_at_base = at_base_.fetch_sub(1, std::memory_order_seq_cst) <= 1;
  }
  if (!last_at_base) return;
  bool give_back = false;
  {
    std::lock_guard lock(mutex_);
    give_back = trim_locked();
  }
  if (give_back) memory::give_back_later();
}

void FrameLog::stop_at(LogPlace& place, std::uint64_t seq) {
  bool give_back = false;
  {
    std::lock_guard lock(mutex_);
    if (seq >= place.until_.load(std::memory_order_acquire)) return;
    place.until_.store(seq, std::memory_order_release);
    if (place.joined_) give_back = trim_locked();
  }
  if (give_back) memory::give_back_later();
}

void FrameLog::append(std::span<const Frame> frames) {
  std::lock_guard lock(mutex_);
  std::uint64_t end = entries_.empty() ? base_cost_ : entries_.back().end;
  for (const auto& frame : frames) {
    if (!frame) continue;
    end += frame_cost(frame);
    entries_.push_back(Entry{frame, end});
  }
  peak_held_ = std::max(peak_held_, end - base_cost_);
  // Sequentially consistent, as is the writer's look at it after it went idle: either the
  // writer sees the new head, or the relay sees the writer idle and wakes it.
  head_.store(base_ + entries_.size(), std::memory_order_seq_cst);
  // Nobody reads them: nothing is kept.
  if (places_.empty()) trim_locked();
}

bool FrameLog::read(std::uint64_t from, std::size_t max_frames, std::size_t max_bytes,
                    std::vector<Frame>& out, std::size_t& bytes) const {
  std::shared_lock lock(mutex_);
  if (from < base_) return false;
  bytes = 0;
  std::size_t taken = 0;
  for (std::uint64_t seq = from; seq < base_ + entries_.size() && taken < max_frames; ++seq) {
    const Frame& frame = entries_[static_cast<std::size_t>(seq - base_)].frame;
    // Always at least one frame, whatever its size.
    if (taken > 0 && bytes + frame->size() > max_bytes) break;
    out.push_back(frame);
    bytes += frame->size();
    ++taken;
  }
  return true;
}

std::uint64_t FrameLog::head() const { return head_.load(std::memory_order_seq_cst); }

std::uint64_t FrameLog::cost_before_locked(std::uint64_t seq) const {
  if (seq <= base_ || entries_.empty()) return base_cost_;
  const std::uint64_t index = std::min<std::uint64_t>(seq - base_, entries_.size());
  return entries_[static_cast<std::size_t>(index - 1)].end;
}

std::vector<FrameLog::Behind> FrameLog::behind(std::uint64_t budget, std::uint64_t queued) const {
  std::vector<Behind> out;
  std::shared_lock lock(mutex_);
  const std::uint64_t head = base_ + entries_.size();
  for (const LogPlace* place : places_) {
    const std::uint64_t until = place->until();
    const std::uint64_t to = std::min(until, head);
    const std::uint64_t next = place->next();
    // A closing reader takes nothing that is not appended yet.
    const std::uint64_t waiting = until == LogPlace::kEverything ? queued : 0;
    if (next >= to && waiting == 0) continue;
    const std::uint64_t lag =
        (next < to ? cost_before_locked(to) - cost_before_locked(next) : 0) + waiting;
    if (lag <= budget) continue;
    if (auto reader = place->reader_.lock()) out.push_back(Behind{std::move(reader), lag});
  }
  std::sort(out.begin(), out.end(), [](const Behind& a, const Behind& b) { return a.lag > b.lag; });
  return out;
}

std::uint64_t FrameLog::held() const {
  std::shared_lock lock(mutex_);
  return (entries_.empty() ? base_cost_ : entries_.back().end) - base_cost_;
}

std::size_t FrameLog::readers() const {
  std::shared_lock lock(mutex_);
  return places_.size();
}

bool FrameLog::trim_locked() {
  const std::uint64_t head = base_ + entries_.size();
  // The oldest frame some place still has to write; a place that has written all it takes
  // (a closing one) holds nothing.
  std::uint64_t oldest = head;
  for (const LogPlace* place : places_) {
    const std::uint64_t next = place->next();
    if (next < place->until()) oldest = std::min(oldest, next);
  }
  std::int64_t at_oldest = 0;
  for (const LogPlace* place : places_) {
    const std::uint64_t next = place->next();
    if (next < place->until() && next == oldest) ++at_oldest;
  }
  while (base_ < oldest && !entries_.empty()) {
    base_cost_ = entries_.front().end;
    entries_.pop_front();
    ++base_;
  }
  at_base_.store(at_oldest, std::memory_order_seq_cst);
  // A burst leaves a long deque behind; an emptied one gives its blocks back.
  if (entries_.empty()) std::deque<Entry>().swap(entries_);
  const std::uint64_t held = (entries_.empty() ? base_cost_ : entries_.back().end) - base_cost_;
  if (peak_held_ >= kGiveBackAfter && held <= kDrainedHeld) {
    peak_held_ = held;
    return true;
  }
  return false;
}

}  // namespace corvid::app
