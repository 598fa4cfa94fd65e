#include "corvid/core/client_manager.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>

#include "corvid/core/envelope.hpp"
#include "corvid/core/parlo.hpp"
#include "corvid/utils/errors.hpp"
#include "corvid/utils/log.hpp"
#include "corvid/utils/xdg.hpp"

namespace corvid::core {
namespace {

std::mutex& defaults_mutex() {
  static auto* m = new std::mutex;
  return *m;
}
ClientDefaults& defaults_storage() {  // guarded by defaults_mutex()
  static auto* d = new ClientDefaults;
  return *d;
}

std::atomic<ParloMgr*> g_manager{nullptr};

std::string error_text(const std::exception& e) {
  if (const auto* pe = dynamic_cast<const ParloError*>(&e)) {
    return std::string(pe->name()) + ": " + pe->what();
  }
  return e.what();
}

// A probe pid and a stored pid are the same process when they are numerically equal; a pid
// written as text never matches.
bool same_pid(const Json& ready_pid, std::int64_t pid) {
  if (ready_pid.is_number_integer()) return ready_pid.get<std::int64_t>() == pid;
  if (ready_pid.is_number_unsigned()) {
    return pid >= 0 && ready_pid.get<std::uint64_t>() == static_cast<std::uint64_t>(pid);
  }
  if (ready_pid.is_number_float()) return ready_pid.get<double>() == static_cast<double>(pid);
  return false;
}

// The C entry points. Nothing may unwind through the probe: every failure is logged here and
// reported to the probe as a non-zero status.
template <class Call>
std::int32_t guarded(const char* callback, std::int64_t client_id, Call&& call) noexcept {
  try {
    call();
    return 0;
  } catch (const std::exception& e) {
    log::get("ParloManager")
        ->error("{} callback error, client_id: {}, error: {}", callback, client_id, error_text(e));
  } catch (...) {
    log::get("ParloManager")
        ->error("{} callback error, client_id: {}, error: unknown", callback, client_id);
  }
  return 1;
}

std::int32_t accept_trampoline(void* user, std::int64_t client_id) noexcept {
  return guarded("accept", client_id, [&] { static_cast<ParloMgr*>(user)->on_accept(client_id); });
}

std::int32_t recv_trampoline(void* user, std::int64_t client_id, const char* json,
                             std::size_t len) noexcept {
  // The probe's buffer is valid only during this call; the manager copies what it keeps.
  return guarded("recv", client_id, [&] {
    static_cast<ParloMgr*>(user)->on_recv(client_id,
                                          json ? std::string_view(json, len) : std::string_view());
  });
}

std::int32_t close_trampoline(void* user, std::int64_t client_id) noexcept {
  return guarded("close", client_id, [&] { static_cast<ParloMgr*>(user)->on_close(client_id); });
}

}  // namespace

void set_client_defaults(std::optional<std::string> exe_path, std::optional<std::string> version) {
  std::lock_guard lock(defaults_mutex());
  defaults_storage() = ClientDefaults{std::move(exe_path), std::move(version)};
}

ClientDefaults client_defaults() {
  std::lock_guard lock(defaults_mutex());
  return defaults_storage();
}

ParloMgr& ParloMgr::instance() {
  // Held only while the first manager is built; the probe's callbacks reach the manager
  // through its own pointer and never take this lock, so a callback made during
  // init_callback cannot wait on it.
  static auto* creation = new std::mutex;
  if (ParloMgr* m = g_manager.load(std::memory_order_acquire)) return *m;
  std::lock_guard lock(*creation);
  if (ParloMgr* m = g_manager.load(std::memory_order_acquire)) return *m;
  auto* m = new ParloMgr(manager_probe());  // throws: nothing kept, the next call retries
  g_manager.store(m, std::memory_order_release);
  return *m;
}

ParloMgr* ParloMgr::existing() { return g_manager.load(std::memory_order_acquire); }

ParloMgr::ParloMgr(ManagerProbe& probe) : probe_(probe) {
  const ClientDefaults defaults = client_defaults();
  set_parlo_exe_path(defaults.exe_path, defaults.version);
  probe_.init_callback(&accept_trampoline, &recv_trampoline, &close_trampoline, this);
}

void ParloMgr::set_parlo_exe_path(const std::optional<std::string>& parlo_exe_path,
                                  const std::optional<std::string>& parlo_version) {
  const std::string exe = parlo_exe_path.value_or("");
  const std::string version = parlo_version ? *parlo_version : probe_.get_install_parlo_version();
  // The version is checked against the list before it becomes part of a file name.
  if (!xdg::is_support_version(version)) {
    throw ParloVersionNotMatchError("velinor support parlo versions: " +
                                    xdg::support_versions_text());
  }
  if (!xdg::has_helper_file()) {
    throw ParloRuntimeError(
        "Helper files not found. Please ensure tw directory with helper_*.dat files is included "
        "in the package.");
  }
  const std::string helper = xdg::get_helper_file(version);
  std::error_code ec;
  if (!std::filesystem::exists(helper, ec)) throw ParloRuntimeError("missing core files");
  log::get("ParloManager")->info("initialize parlo, version: {}", version);
  probe_.init_env(helper, exe);
}

void ParloMgr::append_instance(Parlo* instance) {
  log::get("ParloManager")->debug("new parlo instance");
  std::lock_guard lock(mutex_);
  instance_list_.push_back(instance);
}

void ParloMgr::arm(Parlo* instance) {
  // Any id is a client id, 0 included: "nothing bound yet" is the empty optional.
  std::optional<std::int64_t> bound_id;
  bool rearmed = false;
  {
    std::lock_guard lock(mutex_);
    const bool listed =
        std::find(instance_list_.begin(), instance_list_.end(), instance) != instance_list_.end();
    if (!listed && !instance->status()) {
      // Its connection closed: a newly started or attached client may bind it again.
      instance_list_.push_back(instance);
      rearmed = true;
    } else if (!listed) {
      return;  // bound to a live connection
    }
    const std::int64_t pid = instance->pid();
    for (std::int64_t id : held_order_) {
      auto it = held_.find(id);
      if (pid == 0) break;
      if (it == held_.end() || !same_pid(it->second.pid, pid) || instance_map_.count(id)) continue;
      instance->bind_client_id(id);
      instance_map_[id] = instance;
      instance_list_.erase(std::find(instance_list_.begin(), instance_list_.end(), instance));
      auto& queue = draining_[id];
      for (auto& m : it->second.messages) queue.push_back(Delivery{std::move(m)});
      held_.erase(it);
      held_order_.erase(std::find(held_order_.begin(), held_order_.end(), id));
      bound_id = id;
      break;
    }
  }
  if (rearmed) log::get("ParloManager")->debug("parlo instance waits for a new client");
  if (bound_id) {
    log::get("ParloManager")
        ->info("bound client_id: {} to a ready message that came first", *bound_id);
    drain(*bound_id, instance);
  }
}

void ParloMgr::closed(std::int64_t client_id, Parlo* target) {
  // A close of a connection the binding has already left (it was bound again since) must not
  // clear the state of the connection it uses now.
  if (target->client_id() != client_id) {
    log::get("ParloManager")
        ->debug("close client_id: {} ignored: its parlo instance is on client_id {} now", client_id,
                target->client_id());
    return;
  }
  target->on_close();
  // The client that replaces this one (a re-attach, a restarted client) may have reported
  // its ready while the binding was still on this connection: that ready was remembered, and
  // the binding claims it now instead of waiting for an open or attach that already ran.
  arm(target);
}

void ParloMgr::drain(std::int64_t client_id, Parlo* target) {
  for (;;) {
    Delivery next;
    {
      std::lock_guard lock(mutex_);
      auto it = draining_.find(client_id);
      if (it == draining_.end()) return;
      if (it->second.empty()) {
        draining_.erase(it);
        return;
      }
      next = std::move(it->second.front());
      it->second.pop_front();
    }
    try {
      if (next.message) {
        target->on_recv(std::move(*next.message));
      } else {
        closed(client_id, target);
      }
    } catch (const std::exception& e) {
      log::get("ParloManager")
          ->error("recv callback error, client_id: {}, error: {}", client_id, error_text(e));
    }
  }
}

void ParloMgr::bind_parlo(std::int64_t client_id, const Json& pid) {
  std::lock_guard lock(mutex_);
  if (!instance_map_.count(client_id)) {
    for (auto it = instance_list_.begin(); it != instance_list_.end(); ++it) {
      Parlo* candidate = *it;
      if (!same_pid(pid, candidate->pid())) continue;
      candidate->bind_client_id(client_id);
      instance_map_[client_id] = candidate;
      instance_list_.erase(it);
      return;
    }
    // Remember it: open may not have returned the pid yet. The newest few are kept.
    if (!held_.count(client_id)) {
      if (held_order_.size() >= kRememberedReadyLimit) {
        held_.erase(held_order_.front());
        held_order_.pop_front();
      }
      held_[client_id] = HeldClient{pid, {}};
      held_order_.push_back(client_id);
    }
  }
  throw ParloBindError();
}

void ParloMgr::on_accept(std::int64_t client_id) {
  log::get("ParloManager")->debug("accept client_id: {}", client_id);
}

void ParloMgr::on_recv(std::int64_t client_id, std::string_view data) {
  Json message;
  try {
    message = Json::parse(data);
  } catch (const Json::exception& e) {
    throw JsonError(e.what());
  }
  if (!message.is_object()) throw TypeError("a probe message must be a JSON object");
  auto type = message.find("type");
  if (type == message.end()) throw KeyError("type");
  if (is_code(*type, MT_READY_MSG)) {
    auto body = message.find("data");
    if (body == message.end()) throw KeyError("data");
    if (!body->is_object()) throw TypeError("the ready message's data must be an object");
    auto pid = body->find("pid");
    if (pid == body->end()) throw KeyError("pid");
    bind_parlo(client_id, *pid);
    return;
  }
  Parlo* target = nullptr;
  bool dropped_held = false;
  {
    std::lock_guard lock(mutex_);
    if (auto d = draining_.find(client_id); d != draining_.end()) {
      d->second.push_back(Delivery{std::move(message)});
      return;
    }
    if (auto it = instance_map_.find(client_id); it != instance_map_.end()) {
      target = it->second;
    } else if (auto h = held_.find(client_id); h != held_.end()) {
      if (h->second.messages.size() >= kHeldMessageLimit) {
        h->second.messages.pop_front();
        dropped_held = true;
      }
      h->second.messages.push_back(std::move(message));
    } else {
      throw KeyError("no parlo instance for client_id " + std::to_string(client_id));
    }
  }
  if (dropped_held) {
    log::get("ParloManager")
        ->warn("client_id: {} is not bound yet; its oldest held message was dropped", client_id);
  }
  if (target) target->on_recv(std::move(message));
}

void ParloMgr::on_close(std::int64_t client_id) {
  log::get("ParloManager")->debug("close client_id: {}", client_id);
  Parlo* target = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (auto d = draining_.find(client_id); d != draining_.end()) {
      d->second.push_back(Delivery{std::nullopt});
      return;
    }
    if (auto h = held_.find(client_id); h != held_.end()) {
      // The client is gone before anyone claimed it: nothing left to bind.
      held_.erase(h);
      held_order_.erase(std::find(held_order_.begin(), held_order_.end(), client_id));
      return;
    }
    auto it = instance_map_.find(client_id);
    if (it == instance_map_.end()) return;
    target = it->second;
  }
  closed(client_id, target);
}

std::size_t ParloMgr::unbound_count() const {
  std::lock_guard lock(mutex_);
  return instance_list_.size();
}

Parlo* ParloMgr::bound_instance(std::int64_t client_id) const {
  std::lock_guard lock(mutex_);
  auto it = instance_map_.find(client_id);
  return it == instance_map_.end() ? nullptr : it->second;
}

}  // namespace corvid::core
