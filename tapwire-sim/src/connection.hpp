// connection.hpp: one probe connection (client id) of the simulated client and its dispatcher.
// Owner: Simulation, which keeps every connection until stop or reset joins its thread.
// Threads: post/close/stop from any thread; everything posted runs on the connection's own
// dispatcher thread, which is the only thread that calls the callbacks for this client id.
// Guarantees: per client id the callbacks run in the order accept, ready, posted work, close,
// and never while a lock of the simulation is held; nothing is called after stop returns.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tapwire/tapwire.h"

namespace corvid::sim {

struct Callbacks {
  tapwire_accept_fn on_accept = nullptr;
  tapwire_recv_fn on_recv = nullptr;
  tapwire_close_fn on_close = nullptr;
  void* user = nullptr;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Clock = std::chrono::steady_clock;
  using Task = std::function<void(Connection&)>;

  // Source of the callbacks at the moment of each delivery, so a later init_callback applies.
  using CallbackSource = std::function<Callbacks()>;

  Connection(std::int64_t client_id, std::int64_t pid, CallbackSource callbacks,
             std::atomic<std::uint64_t>& callback_failures);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Starts the dispatcher. It waits for release() before the accept callback. The thread owns
  // a reference, so a dispatcher left running by a join from its own callback stays valid.
  void start(std::string ready_json);
  // Lets the dispatcher deliver accept and ready. ready_delay spaces the ready message from
  // the caller's return; with wait_for_ready the call returns only after the ready callback did.
  void release(Clock::duration ready_delay, bool wait_for_ready);

  // Runs task on the dispatcher after delay (tasks due at the same time run in posting order).
  void post(Task task, Clock::duration delay = Clock::duration::zero());
  // The connection ends: work already due is delivered, then close; later work is dropped.
  void close();
  // No further callback; the dispatcher ends at once.
  void stop();
  // Joins the dispatcher (never the calling thread itself).
  void join();

  // Dispatcher thread only: hands one message to the receive callback.
  void deliver(std::string_view json);

  std::int64_t client_id() const { return client_id_; }
  std::int64_t pid() const { return pid_; }
  bool stopping() const { return stop_.load(std::memory_order_relaxed); }
  bool finished() const { return finished_.load(); }
  bool closed() const { return closing_.load(); }
  bool on_dispatcher() const { return std::this_thread::get_id() == thread_id_.load(); }

 private:
  struct Item {
    Clock::time_point due;
    std::uint64_t seq;
    Task task;
    bool final;  // the close: nothing runs after it
  };
  struct Later {
    bool operator()(const Item& a, const Item& b) const {
      return a.due != b.due ? a.due > b.due : a.seq > b.seq;
    }
  };

  void run();
  // Waits until pred or stop; false when stopped. Lock held on entry and exit.
  template <typename Pred>
  bool wait_until(std::unique_lock<std::mutex>& lock, Clock::time_point until, Pred pred);

  const std::int64_t client_id_;
  const std::int64_t pid_;
  CallbackSource callbacks_;
  std::atomic<std::uint64_t>& callback_failures_;
  std::string ready_json_;  // written before the thread starts

  std::mutex mu_;
  std::condition_variable cv_;
  std::priority_queue<Item, std::vector<Item>, Later> queue_;  // guarded by mu_
  std::uint64_t next_seq_ = 0;                                 // guarded by mu_
  bool released_ = false;                                      // guarded by mu_
  Clock::time_point ready_at_{};                               // guarded by mu_
  bool ready_done_ = false;                                    // guarded by mu_
  std::atomic<bool> closing_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
  std::atomic<std::thread::id> thread_id_{};
  std::thread thread_;
  std::mutex join_mu_;  // serialises join/detach of thread_
};

}  // namespace corvid::sim
