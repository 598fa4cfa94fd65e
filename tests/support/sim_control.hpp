#pragma once
// The simulated client's control socket, as black-box tests drive a running server: one
// connection, one JSON line per command, one answer line each. Shared by a test's threads, one
// command at a time.
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "corvid/utils/json.hpp"

namespace corvid::test {

class Control {
 public:
  explicit Control(const std::filesystem::path& path) : socket_(io_) {
    socket_.connect(boost::asio::local::stream_protocol::endpoint(path.string()));
  }

  Json command(const Json& cmd) {
    std::lock_guard lock(mutex_);
    const std::string line = cmd.dump() + "\n";
    boost::asio::write(socket_, boost::asio::buffer(line));
    const std::size_t n = boost::asio::read_until(socket_, buffer_, '\n');
    std::string answer(static_cast<const char*>(buffer_.data().data()), n);
    buffer_.consume(n);
    return Json::parse(answer);
  }

  // A command that must work.
  void must(const Json& cmd) {
    const Json answer = command(cmd);
    if (answer.value("ok", false) != true) {
      throw std::runtime_error("control " + cmd.dump() + " -> " + answer.dump());
    }
  }

 private:
  boost::asio::io_context io_;
  boost::asio::local::stream_protocol::socket socket_;
  boost::asio::streambuf buffer_;
  std::mutex mutex_;
};

}  // namespace corvid::test
