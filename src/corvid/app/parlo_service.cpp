#include "corvid/app/parlo_service.hpp"

#include <array>
#include <chrono>
#include <cxxabi.h>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <typeinfo>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <fmt/format.h>
#include <tapwire/tapwire.h>

#include "corvid/app/websocket_hub.hpp"
#include "corvid/core/envelope.hpp"
#include "corvid/core/parlo.hpp"
#include "corvid/utils/console.hpp"
#include "corvid/utils/errors.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app {
namespace asio = boost::asio;

namespace {

std::shared_ptr<spdlog::logger> service_log() {
  static auto logger = log::get("parlo_service");
  return logger;
}

// The codes with a handler of their own, in the order the fallback compares them.
constexpr std::array<int, 27> kHandledCodes = {
    MT_RECV_TEXT_MSG,          MT_RECV_IMAGE_MSG,         MT_RECV_VOICE_MSG,
    MT_RECV_VIDEO_MSG,         MT_RECV_FILE_MSG,          MT_RECV_EMOJI_MSG,
    MT_RECV_CARD_MSG,          MT_RECV_LOCATION_MSG,      MT_RECV_LINK_MSG,
    MT_RECV_MINIAPP_MSG,       MT_RECV_PAY_MSG,           MT_RECV_SYSTEM_MSG,
    MT_RECV_REVOKE_MSG,        MT_RECV_OTHER_MSG,         MT_RECV_OTHER_APP_MSG,
    MT_RECV_FRIEND_MSG,        MT_CONTACT_ADD_NOITFY_MSG, MT_CONTACT_DEL_NOTIFY_MSG,
    MT_ROOM_ADD_MEMBER_NOTIFY_MSG, MT_ROOM_DEL_MEMBER_NOTIFY_MSG, MT_ROOM_CREATE_NOTIFY_MSG,
    MT_ROOM_DEL_NOTIFY_MSG,    MT_USER_LOGIN_MSG,         MT_USER_LOGOUT_MSG,
    MT_READY_MSG,              MT_RECV_PARLO_QUIT_MSG,    MT_RECV_LOGIN_QRCODE_MSG,
};

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

// True when the binding dispatched this event under one of the codes above: it files handlers
// under the decimal text of their code and emits each event under event_name of its type, so
// the same naming decides here (a text "11046" reaches on_recv_text_msg too). Anything else
// reaches no handler of its own, and the fallback has to relay it.
bool has_own_handler(const Json& message) {
  auto it = message.find("type");
  if (it == message.end()) return false;
  const std::string name = core::event_name(*it);
  for (int handled : kHandledCodes)
    if (name == std::to_string(handled)) return true;
  return false;
}

// "None" for absent, the text itself for a text, the JSON text of anything else.
std::string as_text(const Json* value) {
  if (value == nullptr || value->is_null()) return std::string(console::kNone);
  if (value->is_string()) return value->get<std::string>();
  return dump_compact(*value);
}

std::string type_name_of(const std::exception& e) {
  if (auto* parlo_error = dynamic_cast<const ParloError*>(&e)) return parlo_error->name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status), std::free);
  return status == 0 && demangled ? demangled.get() : typeid(e).name();
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

// Runs f(binding) on a worker and resumes on the caller's executor. On an ordinary failure
// writes prefix + error text on the channel and gives the fallback; cancellation passes
// through. f owns copies of its arguments, so it stays valid if the caller goes away.
template <class R, class F>
asio::awaitable<R> invoke_on(F f, core::Parlo* parlo) {
  co_return R(f(*parlo));
}

// Runs f(binding) on a worker and resumes on the caller's executor. On an ordinary failure
// writes prefix + error text on the channel and gives nothing (the caller's fallback);
// cancellation passes through. f owns copies of its arguments, so it stays valid if the caller
// goes away. Only named values appear next to co_await: GCC 12 destroys temporaries of a
// co_await expression twice.
template <class R, class F>
asio::awaitable<std::optional<R>> call_binding(asio::thread_pool& workers, core::Parlo* parlo,
                                               Channel channel, std::string_view prefix, F f) {
  std::string failure;
  try {
    auto executor = workers.get_executor();
    R result = co_await asio::co_spawn(executor, invoke_on<R>(std::move(f), parlo), asio::use_awaitable);
    co_return std::optional<R>(std::move(result));
  } catch (const boost::system::system_error& e) {
    if (is_cancellation(e)) throw;
    failure = e.what();
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure.clear();
  }
  report(channel, prefix, failure);
  co_return std::nullopt;
}

}  // namespace

