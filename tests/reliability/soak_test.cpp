// Soak run against the real corvid binary on the real simulated client: REST calls, multipart
// uploads (some cut off mid-body), WebSocket churn (orderly and abrupt closes, readers that
// stall) and event bursts run together while the client is made to answer late, drop answers,
// fail its sends, and log out and back in. Afterwards the server must hold no more than it held
// after warm-up: no staging folder or other file in its temp dir, no extra descriptor, no
// registered connection, and about the same resident memory; and it must still answer.
//
// Bounded by CORVID_SOAK_SECONDS (default 60) of load; every loop also has a count bound, and
// every wait afterwards polls its condition under a deadline.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
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
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "corvid/utils/json.hpp"
#include "support/corvid_binary.hpp"
#include "support/http_client.hpp"
#include "support/sim_control.hpp"
#include "support/temp_dir.hpp"
#include "support/wait.hpp"

namespace corvid::test {
namespace {

namespace fs = std::filesystem;
namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using bhttp_verb = beast::http::verb;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kKey = "soak-key-5f1c2e9a7d";
constexpr const char* kUid = "uid_standin";  // the simulated client's own account
constexpr const char* kNickname = "Corvid Stand-in";

std::chrono::seconds soak_length() {
  if (const char* text = std::getenv("CORVID_SOAK_SECONDS"); text != nullptr && *text != '\0') {
    return std::chrono::seconds(std::max(5, std::atoi(text)));
  }
  return 60s;
}

HeaderList auth() { return {{"Authorization", std::string("Bearer ") + kKey}}; }

// The server process's open descriptors, as "fd -> target" (for the failure message).
std::map<int, std::string> open_descriptors(pid_t pid) {
  std::map<int, std::string> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code link_ec;
    const auto target = fs::read_symlink(entry.path(), link_ec);
    out[std::atoi(entry.path().filename().c_str())] = link_ec ? "?" : target.string();
  }
  return out;
}

std::string describe(const std::map<int, std::string>& fds) {
  std::ostringstream out;
  for (const auto& [fd, target] : fds) out << "  " << fd << " -> " << target << "\n";
  return out.str();
}

std::set<std::string> listing(const fs::path& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) out.insert(entry.path().filename());
  return out;
}

// A WebSocket peer on its own socket and io_context. Every operation is an asynchronous one run
// to completion right here, so the stream's expiry bounds it (synchronous Beast calls ignore it).
class WsPeer {
 public:
  // Connects and upgrades; nullptr when refused (refused_status: the HTTP answer, 0: none).
  static std::unique_ptr<WsPeer> open(std::uint16_t port, int& refused_status) {
    auto peer = std::unique_ptr<WsPeer>(new WsPeer());
    refused_status = 0;
    auto& tcp = peer->ws_.next_layer();
    tcp.expires_after(10s);
    beast::error_code ec;
    tcp.async_connect(net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
                      [&](beast::error_code e) { ec = e; });
    peer->run();
    if (ec) return nullptr;
    websocket::response_type answer;
    tcp.expires_after(10s);
    peer->ws_.async_handshake(answer, "127.0.0.1:" + std::to_string(port),
                              std::string("/api/ws/connect/") + kUid + "?api_key=" + kKey,
                              [&](beast::error_code e) { ec = e; });
    peer->run();
    if (ec) {
      refused_status = static_cast<int>(answer.result_int());
      return nullptr;
    }
    tcp.expires_never();
    return peer;
  }

  // Reads up to `count` frames, each within `limit`; gives how many arrived.
  int read(int count, std::chrono::milliseconds limit) {
    int got = 0;
    for (; got < count; ++got) {
      beast::flat_buffer buffer;
      beast::error_code ec;
      ws_.next_layer().expires_after(limit);
      ws_.async_read(buffer, [&](beast::error_code e, std::size_t) { ec = e; });
      run();
      if (ec) break;
    }
    return got;
  }

