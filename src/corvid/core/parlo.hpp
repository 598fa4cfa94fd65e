#pragma once
// Parlo: the binding of one Parlo client process. It registers with the client manager when it
// is built, opens or attaches the client through the probe, keeps the connection and login
// state, sends requests (fire-and-forget or waiting for the reply) and dispatches every other
// message the client reports to the handlers registered for its code and for MT_ALL.
// Owner: the process (bindings are never destroyed: the probe keeps pointers to them).
// Threads: every public call may come from any thread; blocking calls (open, attach, detach,
// wait_login, send_sync and every query and command on the sync path) belong on a worker pool.
// The async_ forms of the waiting calls hold no thread while they wait, and send (with every
// command of the send path) only hands the envelope to the probe, whose send never waits for
// the client (tapwire.h), so both may run on an event-loop thread.
// Probe callbacks run the bookkeeping and the handlers on the probe's own threads.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "corvid/utils/json.hpp"

namespace corvid::core {

using Json = corvid::Json;

class Parlo;
class ReqData;

// Anything but a plain integer: what an integer parameter refuses at compile time (a boolean
// is not an integer, and neither is a text or a float).
template <class T>
concept NotAnInteger =
    !std::is_integral_v<std::remove_cvref_t<T>> || std::is_same_v<std::remove_cvref_t<T>, bool>;

// The wait of a request on the sync path when the caller names none.
inline constexpr double kDefaultSyncTimeoutSeconds = 10.0;
// Requests that may await their replies at once (the async_ forms); one more fails at once.
inline constexpr std::size_t kDefaultAwaitingLimit = 1000;

// A handler gets the binding and the event record (the probe message as received). The record
// is valid only during the call: a handler that keeps it (or relays it elsewhere) copies it.
using EventHandler = std::function<void(Parlo&, const Json&)>;

// Identifies one pending "tell me when logged in" subscription.
using LoginToken = std::uint64_t;

// The client settings the manager reads once, when the first binding is built: the client
// executable ("" or absent = the installed one) and the client version (absent = ask the
// probe). Written at start-up, before the first binding exists.
void set_client_defaults(std::optional<std::string> exe_path, std::optional<std::string> version);

class Parlo {
 public:
  // Builds a new binding and registers it with the client manager; the manager is created on
  // the first call (version and helper checks, probe initialisation, callbacks). Throws the
  // manager's error (ParloVersionNotMatchError, ParloRuntimeError, ProbeError) and then builds
  // nothing. The binding lives until the process ends.
  static Parlo& create();

  Parlo(const Parlo&) = delete;
  Parlo& operator=(const Parlo&) = delete;

  // ---- state, as copies ---------------------------------------------------------------------
  std::int64_t pid() const;        // client process id; 0 until open/attach
  std::int64_t client_id() const;  // probe connection id; 0 until bound
  bool status() const;             // a probe connection is bound
  bool login_status() const;       // the client's user is logged in
  // "ParloInstance(pid: <pid>, client_id: <client_id>)"
  std::string to_string() const;

  // The pid of the client this binding drives: bound to a live connection that was neither
  // closed nor detached. Absent otherwise (nothing started yet, the client quit, detached).
  std::optional<std::int64_t> driven_pid() const;

  // ---- lifecycle (blocking; worker threads) -------------------------------------------------
  // One binding drives one client. While it drives one, open starts nothing (and asks for no
  // QR code) and answers true; attach to the driven pid answers 1 without calling the probe,
  // attach to any other pid throws ParloRuntimeError naming the driven one. An open or attach
  // while another one runs throws ParloRuntimeError at once.
  // Starts a client (after asking for the login QR code when show_login_qrcode); true when the
  // probe started one (pid != 0). Probe failures throw ProbeError.
  bool open(bool smart = false, bool show_login_qrcode = false);
  // Attaches to the running client pid; returns the probe's result unchanged. pid() becomes
  // pid only when the probe attached (a non-zero result); a refusal (ProbeError) or a 0
  // ("no such client") keeps the previous pid.
  std::int64_t attach(std::int64_t pid);
  template <NotAnInteger T>
  std::int64_t attach(T) = delete;  // a pid is an integer, never a boolean or text
  // Detaches from the client of pid(); returns the probe's result unchanged. Changes no flag;
  // once the probe detached, the client no longer counts as driven, so an open or attach that
  // comes before the connection's close is reported starts a client again.
  std::int64_t detach();

