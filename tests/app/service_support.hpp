#pragma once
// The service under test with its real neighbours: a loop run by two threads, a worker pool,
// the registry, and the simulated client's controls from the very library the server loads.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>

#include "app/websocket/hub_test_support.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/websocket/websocket_hub.hpp"
#include "corvid/utils/json.hpp"
#include "tapwire/tapwire.h"
#include "tapwire/tapwire_sim.h"

namespace corvid::test {

class SimControls {
 public:
  SimControls() {
    setenv("CORVID_TAPWIRE", CORVID_TAPWIRE_SIM_PATH, 1);
    handle_ = dlopen(CORVID_TAPWIRE_SIM_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) ADD_FAILURE() << "cannot load the simulated client: " << dlerror();
  }
  // Runs one control command; fails the test unless it answers ok.
  Json ok(const Json& cmd) {
    auto run =
        reinterpret_cast<decltype(&tapwire_sim_command)>(dlsym(handle_, "tapwire_sim_command"));
    if (run == nullptr) {
      ADD_FAILURE() << "missing tapwire_sim_command";
      return Json();
    }
    const std::string text = cmd.dump();
    std::string buf(1 << 16, '\0');
    std::size_t needed = 0;
    run(text.data(), text.size(), buf.data(), buf.size(), &needed);
    if (needed >= buf.size()) {
      buf.assign(needed + 1, '\0');
      run(text.data(), text.size(), buf.data(), buf.size(), &needed);
    }
    Json answer = Json::parse(buf.substr(0, needed), nullptr, false);
    EXPECT_EQ(answer.value("ok", false), true) << text << " -> " << answer.dump();
    return answer;
  }
  void stop() {
    if (auto f = reinterpret_cast<decltype(&tapwire_sim_stop)>(dlsym(handle_, "tapwire_sim_stop")))
      f();
  }

 private:
  void* handle_ = nullptr;
};

// Frames after the welcome, parsed.
inline std::vector<Json> events_of(const FakeConnection& conn) {
  std::vector<Json> out;
  auto frames = conn.frames();
  for (std::size_t i = 1; i < frames.size(); ++i) out.push_back(Json::parse(frames[i]));
  return out;
}

class ServiceFixture : public ::testing::Test {
 protected:
  explicit ServiceFixture(std::size_t workers = 4) : workers_(workers) {}

  void SetUp() override {
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { ioc_.run(); });
  }

  void build(app::ParloConfig config = {}) {
    service_ = std::make_unique<app::ParloService>(config, ioc_.get_executor(), workers_, hub_);
  }

  void TearDown() override {
    if (!scratch_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(scratch_, ignored);
    }
    sim_.stop();  // no callback runs after this
    if (service_) service_->stop_relaying();
    work_.reset();
    ioc_.stop();
    for (auto& t : threads_) t.join();
    workers_.join();
  }

  template <class T>
  T run(boost::asio::awaitable<T> op) {
    return boost::asio::co_spawn(ioc_, std::move(op), boost::asio::use_future).get();
  }

  // Opens the client and waits for its automatic login as uid_standin, and for the login event
  // to have been relayed: the relay runs after the account is set, so a connection opened
  // right after the login could otherwise still receive it.
  void open_and_login() {
    auto sentinel = watch("uid_standin");
    ASSERT_TRUE(run(service_->open_parlo()));
    ASSERT_TRUE(run(service_->wait_login(10)));
    ASSERT_TRUE(wait_until([&] { return service_->current_login_uid() == "uid_standin"; }));
    ASSERT_TRUE(wait_until([&] {
      for (const auto& event : events_of(*sentinel))
        if (event.value("type", Json()) == MT_USER_LOGIN_MSG) return true;
      return false;
    }));
    hub_.disconnect(sentinel, "uid_standin");
  }

  std::shared_ptr<FakeConnection> watch(const std::string& uid) {
    auto conn = std::make_shared<FakeConnection>();
    boost::asio::co_spawn(ioc_, hub_.connect(conn, uid), boost::asio::use_future).get();
    return conn;
  }

  // A small image in a folder of this test's own (scratch_), removed at TearDown.
  std::string staged_photo() {
    scratch_ =
        std::filesystem::temp_directory_path() / ("corvid-service-" + std::to_string(::getpid()));
    std::filesystem::create_directories(scratch_);
    const auto file = scratch_ / "photo.png";
    std::ofstream(file) << "png";
    return file.string();
  }

  // Lives until after TearDown: probe threads may log until the simulation stops.
  LogCapture& capture(spdlog::level::level_enum level = spdlog::level::debug) {
    logs_ = std::make_unique<LogCapture>(level);
    return *logs_;
  }

  std::unique_ptr<LogCapture> logs_;
  std::filesystem::path scratch_;
  SimControls sim_;
  boost::asio::io_context ioc_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_{
      ioc_.get_executor()};
  std::vector<std::thread> threads_;
  boost::asio::thread_pool workers_;
  app::ConnectionManager hub_;
  std::unique_ptr<app::ParloService> service_;
};

}  // namespace corvid::test
