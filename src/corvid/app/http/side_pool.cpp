#include "corvid/app/http/side_pool.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace corvid::app::http {
namespace {

// Two threads a lane: a burst of large bodies leaves the other cores to the loop.
constexpr int kLaneThreads = 2;
// Under a full machine the loop threads, which answer everything else, go first.
constexpr int kLaneNice = 5;

class Lane {
 public:
  Lane() {
    for (int i = 0; i < kLaneThreads; ++i) {
      std::thread([this] {
        // Linux gives each thread its own nice value; raising it needs no privilege, and a
        // refusal only leaves the thread at the loop's priority.
        static_cast<void>(::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kLaneNice));
        io_.run();
      }).detach();
    }
  }
  net::any_io_executor executor() { return io_.get_executor(); }

 private:
  net::io_context io_{kLaneThreads};
  net::executor_work_guard<net::io_context::executor_type> work_{io_.get_executor()};
};

// Never destroyed: the lane threads run until the process ends, and the exit does not wait for
// a task still running there (the application leaves by _Exit then).
Lane& lane(bool large) {
  static Lane* const medium = new Lane();
  static Lane* const big = new Lane();
  return large ? *big : *medium;
}

std::atomic<std::size_t> running{0};

}  // namespace

net::any_io_executor side_executor(std::size_t bytes) {
  return lane(bytes >= kLargeSideWork).executor();
}

std::size_t side_work_running() { return running.load(); }

SideTask::SideTask() { running.fetch_add(1); }
SideTask::~SideTask() { running.fetch_sub(1); }

}  // namespace corvid::app::http
