// The exported C functions: the probe ABI of tapwire.h and the controls of tapwire_sim.h.
// Each one catches everything, so no exception crosses into the caller, and reports a failure
// as a non-zero status with the text in the calling thread's last error.
#include <cstring>
#include <new>
#include <string>

#include "simulation.hpp"
#include "tapwire/tapwire.h"
#include "tapwire/tapwire_sim.h"

#define TAPWIRE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using corvid::sim::Json;
using corvid::sim::SimError;
using corvid::sim::Simulation;

// Static TLS (initial-exec) rather than the dynamic TLS a dlopened library gets by default: the
// leak checker's scan of dynamic TLS blocks can crash at exit; the small surplus glibc keeps for
// dlopened libraries holds this one string.
__attribute__((tls_model("initial-exec"))) thread_local std::string t_last_error;

constexpr std::int32_t kFailed = -1;

template <typename Body>
std::int32_t guarded(Body&& body) {
  try {
    body();
    return 0;
  } catch (const std::bad_alloc&) {
    t_last_error = "out of memory";
  } catch (const std::exception& e) {
    t_last_error = e.what();
  } catch (...) {
    t_last_error = "unknown failure";
  }
  return kFailed;
}

void require(const void* pointer, const char* name) {
  if (!pointer) throw SimError(std::string(name) + " is null");
}

// Copies text into buf when it fits with its NUL; *needed always gets the length.
void write_text(const std::string& text, char* buf, std::size_t cap, std::size_t* needed) {
  if (needed) *needed = text.size();
  if (!buf || cap < text.size() + 1) {
    throw SimError("buffer too small: " + std::to_string(text.size() + 1) + " bytes needed");
  }
  std::memcpy(buf, text.c_str(), text.size() + 1);
}

std::string_view json_arg(const char* json, std::size_t len, const char* name) {
  require(json, name);
  if (len > Simulation::kMaxEnvelopeBytes) {
    throw SimError(std::string(name) + " too large: " + std::to_string(len) + " bytes");
  }
  return {json, len};
}

constexpr const char* kSupportVersions[] = {"3.6.0.18", "3.7.0.26", "3.8.0.15", "3.9.0.28",
                                            "3.9.2.26"};

}  // namespace

// ---- the probe ABI ---------------------------------------------------------------------------

TAPWIRE_EXPORT const char* const* tw_support_versions(size_t* count) {
  if (count) *count = sizeof(kSupportVersions) / sizeof(kSupportVersions[0]);
  return kSupportVersions;
}

TAPWIRE_EXPORT int32_t tapwire_module_init(void) {
  return guarded([] { Simulation::instance(); });
}

TAPWIRE_EXPORT int32_t tapwire_abi_version(void) { return TAPWIRE_ABI_VERSION; }

TAPWIRE_EXPORT const char* tapwire_last_error(void) { return t_last_error.c_str(); }

TAPWIRE_EXPORT int32_t tapwire_get_install_parlo_version(char* buf, size_t cap, size_t* needed) {
  return guarded([&] { write_text(Simulation::instance().install_version(), buf, cap, needed); });
}

TAPWIRE_EXPORT int32_t tapwire_init_env(const char* helper_file_path, const char* parlo_exe_path) {
  return guarded([&] { Simulation::instance().init_env(helper_file_path, parlo_exe_path); });
}

TAPWIRE_EXPORT int32_t tapwire_init_callback(tapwire_accept_fn on_accept, tapwire_recv_fn on_recv,
                                             tapwire_close_fn on_close, void* user) {
  return guarded([&] {
    Simulation::instance().init_callback(
        corvid::sim::Callbacks{on_accept, on_recv, on_close, user});
  });
}

TAPWIRE_EXPORT int32_t tapwire_show_login_qrcode(void) {
  return guarded([] { Simulation::instance().show_login_qrcode(); });
}

TAPWIRE_EXPORT int32_t tapwire_open(int32_t smart, int64_t* out_pid) {
  return guarded([&] {
    require(out_pid, "out_pid");
    *out_pid = 0;
    *out_pid = Simulation::instance().open(smart != 0);
  });
}

TAPWIRE_EXPORT int32_t tapwire_attach(int64_t pid, int64_t* out_result) {
  return guarded([&] {
    require(out_result, "out_result");
    *out_result = 0;
    *out_result = Simulation::instance().attach(pid);
  });
}

