#include "corvid/utils/log.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/stdout_color_sinks.h>

namespace corvid::log {
namespace {

struct Registry {
  std::mutex mutex;  // guards everything below
  std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;
  std::vector<std::shared_ptr<spdlog::sinks::sink>> sinks;
  spdlog::level::level_enum level = spdlog::level::info;
};

// Never destroyed: probe threads may still log while the process exits.
Registry& registry() {
  static Registry* r = [] {
    auto* reg = new Registry;
    auto console = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    console->set_pattern("%Y-%m-%d %H:%M:%S.%e | %^%-7l%$ | %n | %v");
    reg->sinks.push_back(console);
    return reg;
  }();
  return *r;
}

}  // namespace

std::shared_ptr<spdlog::logger> get(std::string_view channel) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  if (auto it = r.loggers.find(channel); it != r.loggers.end()) return it->second;
  auto logger =
      std::make_shared<spdlog::logger>(std::string(channel), r.sinks.begin(), r.sinks.end());
  logger->set_level(r.level);
  logger->flush_on(spdlog::level::warn);
  r.loggers.emplace(std::string(channel), logger);
  return logger;
}

void set_level(spdlog::level::level_enum level) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.level = level;
  for (auto& [name, logger] : r.loggers) logger->set_level(level);
}

void add_sink(std::shared_ptr<spdlog::sinks::sink> sink) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.sinks.push_back(sink);
  for (auto& [name, logger] : r.loggers) logger->sinks().push_back(sink);
}

void remove_sink(const std::shared_ptr<spdlog::sinks::sink>& sink) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  std::erase(r.sinks, sink);
  for (auto& [name, logger] : r.loggers) std::erase(logger->sinks(), sink);
}

}  // namespace corvid::log
