#pragma once
// The real corvid binary on a free loopback port, for black-box tests of what requests cost it:
// its configuration written to a private folder, optionally under a descriptor limit of its
// own, with helpers to log the simulated client in and read its memory and CPU figures.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "app/child_process.hpp"
#include "app/http_client.hpp"
#include "corvid/utils/json.hpp"
#include "app/http/raw_socket.hpp"

namespace corvid::testing {

// The sanitizers keep freed memory back (quarantine) and add shadow memory per allocation, so
// memory figures of the server mean something only in a plain build.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

namespace fs = std::filesystem;
namespace bhttp = boost::beast::http;

inline const fs::path kBinary = fs::path(CORVID_BINARY_ROOT) / "bin" / "corvid";
constexpr const char* kKey = "front-door-test-key-0123456789";

inline std::uint16_t free_port() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  return acceptor.local_endpoint().port();
}

// A figure of /proc/<pid>/status in KiB ("VmRSS", or "RssAnon": the memory the process made
// itself, without the pages of its code that it happened to touch).
inline long status_kib(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

inline long rss_kib(pid_t pid) { return status_kib(pid, "VmRSS"); }
inline long anon_kib(pid_t pid) { return status_kib(pid, "RssAnon"); }

// The CPU time the process has used so far, user and system, in seconds.
inline double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
    if (i == 15) break;
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

class BinaryServer : public ::testing::Test {
 protected:
  // `descriptors`: the descriptor limit (soft and hard) the server runs under; 0 = this one's.
  void start(Json server = Json::object(), int descriptors = 0) {
    dir_ = fs::temp_directory_path() / ("corvid-binary-test-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    port_ = free_port();
    server["host"] = "127.0.0.1";
    server["port"] = port_;
    const Json config{{"server", server},
                      {"parlo", {{"exe_path", ""}, {"version", ""}}},
                      {"auth", {{"api_keys", {{"main", kKey}}}}}};
    std::ofstream(dir_ / "config.json") << config.dump(2);
    std::vector<std::string> args{"--config", (dir_ / "config.json").string()};
    fs::path program = kBinary;
    if (descriptors > 0) {
      // prlimit sets the limit and runs the server in its own place (same process).
      args.insert(args.begin(), {"--nofile=" + std::to_string(descriptors) + ":" +
                                     std::to_string(descriptors),
                                 kBinary.string()});
      program = "/usr/bin/prlimit";
    }
    process_ = std::make_unique<ChildProcess>(
        program, std::move(args), dir_,
        std::vector<std::pair<std::string, std::string>>{{"CORVID_CONFIG", ""}});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      ASSERT_FALSE(process_->wait_for(std::chrono::milliseconds(0))) << process_->output();
      try {
        if (http_request(port_, bhttp::verb::get, "/health").status == 200) return;
      } catch (const std::exception&) {
        // not listening yet
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "corvid did not answer /health: " << process_->output();
  }
  const std::vector<std::pair<std::string, std::string>>& key() const {
    static const std::vector<std::pair<std::string, std::string>> header{
        {"Authorization", std::string("Bearer ") + kKey}};
    return header;
  }
  // Opens the simulated client and waits for its login.
  void log_in() {
    ASSERT_EQ(http_request(port_, bhttp::verb::post, "/api/parlo/open", key()).status, 200);
    const auto login =
        http_request(port_, bhttp::verb::post, "/api/parlo/wait_login?timeout=10", key());
    ASSERT_NE(login.body.find("true"), std::string::npos) << login.body;
  }
  void TearDown() override {
    process_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  fs::path dir_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace corvid::testing