// ---- construction -------------------------------------------------------------------------

ParloService::ParloService(const ParloConfig& config, asio::any_io_executor io,
                           asio::thread_pool& workers, ConnectionManager& hub)
    : hub_(hub), workers_(workers), relay_strand_(asio::make_strand(io)) {
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
          relay(message, current_login_uid());
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
          relay(message, account);
        });
        break;
      case HandlerKind::logout:
        parlo_->on(row.code, row.name, [this](core::Parlo&, const Json& message) {
          if (!message.is_object()) throw TypeError("event record must be a map");
          auto leaving = current_login_uid();
          service_log()->info("用户登出: {}", leaving ? *leaving : std::string(console::kNone));
          set_login_uid(std::nullopt);
          relay(message, std::nullopt);
        });
        break;
    }
  }
  parlo_->on(MT_ALL, "on_all_messages", [this](core::Parlo&, const Json& message) {
    if (message.is_object() && has_own_handler(message)) return;
    relay(message, current_login_uid());
  });
}

// ---- relay --------------------------------------------------------------------------------

// Frames one relay pass hands to the connections at a time.
constexpr std::size_t kRelayPiece = 32;
// While the readers are too far behind, the relay looks again this often.
constexpr auto kRelayPause = std::chrono::milliseconds(1);

void ParloService::relay(const Json& message, std::optional<std::string> account) {
  if (!message.is_object()) throw TypeError("event record must be a map");
  if (!relaying_.load()) return;
  // The frame is built here, on the probe's thread: the record is the probe's only during this
  // call, its text is several times smaller than the parsed record while it waits, and the
  // account is the one logged in when the event arrived, so a later logout cannot redirect or
  // drop it. Events that arrive while the strand is busy wait together and are relayed in one
  // pass, so a burst wakes each connection's writer once per pass rather than once per event.
  Frame frame = build_frame(message);
  if (!frame) return;
  bool post = false;
  {
    std::lock_guard lock(relay_mutex_);
    pending_.push_back(PendingEvent{std::move(frame), std::move(account)});
    post = !std::exchange(relay_posted_, true);
  }
  if (post) asio::post(relay_strand_, [this] { relay_pending(); });
}

Frame ParloService::build_frame(const Json& message) {
  try {
    Frame frame = make_frame(message);
    if (frame->size() > kMaxFrameBytes) {
      throw std::length_error(fmt::format("frame of {} bytes is over the {}-byte limit, not relayed",
                                          frame->size(), kMaxFrameBytes));
    }
    return frame;
  } catch (const std::exception& e) {
    service_log()->error("处理消息失败: {}", e.what());
    console::error_block("ParloService::handle_message", type_name_of(e), e.what());
  }
  return nullptr;
}

void ParloService::relay_pending() {
  std::vector<PendingEvent> events;
  {
    std::lock_guard lock(relay_mutex_);
    events.swap(pending_);
    relay_posted_ = false;
  }
  for (auto& event : events) held_.push_back(std::move(event));
  relay_held();
}

