#pragma once
// ParloService: the messaging service in front of the Parlo binding. It builds the binding,
// registers the 28 event handlers, relays every client event to the WebSocket connections of
// the logged-in account (through its EventRelay), and offers the client operations as
// awaitables with fixed fallbacks (false or null) and failure lines. Logs on channel
// "parlo_service"; some operations report on the console instead, as their callers' operators
// expect.
// Owner: main builds one for the process, after the registry; it is never destroyed while the
// probe may call back. Threads: operations may be awaited from any executor. A send runs on the
// caller's thread (the probe's send never waits for the client), a request's reply is awaited
// without a thread, and only the calls that may block (open, attach, detach, the file check)
// run on the worker pool, a bounded number at a time; events are relayed in arrival order per
// account (see EventRelay). Guarantees: no operation throws for an ordinary failure.
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/thread_pool.hpp>

#include "corvid/app/config.hpp"
#include "corvid/app/event_relay.hpp"
#include "corvid/utils/json.hpp"

namespace corvid::core {
class Parlo;
}

namespace corvid::app {

class ConnectionManager;

class ParloService {
 public:
  // Sets the client defaults from config (when either value is configured), builds the binding
  // and registers the handlers. Never throws for a binding that cannot be built: that is logged
  // ("初始化Parlo失败: ...") and the service runs without a binding.
  ParloService(const ParloConfig& config, boost::asio::any_io_executor io,
               boost::asio::thread_pool& workers, ConnectionManager& hub);
  ParloService(const ParloService&) = delete;
  ParloService& operator=(const ParloService&) = delete;
  ~ParloService();

  // The binding, or nullptr when building it failed. Fixed after construction.
  core::Parlo* parlo() const noexcept { return parlo_; }
  // True once the binding was built and every handler registered.
  bool is_initialized() const noexcept { return initialized_.load(); }
  // The account of the last login event; absent after a logout. A copy.
  std::optional<std::string> current_login_uid() const;
  // parlo() present and logged in (the routes' login guard).
  bool logged_in() const;

  // {"pid", "client_id", "login_status", "status", "login_info", "current_uid"}; never waits.
  Json get_status() const;

  // Calls queued or running on the worker pool (diagnostics and tests).
  std::size_t blocking_calls() const noexcept { return blocking_calls_.load(); }

  // Events delivered after this are no longer relayed (shutdown, before the loop stops).
  void stop_relaying() noexcept { relay_.stop(); }

  // ---- lifecycle (failures on the log) ------------------------------------------------------
  boost::asio::awaitable<bool> open_parlo(bool smart = false, bool show_qrcode = false);
  // The probe's result (an integer), or false on failure / without initialisation.
  boost::asio::awaitable<Json> attach_parlo(std::int64_t pid);
  boost::asio::awaitable<Json> detach_parlo();
  // Waits (without holding a worker) until logged in or timeout seconds pass (absent = no
  // limit, negative = 0); then the binding's login state.
  boost::asio::awaitable<bool> wait_login(std::optional<std::int64_t> timeout = std::nullopt);
  boost::asio::awaitable<Json> get_self_info();

  // ---- sending (true once handed to the client; false on failure) ---------------------------
  boost::asio::awaitable<bool> send_text(std::string to_uid, std::string content);
  boost::asio::awaitable<bool> send_room_at_msg(std::string to_uid, std::string content,
                                                Json at_list);
  boost::asio::awaitable<bool> send_card(std::string to_uid, std::string card_uid);
  boost::asio::awaitable<bool> send_link_card(std::string to_uid, std::string title,
                                              std::string desc, std::string url,
                                              std::string image_url);
  boost::asio::awaitable<bool> send_image(std::string to_uid, std::string file_path);
  boost::asio::awaitable<bool> send_file(std::string to_uid, std::string file_path);
  boost::asio::awaitable<bool> send_video(std::string to_uid, std::string file_path);
  boost::asio::awaitable<bool> send_gif(std::string to_uid, std::string file_path);
  boost::asio::awaitable<bool> send_xml(std::string to_uid, std::string xml,
                                        std::int64_t app_type = 5);
  // The reply's data; null on failure or when no reply came in time.
  boost::asio::awaitable<Json> send_pat(std::string room_uid, std::string patted_uid);

  // ---- contacts (null on failure) -----------------------------------------------------------
  boost::asio::awaitable<Json> get_contacts();
  boost::asio::awaitable<Json> get_publics();
  boost::asio::awaitable<Json> get_contact_detail(std::string uid);
  boost::asio::awaitable<Json> search_contacts(std::optional<std::string> uid = std::nullopt,
                                               std::optional<std::string> account = std::nullopt,
                                               std::optional<std::string> nickname = std::nullopt,
                                               std::optional<std::string> remark = std::nullopt,
                                               bool fuzzy_search = true);
  boost::asio::awaitable<Json> modify_friend_remark(std::string uid, std::string remark);
  boost::asio::awaitable<Json> accept_friend_request(std::string encryptusername,
                                                     std::string ticket, std::int64_t scene);
  boost::asio::awaitable<Json> add_room_friend(std::string room_uid, std::string uid,
                                               std::string verify);

  // ---- group chats and SQL (null / false on failure) ----------------------------------------
  boost::asio::awaitable<Json> get_rooms();
  boost::asio::awaitable<Json> get_room_detail(std::string room_uid);
  boost::asio::awaitable<Json> get_room_members(std::string room_uid);
  boost::asio::awaitable<std::optional<std::string>> get_room_name(std::string room_uid);
  boost::asio::awaitable<bool> create_room(Json member_list);
  boost::asio::awaitable<Json> add_room_member(std::string room_uid, Json member_list);
  boost::asio::awaitable<Json> invite_room_member(std::string room_uid, Json member_list);
  boost::asio::awaitable<Json> del_room_member(std::string room_uid, Json member_list);
  boost::asio::awaitable<Json> modify_room_name(std::string room_uid, std::string name);
  boost::asio::awaitable<Json> modify_room_notice(std::string room_uid, std::string notice);
  boost::asio::awaitable<bool> quit_room(std::string room_uid);
  boost::asio::awaitable<Json> sql_query(std::string sql, std::int64_t db);

  // Whether a JSON result counts as success for the routes: false, null, 0, "", [] and {} do not.
  static bool truthy(const Json& value);
  // The type an error report names for e (the client side's own name, else the demangled type).
  static std::string error_type(const std::exception& e);

 private:
  void initialize(const ParloConfig& config);
  void register_handlers();
  void set_login_uid(std::optional<std::string> uid);

  // The four file-sending operations: login check, file check, start line, command, done line.
 public:
  struct FileKind;  // the lines one kind writes (parlo_service.cpp)
 private:
  using FileCommand = void (*)(core::Parlo&, const std::string& to_uid,
                               const std::string& file_path);
  boost::asio::awaitable<bool> send_file_kind(const FileKind& kind, std::string to_uid,
                                              std::string file_path, FileCommand command);

  boost::asio::thread_pool& workers_;
  std::atomic<std::size_t> blocking_calls_{0};  // calls queued or running on workers_
  EventRelay relay_;
  core::Parlo* parlo_ = nullptr;  // set once, in the constructor
  std::atomic<bool> initialized_{false};
  mutable std::mutex uid_mutex_;  // guards login_uid_
  std::optional<std::string> login_uid_;
};

}  // namespace corvid::app
