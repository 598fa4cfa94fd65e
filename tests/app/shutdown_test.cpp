// How a stop ends: the sweep that removes this process's staged uploads on any way out, and the
// real corvid binary on the real simulated client stopped in the states that used to keep it
// running past its bound or leave uploads behind (a client that answers nothing while every
// worker waits for it, uploads mid-body and waiting out their grace period, a second signal),
// and stopped idle, before any client was opened.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "corvid/app/routers/parlo_routes.hpp"
#include "corvid/app/routers/parlo_routes_staging.hpp"
#include "corvid/utils/json.hpp"
#include "support/corvid_binary.hpp"
#include "support/http_client.hpp"
#include "support/log_capture.hpp"
#include "support/sim_control.hpp"
#include "support/temp_dir.hpp"
#include "support/wait.hpp"

namespace corvid::test {
namespace {

namespace fs = std::filesystem;
namespace net = boost::asio;
using verb = boost::beast::http::verb;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using corvid::app::routers::parlo::StagingFolder;

constexpr const char* kKey = "shutdown-key-3b8e61";

std::set<std::string> listing(const fs::path& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) out.insert(entry.path().filename());
  return out;
}

TEST(StagingSweep, RemovesEveryLiveFolderAndLeavesTheOwnersNothingToReport) {
  TempDir root("sweep");
  LogCapture log{std::string(corvid::app::routers::kParloRouterLog)};
  std::vector<std::unique_ptr<StagingFolder>> live;
  for (int i = 0; i < 3; ++i) {
    live.push_back(std::make_unique<StagingFolder>(root.path()));
    if (i != 0) {
      live.back()->open_file("upload " + std::to_string(i) + ".bin");
      live.back()->write("staged bytes");
    }
    if (i == 2) live.back()->close_file();
  }
  ASSERT_EQ(listing(root.path()).size(), 3u);

  corvid::app::routers::parlo::sweep_staging_folders();
  EXPECT_TRUE(listing(root.path()).empty());
  corvid::app::routers::parlo::sweep_staging_folders();  // nothing left: no harm

  // The owners end later (a request finishing after the sweep): nothing to remove, no error.
  live.clear();
  EXPECT_TRUE(log.lines().empty()) << log.lines().front();

  // Folders made after a sweep are tracked again.
  StagingFolder later(root.path());
  corvid::app::routers::parlo::sweep_staging_folders();
  EXPECT_FALSE(fs::exists(later.folder()));
}

HeaderList auth() { return {{"Authorization", std::string("Bearer ") + kKey}}; }

std::string multipart_body(const std::string& boundary, const std::string& filename,
                           std::size_t size) {
  std::string content(size, 'x');
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
         filename + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n--" +
         boundary + "--\r\n";
}

// corvid with a private temp folder (TMPDIR) for its staged uploads and the simulated
// client's control socket.
class Server {
 public:
  explicit Server(bool debug = false)
      : corvid_({.api_keys = KeyList{{"test", kKey}},
                 .server = {{"debug", debug}},
                 .env = {{"TMPDIR", tmp_.path().string()}},
                 .control_socket = true}) {}

  bool start() { return corvid_.start(); }

  // Opens the client through the API and waits for its own login.
  bool open_and_log_in() { return corvid_.open_and_log_in(); }

  // A finished upload: answered, its staging folder kept for the grace period.
  bool upload(int i) {
    HttpClient http(port(), 30s);
    const std::string boundary = "done" + std::to_string(i);
    auto headers = auth();
    headers.emplace_back("Content-Type", "multipart/form-data; boundary=" + boundary);
    const auto answer = http.request(verb::post, "/api/parlo/send/file?to_uid=uid_echo",
                                     multipart_body(boundary, "done.bin", 4096), headers);
    return answer.status == 200 && answer.json().value("success", false);
  }

  // An upload whose body stops half way; the socket stays open (the caller keeps it).
  std::unique_ptr<net::ip::tcp::socket> upload_half(net::io_context& io, int i) {
    const std::string boundary = "half" + std::to_string(i);
    const std::string body = multipart_body(boundary, "half.bin", 64 * 1024);
    const std::string head = std::string("POST /api/parlo/send/file?to_uid=uid_echo HTTP/1.1\r\n") +
                             "Host: 127.0.0.1\r\nAuthorization: Bearer " + kKey +
                             "\r\nContent-Type: multipart/form-data; boundary=" + boundary +
                             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    auto socket = std::make_unique<net::ip::tcp::socket>(io);
    socket->connect({net::ip::make_address("127.0.0.1"), port()});
    net::write(*socket, net::buffer(head + body.substr(0, body.size() / 2)));
    return socket;
  }

