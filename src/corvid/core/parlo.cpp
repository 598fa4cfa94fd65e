#include "corvid/core/parlo.hpp"

#include <atomic>
#include <mutex>
#include <utility>

#include "corvid/core/client_manager.hpp"
#include "corvid/core/contact_sql.hpp"
#include "corvid/core/envelope.hpp"
#include "corvid/core/event_emitter.hpp"
#include "corvid/core/login_signal.hpp"
#include "corvid/core/probe_library.hpp"
#include "corvid/core/request_table.hpp"
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
  LoginSignal login;
  RequestTable requests;
  EventEmitter emitter;

  mutable std::mutex mutex;  // guards login_info and default_timeout
  Json login_info = Json::object();
  std::optional<double> default_timeout = kDefaultSyncTimeoutSeconds;
};

namespace {

std::shared_ptr<spdlog::logger> instance_log() {
  static auto* logger = new std::shared_ptr<spdlog::logger>(log::get("ParloInstance"));
  return *logger;
}

bool is_code(const Json& type, int code) {
  if (type.is_number_integer()) return type.get<std::int64_t>() == code;
  if (type.is_number_unsigned()) return type.get<std::uint64_t>() == static_cast<std::uint64_t>(code);
  if (type.is_number_float()) return type.get<double>() == code;
  return false;
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

bool Parlo::open(bool smart, bool show_login_qrcode) {
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
  return state_->probe.detach(pid);
}

bool Parlo::wait_login(std::optional<double> timeout_seconds) {
  instance_log()->info("wait login...");
  return state_->login.wait(timeout_seconds);
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
}

void Parlo::on_recv(const Json& message) {
  auto log = instance_log();
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
      request->on_response(message);
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

Json Parlo::send_sync(int code, const Json& data, std::optional<double> timeout_seconds) {
  auto request = std::make_shared<ReqData>(code, data, state_->client_id.load());
  const std::string id = state_->requests.add(request);
  try {
    send(code, data, id);
  } catch (...) {
    state_->requests.drop(id);
    throw;
  }
  Json result = request->wait_response(timeout_seconds);
  if (!request->answered()) state_->requests.abandon(id);
  return result;
}

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

Json Parlo::get_login_info() const {
  std::lock_guard lock(state_->mutex);
  return state_->login_info;
}

Json Parlo::get_self_info() { return send_sync(MT_GET_SELF_MSG, Json(), default_timeout()); }
Json Parlo::get_contacts() { return send_sync(MT_GET_CONTACTS_MSG, Json(), default_timeout()); }
Json Parlo::get_publics() { return send_sync(MT_GET_PUBLICS_MSG, Json(), default_timeout()); }

Json Parlo::get_contact_detail(const Json& uid) {
  Json data = Json::object();
  data["uid"] = uid;
  return send_sync(MT_GET_CONTACT_DETAIL_MSG, data, default_timeout());
}

Json Parlo::search_contacts(const std::optional<std::string>& uid,
                            const std::optional<std::string>& account,
                            const std::optional<std::string>& nickname,
                            const std::optional<std::string>& remark, const Json& fuzzy_search) {
  const auto statement = contact_search_sql(uid, account, nickname, remark, truthy(fuzzy_search));
  if (!statement) return Json::array();
  const Json reply = sql_query(*statement, 1);
  if (reply.is_null()) throw ParloRuntimeError("the contact search got no reply");
  if (!reply.is_object()) throw TypeError(std::string("a search reply must be an object, not ") +
                                          reply.type_name());
  if (reply.empty()) return Json::array();
  auto rows = reply.find("result");
  if (rows == reply.end()) throw KeyError("result");
  if (rows->is_null()) return Json::array();
  if (!rows->is_array()) throw TypeError(std::string("\"result\" must be a list, not ") +
                                         rows->type_name());
  // Every row is checked before the first detail request, so a malformed reply costs nothing.
  std::vector<Json> ids;
  for (const Json& row : *rows) {
    if (!row.is_array()) throw TypeError(std::string("a result row must be a list, not ") +
                                         row.type_name());
    if (row.empty()) continue;
    if (!row[0].is_string() && !row[0].is_null()) {
      throw TypeError(std::string("an account id must be text, not ") + row[0].type_name());
    }
    ids.push_back(row[0]);
  }
  Json out = Json::array();
  for (const Json& id : ids) out.push_back(get_contact_detail(id));
  return out;
}

Json Parlo::get_rooms() { return send_sync(MT_GET_ROOMS_MSG, Json(), default_timeout()); }

Json Parlo::get_room_detail(const Json& room_uid) {
  Json data = Json::object();
  data["room_uid"] = room_uid;
  return send_sync(MT_GET_ROOM_DETAIL_MSG, data, default_timeout());
}

Json Parlo::get_room_members(const std::string& room_uid) {
  Json data = Json::object();
  data["room_uid"] = room_uid;
  return send_sync(MT_GET_ROOM_MEMBERS_MSG, data, default_timeout());
}

std::optional<std::string> Parlo::get_room_name(const std::string& room_uid) {
  const Json reply = sql_query(room_name_sql(room_uid), 1);
  if (reply.is_null()) throw ParloRuntimeError("the room name lookup got no reply");
  if (!reply.is_object()) throw TypeError(std::string("a lookup reply must be an object, not ") +
                                          reply.type_name());
  auto rows = reply.find("result");
  if (rows == reply.end()) throw KeyError("result");
  if (rows->is_null() || (rows->is_array() && rows->empty())) return std::string();
  if (!rows->is_array()) throw TypeError(std::string("\"result\" must be a list, not ") +
                                         rows->type_name());
  const Json& row = rows->front();
  if (!row.is_array()) throw TypeError(std::string("a result row must be a list, not ") +
                                       row.type_name());
  if (row.empty()) throw IndexError("the first result row has no column");
  const Json& name = row.front();
  if (name.is_null()) return std::nullopt;
  if (!name.is_string()) throw TypeError(std::string("a room name must be text, not ") +
                                         name.type_name());
  return name.get<std::string>();
}

Json Parlo::sql_query(const std::string& sql, std::int64_t db) {
  Json data = Json::object();
  data["sql"] = sql;
  data["db"] = db;
  return send_sync(MT_SQL_QUERY_MSG, data, default_timeout());
}

// ---- commands -------------------------------------------------------------------------------

namespace {

Json object_of(std::initializer_list<std::pair<const char*, Json>> items) {
  Json data = Json::object();
  for (const auto& [key, value] : items) data[key] = value;
  return data;
}

}  // namespace

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
  return send(MT_SEND_XML_MSG, object_of({{"to_uid", to_uid}, {"xml", xml}, {"app_type", app_type}}));
}

std::int64_t Parlo::create_room(const Json& member_list) {
  require_list(member_list, "member_list");
  return send(MT_CREATE_ROOM_MSG, member_list);
}

std::int64_t Parlo::quit_room(const std::string& room_uid) {
  return send(MT_QUIT_DEL_ROOM_MSG, object_of({{"room_uid", room_uid}}));
}

Json Parlo::send_pat(const std::string& room_uid, const std::string& patted_uid) {
  return send_sync(MT_SEND_PAT_MSG, object_of({{"room_uid", room_uid}, {"patted_uid", patted_uid}}),
                   default_timeout());
}

Json Parlo::accept_friend_request(const std::string& encryptusername, const std::string& ticket,
                                  std::int64_t scene) {
  return send_sync(MT_ACCEPT_FRIEND_MSG,
                   object_of({{"encryptusername", encryptusername},
                              {"ticket", ticket},
                              {"scene", scene}}),
                   default_timeout());
}

Json Parlo::add_room_member(const std::string& room_uid, const Json& member_list) {
  require_list(member_list, "member_list");
  return send_sync(MT_ADD_TO_ROOM_MSG,
                   object_of({{"room_uid", room_uid}, {"member_list", member_list}}),
                   default_timeout());
}

Json Parlo::invite_room_member(const std::string& room_uid, const Json& member_list) {
  require_list(member_list, "member_list");
  return send_sync(MT_INVITE_TO_ROOM_MSG,
                   object_of({{"room_uid", room_uid}, {"member_list", member_list}}),
                   default_timeout());
}

Json Parlo::del_room_member(const std::string& room_uid, const Json& member_list) {
  require_list(member_list, "member_list");
  return send_sync(MT_DEL_ROOM_MEMBER_MSG,
                   object_of({{"room_uid", room_uid}, {"member_list", member_list}}),
                   default_timeout());
}

Json Parlo::modify_room_name(const std::string& room_uid, const std::string& name) {
  return send_sync(MT_MOD_ROOM_NAME_MSG, object_of({{"room_uid", room_uid}, {"name", name}}),
                   default_timeout());
}

Json Parlo::modify_room_notice(const std::string& room_uid, const std::string& notice) {
  return send_sync(MT_MOD_ROOM_NOTICE_MSG, object_of({{"room_uid", room_uid}, {"notice", notice}}),
                   default_timeout());
}

Json Parlo::add_room_friend(const std::string& room_uid, const std::string& uid,
                            const std::string& verify) {
  return send_sync(MT_ADD_FRIEND_MSG,
                   object_of({{"room_uid", room_uid},
                              {"uid", uid},
                              {"source_type", 14},
                              {"remark", verify}}),
                   default_timeout());
}

Json Parlo::modify_friend_remark(const std::string& uid, const std::string& remark) {
  return send_sync(MT_MODIFY_FRIEND_REMARK, object_of({{"uid", uid}, {"remark", remark}}),
                   default_timeout());
}

}  // namespace corvid::core