  // The orderly close: a close frame, then the server's close, within 5 s.
  void close() {
    beast::error_code ec;
    ws_.next_layer().expires_after(5s);
    ws_.async_close(websocket::close_code::normal, [&](beast::error_code e) { ec = e; });
    run();
    beast::get_lowest_layer(ws_).socket().close(ec);
  }

  // The abrupt close: the TCP connection goes away without a close frame (reset on unread data).
  void drop() {
    beast::error_code ec;
    auto& socket = beast::get_lowest_layer(ws_).socket();
    socket.set_option(net::socket_base::linger(true, 0), ec);
    socket.close(ec);
  }

 private:
  WsPeer() : ws_(io_) {}
  void run() {
    io_.restart();
    io_.run();
  }
  net::io_context io_;
  websocket::stream<beast::tcp_stream> ws_;
};

// Counts of what the run did and saw, for the report and for the checks.
struct Tally {
  std::mutex mutex;
  std::map<std::string, int> counts;
  std::vector<std::string> faults;  // answers no caller may ever get

  void add(const std::string& what) {
    std::lock_guard lock(mutex);
    ++counts[what];
  }
  void fault(const std::string& what) {
    std::lock_guard lock(mutex);
    if (faults.size() < 50) faults.push_back(what);
  }
};

class Soak {
 public:
  // Starts corvid with a private temp dir and the control socket; true once it answers.
  bool start() { return corvid_.start(); }

  // Opens the client through the API and waits for its own login.
  bool open_and_log_in() { return corvid_.open_and_log_in(); }

  int ws_connections() {
    HttpClient http(port(), 10s);
    const auto answer = http.get("/api/ws/stats", auth());
    if (answer.status != 200) return -1;
    return answer.json()["data"].value("total_connections", -1);
  }

  pid_t pid() const { return corvid_.pid(); }
  std::uint16_t port() const { return corvid_.port(); }
  const fs::path& tmp() const { return tmp_.path(); }
  Control& control() { return corvid_.control(); }
  ChildProcess& process() { return corvid_.process(); }

 private:
  TempDir tmp_{"soak-tmp"};
  CorvidBinary corvid_{{.api_keys = KeyList{{"soak", kKey}},
                        .env = {{"TMPDIR", tmp_.path().string()}},
                        .control_socket = true}};
};

// One REST call of the mix; `ok` lists the statuses a caller may get for it (400 while the
// client is logged out, for the routes behind the login guard).
struct Call {
  bhttp_verb method;
  std::string target;
  std::optional<Json> body;
  std::set<int> ok;
  std::string raw_body = {};  // sent as is (not JSON) when set
};

std::vector<Call> rest_mix() {
  return {
      {bhttp_verb::get, "/health", std::nullopt, {200}},
      {bhttp_verb::get, "/api/parlo/status", std::nullopt, {200}},
      {bhttp_verb::get, "/api/parlo/self_info", std::nullopt, {200, 400}},
      {bhttp_verb::get, "/api/parlo/contacts", std::nullopt, {200, 400}},
      {bhttp_verb::post,
       "/api/parlo/send/text",
       Json{{"to_uid", "uid_echo"}, {"content", "soak"}},
       {200, 400}},
      {bhttp_verb::post,
       "/api/parlo/send/text",
       Json{{"to_uid", "uid_alice"}, {"content", "你好"}},
       {200, 400}},
      {bhttp_verb::post,
       "/api/parlo/sql_query",
       Json{{"sql", "select username, nickname from contact"}, {"db", 1}},
       {200, 400}},
      {bhttp_verb::post, "/api/parlo/contact/detail", Json{{"uid", "uid_alice"}}, {200, 400}},
      {bhttp_verb::post, "/api/parlo/contact/search", Json{{"nickname", "Al"}}, {200, 400}},
      {bhttp_verb::get, "/api/ws/stats", std::nullopt, {200}},
      {bhttp_verb::post, "/api/parlo/send/text", std::nullopt, {422}, "{\"to_uid\": "},
      {bhttp_verb::post, "/api/parlo/sql_query", Json{{"sql", 5}}, {422}},
      {bhttp_verb::get, "/api/parlo/no_such_route", std::nullopt, {404}},
  };
}

