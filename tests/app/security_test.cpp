#include "corvid/app/security.hpp"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "corvid/app/config.hpp"
#include "support/log_capture.hpp"

namespace corvid::app {
namespace {

const std::string kAdminKey = "k-admin-0123456789abcdef";
const std::string kOpsKey = "k-ops-0123456789abcdef";

AuthManager make_manager(KeyEntries keys) {
  return AuthManager(AuthManager::KeySource([keys] { return keys; }));
}

std::string refusal_text(const AuthResult& result) {
  if (const auto* refusal = std::get_if<AuthRefusal>(&result)) return refusal->detail;
  return "admitted";
}

TEST(AuthManager, BearerHeaderCases) {
  // Two names share one key: the first name in configured order is the one reported.
  auto manager = make_manager({{"admin", kAdminKey}, {"ops", kOpsKey}, {"backup", kAdminKey}});
  struct Case {
    const char* name;
    std::optional<std::string> header;
    std::string expected;  // refusal text, or "admitted"
    std::optional<std::string> key_name;
  };
  const std::vector<Case> cases = {
      {"no header", std::nullopt, "缺少认证信息", {}},
      {"empty header", "", "缺少认证信息", {}},
      {"scheme only", "Bearer", "缺少认证信息", {}},
      {"scheme and blank", "Bearer ", "缺少认证信息", {}},
      {"other scheme", "Basic " + kAdminKey, "缺少认证信息", {}},
      {"tab is no separator", "Bearer\t" + kAdminKey, "缺少认证信息", {}},
      {"no scheme", " " + kAdminKey, "缺少认证信息", {}},
      {"wrong key", "Bearer nope", "无效的API密钥", {}},
      {"key in other case",
       "Bearer " + std::string("K-ADMIN-0123456789ABCDEF"),
       "无效的API密钥",
       {}},
      {"second blank stays in the key", "Bearer  " + kAdminKey, "无效的API密钥", {}},
      {"trailing text stays in the key", "Bearer " + kAdminKey + " x", "无效的API密钥", {}},
      {"key name is no key", "Bearer admin", "无效的API密钥", {}},
      {"right key", "Bearer " + kAdminKey, "admitted", "admin"},
      {"scheme lower case", "bearer " + kOpsKey, "admitted", "ops"},
      {"scheme upper case", "BEARER " + kOpsKey, "admitted", "ops"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result =
        manager.check_bearer(c.header ? std::optional<std::string_view>(*c.header) : std::nullopt);
    EXPECT_EQ(refusal_text(result), c.expected);
    if (const auto* refusal = std::get_if<AuthRefusal>(&result)) {
      EXPECT_EQ(refusal->status, 401);
      EXPECT_TRUE(refusal->www_authenticate);
    } else {
      const auto& user = std::get<AuthenticatedUser>(result);
      EXPECT_EQ(user.key_name, c.key_name);
      EXPECT_TRUE(user.authenticated);
    }
  }
}

TEST(AuthManager, QueryAndWebSocketChecks) {
  auto manager = make_manager({{"admin", kAdminKey}});
  struct Case {
    const char* name;
    std::optional<std::string> key;
    std::string query_expected;
    std::string ws_expected;
  };
  const std::vector<Case> cases = {
      {"absent", std::nullopt, "缺少API密钥参数", "缺少API密钥"},
      {"empty", "", "缺少API密钥参数", "缺少API密钥"},
      {"wrong", "nope", "无效的API密钥", "无效的API密钥"},
      {"right", kAdminKey, "admitted", "admitted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto key = c.key ? std::optional<std::string_view>(*c.key) : std::nullopt;
    const auto query = manager.check_query(key);
    const auto ws = manager.check_websocket(key);
    EXPECT_EQ(refusal_text(query), c.query_expected);
    EXPECT_EQ(refusal_text(ws), c.ws_expected);
    // Only the bearer refusals ask for credentials with WWW-Authenticate.
    if (auto* r = std::get_if<AuthRefusal>(&query)) {
      EXPECT_FALSE(r->www_authenticate);
    }
    if (auto* r = std::get_if<AuthRefusal>(&ws)) {
      EXPECT_EQ(r->status, 401);
    }
  }
}

TEST(AuthManager, EmptyKeysNeverAdmit) {
  // A configured empty key must not turn an empty presented key into a pass.
  auto manager = make_manager({{"blank", ""}, {"admin", kAdminKey}});
  EXPECT_FALSE(manager.validate_api_key(""));
  EXPECT_EQ(refusal_text(manager.check_query("")), "缺少API密钥参数");
  EXPECT_EQ(refusal_text(manager.check_bearer("Bearer ")), "缺少认证信息");
  EXPECT_TRUE(manager.validate_api_key(kAdminKey));
  EXPECT_EQ(manager.get_api_key_name(kAdminKey), "admin");
  EXPECT_EQ(manager.get_api_key_name("nope"), std::nullopt);

  auto empty = make_manager({});
  EXPECT_EQ(empty.key_count(), 0u);
  EXPECT_EQ(refusal_text(empty.check_bearer("Bearer " + kAdminKey)), "无效的API密钥");
  EXPECT_EQ(refusal_text(empty.check_bearer(std::nullopt)), "缺少认证信息");
}

TEST(AuthManager, ExampleKeyAdmitsOnlyWhenConfigured) {
  auto unconfigured = make_manager({{"admin", kAdminKey}});
  EXPECT_FALSE(unconfigured.validate_api_key(kExampleApiKey));
  auto configured = make_manager({{"demo", std::string(kExampleApiKey)}});
  EXPECT_TRUE(configured.validate_api_key(kExampleApiKey));
}

TEST(AuthManager, LoadsFromConfigurationInOrder) {
  Config config;
  config.auth.api_keys = {{"zeta", kOpsKey}, {"alpha", kOpsKey}, {"mid", kAdminKey}};
  test::LogCapture log;
  AuthManager manager(config);
  EXPECT_EQ(manager.key_names(), (std::vector<std::string>{"zeta", "alpha", "mid"}));
  EXPECT_EQ(manager.get_api_key_name(kOpsKey), "zeta");
  EXPECT_TRUE(log.contains("security info 已加载 3 个API密钥"));
}

TEST(AuthManager, ReloadReplacesTheTableAndAFailedReloadKeepsIt) {
  KeyEntries current = {{"admin", kAdminKey}};
  bool broken = false;
  test::LogCapture log;
  AuthManager manager(AuthManager::KeySource([&] {
    if (broken) throw std::runtime_error("config.json: auth.api_keys is not an object");
    return current;
  }));
  EXPECT_TRUE(manager.validate_api_key(kAdminKey));

  // A change of the source is not seen until the reload.
  current = {{"ops", kOpsKey}};
  EXPECT_TRUE(manager.validate_api_key(kAdminKey));
  EXPECT_TRUE(manager.reload_api_keys());
  EXPECT_FALSE(manager.validate_api_key(kAdminKey));
  EXPECT_TRUE(manager.validate_api_key(kOpsKey));

  broken = true;
  EXPECT_FALSE(manager.reload_api_keys());
  EXPECT_EQ(manager.key_names(), (std::vector<std::string>{"ops"}));
  EXPECT_TRUE(std::holds_alternative<AuthenticatedUser>(manager.check_bearer("Bearer " + kOpsKey)));
  EXPECT_TRUE(
      log.contains("security error 加载API密钥失败: config.json: auth.api_keys is not an "
                   "object; the 1 key(s) loaded before stay in force"));

  // A reload to an empty table is a table like any other.
  broken = false;
  current = {};
  EXPECT_TRUE(manager.reload_api_keys());
  EXPECT_EQ(manager.key_count(), 0u);
}

TEST(AuthManager, AFailedLoadAtStartLeavesTheEmptyTable) {
  test::LogCapture log;
  AuthManager manager(AuthManager::KeySource([]() -> KeyEntries {
    throw std::runtime_error("config.json: auth.api_keys is not an object");
  }));
  EXPECT_EQ(manager.key_count(), 0u);
  EXPECT_EQ(refusal_text(manager.check_bearer("Bearer " + kOpsKey)), "无效的API密钥");
  EXPECT_TRUE(log.contains(
      "security error 加载API密钥失败: config.json: auth.api_keys is not an object\n"));
}

// The file source of a reload: what a reload finds in the file, read in full each time; a
// file that is missing or broken fails the reload instead of emptying the table.
TEST(AuthManager, FileSourceReloadsAndNamesTheFileOfAFailure) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("corvid-security-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto file = dir / "config.json";
  auto write = [&](const std::string& text) { std::ofstream(file, std::ios::trunc) << text; };
  write(R"({"auth": {"api_keys": {"admin": ")" + kAdminKey + R"("}}})");
  Config config;
  config.auth.api_keys = {{"admin", kAdminKey}};
  test::LogCapture log;
  AuthManager manager(config, keys_from_file(file.string()));

  write(R"({"auth": {"api_keys": {"ops": ")" + kOpsKey + R"("}}})");
  ASSERT_TRUE(manager.reload_api_keys());
  EXPECT_EQ(manager.key_names(), (std::vector<std::string>{"ops"}));

  struct Case {
    const char* name;
    std::function<void()> damage;
    std::string problem;
  };
  const Case cases[] = {
      {"broken JSON", [&] { write(R"({"auth": )"); }, ": invalid JSON: "},
      {"missing file", [&] { std::filesystem::remove(file); }, ": not found"},
      {"a folder in its place",
       [&] {
         std::filesystem::remove(file);
         std::filesystem::create_directory(file);
       },
       ": cannot read: it is a folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(file);
    write("{}");
    c.damage();
    EXPECT_FALSE(manager.reload_api_keys());
    EXPECT_EQ(manager.key_names(), (std::vector<std::string>{"ops"}));
    EXPECT_TRUE(log.contains("security error 加载API密钥失败: " + file.string() + c.problem))
        << log.text();
  }
  std::filesystem::remove_all(dir);
}

TEST(AuthManager, KeysNeverReachTheLog) {
  test::LogCapture log;
  const std::string short_key = "short-secret";
  auto manager = make_manager({{"admin", kAdminKey},
                               {"weak", short_key},
                               {"demo", std::string(kExampleApiKey)},
                               {"blank", ""}});
  manager.check_bearer("Bearer " + kAdminKey);
  manager.check_bearer("Bearer wrong-secret-value");
  manager.check_websocket(kAdminKey);
  manager.reload_api_keys();
  const std::string text = log.text();
  EXPECT_EQ(text.find(kAdminKey), std::string::npos);
  EXPECT_EQ(text.find(short_key), std::string::npos);
  EXPECT_EQ(text.find("wrong-secret-value"), std::string::npos);
  // The weak entries are pointed out by name.
  EXPECT_NE(text.find("\"weak\""), std::string::npos);
  EXPECT_NE(text.find("\"demo\""), std::string::npos);
  EXPECT_NE(text.find("\"blank\""), std::string::npos);
}

TEST(AuthManager, ReloadWhileCheckingSeesWholeTables) {
  // Readers racing a reload see the old or the new table, never a mix: the key admitted is
  // always reported under the name it has in that same table.
  KeyEntries a = {{"first", kAdminKey}};
  KeyEntries b = {{"second", kAdminKey}};
  std::atomic<int> flips{0};
  AuthManager manager(AuthManager::KeySource([&] { return (flips++ % 2 == 0) ? a : b; }));
  std::atomic<bool> stop{false};
  corvid::log::set_level(spdlog::level::off);  // thousands of load lines
  std::thread reloader([&] {
    while (!stop) manager.reload_api_keys();
  });
  for (int i = 0; i < 2000; ++i) {
    const auto result = manager.check_bearer("Bearer " + kAdminKey);
    const auto* user = std::get_if<AuthenticatedUser>(&result);
    ASSERT_NE(user, nullptr);
    ASSERT_TRUE(user->key_name == "first" || user->key_name == "second");
  }
  stop = true;
  reloader.join();
  corvid::log::set_level(spdlog::level::info);
}

}  // namespace
}  // namespace corvid::app
