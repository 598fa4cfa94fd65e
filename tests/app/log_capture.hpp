#pragma once
// Captures what one log channel writes while the object lives (the formatted message texts,
// in order). Thread-safe: lines may come from any thread.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "corvid/utils/log.hpp"

namespace corvid::testing {

class LogCapture {
 public:
  explicit LogCapture(std::string channel) : sink_(std::make_shared<Sink>(std::move(channel))) {
    corvid::log::add_sink(sink_);
  }
  ~LogCapture() { corvid::log::remove_sink(sink_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const { return sink_->lines(); }

 private:
  class Sink : public spdlog::sinks::base_sink<std::mutex> {
   public:
    explicit Sink(std::string channel) : channel_(std::move(channel)) {}
    std::vector<std::string> lines() {
      std::lock_guard lock(mutex_);
      return lines_;
    }

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
      if (std::string(msg.logger_name.data(), msg.logger_name.size()) != channel_) return;
      lines_.emplace_back(msg.payload.data(), msg.payload.size());
    }
    void flush_() override {}

   private:
    std::string channel_;
    std::vector<std::string> lines_;  // guarded by the base sink's mutex_
  };

  std::shared_ptr<Sink> sink_;
};

}  // namespace corvid::testing
