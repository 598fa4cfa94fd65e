#include "corvid/app/websocket_hub_log.hpp"

#include <algorithm>
#include <utility>

namespace corvid::app {

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

void FrameLog::append(std::span<const Frame> frames) {
  std::lock_guard lock(mutex_);
  std::uint64_t end = entries_.empty() ? base_bytes_ : entries_.back().end;
  for (const auto& frame : frames) {
    if (!frame) continue;
    end += frame->size();
    entries_.push_back(Entry{frame, end});
  }
  // Sequentially consistent, as is the writer's look at it after it went idle: either the
  // writer sees the new head, or the relay sees the writer idle and wakes it.
  head_.store(base_ + entries_.size(), std::memory_order_seq_cst);
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

void FrameLog::lags(std::span<const std::uint64_t> cursors, std::vector<std::uint64_t>& out) const {
  out.clear();
  out.reserve(cursors.size());
  std::shared_lock lock(mutex_);
  const std::uint64_t head = entries_.empty() ? base_bytes_ : entries_.back().end;
  for (const std::uint64_t seq : cursors) {
    std::uint64_t before = base_bytes_;
    if (seq > base_ && !entries_.empty()) {
      const std::uint64_t index = std::min<std::uint64_t>(seq - base_, entries_.size());
      before = entries_[static_cast<std::size_t>(index - 1)].end;
    }
    out.push_back(head - before);
  }
}

void FrameLog::trim(std::uint64_t seq) {
  std::lock_guard lock(mutex_);
  while (base_ < seq && !entries_.empty()) {
    base_bytes_ = entries_.front().end;
    entries_.pop_front();
    ++base_;
  }
  // A burst leaves a long deque behind; an emptied one gives its blocks back.
  if (entries_.empty()) std::deque<Entry>().swap(entries_);
}

std::uint64_t FrameLog::kept_bytes() const {
  std::shared_lock lock(mutex_);
  return (entries_.empty() ? base_bytes_ : entries_.back().end) - base_bytes_;
}

}  // namespace corvid::app
