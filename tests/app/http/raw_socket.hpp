#pragma once
// A plain blocking loopback socket for tests of callers that misbehave: sends with a short
// timeout (a peer that takes nothing does not block the test), reads with a long one, and can
// read at a given pace through a small receive window, so the server's writes wait for it.
// Owner: one test thread.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace corvid::test {

class RawSocket {
 public:
  // `window`: the receive buffer to ask for before connecting (0: the system's).
  explicit RawSocket(std::uint16_t port, int window = 0) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (window > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    timeval tv{0, 200 * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    timeval rtv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &rtv, sizeof rtv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawSocket() { ::close(fd_); }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  bool connected() const { return connected_; }
  // For an answer the server takes long to start (a large one built under a loaded machine).
  void set_read_timeout(std::chrono::seconds timeout) {
    timeval tv{static_cast<time_t>(timeout.count()), 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  // Sends as much of bytes as goes out before a send times out or fails.
  std::size_t send_some(std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const auto n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    return sent;
  }
  // Sends all of bytes, waiting up to 10 s for each piece to go out; false when it could not.
  bool send_whole(std::string_view bytes) {
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return send_some(bytes) == bytes.size();
  }
  // Reads until the peer closes (or a read fails or times out), at most `rate` bytes a second
  // when given; gives the bytes read.
  std::size_t read_all(std::size_t rate = 0) {
    std::size_t total = 0;
    std::vector<char> chunk(16 * 1024);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      const auto n = ::recv(fd_, chunk.data(), chunk.size(), 0);
      if (n <= 0) return total;
      if (head_.size() < kHeadBytes) {
        head_.append(chunk.data(),
                     std::min(static_cast<std::size_t>(n), kHeadBytes - head_.size()));
      }
      total += static_cast<std::size_t>(n);
      if (rate > 0) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(total * 1000000 / rate));
      }
    }
  }
  // The first bytes read_all() took, to show what came when it was not what a test expected.
  const std::string& head() const { return head_; }
  // The status of the first answer, 0 when none came.
  int status() {
    std::string got;
    char buffer[4096];
    while (got.find("\r\n") == std::string::npos) {
      const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return 0;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(got.substr(9, 3)) : 0;
  }

 private:
  static constexpr std::size_t kHeadBytes = 512;
  int fd_;
  bool connected_ = false;
  std::string head_;
};

}  // namespace corvid::test
