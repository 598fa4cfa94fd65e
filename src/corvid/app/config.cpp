#include "corvid/app/config.hpp"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string_view>
#include <system_error>

#include "corvid/utils/log.hpp"

namespace corvid::app {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxPort = 65535;
constexpr std::size_t kMaxShownValue = 60;
// A budget must hold a large event or two; a stall timeout beyond an hour would keep a dead
// peer's backlog for that long.
constexpr std::uint64_t kMinWsBudget = std::uint64_t{1} << 20;
constexpr std::uint64_t kMaxWsBudget = std::uint64_t{1} << 40;
constexpr std::uint64_t kMaxWsStallSeconds = 3600;

// The sections and keys this server reads; anything else is kept but warned about.
const Json& defaults_document() {
  static const Json* doc = new Json{
      {"server",
       {{"host", "127.0.0.1"},
        {"port", 8002},
        {"debug", false},
        {"max_connections", 0},
        {"upload_min_rate", ServerConfig{}.upload_min_rate},
        {"ws_budget", nullptr},
        {"ws_stall_timeout", nullptr}}},
      {"parlo", {{"exe_path", ""}, {"version", ""}}},
      {"auth", {{"api_keys", Json::object()}}},
  };
  return *doc;
}

std::string shown(const Json& value) {
  std::string text = dump_compact(value);
  if (text.size() > kMaxShownValue) text = text.substr(0, kMaxShownValue) + "...";
  return text;
}

class Checker {
 public:
  explicit Checker(const std::string& source) : prefix_(source.empty() ? "" : source + ": ") {}

  [[noreturn]] void fail(const std::string& where, const std::string& what) const {
    throw ConfigError(prefix_ + where + ": " + what);
  }

  void warn(const std::string& where, const std::string& what) const {
    log::get("config")->warn("{}{}: {}", prefix_, where, what);
  }

  // The section as an object (empty when absent or null); anything else is an error.
  const Json& section(const Json& document, const char* name) const {
    static const Json* empty = new Json(Json::object());
    auto it = document.find(name);
    if (it == document.end() || it->is_null()) return *empty;
    if (!it->is_object()) fail(name, "expected an object, got " + shown(*it));
    return *it;
  }

  void warn_unknown(const Json& section, const Json& known, const std::string& name) const {
    for (const auto& [key, value] : section.items()) {
      if (!known.contains(key))
        warn(name.empty() ? key : name + "." + key, "unknown setting, ignored");
    }
  }

