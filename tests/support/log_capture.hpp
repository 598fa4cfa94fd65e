#pragma once
// Captures what every log channel writes while it lives ("<channel> <level> <text>" lines), so
// a test can check a fixed log text or that a secret never reached a log. Create it before the
// threads that log start (sinks are added to the channels without their lock).
#include <memory>
#include <mutex>
#include <string>

#include <spdlog/sinks/base_sink.h>

#include "corvid/utils/log.hpp"

namespace corvid::test {

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::string text() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines_.append(msg.logger_name.data(), msg.logger_name.size());
    lines_ += ' ';
    const auto level = spdlog::level::to_string_view(msg.level);
    lines_.append(level.data(), level.size());
    lines_ += ' ';
    lines_.append(msg.payload.data(), msg.payload.size());
    lines_ += '\n';
  }
  void flush_() override {}

 private:
  std::string lines_;  // guarded by the base sink's mutex_
};

class LogCapture {
 public:
  explicit LogCapture(spdlog::level::level_enum level = spdlog::level::trace)
      : sink_(std::make_shared<CaptureSink>()) {
    corvid::log::set_level(level);
    corvid::log::add_sink(sink_);
  }
  ~LogCapture() {
    corvid::log::remove_sink(sink_);
    corvid::log::set_level(spdlog::level::info);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const { return sink_->text(); }
  bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

 private:
  std::shared_ptr<CaptureSink> sink_;
};

}  // namespace corvid::test
