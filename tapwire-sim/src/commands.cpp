// The JSON form of the controls, shared by tapwire_sim_command and the control socket.
#include "simulation.hpp"

namespace corvid::sim {
namespace {

const Json* find(const Json& cmd, const char* key) {
  auto it = cmd.find(key);
  return it == cmd.end() || it->is_null() ? nullptr : &*it;
}

std::int64_t int_arg(const Json& cmd, const char* key, std::int64_t fallback) {
  const Json* v = find(cmd, key);
  if (!v) return fallback;
  if (!v->is_number_integer()) throw SimError(std::string("\"") + key + "\" must be an integer");
  return v->get<std::int64_t>();
}

bool bool_arg(const Json& cmd, const char* key, bool fallback) {
  const Json* v = find(cmd, key);
  if (!v) return fallback;
  if (!v->is_boolean()) throw SimError(std::string("\"") + key + "\" must be true or false");
  return v->get<bool>();
}

std::string text_arg(const Json& cmd, const char* key) {
  const Json* v = find(cmd, key);
  if (!v || !v->is_string()) throw SimError(std::string("\"") + key + "\" must be text");
  return v->get<std::string>();
}

std::optional<std::string> optional_text_arg(const Json& cmd, const char* key) {
  const Json* v = find(cmd, key);
  if (!v) return std::nullopt;
  if (!v->is_string()) throw SimError(std::string("\"") + key + "\" must be text or null");
  return v->get<std::string>();
}

std::int32_t reply_mode(std::string_view name) {
  static constexpr std::pair<std::string_view, std::int32_t> kModes[] = {
      {"normal", TAPWIRE_SIM_REPLY_NORMAL},   {"drop", TAPWIRE_SIM_REPLY_DROP},
      {"delay", TAPWIRE_SIM_REPLY_DELAY},     {"duplicate", TAPWIRE_SIM_REPLY_DUPLICATE},
      {"no_data", TAPWIRE_SIM_REPLY_NO_DATA}, {"malformed", TAPWIRE_SIM_REPLY_MALFORMED}};
  for (const auto& [mode_name, mode] : kModes) {
    if (mode_name == name) return mode;
  }
  throw SimError("unknown reply mode \"" + std::string(name) + "\"");
}

}  // namespace

Json Simulation::command(std::string_view text) {
  try {
    Json cmd = Json::parse(text, nullptr, false);
    if (cmd.is_discarded() || !cmd.is_object()) throw SimError("a command must be a JSON object");
    std::string name = text_arg(cmd, "cmd");
    Json answer{{"ok", true}};
    if (name == "inject") {
      const Json* message = find(cmd, "message");
      if (!message) throw SimError("\"message\" is missing");
      InjectOptions options;
      options.count = int_arg(cmd, "count", 1);
      options.interval_ms = int_arg(cmd, "interval_ms", 0);
      options.stamp = bool_arg(cmd, "stamp", false);
      options.size = int_arg(cmd, "size", 0);
      options.client_id = int_arg(cmd, "client_id", 0);
      inject(*message, options);
    } else if (name == "login") {
      login(text_arg(cmd, "uid"), optional_text_arg(cmd, "nickname"));
    } else if (name == "logout") {
      logout();
    } else if (name == "quit") {
      quit();
    } else if (name == "fail") {
      fail(text_arg(cmd, "op"), optional_text_arg(cmd, "text"));
    } else if (name == "answer") {
      const Json* result = find(cmd, "result");
      if (result && !result->is_number_integer()) {
        throw SimError("\"result\" must be an integer or null");
      }
      this->answer(
          text_arg(cmd, "op"),
          result ? std::optional<std::int64_t>(result->get<std::int64_t>()) : std::nullopt);
    } else if (name == "reply") {
      std::int64_t code = int_arg(cmd, "code", 0);
      if (code < INT32_MIN || code > INT32_MAX) throw SimError("unknown request code");
      reply(static_cast<std::int32_t>(code), reply_mode(text_arg(cmd, "mode")),
            int_arg(cmd, "delay_ms", 0));
    } else if (name == "ready") {
      const bool before = bool_arg(cmd, "before_open_returns", false);
      ready_delay(std::chrono::milliseconds(
          int_arg(cmd, "delay_ms", Simulation::kReadyAfterReturn.count())));
      ready_before_open(before);
    } else if (name == "auto_login") {
      auto_login(bool_arg(cmd, "enabled", true));
    } else if (name == "install_version") {
      set_install_version(text_arg(cmd, "version"));
    } else if (name == "spawn") {
      answer["pid"] = spawn();
    } else if (name == "sent") {
      answer["sent"] = sent();
    } else if (name == "clear_sent") {
      clear_sent();
    } else if (name == "state") {
      Json now = state();
      for (auto& [key, value] : now.items()) answer[key] = value;
    } else if (name == "reset") {
      reset();
    } else if (name == "stop") {
      stop();
    } else {
      throw SimError("unknown command \"" + name + "\"");
    }
    return answer;
  } catch (const std::exception& e) {
    return Json{{"ok", false}, {"error", e.what()}};
  }
}

}  // namespace corvid::sim