  std::size_t staged() const {
    std::size_t n = 0;
    for (const auto& name : listing(tmp())) n += name.rfind("corvid-upload-", 0) == 0 ? 1 : 0;
    return n;
  }

  std::uint16_t port() const { return corvid_.port(); }
  const fs::path& tmp() const { return tmp_.path(); }
  fs::path config() const { return corvid_.config_path(); }
  Control& control() { return corvid_.control(); }
  ChildProcess& process() { return corvid_.process(); }

 private:
  TempDir tmp_{"shutdown-tmp"};
  CorvidBinary corvid_;
};

// A sanitizer build's child reports what it found in its output; an exit without exit handlers
// keeps that report out of its exit status.
void expect_no_sanitizer_report(const std::string& output) {
  EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
  EXPECT_EQ(output.find("runtime error:"), std::string::npos) << output;
}

std::string text_of(const std::set<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += n + " ";
  return out;
}

TEST(CorvidStop, SigtermWithEveryWorkerWaitingEndsInTimeAndLeavesNoUpload) {
  Server server;
  ASSERT_TRUE(server.start()) << server.process().output();
  ASSERT_TRUE(server.open_and_log_in()) << server.process().output();

  net::io_context io;
  std::vector<std::unique_ptr<net::ip::tcp::socket>> halves;
  for (int i = 0; i < 10; ++i) halves.push_back(server.upload_half(io, i));
  ASSERT_TRUE(wait_until([&] { return server.staged() == 10; }, 10s)) << server.staged();

  // 100 queries, connected and sent but for the header's last line, so that they all start
  // at once, well inside the finished uploads' grace period.
  std::vector<std::unique_ptr<net::ip::tcp::socket>> queries;
  const std::string query = std::string("GET /api/parlo/contacts HTTP/1.1\r\nHost: 127.0.0.1\r\n") +
                            "Authorization: Bearer " + kKey + "\r\n";
  for (int i = 0; i < 100; ++i) {
    queries.push_back(std::make_unique<net::ip::tcp::socket>(io));
    queries.back()->connect({net::ip::make_address("127.0.0.1"), server.port()});
    net::write(*queries.back(), net::buffer(query));
  }

  // The client stops answering requests; sends, which expect no reply, still work.
  ASSERT_TRUE(server.control().command({{"cmd", "reply"}, {"code", 0}, {"mode", "drop"}})["ok"]);
  // Finished uploads: from here their staging folders stay for the 2 s grace period.
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(server.upload(i)) << server.process().output();
  const auto grace_start = Clock::now();
  const auto sent_before = server.control().command({{"cmd", "state"}})["sent_total"].get<long>();
  for (auto& q : queries) net::write(*q, net::buffer(std::string("\r\n")));
  // The queries reach the client and wait for replies that never come: at least one per
  // worker thread (32), all 100 where a wait holds no worker.
  ASSERT_TRUE(wait_until(
      [&] {
        return server.control().command({{"cmd", "state"}})["sent_total"].get<long>() -
                   sent_before >=
               32;
      },
      10s));
  ASSERT_EQ(server.staged(), 15u) << "the finished uploads' grace period must still run";
  ASSERT_LT(Clock::now() - grace_start, 2s);

  const auto signalled = Clock::now();
  server.process().signal(SIGTERM);
  const auto status = server.process().wait_for(15s);
  const auto took = Clock::now() - signalled;
  ASSERT_TRUE(status.has_value()) << "still running 15 s after SIGTERM\n"
                                  << server.process().output();
  EXPECT_TRUE(WIFEXITED(*status)) << server.process().output();
  EXPECT_EQ(WEXITSTATUS(*status), 0) << server.process().output();
  EXPECT_LT(took, 10s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                       << " ms\n"
                       << server.process().output();
  EXPECT_TRUE(listing(server.tmp()).empty()) << text_of(listing(server.tmp()));

  const auto output = server.process().output();
  // The detach did not queue behind the waiting workers.
  EXPECT_NE(output.find("Parlo服务已关闭"), std::string::npos) << output;
  EXPECT_EQ(output.find("detaching the client did not finish"), std::string::npos) << output;
  EXPECT_NE(output.find("✅ CorvidParlo机器人API服务已关闭"), std::string::npos) << output;
  expect_no_sanitizer_report(server.process().output());
}

TEST(CorvidStop, WorkerStuckInABlockingCallIsAbandonedAndTheUploadsStillGo) {
  struct Case {
    const char* name;
    bool second_signal;  // sent while the stop waits for the stuck worker
    int exit_status;
    std::string line;
  };
  const std::vector<Case> cases{
      {"abandoned at the bound", false, 0, "exiting without them"},
      {"a second signal during the wait", true, 128 + SIGTERM,
       "second stop signal: exiting at once"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Server server;
    ASSERT_TRUE(server.start()) << server.process().output();
    ASSERT_TRUE(server.open_and_log_in()) << server.process().output();

    // SIGHUP reads the configuration file on a worker thread; a FIFO in its place whose writer
    // never writes keeps that worker blocked in a read nothing can interrupt.
    const fs::path config = server.config();
    const fs::path fifo = config.string() + ".fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::rename(fifo, config);
    server.process().signal(SIGHUP);
    int writer = -1;
    ASSERT_TRUE(wait_until(
        [&] {
          writer =
              ::open(config.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // ENXIO: no reader yet
          return writer >= 0;
        },
        10s));

    // Finished uploads, inside their grace period when the signal comes.
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(server.upload(i)) << server.process().output();
    ASSERT_EQ(server.staged(), 5u);

    const auto signalled = Clock::now();
    server.process().signal(SIGTERM);
    if (c.second_signal) {
      ASSERT_TRUE(server.process().wait_output(
          [](const std::string& out) {
            return out.find("✅ CorvidParlo机器人API服务已关闭") != std::string::npos;
          },
          10s));
      server.process().signal(SIGTERM);
    }
    const auto status = server.process().wait_for(15s);
    const auto took = Clock::now() - signalled;
    ::close(writer);
    ASSERT_TRUE(status.has_value()) << server.process().output();
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), c.exit_status);
    // The worker's wait ends at 90 % of the bound; a second signal cuts it short.
    EXPECT_LT(took, c.second_signal ? 5s : 10s);
    EXPECT_NE(server.process().output().find(c.line), std::string::npos)
        << server.process().output();
    EXPECT_TRUE(listing(server.tmp()).empty()) << text_of(listing(server.tmp()));
    expect_no_sanitizer_report(server.process().output());
  }
}

TEST(CorvidStop, SecondSignalExitsAtOnceAndStillRemovesTheUploads) {
  Server server;
  ASSERT_TRUE(server.start()) << server.process().output();
  ASSERT_TRUE(server.open_and_log_in()) << server.process().output();

  net::io_context io;
  std::vector<std::unique_ptr<net::ip::tcp::socket>> halves;
  for (int i = 0; i < 3; ++i) halves.push_back(server.upload_half(io, i));
  ASSERT_TRUE(wait_until([&] { return server.staged() == 3; }, 10s)) << server.staged();

  // The uploads mid-body hold the drain, so the first stop is still under way.
  server.process().signal(SIGTERM);
  ASSERT_TRUE(server.process().wait_output(
      [](const std::string& out) { return out.find("stop signal:") != std::string::npos; }, 10s))
      << server.process().output();
  const auto signalled = Clock::now();
  server.process().signal(SIGTERM);
  const auto status = server.process().wait_for(15s);
  ASSERT_TRUE(status.has_value()) << server.process().output();
  EXPECT_LT(Clock::now() - signalled, 3s);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 128 + SIGTERM);
  EXPECT_NE(server.process().output().find("second stop signal: exiting at once"),
            std::string::npos);
  EXPECT_TRUE(listing(server.tmp()).empty()) << text_of(listing(server.tmp()));
  expect_no_sanitizer_report(server.process().output());
}

TEST(CorvidStop, IdleStopHasNoClientToDetachAndReportsNoError) {
  Server server(/*debug=*/true);
  ASSERT_TRUE(server.start()) << server.process().output();
  server.process().signal(SIGTERM);
  const auto status = server.process().wait_for(15s);
  ASSERT_TRUE(status.has_value()) << server.process().output();
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  const auto output = server.process().output();
  EXPECT_EQ(output.find("关闭Parlo服务时出错"), std::string::npos) << output;
  EXPECT_EQ(output.find("invalid pid"), std::string::npos) << output;
  EXPECT_NE(output.find(
                "| debug   | app.main | no Parlo client was opened or attached: nothing to detach"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("✅ CorvidParlo机器人API服务已关闭"), std::string::npos) << output;
  expect_no_sanitizer_report(server.process().output());
}

}  // namespace
}  // namespace corvid::test
