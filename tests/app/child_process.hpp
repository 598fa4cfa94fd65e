#pragma once
// A child process for black-box tests: started with arguments, working folder and extra
// environment, its stdout and stderr collected into one text by a reader thread. Signals and
// waits address this child's own pid only; the destructor kills and reaps a child still running.
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvid::testing {

class ChildProcess {
 public:
  ChildProcess(const std::filesystem::path& program, std::vector<std::string> args,
               const std::filesystem::path& cwd,
               std::vector<std::pair<std::string, std::string>> env = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> argv_text{program.string()};
    for (auto& a : args) argv_text.push_back(std::move(a));
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
    for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string dir = cwd.string();

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::dup2(fds[1], STDERR_FILENO);
      if (::chdir(dir.c_str()) != 0) ::_exit(126);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] {
      char buffer[4096];
      for (;;) {
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        std::lock_guard lock(mutex_);
        output_.append(buffer, static_cast<std::size_t>(n));
      }
      ::close(fd);
    });
  }

  ~ChildProcess() {
    if (!exit_status_) {
      ::kill(pid_, SIGKILL);
      wait_for(std::chrono::seconds(10));
    }
    if (reader_.joinable()) reader_.join();
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int signo) const { ::kill(pid_, signo); }

  std::string output() const {
    std::lock_guard lock(mutex_);
    return output_;
  }

  // The wait status once the child ended within `limit`; nullopt while it still runs.
  std::optional<int> wait_for(std::chrono::milliseconds limit) {
    if (exit_status_) return exit_status_;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      const auto r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exit_status_ = status;
        return exit_status_;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // Polls `condition` on the collected output until it holds or the limit passes.
  template <class Pred>
  bool wait_output(Pred condition, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (condition(output())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition(output());
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> exit_status_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::string output_;  // guarded by mutex_
};

}  // namespace corvid::testing
