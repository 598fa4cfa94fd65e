// sim_probe.hpp: test fixture that loads the built libtapwire.so with dlopen, resolves the
// probe ABI and the simulation controls by name, and records every callback.
// Threads: the recorder's callbacks run on the simulation's threads; tests read it through
// wait_for (deadline + condition) and snapshot copies, all under its mutex.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tapwire/tapwire.h"
#include "tapwire/tapwire_sim.h"

namespace corvid::sim_test {

using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

// clang-format off
#define CORVID_SIM_SYMBOLS(X)                                                                   \
  X(tw_support_versions) X(tapwire_module_init) X(tapwire_abi_version) X(tapwire_last_error)    \
  X(tapwire_get_install_parlo_version) X(tapwire_init_env) X(tapwire_init_callback)             \
  X(tapwire_show_login_qrcode) X(tapwire_open) X(tapwire_attach) X(tapwire_detach)              \
  X(tapwire_send) X(tapwire_sim_command) X(tapwire_sim_inject) X(tapwire_sim_login)             \
  X(tapwire_sim_logout) X(tapwire_sim_quit) X(tapwire_sim_spawn) X(tapwire_sim_fail)            \
  X(tapwire_sim_answer) X(tapwire_sim_reply) X(tapwire_sim_ready_before_open)                   \
  X(tapwire_sim_auto_login) X(tapwire_sim_set_install_version) X(tapwire_sim_sent)              \
  X(tapwire_sim_clear_sent) X(tapwire_sim_reset) X(tapwire_sim_stop)
// clang-format on

// The library's functions, resolved once per test process.
struct Api {
#define CORVID_SIM_MEMBER(name) decltype(&::name) name = nullptr;
  CORVID_SIM_SYMBOLS(CORVID_SIM_MEMBER)
#undef CORVID_SIM_MEMBER

  static Api& get() {
    static Api* api = [] {
      auto* a = new Api();
      void* handle = dlopen(CORVID_TAPWIRE_SIM_PATH, RTLD_NOW | RTLD_LOCAL);
      if (!handle) {
        std::fprintf(stderr, "dlopen %s: %s\n", CORVID_TAPWIRE_SIM_PATH, dlerror());
        std::abort();
      }
#define CORVID_SIM_RESOLVE(name)                                                         \
  a->name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));                   \
  if (!a->name) {                                                                        \
    std::fprintf(stderr, "symbol %s missing from %s\n", #name, CORVID_TAPWIRE_SIM_PATH); \
    std::abort();                                                                        \
  }
      CORVID_SIM_SYMBOLS(CORVID_SIM_RESOLVE)
#undef CORVID_SIM_RESOLVE
      return a;
    }();
    return *api;
  }

  std::string error() const { return tapwire_last_error(); }

  // Runs a JSON control command; the parsed answer.
  Json command(const Json& cmd) const {
    std::string text = cmd.dump();
    std::vector<char> buf(1 << 20);
    size_t needed = 0;
    tapwire_sim_command(text.data(), text.size(), buf.data(), buf.size(), &needed);
    if (needed >= buf.size()) {
      buf.resize(needed + 1);
      tapwire_sim_command(text.data(), text.size(), buf.data(), buf.size(), &needed);
    }
    return Json::parse(std::string(buf.data(), needed));
  }

  std::vector<std::string> sent() const {
    size_t needed = 0;
    std::vector<char> buf(1 << 16);
    if (tapwire_sim_sent(buf.data(), buf.size(), &needed) != 0) {
      buf.resize(needed + 1);
      EXPECT_EQ(tapwire_sim_sent(buf.data(), buf.size(), &needed), 0) << error();
    }
    return Json::parse(std::string(buf.data(), needed)).get<std::vector<std::string>>();
  }
};

struct Event {
  enum Kind { kAccept, kRecv, kClose } kind;
  int64_t client_id;
  Json message;      // parsed receive text (null when it is not JSON)
  std::string text;  // raw receive text
};

// Records every callback; the three static functions are what the library calls.
class Recorder {
 public:
  std::function<void(const Event&)> hook;  // runs on the callback thread, set before use
  std::atomic<bool> keep_messages{true};   // false: count only (bulk tests)

