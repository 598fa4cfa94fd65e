#pragma once
// The binding's login state as something to wait on: set by a login event, cleared by a
// logout or a client quit. Blocking callers wait with an optional timeout; non-blocking ones
// subscribe a callback that runs once, at the next login (or at once when logged in now).
// Owner: the binding. Threads: any; subscribers run on the thread that reports the login,
// outside the signal's lock.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

namespace corvid::core {

class LoginSignal {
 public:
  using Token = std::uint64_t;

  void set();    // logged in: wakes waiters, runs (and drops) every subscriber
  void clear();  // logged out: later waits wait for the next set()
  bool is_set() const;

  // Waits until set or timeout seconds passed (nullopt = no limit; negative or NaN = no wait;
  // beyond a few years = no limit). True when set on return.
  bool wait(std::optional<double> timeout_seconds);

  // Runs f once at the next set(), or now (returning 0) when set. f must not block.
  Token subscribe(std::function<void()> f);
  bool cancel(Token token);  // true when f had not run and now never will

 private:
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable cv_;
  bool set_ = false;
  Token next_token_ = 1;
  std::map<Token, std::function<void()>> subscribers_;
};

}  // namespace corvid::core
