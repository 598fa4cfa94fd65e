#include "corvid/app/parlo_service.hpp"

#include <cxxabi.h>
#include <array>
#include <chrono>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include <fmt/format.h>
#include <tapwire/tapwire.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "corvid/core/envelope.hpp"
#include "corvid/core/parlo.hpp"
#include "corvid/utils/bounded_count.hpp"
#include "corvid/utils/console.hpp"
#include "corvid/utils/errors.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app {
namespace asio = boost::asio;

namespace {

const std::shared_ptr<spdlog::logger>& service_log() {
  static const auto* logger = new std::shared_ptr<spdlog::logger>(log::get("parlo_service"));
  return *logger;
}

enum class HandlerKind { relay, login, logout };

struct HandlerRow {
  const char* name;
  int code;
  HandlerKind kind;
};

// Registration order. on_ready never runs: the manager keeps the ready message for itself.
constexpr std::array<HandlerRow, 27> kHandlerTable = {{
    {"on_recv_text_msg", MT_RECV_TEXT_MSG, HandlerKind::relay},
    {"on_recv_image_msg", MT_RECV_IMAGE_MSG, HandlerKind::relay},
    {"on_recv_voice_msg", MT_RECV_VOICE_MSG, HandlerKind::relay},
    {"on_recv_video_msg", MT_RECV_VIDEO_MSG, HandlerKind::relay},
    {"on_recv_file_msg", MT_RECV_FILE_MSG, HandlerKind::relay},
    {"on_recv_emoji_msg", MT_RECV_EMOJI_MSG, HandlerKind::relay},
    {"on_recv_card_msg", MT_RECV_CARD_MSG, HandlerKind::relay},
    {"on_recv_location_msg", MT_RECV_LOCATION_MSG, HandlerKind::relay},
    {"on_recv_link_msg", MT_RECV_LINK_MSG, HandlerKind::relay},
    {"on_recv_miniapp_msg", MT_RECV_MINIAPP_MSG, HandlerKind::relay},
    {"on_recv_pay_msg", MT_RECV_PAY_MSG, HandlerKind::relay},
    {"on_system_msg", MT_RECV_SYSTEM_MSG, HandlerKind::relay},
    {"on_revoke_msg", MT_RECV_REVOKE_MSG, HandlerKind::relay},
    {"on_recv_other_msg", MT_RECV_OTHER_MSG, HandlerKind::relay},
    {"on_recv_other_app_msg", MT_RECV_OTHER_APP_MSG, HandlerKind::relay},
    {"on_friend_request", MT_RECV_FRIEND_MSG, HandlerKind::relay},
    {"on_contact_add_notify", MT_CONTACT_ADD_NOITFY_MSG, HandlerKind::relay},
    {"on_contact_del_notify", MT_CONTACT_DEL_NOTIFY_MSG, HandlerKind::relay},
    {"on_room_add_member_notify", MT_ROOM_ADD_MEMBER_NOTIFY_MSG, HandlerKind::relay},
    {"on_room_del_member_notify", MT_ROOM_DEL_MEMBER_NOTIFY_MSG, HandlerKind::relay},
    {"on_room_create_notify", MT_ROOM_CREATE_NOTIFY_MSG, HandlerKind::relay},
    {"on_room_del_notify", MT_ROOM_DEL_NOTIFY_MSG, HandlerKind::relay},
    {"on_login", MT_USER_LOGIN_MSG, HandlerKind::login},
    {"on_logout", MT_USER_LOGOUT_MSG, HandlerKind::logout},
    {"on_ready", MT_READY_MSG, HandlerKind::relay},
    {"on_parlo_quit", MT_RECV_PARLO_QUIT_MSG, HandlerKind::relay},
    {"on_login_qrcode", MT_RECV_LOGIN_QRCODE_MSG, HandlerKind::relay},
}};

// True when the binding dispatched this event under one of the table's codes: it files handlers
// under the decimal text of their code and emits each event under event_name of its type, so
// the same naming decides here (a text "11046" reaches on_recv_text_msg too). Anything else
// reaches no handler of its own, and the fallback has to relay it.
bool has_own_handler(const Json& message) {
  auto it = message.find("type");
  if (it == message.end()) return false;
  const std::string name = core::event_name(*it);
  for (const auto& row : kHandlerTable)
    if (name == std::to_string(row.code)) return true;
  return false;
}

// "None" for absent, the text itself for a text, the JSON text of anything else.
std::string as_text(const Json* value) {
  if (value == nullptr || value->is_null()) return std::string(console::kNone);
  if (value->is_string()) return value->get<std::string>();
  return dump_compact(*value);
}

bool is_cancellation(const boost::system::system_error& e) {
  return e.code() == asio::error::operation_aborted;
}

enum class Channel { log, console };

void report(Channel channel, std::string_view prefix, std::string_view text) {
  std::string line;
  line.reserve(prefix.size() + text.size());
  line.append(prefix).append(text);
  if (channel == Channel::log) {
    service_log()->error("{}", line);
  } else {
    console::line(line);
  }
}

// Where an operation may run its binding call. The probe's send never waits for the client
// (tapwire.h), so a command of the send path and the send of a request run on the calling
// thread, an event-loop thread included: a send costs no hand-off to another thread and never
// queues behind anything. A request then waits for its reply holding no thread (the binding's
// async_ forms). Only the calls that may really block (starting, attaching or detaching the
// client, a look at the disk) go to the worker pool, and at most kBlockingBacklog of them may
// be queued or running: one more fails at once instead of joining an endless queue.
constexpr std::size_t kBlockingBacklog = 256;

template <class F>
asio::awaitable<std::invoke_result_t<F&>> on_workers(asio::thread_pool& workers,
                                                     std::atomic<std::size_t>& queued, F f) {
  using R = std::invoke_result_t<F&>;
  const BoundedSlot slot(queued, kBlockingBacklog);
  if (!slot) {
    throw ParloRuntimeError("too many client calls waiting for a worker (limit " +
                            std::to_string(kBlockingBacklog) + ")");
  }
  auto executor = workers.get_executor();
  auto call = [f = std::move(f)]() mutable -> asio::awaitable<R> { co_return f(); };
  R result = co_await asio::co_spawn(executor, std::move(call), asio::use_awaitable);
  co_return result;
}

enum class Guard {
  binding,      // a binding exists
  initialised,  // ... and every handler was registered
  login,        // ... and its account is logged in
};

bool passes(const ParloService& service, Guard guard) {
  switch (guard) {
    case Guard::binding:
      return service.parlo() != nullptr;
    case Guard::initialised:
      return service.is_initialized() && service.parlo() != nullptr;
    case Guard::login:
      return service.logged_in();
  }
  return false;
}

// What an operation checks before its call and writes when it cannot proceed or fails.
struct Shape {
  Guard guard;
  Channel channel;
  std::string_view prefix;         // the failure line is prefix + the error's text
  std::string_view refused = {};   // a console line for a failed guard ("" = silent)
  std::string_view reported = {};  // names the operation in an error report on stderr
};

template <class T>
struct AwaitableOf : std::false_type {};
template <class T, class E>
struct AwaitableOf<asio::awaitable<T, E>> : std::true_type {
  using value_type = T;
};

// The shape every operation shares: the guard (its fallback at once when it fails), then the
// operation's own body on the binding. The body returns its result, nothing (the operation then
// answers true), or an awaitable of either. An ordinary failure of the body writes the shape's
// line on its channel and gives the fallback; a cancellation passes to the caller. The guard
// and the binding are read when the operation starts, not when it is created. Only named values
// appear next to co_await: GCC 12 destroys temporaries of a co_await expression twice.
template <class R, class Body>
asio::awaitable<R> operate(const ParloService& service, Shape shape, R fallback, Body body) {
  if (!passes(service, shape.guard)) {
    if (!shape.refused.empty()) console::line(std::string(shape.refused));
    co_return fallback;
  }
  std::string failure;
  std::string failure_type;
  try {
    core::Parlo& parlo = *service.parlo();
    using Out = std::invoke_result_t<Body&, core::Parlo&>;
    if constexpr (AwaitableOf<Out>::value) {
      Out pending = body(parlo);
      if constexpr (std::is_void_v<typename AwaitableOf<Out>::value_type>) {
        co_await std::move(pending);
        co_return R(true);
      } else {
        auto value = co_await std::move(pending);
        co_return R(std::move(value));
      }
    } else if constexpr (std::is_void_v<Out>) {
      body(parlo);
      co_return R(true);
    } else {
      co_return R(body(parlo));
    }
  } catch (const boost::system::system_error& e) {
    if (is_cancellation(e)) throw;
    failure = e.what();
    failure_type = ParloService::error_type(e);
  } catch (const std::exception& e) {
    failure = e.what();
    failure_type = ParloService::error_type(e);
  } catch (...) {
    failure_type = "unknown";
  }
  report(shape.channel, shape.prefix, failure);
  if (!shape.reported.empty()) {
    const std::string operation(shape.reported);
    console::error_block("ParloService::" + operation + " -> Parlo::" + operation, failure_type,
                         failure);
  }
  co_return fallback;
}

}  // namespace

