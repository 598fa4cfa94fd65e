#pragma once
// The configuration router: GET /api/config/ (key required) shows the effective configuration,
// the server and client sections as in force and the key table by name, every key value masked.
// Owner: the application registers it once; the Config and AuthManager outlive the router.
// Threads: the handler only reads immutable configuration and the key table's snapshot.
#include <string>
#include <string_view>
#include <vector>

#include "corvid/utils/json.hpp"

namespace corvid::app {
struct Config;
class AuthManager;
namespace http {
class Router;
}
}  // namespace corvid::app

namespace corvid::app::routers {

// What every key value is shown as: fixed, so not even a key's length leaks.
inline constexpr std::string_view kMaskedKey = "********";
inline constexpr std::string_view kConfigMessage = "获取配置成功";

// {"server": {...}, "parlo": {...}, "auth": {"api_keys": {name: "********", ...}}} with the keys
// in `key_names` order (the table currently in force, so a reload shows up here).
Json masked_config(const Config& config, const std::vector<std::string>& key_names);

// Adds GET /api/config/.
void add_config_routes(http::Router& router, const Config& config, const AuthManager& auth);

}  // namespace corvid::app::routers
