#include "corvid/core/parlo.hpp"

#include <atomic>
#include <cmath>
#include <mutex>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "corvid/core/client_manager.hpp"
#include "corvid/core/contact_sql.hpp"
#include "corvid/core/envelope.hpp"
#include "corvid/core/event_emitter.hpp"
#include "corvid/core/login_signal.hpp"
#include "corvid/core/probe_library.hpp"
#include "corvid/core/request_table.hpp"
#include "corvid/utils/bounded_count.hpp"
#include "corvid/utils/errors.hpp"
#include "corvid/utils/log.hpp"
#include "tapwire/tapwire.h"

namespace corvid::core {

struct Parlo::State {
  State(ParloMgr& manager, BindingProbe& probe) : manager(manager), probe(probe) {}

  ParloMgr& manager;
  BindingProbe& probe;
  std::atomic<std::int64_t> client_id{0};
  std::atomic<std::int64_t> pid{0};
  std::atomic<bool> status{false};
  std::atomic<bool> login_status{false};
  // The probe detached from the bound client; its close may still be on the way.
  std::atomic<bool> detached{false};
  // Opens and attaches running now: at most one, or two could each leave a client behind.
  std::atomic<std::size_t> starting{0};
  LoginSignal login;
  RequestTable requests;
  EventEmitter emitter;

  std::atomic<std::size_t> awaiting{0};  // async_send_sync calls between their send and end
  std::atomic<std::size_t> awaiting_limit{kDefaultAwaitingLimit};

