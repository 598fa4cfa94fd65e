#pragma once
// Test support for the client side: the shared log capture, deadline polling, and the
// simulated client's controls looked up in the very library the server loaded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "corvid/core/parlo.hpp"
#include "corvid/utils/json.hpp"
#include "corvid/utils/log.hpp"
#include "support/log_capture.hpp"
#include "support/wait.hpp"
#include "tapwire/tapwire_sim.h"

namespace corvid::test {

// Holds the probe's callback thread inside a handler of `code` until released, so whatever
// that connection delivers next (its close, say) waits behind it. Released at the latest
// when the hold goes, or stopping the simulation would wait for the thread.
class CallbackHold {
 public:
  CallbackHold(corvid::core::Parlo& parlo, int code) : released_(release_.get_future().share()) {
    parlo.on(code, "hold",
             [holding = holding_, released = released_](corvid::core::Parlo&, const Json&) {
               holding->store(true);
               released.wait();
             });
  }
  ~CallbackHold() { release(); }
  CallbackHold(const CallbackHold&) = delete;
  CallbackHold& operator=(const CallbackHold&) = delete;

  bool holding() const { return holding_->load(); }
  void release() {
    if (!std::exchange(done_, true)) release_.set_value();
  }

 private:
  std::shared_ptr<std::atomic<bool>> holding_ = std::make_shared<std::atomic<bool>>(false);
  std::promise<void> release_;
  std::shared_future<void> released_;
  bool done_ = false;
};

// The simulated client's controls, from the library the server loads (same file, one handle).
class Sim {
 public:
  Sim() {
    setenv("CORVID_TAPWIRE", CORVID_TAPWIRE_SIM_PATH, 1);
    handle_ = dlopen(CORVID_TAPWIRE_SIM_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) ADD_FAILURE() << "cannot load the simulated client: " << dlerror();
  }
  template <class Fn>
  Fn fn(const char* name) {
    auto f = reinterpret_cast<Fn>(dlsym(handle_, name));
    if (!f) ADD_FAILURE() << "missing control " << name;
    return f;
  }
  std::string last_error() { return fn<const char* (*)()>("tapwire_last_error")(); }
  // Runs a JSON command and returns its answer.
  Json command(const Json& cmd) {
    const std::string text = cmd.dump();
    std::vector<char> buf(1 << 20);
    std::size_t needed = 0;
    auto run = fn<decltype(&tapwire_sim_command)>("tapwire_sim_command");
    run(text.data(), text.size(), buf.data(), buf.size(), &needed);
    if (needed >= buf.size()) {
      buf.resize(needed + 1);
      run(text.data(), text.size(), buf.data(), buf.size(), &needed);
    }
    return Json::parse(std::string(buf.data(), needed));
  }
  // Asserts a command succeeded.
  Json ok(const Json& cmd) {
    Json answer = command(cmd);
    EXPECT_EQ(answer.value("ok", false), true) << cmd.dump() << " -> " << answer.dump();
    return answer;
  }
  // Stops and joins every simulation thread (no callback runs afterwards).
  void stop() { fn<decltype(&tapwire_sim_stop)>("tapwire_sim_stop")(); }

  std::vector<std::string> sent() {
    Json answer = ok({{"cmd", "sent"}});
    std::vector<std::string> out;
    for (const auto& s : answer["sent"]) out.push_back(s.get<std::string>());
    return out;
  }

 private:
  void* handle_ = nullptr;
};

}  // namespace corvid::test
