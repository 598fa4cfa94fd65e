#pragma once
// The real corvid binary for the WebSocket delivery tests: started on an ephemeral port with a
// fresh key, its simulated client's control socket and chosen server settings, its output in a
// file (a burst logs every event, which a pipe read by the test would only slow down); its
// memory read from /proc, a stop signal and the wait for its exit. Signals and waits address
// this child's own pid only; the destructor kills and reaps a child still running.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include "app/http_client.hpp"
#include "corvid/utils/json.hpp"

namespace corvid::testing {

inline constexpr const char* kUid = "uid_standin";

// The sanitizer builds run several times slower: their heavy cases scale down by this.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kScale = 8;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr int kScale = 4;
#else
inline constexpr int kScale = 1;
#endif
// A sanitizer's shadow memory and quarantine make a process's memory no measure of its own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kMemoryMeasurable = false;
#else
inline constexpr bool kMemoryMeasurable = true;
#endif

// Polls condition every few milliseconds until it holds or limit passes.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

inline long status_kib(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

class Corvid {
 public:
  // threads: loop threads (0 = the default); server: settings merged into the "server" section.
  explicit Corvid(int threads = 0, const Json& server = Json::object())
      : dir_(std::filesystem::temp_directory_path() /
             ("corvid-ws-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::random_device rd;
    for (int i = 0; i < 24; ++i) key_ += "abcdefghijklmnopqrstuvwxyz0123456789"[rd() % 36];
    Json config{{"server", {{"host", "127.0.0.1"}, {"port", 0}, {"debug", false}}},
                {"parlo", {{"exe_path", ""}, {"version", ""}}},
                {"auth", {{"api_keys", {{"test", key_}}}}}};
    for (const auto& [name, value] : server.items()) config["server"][name] = value;
    std::ofstream(dir_ / "config.json") << config.dump(2);

    std::vector<std::string> args{binary().string(), "--config", (dir_ / "config.json").string()};
    if (threads > 0) {
      args.push_back("--threads");
      args.push_back(std::to_string(threads));
    }
    const std::string out = (dir_ / "corvid.log").string();
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
      ::setenv("TAPWIRE_SIM_CONTROL", (dir_ / "sim.sock").c_str(), 1);
      ::unsetenv("CORVID_CONFIG");
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  ~Corvid() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
  }
  Corvid(const Corvid&) = delete;
  Corvid& operator=(const Corvid&) = delete;

  static std::filesystem::path binary() {
    return std::filesystem::path(CORVID_BINARY_ROOT) / "bin" / "corvid";
  }

  std::string output() const {
    std::ifstream in(dir_ / "corvid.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Whether the output holds a line with text (a log line's message).
  bool logged(const std::string& text) const { return output().find(text) != std::string::npos; }
  // The output's lines that hold text, for a failure's message.
  std::string lines_with(const std::string& text) const {
    std::istringstream in(output());
    std::string line, found;
    while (std::getline(in, line))
      if (line.find(text) != std::string::npos) found += line + "\n";
    return found;
  }

  // Listening, the client opened and its account logged in.
  bool start() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const std::string marker = "listening on http://127.0.0.1:";
    while (port_ == 0 && std::chrono::steady_clock::now() < deadline) {
      const std::string text = output();
      if (auto at = text.find(marker); at != std::string::npos) {
        port_ = static_cast<std::uint16_t>(std::stoi(text.substr(at + marker.size())));
        break;
      }
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (port_ == 0) return false;
    if (post("/api/parlo/open").status != 200) return false;
    return current_uid_is(kUid, deadline);
  }

  // Waits until the service names uid as the logged-in account.
  bool current_uid_is(const std::string& uid, std::chrono::steady_clock::time_point until) {
    while (std::chrono::steady_clock::now() < until) {
      const auto body = Json::parse(get("/api/parlo/current_uid").body, nullptr, false);
      if (body.is_object() && body.value("success", false) && body["data"].is_object() &&
          body["data"].value("uid", "") == uid)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  HttpAnswer get(const std::string& target) {
    return HttpConnection(port_).request(boost::beast::http::verb::get, target,
                                         {{"Authorization", "Bearer " + key_}});
  }
  HttpAnswer post(const std::string& target) {
    return HttpConnection(port_).request(boost::beast::http::verb::post, target,
                                         {{"Authorization", "Bearer " + key_}});
  }
  int connections() {
    const auto body = Json::parse(get("/api/ws/stats").body, nullptr, false);
    return body.is_object() ? body["data"]["total_connections"].get<int>() : -1;
  }

  // One command on the simulated client's control socket; its answer.
  Json control(const Json& command) {
    boost::asio::io_context io;
    boost::asio::local::stream_protocol::socket socket(io);
    socket.connect(boost::asio::local::stream_protocol::endpoint((dir_ / "sim.sock").string()));
    boost::asio::write(socket, boost::asio::buffer(command.dump() + "\n"));
    std::string answer;
    boost::asio::read_until(socket, boost::asio::dynamic_buffer(answer), '\n');
    return Json::parse(answer.substr(0, answer.find('\n')));
  }
  // count stamped text events (each "data" carries "seq" 0.. and "t_ns") of about size bytes.
  bool inject(int count, int size, const std::string& content = "burst") {
    Json command{{"cmd", "inject"},
                 {"message", {{"type", 11046}, {"data", {{"content", content}}}}},
                 {"count", count},
                 {"interval_ms", 0},
                 {"stamp", true}};
    if (size > 0) command["size"] = size;
    return control(command).value("ok", false);
  }

  long rss_kib() const { return status_kib(pid_, "VmRSS"); }
  long peak_kib() const { return status_kib(pid_, "VmHWM"); }
  // Forgets the peak so far: VmHWM restarts from the current RSS.
  void reset_peak() const {
    std::ofstream("/proc/" + std::to_string(pid_) + "/clear_refs") << "5";
  }

  // Sends signo and waits up to limit for the exit; the exit status, or nullopt when it did not
  // exit in time (it is killed by the destructor then).
  std::optional<int> stop(int signo, std::chrono::milliseconds limit) {
    ::kill(pid_, signo);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
  }

  std::uint16_t port() const { return port_; }
  const std::string& key() const { return key_; }
  pid_t pid() const { return pid_; }

 private:
  static inline int counter_ = 0;
  std::filesystem::path dir_;
  std::string key_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace corvid::testing
