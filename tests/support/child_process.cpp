#include "support/child_process.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace corvid::test {

namespace {

// The child's environment, built before the fork: after it only async-signal-safe calls are
// allowed, and a test process has threads.
std::vector<std::string> child_environment(const ProcessOptions& options) {
  auto named = [](const std::string& entry, const std::string& name) {
    return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
           entry[name.size()] == '=';
  };
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const bool dropped = std::any_of(options.unset_env.begin(), options.unset_env.end(),
                                     [&](const std::string& name) { return named(entry, name); }) ||
                         std::any_of(options.env.begin(), options.env.end(),
                                     [&](const auto& pair) { return named(entry, pair.first); });
    if (!dropped) out.push_back(entry);
  }
  for (const auto& [name, value] : options.env) out.push_back(name + "=" + value);
  return out;
}

}  // namespace

ChildProcess::ChildProcess(const std::filesystem::path& program, ProcessOptions options)
    : output_file_(std::move(options.output_file)) {
  std::vector<std::string> argv_text{program.string()};
  for (auto& a : options.args) argv_text.push_back(std::move(a));
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = child_environment(options);
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string dir = options.cwd.string();
  const std::string out = output_file_.string();

  int fds[2] = {-1, -1};
  if (out.empty() && ::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int fd = out.empty() ? fds[1] : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) ::_exit(126);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  if (!out.empty()) return;
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

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !wait_status_) {
    ::kill(pid_, SIGKILL);
    wait_for(std::chrono::seconds(10));
  }
  if (reader_.joinable()) reader_.join();
}

void ChildProcess::signal(int signo) const {
  if (pid_ > 0 && !wait_status_) ::kill(pid_, signo);
}

std::string ChildProcess::output() const {
  if (!output_file_.empty()) {
    std::ifstream in(output_file_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::lock_guard lock(mutex_);
  return output_;
}

std::optional<int> ChildProcess::wait_for(std::chrono::milliseconds limit) {
  if (wait_status_ || pid_ <= 0) return wait_status_;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      wait_status_ = status;
      // The child's end closed the pipe: what it wrote last is read before anyone looks.
      if (reader_.joinable()) reader_.join();
      return wait_status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds limit) {
  const auto status = wait_for(limit);
  if (!status) return std::nullopt;
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

bool ChildProcess::wait_output(const std::function<bool(const std::string&)>& condition,
                               std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition(output())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition(output());
}

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::milliseconds limit) const {
  return wait_output([&](const std::string& out) { return out.find(text) != std::string::npos; },
                     limit);
}

ChildResult run_in_child(
    const std::function<int(const std::function<void(const std::string&)>&)>& fn, bool as_nobody) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (as_nobody) {
      const passwd* pw = ::getpwnam("nobody");
      if (pw == nullptr || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0) ::_exit(77);
    }
    auto write_out = [fd = fds[1]](const std::string& text) {
      std::size_t done = 0;
      while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
    };
    ::_exit(fn(write_out));
  }
  ::close(fds[1]);
  ChildResult result;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
    result.output.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

}  // namespace corvid::test
