#pragma once
// FrameLog: the frames relayed to one account, kept once for all of its connections, with what
// keeping them costs. Each connection writes from its own place in the log (a sequence number),
// so a burst costs one copy of each frame however many connections read it, and a connection's
// backlog is a range of the log instead of a queue of its own.
// Owner: the registry makes one per account with connections; every connection that reads it
// (registered, or closing with its backlog still to write) holds it and its own place in it.
// Threads: every member may be called from any thread; one reader-writer lock guards the frames
// and the places and is held only to copy pointers or walk the places, never across I/O;
// head() and the positions of a place take no lock.
// Guarantees: sequence numbers only grow; a frame stays until every place that joined before it
// was appended has moved past it or left, so a connection that joins at any moment gets every
// frame appended after it joined; a writer holds its own reference to the frames it writes, so
// a trim never pulls a frame from under a write; once a backlog has drained, the memory it took
// is handed back to the system.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "corvid/utils/json.hpp"

namespace corvid::app {

class Connection;

// One text frame, shared by every connection it is sent to (serialised once).
using Frame = std::shared_ptr<const std::string>;

// What holding a frame for delivery costs beyond its text: the shared text's own header and
// control block, and its entry in the log (about 100 bytes; small frames make it count).
inline constexpr std::uint64_t kFrameOverhead = 128;
inline std::uint64_t frame_cost(const Frame& frame) { return frame->size() + kFrameOverhead; }

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

// One reader's place in the log, a member of the reader, which leaves the log before it goes.
// Its positions are read without the log's lock; the log moves them (FrameLog::advance(),
// FrameLog::stop_at()).
class LogPlace {
 public:
  static constexpr std::uint64_t kEverything = std::numeric_limits<std::uint64_t>::max();

  // The next frame the reader has not written.
  std::uint64_t next() const noexcept { return next_.load(std::memory_order_seq_cst); }
  // The reader takes nothing from this frame on (kEverything until it closes).
  std::uint64_t until() const noexcept { return until_.load(std::memory_order_acquire); }

 private:
  friend class FrameLog;
  std::atomic<std::uint64_t> next_{0};
  std::atomic<std::uint64_t> until_{kEverything};
  std::weak_ptr<Connection> reader_;  // set once, by join()
  bool joined_ = false;               // guarded by the log's lock
};

class FrameLog {
 public:
  FrameLog() = default;
  FrameLog(const FrameLog&) = delete;
  FrameLog& operator=(const FrameLog&) = delete;

  // Puts the reader's place at the head: every frame appended from now on is kept for it.
  // Once per place.
  void join(LogPlace& place, std::weak_ptr<Connection> reader);
  // The reader takes nothing more; what only it still needed goes. Idempotent.
  void leave(LogPlace& place);
  // The reader wrote every frame before `to`.
  void advance(LogPlace& place, std::uint64_t to);
  // The reader takes no frame from seq on (it left its account, or it is closing); a later
  // call only ever moves that end earlier.
  void stop_at(LogPlace& place, std::uint64_t seq);

  // Appends frames in order (null frames are skipped).
  void append(std::span<const Frame> frames);

  // Appends to out up to max_frames frames from seq `from` on (at least one when there is one,
  // then while their size stays within max_bytes); bytes is their total size. False when
  // `from` was already trimmed.
  bool read(std::uint64_t from, std::size_t max_frames, std::size_t max_bytes,
            std::vector<Frame>& out, std::size_t& bytes) const;

  std::uint64_t head() const;

  // A reader whose backlog costs more than the budget.
  struct Behind {
    std::shared_ptr<Connection> reader;
    std::uint64_t lag = 0;  // what its backlog costs, queued frames included
  };
  // The readers whose backlog (what they still have to take, counting `queued` not yet
  // appended for those that take everything) costs more than budget, the slowest first.
  std::vector<Behind> behind(std::uint64_t budget, std::uint64_t queued) const;

  // What the frames still kept cost.
  std::uint64_t held() const;
  std::size_t readers() const;

 private:
  struct Entry {
    Frame frame;
    std::uint64_t end;  // cost appended up to and including this frame
  };
  // What was appended before seq (seq within [base_, head]).
  std::uint64_t cost_before_locked(std::uint64_t seq) const;
  // Forgets the frames no place still needs; true when a drained backlog's memory should go
  // back to the system.
  bool trim_locked();

  // Guards everything below; shared by readers, which the writers of every connection of the
  // account are, on all loop threads at once (an exclusive lock would put them to sleep in turn).
  mutable std::shared_mutex mutex_;
  std::atomic<std::uint64_t> head_{0};  // base_ + entries_.size(), readable without the lock
  std::deque<Entry> entries_;
  std::uint64_t base_ = 0;       // seq of entries_.front()
  std::uint64_t base_cost_ = 0;  // cost appended before entries_.front()
  std::vector<LogPlace*> places_;
  // Places whose next frame is base_, as the last trim counted them: each one moving on takes
  // one off, and the last one trims, so the oldest frames go when their last reader is done
  // with them, at the cost of one walk over the places.
  std::atomic<std::int64_t> at_base_{0};
  std::uint64_t peak_held_ = 0;  // the most held since memory last went back
};

}  // namespace corvid::app
