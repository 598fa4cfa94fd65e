#pragma once
// The real corvid binary for black-box tests of what requests cost it: the shared fixture with
// one known key, optionally under a descriptor limit of its own, started by each test with the
// settings it needs. Owner: the test's main thread.
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <boost/beast/http/verb.hpp>

#include "app/http/raw_socket.hpp"
#include "corvid/utils/json.hpp"
#include "support/corvid_binary.hpp"
#include "support/http_client.hpp"

namespace corvid::test {

namespace bhttp = boost::beast::http;

constexpr const char* kKey = "front-door-test-key-0123456789";

class BinaryServer : public ::testing::Test {
 protected:
  // `descriptors`: the descriptor limit (soft and hard) the server runs under; 0 = this one's.
  void start(Json server = Json::object(), int descriptors = 0) {
    corvid_ = std::make_unique<CorvidBinary>(CorvidOptions{
        .api_keys = KeyList{{"main", kKey}}, .server = server, .descriptors = descriptors});
    ASSERT_TRUE(corvid_->start()) << "corvid did not answer /health: " << corvid_->output();
    port_ = corvid_->port();
    process_ = &corvid_->process();
  }
  HeaderList key() const { return corvid_->auth(); }
  // Opens the simulated client and waits for its login.
  void log_in() {
    ASSERT_TRUE(corvid_->open_and_log_in(std::chrono::seconds(10))) << corvid_->output();
  }
  void TearDown() override { corvid_.reset(); }

  std::unique_ptr<CorvidBinary> corvid_;
  std::uint16_t port_ = 0;
  ChildProcess* process_ = nullptr;  // corvid_'s
};

}  // namespace corvid::test
