// control_socket.hpp: the optional Unix-socket line protocol carrying the simulation's controls.
// Owner: Simulation, which starts it only when TAPWIRE_SIM_CONTROL names a socket path.
// Threads: one thread of its own serves every control connection; start/stop from any other.
// Guarantees: one JSON answer line per command line, in order; stop() joins the thread, closes
// every descriptor and removes the socket file.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace corvid::sim {

class ControlSocket {
 public:
  using Handler = std::function<std::string(std::string_view line)>;
  // A line longer than this closes its connection.
  static constexpr std::size_t kMaxLineBytes = 16u << 20;

  ControlSocket() = default;
  ~ControlSocket();
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Listens on path; returns "" or why it could not.
  std::string start(const std::string& path, Handler handler);
  void stop();
  bool on_own_thread() const { return std::this_thread::get_id() == thread_id_.load(); }
  const std::string& path() const { return path_; }

 private:
  void run();

  std::string path_;
  Handler handler_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
  std::atomic<std::thread::id> thread_id_{};
};

}  // namespace corvid::sim
