#include "corvid/app/config.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "corvid/utils/log.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace corvid::app {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

const char* const kEnvNames[] = {
    "CORVID_CONFIG",         "CORVID_SERVER_HOST",   "CORVID_SERVER_PORT",  "CORVID_SERVER_DEBUG",
    "CORVID_PARLO_EXE_PATH", "CORVID_PARLO_VERSION", "CORVID_AUTH_API_KEYS"};

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kEnvNames) ::unsetenv(name);
    logs_ = std::make_unique<test::LogCapture>();
  }
  void TearDown() override {
    logs_.reset();
    for (const char* name : kEnvNames) ::unsetenv(name);
  }

  std::string write(const std::string& name, const std::string& text) {
    std::string path = (dir_ / name).string();
    std::ofstream(path) << text;
    return path;
  }

  // What the modules logged, so a test can check a warning was given.
  bool logged(const std::string& text) { return logs_->contains(text); }

  test::TempDir dir_{"config"};
  std::unique_ptr<test::LogCapture> logs_;
};

TEST_F(ConfigTest, DocumentErrorsNameTheSettingAndTheFile) {
  struct Case {
    const char* name;
    const char* document;
    const char* message;
  };
  const Case cases[] = {
      {"top level not an object", "[1, 2]", "t.json: expected a JSON object at the top level"},
      {"server not an object", R"({"server": "x"})", "t.json: server: expected an object"},
      {"host a number", R"({"server": {"host": 127}})", "server.host: expected a non-empty text"},
      {"host empty", R"({"server": {"host": ""}})", "server.host: expected a non-empty text"},
      {"port a text", R"({"server": {"port": "8002"}})",
       "server.port: expected an integer 0..65535, got \"8002\""},
      {"port a float", R"({"server": {"port": 8002.5}})", "server.port: expected an integer"},
      {"port a boolean", R"({"server": {"port": true}})", "got true"},
      {"port negative", R"({"server": {"port": -1}})", "server.port: expected an integer"},
      {"port too big", R"({"server": {"port": 65536}})", "got 65536"},
      {"port huge", R"({"server": {"port": 18446744073709551615}})", "server.port"},
      {"debug a text", R"({"server": {"debug": "yes"}})", "server.debug: expected true or false"},
      {"budget below 1 MiB", R"({"server": {"ws_budget": 1000}})",
       "server.ws_budget: expected an integer 1048576..1099511627776, got 1000"},
      {"budget a text", R"({"server": {"ws_budget": "64MiB"}})", "server.ws_budget: expected"},
      {"stall timeout 0", R"({"server": {"ws_stall_timeout": 0}})",
       "server.ws_stall_timeout: expected an integer 1..3600, got 0"},
      {"version a number", R"({"parlo": {"version": 3.9}})", "parlo.version: expected a text"},
      {"exe_path a list", R"({"parlo": {"exe_path": []}})", "parlo.exe_path: expected a text"},
      {"api_keys a list", R"({"auth": {"api_keys": ["k"]}})",
       "auth.api_keys: expected an object of name -> key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      config_from_json(Json::parse(c.document), "t.json");
      ADD_FAILURE() << "accepted";
    } catch (const ConfigError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message));
    }
  }
}

TEST_F(ConfigTest, KeysKeepTheirOrderAndUnusableEntriesAreSkipped) {
  Config config = config_from_json(Json::parse(R"({
    "server": {"host": "0.0.0.0", "port": 9001, "debug": true, "workers": 4},
    "parlo": {"exe_path": "C:/Parlo/Parlo.exe", "version": null},
    "auth": {"api_keys": {"zeta": "k-z", "bad": 42, "alpha": "k-a", "empty": "", "nested": {}}},
    "extra": {"kept": 1}
  })"),
                                   "t.json");
  EXPECT_EQ(config.server.host, "0.0.0.0");
  EXPECT_EQ(config.server.port, 9001);
  EXPECT_TRUE(config.server.debug);
  EXPECT_EQ(config.parlo.exe_path, "C:/Parlo/Parlo.exe");
  EXPECT_EQ(config.parlo.version, std::nullopt);
  using Entry = std::pair<std::string, std::string>;
  EXPECT_EQ(config.auth.api_keys, (std::vector<Entry>{{"zeta", "k-z"}, {"alpha", "k-a"}}));
  EXPECT_TRUE(logged("t.json: auth.api_keys.bad: skipped: the key is not a text"));
  EXPECT_TRUE(logged("auth.api_keys.empty: skipped: the key is empty"));
  EXPECT_TRUE(logged("auth.api_keys.nested: skipped"));
  EXPECT_TRUE(logged("server.workers: unknown setting, ignored"));
  // The effective document holds what is in force, in order, and what else the file held.
  EXPECT_EQ(dump_compact(config.document),
            R"({"server":{"host":"0.0.0.0","port":9001,"debug":true},)"
            R"("parlo":{"exe_path":"C:/Parlo/Parlo.exe","version":null},)"
            R"("auth":{"api_keys":{"zeta":"k-z","alpha":"k-a"}},"extra":{"kept":1}})");
  EXPECT_EQ(config.source, "t.json");
}

