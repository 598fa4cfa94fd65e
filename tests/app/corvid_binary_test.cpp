// The real corvid binary with a temporary configuration and working folder: what it serves
// without a key, the masked configuration view, the key table reloaded on SIGHUP, an orderly
// SIGTERM with connections still open, and start-up failures that must end the process with a
// clear message instead of a half-working server.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "corvid/utils/json.hpp"
#include "support/corvid_binary.hpp"
#include "support/http_client.hpp"
#include "support/temp_dir.hpp"
#include "support/wait.hpp"

namespace corvid::test {
namespace {

namespace fs = std::filesystem;
namespace bhttp = boost::beast::http;
using namespace std::chrono_literals;

// Positions of `needles` in `text`, in order; fails the test when one is missing or out of order.
void expect_in_order(const std::string& text, const std::vector<std::string>& needles) {
  std::size_t at = 0;
  for (const auto& needle : needles) {
    SCOPED_TRACE(needle);
    const auto found = text.find(needle, at);
    ASSERT_NE(found, std::string::npos) << text;
    at = found + needle.size();
  }
}

// A GET on a fresh connection, with `key` as the bearer when given.
HttpResponse get(const CorvidBinary& corvid, const std::string& target,
                 std::optional<std::string> key = std::nullopt) {
  HeaderList headers;
  if (key) headers.emplace_back("Authorization", "Bearer " + *key);
  return HttpClient(corvid.port(), 15s).get(target, headers);
}

TEST(CorvidBinary, ServesPagesWithoutKeyAndMasksTheConfiguration) {
  CorvidBinary corvid;
  ASSERT_TRUE(corvid.start()) << corvid.process().output();

  const auto home = get(corvid, "/");
  EXPECT_EQ(home.status, 200);
  EXPECT_EQ(home.header("Content-Type").value_or("").rfind("text/html", 0), 0u);
  EXPECT_NE(home.body.find("<h1>🤖 CorvidParlo机器人API</h1>"), std::string::npos);

  const auto health = get(corvid, "/health");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(
      health.body,
      R"({"status":"healthy","message":"Parlo机器人API服务运行正常，支持WebSocket消息推送"})");
  const auto head = HttpClient(corvid.port()).request(bhttp::verb::head, "/health");
  EXPECT_EQ(head.status, 200);
  EXPECT_TRUE(head.body.empty());

  struct Case {
    const char* name;
    std::optional<std::string> key;
    int status;
    std::string detail;
  };
  const std::vector<Case> cases{
      {"no key", std::nullopt, 401, "缺少认证信息"},
      {"the example key of the home page", "hvtrno", 401, "无效的API密钥"},
      {"the configured key", corvid.key(), 200, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto answer = get(corvid, "/api/config/", c.key);
    EXPECT_EQ(answer.status, c.status) << answer.body;
    EXPECT_EQ(answer.body.find(corvid.key()), std::string::npos) << answer.body;
    const auto body = Json::parse(answer.body);
    if (c.status == 401) {
      EXPECT_EQ(body["detail"], c.detail);
      EXPECT_EQ(answer.header("WWW-Authenticate").value_or(""), "Bearer");
    } else {
      EXPECT_EQ(body["success"], true);
      // The file's port (0: any free one), not the default the view would show without it.
      EXPECT_EQ(body["data"]["server"]["port"], 0);
      EXPECT_EQ(body["data"]["auth"]["api_keys"], (Json{{"main", "********"}}));
    }
  }

  // The working folder's static folder is created at start.
  EXPECT_TRUE(fs::is_directory(corvid.dir() / "static"));
  expect_in_order(corvid.process().output(),
                  {"🚀 CorvidParlo机器人API服务启动中...", "✅ Parlo服务初始化完成", "listening on"});
  EXPECT_EQ(corvid.process().output().find(corvid.key()), std::string::npos);
}

TEST(CorvidBinary, SighupReloadsTheKeyTable) {
  CorvidBinary corvid;
  ASSERT_TRUE(corvid.start()) << corvid.process().output();
  const std::string old_key = corvid.key();
  const std::string new_key = CorvidBinary::random_key();
  ASSERT_EQ(get(corvid, "/api/config/", new_key).status, 401);

  corvid.write_config({{"rotated", new_key}});
  corvid.process().signal(SIGHUP);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (get(corvid, "/api/config/", new_key).status != 200 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  const auto answer = get(corvid, "/api/config/", new_key);
  ASSERT_EQ(answer.status, 200) << corvid.process().output();
  EXPECT_EQ(Json::parse(answer.body)["data"]["auth"]["api_keys"], (Json{{"rotated", "********"}}));
  EXPECT_EQ(get(corvid, "/api/config/", old_key).status, 401);
  EXPECT_FALSE(corvid.process().wait_for(0ms).has_value()) << "SIGHUP must not stop the server";
}

// A reload that cannot read the keys keeps the table in force: callers keep their access while
// the file is mended, and the error line says which file and what is wrong with it.
TEST(CorvidBinary, SighupWithABrokenOrMissingFileKeepsTheKeys) {
  CorvidBinary corvid;
  ASSERT_TRUE(corvid.start()) << corvid.process().output();
  const fs::path file = corvid.dir() / "config.json";
  auto count = [&](const std::string& needle) {
    const std::string out = corvid.process().output();
    std::size_t n = 0;
    for (auto at = out.find(needle); at != std::string::npos; at = out.find(needle, at + 1)) ++n;
    return n;
  };
  struct Case {
    const char* name;
    std::function<void()> damage;
    std::string problem;  // what the error line says after the file's name
  };
  const Case cases[] = {
      {"broken JSON", [&] { std::ofstream(file, std::ios::trunc) << R"({"auth": {"api_keys": )"; },
       ": invalid JSON: "},
      {"missing file", [&] { fs::remove(file); }, ": not found"},
      {"key table of the wrong type",
       [&] { std::ofstream(file, std::ios::trunc) << R"({"auth": {"api_keys": ["k"]}})"; },
       "auth.api_keys: expected an object"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = "加载API密钥失败: " + file.string();
    const std::size_t failures = count(line);
    c.damage();
    corvid.process().signal(SIGHUP);
    ASSERT_TRUE(corvid.process().wait_output(
        [&](const std::string&) { return count(line) > failures; }, 20s))
        << corvid.process().output();
    const std::string out = corvid.process().output();
    const auto at = out.rfind(line);
    const auto begin = out.rfind('\n', at);
    const std::string error_line =
        out.substr(begin == std::string::npos ? 0 : begin + 1,
                   out.find('\n', at) - (begin == std::string::npos ? 0 : begin + 1));
    EXPECT_NE(error_line.find(c.problem), std::string::npos) << error_line;
    EXPECT_NE(error_line.find("the 1 key(s) loaded before stay in force"), std::string::npos)
        << error_line;
    EXPECT_NE(error_line.find("error"), std::string::npos) << error_line;
    EXPECT_EQ(get(corvid, "/api/config/", corvid.key()).status, 200);
  }
  EXPECT_EQ(count("API keys reloaded on SIGHUP"), 0u) << corvid.process().output();

  // Mended, the next SIGHUP loads it.
  const std::string new_key = CorvidBinary::random_key();
  corvid.write_config({{"mended", new_key}});
  corvid.process().signal(SIGHUP);
  ASSERT_TRUE(corvid.process().wait_output(
      [&](const std::string&) { return count("API keys reloaded on SIGHUP: 1 key(s)") == 1; }, 20s))
      << corvid.process().output();
  EXPECT_EQ(get(corvid, "/api/config/", new_key).status, 200);
  EXPECT_EQ(get(corvid, "/api/config/", corvid.key()).status, 401);
}

// Only uploads use the temporary folder, and each looks it up for itself: one that does not
// exist when the server starts stops nothing.
TEST(CorvidBinary, StartsWhenTheTemporaryFolderDoesNotExist) {
  const TempDir elsewhere("tmpdir");
  const fs::path missing = elsewhere / "no" / "tmp";
  CorvidBinary corvid({.env = {{"TMPDIR", missing.string()}}});
  ASSERT_TRUE(corvid.start()) << corvid.process().output();
  EXPECT_EQ(get(corvid, "/api/config/", corvid.key()).status, 200);
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_EQ(corvid.process().output().find("start-up failed"), std::string::npos)
      << corvid.process().output();
}

// A WebSocket of the logged-in account, when this build serves the WebSocket route.
std::unique_ptr<boost::beast::websocket::stream<boost::beast::tcp_stream>> open_websocket(
    boost::asio::io_context& io, CorvidBinary& corvid) {
  const auto opened = corvid.post("/api/parlo/open");
  if (opened.status == 404) return nullptr;
  std::string uid;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (uid.empty() && std::chrono::steady_clock::now() < deadline) {
    const auto answer = get(corvid, "/api/parlo/current_uid", corvid.key());
    const auto body = Json::parse(answer.body, nullptr, false);
    if (body.is_object() && body.value("success", false))
      uid = body["data"]["uid"].get<std::string>();
    else
      std::this_thread::sleep_for(20ms);
  }
  if (uid.empty()) return nullptr;
  auto ws = std::make_unique<boost::beast::websocket::stream<boost::beast::tcp_stream>>(io);
  boost::beast::get_lowest_layer(*ws).expires_after(10s);
  boost::beast::get_lowest_layer(*ws).connect(
      boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), corvid.port()));
  boost::beast::error_code ec;
  ws->handshake("127.0.0.1", "/api/ws/connect/" + uid + "?api_key=" + corvid.key(), ec);
  if (ec) return nullptr;
  return ws;
}

TEST(CorvidBinary, SigtermWithOpenConnectionsStopsInOrderAndExitsZero) {
  CorvidBinary corvid;
  ASSERT_TRUE(corvid.start()) << corvid.process().output();

  // Each waits up to 2 s for the server's close at the end.
  HttpClient idle(corvid.port(), 2s);  // kept alive after one answer
  ASSERT_EQ(idle.get("/health").status, 200);
  HttpClient partial(corvid.port(), 2s);  // a request whose header never ends
  ASSERT_TRUE(partial.send("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n"));

  boost::asio::io_context io;
  auto ws = open_websocket(io, corvid);
  if (!ws) std::cout << "note: no WebSocket route in this build; HTTP connections only\n";
  // The peer keeps reading through the stop, as a live client does, so it answers the close.
  std::future<std::pair<boost::beast::error_code, std::uint16_t>> ws_end;
  if (ws) {
    ws_end = std::async(std::launch::async, [&ws] {
      boost::beast::flat_buffer buffer;
      boost::beast::error_code ec;
      boost::beast::get_lowest_layer(*ws).expires_after(20s);
      while (!ec) ws->read(buffer, ec);
      return std::make_pair(ec, static_cast<std::uint16_t>(ws->reason().code));
    });
  }

  const auto sent = std::chrono::steady_clock::now();
  corvid.process().signal(SIGTERM);
  const auto status = corvid.process().wait_for(20s);
  ASSERT_TRUE(status.has_value()) << "still running 20 s after SIGTERM\n"
                                  << corvid.process().output();
  EXPECT_TRUE(WIFEXITED(*status)) << corvid.process().output();
  EXPECT_EQ(WEXITSTATUS(*status), 0) << corvid.process().output();
  // Each step is bounded (5 s); the whole stop stays well inside the sum of the bounds.
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 16s);

  EXPECT_TRUE(idle.closed_by_peer());
  EXPECT_TRUE(partial.closed_by_peer());
  const std::string closed = ws ? "已关闭 1 个WebSocket连接" : "已关闭 0 个WebSocket连接";
  expect_in_order(corvid.process().output(),
                  {"🔄 正在关闭CorvidParlo机器人API服务...", "正在关闭WebSocket连接...", closed,
                   "✅ CorvidParlo机器人API服务已关闭"});
  if (ws) {
    // The peer got an orderly close (1000), not a dropped stream.
    const auto [ec, code] = ws_end.get();
    EXPECT_EQ(ec, boost::beast::websocket::error::closed) << ec.message();
    EXPECT_EQ(code, boost::beast::websocket::close_code::normal);
  }
}

TEST(CorvidBinary, StartFailuresEndTheProcessWithAClearMessage) {
  struct Case {
    const char* name;
    std::function<void(CorvidBinary&)> prepare;
    std::string message;
  };
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor taken(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  const auto taken_port = taken.local_endpoint().port();
  const std::vector<Case> cases{
      {"address in use", nullptr,
       "cannot listen on 127.0.0.1:" + std::to_string(taken_port) +
           ": bind: Address already in use (start on another port with --port N)\n"},
      {"a file named static", [](CorvidBinary& c) { std::ofstream(c.dir() / "static") << "x"; },
       "is not a folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CorvidBinary corvid({.port = c.prepare ? std::uint16_t{0} : taken_port});
    if (c.prepare) c.prepare(corvid);
    corvid.launch();
    const auto status = corvid.process().wait_for(20s);
    ASSERT_TRUE(status.has_value()) << corvid.process().output();
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_NE(WEXITSTATUS(*status), 0);
    const std::string out = corvid.process().output();
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(out.find("cannot listen on", out.find("cannot listen on") + 1), std::string::npos)
        << "the address is named once\n"
        << out;
  }
}

// One client per binding, on the real binary: a script that opens at every start keeps the
// one client it has, an attach to another process is refused with the reason, a detach
// reaches the driven client, and a client that quit can be opened again.
TEST(CorvidBinary, OpenAndAttachWhileDrivenKeepTheDrivenClient) {
  CorvidBinary corvid({.control_socket = true});
  ASSERT_TRUE(corvid.start()) << corvid.process().output();
  Control& sim = corvid.control();
  auto post = [&](const std::string& target) {
    const auto answer = corvid.post(target);
    EXPECT_EQ(answer.status, 200) << target << ": " << answer.body;
    return Json::parse(answer.body);
  };
  auto status = [&] { return Json::parse(get(corvid, "/api/parlo/status", corvid.key()).body); };
  auto wait_status = [&](const std::function<bool(const Json&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    Json now = status();
    while (!done(now) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
      now = status();
    }
    return done(now);
  };
  auto processes = [&] { return sim.command({{"cmd", "state"}})["processes"]; };
  auto answer = [](bool success, const std::string& message) {
    return Json{{"success", success}, {"message", message}, {"data", nullptr}};
  };
  auto driven_and_logged_in = [](const Json& s) {
    return s["status"] == true && s["login_status"] == true;
  };

  EXPECT_EQ(post("/api/parlo/open"), answer(true, "Parlo打开成功"));
  ASSERT_TRUE(wait_status(driven_and_logged_in)) << status().dump();
  const Json driven = status();
  const std::int64_t pid = driven["pid"].get<std::int64_t>();
  const std::string id = std::to_string(pid);
  for (int again = 2; again <= 3; ++again) {
    SCOPED_TRACE("open #" + std::to_string(again));
    EXPECT_EQ(post("/api/parlo/open?show_qrcode=true"), answer(true, "Parlo打开成功"));
    EXPECT_EQ(status(), driven);
    EXPECT_EQ(processes().size(), 1u);
  }

  EXPECT_EQ(post("/api/parlo/attach/" + id), answer(true, "成功附加到进程 " + id));
  const std::int64_t other = sim.command({{"cmd", "spawn"}})["pid"].get<std::int64_t>();
  const std::string other_id = std::to_string(other);
  EXPECT_EQ(post("/api/parlo/attach/" + other_id),
            answer(false, "附加到进程 " + other_id + " 失败: 正在驱动进程 " + id +
                              "，请先分离 (POST /api/parlo/detach)"));
  EXPECT_EQ(status(), driven);
  for (const Json& p : processes()) {
    EXPECT_EQ(p["client_id"] != 0, p["pid"] == pid) << p.dump();
  }

  EXPECT_EQ(post("/api/parlo/detach"), answer(true, "成功分离Parlo进程"));
  ASSERT_TRUE(wait_status([](const Json& s) { return s["status"] == false; })) << status().dump();
  for (const Json& p : processes()) EXPECT_EQ(p["client_id"], 0) << p.dump();

  // Driven again, then the client quits: the next open starts a new one and drives it.
  EXPECT_EQ(post("/api/parlo/attach/" + id), answer(true, "成功附加到进程 " + id));
  ASSERT_TRUE(wait_status(driven_and_logged_in)) << status().dump();
  sim.must({{"cmd", "quit"}});
  ASSERT_TRUE(wait_status([](const Json& s) { return s["status"] == false; })) << status().dump();
  EXPECT_EQ(post("/api/parlo/open"), answer(true, "Parlo打开成功"));
  ASSERT_TRUE(wait_status(driven_and_logged_in)) << status().dump();
  EXPECT_NE(status()["pid"], pid);
  EXPECT_EQ(processes().size(), 2u) << "the quit client is gone; the spawned one and the new one";
}

}  // namespace
}  // namespace corvid::test
