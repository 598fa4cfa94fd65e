#pragma once
// FrameLog: the frames pushed to one account, kept once for all of its connections. Each
// connection reads the log from its own cursor (a sequence number), so a burst costs one copy
// of each frame however many connections read it, and a connection's backlog is a range of the
// log instead of a queue of its own.
// Owner: the registry, one log per account with connections; connections keep a shared pointer.
// Threads: every member may be called from any thread; one reader-writer lock guards the frames
// and is held only to copy pointers, never across I/O; head() takes no lock.
// Guarantees: sequence numbers and byte offsets only grow; frames at or past the oldest cursor
// of the account's connections stay in memory (the registry trims up to that cursor); a reader
// holds its own reference to the frames it is writing, so a trim never pulls a frame from under
// a write.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "corvid/utils/json.hpp"

namespace corvid::app {

// One text frame, shared by every connection it is sent to (serialised once).
using Frame = std::shared_ptr<const std::string>;

// Budgets of the delivery to one account (see ConnectionManager::send_to_user):
// - a connection that lags behind the head of its account's log by more than kLagBudget bytes is
//   cut: its peer is not taking data, and what it has not read is what the log has to keep;
// - the relay waits while a connection that is still taking data lags by more than
//   kRelayBudget bytes, so a burst is absorbed at the pace of the readers instead of piling up;
// - a connection whose write has been under way for longer than kStallGrace no longer holds the
//   relay back (it is left to the lag budget or to its write deadline).
inline constexpr std::uint64_t kLagBudget = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kRelayBudget = std::uint64_t{16} << 20;
inline constexpr std::int64_t kStallGraceMs = 2000;

// An event whose frame would be larger than this is logged and not relayed; nobody is cut for it.
inline constexpr std::size_t kMaxFrameBytes = std::size_t{32} << 20;
// Events nested deeper than this are written compact: the indented form grows with the square
// of the depth, the compact one with the size of the event.
inline constexpr std::size_t kMaxIndentedDepth = 256;
// Deeper than this an event is logged and not relayed: writing it out recurses once per level,
// and a thread's stack (a probe thread's, a sanitizer's larger frames) is not sized for more.
inline constexpr std::size_t kMaxFrameDepth = 1000;

// How deep value nests (a scalar is 0, {} or [] is 1); stops counting once past stop_at.
// Iterative, so a hostile depth cannot exhaust the stack.
std::size_t nesting_depth(const Json& value, std::size_t stop_at);

class FrameLog {
 public:
  // Appends frames in order (null frames are skipped).
  void append(std::span<const Frame> frames);

  // Appends to out up to max_frames frames from seq `from` on (at least one when there is one,
  // then while their size stays within max_bytes); bytes is their total size. False when
  // `from` was already trimmed.
  bool read(std::uint64_t from, std::size_t max_frames, std::size_t max_bytes,
            std::vector<Frame>& out, std::size_t& bytes) const;

  std::uint64_t head() const;
  // For each cursor, the bytes appended from it to the head (a cursor before the oldest kept
  // frame counts from there), all under one lock: the relay asks this for every connection of
  // the account at once.
  void lags(std::span<const std::uint64_t> cursors, std::vector<std::uint64_t>& out) const;
  // Forgets the frames before seq.
  void trim(std::uint64_t seq);
  // Bytes held by the frames still kept.
  std::uint64_t kept_bytes() const;

 private:
  struct Entry {
    Frame frame;
    std::uint64_t end;  // bytes appended up to and including this frame
  };
  // Guards everything below; shared by readers, which the writers of every connection of the
  // account are, on all loop threads at once (an exclusive lock would put them to sleep in turn).
  mutable std::shared_mutex mutex_;
  std::atomic<std::uint64_t> head_{0};  // base_ + entries_.size(), readable without the lock
  std::deque<Entry> entries_;
  std::uint64_t base_ = 0;        // seq of entries_.front()
  std::uint64_t base_bytes_ = 0;  // bytes appended before entries_.front()
};

}  // namespace corvid::app
