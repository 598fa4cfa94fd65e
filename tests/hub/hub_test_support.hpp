#pragma once
// Test helpers for the registry and the service: a connection that records what it is sent
// and fails on demand, a sink that captures log lines, and a deadline poll.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/base_sink.h>

#include "corvid/app/websocket_connection.hpp"
#include "corvid/utils/log.hpp"

namespace corvid::testing {

class FakeConnection final : public app::Connection {
 public:
  boost::asio::awaitable<void> accept() override {
    if (fail_accept) throw std::runtime_error("handshake refused");
    co_return;
  }
  bool send(app::Frame frame) override {
    std::lock_guard lock(mutex_);
    if (refuse_sends || closed_) {
      error_ = refuse_sends ? "peer gone" : "connection is closed";
      return false;
    }
    frames_.push_back(*frame);
    return true;
  }
  void close(std::uint16_t code, std::string reason) override {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    close_code_ = code;
    close_reason_ = std::move(reason);
  }
  bool is_open() const override {
    std::lock_guard lock(mutex_);
    return !closed_;
  }
  std::string error_text() const override {
    std::lock_guard lock(mutex_);
    return error_;
  }
  // What a real connection does when a queued write fails later.
  void fail_later(const std::string& error) {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      error_ = error;
    }
    report_failure(error);
  }
  std::vector<std::string> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::uint16_t close_code() const {
    std::lock_guard lock(mutex_);
    return close_code_;
  }

  bool fail_accept = false;
  std::atomic<bool> refuse_sends{false};

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> frames_;
  bool closed_ = false;
  std::uint16_t close_code_ = 0;
  std::string close_reason_;
  std::string error_;
};

struct LogLine {
  std::string channel;
  spdlog::level::level_enum level;
  std::string text;
};

class CaptureSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<LogLine> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Texts of one channel at one level, in order.
  std::vector<std::string> texts(const std::string& channel, spdlog::level::level_enum level) {
    std::vector<std::string> out;
    for (auto& line : lines())
      if (line.channel == channel && line.level == level) out.push_back(line.text);
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines_.push_back({std::string(msg.logger_name.data(), msg.logger_name.size()), msg.level,
                      std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

 private:
  std::vector<LogLine> lines_;
};

// Adds a capturing sink for the life of the object, at the given level.
class LogCapture {
 public:
  explicit LogCapture(spdlog::level::level_enum level = spdlog::level::debug)
      : sink_(std::make_shared<CaptureSink>()) {
    log::set_level(level);
    log::add_sink(sink_);
  }
  ~LogCapture() { log::remove_sink(sink_); }
  CaptureSink& operator*() { return *sink_; }
  CaptureSink* operator->() { return sink_.get(); }

 private:
  std::shared_ptr<CaptureSink> sink_;
};

// Polls condition until it holds or the deadline passes; true when it held.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

}  // namespace corvid::testing
