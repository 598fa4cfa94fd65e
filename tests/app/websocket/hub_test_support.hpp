#pragma once
// Test helpers for the registry and the service: a connection that records what it is sent
// and fails on demand, a sink that captures log lines, and a deadline poll.
#include <algorithm>
#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "corvid/app/websocket/websocket_connection.hpp"
#include "corvid/utils/log.hpp"
#include "support/log_capture.hpp"
#include "support/wait.hpp"

namespace corvid::test {

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
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      closed_ = true;
      close_code_ = code;
      close_reason_ = std::move(reason);
    }
    leave_log();  // closed at once: it takes nothing more
  }
  void close_ahead(std::uint16_t code, std::string reason) override {
    close(code, std::move(reason));
  }
  // No writer of its own: what the log appended is taken at once, through send(), unless the
  // peer holds (does not read).
  bool notify_grouped(std::vector<app::ConnectionPtr>&) override {
    std::lock_guard lock(deliver_mutex_);
    auto* at = place();
    if (at == nullptr || hold) return is_open();
    const std::uint64_t from = at->next();
    const std::uint64_t end = std::min(log()->head(), at->until());
    std::vector<app::Frame> frames;
    std::size_t bytes = 0;
    if (from >= end ||
        !log()->read(from, end - from, std::numeric_limits<std::size_t>::max(), frames, bytes))
      return true;
    bool taken = true;
    for (const auto& frame : frames)
      if (!send(frame)) {
        taken = false;
        break;
      }
    log()->advance(*at, from + frames.size());
    return taken;
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
  std::atomic<bool> hold{false};  // takes nothing from the log, as a peer that does not read

 private:
  std::mutex deliver_mutex_;  // one delivery at a time, so frames keep the log's order
  mutable std::mutex mutex_;
  std::vector<std::string> frames_;
  bool closed_ = false;
  std::uint16_t close_code_ = 0;
  std::string close_reason_;
  std::string error_;
};

}  // namespace corvid::test
