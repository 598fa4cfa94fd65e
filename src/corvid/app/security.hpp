#pragma once
// API keys: the key table (name -> key, in configured order) and the checks put in front of the
// keyed routes: the bearer header for HTTP, the "api_key" query parameter for WebSockets.
// Owner: the application builds one AuthManager before the routes and keeps it for the process.
// Threads: every member may be called from any thread; the table is an immutable snapshot that
// reload_api_keys replaces whole, so a check sees the old or the new table, never a mix.
// Keys are compared in constant time over the whole table and never written to a log.
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "corvid/utils/json.hpp"

namespace corvid::app {

struct Config;

inline constexpr std::string_view kMissingCredentials = "缺少认证信息";
inline constexpr std::string_view kInvalidApiKey = "无效的API密钥";
inline constexpr std::string_view kMissingQueryKey = "缺少API密钥参数";
inline constexpr std::string_view kMissingWebSocketKey = "缺少API密钥";
inline constexpr std::string_view kWebSocketAuthFailed = "认证失败";
// The example key shown on the home page and in the docs. Only displayed: it admits only when
// the configuration lists it like any other key (and a warning says so at load).
inline constexpr std::string_view kExampleApiKey = "hvtrno";

using KeyEntries = std::vector<std::pair<std::string, std::string>>;

// Who passed a key check. Holds the key itself: never log it.
struct AuthenticatedUser {
  std::string api_key;
  std::optional<std::string> key_name;  // first table entry with this key
  bool authenticated = true;

  Json to_json() const;  // {"api_key", "key_name", "authenticated"}
};

// A failed check: the HTTP status (401), the detail text, and whether the answer carries
// "WWW-Authenticate: Bearer" (bearer checks do, query checks do not).
struct AuthRefusal {
  int status = 401;
  std::string detail;
  bool www_authenticate = false;
};

using AuthResult = std::variant<AuthenticatedUser, AuthRefusal>;

class AuthManager {
 public:
  // Where the keys come from; it may throw (a broken or unreadable configuration), which
  // leaves an empty table and the log line "加载API密钥失败: {e}".
  using KeySource = std::function<KeyEntries()>;

  // Loads the table from source at once; a failure leaves the empty table.
  explicit AuthManager(KeySource source);
  // Keys taken from the configuration as loaded; a reload reads the same table again.
  explicit AuthManager(const Config& config);
  // Keys taken from the configuration as loaded; a reload reads reload_source.
  AuthManager(const Config& config, KeySource reload_source);

  // Loads the table again from the source (the application calls it on SIGHUP). True when the
  // new table is in force. A failed reload keeps the table in force (callers keep their keys
  // while the file is being mended) and logs an error with the source's text, which names the
  // file and the problem.
  bool reload_api_keys();

  // True when `key` is non-empty and equals at least one configured key (not a name).
  bool validate_api_key(std::string_view key) const;
  // The name of the first entry whose key equals `key`; nullopt when none does.
  std::optional<std::string> get_api_key_name(std::string_view key) const;

  // The "Authorization" header check: scheme "Bearer" (any letter case), one blank, the key.
  // nullopt = no such header.
  AuthResult check_bearer(std::optional<std::string_view> authorization) const;
  // The "api_key" query check for HTTP (no WWW-Authenticate on its refusals).
  AuthResult check_query(std::optional<std::string_view> api_key) const;
  // The WebSocket check before the handshake: only the "api_key" query value counts.
  AuthResult check_websocket(std::optional<std::string_view> api_key) const;

  std::size_t key_count() const;
  // The current names in order (for the masked configuration view).
  std::vector<std::string> key_names() const;

 private:
  struct Table;
  void load();
  // Reads the source and checks the entries; nullptr (and the error line) when it failed.
  std::shared_ptr<const Table> read(bool keeping);
  std::shared_ptr<const Table> snapshot() const;
  AuthResult check_key(const Table& table, std::string_view key, bool bearer) const;

  KeySource source_;
  mutable std::mutex mutex_;
  std::shared_ptr<const Table> table_;  // guarded by mutex_; replaced whole, never changed
};

// The key table of the configuration file at path, read again in full (environment overrides
// included). Unlike the start, where a missing file means the defaults, a file that is missing,
// unreadable or broken is an error here: a ConfigError whose text starts with the path.
AuthManager::KeySource keys_from_file(std::string path);

// Logs "WebSocket认证失败: {e}" on the "security" channel (a refusal could not be written).
void log_websocket_auth_error(std::string_view error);

}  // namespace corvid::app
