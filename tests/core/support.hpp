#pragma once
// Test support for the client side: the shared log capture, deadline polling, and the
// simulated client's controls looked up in the very library the server loaded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "corvid/utils/json.hpp"
#include "corvid/utils/log.hpp"
#include "support/log_capture.hpp"
#include "tapwire/tapwire_sim.h"

namespace corvid::test {

// The process-wide capture (support/log_capture.hpp), by the name these tests knew it.
using ChannelLineSink = LogSink;

// Polls cond until it holds or the deadline passes.
inline bool eventually(const std::function<bool()>& cond,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return cond();
}

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
  std::string last_error() {
    return fn<const char* (*)()>("tapwire_last_error")();
  }
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
