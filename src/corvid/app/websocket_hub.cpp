#include "corvid/app/websocket_hub.hpp"

#include <algorithm>
#include <ctime>
#include <exception>
#include <iterator>
#include <stdexcept>

#include <boost/asio/post.hpp>
#include <fmt/format.h>

#include "corvid/utils/errors.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app {
namespace {

std::shared_ptr<spdlog::logger> hub_log() {
  static auto logger = log::get("websocket_hub");
  return logger;
}

// Each connection's cursor, and the bytes it lags behind the head of log.
void lags_of(const FrameLog& log, const std::vector<ConnectionPtr>& connections,
             std::vector<std::uint64_t>& cursors, std::vector<std::uint64_t>& lags) {
  cursors.clear();
  cursors.reserve(connections.size());
  for (const auto& connection : connections) cursors.push_back(connection->cursor());
  log.lags(cursors, lags);
}

}  // namespace

std::string iso_local_time(Clock::time_point when) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(micros / 1'000'000);
  long fraction = static_cast<long>(micros % 1'000'000);
  if (fraction < 0) {  // before 1970: floor, not truncate
    fraction += 1'000'000;
    --seconds;
  }
  std::tm local{};
  localtime_r(&seconds, &local);
  std::string text = fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", local.tm_year + 1900,
                                 local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                 local.tm_sec);
  if (fraction != 0) text += fmt::format(".{:06}", fraction);
  return text;
}

Frame make_frame(const Json& data) {
  if (nesting_depth(data, kMaxIndentedDepth) > kMaxIndentedDepth) {
    if (nesting_depth(data, kMaxFrameDepth) > kMaxFrameDepth)
      throw std::length_error("nested deeper than " + std::to_string(kMaxFrameDepth) + " levels");
    return std::make_shared<const std::string>(dump_compact(data));
  }
  return std::make_shared<const std::string>(dump_pretty(data));
}

// ---- OrderedMap ---------------------------------------------------------------------------

template <class V>
V* ConnectionManager::OrderedMap<V>::find(const std::string& key) {
  auto it = index_.find(key);
  return it == index_.end() ? nullptr : &it->second->second;
}

template <class V>
const V* ConnectionManager::OrderedMap<V>::find(const std::string& key) const {
  auto it = index_.find(key);
  return it == index_.end() ? nullptr : &it->second->second;
}

template <class V>
V& ConnectionManager::OrderedMap<V>::get_or_add(const std::string& key) {
  if (auto* found = find(key)) return *found;
  items_.emplace_back(key, V{});
  index_.emplace(key, std::prev(items_.end()));
  return items_.back().second;
}

template <class V>
void ConnectionManager::OrderedMap<V>::insert_or_assign(const std::string& key, V value) {
  get_or_add(key) = std::move(value);
}

template <class V>
bool ConnectionManager::OrderedMap<V>::erase(const std::string& key) {
  auto it = index_.find(key);
  if (it == index_.end()) return false;
  items_.erase(it->second);
  index_.erase(it);
  return true;
}

// ---- ConnectionManager --------------------------------------------------------------------

ConnectionManager::ConnectionManager() = default;

std::string ConnectionManager::connection_id(std::string_view user_uid, const Connection& connection) {
  return fmt::format("{}_{}", user_uid, connection.id());
}

boost::asio::awaitable<void> ConnectionManager::connect(ConnectionPtr connection,
                                                        std::string user_uid,
                                                        std::optional<Json> client_info) {
  if (!connection) throw TypeError("connection must not be null");
  if (client_info && !client_info->is_object() && !client_info->is_null())
    throw TypeError("client_info must be a map or absent");

  co_await connection->accept();

  connection->set_failure_handler(
      [this, weak = std::weak_ptr<Connection>(connection), user_uid](const std::string& error) {
        on_connection_failed(weak, user_uid, error);
      });

  Json info = (client_info && client_info->is_object() && !client_info->empty()) ? *client_info
                                                                                  : Json::object();
  const std::string id = connection_id(user_uid, *connection);
  std::size_t count = 0;
  Frame welcome;
  bool queued = false;
  {
    std::lock_guard lock(mutex_);
    auto& list = active_.get_or_add(user_uid);
    list.push_back(connection);
    auto& log = logs_[user_uid];
    if (!log) log = std::make_shared<FrameLog>();
    count = list.size();
    info_.insert_or_assign(id, ConnectionRecord{user_uid, Clock::now(), std::move(info)});
    Json frame = Json::object();
    frame["type"] = "connection_established";
    frame["message"] = "WebSocket连接建立成功";
    frame["uid"] = user_uid;
    frame["timestamp"] = iso_local_time(Clock::now());
    welcome = make_frame(frame);
    // Queued under the lock that made the connection visible, so no relay can get a frame in
    // ahead of the welcome. send() only enqueues.
    queued = connection->send(welcome);
    // From here the account's frames reach it, after the welcome.
    connection->attach(log);
  }
  hub_log()->info("WebSocket连接建立: {}, 当前连接数: {}", user_uid, count);
  if (queued) {
    hub_log()->debug("WebSocket消息已发送: {} 字节", welcome->size());
  } else {
    hub_log()->error("发送消息失败: {}", connection->error_text());
  }
}