// ---- construction -------------------------------------------------------------------------

ParloService::ParloService(const ParloConfig& config, asio::any_io_executor io,
                           asio::thread_pool& workers, ConnectionManager& hub)
    : workers_(workers), relay_(std::move(io), hub) {
  initialize(config);
}

ParloService::~ParloService() { stop_relaying(); }

void ParloService::initialize(const ParloConfig& config) {
  try {
    const auto counts = [](const std::optional<std::string>& value) {
      return value.has_value() && !value->empty();
    };
    if (counts(config.exe_path) || counts(config.version)) {
      core::set_client_defaults(counts(config.exe_path) ? config.exe_path : std::nullopt,
                                counts(config.version) ? config.version : std::nullopt);
    }
    parlo_ = &core::Parlo::create();
    initialized_.store(true);
    register_handlers();
  } catch (const std::exception& e) {
    service_log()->error("初始化Parlo失败: {}", e.what());
    initialized_.store(false);
  } catch (...) {
    service_log()->error("初始化Parlo失败: ");
    initialized_.store(false);
  }
}

void ParloService::register_handlers() {
  if (parlo_ == nullptr) return;
  for (const auto& row : kHandlerTable) {
    switch (row.kind) {
      case HandlerKind::relay:
        parlo_->on(row.code, row.name, [this](core::Parlo&, const Json& message) {
          relay_.relay(message, current_login_uid());
        });
        break;
      case HandlerKind::login:
        parlo_->on(row.code, row.name, [this](core::Parlo&, const Json& message) {
          if (!message.is_object()) throw TypeError("event record must be a map");
          const Json empty = Json::object();
          auto data_it = message.find("data");
          const Json& data = data_it == message.end() ? empty : *data_it;
          if (!data.is_object()) throw TypeError("login data must be a map");
          auto uid_it = data.find("uid");
          const Json* uid = uid_it == data.end() ? nullptr : &*uid_it;
          // Only a text can name an account; anything else leaves nobody logged in.
          std::optional<std::string> account;
          if (uid != nullptr && uid->is_string()) account = uid->get<std::string>();
          set_login_uid(account);
          service_log()->info("用户登录: {}", as_text(uid));
          relay_.relay(message, account);
        });
        break;
      case HandlerKind::logout:
        parlo_->on(row.code, row.name, [this](core::Parlo&, const Json& message) {
          if (!message.is_object()) throw TypeError("event record must be a map");
          auto leaving = current_login_uid();
          service_log()->info("用户登出: {}", leaving ? *leaving : std::string(console::kNone));
          set_login_uid(std::nullopt);
          relay_.relay(message, std::nullopt);
        });
        break;
    }
  }
  parlo_->on(MT_ALL, "on_all_messages", [this](core::Parlo&, const Json& message) {
    if (message.is_object() && has_own_handler(message)) return;
    relay_.relay(message, current_login_uid());
  });
}