  // Blocks until the account is logged in or the timeout passes (absent = no limit; negative
  // = 0). Returns at once while logged in; after a logout or a client quit it waits for the
  // next login. True when logged in on return.
  bool wait_login(std::optional<double> timeout_seconds = std::nullopt);
  // The same wait, holding no thread: the awaiting coroutine sleeps on a timer of its own
  // executor that the next login cancels. Writes the same "wait login..." line.
  boost::asio::awaitable<bool> async_wait_login(std::optional<double> timeout_seconds);
  // Non-blocking form: f runs once, when the account is logged in: at once on this thread
  // when it is logged in now (the result is then 0), otherwise on the probe thread of the
  // next login event, before the event's handlers. f must not block.
  LoginToken when_logged_in(std::function<void()> f);
  // Removes a pending subscription; true when f had not run and now never will.
  bool cancel_login_wait(LoginToken token);

  // ---- events -------------------------------------------------------------------------------
  // Registers f under each code (its decimal text); the name appears in the error line when f
  // throws ("callback error, in function `<name>`, error: <text>"). Handlers of one code run
  // in registration order; registering twice runs twice. Any thread, any time.
  void on(int code, std::string handler_name, EventHandler f);
  void on(const std::vector<int>& codes, std::string handler_name, EventHandler f);
  // A code given as text is used as the event name unchanged.
  void on(std::string_view event_name, std::string handler_name, EventHandler f);

  // ---- requests -----------------------------------------------------------------------------
  // Sends one envelope {"type": code, "data": data ({} when null), "extend": id (only when
  // given)}; returns the probe's result. ParloNotLoginError when not logged in (nothing sent),
  // ProbeError with the probe's text, JsonError for data that has no JSON text.
  std::int64_t send(int code, const Json& data = Json(),
                    const std::optional<std::string>& extend = std::nullopt);
  // Sends with a fresh request id and waits for the reply: its "data" (null when the reply
  // holds null or none came within the timeout; absent timeout = no limit). A reply without
  // "data" throws KeyError. The reply is never dispatched as an event.
  Json send_sync(int code, const Json& data = Json(),
                 std::optional<double> timeout_seconds = kDefaultSyncTimeoutSeconds);
  // send_sync for a coroutine: the envelope goes out on the calling thread, then the wait
  // holds no thread. Beyond awaiting_limit() requests awaiting at once it throws
  // ParloRuntimeError at once and sends nothing.
  boost::asio::awaitable<Json> async_send_sync(
      int code, Json data, std::optional<double> timeout_seconds = kDefaultSyncTimeoutSeconds);
  void set_awaiting_limit(std::size_t limit);
  std::size_t awaiting_limit() const;
  std::size_t awaiting_requests() const;  // async_send_sync calls still waiting

  // The wait used by the queries and the sync-path commands below (default 10 s).
  void set_default_timeout(std::optional<double> timeout_seconds);
  std::optional<double> default_timeout() const;

  // Requests still waiting for a reply, abandoned ones included (diagnostics and tests).
  std::size_t pending_requests() const;

  // ---- queries (sync path; null = no reply in time) -----------------------------------------
  // The "data" of the last login event ({} before the first); a copy; no login needed.
  Json get_login_info() const;
  Json get_self_info();
  Json get_contacts();
  Json get_publics();
  Json get_contact_detail(const Json& uid);
  // Contacts whose account id, account name, nickname or remark is like the given values
  // (absent or empty = not a criterion; wildcards around each value when fuzzy_search is
  // truthy). A JSON list of details (null entries for details that got no reply); [] without
  // criteria (nothing sent, no login needed) or when the search got no reply. Quotes in a
  // value can never change the statement. Malformed replies throw KeyError/TypeError.
  Json search_contacts(const std::optional<std::string>& uid = std::nullopt,
                       const std::optional<std::string>& account = std::nullopt,
                       const std::optional<std::string>& nickname = std::nullopt,
                       const std::optional<std::string>& remark = std::nullopt,
                       const Json& fuzzy_search = true);
  Json get_rooms();
  Json get_room_detail(const Json& room_uid);
  Json get_room_members(const std::string& room_uid);
  // The group chat's stored name: "" when no row matches, absent when the name is null.
  // ParloRuntimeError when the lookup got no reply; KeyError/TypeError/IndexError for a
  // malformed reply.
  std::optional<std::string> get_room_name(const std::string& room_uid);
  Json sql_query(const std::string& sql, std::int64_t db);
  template <NotAnInteger T>
  Json sql_query(const std::string&, T) = delete;

