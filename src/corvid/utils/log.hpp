#pragma once
// Named loggers, one channel per module ("ParloManager", "ParloInstance", "websocket_hub",
// "parlo_service", ...). Every logger is created here, shares one sink and one level, and may
// be used from any thread. Tests can add a capturing sink to read what a module logged.
#include <memory>
#include <string_view>

#include <spdlog/logger.h>
#include <spdlog/sinks/sink.h>

namespace corvid::log {

// The logger of one channel, created on first use and kept for the life of the process.
std::shared_ptr<spdlog::logger> get(std::string_view channel);

// Applies to every channel, present and future.
void set_level(spdlog::level::level_enum level);

// Adds a sink to every channel, present and future (tests capture lines with it).
void add_sink(std::shared_ptr<spdlog::sinks::sink> sink);
void remove_sink(const std::shared_ptr<spdlog::sinks::sink>& sink);

}  // namespace corvid::log
