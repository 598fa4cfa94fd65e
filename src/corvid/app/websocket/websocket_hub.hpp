#pragma once
// ConnectionManager: the registry of live WebSocket connections, grouped by account id, with a
// metadata record per connection; greets new connections, pushes frames to one connection or
// to every connection of an account, and reports statistics. Logs on channel "websocket_hub".
// Delivery to an account: its frames are appended once to the account's FrameLog, and each
// connection writes them from its own place at its own pace; nothing waits for a slow reader.
// What the log holds for the account, with the relay's frames not yet handed over, stays
// within one budget: a connection whose backlog would cost more than the budget is cut (the
// one that falls behind goes, the others stay), as is one whose peer takes no byte for the
// stall timeout while it has something to take (the connection's own watchdog).
// Owner: one instance for the process, built in main before the service; never destroyed while
// connections or relays may still use it. Threads: every member may be called from any thread;
// one mutex guards the maps and is never held across I/O (sends only enqueue or wake writers).
// Guarantees: maps keep registration order; the welcome frame is a connection's first frame,
// and every frame pushed after its registration follows it, in order.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "corvid/app/websocket/websocket_connection.hpp"
#include "corvid/utils/json.hpp"

namespace corvid::app {

using Clock = std::chrono::system_clock;

// Local date and time as ISO 8601 without a time zone: "YYYY-MM-DDTHH:MM:SS.ffffff", the
// fraction left out when the microseconds are zero.
std::string iso_local_time(Clock::time_point when);

// The text of a frame: two-space indentation, keys in order, UTF-8 raw (invalid bytes replaced).
Frame make_frame(const Json& data);

// The metadata of one registered connection.
struct ConnectionRecord {
  std::string uid;
  Clock::time_point connected_at;
  Json client_info = Json::object();
};

// What one account may hold for delivery: its connections' backlogs and the relay's frames not
// yet handed over, counted with kFrameOverhead a frame.
inline constexpr std::uint64_t kDefaultDeliveryBudget = std::uint64_t{64} << 20;

class ConnectionManager {
 public:
  explicit ConnectionManager(std::uint64_t budget = kDefaultDeliveryBudget);
  ConnectionManager(const ConnectionManager&) = delete;
  ConnectionManager& operator=(const ConnectionManager&) = delete;

  // Accepts the handshake (a failure propagates, nothing registered), registers the connection
  // under user_uid, stores its record and queues the welcome frame before any other frame can
  // reach it. client_info must be an object or absent (TypeError otherwise). A connection that
  // fails later, while registered, is removed from the registry on its own.
  boost::asio::awaitable<void> connect(ConnectionPtr connection, std::string user_uid,
                                       std::optional<Json> client_info = std::nullopt);

  // Forgets the first listing of connection under user_uid and its record; always logs.
  // Does not close the connection.
  void disconnect(const ConnectionPtr& connection, const std::string& user_uid);

  // Queues data as one frame on connection; failures are logged, never thrown.
  void send_to_connection(const ConnectionPtr& connection, const Json& data);

  // Queues data, serialised once, on every connection of user_uid. Connections that refuse it
  // are logged, forgotten and closed; the others are not delayed by them.
  void send_to_user(const std::string& user_uid, const Json& data);
  // Several frames in order, each connection taking them in one step (the relay's batches).
  // queued: what the relay holds for the account behind these frames, which counts against
  // the budget as what the log holds does. A connection whose backlog would then cost more
  // than the budget is logged with its figure, forgotten and cut.
  void send_to_user(const std::string& user_uid, std::span<const Frame> frames,
                    std::uint64_t queued = 0);
  // Cuts every connection of user_uid with the reason (the relay's frames alone are over the
  // budget, so every one of them is that far behind).
  void cut_all(const std::string& user_uid, const std::string& why);

  std::uint64_t budget() const noexcept { return budget_; }
  // What the account's log holds, counted as the budget counts it (0 without connections).
  std::uint64_t held_bytes(const std::string& user_uid) const;

  // {"total_users", "total_connections", "users": {uid: count}}, accounts in registration order.
  Json get_connection_stats() const;
  // [{"user_uid", "connection_id", "connected_at", "client_info", "websocket_id"}, ...].
  Json get_detailed_connections() const;

  // Every registered connection once per listing, accounts in order (the shutdown's snapshot).
  std::vector<ConnectionPtr> snapshot() const;

  static std::string connection_id(std::string_view user_uid, const Connection& connection);

 private:
  // A map that keeps insertion order; a key removed and added again goes to the end.
  template <class V>
  class OrderedMap {
   public:
    V* find(const std::string& key);
    const V* find(const std::string& key) const;
    V& get_or_add(const std::string& key);
    void insert_or_assign(const std::string& key, V value);
    bool erase(const std::string& key);
    std::size_t size() const { return items_.size(); }
    const std::list<std::pair<std::string, V>>& items() const { return items_; }

   private:
    std::list<std::pair<std::string, V>> items_;
    std::unordered_map<std::string, typename std::list<std::pair<std::string, V>>::iterator> index_;
  };

  // Connections whose writers one post of the relay starts (see start_writers()).
  static constexpr std::size_t kWakeGroup = 32;
  void start_writers(std::vector<ConnectionPtr> wake);

  void on_connection_failed(const std::weak_ptr<Connection>& weak, const std::string& user_uid,
                            const std::string& error);
  // Logs, forgets (when still listed) and cuts each connection for its reason.
  void let_go(const std::string& user_uid,
              const std::vector<std::pair<ConnectionPtr, std::string>>& behind);

  const std::uint64_t budget_;
  mutable std::mutex mutex_;  // guards active_, info_, logs_
  OrderedMap<std::vector<ConnectionPtr>> active_;
  std::unordered_map<std::string, std::shared_ptr<FrameLog>> logs_;  // one per key of active_
  OrderedMap<ConnectionRecord> info_;
};

}  // namespace corvid::app