  // The queries for a coroutine: the same requests and results, through async_send_sync.
  // Arguments are taken by value: they must outlive the caller's first suspension.
  boost::asio::awaitable<Json> async_get_self_info();
  boost::asio::awaitable<Json> async_get_contacts();
  boost::asio::awaitable<Json> async_get_publics();
  boost::asio::awaitable<Json> async_get_contact_detail(Json uid);
  boost::asio::awaitable<Json> async_search_contacts(std::optional<std::string> uid,
                                                     std::optional<std::string> account,
                                                     std::optional<std::string> nickname,
                                                     std::optional<std::string> remark,
                                                     Json fuzzy_search);
  boost::asio::awaitable<Json> async_get_rooms();
  boost::asio::awaitable<Json> async_get_room_detail(Json room_uid);
  boost::asio::awaitable<Json> async_get_room_members(std::string room_uid);
  boost::asio::awaitable<std::optional<std::string>> async_get_room_name(std::string room_uid);
  boost::asio::awaitable<Json> async_sql_query(std::string sql, std::int64_t db);

  // ---- commands -----------------------------------------------------------------------------
  // Send path: the probe's result once it took the envelope.
  std::int64_t send_text(const std::string& to_uid, const std::string& content);
  // at_list must be a JSON list (TypeError otherwise, nothing sent); elements are not examined.
  std::int64_t send_room_at_msg(const std::string& to_uid, const std::string& content,
                                const Json& at_list);
  std::int64_t send_card(const std::string& to_uid, const std::string& card_uid);
  std::int64_t send_link_card(const std::string& to_uid, const std::string& title,
                              const std::string& desc, const std::string& url,
                              const std::string& image_url);
  std::int64_t send_image(const std::string& to_uid, const std::string& file_path);
  std::int64_t send_file(const std::string& to_uid, const std::string& file_path);
  std::int64_t send_video(const std::string& to_uid, const std::string& file_path);
  std::int64_t send_gif(const Json& to_uid, const Json& file);
  std::int64_t send_xml(const Json& to_uid, const Json& xml, const Json& app_type = 5);
  std::int64_t create_room(const Json& member_list);  // the list itself is the "data"
  std::int64_t quit_room(const std::string& room_uid);

  // Sync path: the reply's "data", null when none came in time.
  Json send_pat(const std::string& room_uid, const std::string& patted_uid);
  Json accept_friend_request(const std::string& encryptusername, const std::string& ticket,
                             std::int64_t scene);
  template <NotAnInteger T>
  Json accept_friend_request(const std::string&, const std::string&, T) = delete;
  Json add_room_member(const std::string& room_uid, const Json& member_list);
  Json invite_room_member(const std::string& room_uid, const Json& member_list);
  Json del_room_member(const std::string& room_uid, const Json& member_list);
  Json modify_room_name(const std::string& room_uid, const std::string& name);
  Json modify_room_notice(const std::string& room_uid, const std::string& notice);
  Json add_room_friend(const std::string& room_uid, const std::string& uid,
                       const std::string& verify);
  Json modify_friend_remark(const std::string& uid, const std::string& remark);

  // The sync-path commands for a coroutine (see the queries above).
  boost::asio::awaitable<Json> async_send_pat(std::string room_uid, std::string patted_uid);
  boost::asio::awaitable<Json> async_accept_friend_request(std::string encryptusername,
                                                           std::string ticket, std::int64_t scene);
  boost::asio::awaitable<Json> async_add_room_member(std::string room_uid, Json member_list);
  boost::asio::awaitable<Json> async_invite_room_member(std::string room_uid, Json member_list);
  boost::asio::awaitable<Json> async_del_room_member(std::string room_uid, Json member_list);
  boost::asio::awaitable<Json> async_modify_room_name(std::string room_uid, std::string name);
  boost::asio::awaitable<Json> async_modify_room_notice(std::string room_uid, std::string notice);
  boost::asio::awaitable<Json> async_add_room_friend(std::string room_uid, std::string uid,
                                                     std::string verify);
  boost::asio::awaitable<Json> async_modify_friend_remark(std::string uid, std::string remark);

  // ---- called by the client manager on probe threads ----------------------------------------
  void bind_client_id(std::int64_t client_id);
  // Login/logout bookkeeping, reply matching, then dispatch. Throws KeyError without "type".
  // Taken by value: a reply moves on to its request instead of being copied (it may be large).
  void on_recv(Json message);
  // Clears both flags and dispatches the quit record {"type": MT_RECV_PARLO_QUIT_MSG, ...}.
  void on_close();

 private:
  Parlo();
  ~Parlo();
  // Registers a request under a fresh id and sends its envelope; an envelope that cannot go
  // out leaves no entry behind. The blocking and the awaited wait share it.
  std::pair<std::shared_ptr<ReqData>, std::string> send_request(int code, const Json& data);
  // After a wait: a request still unanswered stays only to swallow a late reply.
  void end_request(const ReqData& request, const std::string& id);
  struct State;
  State* state_;  // never freed: the binding outlives every probe thread
};

}  // namespace corvid::core
