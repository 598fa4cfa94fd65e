#pragma once
// ParloMgr: the single client manager. Created by the first binding: it checks the client
// version and helper file, initialises the probe and registers the probe callbacks. It then
// holds every binding (unbound ones in a list, bound ones by probe client id) and routes each
// probe message to the binding of its client; the ready message binds a client id to the
// binding whose pid it carries.
// Owner: the process (never destroyed: the probe keeps a pointer to it).
// Threads: construction/append on the building thread; callbacks on probe threads; the tables
// are guarded by one mutex that is never held while a binding handles a message or while the
// probe is called.
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvid/core/probe_library.hpp"
#include "corvid/utils/json.hpp"

namespace corvid::core {

class Parlo;

// The configured client settings (see set_client_defaults in parlo.hpp).
struct ClientDefaults {
  std::optional<std::string> exe_path;
  std::optional<std::string> version;
};
ClientDefaults client_defaults();

// How many ready messages that matched no binding are remembered, and how many messages per
// such client are held until a binding claims it (the probe may report a client before open
// has returned its pid).
inline constexpr std::size_t kRememberedReadyLimit = 16;
inline constexpr std::size_t kHeldMessageLimit = 1024;

class ParloMgr {
 public:
  // The single manager, created on the first call; a failed creation throws and is retried by
  // the next call.
  static ParloMgr& instance();
  // The manager if it exists already (nullptr otherwise); never creates it.
  static ParloMgr* existing();

  ParloMgr(const ParloMgr&) = delete;
  ParloMgr& operator=(const ParloMgr&) = delete;

  // Checks the version (the probe's installed one when absent) and the helper file, then
  // initialises the probe with them. ParloVersionNotMatchError / ParloRuntimeError / ProbeError.
  void set_parlo_exe_path(const std::optional<std::string>& parlo_exe_path,
                          const std::optional<std::string>& parlo_version);

  void append_instance(Parlo* instance);

  // Called by a binding around open/attach, and after each close of its connection: puts a
  // binding whose connection closed back into the unbound list, and binds it to a remembered
  // ready message carrying its pid.
  void arm(Parlo* instance);

  // The probe callbacks (the C trampolines call these and catch what they throw).
  void on_accept(std::int64_t client_id);
  // Throws JsonError (not JSON), KeyError (no "type", no ready pid, unknown client id),
  // ParloBindError (a ready message that binds nothing) or whatever the binding throws.
  void on_recv(std::int64_t client_id, std::string_view data);
  void on_close(std::int64_t client_id);

  // Diagnostics and tests.
  std::size_t unbound_count() const;
  Parlo* bound_instance(std::int64_t client_id) const;

 private:
  explicit ParloMgr(ManagerProbe& probe);

  struct HeldClient {  // a client whose ready matched no binding yet
    Json pid;
    std::deque<Json> messages;
  };
  struct Delivery {  // a message, or (nullopt) a close, for a binding being caught up
    std::optional<Json> message;
  };

  void bind_parlo(std::int64_t client_id, const Json& pid);
  // The connection client_id of target closed: its state is cleared and it is armed again.
  void closed(std::int64_t client_id, Parlo* target);
  // Delivers what was held for client_id in order; new messages queue behind until it is done.
  void drain(std::int64_t client_id, Parlo* target);

  ManagerProbe& probe_;
  mutable std::mutex mutex_;  // guards everything below
  std::vector<Parlo*> instance_list_;
  std::map<std::int64_t, Parlo*> instance_map_;
  std::map<std::int64_t, HeldClient> held_;  // by client id
  std::deque<std::int64_t> held_order_;      // arrival order of held_, for eviction
  std::map<std::int64_t, std::deque<Delivery>> draining_;
};

}  // namespace corvid::core