  static int32_t on_accept(void* user, int64_t id) {
    static_cast<Recorder*>(user)->add(Event{Event::kAccept, id, nullptr, {}});
    return 0;
  }
  static int32_t on_recv(void* user, int64_t id, const char* json, size_t len) {
    auto* self = static_cast<Recorder*>(user);
    std::string text(json, len);
    Json parsed = self->keep_messages ? Json::parse(text, nullptr, false) : Json();
    if (parsed.is_discarded()) parsed = nullptr;
    self->add(Event{Event::kRecv, id, std::move(parsed), std::move(text)});
    return 0;
  }
  static int32_t on_close(void* user, int64_t id) {
    static_cast<Recorder*>(user)->add(Event{Event::kClose, id, nullptr, {}});
    return 0;
  }

  // Polls pred (under the lock) until it holds or the deadline passes.
  bool wait_for(const std::function<bool(const std::vector<Event>&)>& pred,
                std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return pred(events_); });
  }
  bool wait_count(size_t n, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return count_ >= n; });
  }
  std::vector<Event> events() {
    std::lock_guard lock(mu_);
    return events_;
  }
  size_t count() {
    std::lock_guard lock(mu_);
    return count_;
  }
  void clear() {
    std::lock_guard lock(mu_);
    events_.clear();
    count_ = 0;
  }
  // The first received message of client_id with the given type, waiting for it.
  std::optional<Json> wait_type(int64_t client_id, int type,
                                std::chrono::milliseconds timeout = 5s) {
    std::optional<Json> found;
    wait_for(
        [&](const std::vector<Event>& evs) {
          for (const auto& e : evs) {
            if (e.kind == Event::kRecv && e.client_id == client_id && e.message.is_object() &&
                e.message.value("type", 0) == type) {
              found = e.message;
              return true;
            }
          }
          return false;
        },
        timeout);
    return found;
  }
  // Every received message that echoes extend.
  std::vector<Event> with_extend(const std::string& extend) {
    std::vector<Event> out;
    std::lock_guard lock(mu_);
    for (const auto& e : events_) {
      if (e.kind == Event::kRecv && e.text.find("\"" + extend + "\"") != std::string::npos) {
        out.push_back(e);
      }
    }
    return out;
  }

 private:
  void add(Event e) {
    if (hook) hook(e);
    std::lock_guard lock(mu_);
    ++count_;
    if (keep_messages) events_.push_back(std::move(e));
    cv_.notify_all();
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  size_t count_ = 0;
};

// A probe with callbacks registered and a helper file in place; stops the simulation at the end.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    helper_ = std::filesystem::temp_directory_path() /
              ("tapwire_sim_helper_" + std::to_string(::getpid()) + ".dat");
    {
      std::FILE* f = std::fopen(helper_.c_str(), "w");
      if (f) std::fclose(f);
    }
    ASSERT_EQ(api.tapwire_init_env(helper_.c_str(), ""), 0) << api.error();
    ASSERT_EQ(api.tapwire_init_callback(&Recorder::on_accept, &Recorder::on_recv,
                                        &Recorder::on_close, &rec),
              0)
        << api.error();
  }
  void TearDown() override {
    EXPECT_EQ(api.tapwire_sim_stop(), 0) << api.error();
    std::filesystem::remove(helper_);
  }

  // Opens a client and waits for its login; returns {pid, client id}.
  std::pair<int64_t, int64_t> open_logged_in() {
    int64_t pid = 0;
    EXPECT_EQ(api.tapwire_open(0, &pid), 0) << api.error();
    int64_t id = 0;
    EXPECT_TRUE(rec.wait_for([&](const std::vector<Event>& evs) {
      for (const auto& e : evs) {
        if (e.kind == Event::kRecv && e.message.is_object() &&
            e.message.value("type", 0) == MT_USER_LOGIN_MSG) {
          id = e.client_id;
          return true;
        }
      }
      return false;
    }));
    return {pid, id};
  }

  // Sends a request with an extend and waits for its reply.
  std::optional<Json> request(int64_t client_id, int code, const Json& data,
                              const std::string& extend, std::chrono::milliseconds timeout = 5s) {
    Json envelope{{"type", code}, {"data", data}, {"extend", extend}};
    std::string text = envelope.dump();
    int64_t result = 0;
    EXPECT_EQ(api.tapwire_send(client_id, text.data(), text.size(), &result), 0) << api.error();
    std::optional<Json> reply;
    rec.wait_for(
        [&](const std::vector<Event>& evs) {
          for (const auto& e : evs) {
            if (e.kind == Event::kRecv && e.message.is_object() &&
                e.message.value("extend", Json()) == extend) {
              reply = e.message;
              return true;
            }
          }
          return false;
        },
        timeout);
    return reply;
  }

  Api& api = Api::get();
  Recorder rec;
  std::filesystem::path helper_;
};

}  // namespace corvid::sim_test