std::optional<std::string> ParloService::current_login_uid() const {
  std::lock_guard lock(uid_mutex_);
  return login_uid_;
}

void ParloService::set_login_uid(std::optional<std::string> uid) {
  std::lock_guard lock(uid_mutex_);
  login_uid_ = std::move(uid);
}

std::string ParloService::error_type(const std::exception& e) {
  if (auto* parlo_error = dynamic_cast<const ParloError*>(&e)) return parlo_error->name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status), std::free);
  return status == 0 && demangled ? demangled.get() : typeid(e).name();
}

bool ParloService::logged_in() const { return parlo_ != nullptr && parlo_->login_status(); }

Json ParloService::get_status() const {
  Json status = Json::object();
  if (parlo_ == nullptr) {
    status["pid"] = 0;
    status["client_id"] = 0;
    status["login_status"] = false;
    status["status"] = false;
    status["login_info"] = nullptr;
    status["current_uid"] = nullptr;
    return status;
  }
  status["pid"] = parlo_->pid();
  status["client_id"] = parlo_->client_id();
  status["login_status"] = parlo_->login_status();
  status["status"] = parlo_->status();
  status["login_info"] = parlo_->login_status() ? parlo_->get_login_info() : Json(nullptr);
  auto uid = current_login_uid();
  status["current_uid"] = uid ? Json(*uid) : Json(nullptr);
  return status;
}

