#include "corvid/app/websocket/websocket_hub.hpp"

#include <algorithm>
#include <ctime>
#include <exception>
#include <iterator>
#include <stdexcept>

#include <fmt/format.h>
#include <boost/asio/post.hpp>

#include "corvid/utils/errors.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app {
namespace {

std::shared_ptr<spdlog::logger> hub_log() {
  static auto logger = log::get("websocket_hub");
  return logger;
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
  std::string text =
      fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
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

ConnectionManager::ConnectionManager(std::uint64_t budget) : budget_(budget) {}

std::string ConnectionManager::connection_id(std::string_view user_uid,
                                             const Connection& connection) {
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
  bool gone = false;
  {
    std::lock_guard lock(mutex_);
    if (auto* list = active_.find(user_uid)) {
      auto it = std::find(list->begin(), list->end(), connection);
      if (it != list->end()) {
        list->erase(it);
        gone = std::find(list->begin(), list->end(), connection) == list->end();
        if (list->empty()) {
          active_.erase(user_uid);
          logs_.erase(user_uid);
        }
      }
    }
    if (connection) info_.erase(connection_id(user_uid, *connection));
  }
  // Out of the registry, out of the account's later frames; its backlog still reaches it.
  if (gone) connection->take_no_more();
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
  send_to_user(user_uid, std::span<const Frame>(&frame, 1));
}

void ConnectionManager::send_to_user(const std::string& user_uid, std::span<const Frame> frames,
                                     std::uint64_t queued) {
  if (frames.empty()) return;
  for (const auto& frame : frames)
    if (!frame) throw TypeError("frame must not be null");
  std::vector<ConnectionPtr> targets;
  std::shared_ptr<FrameLog> log;
  {
    // Appended under the lock that registers connections: one registered before this step is
    // among the targets woken below, one registered after it joined the log past these frames.
    std::lock_guard lock(mutex_);
    if (auto* list = active_.find(user_uid)) targets = *list;
    if (auto it = logs_.find(user_uid); it != logs_.end()) log = it->second;
    if (log && !targets.empty()) log->append(frames);
  }
  if (targets.empty() || !log) {
    hub_log()->debug("用户 {} 没有活跃的WebSocket连接", user_uid);
    return;
  }
  std::vector<std::pair<ConnectionPtr, std::string>> failed;
  std::vector<ConnectionPtr> wake;
  for (const auto& connection : targets) {
    if (!connection->notify_grouped(wake)) failed.emplace_back(connection, std::string());
  }
  start_writers(std::move(wake));
  // The one that falls behind goes: each connection whose backlog now costs more than the
  // budget, the slowest first. The others keep their pace.
  for (auto& [reader, lag] : log->behind(budget_, queued)) {
    const bool known =
        std::any_of(failed.begin(), failed.end(), [&](const auto& f) { return f.first == reader; });
    if (known) continue;
    failed.emplace_back(std::move(reader),
                        fmt::format("lagging {} bytes behind (budget {} bytes)", lag, budget_));
  }
  let_go(user_uid, failed);
  std::size_t delivered = 0;
  for (const auto& connection : targets) {
    const bool gone = std::any_of(failed.begin(), failed.end(),
                                  [&](const auto& f) { return f.first == connection; });
    if (!gone) ++delivered;
  }
  if (delivered > 0) hub_log()->debug("成功向 {} 的 {} 个连接推送消息", user_uid, delivered);
}

void ConnectionManager::cut_all(const std::string& user_uid, const std::string& why) {
  std::vector<std::pair<ConnectionPtr, std::string>> behind;
  {
    std::lock_guard lock(mutex_);
    if (auto* list = active_.find(user_uid))
      for (const auto& connection : *list) behind.emplace_back(connection, why);
  }
  let_go(user_uid, behind);
}

void ConnectionManager::let_go(const std::string& user_uid,
                               const std::vector<std::pair<ConnectionPtr, std::string>>& behind) {
  for (const auto& [connection, why] : behind) {
    bool listed = false;
    {
      std::lock_guard lock(mutex_);
      if (auto* list = active_.find(user_uid))
        listed = std::find(list->begin(), list->end(), connection) != list->end();
    }
    if (why.empty()) {
      hub_log()->error("向用户 {} 发送消息失败: {}", user_uid, connection->error_text());
      if (listed) disconnect(connection, user_uid);
      // Forgotten and closed, so the peer learns it has to reconnect instead of waiting forever.
      connection->close(kCloseInternalError, "send failed");
    } else {
      hub_log()->error("向用户 {} 发送消息失败: {}", user_uid, why);
      if (listed) disconnect(connection, user_uid);
      connection->cut(why);
    }
  }
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

std::uint64_t ConnectionManager::held_bytes(const std::string& user_uid) const {
  std::shared_ptr<FrameLog> log;
  {
    std::lock_guard lock(mutex_);
    if (auto it = logs_.find(user_uid); it != logs_.end()) log = it->second;
  }
  return log ? log->held() : 0;
}

void ConnectionManager::on_connection_failed(const std::weak_ptr<Connection>& weak,
                                             const std::string& user_uid,
                                             const std::string& error) {
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

std::vector<ConnectionPtr> ConnectionManager::snapshot() const {
  std::lock_guard lock(mutex_);
  std::vector<ConnectionPtr> all;
  for (const auto& [uid, list] : active_.items()) all.insert(all.end(), list.begin(), list.end());
  return all;
}

}  // namespace corvid::app
