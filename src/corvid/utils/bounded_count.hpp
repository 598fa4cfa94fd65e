#pragma once
// BoundedSlot: one place among at most `limit` holders of a shared count, for work that must
// fail at once rather than queue without end (requests awaiting the client, calls waiting for
// a worker).
// Owner: the scope that took it. Threads: the count is atomic; a slot is used by one thread at
// a time (it may move with a coroutine).
// Guarantees: a slot that was not granted leaves the count as it was; a granted one gives its
// place back when it goes.
#include <atomic>
#include <cstddef>

namespace corvid {

class BoundedSlot {
 public:
  BoundedSlot(std::atomic<std::size_t>& count, std::size_t limit)
      : count_(count), held_(count.fetch_add(1) < limit) {
    if (!held_) count_.fetch_sub(1);
  }
  ~BoundedSlot() {
    if (held_) count_.fetch_sub(1);
  }
  BoundedSlot(const BoundedSlot&) = delete;
  BoundedSlot& operator=(const BoundedSlot&) = delete;

  explicit operator bool() const { return held_; }

 private:
  std::atomic<std::size_t>& count_;
  const bool held_;
};

}  // namespace corvid
