#pragma once
// RawPeer: a WebSocket of one account for the delivery tests, opened with a hand-written
// handshake and then read straight from the socket (the server's frames are unmasked: a header
// and the text), so the reader is the slow side only when it is paced. It checks that the
// welcome comes first and that the stamped events ("seq") come as one unbroken run, answers
// pings, answers the server's close (then waits for the server to end TCP, or holds it open),
// and can send a text, a binary message or a close of its own.
// Threads: start() reads on a thread of its own until the connection ends, enough events came
// or stop_reading(); every other member may be called from any thread.
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

namespace corvid::test {

class RawPeer {
 public:
  using Clock = std::chrono::steady_clock;

  struct Options {
    std::uint64_t pace = 0;  // bytes a second; 0 = as fast as it can
    std::int64_t want = 0;   // stop reading once this many events came (0: until the end)
    std::int64_t stop_after_bytes = -1;  // stop taking data after this many bytes (socket open)
    bool end_tcp_after_close = true;     // false: answer the server's close, then hold TCP open
  };
  struct Seen {
    bool welcome_first = false;
    bool first_frame = false;  // any frame came (the first one is the one welcome_first judges)
    std::int64_t events = 0;   // stamped events after the welcome
    std::int64_t first_seq = -1;
    std::int64_t last_seq = -1;
    bool unbroken = true;                     // each seq one past the one before it
    std::uint64_t bytes = 0;                  // taken from the socket
    std::optional<std::uint16_t> close_code;  // the server's close frame
    bool ended = false;  // the server ended the connection (its close, EOF or a reset)
    Clock::time_point first_event_at{};
    Clock::time_point last_event_at{};
    std::int64_t last_t_ns = 0;  // the last event's "t_ns"
  };

  RawPeer(std::uint16_t port, const std::string& key, const std::string& uid,
          int receive_buffer = 0)
      : socket_(io_) {
    socket_.open(boost::asio::ip::tcp::v4());
    if (receive_buffer > 0)
      socket_.set_option(boost::asio::socket_base::receive_buffer_size(receive_buffer));
    boost::system::error_code ec;
    socket_.connect({boost::asio::ip::make_address("127.0.0.1"), port}, ec);
    if (ec) return;
    set_receive_timeout(std::chrono::milliseconds(200));
    const std::string request = "GET /api/ws/connect/" + uid + "?api_key=" + key +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                                "Connection: Upgrade\r\nSec-WebSocket-Key: "
                                "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    boost::asio::write(socket_, boost::asio::buffer(request), ec);
    if (ec) return;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::size_t end = std::string::npos;
    while (end == std::string::npos && Clock::now() < deadline) {
      char chunk[4096];
      const long n = receive(chunk, sizeof chunk);
      if (n == 0) continue;
      if (n < 0) return;
      buffer_.append(chunk, static_cast<std::size_t>(n));
      end = buffer_.find("\r\n\r\n");
    }
    if (end == std::string::npos) return;
    accepted_ = buffer_.rfind("HTTP/1.1 101", 0) == 0;
    buffer_.erase(0, end + 4);  // what follows the answer is the first frames
  }

  ~RawPeer() {
    stop_reading();
    if (reader_.joinable()) reader_.join();
  }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  bool accepted() const { return accepted_; }

  void start(Options options) {
    options_ = options;
    reader_ = std::thread([this] { read_all(); });
  }
  // Until the reading ended (the connection ended, enough events came, or stop_reading()).
  bool wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return done_cv_.wait_for(lock, limit, [&] { return done_; });
  }
  // Stops taking data; the socket stays open until the peer is destroyed.
  void stop_reading() { stop_.store(true); }