void ConnectionManager::disconnect(const ConnectionPtr& connection, const std::string& user_uid) {
  {
    std::lock_guard lock(mutex_);
    if (auto* list = active_.find(user_uid)) {
      auto it = std::find(list->begin(), list->end(), connection);
      if (it != list->end()) {
        list->erase(it);
        if (list->empty()) {
          active_.erase(user_uid);
          logs_.erase(user_uid);
        }
      }
    }
    if (connection) info_.erase(connection_id(user_uid, *connection));
  }
  hub_log()->info("WebSocket连接断开: {}", user_uid);
}

void ConnectionManager::send_to_connection(const ConnectionPtr& connection, const Json& data) {
  try {
    if (!connection) throw TypeError("connection must not be null");
    Frame frame = make_frame(data);
    if (!connection->send(frame)) throw std::runtime_error(connection->error_text());
    hub_log()->debug("WebSocket消息已发送: {} 字节", frame->size());
  } catch (const std::exception& e) {
    hub_log()->error("发送消息失败: {}", e.what());
  }
}

void ConnectionManager::send_to_user(const std::string& user_uid, const Json& data) {
  Frame frame;
  try {
    frame = make_frame(data);
  } catch (const std::exception& e) {
    // A frame that cannot be built is the event's fault, not the connections': nobody is dropped.
    hub_log()->error("向用户 {} 发送消息失败: {}", user_uid, e.what());
    return;
  }
  send_to_user(user_uid, std::move(frame));
}

void ConnectionManager::send_to_user(const std::string& user_uid, Frame frame) {
  send_to_user(user_uid, std::span<const Frame>(&frame, 1));
}

void ConnectionManager::send_to_user(const std::string& user_uid, std::span<const Frame> frames) {
  if (frames.empty()) return;
  std::vector<ConnectionPtr> targets;
  std::shared_ptr<FrameLog> log;
  {
    std::lock_guard lock(mutex_);
    if (auto* list = active_.find(user_uid)) targets = *list;
    if (auto it = logs_.find(user_uid); it != logs_.end()) log = it->second;
  }
  if (targets.empty() || !log) {
    hub_log()->debug("用户 {} 没有活跃的WebSocket连接", user_uid);
    return;
  }
  for (const auto& frame : frames)
    if (!frame) throw TypeError("frame must not be null");
  log->append(frames);
  // A connection that has not taken what it was given for kLagBudget bytes is not reading:
  // it is let go here, so the log never keeps more than that for it.
  const std::uint64_t head = log->head();
  std::vector<std::uint64_t> cursors, lags;
  lags_of(*log, targets, cursors, lags);
  std::vector<std::pair<ConnectionPtr, std::string>> failed;
  std::vector<ConnectionPtr> wake;
  std::uint64_t oldest = head;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const auto& connection = targets[i];
    if (lags[i] > kLagBudget) {
      failed.emplace_back(connection, fmt::format("lagging {} bytes behind (budget {} bytes)",
                                                  lags[i], kLagBudget));
      continue;
    }
    if (!connection->notify_grouped(wake)) {
      failed.emplace_back(connection, std::string());
      continue;
    }
    oldest = std::min(oldest, cursors[i]);
  }
  start_writers(std::move(wake));
  for (const auto& [connection, why] : failed) {
    if (why.empty()) {
      hub_log()->error("向用户 {} 发送消息失败: {}", user_uid, connection->error_text());
      disconnect(connection, user_uid);
      // Forgotten and closed, so the peer learns it has to reconnect instead of waiting forever.
      connection->close(kCloseInternalError, "send failed");
    } else {
      hub_log()->error("向用户 {} 发送消息失败: {}", user_uid, why);
      disconnect(connection, user_uid);
      connection->cut(why);
    }
  }
  log->trim(oldest);
  const std::size_t delivered = targets.size() - failed.size();
  if (delivered > 0) hub_log()->debug("成功向 {} 的 {} 个连接推送消息", user_uid, delivered);
}