// The relay never drops a frame for a connection that keeps reading: where handing over more
// would put such a reader further behind than the registry's budget, it pauses here, on its own
// strand, and looks again shortly. Nothing else waits for it: the probe's threads only append
// to pending_, and the client's replies and the connections' own frames take other paths.
void ParloService::relay_held() {
  if (relay_paused_) return;
  // Consecutive frames of one account go to its connections together; the order of events is
  // kept, within an account and across accounts.
  std::vector<Frame> run;
  while (!held_.empty()) {
    const PendingEvent& first = held_.front();
    if (first.account && !first.account->empty() && hub_.relay_should_wait(*first.account)) {
      relay_paused_ = true;
      auto timer = std::make_shared<asio::steady_timer>(relay_strand_, kRelayPause);
      timer->async_wait([this, timer](const boost::system::error_code&) {
        relay_paused_ = false;
        relay_held();
      });
      return;
    }
    const std::optional<std::string> account = first.account;
    // A long pass goes out in pieces, so the writers drain while the next frames are logged,
    // and the budget is looked at between pieces.
    while (!held_.empty() && run.size() < kRelayPiece && held_.front().account == account) {
      PendingEvent event = std::move(held_.front());
      held_.pop_front();
      if (handle_message(*event.frame, event.account)) run.push_back(std::move(event.frame));
    }
    if (run.empty()) continue;
    try {
      hub_.send_to_user(*account, run);
      for (std::size_t i = 0; i < run.size(); ++i)
        service_log()->debug("已推送到WebSocket: {}", *account);
    } catch (const std::exception& e) {
      service_log()->error("处理消息失败: {}", e.what());
      console::error_block("ParloService::handle_message", type_name_of(e), e.what());
    }
    run.clear();
  }
  // A burst leaves a long deque behind; an emptied one gives its blocks back.
  std::deque<PendingEvent>().swap(held_);
}

bool ParloService::handle_message(const std::string& frame,
                                  const std::optional<std::string>& account) {
  service_log()->info("收到消息:\n{}", frame);
  if (account && !account->empty()) return true;
  service_log()->warn("没有登录用户，无法推送到WebSocket");
  return false;
}

std::optional<std::string> ParloService::current_login_uid() const {
  std::lock_guard lock(uid_mutex_);
  return login_uid_;
}

