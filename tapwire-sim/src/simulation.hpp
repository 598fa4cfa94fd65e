// simulation.hpp: the simulated Parlo client behind libtapwire.so: processes, connections,
// login, request handling and the test controls.
// Owner: one immortal instance per process (Simulation::instance()); the ABI functions and the
// control socket call into it.
// Threads: every public method may be called from any thread, including from inside a callback.
// The state is guarded by mu_, which is never held while a callback runs or a thread is joined.
// Guarantees: failures are thrown as SimError with the text the ABI reports; stop() joins every
// thread of the simulation and no callback starts after it returns.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "connection.hpp"
#include "store.hpp"
#include "tapwire/tapwire_sim.h"

namespace corvid::sim {

class ControlSocket;

class SimError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr const char* kStandinUid = "uid_standin";
inline constexpr const char* kStandinNickname = "Corvid Stand-in";
inline constexpr const char* kEchoUid = "uid_echo";
inline constexpr const char* kDefaultInstallVersion = "3.9.2.26";

// Serialises a message the way the client writes it: compact, invalid UTF-8 replaced.
std::string to_text(const Json& message);

class Simulation {
 public:
  // Delay between the QR-code event and the automatic login of a fresh client.
  static constexpr auto kAutoLoginDelay = std::chrono::milliseconds(100);
  // Gap between open/attach returning and the ready message, so the caller can note the pid.
  static constexpr auto kReadyAfterReturn = std::chrono::milliseconds(20);
  static constexpr std::size_t kMaxEnvelopeBytes = 64u << 20;
  static constexpr std::size_t kMaxSentRecords = 100000;
  static constexpr std::int64_t kMaxInjectCount = 100'000'000;
  static constexpr std::int64_t kMaxDelayMs = 3'600'000;

  static Simulation& instance();

  // ---- the probe ABI ---------------------------------------------------------------------
  std::string install_version();
  void init_env(const char* helper_file_path, const char* parlo_exe_path);
  void init_callback(const Callbacks& callbacks);
  void show_login_qrcode();
  std::int64_t open(bool smart);
  std::int64_t attach(std::int64_t pid);
  std::int64_t detach(std::int64_t pid);
  std::int64_t send(std::int64_t client_id, std::string_view envelope);

  // ---- controls --------------------------------------------------------------------------
  struct InjectOptions {
    std::int64_t count = 1;
    std::int64_t interval_ms = 0;
    bool stamp = false;
    std::int64_t size = 0;
    std::int64_t client_id = 0;  // 0 = the current client
  };
  void inject(const Json& message, const InjectOptions& options);
  void login(std::string uid, std::optional<std::string> nickname);
  void logout();
  void quit();
  std::int64_t spawn();
  void fail(std::string_view op, std::optional<std::string> text);
  // attach/detach answer result without touching any client (nullopt: they work again).
  void answer(std::string_view op, std::optional<std::int64_t> result);
  void reply(std::int32_t code, std::int32_t mode, std::int64_t delay_ms);
  void ready_before_open(bool enabled);
  // How long after open/attach returns the ready message comes (default kReadyAfterReturn).
  void ready_delay(std::chrono::milliseconds delay);
  void auto_login(bool enabled);
  void set_install_version(std::string version);
  std::vector<std::string> sent();
  void clear_sent();
  Json state();
  void reset();
  void stop();

  // Runs one JSON command (see tapwire_sim.h); returns {"ok": true, ...} or {"ok": false, ...}.
  Json command(std::string_view text);

 private:
  struct Process {
    std::int64_t pid = 0;
    bool logged_in = false;
    std::string uid;
    std::string nickname;
    std::int64_t client_id = 0;  // 0 = no probe attached
  };
  struct ReplyRule {
    std::int32_t mode = TAPWIRE_SIM_REPLY_NORMAL;
    std::int64_t delay_ms = 0;
  };
  // A request as the dispatcher handles it.
  struct Request {
    std::int32_t code = 0;
    Json data;
    bool has_extend = false;
    Json extend;
    ReplyRule rule;
    std::int64_t pid = 0;
  };
  struct Outcome {
    Json reply;                       // the reply's "data"
    std::vector<std::string> events;  // messages the client reports afterwards
  };

  Simulation();
  void check_fail(const char* op);
  std::optional<std::int64_t> forced_answer(const char* op);
  Process* current_locked();
  Process* find_locked(std::int64_t pid);
  // Creates the connection of p (its accept/ready/login plan queued); the caller starts and
  // releases it after dropping mu_.
  std::shared_ptr<Connection> connect_locked(Process& p);
  void launch(const std::shared_ptr<Connection>& conn, bool ready_first,
              std::chrono::milliseconds ready_delay);
  std::shared_ptr<Connection> connection_locked(std::int64_t client_id);
  std::vector<std::shared_ptr<Connection>> reap_locked();
  void require_ready_locked() const;
  void post_login_locked(const Process& p);

  void handle_request(Connection& conn, const Request& request);
  Outcome answer(const Request& request);
  Json self_info(std::int64_t pid);
  std::string next_msg_id();

  Callbacks callbacks() const;

  mutable std::mutex mu_;
  Callbacks callbacks_;                                        // guarded by mu_
  bool callbacks_set_ = false;                                 // guarded by mu_
  bool env_ready_ = false;                                     // guarded by mu_
  bool qr_requested_ = false;                                  // guarded by mu_
  std::string install_version_ = kDefaultInstallVersion;       // guarded by mu_
  std::map<std::string, std::string, std::less<>> fail_;       // guarded by mu_
  std::map<std::string, std::int64_t, std::less<>> answers_;   // guarded by mu_
  std::map<std::int32_t, ReplyRule> reply_rules_;              // guarded by mu_ (0 = every code)
  bool ready_before_open_ = false;                             // guarded by mu_
  std::chrono::milliseconds ready_delay_ = kReadyAfterReturn;  // guarded by mu_
  bool auto_login_ = true;                                     // guarded by mu_
  std::map<std::int64_t, Process> processes_;                  // guarded by mu_
  std::int64_t current_pid_ = 0;                               // guarded by mu_
  std::int64_t next_pid_;                                      // guarded by mu_
  std::map<std::int64_t, std::shared_ptr<Connection>> connections_;  // guarded by mu_
  std::deque<std::string> sent_;                                     // guarded by mu_
  std::uint64_t sent_total_ = 0;                                     // guarded by mu_
  std::unique_ptr<ControlSocket> control_;                           // guarded by mu_

  std::atomic<std::int64_t> next_client_id_{1};  // never reused within the process
  std::atomic<std::uint64_t> next_msg_{1};
  std::atomic<std::uint64_t> callback_failures_{0};
  Store store_;
};

}  // namespace corvid::sim
