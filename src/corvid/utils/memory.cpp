#include "corvid/utils/memory.hpp"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace corvid::memory {
namespace {

// glibc serves large blocks from its arenas once it has seen one freed (its mmap threshold
// rises with every large free, up to 32 MiB), and an arena keeps what a large request left in it:
// 30 bodies of 7 MiB left 30-60 MiB behind. With the threshold held fixed, every block from this
// size is mapped on its own and goes back to the system when freed. Blocks below it are reused
// from the arenas (mapping each 2 MiB body afresh cost a third of their rate in page faults) and
// go back with the trim after a quiet second. So one arena per loop thread costs little memory;
// fewer made the loop threads queue on the arena locks (two per eight threads cost a fifth of
// the request rate).
constexpr int kMmapThreshold = 4 * 1024 * 1024;
constexpr int kTrimThreshold = 1024 * 1024;
constexpr int kMinMallocArenas = 2;

// Trimming locks the allocator's arenas for milliseconds, so it waits for a quiet second.
constexpr auto kTrimQuiet = std::chrono::seconds(1);

class Trimmer {
 public:
  ~Trimmer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

  void request() {
    std::lock_guard lock(mutex_);
    last_request_ = std::chrono::steady_clock::now();
    if (pending_) return;
    pending_ = true;
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (!pending_) {
        wake_.wait(lock);
        continue;
      }
      const auto due = last_request_ + kTrimQuiet;
      if (std::chrono::steady_clock::now() < due) {
        wake_.wait_until(lock, due);
        continue;
      }
      pending_ = false;
      lock.unlock();
      ::malloc_trim(0);
      lock.lock();
    }
  }

  std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::chrono::steady_clock::time_point last_request_{};
  bool pending_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

Trimmer& trimmer() {
  static Trimmer instance;
  return instance;
}

}  // namespace

void configure_allocator(int loop_threads) {
  if (std::getenv("MALLOC_ARENA_MAX") == nullptr) {
    ::mallopt(M_ARENA_MAX, std::max(kMinMallocArenas, loop_threads));
  }
  if (std::getenv("MALLOC_MMAP_THRESHOLD_") == nullptr) {
    ::mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
  }
  // A fixed mmap threshold also fixes the trim threshold at its 128 KiB default: every free of
  // a block of a few hundred KiB at a heap's top then hands the pages back and the next such
  // block faults them in again (relaying 100 KB events cost a page-fault storm with a TLB
  // flush on every core). Kept low still: malloc_trim() gives back the main heap's top but not
  // the other arenas' tops, so this is what each of those keeps at most.
  if (std::getenv("MALLOC_TRIM_THRESHOLD_") == nullptr) {
    ::mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
  }
}

void give_back_later() { trimmer().request(); }

}  // namespace corvid::memory