bool ParloService::truthy(const Json& value) { return core::truthy(value); }

// ---- lifecycle ----------------------------------------------------------------------------

asio::awaitable<bool> ParloService::open_parlo(bool smart, bool show_qrcode) {
  return operate(*this, {Guard::initialised, Channel::log, "打开Parlo失败: "}, false,
                 [this, smart, show_qrcode](core::Parlo& p) {
                   return on_workers(workers_, blocking_calls_, [&p, smart, show_qrcode] {
                     return p.open(smart, show_qrcode);
                   });
                 });
}

asio::awaitable<Json> ParloService::attach_parlo(std::int64_t pid) {
  return operate(*this, {Guard::initialised, Channel::log, "附加Parlo进程失败: "}, Json(false),
                 [this, pid](core::Parlo& p) {
                   return on_workers(workers_, blocking_calls_,
                                     [&p, pid] { return p.attach(pid); });
                 });
}

asio::awaitable<Json> ParloService::detach_parlo() {
  return operate(*this, {Guard::binding, Channel::log, "分离Parlo进程失败: "}, Json(false),
                 [this](core::Parlo& p) {
                   return on_workers(workers_, blocking_calls_, [&p] { return p.detach(); });
                 });
}

asio::awaitable<bool> ParloService::wait_login(std::optional<std::int64_t> timeout) {
  std::optional<double> seconds;
  if (timeout) seconds = static_cast<double>(*timeout);
  return operate(*this, {Guard::binding, Channel::log, "等待登录失败: "}, false,
                 [seconds](core::Parlo& p) { return p.async_wait_login(seconds); });
}

asio::awaitable<Json> ParloService::get_self_info() {
  return operate(*this, {Guard::login, Channel::log, "获取自己信息失败: "}, Json(),
                 [](core::Parlo& p) { return p.async_get_self_info(); });
}

// ---- sending ------------------------------------------------------------------------------

asio::awaitable<bool> ParloService::send_text(std::string to_uid, std::string content) {
  return operate(*this, {Guard::login, Channel::log, "发送文本消息失败: "}, false,
                 [to_uid = std::move(to_uid), content = std::move(content)](core::Parlo& p) {
                   p.send_text(to_uid, content);
                 });
}

asio::awaitable<bool> ParloService::send_room_at_msg(std::string to_uid, std::string content,
                                                     Json at_list) {
  return operate(
      *this, {Guard::login, Channel::log, "发送群@消息失败: "}, false,
      [to_uid = std::move(to_uid), content = std::move(content), at_list = std::move(at_list)](
          core::Parlo& p) { p.send_room_at_msg(to_uid, content, at_list); });
}

