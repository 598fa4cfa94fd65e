#include "connection.hpp"

namespace corvid::sim {

Connection::Connection(std::int64_t client_id, std::int64_t pid, CallbackSource callbacks,
                       std::atomic<std::uint64_t>& callback_failures)
    : client_id_(client_id),
      pid_(pid),
      callbacks_(std::move(callbacks)),
      callback_failures_(callback_failures) {}

Connection::~Connection() {
  // The simulation joins before it lets go of a connection; this only guards a mistake.
  if (thread_.joinable()) thread_.detach();
}

void Connection::start(std::string ready_json) {
  ready_json_ = std::move(ready_json);
  thread_ = std::thread([self = shared_from_this()] { self->run(); });
}

void Connection::release(Clock::duration ready_delay, bool wait_for_ready) {
  std::unique_lock lock(mu_);
  released_ = true;
  ready_at_ = Clock::now() + ready_delay;
  cv_.notify_all();
  if (wait_for_ready) {
    cv_.wait(lock, [&] { return ready_done_ || stop_.load() || finished_.load(); });
  }
}

void Connection::post(Task task, Clock::duration delay) {
  std::lock_guard lock(mu_);
  if (closing_.load() || stop_.load()) return;
  queue_.push(Item{Clock::now() + delay, next_seq_++, std::move(task), false});
  cv_.notify_all();
}

void Connection::close() {
  std::lock_guard lock(mu_);
  if (closing_.exchange(true) || stop_.load()) return;
  queue_.push(Item{Clock::now(), next_seq_++,
                   [](Connection& self) {
                     Callbacks cb = self.callbacks_();
                     if (cb.on_close && !self.stop_.load()) {
                       if (cb.on_close(cb.user, self.client_id_) != 0) ++self.callback_failures_;
                     }
                   },
                   true});
  cv_.notify_all();
}

void Connection::stop() {
  std::lock_guard lock(mu_);
  stop_.store(true);
  cv_.notify_all();
}

void Connection::join() {
  std::lock_guard lock(join_mu_);
  if (!thread_.joinable()) return;
  if (on_dispatcher()) {
    // Asked from inside one of this connection's own callbacks: the thread ends by itself once
    // the callback returns, since stop or close is already set.
    thread_.detach();
  } else {
    thread_.join();
  }
}

void Connection::deliver(std::string_view json) {
  if (stop_.load(std::memory_order_relaxed)) return;
  Callbacks cb = callbacks_();
  if (!cb.on_recv) return;
  if (cb.on_recv(cb.user, client_id_, json.data(), json.size()) != 0) ++callback_failures_;
}

template <typename Pred>
bool Connection::wait_until(std::unique_lock<std::mutex>& lock, Clock::time_point until,
                            Pred pred) {
  while (!stop_.load() && !pred()) {
    if (cv_.wait_until(lock, until) == std::cv_status::timeout) break;
  }
  return !stop_.load();
}

void Connection::run() {
  thread_id_.store(std::this_thread::get_id());
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return released_ || stop_.load(); });
  bool alive = wait_until(lock, ready_at_, [] { return false; });
  if (alive) {
    lock.unlock();
    Callbacks cb = callbacks_();
    if (cb.on_accept && !stop_.load()) {
      if (cb.on_accept(cb.user, client_id_) != 0) ++callback_failures_;
    }
    deliver(ready_json_);
    lock.lock();
  }
  ready_done_ = true;
  cv_.notify_all();

  while (!stop_.load()) {
    if (queue_.empty()) {
      cv_.wait(lock, [&] { return stop_.load() || !queue_.empty(); });
      continue;
    }
    if (queue_.top().due > Clock::now()) {
      cv_.wait_until(lock, queue_.top().due);
      continue;
    }
    // Moving out of the top is safe: the element is popped right after and never compared.
    Item item = std::move(const_cast<Item&>(queue_.top()));
    queue_.pop();
    lock.unlock();
    item.task(*this);
    lock.lock();
    // Close is the last thing a client id sees; work still waiting for a later time is dropped.
    if (item.final) break;
  }
  while (!queue_.empty()) queue_.pop();
  finished_.store(true);
  cv_.notify_all();
}

}  // namespace corvid::sim