 private:
  std::string prefix_;
};

ServerConfig read_server(const Json& s, const Checker& check) {
  ServerConfig server;
  if (auto it = s.find("host"); it != s.end()) {
    if (!it->is_string() || it->get_ref<const std::string&>().empty()) {
      check.fail("server.host", "expected a non-empty text, got " + shown(*it));
    }
    server.host = it->get<std::string>();
  }
  if (auto it = s.find("port"); it != s.end()) {
    // Booleans and floating values are not ports, even where they would convert.
    bool ok = it->is_number_integer() && it->get<std::int64_t>() >= 0 &&
              (it->is_number_unsigned() ? it->get<std::uint64_t>() <= kMaxPort
                                        : it->get<std::int64_t>() <= kMaxPort);
    if (!ok) check.fail("server.port", "expected an integer 0..65535, got " + shown(*it));
    server.port = it->get<int>();
  }
  if (auto it = s.find("debug"); it != s.end()) {
    if (!it->is_boolean()) check.fail("server.debug", "expected true or false, got " + shown(*it));
    server.debug = it->get<bool>();
  }
  // Counts: non-negative integers, booleans and fractions refused as for the port.
  auto count = [&](const char* key, std::uint64_t& out) {
    auto it = s.find(key);
    if (it == s.end()) return;
    const bool ok =
        it->is_number_integer() && (it->is_number_unsigned() || it->get<std::int64_t>() >= 0);
    if (!ok)
      check.fail(std::string("server.") + key, "expected an integer >= 0, got " + shown(*it));
    out = it->get<std::uint64_t>();
  };
  count("max_connections", server.max_connections);
  count("upload_min_rate", server.upload_min_rate);
  // Bounded counts; absent (or null) leaves the WebSocket layer's default.
  auto bounded = [&](const char* key, std::uint64_t least, std::uint64_t most,
                     std::optional<std::uint64_t>& out) {
    auto it = s.find(key);
    if (it == s.end() || it->is_null()) return;
    const bool ok = it->is_number_integer() &&
                    (it->is_number_unsigned() || it->get<std::int64_t>() >= 0) &&
                    it->get<std::uint64_t>() >= least && it->get<std::uint64_t>() <= most;
    if (!ok) {
      check.fail(std::string("server.") + key, "expected an integer " + std::to_string(least) +
                                                   ".." + std::to_string(most) + ", got " +
                                                   shown(*it));
    }
    out = it->get<std::uint64_t>();
  };
  bounded("ws_budget", kMinWsBudget, kMaxWsBudget, server.ws_budget);
  bounded("ws_stall_timeout", 1, kMaxWsStallSeconds, server.ws_stall_timeout);
  return server;
}

std::optional<std::string> read_optional_text(const Json& s, const char* key,
                                              const Checker& check) {
  auto it = s.find(key);
  if (it == s.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) {
    check.fail(std::string("parlo.") + key, "expected a text, got " + shown(*it));
  }
  return it->get<std::string>();
}

// Entries that are not a non-empty text could never match a presented key: they are skipped.
AuthConfig read_auth(const Json& a, const Checker& check, Json& accepted) {
  AuthConfig auth;
  accepted = Json::object();
  auto it = a.find("api_keys");
  if (it == a.end() || it->is_null()) return auth;
  if (!it->is_object()) {
    check.fail("auth.api_keys", "expected an object of name -> key, got " + shown(*it));
  }
  for (const auto& [name, key] : it->items()) {
    if (!key.is_string()) {
      check.warn("auth.api_keys." + name, "skipped: the key is not a text");
      continue;
    }
    if (key.get_ref<const std::string&>().empty()) {
      check.warn("auth.api_keys." + name, "skipped: the key is empty");
      continue;
    }
    auth.api_keys.emplace_back(name, key.get<std::string>());
    accepted[name] = key;
  }
  return auth;
}

// The section of document to write an override into, created when absent.
Json& writable_section(Json& document, const char* name) {
  Json& s = document[name];
  if (s.is_null()) s = Json::object();
  if (!s.is_object()) {
    throw ConfigError(std::string(name) + ": expected an object, got " + shown(s));
  }
  return s;
}

std::optional<bool> parse_flag(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (text == "1" || text == "true" || text == "yes" || text == "on") return true;
  if (text == "0" || text == "false" || text == "no" || text == "off") return false;
  return std::nullopt;
}

}  // namespace

std::string resolve_config_path(const std::optional<std::string>& cli_path) {
  if (cli_path && !cli_path->empty()) return *cli_path;
  if (const char* env = std::getenv("CORVID_CONFIG"); env != nullptr && *env) return env;
  return "config.json";
}

void apply_env_overrides(Json& document) {
  auto env = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  if (auto host = env("CORVID_SERVER_HOST")) writable_section(document, "server")["host"] = *host;
  if (auto port = env("CORVID_SERVER_PORT")) {
    int value = -1;
    auto [end, ec] = std::from_chars(port->data(), port->data() + port->size(), value);
    if (ec != std::errc() || end != port->data() + port->size() || value < 0 || value > kMaxPort) {
      throw ConfigError("CORVID_SERVER_PORT: expected an integer 0..65535, got \"" + *port + "\"");
    }
    writable_section(document, "server")["port"] = value;
  }
  if (auto debug = env("CORVID_SERVER_DEBUG")) {
    auto flag = parse_flag(*debug);
    if (!flag) {
      throw ConfigError("CORVID_SERVER_DEBUG: expected true/false, 1/0, yes/no or on/off, got \"" +
                        *debug + "\"");
    }
    writable_section(document, "server")["debug"] = *flag;
  }
  if (auto exe = env("CORVID_PARLO_EXE_PATH"))
    writable_section(document, "parlo")["exe_path"] = *exe;
  if (auto version = env("CORVID_PARLO_VERSION")) {
    writable_section(document, "parlo")["version"] = *version;
  }
  if (auto keys = env("CORVID_AUTH_API_KEYS")) {
    Json table = Json::parse(*keys, nullptr, false);
    if (table.is_discarded() || !table.is_object()) {
      throw ConfigError("CORVID_AUTH_API_KEYS: expected a JSON object of name -> key");
    }
    writable_section(document, "auth")["api_keys"] = std::move(table);
  }
}

