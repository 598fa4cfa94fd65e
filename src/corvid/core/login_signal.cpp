#include "corvid/core/login_signal.hpp"

#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

namespace corvid::core {

void LoginSignal::set() {
  std::map<Token, std::function<void()>> due;
  {
    std::lock_guard lock(mutex_);
    set_ = true;
    due.swap(subscribers_);
  }
  cv_.notify_all();
  for (auto& [token, f] : due) {
    if (f) f();
  }
}

void LoginSignal::clear() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool LoginSignal::is_set() const {
  std::lock_guard lock(mutex_);
  return set_;
}

bool LoginSignal::wait(std::optional<double> timeout_seconds) {
  // Longer than any server runs: treated as no limit, so deadline arithmetic cannot overflow.
  constexpr double kUnlimitedSeconds = 1e8;
  std::unique_lock lock(mutex_);
  if (!timeout_seconds || *timeout_seconds >= kUnlimitedSeconds) {
    cv_.wait(lock, [&] { return set_; });
    return true;
  }
  const double seconds = *timeout_seconds;
  if (std::isnan(seconds) || seconds <= 0) return set_;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds));
  return cv_.wait_until(lock, deadline, [&] { return set_; });
}

LoginSignal::Token LoginSignal::subscribe(std::function<void()> f) {
  {
    std::lock_guard lock(mutex_);
    if (!set_) {
      const Token token = next_token_++;
      subscribers_.emplace(token, std::move(f));
      return token;
    }
  }
  if (f) f();
  return 0;
}

bool LoginSignal::cancel(Token token) {
  std::lock_guard lock(mutex_);
  return subscribers_.erase(token) > 0;
}

}  // namespace corvid::core
