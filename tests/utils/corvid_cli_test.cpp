// The built server started as a program: options, configuration errors and a clean stop.
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/corvid_binary.hpp"
#include "support/temp_dir.hpp"

namespace corvid::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kLimit = 20s;  // generous: sanitizer builds start slowly

class CorvidCli : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    std::string path = (dir_ / name).string();
    std::ofstream(path) << text;
    return path;
  }
  TempDir dir_{"cli"};
};

TEST_F(CorvidCli, HelpListsTheOptions) {
  CorvidBinary corvid({.args = {"--help"}});
  corvid.launch();
  EXPECT_EQ(corvid.process().wait_exit(kLimit), 0);
  for (const char* option : {"--config", "--threads", "--workers", "--host", "--port"}) {
    EXPECT_THAT(corvid.output(), HasSubstr(option));
  }
}

TEST_F(CorvidCli, BrokenConfigurationStopsWithAClearMessage) {
  struct Case {
    const char* name;
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"broken JSON", "{\"server\": {\"port\": 8002,,}}",
       "corvid: configuration error: " + (dir_ / "broken JSON.json").string() +
           ": invalid JSON: parse error at line 1"},
      {"wrong port type", R"({"server": {"port": "8002"}})",
       "server.port: expected an integer 0..65535, got \"8002\""},
      {"wrong debug type", R"({"server": {"debug": 1}})", "server.debug: expected true or false"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = write(std::string(c.name) + ".json", c.text);
    CorvidBinary corvid({.config_file = path});
    corvid.launch();
    EXPECT_EQ(corvid.process().wait_exit(kLimit), 2);
    EXPECT_THAT(corvid.output(), HasSubstr(c.message));
    EXPECT_THAT(corvid.output(), Not(HasSubstr("listening on")));
  }
}

TEST_F(CorvidCli, BadOptionsAreRefused) {
  for (auto args : {std::vector<std::string>{"--port", "70000"},
                    {"--threads", "0"},
                    {"--workers", "x"},
                    {"--no-such-option"}}) {
    SCOPED_TRACE(args.front());
    CorvidBinary corvid({.args = args});
    corvid.launch();
    auto code = corvid.process().wait_exit(kLimit);
    ASSERT_TRUE(code.has_value());
    EXPECT_NE(*code, 0);
    EXPECT_THAT(corvid.output(), Not(HasSubstr("listening on")));
  }
}

// Without any file the server starts on the defaults (the port comes from the command line, so
// no fixed port is ever bound), says what it runs with, and a SIGTERM ends it with status 0.
TEST_F(CorvidCli, StartsOnDefaultsAndStopsOnSigterm) {
  CorvidBinary corvid({.threads = 3, .config_file = dir_ / "absent.json", .args = {"--port", "0"}});
  ASSERT_TRUE(corvid.start(kLimit)) << corvid.output();
  const std::string out = corvid.output();
  EXPECT_THAT(out, HasSubstr("listening on http://127.0.0.1:"));
  EXPECT_THAT(out, HasSubstr("absent.json not found; using the defaults"));
  EXPECT_THAT(out, HasSubstr("configuration: defaults"));
  EXPECT_THAT(out, HasSubstr("server: host 127.0.0.1, port 0, debug false"));
  EXPECT_THAT(out, HasSubstr("parlo: exe_path None, version None"));
  EXPECT_THAT(out, HasSubstr("auth: 0 API key(s) configured"));
  EXPECT_THAT(out, HasSubstr("threads 3, workers 32"));
  EXPECT_THAT(out, HasSubstr("runtime: ordinary run"));
  EXPECT_THAT(out, HasSubstr("supported Parlo versions: "));
  EXPECT_EQ(corvid.stop(SIGTERM, kLimit), 0) << corvid.output();
}

// A key entry that is not text is skipped with a warning; the rest of the file is used, the
// environment wins over the file and the command line over both, and debug says that nothing
// reloads.
TEST_F(CorvidCli, SkipsUnusableKeysAndAppliesOverrides) {
  std::string path = write("c.json", R"({
    "server": {"host": "0.0.0.0", "port": 8100, "debug": true},
    "auth": {"api_keys": {"admin": "k-secret-value", "broken": 5}}
  })");
  CorvidBinary corvid({.env = {{"CORVID_SERVER_HOST", "127.0.0.1"}, {"CORVID_SERVER_PORT", "8101"}},
                       .config_file = path,
                       .args = {"--port", "0"}});
  ASSERT_TRUE(corvid.start(kLimit)) << corvid.output();
  const std::string out = corvid.output();
  EXPECT_THAT(out, HasSubstr("listening on http://"));
  EXPECT_THAT(out, HasSubstr("auth.api_keys.broken: skipped: the key is not a text"));
  EXPECT_THAT(out, HasSubstr("auth: 1 API key(s) configured"));
  EXPECT_THAT(out, HasSubstr("server: host 127.0.0.1, port 0, debug true"));
  EXPECT_THAT(out, HasSubstr("a compiled server has no code reload"));
  EXPECT_THAT(out, Not(HasSubstr("k-secret-value")));
  EXPECT_EQ(corvid.stop(SIGINT, kLimit), 0) << corvid.output();
}

}  // namespace
}  // namespace corvid::test