TAPWIRE_EXPORT int32_t tapwire_detach(int64_t pid, int64_t* out_result) {
  return guarded([&] {
    require(out_result, "out_result");
    *out_result = 0;
    *out_result = Simulation::instance().detach(pid);
  });
}

TAPWIRE_EXPORT int32_t tapwire_send(int64_t client_id, const char* json, size_t len,
                                    int64_t* out_result) {
  return guarded([&] {
    require(out_result, "out_result");
    *out_result = 0;
    *out_result = Simulation::instance().send(client_id, json_arg(json, len, "json"));
  });
}

// ---- controls --------------------------------------------------------------------------------

TAPWIRE_EXPORT int32_t tapwire_sim_command(const char* json, size_t len, char* buf, size_t cap,
                                           size_t* needed) {
  return guarded([&] {
    Json answer = Simulation::instance().command(json_arg(json, len, "command"));
    write_text(corvid::sim::to_text(answer), buf, cap, needed);
    if (!answer.value("ok", false)) throw SimError(answer.value("error", std::string("failed")));
  });
}

TAPWIRE_EXPORT int32_t tapwire_sim_inject(const char* message_json, size_t len, int64_t count,
                                          int64_t interval_ms) {
  return guarded([&] {
    Json message = Json::parse(json_arg(message_json, len, "message"), nullptr, false);
    if (message.is_discarded()) throw SimError("the message is not valid JSON");
    Simulation::InjectOptions options;
    options.count = count;
    options.interval_ms = interval_ms;
    Simulation::instance().inject(message, options);
  });
}

TAPWIRE_EXPORT int32_t tapwire_sim_login(const char* uid, const char* nickname) {
  return guarded([&] {
    require(uid, "uid");
    Simulation::instance().login(uid,
                                 nickname ? std::optional<std::string>(nickname) : std::nullopt);
  });
}

TAPWIRE_EXPORT int32_t tapwire_sim_logout(void) {
  return guarded([] { Simulation::instance().logout(); });
}

TAPWIRE_EXPORT int32_t tapwire_sim_quit(void) {
  return guarded([] { Simulation::instance().quit(); });
}

TAPWIRE_EXPORT int32_t tapwire_sim_spawn(int64_t* out_pid) {
  return guarded([&] {
    require(out_pid, "out_pid");
    *out_pid = Simulation::instance().spawn();
  });
}

TAPWIRE_EXPORT int32_t tapwire_sim_fail(const char* op, const char* text) {
  return guarded([&] {
    require(op, "op");
    Simulation::instance().fail(op, text ? std::optional<std::string>(text) : std::nullopt);
  });
}

TAPWIRE_EXPORT int32_t tapwire_sim_answer(const char* op, int64_t result, int32_t enabled) {
  return guarded([&] {
    require(op, "op");
    Simulation::instance().answer(op, enabled ? std::optional<int64_t>(result) : std::nullopt);
  });
}

TAPWIRE_EXPORT int32_t tapwire_sim_reply(int32_t code, int32_t mode, int64_t delay_ms) {
  return guarded([&] { Simulation::instance().reply(code, mode, delay_ms); });
}

TAPWIRE_EXPORT int32_t tapwire_sim_ready_before_open(int32_t enabled) {
  return guarded([&] { Simulation::instance().ready_before_open(enabled != 0); });
}

TAPWIRE_EXPORT int32_t tapwire_sim_auto_login(int32_t enabled) {
  return guarded([&] { Simulation::instance().auto_login(enabled != 0); });
}

TAPWIRE_EXPORT int32_t tapwire_sim_set_install_version(const char* version) {
  return guarded([&] {
    require(version, "version");
    Simulation::instance().set_install_version(version);
  });
}

TAPWIRE_EXPORT int32_t tapwire_sim_sent(char* buf, size_t cap, size_t* needed) {
  return guarded([&] {
    write_text(corvid::sim::to_text(Json(Simulation::instance().sent())), buf, cap, needed);
  });
}

TAPWIRE_EXPORT int32_t tapwire_sim_clear_sent(void) {
  return guarded([] { Simulation::instance().clear_sent(); });
}

TAPWIRE_EXPORT int32_t tapwire_sim_reset(void) {
  return guarded([] { Simulation::instance().reset(); });
}

TAPWIRE_EXPORT int32_t tapwire_sim_stop(void) {
  return guarded([] { Simulation::instance().stop(); });
}
