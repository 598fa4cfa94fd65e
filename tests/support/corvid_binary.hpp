#pragma once
// The real corvid binary for black-box tests: its configuration (keys, server settings) written
// to a private folder, started with chosen loop threads, environment and the simulated client's
// control socket, on port 0 unless a test needs an exact one; the port is read from the
// server's "listening on" line, so no port is picked here and handed over (which races between
// test processes). start() waits for /health; stop() signals and waits with a bound; the output
// goes to a file in the folder (a burst logs every event). Also the process's memory and CPU
// figures from /proc.
// Owner: one test thread (control() may be shared; it serialises its commands). The destructor
// kills and reaps a process still running and removes the folder.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "corvid/utils/json.hpp"
#include "support/child_process.hpp"
#include "support/http_client.hpp"
#include "support/sim_control.hpp"
#include "support/temp_dir.hpp"

namespace corvid::test {

// The sanitizers keep freed memory back (quarantine) and add shadow memory per allocation, so
// the server's memory figures mean something only in a plain build.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

using KeyList = std::vector<std::pair<std::string, std::string>>;  // name, key

struct CorvidOptions {
  std::optional<KeyList> api_keys{};  // nullopt: one fresh key named "main"
  Json server = Json::object();       // merged into the "server" section
  int threads = 0;                    // loop threads; 0: the default
  EnvList env{};                      // set after the caller's CORVID_* settings are cleared
  bool control_socket = false;        // the simulated client's control socket in the folder
  std::uint16_t port = 0;             // an exact port, for a test of binding it
  int descriptors = 0;                // its own descriptor limit (soft and hard); 0: this one's
  // A configuration file of the test's own (present or not), in place of the written one.
  std::optional<std::filesystem::path> config_file{};
  std::vector<std::string> args{};  // more command-line options
};

class CorvidBinary {
 public:
  explicit CorvidBinary(CorvidOptions options = {});
  ~CorvidBinary();
  CorvidBinary(const CorvidBinary&) = delete;
  CorvidBinary& operator=(const CorvidBinary&) = delete;

  static std::filesystem::path binary();
  static std::string random_key();

  // Starts the process without waiting (a test of a failed start waits for its exit).
  void launch();
  // Started, its port read from the "listening on" line, /health answering (and the control
  // socket there when asked for); false when the process ended or did not get there in time.
  bool start(std::chrono::milliseconds limit = std::chrono::seconds(60));

  // Rewrites the written configuration with another key table (atomically: a reload reads
  // either file whole); key() stays the first key it started with.
  void write_config(const KeyList& api_keys);

  // Sends signo and waits up to limit; the exit code (128 + a signal that ended it), or nullopt
  // when it still runs (the destructor kills it then).
  std::optional<int> stop(int signo, std::chrono::milliseconds limit);

  HeaderList auth() const;  // the first key as a bearer header
  HttpResponse get(const std::string& target,
                   std::chrono::milliseconds timeout = std::chrono::seconds(15));
  HttpResponse post(const std::string& target,
                    std::chrono::milliseconds timeout = std::chrono::seconds(15));
  // Opens the simulated client and waits for its login (false when either fails).
  bool open_and_log_in(std::chrono::seconds limit = std::chrono::seconds(20));
  // The simulated client's control socket (connected on first use).
  Control& control();

  std::string output() const;
  bool logged(const std::string& text) const;
  std::string lines_with(const std::string& text) const;  // for a failure's message

  ChildProcess& process() { return *process_; }
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  std::uint16_t port() const { return port_; }
  const std::string& key() const { return key_; }
  const std::filesystem::path& dir() const { return dir_.path(); }
  std::filesystem::path config_path() const;
  std::filesystem::path control_path() const { return dir_ / "sim.sock"; }

  long rss_kib() const;
  long anon_kib() const;  // the memory the process made itself, without its code's pages
  long peak_kib() const;
  void reset_peak() const;  // VmHWM restarts from the current RSS
  double cpu_seconds() const;

 private:
  CorvidOptions options_;
  TempDir dir_;
  std::string key_;
  Json config_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ChildProcess> process_;
  std::unique_ptr<Control> control_;
};

// A figure of /proc/<pid>/status in KiB ("VmRSS", "RssAnon", "VmHWM"); -1 when unreadable.
long status_kib(pid_t pid, const std::string& field);
// The CPU time the process has used so far, user and system, in seconds.
double cpu_seconds(pid_t pid);

}  // namespace corvid::test