  Seen seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }

  bool send_text(std::string_view text) { return send_frame(0x1, text); }
  bool send_binary(std::string_view bytes) { return send_frame(0x2, bytes); }
  bool send_close(std::uint16_t code) {
    const char payload[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    return send_frame(0x8, std::string_view(payload, 2));
  }

 private:
  // Bytes read; 0 when nothing came within the receive timeout; -1 once the connection ended.
  long receive(char* into, std::size_t size) {
    const ssize_t n = ::recv(socket_.native_handle(), into, size, 0);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return -1;
  }

  void set_receive_timeout(std::chrono::milliseconds limit) {
    timeval tv{static_cast<time_t>(limit.count() / 1000),
               static_cast<suseconds_t>((limit.count() % 1000) * 1000)};
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }

  // A client's frame: masked, whole and final.
  bool send_frame(unsigned char opcode, std::string_view payload) {
    std::string frame;
    frame.push_back(static_cast<char>(0x80 | opcode));
    const std::size_t n = payload.size();
    if (n < 126) {
      frame.push_back(static_cast<char>(0x80 | n));
    } else if (n <= 0xFFFF) {
      frame.push_back(static_cast<char>(0x80 | 126));
      frame.push_back(static_cast<char>(n >> 8));
      frame.push_back(static_cast<char>(n & 0xFF));
    } else {
      frame.push_back(static_cast<char>(0x80 | 127));
      for (int i = 7; i >= 0; --i) frame.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    }
    const unsigned char mask[4] = {0x12, 0x34, 0x56, 0x78};
    for (unsigned char m : mask) frame.push_back(static_cast<char>(m));
    for (std::size_t i = 0; i < n; ++i)
      frame.push_back(static_cast<char>(static_cast<unsigned char>(payload[i]) ^ mask[i % 4]));
    std::lock_guard lock(write_mutex_);
    boost::system::error_code ec;
    boost::asio::write(socket_, boost::asio::buffer(frame), ec);
    return !ec;
  }

  static bool find_int(std::string_view text, std::string_view key, std::int64_t& out) {
    auto at = text.find(key);
    if (at == std::string_view::npos) return false;
    at += key.size();
    while (at < text.size() && (text[at] == ' ' || text[at] == ':')) ++at;
    return std::from_chars(text.data() + at, text.data() + text.size(), out).ec == std::errc();
  }

  void take_text(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (!saw_first_) {
      saw_first_ = true;
      seen_.first_frame = true;
      seen_.welcome_first = text.find("\"connection_established\"") != std::string_view::npos;
      return;
    }
    std::int64_t seq = 0;
    if (!find_int(text, "\"seq\"", seq)) return;
    const auto now = Clock::now();
    if (seen_.events == 0) {
      seen_.first_seq = seq;
      seen_.first_event_at = now;
    } else if (seq != seen_.last_seq + 1) {
      seen_.unbroken = false;
    }
    seen_.last_seq = seq;
    seen_.last_event_at = now;
    find_int(text, "\"t_ns\"", seen_.last_t_ns);
    ++seen_.events;
  }

  // Takes the whole frames at the front of buffer_; false once the reading is over.
  bool take_frames() {
    std::size_t at = 0;
    bool more = true;
    while (more && buffer_.size() - at >= 2) {
      const auto* p = reinterpret_cast<const unsigned char*>(buffer_.data() + at);
      const unsigned char opcode = p[0] & 0x0F;
      std::size_t header = 2;
      std::uint64_t length = p[1] & 0x7F;
      if (length == 126) {
        header = 4;
        if (buffer_.size() - at < header) break;
        length = (std::uint64_t{p[2]} << 8) | p[3];
      } else if (length == 127) {
        header = 10;
        if (buffer_.size() - at < header) break;
        length = 0;
        for (int i = 0; i < 8; ++i) length = (length << 8) | p[2 + i];
      }
      if (buffer_.size() - at < header + length) break;
      const std::string_view payload(buffer_.data() + at + header, length);
      at += header + length;
      if (opcode == 0x1) {
        take_text(payload);
      } else if (opcode == 0x9) {
        send_frame(0xA, payload);
      } else if (opcode == 0x8) {
        {
          std::lock_guard lock(mutex_);
          if (payload.size() >= 2)
            seen_.close_code =
                static_cast<std::uint16_t>((static_cast<unsigned char>(payload[0]) << 8) |
                                           static_cast<unsigned char>(payload[1]));
        }
        send_frame(0x8, payload.substr(0, 2));
        // Then the server ends TCP; a peer that holds it open reads no further.
        if (!options_.end_tcp_after_close) more = false;
      }
      if (options_.want > 0 && seen().events >= options_.want) more = false;
    }
    buffer_.erase(0, at);
    return more;
  }

  void read_all() {
    const auto started = Clock::now();
    const std::size_t chunk = options_.pace > 0
                                  ? std::clamp<std::size_t>(options_.pace / 100, 1024, 64 << 10)
                                  : 256 << 10;
    std::vector<char> data(chunk);
    bool reading = take_frames();
    bool ended = false;
    while (reading && !stop_.load()) {
      if (options_.stop_after_bytes >= 0 &&
          seen().bytes >= std::uint64_t(options_.stop_after_bytes))
        break;
      const long got = receive(data.data(), data.size());
      if (got == 0) continue;
      if (got < 0) {
        ended = true;
        break;
      }
      const auto n = static_cast<std::size_t>(got);
      {
        std::lock_guard lock(mutex_);
        seen_.bytes += n;
      }
      buffer_.append(data.data(), n);
      reading = take_frames();
      if (options_.pace > 0) {
        const auto due =
            started + std::chrono::microseconds(seen().bytes * 1'000'000 / options_.pace);
        std::this_thread::sleep_until(due);
      }
    }
    std::lock_guard lock(mutex_);
    seen_.ended = ended || seen_.close_code.has_value();
    done_ = true;
    done_cv_.notify_all();
  }

  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  bool accepted_ = false;
  std::string buffer_;  // the reading thread's (the constructor's before it)
  Options options_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::mutex write_mutex_;    // one frame onto the socket at a time
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable done_cv_;
  bool done_ = false;
  bool saw_first_ = false;
  Seen seen_;
};

}  // namespace corvid::test
