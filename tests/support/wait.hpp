#pragma once
// Polling with a deadline, for tests that wait for something another thread does. Never a
// fixed sleep: the condition is checked every few milliseconds until it holds or time is up.
#include <chrono>
#include <thread>

namespace corvid::test {

template <class Condition>
bool wait_until(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace corvid::test
