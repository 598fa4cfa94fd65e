#pragma once
// The server's configuration: config.json parsed into ordered JSON, checked once at start-up
// and then read-only. Location: --config PATH, else env CORVID_CONFIG, else ./config.json.
// A missing file gives the defaults (with a warning); a broken file or a wrong type for a
// server setting is a ConfigError, which main turns into a clear message and a non-zero exit.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "corvid/utils/json.hpp"

namespace corvid::app {

using Json = corvid::Json;

struct ServerConfig {
  std::string host = "127.0.0.1";
  int port = 8002;
  bool debug = false;
  // Open HTTP connections beyond which a new one is answered 503; 0: derived from the
  // descriptor limit at start.
  std::uint64_t max_connections = 0;
  // The least average rate of an upload body, in bytes a second, once its grace period has
  // passed; 0: no rule.
  std::uint64_t upload_min_rate = 8 * 1024;
  // What one account's WebSocket connections may hold for delivery, in bytes, and the seconds a
  // WebSocket peer may take no byte while it has something to take. Absent: the WebSocket
  // layer's defaults (64 MiB, 30 s).
  std::optional<std::uint64_t> ws_budget;
  std::optional<std::uint64_t> ws_stall_timeout;
};

struct ParloConfig {
  // Absent when the file does not set them; an empty text counts as "not configured" too.
  std::optional<std::string> exe_path;
  std::optional<std::string> version;
};

struct AuthConfig {
  // name -> key, in the order of the file. Entries that are not text are skipped on load.
  std::vector<std::pair<std::string, std::string>> api_keys;
};

struct Config {
  ServerConfig server;
  ParloConfig parlo;
  AuthConfig auth;
  Json document = Json::object();  // the effective configuration, as loaded
  std::string source;              // the file it came from ("" = defaults only)
};

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file to read: cli_path when given, else $CORVID_CONFIG, else "config.json".
std::string resolve_config_path(const std::optional<std::string>& cli_path);

// Reads and checks the file at path (missing = defaults), with the environment's overrides
// applied over it. Throws ConfigError.
Config load_config(const std::string& path);

// Writes the environment's settings over document: CORVID_SERVER_HOST, CORVID_SERVER_PORT,
// CORVID_SERVER_DEBUG (true/false, 1/0, yes/no, on/off), CORVID_PARLO_EXE_PATH,
// CORVID_PARLO_VERSION and CORVID_AUTH_API_KEYS (a JSON object; replaces the whole table).
// A variable that is set counts, even when empty. Throws ConfigError for an unusable value.
void apply_env_overrides(Json& document);

// Checks an already parsed document (the file's content). Throws ConfigError.
Config config_from_json(const Json& document, std::string source = {});

}  // namespace corvid::app