asio::awaitable<bool> ParloService::send_card(std::string to_uid, std::string card_uid) {
  return operate(*this, {Guard::login, Channel::console, "发送名片失败: "}, false,
                 [to_uid = std::move(to_uid), card_uid = std::move(card_uid)](core::Parlo& p) {
                   p.send_card(to_uid, card_uid);
                 });
}

asio::awaitable<bool> ParloService::send_link_card(std::string to_uid, std::string title,
                                                   std::string desc, std::string url,
                                                   std::string image_url) {
  return operate(*this, {Guard::login, Channel::console, "发送链接卡片失败: "}, false,
                 [to_uid = std::move(to_uid), title = std::move(title), desc = std::move(desc),
                  url = std::move(url), image_url = std::move(image_url)](core::Parlo& p) {
                   p.send_link_card(to_uid, title, desc, url, image_url);
                 });
}

// The four file kinds: the lines they write besides the shape's.
struct ParloService::FileKind {
  std::string_view kind;       // as the progress lines name it
  std::string_view operation;  // as the error report names it
  std::string_view refused;    // the line of a send while not logged in
  std::string_view failed;     // the failure line's prefix
};

namespace {
constexpr ParloService::FileKind kImage{"图片", "send_image", "❌ Parlo未登录，无法发送图片",
                                        "❌ 发送图片失败: "};
constexpr ParloService::FileKind kFile{"文件", "send_file", "❌ Parlo未登录，无法发送文件",
                                       "❌ 发送文件失败: "};
constexpr ParloService::FileKind kVideo{"视频", "send_video", "❌ Parlo未登录，无法发送视频",
                                        "❌ 发送视频失败: "};
constexpr ParloService::FileKind kGif{"GIF", "send_gif", "❌ Parlo未登录，无法发送GIF",
                                      "❌ 发送GIF失败: "};
}  // namespace

asio::awaitable<bool> ParloService::send_file_kind(const FileKind& kind, std::string to_uid,
                                                   std::string file_path, FileCommand command) {
  const Shape shape{Guard::login, Channel::console, kind.failed, kind.refused, kind.operation};
  return operate(
      *this, shape, false,
      [this, &kind, to_uid = std::move(to_uid), file_path = std::move(file_path),
       command](core::Parlo& p) -> asio::awaitable<bool> {
        // The file check touches the disk, so it runs on a worker.
        auto check = [file_path] {
          std::error_code ec;
          const bool found = !file_path.empty() && std::filesystem::exists(file_path, ec);
          return found && !ec;
        };
        const bool exists = co_await on_workers(workers_, blocking_calls_, std::move(check));
        const std::string name(kind.kind);
        if (!exists) {
          console::line("❌ 文件不存在: " + file_path);
          co_return false;
        }
        console::line("📤 开始发送" + name + "到 " + to_uid + ": " + file_path);
        command(p, to_uid, file_path);
        console::line("✅ " + name + "发送请求已提交: " + file_path);
        co_return true;
      });
}

asio::awaitable<bool> ParloService::send_image(std::string to_uid, std::string file_path) {
  return send_file_kind(kImage, std::move(to_uid), std::move(file_path),
                        [](core::Parlo& p, const std::string& to, const std::string& file) {
                          p.send_image(to, file);
                        });
}

asio::awaitable<bool> ParloService::send_file(std::string to_uid, std::string file_path) {
  return send_file_kind(kFile, std::move(to_uid), std::move(file_path),
                        [](core::Parlo& p, const std::string& to, const std::string& file) {
                          p.send_file(to, file);
                        });
}

asio::awaitable<bool> ParloService::send_video(std::string to_uid, std::string file_path) {
  return send_file_kind(kVideo, std::move(to_uid), std::move(file_path),
                        [](core::Parlo& p, const std::string& to, const std::string& file) {
                          p.send_video(to, file);
                        });
}

