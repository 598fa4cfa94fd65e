#include "corvid/core/request_table.hpp"

#include <cmath>
#include <functional>
#include <vector>

#include "corvid/utils/errors.hpp"
#include "corvid/utils/guid.hpp"

namespace corvid::core {

Json ReqData::wait_response(std::optional<double> timeout_seconds) {
  constexpr double kUnlimitedSeconds = 1e8;
  {
    std::unique_lock lock(mutex_);
    if (!timeout_seconds || *timeout_seconds >= kUnlimitedSeconds) {
      cv_.wait(lock, [&] { return done_; });
    } else if (!std::isnan(*timeout_seconds) && *timeout_seconds > 0) {
      const auto deadline = std::chrono::steady_clock::now() +
                            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                std::chrono::duration<double>(*timeout_seconds));
      cv_.wait_until(lock, deadline, [&] { return done_; });
    }
  }
  return get_response_data();
}

void ReqData::on_response(Json message) {
  {
    std::lock_guard lock(mutex_);
    if (done_) return;
    response_ = std::move(message);
    done_ = true;
  }
  cv_.notify_all();
}

void ReqData::cancel() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  cv_.notify_all();
}

Json ReqData::get_response_data() const {
  std::lock_guard lock(mutex_);
  if (!response_) return Json();
  if (!response_->is_object()) throw TypeError("a reply must be a JSON object");
  auto it = response_->find("data");
  if (it == response_->end()) throw KeyError("data");
  return *it;
}

bool ReqData::answered() const {
  std::lock_guard lock(mutex_);
  return response_.has_value();
}

std::string RequestTable::add(const std::shared_ptr<ReqData>& request, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  sweep(now);
  std::string id;
  do {
    id = id_source_ ? id_source_() : generate_guid("req");
  } while (pending_.count(id));
  pending_.emplace(id, request);
  return id;
}

void RequestTable::drop(const std::string& id) {
  std::lock_guard lock(mutex_);
  pending_.erase(id);
}

void RequestTable::abandon(const std::string& id, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  if (!pending_.count(id)) return;  // answered meanwhile
  abandoned_.emplace_back(id, now);
  sweep(now);
}

std::shared_ptr<ReqData> RequestTable::take(const std::string& id) {
  std::lock_guard lock(mutex_);
  auto it = pending_.find(id);
  if (it == pending_.end()) return nullptr;
  auto request = std::move(it->second);
  pending_.erase(it);
  return request;
}

void RequestTable::close_client(std::int64_t client_id) {
  std::vector<std::shared_ptr<ReqData>> ended;
  {
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->second->client_id == client_id) {
        ended.push_back(std::move(it->second));
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& request : ended) request->cancel();
}

std::size_t RequestTable::size() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

bool RequestTable::contains(const std::string& id) const {
  std::lock_guard lock(mutex_);
  return pending_.count(id) > 0;
}

void RequestTable::set_id_source(std::function<std::string()> source) {
  std::lock_guard lock(mutex_);
  id_source_ = std::move(source);
}

void RequestTable::sweep(Clock::time_point now) {
  // Ids in abandoned_ that were answered (or ended) since are simply skipped.
  while (!abandoned_.empty() &&
         (abandoned_.front().second + kAbandonedGrace <= now ||
          abandoned_.size() > kAbandonedLimit)) {
    pending_.erase(abandoned_.front().first);
    abandoned_.pop_front();
  }
}

}  // namespace corvid::core
