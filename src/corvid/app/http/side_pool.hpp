#pragma once
// The side pool: work on large inputs that would hold a loop thread for more than about a
// millisecond (checking a large JSON body, building a large send's envelope, writing out a large
// answer's JSON) runs here instead, in two lanes by size, so that work on a few hundred KiB
// never queues behind work on several MiB.
// Owner: the process; the lanes start on first use and are never destroyed, so work still
// running when the process exits is abandoned, not awaited (see side_work_running).
// Threads: any thread may submit; each lane has its own threads, which run below the loop
// threads' priority; the caller resumes on its own executor.
#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

#include "corvid/app/http/net.hpp"

namespace corvid::app::http {

// From this size a JSON body is checked, and a send built, on the side pool.
inline constexpr std::size_t kSideWorkFrom = 16 * 1024;
// From this size work goes to the lane of large inputs.
inline constexpr std::size_t kLargeSideWork = 1024 * 1024;

// The executor of the lane for work on `bytes` of input.
net::any_io_executor side_executor(std::size_t bytes);

// Tasks handed to the side pool and not finished yet, queued ones included.
std::size_t side_work_running();

// Counts one task as running while it exists.
class SideTask {
 public:
  SideTask();
  ~SideTask();
  SideTask(const SideTask&) = delete;
  SideTask& operator=(const SideTask&) = delete;
};

template <class T>
struct SideResult {
  using type = T;
  static constexpr bool awaited = false;
};
template <class T, class Executor>
struct SideResult<net::awaitable<T, Executor>> {
  using type = T;
  static constexpr bool awaited = true;
};

// Runs fn() on the lane for `bytes` of input and resumes the caller on its own executor with
// the result; fn may give a value or an awaitable, which is then awaited on the lane. What fn
// throws is rethrown to the caller. What fn refers to must outlive the wait (the caller's frame
// does).
template <class Fn>
auto on_side(std::size_t bytes, Fn fn)
    -> net::awaitable<typename SideResult<std::invoke_result_t<Fn&>>::type> {
  using Out = std::invoke_result_t<Fn&>;
  using Result = typename SideResult<Out>::type;
  // Counted from now, not from when a lane thread takes it: the exit must see a task that is
  // still queued too.
  return net::co_spawn(
      side_executor(bytes),
      [fn = std::move(fn),
       running = std::make_shared<SideTask>()]() mutable -> net::awaitable<Result> {
        if constexpr (SideResult<Out>::awaited) {
          co_return co_await fn();
        } else {
          co_return fn();
        }
      },
      net::use_awaitable);
}

}  // namespace corvid::app::http
