#include "corvid/app/security.hpp"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include "corvid/app/config.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::app {

namespace {

constexpr std::size_t kShortKeyLength = 16;
constexpr std::size_t kNoMatch = std::numeric_limits<std::size_t>::max();

std::shared_ptr<spdlog::logger> logger() { return corvid::log::get("security"); }

// Equality whose running time depends only on the two lengths, not on where they differ.
bool constant_time_equal(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() > b.size() ? a.size() : b.size();
  volatile std::uint8_t diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<std::uint8_t>(i < a.size() ? a[i] : 0);
    const auto y = static_cast<std::uint8_t>(i < b.size() ? b[i] : 0);
    diff = static_cast<std::uint8_t>(diff | (x ^ y));
  }
  return diff == 0;
}

bool iequals_ascii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

struct AuthManager::Table {
  KeyEntries entries;

  // Every entry is compared, so the time does not tell which entry (or whether an early one)
  // matched; the first match in table order gives the name.
  std::size_t find(std::string_view key) const {
    std::size_t first = kNoMatch;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const bool equal = constant_time_equal(entries[i].second, key);
      if (equal && first == kNoMatch) first = i;
    }
    return first;
  }
};

Json AuthenticatedUser::to_json() const {
  Json out = Json::object();
  out["api_key"] = api_key;
  out["key_name"] = key_name ? Json(*key_name) : Json(nullptr);
  out["authenticated"] = authenticated;
  return out;
}

AuthManager::AuthManager(KeySource source)
    : source_(std::move(source)), table_(std::make_shared<const Table>()) {
  load();
}

AuthManager::AuthManager(const Config& config)
    : AuthManager(KeySource([keys = config.auth.api_keys] { return keys; })) {}

AuthManager::AuthManager(const Config& config, KeySource reload_source)
    : AuthManager(KeySource([keys = config.auth.api_keys] { return keys; })) {
  source_ = std::move(reload_source);
}

bool AuthManager::reload_api_keys() {
  auto table = read(true);
  if (!table) return false;
  std::lock_guard lock(mutex_);
  table_ = std::move(table);
  return true;
}

void AuthManager::load() {
  auto table = read(false);
  std::lock_guard lock(mutex_);
  table_ = table ? std::move(table) : std::make_shared<const Table>();
}

std::shared_ptr<const AuthManager::Table> AuthManager::read(bool keeping) {
  auto table = std::make_shared<Table>();
  auto failed = [&](std::string_view error) {
    if (keeping) {
      logger()->error("加载API密钥失败: {}; the {} key(s) loaded before stay in force", error,
                      key_count());
    } else {
      logger()->error("加载API密钥失败: {}", error);
    }
    return nullptr;
  };
  try {
    if (!source_) throw std::runtime_error("no key source");
    table->entries = source_();
  } catch (const std::exception& e) {
    return failed(e.what());
  } catch (...) {
    return failed("unknown error");
  }
  const std::size_t count = table->entries.size();
  // Warnings name the entry, never the key itself.
  if (count == 0) logger()->warn("no API keys configured: every keyed route refuses");
  for (const auto& [name, key] : table->entries) {
    if (key.empty()) {
      logger()->warn("API key \"{}\" is empty and never admits", name);
    } else if (key == kExampleApiKey) {
      logger()->warn(
          "API key \"{}\" is the example key shown on the home page; anyone who can "
          "open that page can use it",
          name);
    } else if (key.size() < kShortKeyLength) {
      logger()->warn("API key \"{}\" is shorter than {} characters", name, kShortKeyLength);
    }
  }
  logger()->info("已加载 {} 个API密钥", count);
  return table;
}

std::shared_ptr<const AuthManager::Table> AuthManager::snapshot() const {
  std::lock_guard lock(mutex_);
  return table_;
}

bool AuthManager::validate_api_key(std::string_view key) const {
  if (key.empty()) return false;
  return snapshot()->find(key) != kNoMatch;
}

std::optional<std::string> AuthManager::get_api_key_name(std::string_view key) const {
  const auto table = snapshot();
  const std::size_t index = table->find(key);
  if (index == kNoMatch) return std::nullopt;
  return table->entries[index].first;
}

AuthResult AuthManager::check_key(const Table& table, std::string_view key, bool bearer) const {
  // One snapshot for the check and the name, so a reload in between cannot null the name.
  const std::size_t index = key.empty() ? kNoMatch : table.find(key);
  if (index == kNoMatch) return AuthRefusal{401, std::string(kInvalidApiKey), bearer};
  return AuthenticatedUser{std::string(key), table.entries[index].first, true};
}

AuthResult AuthManager::check_bearer(std::optional<std::string_view> authorization) const {
  if (!authorization) return AuthRefusal{401, std::string(kMissingCredentials), true};
  const std::string_view value = *authorization;
  const auto blank = value.find(' ');
  const std::string_view scheme = value.substr(0, blank);
  const std::string_view token =
      blank == std::string_view::npos ? std::string_view{} : value.substr(blank + 1);
  if (scheme.empty() || token.empty() || !iequals_ascii(scheme, "bearer")) {
    return AuthRefusal{401, std::string(kMissingCredentials), true};
  }
  return check_key(*snapshot(), token, true);
}

AuthResult AuthManager::check_query(std::optional<std::string_view> api_key) const {
  if (!api_key || api_key->empty()) return AuthRefusal{401, std::string(kMissingQueryKey), false};
  return check_key(*snapshot(), *api_key, false);
}

AuthResult AuthManager::check_websocket(std::optional<std::string_view> api_key) const {
  if (!api_key || api_key->empty()) {
    return AuthRefusal{401, std::string(kMissingWebSocketKey), false};
  }
  return check_key(*snapshot(), *api_key, false);
}

std::size_t AuthManager::key_count() const { return snapshot()->entries.size(); }

std::vector<std::string> AuthManager::key_names() const {
  std::vector<std::string> names;
  for (const auto& entry : snapshot()->entries) names.push_back(entry.first);
  return names;
}

AuthManager::KeySource keys_from_file(std::string path) {
  return [path = std::move(path)] {
    std::error_code ec;
    const bool present = std::filesystem::exists(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) {
      throw ConfigError(path + ": cannot read: " + ec.message());
    }
    if (!present) throw ConfigError(path + ": not found");
    try {
      return load_config(path).auth.api_keys;
    } catch (const ConfigError& e) {
      // Errors of the environment's overrides do not start with the file's name.
      const std::string_view text = e.what();
      if (text.starts_with(path + ": ")) throw;
      throw ConfigError(path + ": " + std::string(text));
    }
  };
}

void log_websocket_auth_error(std::string_view error) {
  logger()->error("WebSocket认证失败: {}", error);
}

}  // namespace corvid::app