TEST_F(ConfigTest, FileLoadingErrorsAndDefaults) {
  // Missing: the defaults, no keys, and a warning.
  Config defaults = load_config((dir_ / "absent.json").string());
  EXPECT_EQ(defaults.server.host, "127.0.0.1");
  EXPECT_EQ(defaults.server.port, 8002);
  EXPECT_FALSE(defaults.server.debug);
  EXPECT_TRUE(defaults.auth.api_keys.empty());
  EXPECT_EQ(defaults.source, "");
  EXPECT_TRUE(logged("absent.json not found; using the defaults"));

  struct Case {
    const char* name;
    std::string path;
    const char* message;
  };
  const Case cases[] = {
      {"broken JSON", write("broken.json", "{\"server\": {\"port\": 8002,}\n"),
       "broken.json: invalid JSON: parse error at line 1"},
      {"empty file", write("empty.json", ""), "empty.json: invalid JSON"},
      {"a folder", dir_.path().string(), "cannot read: it is a folder"},
      {"wrong port type", write("port.json", R"({"server": {"port": "8002"}})"),
       "port.json: server.port: expected an integer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      load_config(c.path);
      ADD_FAILURE() << "accepted";
    } catch (const ConfigError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message));
      EXPECT_THAT(e.what(), ::testing::Not(HasSubstr("[json.exception")));
    }
  }
}

TEST_F(ConfigTest, LocationPrecedence) {
  EXPECT_EQ(resolve_config_path(std::nullopt), "config.json");
  ::setenv("CORVID_CONFIG", "/etc/corvid.json", 1);
  EXPECT_EQ(resolve_config_path(std::nullopt), "/etc/corvid.json");
  EXPECT_EQ(resolve_config_path(std::string("mine.json")), "mine.json");
  EXPECT_EQ(resolve_config_path(std::string()), "/etc/corvid.json");  // an empty --config
  ::setenv("CORVID_CONFIG", "", 1);
  EXPECT_EQ(resolve_config_path(std::nullopt), "config.json");
}

TEST_F(ConfigTest, EnvironmentOverridesTheFile) {
  std::string path = write("c.json", R"({
    "server": {"host": "127.0.0.1", "port": 8002},
    "parlo": {"version": "3.6.0.18"},
    "auth": {"api_keys": {"file": "k-file"}}
  })");
  ::setenv("CORVID_SERVER_HOST", "0.0.0.0", 1);
  ::setenv("CORVID_SERVER_PORT", "9100", 1);
  ::setenv("CORVID_SERVER_DEBUG", "On", 1);
  ::setenv("CORVID_PARLO_EXE_PATH", "/opt/parlo", 1);
  ::setenv("CORVID_PARLO_VERSION", "", 1);  // set but empty: "not configured"
  ::setenv("CORVID_AUTH_API_KEYS", R"({"b": "k-b", "n": 1, "a": "k-a"})", 1);
  Config config = load_config(path);
  EXPECT_EQ(config.server.host, "0.0.0.0");
  EXPECT_EQ(config.server.port, 9100);
  EXPECT_TRUE(config.server.debug);
  EXPECT_EQ(config.parlo.exe_path, "/opt/parlo");
  EXPECT_EQ(config.parlo.version, "");
  using Entry = std::pair<std::string, std::string>;
  EXPECT_EQ(config.auth.api_keys, (std::vector<Entry>{{"b", "k-b"}, {"a", "k-a"}}));

  struct Case {
    const char* variable;
    const char* value;
    const char* message;
  };
  const Case bad[] = {
      {"CORVID_SERVER_PORT", "80a",
       "CORVID_SERVER_PORT: expected an integer 0..65535, got \"80a\""},
      {"CORVID_SERVER_PORT", "70000", "CORVID_SERVER_PORT"},
      {"CORVID_SERVER_PORT", "", "CORVID_SERVER_PORT"},
      {"CORVID_SERVER_DEBUG", "maybe", "CORVID_SERVER_DEBUG: expected true/false"},
      {"CORVID_AUTH_API_KEYS", "[\"k\"]", "CORVID_AUTH_API_KEYS: expected a JSON object"},
      {"CORVID_AUTH_API_KEYS", "{broken", "CORVID_AUTH_API_KEYS: expected a JSON object"},
      {"CORVID_SERVER_HOST", "", "server.host: expected a non-empty text"},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
    for (const char* name : kEnvNames) ::unsetenv(name);
    ::setenv(c.variable, c.value, 1);
    try {
      load_config(path);
      ADD_FAILURE() << "accepted";
    } catch (const ConfigError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message));
    }
  }
}

}  // namespace
}  // namespace corvid::app
