#pragma once
// Test helpers for work that must happen in another process: a function run in a forked child
// (optionally as an unprivileged user, so permission checks apply even when tests run as
// root), and a started program whose output is collected while the test polls it with a
// deadline. Used from the test's main thread only.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvid::test {

struct ChildResult {
  int exit_code = -1;  // -1 when the child did not exit normally
  std::string output;  // what the child wrote to the result pipe
};

// Runs fn in a forked child; fn writes its answer with the given writer and returns the exit
// code. With as_nobody, the child drops root first (it exits 77 when that fails).
inline ChildResult run_in_child(
    const std::function<int(const std::function<void(const std::string&)>&)>& fn,
    bool as_nobody = false) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (as_nobody) {
      const passwd* pw = ::getpwnam("nobody");
      if (pw == nullptr || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0) ::_exit(77);
    }
    auto write_out = [fd = fds[1]](const std::string& text) {
      std::size_t done = 0;
      while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
    };
    int code = fn(write_out);
    ::_exit(code);
  }
  ::close(fds[1]);
  ChildResult result;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) result.output.append(buf, n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

// A started program with its standard output and standard error collected (merged).
class Program {
 public:
  Program(const std::string& path, const std::vector<std::string>& args,
          const std::vector<std::pair<std::string, std::string>>& env = {},
          const std::vector<std::string>& unset_env = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::dup2(fds[1], STDERR_FILENO);
      for (const auto& name : unset_env) ::unsetenv(name.c_str());
      for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(path.c_str()));
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(path.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_fd_ = fds[0];
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() {
    if (pid_ > 0 && !exit_code_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
  }

  bool started() const { return pid_ > 0; }
  const std::string& output() const { return output_; }
  void signal(int sig) const { ::kill(pid_, sig); }

  // Reads output until it contains text or the deadline passes.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
      if (!read_some(deadline)) return output_.find(text) != std::string::npos;
    }
    return true;
  }

  // Reads all output and waits for the exit; nullopt when the deadline passes first.
  std::optional<int> wait_exit(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (read_some(deadline)) {
    }
    while (!exit_code_ && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      ::poll(nullptr, 0, 10);  // the child closed its output but has not been reaped yet
    }
    return exit_code_;
  }

 private:
  // false at end of output or when the deadline passed
  bool read_some(std::chrono::steady_clock::time_point deadline) {
    if (out_fd_ < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{out_fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    ssize_t n = ::read(out_fd_, buf, sizeof buf);
    if (n <= 0) {
      ::close(out_fd_);
      out_fd_ = -1;
      return false;
    }
    output_.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string output_;
  std::optional<int> exit_code_;
};

}  // namespace corvid::test
