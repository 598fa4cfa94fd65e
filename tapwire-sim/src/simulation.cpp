#include "simulation.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "control_socket.hpp"

namespace corvid::sim {
namespace {

using namespace std::chrono_literals;

constexpr const char* kFailableOps[] = {"open",
                                        "attach",
                                        "detach",
                                        "send",
                                        "init_env",
                                        "init_callback",
                                        "show_login_qrcode",
                                        "get_install_parlo_version"};

std::int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

Json event(std::int32_t code, Json data) { return Json{{"type", code}, {"data", std::move(data)}}; }

Json login_data(std::string_view uid, std::string_view nickname, std::int64_t pid) {
  std::string account = uid == kStandinUid ? "corvid_standin" : std::string(uid);
  return Json{{"uid", uid},
              {"nickname", nickname},
              {"account", account},
              {"avatar", "https://avatar.invalid/" + std::string(uid) + ".png"},
              {"pid", pid}};
}

bool is_regular_file(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Emits one injected message per step (or a batch when there is no interval) and re-posts
// itself, so a million messages need neither a million queue entries nor a thread each.
struct InjectStep {
  static constexpr std::int64_t kBatch = 256;
  struct Job {
    Json message;
    std::string fixed_text;  // the text when nothing changes per message
    std::int64_t count = 0;
    std::int64_t done = 0;
    std::int64_t interval_ms = 0;
    bool stamp = false;
  };
  std::shared_ptr<Job> job;

  void operator()(Connection& conn) const {
    std::int64_t batch = job->interval_ms > 0 ? 1 : kBatch;
    for (std::int64_t i = 0; i < batch && job->done < job->count && !conn.stopping(); ++i) {
      if (job->stamp) {
        Json& data = job->message["data"];
        data["seq"] = job->done;
        data["t_ns"] = monotonic_ns();
        conn.deliver(to_text(job->message));
      } else {
        conn.deliver(job->fixed_text);
      }
      ++job->done;
    }
    if (job->done < job->count) conn.post(*this, std::chrono::milliseconds(job->interval_ms));
  }
};

}  // namespace

std::string to_text(const Json& message) {
  return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Simulation& Simulation::instance() {
  // Immortal: threads of the simulation may still run while the process exits.
  static Simulation* sim = new Simulation();
  return *sim;
}

Simulation::Simulation() : next_pid_(40000 + (static_cast<std::int64_t>(::getpid()) % 10000) * 10) {
  if (const char* path = std::getenv("TAPWIRE_SIM_CONTROL"); path && *path) {
    control_ = std::make_unique<ControlSocket>();
    std::string error =
        control_->start(path, [this](std::string_view line) { return to_text(command(line)); });
    if (!error.empty()) {
      std::fprintf(stderr, "tapwire-sim: control socket %s not available: %s\n", path,
                   error.c_str());
      control_.reset();
    }
  }
}

Callbacks Simulation::callbacks() const {
  std::lock_guard lock(mu_);
  return callbacks_;
}

void Simulation::check_fail(const char* op) {
  std::lock_guard lock(mu_);
  auto it = fail_.find(std::string_view(op));
  if (it != fail_.end()) throw SimError(it->second);
}

std::optional<std::int64_t> Simulation::forced_answer(const char* op) {
  std::lock_guard lock(mu_);
  auto it = answers_.find(std::string_view(op));
  if (it == answers_.end()) return std::nullopt;
  return it->second;
}

void Simulation::require_ready_locked() const {
  if (!env_ready_) throw SimError("tapwire_init_env has not been called");
  if (!callbacks_set_) throw SimError("tapwire_init_callback has not been called");
}

Simulation::Process* Simulation::find_locked(std::int64_t pid) {
  auto it = processes_.find(pid);
  return it == processes_.end() ? nullptr : &it->second;
}

Simulation::Process* Simulation::current_locked() {
  if (Process* p = find_locked(current_pid_)) return p;
  return processes_.empty() ? nullptr : &processes_.rbegin()->second;
}

std::shared_ptr<Connection> Simulation::connection_locked(std::int64_t client_id) {
  auto it = connections_.find(client_id);
  return it == connections_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Connection>> Simulation::reap_locked() {
  std::vector<std::shared_ptr<Connection>> done;
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (it->second->finished()) {
      done.push_back(it->second);
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
  return done;
}

std::string Simulation::next_msg_id() { return "sim_msg_" + std::to_string(next_msg_++); }

void Simulation::post_login_locked(const Process& p) {
  if (auto conn = connection_locked(p.client_id)) {
    conn->post([text = to_text(event(MT_USER_LOGIN_MSG, login_data(p.uid, p.nickname, p.pid)))](
                   Connection& c) { c.deliver(text); });
  }
}

std::shared_ptr<Connection> Simulation::connect_locked(Process& p) {
  std::int64_t id = next_client_id_++;
  auto conn = std::make_shared<Connection>(
      id, p.pid, [this] { return callbacks(); }, callback_failures_);
  p.client_id = id;
  current_pid_ = p.pid;
  connections_[id] = conn;
  if (p.logged_in) {
    // An attached client that is already logged in reports its session right away.
    post_login_locked(p);
  } else {
    std::int64_t pid = p.pid;
    Json qr{{"pid", pid},
            {"qrcode", "parlo-login://" + std::to_string(pid) + "/" + next_msg_id()},
            {"requested", qr_requested_},
            {"expires_in", 120}};
    qr_requested_ = false;
    conn->post([text = to_text(event(MT_RECV_LOGIN_QRCODE_MSG, std::move(qr)))](Connection& c) {
      c.deliver(text);
    });
    if (auto_login_) {
      conn->post(
          [this, pid](Connection& c) {
            std::string text;
            {
              std::lock_guard lock(mu_);
              Process* proc = find_locked(pid);
              if (!proc || proc->logged_in || !auto_login_ || proc->client_id != c.client_id()) {
                return;
              }
              proc->logged_in = true;
              proc->uid = kStandinUid;
              proc->nickname = kStandinNickname;
              text = to_text(event(MT_USER_LOGIN_MSG, login_data(proc->uid, proc->nickname, pid)));
            }
            c.deliver(text);
          },
          kAutoLoginDelay);
    }
  }
  return conn;
}

void Simulation::launch(const std::shared_ptr<Connection>& conn, bool ready_first,
                        std::chrono::milliseconds ready_delay) {
  conn->start(to_text(event(MT_READY_MSG, Json{{"pid", conn->pid()}})));
  if (ready_first) {
    conn->release(Connection::Clock::duration::zero(), true);
  } else {
    conn->release(ready_delay, false);
  }
}

// ---- the probe ABI -------------------------------------------------------------------------

std::string Simulation::install_version() {
  check_fail("get_install_parlo_version");
  std::lock_guard lock(mu_);
  return install_version_;
}

void Simulation::init_env(const char* helper_file_path, const char* parlo_exe_path) {
  check_fail("init_env");
  if (!helper_file_path) throw SimError("helper file path is null");
  if (!*helper_file_path) throw SimError("helper file path is empty");
  if (!is_regular_file(helper_file_path)) {
    throw SimError(std::string("helper file not found: ") + helper_file_path);
  }
  if (parlo_exe_path && *parlo_exe_path && !is_regular_file(parlo_exe_path)) {
    throw SimError(std::string("Parlo executable not found: ") + parlo_exe_path);
  }
  std::lock_guard lock(mu_);
  env_ready_ = true;
}

void Simulation::init_callback(const Callbacks& callbacks) {
  check_fail("init_callback");
  if (!callbacks.on_accept || !callbacks.on_recv || !callbacks.on_close) {
    throw SimError("every callback must be given (accept, receive and close)");
  }
  std::lock_guard lock(mu_);
  callbacks_ = callbacks;
  callbacks_set_ = true;
}

void Simulation::show_login_qrcode() {
  check_fail("show_login_qrcode");
  std::lock_guard lock(mu_);
  qr_requested_ = true;
}

std::int64_t Simulation::open(bool smart) {
  check_fail("open");
  std::shared_ptr<Connection> conn;
  std::vector<std::shared_ptr<Connection>> finished;
  bool ready_first = false;
  std::chrono::milliseconds ready_delay = kReadyAfterReturn;
  std::int64_t pid = 0;
  {
    std::lock_guard lock(mu_);
    require_ready_locked();
    finished = reap_locked();
    Process* target = nullptr;
    if (smart) {
      // A smart start takes over a client that is already running without a probe.
      for (auto it = processes_.rbegin(); it != processes_.rend() && !target; ++it) {
        if (it->second.client_id == 0) target = &it->second;
      }
    }
    if (!target) {
      Process p;
      p.pid = next_pid_++;
      target = &processes_.emplace(p.pid, p).first->second;
    }
    pid = target->pid;
    conn = connect_locked(*target);
    ready_first = ready_before_open_;
    ready_delay = ready_delay_;
  }
  for (auto& f : finished) f->join();
  launch(conn, ready_first, ready_delay);
  return pid;
}

std::int64_t Simulation::attach(std::int64_t pid) {
  check_fail("attach");
  if (pid <= 0) throw SimError("invalid pid " + std::to_string(pid));
  if (auto forced = forced_answer("attach")) return *forced;
  std::shared_ptr<Connection> conn;
  std::vector<std::shared_ptr<Connection>> finished;
  bool ready_first = false;
  std::chrono::milliseconds ready_delay = kReadyAfterReturn;
  {
    std::lock_guard lock(mu_);
    require_ready_locked();
    finished = reap_locked();
    Process* p = find_locked(pid);
    if (!p || p->client_id != 0) return 0;  // no such client, or a probe is attached already
    conn = connect_locked(*p);
    ready_first = ready_before_open_;
    ready_delay = ready_delay_;
  }
  for (auto& f : finished) f->join();
  launch(conn, ready_first, ready_delay);
  return 1;
}

std::int64_t Simulation::detach(std::int64_t pid) {
  check_fail("detach");
  if (pid <= 0) throw SimError("invalid pid " + std::to_string(pid));
  if (auto forced = forced_answer("detach")) return *forced;
  std::lock_guard lock(mu_);
  Process* p = find_locked(pid);
  if (!p || p->client_id == 0) return 0;
  if (auto conn = connection_locked(p->client_id)) conn->close();
  p->client_id = 0;
  return 1;
}

std::int64_t Simulation::send(std::int64_t client_id, std::string_view envelope) {
  // Every loop thread of the server sends through here: the envelope is read before the lock,
  // which is then taken once. A failure set for "send" still wins over a bad envelope, and a
  // bad envelope is still recorded as sent, as a client that received it would have.
  const bool too_large = envelope.size() > kMaxEnvelopeBytes;
  Json message = too_large ? Json() : Json::parse(envelope, nullptr, false);
  std::string invalid;
  std::int64_t code = 0;
  if (too_large) {
    // reported below, after a failure set for "send"
  } else if (message.is_discarded()) {
    invalid = "envelope is not valid JSON";
  } else if (!message.is_object()) {
    invalid = "envelope is not a JSON object";
  } else if (auto type = message.find("type");
             type == message.end() || !type->is_number_integer()) {
    invalid = "envelope has no integer \"type\"";
  } else if (code = type->get<std::int64_t>();
             code < TAPWIRE_SEND_CODE_FIRST || code > TAPWIRE_SEND_CODE_LAST) {
    invalid = "unknown request code " + std::to_string(code);
  }
  std::string record(envelope);  // copied before the lock, which every sender takes
  std::shared_ptr<Connection> conn;
  Request request;
  {
    std::lock_guard lock(mu_);
    if (auto it = fail_.find(std::string_view("send")); it != fail_.end()) {
      throw SimError(it->second);
    }
    if (too_large) {
      throw SimError("envelope too large: " + std::to_string(envelope.size()) + " bytes (limit " +
                     std::to_string(kMaxEnvelopeBytes) + ")");
    }
    conn = connection_locked(client_id);
    if (!conn || conn->closed() || conn->finished()) {
      throw SimError("no client connection with id " + std::to_string(client_id));
    }
    request.pid = conn->pid();
    sent_.push_back(std::move(record));
    ++sent_total_;
    if (sent_.size() > kMaxSentRecords) sent_.pop_front();
    if (invalid.empty()) {
      request.code = static_cast<std::int32_t>(code);
      auto rule = reply_rules_.find(request.code);
      if (rule == reply_rules_.end()) rule = reply_rules_.find(0);
      if (rule != reply_rules_.end()) request.rule = rule->second;
    }
  }
  if (!invalid.empty()) throw SimError(invalid);
  if (auto data = message.find("data"); data != message.end()) request.data = std::move(*data);
  if (auto ext = message.find("extend"); ext != message.end()) {
    request.has_extend = true;
    request.extend = std::move(*ext);
  }
  auto delay = request.rule.mode == TAPWIRE_SIM_REPLY_DELAY
                   ? std::chrono::milliseconds(request.rule.delay_ms)
                   : std::chrono::milliseconds(0);
  conn->post([this, request = std::move(request)](Connection& c) { handle_request(c, request); },
             delay);
  return 1;
}

void Simulation::handle_request(Connection& conn, const Request& request) {
  Outcome out;
  try {
    out = answer(request);
  } catch (const std::exception& e) {
    out.reply = Json{{"success", false}, {"error", e.what()}};
    out.events.clear();
  }
  if (request.has_extend && request.rule.mode != TAPWIRE_SIM_REPLY_DROP) {
    Json reply{{"type", request.code}};
    std::string text;
    if (request.rule.mode == TAPWIRE_SIM_REPLY_MALFORMED) {
      // Cut off mid-object, as a client that crashed while writing would leave it.
      text = to_text(Json{{"type", request.code}, {"extend", request.extend}});
      text.pop_back();
      text += ", \"data\": {\"result\": [";
    } else {
      // Moved, and the value dropped once written: a large answer is held once, as text.
      if (request.rule.mode != TAPWIRE_SIM_REPLY_NO_DATA) reply["data"] = std::move(out.reply);
      reply["extend"] = request.extend;
      text = to_text(reply);
      reply = nullptr;
    }
    conn.deliver(text);
    if (request.rule.mode == TAPWIRE_SIM_REPLY_DUPLICATE) conn.deliver(text);
  }
  for (const auto& e : out.events) conn.deliver(e);
}

// ---- controls ------------------------------------------------------------------------------

void Simulation::inject(const Json& message, const InjectOptions& options) {
  if (!message.is_object()) throw SimError("the message must be a JSON object");
  if (options.count < 0 || options.count > kMaxInjectCount) {
    throw SimError("count must be between 0 and " + std::to_string(kMaxInjectCount));
  }
  if (options.interval_ms < 0 || options.interval_ms > kMaxDelayMs) {
    throw SimError("interval_ms must be between 0 and " + std::to_string(kMaxDelayMs));
  }
  if (options.size < 0 || options.size > static_cast<std::int64_t>(kMaxEnvelopeBytes)) {
    throw SimError("size must be between 0 and " + std::to_string(kMaxEnvelopeBytes));
  }
  auto job = std::make_shared<InjectStep::Job>();
  job->message = message;
  job->count = options.count;
  job->interval_ms = options.interval_ms;
  job->stamp = options.stamp;
  if (options.stamp || options.size > 0) {
    auto data = job->message.find("data");
    if (data == job->message.end() || data->is_null()) {
      job->message["data"] = Json::object();
    } else if (!data->is_object()) {
      throw SimError("\"stamp\" and \"size\" need a message whose \"data\" is an object");
    }
  }
  if (options.size > 0) {
    Json probe = job->message;
    if (options.stamp) {
      probe["data"]["seq"] = options.count;
      probe["data"]["t_ns"] = monotonic_ns();
    }
    probe["data"]["pad"] = "";
    auto base = static_cast<std::int64_t>(to_text(probe).size());
    job->message["data"]["pad"] =
        std::string(static_cast<std::size_t>(options.size > base ? options.size - base : 0), 'x');
  }
  job->fixed_text = options.stamp ? std::string() : to_text(job->message);
  if (options.count == 0) return;

  std::lock_guard lock(mu_);
  std::shared_ptr<Connection> conn;
  if (options.client_id != 0) {
    conn = connection_locked(options.client_id);
  } else if (Process* p = current_locked()) {
    conn = connection_locked(p->client_id);
  }
  if (!conn || conn->closed()) throw SimError("no client is connected");
  conn->post(InjectStep{job});
}

void Simulation::login(std::string uid, std::optional<std::string> nickname) {
  if (uid.empty()) throw SimError("uid must not be empty");
  std::lock_guard lock(mu_);
  Process* p = current_locked();
  if (!p) throw SimError("no client is running");
  if (p->logged_in && p->uid != uid) {
    if (auto conn = connection_locked(p->client_id)) {
      conn->post(
          [text = to_text(event(MT_USER_LOGOUT_MSG, login_data(p->uid, p->nickname, p->pid)))](
              Connection& c) { c.deliver(text); });
    }
  }
  p->logged_in = true;
  p->nickname = nickname ? *nickname : uid;
  p->uid = std::move(uid);
  post_login_locked(*p);
}

void Simulation::logout() {
  std::lock_guard lock(mu_);
  Process* p = current_locked();
  if (!p) throw SimError("no client is running");
  if (!p->logged_in) return;
  p->logged_in = false;
  if (auto conn = connection_locked(p->client_id)) {
    conn->post([text = to_text(event(MT_USER_LOGOUT_MSG, login_data(p->uid, p->nickname, p->pid)))](
                   Connection& c) { c.deliver(text); });
  }
}

void Simulation::quit() {
  std::lock_guard lock(mu_);
  Process* p = current_locked();
  if (!p) throw SimError("no client is running");
  if (auto conn = connection_locked(p->client_id)) conn->close();
  if (current_pid_ == p->pid) current_pid_ = 0;
  processes_.erase(p->pid);
}

std::int64_t Simulation::spawn() {
  std::lock_guard lock(mu_);
  Process p;
  p.pid = next_pid_++;
  processes_.emplace(p.pid, p);
  return p.pid;
}

void Simulation::fail(std::string_view op, std::optional<std::string> text) {
  bool known = false;
  for (const char* name : kFailableOps) known = known || op == name;
  if (!known) throw SimError("unknown operation \"" + std::string(op) + "\"");
  std::lock_guard lock(mu_);
  if (text) {
    fail_[std::string(op)] = *text;
  } else {
    fail_.erase(std::string(op));
  }
}

void Simulation::answer(std::string_view op, std::optional<std::int64_t> result) {
  if (op != "attach" && op != "detach") {
    throw SimError("no forced answer for operation \"" + std::string(op) + "\"");
  }
  std::lock_guard lock(mu_);
  if (result) {
    answers_[std::string(op)] = *result;
  } else {
    answers_.erase(std::string(op));
  }
}

void Simulation::reply(std::int32_t code, std::int32_t mode, std::int64_t delay_ms) {
  if (code != 0 && (code < TAPWIRE_SEND_CODE_FIRST || code > TAPWIRE_SEND_CODE_LAST)) {
    throw SimError("unknown request code " + std::to_string(code));
  }
  if (mode < TAPWIRE_SIM_REPLY_NORMAL || mode > TAPWIRE_SIM_REPLY_MALFORMED) {
    throw SimError("unknown reply mode " + std::to_string(mode));
  }
  if (delay_ms < 0 || delay_ms > kMaxDelayMs) {
    throw SimError("delay_ms must be between 0 and " + std::to_string(kMaxDelayMs));
  }
  std::lock_guard lock(mu_);
  if (code == 0) reply_rules_.clear();
  reply_rules_[code] = ReplyRule{mode, delay_ms};
}

void Simulation::ready_delay(std::chrono::milliseconds delay) {
  if (delay.count() < 0 || delay.count() > kMaxDelayMs) {
    throw SimError("ready delay out of range 0.." + std::to_string(kMaxDelayMs) + " ms");
  }
  std::lock_guard lock(mu_);
  ready_delay_ = delay;
}

void Simulation::ready_before_open(bool enabled) {
  std::lock_guard lock(mu_);
  ready_before_open_ = enabled;
}

void Simulation::auto_login(bool enabled) {
  std::lock_guard lock(mu_);
  auto_login_ = enabled;
}

void Simulation::set_install_version(std::string version) {
  if (version.empty()) throw SimError("version must not be empty");
  std::lock_guard lock(mu_);
  install_version_ = std::move(version);
}

std::vector<std::string> Simulation::sent() {
  std::lock_guard lock(mu_);
  return {sent_.begin(), sent_.end()};
}

void Simulation::clear_sent() {
  std::lock_guard lock(mu_);
  sent_.clear();
}

Json Simulation::state() {
  std::lock_guard lock(mu_);
  Json out = Json::object();
  Process* p = current_locked();
  out["pid"] = p ? p->pid : 0;
  out["client_id"] = p ? p->client_id : 0;
  out["logged_in"] = p ? p->logged_in : false;
  out["uid"] = p && p->logged_in ? Json(p->uid) : Json(nullptr);
  Json processes = Json::array();
  for (const auto& [pid, proc] : processes_) {
    processes.push_back(Json{{"pid", pid},
                             {"client_id", proc.client_id},
                             {"logged_in", proc.logged_in},
                             {"uid", proc.logged_in ? Json(proc.uid) : Json(nullptr)}});
  }
  out["processes"] = std::move(processes);
  out["sent_total"] = sent_total_;
  out["callback_failures"] = callback_failures_.load();
  out["control_socket"] = control_ ? Json(control_->path()) : Json(nullptr);
  return out;
}

void Simulation::reset() {
  std::vector<std::shared_ptr<Connection>> conns;
  {
    std::lock_guard lock(mu_);
    for (auto& [id, conn] : connections_) conns.push_back(conn);
    connections_.clear();
    processes_.clear();
    current_pid_ = 0;
    fail_.clear();
    answers_.clear();
    reply_rules_.clear();
    ready_before_open_ = false;
    ready_delay_ = kReadyAfterReturn;
    auto_login_ = true;
    qr_requested_ = false;
    install_version_ = kDefaultInstallVersion;
    sent_.clear();
    sent_total_ = 0;
  }
  for (auto& conn : conns) conn->close();
  for (auto& conn : conns) conn->join();
  store_.reseed();
}

void Simulation::stop() {
  std::vector<std::shared_ptr<Connection>> conns;
  std::unique_ptr<ControlSocket> control;
  {
    std::lock_guard lock(mu_);
    // The socket thread cannot join itself, so stop is refused over the socket.
    if (control_ && control_->on_own_thread()) {
      throw SimError("stop cannot be run over the control socket");
    }
    for (auto& [id, conn] : connections_) conns.push_back(conn);
    connections_.clear();
    for (auto& [pid, proc] : processes_) proc.client_id = 0;
    control = std::move(control_);
  }
  for (auto& conn : conns) conn->stop();
  for (auto& conn : conns) conn->join();
  if (control) control->stop();
}

}  // namespace corvid::sim
