#pragma once
// The real corvid binary for the WebSocket delivery and closing tests: the shared fixture with
// the simulated client's control socket, started with its client opened and the account logged
// in, the registry's connection count, and stamped event bursts injected through the control
// socket. Owner: one test thread.
#include <chrono>
#include <string>
#include <thread>

#include "corvid/utils/json.hpp"
#include "support/corvid_binary.hpp"

namespace corvid::test {

inline constexpr const char* kUid = "uid_standin";

// The sanitizer builds run several times slower: their heavy cases scale down by this.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kScale = 8;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr int kScale = 4;
#else
inline constexpr int kScale = 1;
#endif

class Corvid : public CorvidBinary {
 public:
  // threads: loop threads (0 = the default); server: settings merged into the "server" section.
  explicit Corvid(int threads = 0, const Json& server = Json::object())
      : CorvidBinary({.server = server, .threads = threads, .control_socket = true}) {}

  // Listening, the client opened and its account logged in.
  bool start() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    if (!CorvidBinary::start()) return false;
    if (post("/api/parlo/open").status != 200) return false;
    return current_uid_is(kUid, deadline);
  }

  // Waits until the service names uid as the logged-in account.
  bool current_uid_is(const std::string& uid, std::chrono::steady_clock::time_point until) {
    while (std::chrono::steady_clock::now() < until) {
      const auto body = Json::parse(get("/api/parlo/current_uid").body, nullptr, false);
      if (body.is_object() && body.value("success", false) && body["data"].is_object() &&
          body["data"].value("uid", "") == uid)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  int connections() {
    const auto body = Json::parse(get("/api/ws/stats").body, nullptr, false);
    return body.is_object() ? body["data"]["total_connections"].get<int>() : -1;
  }

  // count stamped text events (each "data" carries "seq" 0.. and "t_ns") of about size bytes.
  bool inject(int count, int size, const std::string& content = "burst") {
    Json command{{"cmd", "inject"},
                 {"message", {{"type", 11046}, {"data", {{"content", content}}}}},
                 {"count", count},
                 {"interval_ms", 0},
                 {"stamp", true}};
    if (size > 0) command["size"] = size;
    return control().command(command).value("ok", false);
  }
};

}  // namespace corvid::test