asio::awaitable<bool> ParloService::send_gif(std::string to_uid, std::string file_path) {
  return send_file_kind(kGif, std::move(to_uid), std::move(file_path),
                        [](core::Parlo& p, const std::string& to, const std::string& file) {
                          p.send_gif(Json(to), Json(file));
                        });
}

asio::awaitable<bool> ParloService::send_xml(std::string to_uid, std::string xml,
                                             std::int64_t app_type) {
  return operate(*this, {Guard::login, Channel::console, "发送XML消息失败: "}, false,
                 [to_uid = std::move(to_uid), xml = std::move(xml), app_type](core::Parlo& p) {
                   p.send_xml(Json(to_uid), Json(xml), Json(app_type));
                 });
}

asio::awaitable<Json> ParloService::send_pat(std::string room_uid, std::string patted_uid) {
  return operate(*this, {Guard::login, Channel::console, "发送拍一拍失败: "}, Json(),
                 [room_uid = std::move(room_uid), patted_uid = std::move(patted_uid)](
                     core::Parlo& p) { return p.async_send_pat(room_uid, patted_uid); });
}

// ---- contacts -----------------------------------------------------------------------------

asio::awaitable<Json> ParloService::get_contacts() {
  return operate(*this, {Guard::login, Channel::console, "获取联系人列表失败: "}, Json(),
                 [](core::Parlo& p) { return p.async_get_contacts(); });
}

asio::awaitable<Json> ParloService::get_publics() {
  return operate(*this, {Guard::login, Channel::console, "获取公众号列表失败: "}, Json(),
                 [](core::Parlo& p) { return p.async_get_publics(); });
}

asio::awaitable<Json> ParloService::get_contact_detail(std::string uid) {
  return operate(
      *this, {Guard::login, Channel::console, "获取联系人详情失败: "}, Json(),
      [uid = std::move(uid)](core::Parlo& p) { return p.async_get_contact_detail(uid); });
}

asio::awaitable<Json> ParloService::search_contacts(std::optional<std::string> uid,
                                                    std::optional<std::string> account,
                                                    std::optional<std::string> nickname,
                                                    std::optional<std::string> remark,
                                                    bool fuzzy_search) {
  return operate(
      *this, {Guard::login, Channel::console, "搜索联系人失败: "}, Json(),
      [uid = std::move(uid), account = std::move(account), nickname = std::move(nickname),
       remark = std::move(remark), fuzzy_search](core::Parlo& p) -> asio::awaitable<Json> {
        const Json fuzzy(fuzzy_search);
        Json result = co_await p.async_search_contacts(uid, account, nickname, remark, fuzzy);
        if (!result.is_array() && !result.is_null())
          throw TypeError(std::string("Expected list, got ") + result.type_name());
        co_return result;
      });
}

asio::awaitable<Json> ParloService::modify_friend_remark(std::string uid, std::string remark) {
  return operate(*this, {Guard::login, Channel::console, "修改好友备注失败: "}, Json(),
                 [uid = std::move(uid), remark = std::move(remark)](core::Parlo& p) {
                   return p.async_modify_friend_remark(uid, remark);
                 });
}

asio::awaitable<Json> ParloService::accept_friend_request(std::string encryptusername,
                                                          std::string ticket, std::int64_t scene) {
  return operate(*this, {Guard::login, Channel::console, "接受好友请求失败: "}, Json(),
                 [encryptusername = std::move(encryptusername), ticket = std::move(ticket),
                  scene](core::Parlo& p) {
                   return p.async_accept_friend_request(encryptusername, ticket, scene);
                 });
}

asio::awaitable<Json> ParloService::add_room_friend(std::string room_uid, std::string uid,
                                                    std::string verify) {
  return operate(*this, {Guard::login, Channel::console, "添加群成员为好友失败: "}, Json(),
                 [room_uid = std::move(room_uid), uid = std::move(uid), verify = std::move(verify)](
                     core::Parlo& p) { return p.async_add_room_friend(room_uid, uid, verify); });
}