// The writers to start go to the loop in groups, one post a group: a post per connection would
// keep the relay busy for as long as it takes to post to every connection of a large account,
// and the last connection would get its frames that much later. On a loop thread each writer
// of a group then runs at once (see start_writer()).
void ConnectionManager::start_writers(std::vector<ConnectionPtr> wake) {
  for (std::size_t from = 0; from < wake.size(); from += kWakeGroup) {
    const std::size_t to = std::min(wake.size(), from + kWakeGroup);
    auto loop = wake[from]->loop_executor();
    if (!loop) {
      for (std::size_t i = from; i < to; ++i) wake[i]->start_writer();
      continue;
    }
    std::vector<ConnectionPtr> group(std::make_move_iterator(wake.begin() + from),
                                     std::make_move_iterator(wake.begin() + to));
    boost::asio::post(loop, [group = std::move(group)] {
      for (const auto& connection : group) connection->start_writer();
    });
  }
}

bool ConnectionManager::relay_should_wait(const std::string& user_uid) const {
  std::vector<ConnectionPtr> targets;
  std::shared_ptr<FrameLog> log;
  {
    std::lock_guard lock(mutex_);
    if (auto* list = active_.find(user_uid)) targets = *list;
    if (auto it = logs_.find(user_uid); it != logs_.end()) log = it->second;
  }
  if (!log || log->kept_bytes() <= kRelayBudget) return false;
  std::vector<std::uint64_t> cursors, lags;
  lags_of(*log, targets, cursors, lags);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (lags[i] > kRelayBudget && targets[i]->taking_data()) return true;
  }
  return false;
}

std::uint64_t ConnectionManager::kept_bytes(const std::string& user_uid) const {
  std::lock_guard lock(mutex_);
  auto it = logs_.find(user_uid);
  return it == logs_.end() ? 0 : it->second->kept_bytes();
}

void ConnectionManager::on_connection_failed(const std::weak_ptr<Connection>& weak,
                                             const std::string& user_uid, const std::string& error) {
  auto connection = weak.lock();
  if (!connection) return;
  bool listed = false;
  {
    std::lock_guard lock(mutex_);
    if (auto* list = active_.find(user_uid))
      listed = std::find(list->begin(), list->end(), connection) != list->end();
  }
  if (!listed) return;  // the endpoint has already let it go
  hub_log()->error("向用户 {} 发送消息失败: {}", user_uid, error);
  disconnect(connection, user_uid);
}

Json ConnectionManager::get_connection_stats() const {
  std::lock_guard lock(mutex_);
  std::size_t total = 0;
  for (const auto& [uid, list] : active_.items()) total += list.size();
  Json stats = Json::object();
  stats["total_users"] = active_.size();
  stats["total_connections"] = total;
  Json users = Json::object();
  for (const auto& [uid, list] : active_.items()) users[uid] = list.size();
  stats["users"] = std::move(users);
  return stats;
}

Json ConnectionManager::get_detailed_connections() const {
  std::lock_guard lock(mutex_);
  Json records = Json::array();
  for (const auto& [uid, list] : active_.items()) {
    for (const auto& connection : list) {
      const std::string id = connection_id(uid, *connection);
      const auto* record = info_.find(id);
      Json entry = Json::object();
      entry["user_uid"] = uid;
      entry["connection_id"] = id;
      entry["connected_at"] = iso_local_time(record ? record->connected_at : Clock::now());
      entry["client_info"] = record ? record->client_info : Json::object();
      entry["websocket_id"] = connection->id();
      records.push_back(std::move(entry));
    }
  }
  return records;
}

std::vector<std::pair<std::string, std::vector<ConnectionPtr>>> ConnectionManager::active_connections()
    const {
  std::lock_guard lock(mutex_);
  return {active_.items().begin(), active_.items().end()};
}

std::vector<std::pair<std::string, ConnectionRecord>> ConnectionManager::connection_info() const {
  std::lock_guard lock(mutex_);
  return {info_.items().begin(), info_.items().end()};
}

std::vector<ConnectionPtr> ConnectionManager::snapshot() const {
  std::lock_guard lock(mutex_);
  std::vector<ConnectionPtr> all;
  for (const auto& [uid, list] : active_.items()) all.insert(all.end(), list.begin(), list.end());
  return all;
}

}  // namespace corvid::app