std::string multipart_body(const std::string& boundary, const std::string& filename,
                           std::size_t size, std::mt19937& rng) {
  std::string content(size, '\0');
  for (auto& c : content) c = static_cast<char>(rng());
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
         filename + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n--" +
         boundary + "--\r\n";
}

TEST(Soak, MixedLoadWithAStallingAndFailingClientLeavesNothingBehind) {
  Soak soak;
  ASSERT_TRUE(soak.start()) << soak.process().output();
  ASSERT_TRUE(soak.open_and_log_in()) << soak.process().output();
  const std::uint16_t port = soak.port();
  Control& control = soak.control();
  const Json burst_message{{"type", 11046},
                           {"data", {{"from_uid", "uid_alice"}, {"content", "burst"}}}};

  // One stretch of the mixed load; every loop stops by itself at the deadline or its count.
  const auto run_load = [&](std::chrono::seconds length, Tally& tally) {
    const auto start = Clock::now();
    const auto deadline = start + length;
    const auto phase_at = [&](double fraction) {
      return start + std::chrono::duration_cast<Clock::duration>(length * fraction);
    };
    std::atomic<bool> stop{false};
    const auto running = [&] { return !stop.load() && Clock::now() < deadline; };
    std::vector<std::thread> workers;

    // REST callers: the mix in turn, with keep-alive connections dropped now and then.
    for (int w = 0; w < 3; ++w) {
      workers.emplace_back([&, w] {
        const auto mix = rest_mix();
        auto http = std::make_unique<HttpClient>(port, 30s);
        for (int i = 0; i < 200000 && running(); ++i) {
          const Call& call = mix[(i + w * 5) % mix.size()];
          auto headers = auth();
          headers.emplace_back("Content-Type", "application/json");
          const auto answer = http->request(call.method, call.target,
                                            call.body ? call.body->dump() : call.raw_body, headers);
          tally.add("rest " + std::to_string(answer.status));
          if (call.ok.count(answer.status) == 0) {
            tally.fault(call.target + " -> " + std::to_string(answer.status) + " " + answer.body);
          }
          if (i % 97 == 0) http = std::make_unique<HttpClient>(port, 30s);
        }
      });
    }

    // Uploader: whole uploads of varied sizes, and uploads cut off in the middle of the body.
    workers.emplace_back([&] {
      std::mt19937 rng(7);
      HttpClient http(port, 30s);
      const char* routes[] = {"/api/parlo/send/file", "/api/parlo/send/image",
                              "/api/parlo/send/video", "/api/parlo/send/gif"};
      for (int i = 0; i < 20000 && running(); ++i) {
        const std::string route = routes[i % 4];
        const std::size_t size = 1 + rng() % (512 * 1024);
        const std::string body = multipart_body("soakb" + std::to_string(i),
                                                "f " + std::to_string(i) + ".bin", size, rng);
        if (i % 5 == 4) {
          // Headers and half the body, then the connection goes away.
          std::string head = "POST " + route +
                             "?to_uid=uid_echo HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                             "Authorization: Bearer " +
                             kKey +
                             "\r\n"
                             "Content-Type: multipart/form-data; boundary=soakb" +
                             std::to_string(i) +
                             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
          try {
            net::io_context io;
            net::ip::tcp::socket socket(io);
            socket.connect({net::ip::make_address("127.0.0.1"), port});
            net::write(socket, net::buffer(head + body.substr(0, body.size() / 2)));
            socket.set_option(net::socket_base::linger(true, 0));
            socket.close();
            tally.add("upload cut");
          } catch (const std::exception& e) {
            tally.fault(std::string("cut upload: ") + e.what());
          }
          continue;
        }
        auto headers = auth();
        headers.emplace_back("Content-Type",
                             "multipart/form-data; boundary=soakb" + std::to_string(i));
        const auto answer =
            http.request(bhttp_verb::post, route + "?to_uid=uid_echo", body, headers);
        tally.add("upload " + std::to_string(answer.status));
        if (answer.status != 200 && answer.status != 400) {
          tally.fault(route + " -> " + std::to_string(answer.status) + " " + answer.body);
        }
      }
    });

    // WebSocket churn: connect, read some, then an orderly close, an abrupt one, or a reader
    // that stops reading and is dropped later.
    for (int w = 0; w < 2; ++w) {
      workers.emplace_back([&, w] {
        std::mt19937 rng(100 + w);
        std::vector<std::unique_ptr<WsPeer>> stalled;
        for (int i = 0; i < 100000 && running(); ++i) {
          int refused = 0;
          auto peer = WsPeer::open(port, refused);
          if (!peer) {
            tally.add("ws refused " + std::to_string(refused));
            // 403 while the account is logged out is the documented answer.
            if (refused != 403) tally.fault("ws connect -> " + std::to_string(refused));
            continue;
          }
          tally.add("ws open");
          const int mode = static_cast<int>(rng() % 4);
          peer->read(1 + static_cast<int>(rng() % 50), 200ms);
          if (mode == 0) {
            peer->close();
          } else if (mode == 1 || mode == 2) {
            peer->drop();
          } else {
            stalled.push_back(std::move(peer));
            if (stalled.size() > 4) {
              stalled.front()->drop();
              stalled.erase(stalled.begin());
            }
          }
        }
        for (auto& peer : stalled) peer->drop();
      });
    }

    // The client: event bursts throughout, and a timeline of faults.
    workers.emplace_back([&] {
      struct Step {
        double at;
        Json cmd;
        bool done = false;
      };
      std::vector<Step> steps{
          {0.15, {{"cmd", "reply"}, {"code", 0}, {"mode", "delay"}, {"delay_ms", 300}}},
          {0.30, {{"cmd", "reply"}, {"code", 0}, {"mode", "normal"}}},
          {0.35, {{"cmd", "reply"}, {"code", 11200}, {"mode", "drop"}}},
          {0.45, {{"cmd", "reply"}, {"code", 0}, {"mode", "normal"}}},
          {0.50, {{"cmd", "fail"}, {"op", "send"}, {"text", "soak: the client refuses sends"}}},
          {0.60, {{"cmd", "fail"}, {"op", "send"}, {"text", nullptr}}},
          {0.65, {{"cmd", "logout"}}},
          {0.72, {{"cmd", "login"}, {"uid", kUid}, {"nickname", kNickname}}},
      };
      for (int i = 0; i < 100000 && running(); ++i) {
        for (auto& step : steps) {
          if (!step.done && Clock::now() >= phase_at(step.at)) {
            step.done = true;
            const Json answer = control.command(step.cmd);
            tally.add("control " + step.cmd["cmd"].get<std::string>());
            if (answer.value("ok", false) != true) {
              tally.fault("control " + step.cmd.dump() + " -> " + answer.dump());
            }
          }
        }
        const Json answer = control.command(
            {{"cmd", "inject"}, {"message", burst_message}, {"count", 500}, {"size", 512}});
        if (answer.value("ok", false) != true) tally.fault("inject -> " + answer.dump());
        tally.add("burst");
        std::this_thread::sleep_for(100ms);  // pacing of the load, not a wait for a condition
      }
    });

    for (auto& worker : workers) worker.join();
  };

  // Warm-up: a stretch of the same load, so pools, arenas, tables and caches have grown to
  // their working size before the baseline is taken.
  Tally warm_tally;
  run_load(std::min<std::chrono::seconds>(15s, soak_length()), warm_tally);
  control.must({{"cmd", "reply"}, {"code", 0}, {"mode", "normal"}});
  control.must({{"cmd", "fail"}, {"op", "send"}, {"text", nullptr}});
  control.must({{"cmd", "login"}, {"uid", kUid}, {"nickname", kNickname}});
  ASSERT_TRUE(warm_tally.faults.empty()) << warm_tally.faults.front();
  ASSERT_TRUE(wait_until([&] { return soak.ws_connections() == 0; }, 30s));
  ASSERT_TRUE(wait_until([&] { return listing(soak.tmp()).empty(); }, 30s))
      << "left after warm-up: " << listing(soak.tmp()).size();
  control.must({{"cmd", "clear_sent"}});
  // The baseline: descriptors settle once the closed connections are gone on the server side.
  std::map<int, std::string> fds_before = open_descriptors(soak.pid());
  wait_until(
      [&] {
        auto now = open_descriptors(soak.pid());
        const bool same = now.size() == fds_before.size();
        fds_before = std::move(now);
        return same;
      },
      5s);
  const long rss_before = status_kib(soak.pid(), "VmRSS");
  ASSERT_GT(rss_before, 0);

  const auto length = soak_length();
  const auto start = Clock::now();
  Tally tally;
  run_load(length, tally);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  // Back to normal: no fault rule left, logged in.
  control.must({{"cmd", "reply"}, {"code", 0}, {"mode", "normal"}});
  control.must({{"cmd", "fail"}, {"op", "send"}, {"text", nullptr}});
  // The simulated client keeps the last 100,000 envelopes it was given, inside the server's
  // process: that is the simulation's memory, not the server's.
  control.must({{"cmd", "clear_sent"}});
  {
    std::ostringstream report;
    report << "soak: " << seconds << " s";
    for (const auto& [what, n] : tally.counts) report << ", " << what << " " << n;
    std::cout << report.str() << std::endl;
  }
  EXPECT_TRUE(tally.faults.empty()) << [&] {
    std::string all;
    for (const auto& f : tally.faults) all += f + "\n";
    return all;
  }();
  EXPECT_GT(tally.counts["ws open"], 0);
  EXPECT_GT(tally.counts["upload 200"], 0);
  EXPECT_GT(tally.counts["rest 200"], 0);

  // Nothing left behind.
  EXPECT_TRUE(wait_until([&] { return soak.ws_connections() == 0; }, 30s))
      << "connections still registered: " << soak.ws_connections();
  EXPECT_TRUE(wait_until([&] { return listing(soak.tmp()).empty(); }, 30s)) << [&] {
    std::string all;
    for (const auto& name : listing(soak.tmp())) all += name + "\n";
    return "left in the temp dir:\n" + all;
  }();
  std::map<int, std::string> fds_after;
  const bool fds_back = wait_until(
      [&] {
        fds_after = open_descriptors(soak.pid());
        return fds_after.size() <= fds_before.size();
      },
      30s);
  EXPECT_TRUE(fds_back) << "descriptors before (" << fds_before.size() << "):\n"
                        << describe(fds_before) << "after (" << fds_after.size() << "):\n"
                        << describe(fds_after);

  // Still answering, still logged in.
  HttpClient http(port, 20s);
  EXPECT_EQ(http.get("/health").status, 200);
  const auto status = http.get("/api/parlo/status", auth());
  EXPECT_EQ(status.status, 200) << status.body;
  const auto echo = http.post_json("/api/parlo/send/text",
                                   {{"to_uid", "uid_echo"}, {"content", "after"}}, auth());
  EXPECT_EQ(echo.status, 200) << echo.body;
  EXPECT_EQ(echo.json().value("success", false), true) << echo.body;

  const long rss_after = status_kib(soak.pid(), "VmRSS");
  std::cout << "soak: RSS " << rss_before / 1024 << " MiB after warm-up, " << rss_after / 1024
            << " MiB at the end" << std::endl;
  if (!kSanitized) {
    EXPECT_LE(rss_after, rss_before + 20 * 1024);
  }

  // An orderly stop still works after all that.
  soak.process().signal(SIGTERM);
  const auto exit = soak.process().wait_for(30s);
  ASSERT_TRUE(exit.has_value()) << soak.process().output().substr(0, 4000);
  EXPECT_TRUE(WIFEXITED(*exit) && WEXITSTATUS(*exit) == 0) << *exit;
}

}  // namespace
}  // namespace corvid::test