// ---- group chats and SQL ------------------------------------------------------------------

asio::awaitable<Json> ParloService::get_rooms() {
  return operate(*this, {Guard::login, Channel::console, "获取群列表失败: "}, Json(),
                 [](core::Parlo& p) { return p.async_get_rooms(); });
}

asio::awaitable<Json> ParloService::get_room_detail(std::string room_uid) {
  return operate(*this, {Guard::login, Channel::console, "获取群详情失败: "}, Json(),
                 [room_uid = std::move(room_uid)](core::Parlo& p) {
                   return p.async_get_room_detail(room_uid);
                 });
}

asio::awaitable<Json> ParloService::get_room_members(std::string room_uid) {
  return operate(*this, {Guard::login, Channel::console, "获取群成员列表失败: "}, Json(),
                 [room_uid = std::move(room_uid)](core::Parlo& p) {
                   return p.async_get_room_members(room_uid);
                 });
}

asio::awaitable<std::optional<std::string>> ParloService::get_room_name(std::string room_uid) {
  return operate(
      *this, {Guard::login, Channel::console, "获取群名失败: "}, std::optional<std::string>(),
      [room_uid = std::move(room_uid)](core::Parlo& p) { return p.async_get_room_name(room_uid); });
}

asio::awaitable<bool> ParloService::create_room(Json member_list) {
  return operate(
      *this, {Guard::login, Channel::console, "创建群失败: "}, false,
      [member_list = std::move(member_list)](core::Parlo& p) { p.create_room(member_list); });
}

asio::awaitable<Json> ParloService::add_room_member(std::string room_uid, Json member_list) {
  return operate(*this, {Guard::login, Channel::console, "添加群成员失败: "}, Json(),
                 [room_uid = std::move(room_uid), member_list = std::move(member_list)](
                     core::Parlo& p) { return p.async_add_room_member(room_uid, member_list); });
}

asio::awaitable<Json> ParloService::invite_room_member(std::string room_uid, Json member_list) {
  return operate(*this, {Guard::login, Channel::console, "邀请群成员失败: "}, Json(),
                 [room_uid = std::move(room_uid), member_list = std::move(member_list)](
                     core::Parlo& p) { return p.async_invite_room_member(room_uid, member_list); });
}

asio::awaitable<Json> ParloService::del_room_member(std::string room_uid, Json member_list) {
  return operate(*this, {Guard::login, Channel::console, "删除群成员失败: "}, Json(),
                 [room_uid = std::move(room_uid), member_list = std::move(member_list)](
                     core::Parlo& p) { return p.async_del_room_member(room_uid, member_list); });
}

asio::awaitable<Json> ParloService::modify_room_name(std::string room_uid, std::string name) {
  return operate(*this, {Guard::login, Channel::console, "修改群名失败: "}, Json(),
                 [room_uid = std::move(room_uid), name = std::move(name)](core::Parlo& p) {
                   return p.async_modify_room_name(room_uid, name);
                 });
}

asio::awaitable<Json> ParloService::modify_room_notice(std::string room_uid, std::string notice) {
  return operate(*this, {Guard::login, Channel::console, "修改群公告失败: "}, Json(),
                 [room_uid = std::move(room_uid), notice = std::move(notice)](core::Parlo& p) {
                   return p.async_modify_room_notice(room_uid, notice);
                 });
}

asio::awaitable<bool> ParloService::quit_room(std::string room_uid) {
  return operate(*this, {Guard::login, Channel::console, "退出群失败: "}, false,
                 [room_uid = std::move(room_uid)](core::Parlo& p) { p.quit_room(room_uid); });
}

asio::awaitable<Json> ParloService::sql_query(std::string sql, std::int64_t db) {
  return operate(*this, {Guard::login, Channel::console, "数据库查询失败: "}, Json(),
                 [sql = std::move(sql), db](core::Parlo& p) { return p.async_sql_query(sql, db); });
}

}  // namespace corvid::app