  mutable std::mutex mutex;  // guards login_info and default_timeout
  Json login_info = Json::object();
  std::optional<double> default_timeout = kDefaultSyncTimeoutSeconds;
};

namespace {

namespace asio = boost::asio;

// A reference, not a copy: every send asks for it, and a copy's count is one cache line that
// all loop threads would write.
const std::shared_ptr<spdlog::logger>& instance_log() {
  static auto* logger = new std::shared_ptr<spdlog::logger>(log::get("ParloInstance"));
  return *logger;
}

void require_list(const Json& value, const char* name) {
  if (!value.is_array()) {
    throw TypeError(std::string(name) + " must be a list, not " + value.type_name());
  }
}

Json field_or_none(const Json& object, const char* key) {
  if (!object.is_object()) return Json();
  auto it = object.find(key);
  return it == object.end() ? Json() : *it;
}

}  // namespace

Parlo& Parlo::create() {
  ParloMgr& manager = ParloMgr::instance();
  auto* binding = new Parlo();  // never deleted: the manager and the probe keep pointers
  binding->state_ = new State(manager, binding_probe());
  manager.append_instance(binding);
  return *binding;
}

Parlo::Parlo() : state_(nullptr) {}
Parlo::~Parlo() = default;

std::int64_t Parlo::pid() const { return state_->pid.load(); }
std::int64_t Parlo::client_id() const { return state_->client_id.load(); }
bool Parlo::status() const { return state_->status.load(); }
bool Parlo::login_status() const { return state_->login_status.load(); }

std::string Parlo::to_string() const {
  return "ParloInstance(pid: " + std::to_string(pid()) +
         ", client_id: " + std::to_string(client_id()) + ")";
}

// ---- lifecycle ------------------------------------------------------------------------------

std::optional<std::int64_t> Parlo::driven_pid() const {
  if (!state_->status.load() || state_->detached.load()) return std::nullopt;
  return state_->pid.load();
}

namespace {

// A binding runs one open or attach at a time; another one meanwhile fails at once.
void require_start_slot(const BoundedSlot& slot) {
  if (!slot) throw ParloRuntimeError("another open or attach of the client is running");
}

}  // namespace

bool Parlo::open(bool smart, bool show_login_qrcode) {
  const BoundedSlot slot(state_->starting, 1);
  require_start_slot(slot);
  // A second client would be one more process that nothing drives, and the pid it gives
  // would take the place of the driven client's: that one stays.
  if (const auto driven = driven_pid()) {
    instance_log()->info("open parlo: pid {} is driven already, nothing started", *driven);
    return true;
  }
  state_->manager.arm(this);
  if (show_login_qrcode) state_->probe.show_login_qrcode();
  const std::int64_t pid = state_->probe.open(smart);
  state_->pid.store(pid);
  instance_log()->info("open parlo pid: {}", pid);
  // The probe may have reported the client before open returned its pid.
  state_->manager.arm(this);
  return pid != 0;
}

std::int64_t Parlo::attach(std::int64_t pid) {
  instance_log()->info("attach parlo pid: {}", pid);
  const BoundedSlot slot(state_->starting, 1);
  require_start_slot(slot);
  if (const auto driven = driven_pid()) {
    if (*driven == pid) {
      instance_log()->info("attach parlo: pid {} is driven already", pid);
      return 1;  // what a probe answers for an attach it made
    }
    throw ParloRuntimeError("the client of pid " + std::to_string(*driven) +
                            " is driven; detach it before attaching to pid " + std::to_string(pid));
  }
  // The pid is taken only once the probe has attached: a refused attach, or one that finds
  // no such client (0), leaves the binding on the client it had, so a ready still expected
  // from an opened client keeps its match. A ready of the new client that arrives before
  // attach returns is remembered by the manager and claimed by arm() below.
  const std::int64_t result = state_->probe.attach(pid);
  if (result == 0) return result;
  state_->pid.store(pid);
  state_->manager.arm(this);
  return result;
}

std::int64_t Parlo::detach() {
  const std::int64_t pid = state_->pid.load();
  instance_log()->info("detach parlo pid: {}", pid);
  const std::int64_t result = state_->probe.detach(pid);
  if (result != 0) state_->detached.store(true);
  return result;
}

bool Parlo::wait_login(std::optional<double> timeout_seconds) {
  instance_log()->info("wait login...");
  return state_->login.wait(timeout_seconds);
}

asio::awaitable<bool> Parlo::async_wait_login(std::optional<double> timeout_seconds) {
  instance_log()->info("wait login...");
  // As the blocking wait: no time, a negative one or no number is no wait; beyond about three
  // years there is no limit (rather than a clock overflow).
  constexpr double kUnlimitedSeconds = 1e8;
  auto executor = co_await asio::this_coro::executor;
  auto strand = asio::make_strand(executor);
  auto timer = std::make_shared<asio::steady_timer>(strand);
  if (!timeout_seconds || *timeout_seconds >= kUnlimitedSeconds) {
    timer->expires_at(asio::steady_timer::time_point::max());
  } else {
    const double seconds =
        std::isnan(*timeout_seconds) || *timeout_seconds < 0 ? 0.0 : *timeout_seconds;
    timer->expires_after(std::chrono::duration_cast<asio::steady_timer::duration>(
        std::chrono::duration<double>(seconds)));
  }
  auto arrived = std::make_shared<std::atomic<bool>>(false);
  const LoginToken token = when_logged_in([timer, arrived, strand] {
    arrived->store(true);
    asio::post(strand, [timer] { timer->cancel(); });
  });
  // The check and the wait run on the strand that also runs the cancel, so a login between
  // them cannot be missed.
  auto wait = [timer, arrived]() -> asio::awaitable<void> {
    if (arrived->load()) co_return;
    co_await timer->async_wait(asio::as_tuple(asio::use_awaitable));
  };
  co_await asio::co_spawn(strand, std::move(wait), asio::use_awaitable);
  if (!arrived->load()) cancel_login_wait(token);
  co_return login_status();
}

LoginToken Parlo::when_logged_in(std::function<void()> f) {
  return state_->login.subscribe(std::move(f));
}

bool Parlo::cancel_login_wait(LoginToken token) { return state_->login.cancel(token); }

// ---- events ---------------------------------------------------------------------------------

void Parlo::on(int code, std::string handler_name, EventHandler f) {
  state_->emitter.on(std::to_string(code), std::move(handler_name), std::move(f));
}

void Parlo::on(const std::vector<int>& codes, std::string handler_name, EventHandler f) {
  for (int code : codes) on(code, handler_name, f);
}

void Parlo::on(std::string_view event_name, std::string handler_name, EventHandler f) {
  state_->emitter.on(std::string(event_name), std::move(handler_name), std::move(f));
}

void Parlo::bind_client_id(std::int64_t client_id) {
  state_->status.store(true);
  state_->client_id.store(client_id);
  state_->detached.store(false);
}

void Parlo::on_recv(Json message) {
  const auto& log = instance_log();
  if (log->should_log(spdlog::level::debug)) {
    log->debug("on recv message: {}", value_text(message));
  }
  if (!message.is_object()) throw TypeError("a probe message must be a JSON object");
  auto type_it = message.find("type");
  if (type_it == message.end()) throw KeyError("type");
  const Json& type = *type_it;

  if (is_code(type, MT_USER_LOGIN_MSG)) {
    state_->login_status.store(true);
    // A login without usable "data" still counts as a login: its info is empty.
    auto data = message.find("data");
    Json info = (data != message.end() && data->is_object()) ? *data : Json::object();
    const std::string uid = value_text(field_or_none(info, "uid"));
    const std::string nickname = value_text(field_or_none(info, "nickname"));
    {
      std::lock_guard lock(state_->mutex);
      state_->login_info = std::move(info);
    }
    state_->login.set();
    log->info("login success, uid: {}, nickname: {}", uid, nickname);
  } else if (is_code(type, MT_USER_LOGOUT_MSG)) {
    state_->login_status.store(false);
    state_->login.clear();
    log->info("logout, pid: {}", state_->pid.load());
  }

  if (auto ext = message.find("extend"); ext != message.end() && ext->is_string()) {
    if (auto request = state_->requests.take(ext->get_ref<const std::string&>())) {
      request->on_response(std::move(message));
      return;
    }
  }
  state_->emitter.emit(event_name(type), *this, message);
  state_->emitter.emit(std::to_string(MT_ALL), *this, message);
}

void Parlo::on_close() {
  state_->login_status.store(false);
  state_->status.store(false);
  state_->login.clear();
  // Requests sent over the closed connection can never be answered: end their waits now.
  state_->requests.close_client(state_->client_id.load());
  Json quit = Json::object();
  quit["type"] = MT_RECV_PARLO_QUIT_MSG;
  quit["data"] = Json::object();
  state_->emitter.emit(std::to_string(MT_RECV_PARLO_QUIT_MSG), *this, quit);
  state_->emitter.emit(std::to_string(MT_ALL), *this, quit);
}

// ---- requests -------------------------------------------------------------------------------

std::int64_t Parlo::send(int code, const Json& data, const std::optional<std::string>& extend) {
  if (!state_->login_status.load()) throw ParloNotLoginError();
  const Json envelope = build_envelope(code, data, extend);
  const std::string text = envelope_text(envelope);
  instance_log()->debug("communicate parlo pid: {},  data: {}", state_->pid.load(), text);
  return state_->probe.send(state_->client_id.load(), text);
}

std::pair<std::shared_ptr<ReqData>, std::string> Parlo::send_request(int code, const Json& data) {
  auto request = std::make_shared<ReqData>(code, data, state_->client_id.load());
  const std::string id = state_->requests.add(request);
  try {
    send(code, data, id);
  } catch (...) {
    state_->requests.drop(id);
    throw;
  }
  return {std::move(request), id};
}

void Parlo::end_request(const ReqData& request, const std::string& id) {
  if (!request.answered()) state_->requests.abandon(id);
}

Json Parlo::send_sync(int code, const Json& data, std::optional<double> timeout_seconds) {
  const auto [request, id] = send_request(code, data);
  Json result = request->wait_response(timeout_seconds);
  end_request(*request, id);
  return result;
}

asio::awaitable<Json> Parlo::async_send_sync(int code, Json data,
                                             std::optional<double> timeout_seconds) {
  // Each awaiting request costs only its entry and a timer, but a client that stopped
  // answering must not collect them without end: past the limit a request fails at once.
  const std::size_t limit = state_->awaiting_limit.load();
  const BoundedSlot slot(state_->awaiting, limit);
  if (!slot) {
    throw ParloRuntimeError("too many requests awaiting the client's reply (limit " +
                            std::to_string(limit) + ")");
  }

  const auto [request, id] = send_request(code, data);
  Json result = co_await request->async_wait_response(timeout_seconds);
  end_request(*request, id);
  co_return result;
}

void Parlo::set_awaiting_limit(std::size_t limit) { state_->awaiting_limit.store(limit); }
std::size_t Parlo::awaiting_limit() const { return state_->awaiting_limit.load(); }
std::size_t Parlo::awaiting_requests() const { return state_->awaiting.load(); }

void Parlo::set_default_timeout(std::optional<double> timeout_seconds) {
  std::lock_guard lock(state_->mutex);
  state_->default_timeout = timeout_seconds;
}

std::optional<double> Parlo::default_timeout() const {
  std::lock_guard lock(state_->mutex);
  return state_->default_timeout;
}

std::size_t Parlo::pending_requests() const { return state_->requests.size(); }

// ---- queries --------------------------------------------------------------------------------

namespace {

Json object_of(std::initializer_list<std::pair<const char*, Json>> items) {
  Json data = Json::object();
  for (const auto& [key, value] : items) data[key] = value;
  return data;
}

// One request of the sync path, built once for both ways of waiting for it.
struct Outgoing {
  int code;
  Json data;
};

Json ask(Parlo& parlo, Outgoing request) {
  return parlo.send_sync(request.code, request.data, parlo.default_timeout());
}

asio::awaitable<Json> ask_async(Parlo& parlo, Outgoing request) {
  return parlo.async_send_sync(request.code, std::move(request.data), parlo.default_timeout());
}

Outgoing contact_detail_request(const Json& uid) {
  return {MT_GET_CONTACT_DETAIL_MSG, object_of({{"uid", uid}})};
}
Outgoing room_detail_request(const Json& room_uid) {
  return {MT_GET_ROOM_DETAIL_MSG, object_of({{"room_uid", room_uid}})};
}
Outgoing room_members_request(const std::string& room_uid) {
  return {MT_GET_ROOM_MEMBERS_MSG, object_of({{"room_uid", room_uid}})};
}
Outgoing sql_request(const std::string& sql, std::int64_t db) {
  return {MT_SQL_QUERY_MSG, object_of({{"sql", sql}, {"db", db}})};
}
Outgoing pat_request(const std::string& room_uid, const std::string& patted_uid) {
  return {MT_SEND_PAT_MSG, object_of({{"room_uid", room_uid}, {"patted_uid", patted_uid}})};
}
Outgoing accept_friend_request_of(const std::string& encryptusername, const std::string& ticket,
                                  std::int64_t scene) {
  return {MT_ACCEPT_FRIEND_MSG,
          object_of({{"encryptusername", encryptusername}, {"ticket", ticket}, {"scene", scene}})};
}
Outgoing member_request(int code, const std::string& room_uid, const Json& member_list) {
  require_list(member_list, "member_list");
  return {code, object_of({{"room_uid", room_uid}, {"member_list", member_list}})};
}
Outgoing room_name_change(const std::string& room_uid, const std::string& name) {
  return {MT_MOD_ROOM_NAME_MSG, object_of({{"room_uid", room_uid}, {"name", name}})};
}
Outgoing room_notice_change(const std::string& room_uid, const std::string& notice) {
  return {MT_MOD_ROOM_NOTICE_MSG, object_of({{"room_uid", room_uid}, {"notice", notice}})};
}
Outgoing room_friend_request(const std::string& room_uid, const std::string& uid,
                             const std::string& verify) {
  return {
      MT_ADD_FRIEND_MSG,
      object_of({{"room_uid", room_uid}, {"uid", uid}, {"source_type", 14}, {"remark", verify}})};
}
Outgoing remark_change(const std::string& uid, const std::string& remark) {
  return {MT_MODIFY_FRIEND_REMARK, object_of({{"uid", uid}, {"remark", remark}})};
}

// The account ids a contact search found. Every row is checked before the first detail
// request, so a malformed reply costs nothing.
std::vector<Json> search_result_ids(const Json& reply) {
  if (reply.is_null()) throw ParloRuntimeError("the contact search got no reply");
  if (!reply.is_object())
    throw TypeError(std::string("a search reply must be an object, not ") + reply.type_name());
  std::vector<Json> ids;
  if (reply.empty()) return ids;
  auto rows = reply.find("result");
  if (rows == reply.end()) throw KeyError("result");
  if (rows->is_null()) return ids;
  if (!rows->is_array())
    throw TypeError(std::string("\"result\" must be a list, not ") + rows->type_name());
  for (const Json& row : *rows) {
    if (!row.is_array())
      throw TypeError(std::string("a result row must be a list, not ") + row.type_name());
    if (row.empty()) continue;
    if (!row[0].is_string() && !row[0].is_null()) {
      throw TypeError(std::string("an account id must be text, not ") + row[0].type_name());
    }
    ids.push_back(row[0]);
  }
  return ids;
}

// The stored name in a room-name lookup's reply: "" when no row matches, nullopt for null.
std::optional<std::string> room_name_of(const Json& reply) {
  if (reply.is_null()) throw ParloRuntimeError("the room name lookup got no reply");
  if (!reply.is_object())
    throw TypeError(std::string("a lookup reply must be an object, not ") + reply.type_name());
  auto rows = reply.find("result");
  if (rows == reply.end()) throw KeyError("result");
  if (rows->is_null() || (rows->is_array() && rows->empty())) return std::string();
  if (!rows->is_array())
    throw TypeError(std::string("\"result\" must be a list, not ") + rows->type_name());
  const Json& row = rows->front();
  if (!row.is_array())
    throw TypeError(std::string("a result row must be a list, not ") + row.type_name());
  if (row.empty()) throw IndexError("the first result row has no column");
  const Json& name = row.front();
  if (name.is_null()) return std::nullopt;
  if (!name.is_string())
    throw TypeError(std::string("a room name must be text, not ") + name.type_name());
  return name.get<std::string>();
}

}  // namespace

Json Parlo::get_login_info() const {
  std::lock_guard lock(state_->mutex);
  return state_->login_info;
}

Json Parlo::get_self_info() { return ask(*this, {MT_GET_SELF_MSG, Json()}); }
Json Parlo::get_contacts() { return ask(*this, {MT_GET_CONTACTS_MSG, Json()}); }
Json Parlo::get_publics() { return ask(*this, {MT_GET_PUBLICS_MSG, Json()}); }
Json Parlo::get_contact_detail(const Json& uid) { return ask(*this, contact_detail_request(uid)); }

Json Parlo::search_contacts(const std::optional<std::string>& uid,
                            const std::optional<std::string>& account,
                            const std::optional<std::string>& nickname,
                            const std::optional<std::string>& remark, const Json& fuzzy_search) {
  const auto statement = contact_search_sql(uid, account, nickname, remark, truthy(fuzzy_search));
  if (!statement) return Json::array();
  const std::vector<Json> ids = search_result_ids(sql_query(*statement, 1));
  Json out = Json::array();
  for (const Json& id : ids) out.push_back(get_contact_detail(id));
  return out;
}

Json Parlo::get_rooms() { return ask(*this, {MT_GET_ROOMS_MSG, Json()}); }
Json Parlo::get_room_detail(const Json& room_uid) {
  return ask(*this, room_detail_request(room_uid));
}
Json Parlo::get_room_members(const std::string& room_uid) {
  return ask(*this, room_members_request(room_uid));
}

std::optional<std::string> Parlo::get_room_name(const std::string& room_uid) {
  return room_name_of(sql_query(room_name_sql(room_uid), 1));
}

Json Parlo::sql_query(const std::string& sql, std::int64_t db) {
  return ask(*this, sql_request(sql, db));
}

asio::awaitable<Json> Parlo::async_get_self_info() {
  return ask_async(*this, {MT_GET_SELF_MSG, Json()});
}
asio::awaitable<Json> Parlo::async_get_contacts() {
  return ask_async(*this, {MT_GET_CONTACTS_MSG, Json()});
}
asio::awaitable<Json> Parlo::async_get_publics() {
  return ask_async(*this, {MT_GET_PUBLICS_MSG, Json()});
}
asio::awaitable<Json> Parlo::async_get_contact_detail(Json uid) {
  return ask_async(*this, contact_detail_request(uid));
}

asio::awaitable<Json> Parlo::async_search_contacts(std::optional<std::string> uid,
                                                   std::optional<std::string> account,
                                                   std::optional<std::string> nickname,
                                                   std::optional<std::string> remark,
                                                   Json fuzzy_search) {
  const auto statement = contact_search_sql(uid, account, nickname, remark, truthy(fuzzy_search));
  if (!statement) co_return Json::array();
  std::string sql = *statement;
  const Json reply = co_await async_sql_query(std::move(sql), 1);
  const std::vector<Json> ids = search_result_ids(reply);
  Json out = Json::array();
  for (const Json& id : ids) {
    Json uid_value = id;
    Json detail = co_await async_get_contact_detail(std::move(uid_value));
    out.push_back(std::move(detail));
  }
  co_return out;
}

asio::awaitable<Json> Parlo::async_get_rooms() {
  return ask_async(*this, {MT_GET_ROOMS_MSG, Json()});
}
asio::awaitable<Json> Parlo::async_get_room_detail(Json room_uid) {
  return ask_async(*this, room_detail_request(room_uid));
}
asio::awaitable<Json> Parlo::async_get_room_members(std::string room_uid) {
  return ask_async(*this, room_members_request(room_uid));
}

asio::awaitable<std::optional<std::string>> Parlo::async_get_room_name(std::string room_uid) {
  std::string sql = room_name_sql(room_uid);
  const Json reply = co_await async_sql_query(std::move(sql), 1);
  co_return room_name_of(reply);
}

asio::awaitable<Json> Parlo::async_sql_query(std::string sql, std::int64_t db) {
  return ask_async(*this, sql_request(sql, db));
}

// ---- commands -------------------------------------------------------------------------------

std::int64_t Parlo::send_text(const std::string& to_uid, const std::string& content) {
  return send(MT_SEND_TEXT_MSG, object_of({{"to_uid", to_uid}, {"content", content}}));
}

std::int64_t Parlo::send_room_at_msg(const std::string& to_uid, const std::string& content,
                                     const Json& at_list) {
  require_list(at_list, "at_list");
  return send(MT_SEND_ROOM_AT_MSG,
              object_of({{"to_uid", to_uid}, {"content", content}, {"at_list", at_list}}));
}

std::int64_t Parlo::send_card(const std::string& to_uid, const std::string& card_uid) {
  return send(MT_SEND_CARD_MSG, object_of({{"to_uid", to_uid}, {"card_uid", card_uid}}));
}

std::int64_t Parlo::send_link_card(const std::string& to_uid, const std::string& title,
                                   const std::string& desc, const std::string& url,
                                   const std::string& image_url) {
  return send(MT_SEND_LINK_MSG, object_of({{"to_uid", to_uid},
                                           {"title", title},
                                           {"desc", desc},
                                           {"url", url},
                                           {"image_url", image_url}}));
}

std::int64_t Parlo::send_image(const std::string& to_uid, const std::string& file_path) {
  return send(MT_SEND_IMAGE_MSG, object_of({{"to_uid", to_uid}, {"file", file_path}}));
}

std::int64_t Parlo::send_file(const std::string& to_uid, const std::string& file_path) {
  return send(MT_SEND_FILE_MSG, object_of({{"to_uid", to_uid}, {"file", file_path}}));
}

std::int64_t Parlo::send_video(const std::string& to_uid, const std::string& file_path) {
  return send(MT_SEND_VIDEO_MSG, object_of({{"to_uid", to_uid}, {"file", file_path}}));
}

std::int64_t Parlo::send_gif(const Json& to_uid, const Json& file) {
  return send(MT_SEND_GIF_MSG, object_of({{"to_uid", to_uid}, {"file", file}}));
}

std::int64_t Parlo::send_xml(const Json& to_uid, const Json& xml, const Json& app_type) {
  return send(MT_SEND_XML_MSG,
              object_of({{"to_uid", to_uid}, {"xml", xml}, {"app_type", app_type}}));
}

std::int64_t Parlo::create_room(const Json& member_list) {
  require_list(member_list, "member_list");
  return send(MT_CREATE_ROOM_MSG, member_list);
}

std::int64_t Parlo::quit_room(const std::string& room_uid) {
  return send(MT_QUIT_DEL_ROOM_MSG, object_of({{"room_uid", room_uid}}));
}

Json Parlo::send_pat(const std::string& room_uid, const std::string& patted_uid) {
  return ask(*this, pat_request(room_uid, patted_uid));
}
Json Parlo::accept_friend_request(const std::string& encryptusername, const std::string& ticket,
                                  std::int64_t scene) {
  return ask(*this, accept_friend_request_of(encryptusername, ticket, scene));
}
Json Parlo::add_room_member(const std::string& room_uid, const Json& member_list) {
  return ask(*this, member_request(MT_ADD_TO_ROOM_MSG, room_uid, member_list));
}
Json Parlo::invite_room_member(const std::string& room_uid, const Json& member_list) {
  return ask(*this, member_request(MT_INVITE_TO_ROOM_MSG, room_uid, member_list));
}
Json Parlo::del_room_member(const std::string& room_uid, const Json& member_list) {
  return ask(*this, member_request(MT_DEL_ROOM_MEMBER_MSG, room_uid, member_list));
}
Json Parlo::modify_room_name(const std::string& room_uid, const std::string& name) {
  return ask(*this, room_name_change(room_uid, name));
}
Json Parlo::modify_room_notice(const std::string& room_uid, const std::string& notice) {
  return ask(*this, room_notice_change(room_uid, notice));
}
Json Parlo::add_room_friend(const std::string& room_uid, const std::string& uid,
                            const std::string& verify) {
  return ask(*this, room_friend_request(room_uid, uid, verify));
}
Json Parlo::modify_friend_remark(const std::string& uid, const std::string& remark) {
  return ask(*this, remark_change(uid, remark));
}

asio::awaitable<Json> Parlo::async_send_pat(std::string room_uid, std::string patted_uid) {
  return ask_async(*this, pat_request(room_uid, patted_uid));
}
asio::awaitable<Json> Parlo::async_accept_friend_request(std::string encryptusername,
                                                         std::string ticket, std::int64_t scene) {
  return ask_async(*this, accept_friend_request_of(encryptusername, ticket, scene));
}
asio::awaitable<Json> Parlo::async_add_room_member(std::string room_uid, Json member_list) {
  return ask_async(*this, member_request(MT_ADD_TO_ROOM_MSG, room_uid, member_list));
}
asio::awaitable<Json> Parlo::async_invite_room_member(std::string room_uid, Json member_list) {
  return ask_async(*this, member_request(MT_INVITE_TO_ROOM_MSG, room_uid, member_list));
}
asio::awaitable<Json> Parlo::async_del_room_member(std::string room_uid, Json member_list) {
  return ask_async(*this, member_request(MT_DEL_ROOM_MEMBER_MSG, room_uid, member_list));
}
asio::awaitable<Json> Parlo::async_modify_room_name(std::string room_uid, std::string name) {
  return ask_async(*this, room_name_change(room_uid, name));
}
asio::awaitable<Json> Parlo::async_modify_room_notice(std::string room_uid, std::string notice) {
  return ask_async(*this, room_notice_change(room_uid, notice));
}
asio::awaitable<Json> Parlo::async_add_room_friend(std::string room_uid, std::string uid,
                                                   std::string verify) {
  return ask_async(*this, room_friend_request(room_uid, uid, verify));
}
asio::awaitable<Json> Parlo::async_modify_friend_remark(std::string uid, std::string remark) {
  return ask_async(*this, remark_change(uid, remark));
}

}  // namespace corvid::core