Config config_from_json(const Json& document, std::string source) {
  Checker check(source);
  if (!document.is_object()) {
    throw ConfigError((source.empty() ? "" : source + ": ") +
                      "expected a JSON object at the top level, got " + shown(document));
  }
  const Json& known = defaults_document();
  check.warn_unknown(document, known, "");

  Config config;
  const Json& server = check.section(document, "server");
  const Json& parlo = check.section(document, "parlo");
  const Json& auth = check.section(document, "auth");
  check.warn_unknown(server, known["server"], "server");
  check.warn_unknown(parlo, known["parlo"], "parlo");
  check.warn_unknown(auth, known["auth"], "auth");

  config.server = read_server(server, check);
  config.parlo.exe_path = read_optional_text(parlo, "exe_path", check);
  config.parlo.version = read_optional_text(parlo, "version", check);
  Json accepted_keys;
  config.auth = read_auth(auth, check, accepted_keys);

  // The effective document: the known sections with their values in force, then whatever
  // else the file holds, in the file's order.
  Json effective = Json::object();
  effective["server"] = {
      {"host", config.server.host}, {"port", config.server.port}, {"debug", config.server.debug}};
  // The connection, upload and WebSocket settings appear where the file sets them.
  for (const char* key : {"max_connections", "upload_min_rate"}) {
    if (server.contains(key)) {
      effective["server"][key] = key == std::string_view("max_connections")
                                     ? config.server.max_connections
                                     : config.server.upload_min_rate;
    }
  }
  if (config.server.ws_budget) effective["server"]["ws_budget"] = *config.server.ws_budget;
  if (config.server.ws_stall_timeout)
    effective["server"]["ws_stall_timeout"] = *config.server.ws_stall_timeout;
  effective["parlo"] = {
      {"exe_path", config.parlo.exe_path ? Json(*config.parlo.exe_path) : Json(nullptr)},
      {"version", config.parlo.version ? Json(*config.parlo.version) : Json(nullptr)}};
  effective["auth"] = {{"api_keys", accepted_keys}};
  for (const auto& [key, value] : document.items()) {
    if (!effective.contains(key)) effective[key] = value;
  }
  config.document = std::move(effective);
  config.source = std::move(source);
  return config;
}

Config load_config(const std::string& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    if (ec && ec != std::errc::no_such_file_or_directory) {
      throw ConfigError(path + ": cannot read: " + ec.message());
    }
    log::get("config")->warn("{} not found; using the defaults (no API keys)", path);
    Json document = Json::object();
    apply_env_overrides(document);
    return config_from_json(document);
  }
  if (fs::is_directory(path, ec)) throw ConfigError(path + ": cannot read: it is a folder");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError(path + ": cannot read the file");
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ConfigError(path + ": cannot read the file");

  Json document;
  try {
    document = Json::parse(text.str());
  } catch (const Json::parse_error& e) {
    // what() starts with the library's own tag ("[json.exception.parse_error.101] ").
    std::string_view detail = e.what();
    if (auto close = detail.find("] "); detail.starts_with("[json.") && close != detail.npos) {
      detail.remove_prefix(close + 2);
    }
    throw ConfigError(path + ": invalid JSON: " + std::string(detail));
  }
  apply_env_overrides(document);
  return config_from_json(document, path);
}

}  // namespace corvid::app