void ParloService::set_login_uid(std::optional<std::string> uid) {
  std::lock_guard lock(uid_mutex_);
  login_uid_ = std::move(uid);
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
  if (!is_initialized() || parlo_ == nullptr) co_return false;
  auto call = [smart, show_qrcode](core::Parlo& p) {
                                          return p.open(smart, show_qrcode);
                                        };
  auto result = co_await call_binding<bool>(workers_, parlo_, Channel::log, "打开Parlo失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return false;
}

asio::awaitable<Json> ParloService::attach_parlo(std::int64_t pid) {
  if (!is_initialized() || parlo_ == nullptr) co_return Json(false);
  auto call = [pid](core::Parlo& p) { return p.attach(pid); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::log, "附加Parlo进程失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json(false);
}

asio::awaitable<Json> ParloService::detach_parlo() {
  if (parlo_ == nullptr) co_return Json(false);
  auto call = [](core::Parlo& p) { return p.detach(); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::log, "分离Parlo进程失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json(false);
}

asio::awaitable<bool> ParloService::wait_login(std::optional<std::int64_t> timeout) {
  core::Parlo* parlo = parlo_;
  if (parlo == nullptr) co_return false;
  std::string failure;
  try {
    auto executor = co_await asio::this_coro::executor;
    auto strand = asio::make_strand(executor);
    auto timer = std::make_shared<asio::steady_timer>(strand);
    // A negative wait is no wait; a huge one means "no limit" rather than a clock overflow.
    constexpr std::int64_t kLongestWait = std::int64_t{100} * 365 * 24 * 3600;
    if (timeout) {
      timer->expires_after(std::chrono::seconds(std::clamp<std::int64_t>(*timeout, 0, kLongestWait)));
    } else {
      timer->expires_at(asio::steady_timer::time_point::max());
    }
    auto arrived = std::make_shared<std::atomic<bool>>(false);
    const core::LoginToken token = parlo->when_logged_in([timer, arrived, strand] {
      arrived->store(true);
      asio::post(strand, [timer] { timer->cancel(); });
    });
    // The check and the wait run on the strand that also runs the cancel, so a login between
    // them cannot be missed. No worker is held while waiting.
    auto wait = [timer, arrived]() -> asio::awaitable<void> {
      if (arrived->load()) co_return;
      co_await timer->async_wait(asio::as_tuple(asio::use_awaitable));
    };
    co_await asio::co_spawn(strand, std::move(wait), asio::use_awaitable);
    if (!arrived->load()) parlo->cancel_login_wait(token);
    co_return parlo->login_status();
  } catch (const boost::system::system_error& e) {
    if (is_cancellation(e)) throw;
    failure = e.what();
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure.clear();
  }
  report(Channel::log, "等待登录失败: ", failure);
  co_return false;
}

asio::awaitable<Json> ParloService::get_self_info() {
  if (!logged_in()) co_return Json();
  auto call = [](core::Parlo& p) { return p.get_self_info(); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::log, "获取自己信息失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

// ---- sending ------------------------------------------------------------------------------

asio::awaitable<bool> ParloService::send_text(std::string to_uid, std::string content) {
  if (!logged_in()) co_return false;
  auto call = [to_uid = std::move(to_uid), content = std::move(content)](core::Parlo& p) {
        p.send_text(to_uid, content);
        return true;
      };
  auto result = co_await call_binding<bool>(workers_, parlo_, Channel::log, "发送文本消息失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return false;
}

asio::awaitable<bool> ParloService::send_room_at_msg(std::string to_uid, std::string content,
                                                     Json at_list) {
  if (!logged_in()) co_return false;
  auto call = [to_uid = std::move(to_uid), content = std::move(content),
       at_list = std::move(at_list)](core::Parlo& p) {
        p.send_room_at_msg(to_uid, content, at_list);
        return true;
      };
  auto result = co_await call_binding<bool>(workers_, parlo_, Channel::log, "发送群@消息失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return false;
}

asio::awaitable<bool> ParloService::send_card(std::string to_uid, std::string card_uid) {
  if (!logged_in()) co_return false;
  auto call = [to_uid = std::move(to_uid), card_uid = std::move(card_uid)](core::Parlo& p) {
        p.send_card(to_uid, card_uid);
        return true;
      };
  auto result = co_await call_binding<bool>(workers_, parlo_, Channel::console, "发送名片失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return false;
}

asio::awaitable<bool> ParloService::send_link_card(std::string to_uid, std::string title,
                                                   std::string desc, std::string url,
                                                   std::string image_url) {
  if (!logged_in()) co_return false;
  auto call = [to_uid = std::move(to_uid), title = std::move(title), desc = std::move(desc),
       url = std::move(url), image_url = std::move(image_url)](core::Parlo& p) {
        p.send_link_card(to_uid, title, desc, url, image_url);
        return true;
      };
  auto result = co_await call_binding<bool>(workers_, parlo_, Channel::console, "发送链接卡片失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return false;
}

asio::awaitable<bool> ParloService::send_file_kind(std::string kind, std::string operation,
                                                   std::string to_uid, std::string file_path,
                                                   std::function<void(core::Parlo&)> command) {
  core::Parlo* parlo = parlo_;
  if (!logged_in()) {
    console::line("❌ Parlo未登录，无法发送" + kind);
    co_return false;
  }
  std::string failure;
  std::string failure_type;
  try {
    // The file check touches the disk, so it runs on a worker like the command.
    auto check = [file_path]() -> asio::awaitable<bool> {
      std::error_code ec;
      const bool found = !file_path.empty() && std::filesystem::exists(file_path, ec);
      co_return found && !ec;
    };
    auto executor = workers_.get_executor();
    const bool exists = co_await asio::co_spawn(executor, std::move(check), asio::use_awaitable);
    if (!exists) {
      console::line("❌ 文件不存在: " + file_path);
      co_return false;
    }
    console::line("📤 开始发送" + kind + "到 " + to_uid + ": " + file_path);
    auto send = [parlo, command = std::move(command)]() -> asio::awaitable<void> {
      command(*parlo);
      co_return;
    };
    co_await asio::co_spawn(executor, std::move(send), asio::use_awaitable);
    console::line("✅ " + kind + "发送请求已提交: " + file_path);
    co_return true;
  } catch (const boost::system::system_error& e) {
    if (is_cancellation(e)) throw;
    failure = e.what();
    failure_type = type_name_of(e);
  } catch (const std::exception& e) {
    failure = e.what();
    failure_type = type_name_of(e);
  } catch (...) {
    failure_type = "unknown";
  }
  console::line("❌ 发送" + kind + "失败: " + failure);
  console::error_block("ParloService::" + operation + " -> Parlo::" + operation, failure_type,
                       failure);
  co_return false;
}

asio::awaitable<bool> ParloService::send_image(std::string to_uid, std::string file_path) {
  std::string kind = "图片", operation = "send_image";
  std::function<void(core::Parlo&)> command = [to_uid, file_path](core::Parlo& p) { p.send_image(to_uid, file_path); };
  const bool sent = co_await send_file_kind(std::move(kind), std::move(operation), to_uid, file_path,
                                            std::move(command));
  co_return sent;
}

asio::awaitable<bool> ParloService::send_file(std::string to_uid, std::string file_path) {
  std::string kind = "文件", operation = "send_file";
  std::function<void(core::Parlo&)> command = [to_uid, file_path](core::Parlo& p) { p.send_file(to_uid, file_path); };
  const bool sent = co_await send_file_kind(std::move(kind), std::move(operation), to_uid, file_path,
                                            std::move(command));
  co_return sent;
}

asio::awaitable<bool> ParloService::send_video(std::string to_uid, std::string file_path) {
  std::string kind = "视频", operation = "send_video";
  std::function<void(core::Parlo&)> command = [to_uid, file_path](core::Parlo& p) { p.send_video(to_uid, file_path); };
  const bool sent = co_await send_file_kind(std::move(kind), std::move(operation), to_uid, file_path,
                                            std::move(command));
  co_return sent;
}

asio::awaitable<bool> ParloService::send_gif(std::string to_uid, std::string file_path) {
  std::string kind = "GIF", operation = "send_gif";
  std::function<void(core::Parlo&)> command = [to_uid, file_path](core::Parlo& p) {
    p.send_gif(Json(to_uid), Json(file_path));
  };
  const bool sent = co_await send_file_kind(std::move(kind), std::move(operation), to_uid, file_path,
                                            std::move(command));
  co_return sent;
}

asio::awaitable<bool> ParloService::send_xml(std::string to_uid, std::string xml,
                                             std::int64_t app_type) {
  if (!logged_in()) co_return false;
  auto call = [to_uid = std::move(to_uid), xml = std::move(xml), app_type](core::Parlo& p) {
        p.send_xml(Json(to_uid), Json(xml), Json(app_type));
        return true;
      };
  auto result = co_await call_binding<bool>(workers_, parlo_, Channel::console, "发送XML消息失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return false;
}

asio::awaitable<Json> ParloService::send_pat(std::string room_uid, std::string patted_uid) {
  if (!logged_in()) co_return Json();
  auto call = [room_uid = std::move(room_uid), patted_uid = std::move(patted_uid)](core::Parlo& p) {
        return p.send_pat(room_uid, patted_uid);
      };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "发送拍一拍失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

// ---- contacts -----------------------------------------------------------------------------

asio::awaitable<Json> ParloService::get_contacts() {
  if (!logged_in()) co_return Json();
  auto call = [](core::Parlo& p) { return p.get_contacts(); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "获取联系人列表失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::get_publics() {
  if (!logged_in()) co_return Json();
  auto call = [](core::Parlo& p) { return p.get_publics(); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "获取公众号列表失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::get_contact_detail(std::string uid) {
  if (!logged_in()) co_return Json();
  auto call = [uid = std::move(uid)](core::Parlo& p) { return p.get_contact_detail(Json(uid)); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "获取联系人详情失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::search_contacts(std::optional<std::string> uid,
                                                    std::optional<std::string> account,
                                                    std::optional<std::string> nickname,
                                                    std::optional<std::string> remark,
                                                    bool fuzzy_search) {
  if (!logged_in()) co_return Json();
  auto call = [uid = std::move(uid), account = std::move(account), nickname = std::move(nickname),
       remark = std::move(remark), fuzzy_search](core::Parlo& p) {
        Json result = p.search_contacts(uid, account, nickname, remark, Json(fuzzy_search));
        if (!result.is_array() && !result.is_null())
          throw TypeError(std::string("Expected list, got ") + result.type_name());
        return result;
      };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "搜索联系人失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::modify_friend_remark(std::string uid, std::string remark) {
  if (!logged_in()) co_return Json();
  auto call = [uid = std::move(uid), remark = std::move(remark)](core::Parlo& p) {
        return p.modify_friend_remark(uid, remark);
      };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "修改好友备注失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::accept_friend_request(std::string encryptusername,
                                                          std::string ticket, std::int64_t scene) {
  if (!logged_in()) co_return Json();
  auto call = [encryptusername = std::move(encryptusername), ticket = std::move(ticket),
       scene](core::Parlo& p) { return p.accept_friend_request(encryptusername, ticket, scene); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "接受好友请求失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::add_room_friend(std::string room_uid, std::string uid,
                                                    std::string verify) {
  if (!logged_in()) co_return Json();
  auto call = [room_uid = std::move(room_uid), uid = std::move(uid),
       verify = std::move(verify)](core::Parlo& p) { return p.add_room_friend(room_uid, uid, verify); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "添加群成员为好友失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

// ---- group chats and SQL ------------------------------------------------------------------

asio::awaitable<Json> ParloService::get_rooms() {
  if (!logged_in()) co_return Json();
  auto call = [](core::Parlo& p) { return p.get_rooms(); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "获取群列表失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::get_room_detail(std::string room_uid) {
  if (!logged_in()) co_return Json();
  auto call = [room_uid = std::move(room_uid)](core::Parlo& p) { return p.get_room_detail(Json(room_uid)); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "获取群详情失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::get_room_members(std::string room_uid) {
  if (!logged_in()) co_return Json();
  auto call = [room_uid = std::move(room_uid)](core::Parlo& p) { return p.get_room_members(room_uid); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "获取群成员列表失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<std::optional<std::string>> ParloService::get_room_name(std::string room_uid) {
  if (!logged_in()) co_return std::nullopt;
  auto call = [room_uid = std::move(room_uid)](core::Parlo& p) { return p.get_room_name(room_uid); };
  auto result = co_await call_binding<std::optional<std::string>>(workers_, parlo_, Channel::console, "获取群名失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return std::nullopt;
}

asio::awaitable<bool> ParloService::create_room(Json member_list) {
  if (!logged_in()) co_return false;
  auto call = [member_list = std::move(member_list)](core::Parlo& p) {
                                          p.create_room(member_list);
                                          return true;
                                        };
  auto result = co_await call_binding<bool>(workers_, parlo_, Channel::console, "创建群失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return false;
}

asio::awaitable<Json> ParloService::add_room_member(std::string room_uid, Json member_list) {
  if (!logged_in()) co_return Json();
  auto call = [room_uid = std::move(room_uid), member_list = std::move(member_list)](core::Parlo& p) {
        return p.add_room_member(room_uid, member_list);
      };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "添加群成员失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::invite_room_member(std::string room_uid, Json member_list) {
  if (!logged_in()) co_return Json();
  auto call = [room_uid = std::move(room_uid), member_list = std::move(member_list)](core::Parlo& p) {
        return p.invite_room_member(room_uid, member_list);
      };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "邀请群成员失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::del_room_member(std::string room_uid, Json member_list) {
  if (!logged_in()) co_return Json();
  auto call = [room_uid = std::move(room_uid), member_list = std::move(member_list)](core::Parlo& p) {
        return p.del_room_member(room_uid, member_list);
      };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "删除群成员失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::modify_room_name(std::string room_uid, std::string name) {
  if (!logged_in()) co_return Json();
  auto call = [room_uid = std::move(room_uid), name = std::move(name)](core::Parlo& p) {
        return p.modify_room_name(room_uid, name);
      };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "修改群名失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<Json> ParloService::modify_room_notice(std::string room_uid, std::string notice) {
  if (!logged_in()) co_return Json();
  auto call = [room_uid = std::move(room_uid), notice = std::move(notice)](core::Parlo& p) {
        return p.modify_room_notice(room_uid, notice);
      };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "修改群公告失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

asio::awaitable<bool> ParloService::quit_room(std::string room_uid) {
  if (!logged_in()) co_return false;
  auto call = [room_uid = std::move(room_uid)](core::Parlo& p) {
                                          p.quit_room(room_uid);
                                          return true;
                                        };
  auto result = co_await call_binding<bool>(workers_, parlo_, Channel::console, "退出群失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return false;
}

asio::awaitable<Json> ParloService::sql_query(std::string sql, std::int64_t db) {
  if (!logged_in()) co_return Json();
  auto call = [sql = std::move(sql), db](core::Parlo& p) { return p.sql_query(sql, db); };
  auto result = co_await call_binding<Json>(workers_, parlo_, Channel::console, "数据库查询失败: ", std::move(call));
  if (result) co_return std::move(*result);
  co_return Json();
}

}  // namespace corvid::app
