#pragma once
// The one log capture of the tests: a sink that keeps every record it is given (channel, level,
// text) and shows them in the forms the assertions use:
//   text()           "<channel> <level> <text>\n" per record, as one text
//   lines()          one entry per record: "<channel> | <text>", or the text alone when the
//                    capture is of one channel
//   texts()          the texts alone; texts(channel, level) those of one channel at one level
//   records()        the records themselves
//   contains(needle) the needle within one record, in the "<channel> <level> <text>\n" or the
//                    "<channel> | <text>" form
// LogCapture adds a sink for its own life (and may set the level); capture_logs() adds one for the
// rest of the process (client-side tests, whose probe threads may log at any time).
// Create a capture before the threads that log start: sinks are added to the channels without
// their lock. Every member may then be called from any thread.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <spdlog/common.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/base_sink.h>

#include "corvid/utils/log.hpp"

namespace corvid::test {

struct LogLine {
  std::string channel;
  spdlog::level::level_enum level = spdlog::level::info;
  std::string text;
};

class LogSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // channel: keep only the records of that channel (std::nullopt: every channel).
  explicit LogSink(std::optional<std::string> channel = std::nullopt)
      : channel_(std::move(channel)) {}

  std::vector<LogLine> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }

  std::string text() {
    std::string out;
    for (const auto& r : records()) out += leveled(r);
    return out;
  }
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    for (const auto& r : records()) out.push_back(channel_ ? r.text : barred(r));
    return out;
  }
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (auto& r : records()) out.push_back(std::move(r.text));
    return out;
  }
  std::vector<std::string> texts(std::string_view channel, spdlog::level::level_enum level) {
    std::vector<std::string> out;
    for (auto& r : records()) {
      if (r.channel == channel && r.level == level) out.push_back(std::move(r.text));
    }
    return out;
  }
  bool contains(std::string_view needle) {
    for (const auto& r : records()) {
      if (leveled(r).find(needle) != std::string::npos ||
          barred(r).find(needle) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string channel(msg.logger_name.data(), msg.logger_name.size());
    if (channel_ && channel != *channel_) return;
    records_.push_back(LogLine{std::move(channel), msg.level,
                               std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

 private:
  static std::string leveled(const LogLine& r) {
    const auto level = spdlog::level::to_string_view(r.level);
    return r.channel + ' ' + std::string(level.data(), level.size()) + ' ' + r.text + '\n';
  }
  static std::string barred(const LogLine& r) { return r.channel + " | " + r.text; }

  const std::optional<std::string> channel_;
  std::vector<LogLine> records_;  // guarded by the base sink's mutex_
};

// Captures while it lives. With a level, the level is set on construction and put back to
// info on destruction; a capture of one channel named without a level leaves the level alone.
class LogCapture {
 public:
  explicit LogCapture(spdlog::level::level_enum level = spdlog::level::trace)
      : LogCapture(std::nullopt, level) {}
  // Only the records of one channel.
  explicit LogCapture(std::string channel,
                      std::optional<spdlog::level::level_enum> level = std::nullopt)
      : LogCapture(std::optional<std::string>(std::move(channel)), level) {}
  ~LogCapture() {
    corvid::log::remove_sink(sink_);
    if (level_set_) corvid::log::set_level(spdlog::level::info);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  LogSink& operator*() { return *sink_; }
  LogSink* operator->() { return sink_.get(); }

  std::vector<LogLine> records() const { return sink_->records(); }
  void clear() { sink_->clear(); }
  std::string text() const { return sink_->text(); }
  std::vector<std::string> lines() const { return sink_->lines(); }
  std::vector<std::string> texts() const { return sink_->texts(); }
  std::vector<std::string> texts(std::string_view channel, spdlog::level::level_enum level) const {
    return sink_->texts(channel, level);
  }
  bool contains(std::string_view needle) const { return sink_->contains(needle); }

 private:
  LogCapture(std::optional<std::string> channel, std::optional<spdlog::level::level_enum> level)
      : sink_(std::make_shared<LogSink>(std::move(channel))), level_set_(level.has_value()) {
    if (level) corvid::log::set_level(*level);
    corvid::log::add_sink(sink_);
  }

  std::shared_ptr<LogSink> sink_;
  bool level_set_;
};

// The capture of the whole process, at debug level: added on the first call, never removed.
inline std::shared_ptr<LogSink> capture_logs() {
  static auto* sink = [] {
    auto* s = new std::shared_ptr<LogSink>(std::make_shared<LogSink>());
    corvid::log::add_sink(*s);
    corvid::log::set_level(spdlog::level::debug);
    return s;
  }();
  return *sink;
}

}  // namespace corvid::test
