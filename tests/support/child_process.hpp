#pragma once
// Work in another process for black-box tests: a started program (arguments, working folder,
// environment set and unset) whose standard output and error are collected, through a pipe read
// by a thread of its own or into a file (for a child that logs a lot, which a pipe read by the
// test would only slow down); and a function run in a forked child, optionally as an
// unprivileged user so permission checks apply even when tests run as root.
// Owner: the test that started it. Signals and waits address this child's own pid only; the
// destructor kills and reaps a child still running. output() may be called from any thread.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvid::test {

using EnvList = std::vector<std::pair<std::string, std::string>>;

struct ProcessOptions {
  std::vector<std::string> args{};
  std::filesystem::path cwd{};           // empty: this process's
  EnvList env{};                         // set in the child
  std::vector<std::string> unset_env{};  // removed from the child's environment
  std::filesystem::path output_file{};   // empty: collected through a pipe
};

class ChildProcess {
 public:
  ChildProcess(const std::filesystem::path& program, ProcessOptions options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Sends signo while the child has not been reaped (a reaped pid may belong to another).
  void signal(int signo) const;

  // Everything the child wrote so far, standard output and error merged.
  std::string output() const;

  // The raw wait status once the child ended within limit; nullopt while it still runs.
  std::optional<int> wait_for(std::chrono::milliseconds limit);
  // The exit code once the child ended within limit (128 + the signal that ended it).
  std::optional<int> wait_exit(std::chrono::milliseconds limit);

  // Polls condition on the collected output until it holds or limit passes.
  bool wait_output(const std::function<bool(const std::string&)>& condition,
                   std::chrono::milliseconds limit) const;
  bool wait_for_output(const std::string& text, std::chrono::milliseconds limit) const;

 private:
  pid_t pid_ = -1;
  std::optional<int> wait_status_;
  std::filesystem::path output_file_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::string output_;  // guarded by mutex_ (pipe mode)
};

struct ChildResult {
  int exit_code = -1;  // -1 when the child did not exit normally
  std::string output;  // what the child wrote to the result pipe
};

// Runs fn in a forked child; fn writes its answer with the given writer and returns the exit
// code. With as_nobody, the child drops root first (it exits 77 when that fails).
ChildResult run_in_child(
    const std::function<int(const std::function<void(const std::string&)>&)>& fn,
    bool as_nobody = false);

}  // namespace corvid::test
