#pragma once
// WebSocketSocket: the TCP socket under a server WebSocket, written by two writers that never
// interleave: the websocket layer (its control frames: pongs, keep-alive pings, the close, and
// whatever a route writes through it) and the connection's gathered writes of whole frames that
// were encoded once for every reader (write_gathered()). It also counts what the peer has
// taken of either writer's writes (what went to the socket, less what the kernel still holds
// unacknowledged), and tells its owner when the closing handshake is over.
// Also: set_up_server_stream(), the settings of every server WebSocket, made before the
// handshake in one place.
// Owner: the websocket stream it sits under. Threads: the stream's strand only, as every
// operation of the stream.
// Guarantees: each write of the websocket layer goes out whole before another write starts (a
// partial write would let another frame's bytes in between); while a gathered write is under
// way the layer's write waits, and a gathered write starts only while the layer is not
// writing (layer_writing(), when_layer_idle()).
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <boost/beast/websocket/stream_base.hpp>
#include <boost/beast/websocket/teardown.hpp>

namespace corvid::app {

// What the socket tells its owner: a write of the websocket layer starts (every write is
// watched for stalls, the layer's own too), and the layer starts to tear TCP down (both close
// frames are through, whichever side closed first).
class SocketWatcher {
 public:
  virtual void layer_write_started() = 0;
  virtual void teardown_started() = 0;

 protected:
  ~SocketWatcher() = default;
};

class WebSocketSocket {
 public:
  using Socket = boost::asio::ip::tcp::socket;
  using executor_type = Socket::executor_type;
  using next_layer_type = Socket;

  explicit WebSocketSocket(Socket socket) : socket_(std::move(socket)) {}
  WebSocketSocket(WebSocketSocket&&) = default;  // only before any operation started
  WebSocketSocket& operator=(WebSocketSocket&&) = delete;

  executor_type get_executor() noexcept { return socket_.get_executor(); }
  Socket& next_layer() noexcept { return socket_; }
  const Socket& next_layer() const noexcept { return socket_; }

  template <class MutableBuffers, class Token>
  auto async_read_some(const MutableBuffers& buffers, Token&& token) {
    return socket_.async_read_some(buffers, std::forward<Token>(token));
  }

  // The websocket layer's writes: each completes only once all of its bytes are out.
  template <class ConstBuffers, class Token>
  auto async_write_some(const ConstBuffers& buffers, Token&& token) {
    return boost::asio::async_initiate<Token, void(boost::beast::error_code, std::size_t)>(
        [this](auto handler, const ConstBuffers& buffers) {
          std::vector<boost::asio::const_buffer> copy(boost::asio::buffer_sequence_begin(buffers),
                                                      boost::asio::buffer_sequence_end(buffers));
          if (gathered_) {
            deferred_.emplace(Deferred{std::move(copy), Handler(std::move(handler))});
            return;
          }
          start_layer_write(std::move(copy), Handler(std::move(handler)));
        },
        token, buffers);
  }

  // Whether a write of the websocket layer is under way (or waiting for a gathered one).
  bool layer_writing() const noexcept { return layer_writing_ || deferred_.has_value(); }
  // Runs once when the layer's write under way is out (only while layer_writing()).
  void when_layer_idle(std::function<void()> resume) { on_layer_idle_ = std::move(resume); }
  // Weak: the socket lives inside the stream's state, which the layer's pending operations
  // may keep beyond its owner.
  void watch(std::weak_ptr<SocketWatcher> watcher) { watcher_ = std::move(watcher); }

  // The websocket layer starts to tear TCP down.
  void tearing_down() {
    if (auto watcher = watcher_.lock()) watcher->teardown_started();
  }

  // Whether either writer has bytes that have not gone to the socket yet.
  bool write_pending() const noexcept { return gathered_ || layer_writing(); }
  // The bytes the peer has taken so far, of both writers' writes.
  std::uint64_t taken() const noexcept { return sent_ - unacknowledged(); }
  // The bytes the socket holds that the peer has not acknowledged.
  std::size_t unacknowledged() const noexcept {
    int bytes = 0;
    if (::ioctl(const_cast<Socket&>(socket_).native_handle(), SIOCOUTQ, &bytes) != 0 || bytes < 0)
      return 0;
    return static_cast<std::size_t>(bytes);
  }
  // The bytes of the writes under way or waiting that have not gone to the socket.
  std::size_t pending_bytes() const noexcept {
    std::size_t bytes = layer_left_;
    if (deferred_) bytes += buffer_bytes(deferred_->buffers);
    if (gathered_ && gathered_buffers_ != nullptr) bytes += buffer_bytes(*gathered_buffers_);
    return bytes;
  }

  // Writes what the socket takes now, without waiting, from the front of buffers, which loses
  // what was written (a frame cut in two keeps its tail). would_block when it takes nothing.
  // Only while neither writer is under way.
  std::size_t send_now(std::vector<boost::asio::const_buffer>& buffers,
                       boost::beast::error_code& ec) {
    ec = {};
    std::size_t total = 0;
    while (!buffers.empty()) {
      std::array<iovec, kMaxIov> iov;
      std::size_t count = 0;
      for (; count < buffers.size() && count < kMaxIov; ++count) {
        iov[count].iov_base = const_cast<void*>(buffers[count].data());
        iov[count].iov_len = buffers[count].size();
      }
      msghdr message{};
      message.msg_iov = iov.data();
      message.msg_iovlen = count;
      const ssize_t sent =
          ::sendmsg(socket_.native_handle(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if (total == 0)
          ec = boost::beast::error_code(errno, boost::asio::error::get_system_category());
        return total;
      }
      total += static_cast<std::size_t>(sent);
      sent_ += static_cast<std::uint64_t>(sent);
      consume(buffers, static_cast<std::size_t>(sent));
      if (static_cast<std::size_t>(sent) < message_bytes(iov, count)) return total;  // full
    }
    return total;
  }

  // Writes buffers whole once the socket has room, while the layer is not writing (the layer's
  // next write waits for it), then handler(ec). buffers must stay valid and untouched until then.
  template <class Handler>
  void write_gathered(std::vector<boost::asio::const_buffer>& buffers, Handler&& handler) {
    gathered_ = true;
    gathered_buffers_ = &buffers;
    // Called once the socket was full: wait for room first.
    socket_.async_wait(Socket::wait_write, GatheredWrite<std::decay_t<Handler>>{
                                               this, &buffers, std::forward<Handler>(handler)});
  }

 private:
  static constexpr std::size_t kMaxIov = 1024;

  static std::size_t buffer_bytes(const std::vector<boost::asio::const_buffer>& buffers) {
    std::size_t bytes = 0;
    for (const auto& b : buffers) bytes += b.size();
    return bytes;
  }

  static std::size_t message_bytes(const std::array<iovec, kMaxIov>& iov, std::size_t count) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < count; ++i) bytes += iov[i].iov_len;
    return bytes;
  }

  static void consume(std::vector<boost::asio::const_buffer>& buffers, std::size_t bytes) {
    auto first = buffers.begin();
    while (bytes > 0 && first != buffers.end()) {
      if (bytes >= first->size()) {
        bytes -= first->size();
        ++first;
      } else {
        *first += bytes;
        bytes = 0;
      }
    }
    buffers.erase(buffers.begin(), first);
  }

  // Sends, and waits for room whenever the socket is full, until buffers are out.
  template <class Handler>
  struct GatheredWrite {
    WebSocketSocket* self;
    std::vector<boost::asio::const_buffer>* buffers;
    Handler handler;

    void operator()(boost::beast::error_code ec) {
      if (!ec) self->send_now(*buffers, ec);
      if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) ec = {};
      if (!ec && !buffers->empty()) {
        self->socket_.async_wait(Socket::wait_write, std::move(*this));
        return;
      }
      self->gathered_ = false;
      self->gathered_buffers_ = nullptr;
      if (self->deferred_) {
        Deferred next = std::move(*self->deferred_);
        self->deferred_.reset();
        self->start_layer_write(std::move(next.buffers), std::move(next.handler));
      }
      handler(ec);
    }
  };

  using Handler = boost::asio::any_completion_handler<void(boost::beast::error_code, std::size_t)>;
  struct Deferred {
    std::vector<boost::asio::const_buffer> buffers;
    Handler handler;
  };

  void start_layer_write(std::vector<boost::asio::const_buffer> buffers, Handler handler) {
    layer_writing_ = true;
    layer_buffers_ = std::move(buffers);
    layer_left_ = buffer_bytes(layer_buffers_);
    layer_written_ = 0;
    if (auto watcher = watcher_.lock()) watcher->layer_write_started();
    write_layer_rest(std::move(handler));
  }

  // One piece at a time rather than one composed write, so what has gone to the socket is
  // known while the rest still waits.
  void write_layer_rest(Handler handler) {
    socket_.async_write_some(
        layer_buffers_, [this, handler = std::move(handler)](const boost::beast::error_code& ec,
                                                             std::size_t n) mutable {
          layer_written_ += n;
          layer_left_ -= std::min(layer_left_, n);
          sent_ += n;
          consume(layer_buffers_, n);
          if (!ec && !layer_buffers_.empty()) {
            write_layer_rest(std::move(handler));
            return;
          }
          layer_writing_ = false;
          layer_buffers_.clear();
          layer_left_ = 0;
          auto resume = std::exchange(on_layer_idle_, {});
          std::move(handler)(ec, layer_written_);
          if (resume) resume();
        });
  }

  Socket socket_;
  bool gathered_ = false;       // a gathered write is under way
  bool layer_writing_ = false;  // a write of the websocket layer is under way
  std::vector<boost::asio::const_buffer> layer_buffers_;  // that write's buffers not yet out
  std::size_t layer_left_ = 0;                            // their bytes
  std::size_t layer_written_ = 0;                         // the bytes of that write already out
  std::optional<Deferred> deferred_;  // the layer's write waiting for a gathered one
  std::function<void()> on_layer_idle_;
  std::weak_ptr<SocketWatcher> watcher_;
  // The gathered write's buffers still to go (the caller's vector, while gathered_).
  const std::vector<boost::asio::const_buffer>* gathered_buffers_ = nullptr;
  std::uint64_t sent_ = 0;  // bytes of both writers that went to the socket
};

// The websocket layer closes its transport through these (found by argument lookup).
inline void teardown(boost::beast::role_type role, WebSocketSocket& socket,
                     boost::beast::error_code& ec) {
  socket.tearing_down();
  boost::beast::websocket::teardown(role, socket.next_layer(), ec);
}

template <class TeardownHandler>
void async_teardown(boost::beast::role_type role, WebSocketSocket& socket,
                    TeardownHandler&& handler) {
  socket.tearing_down();
  boost::beast::websocket::async_teardown(role, socket.next_layer(),
                                          std::forward<TeardownHandler>(handler));
}

// The settings of every server WebSocket, before its handshake. The websocket layer keeps its
// own timers: 30 s for the handshake and for the closing handshake, an idle connection pinged at
// half of kIdleTimeout and dropped when the peer answers nothing within it. Incoming messages
// are at most kMessageLimit; each outgoing message goes as one frame written straight from its
// text, so the layer's write buffer only serves fragmenting, and an idle connection would keep
// its 4 KiB for nothing.
inline constexpr std::size_t kMessageLimit = std::size_t{64} << 10;
inline constexpr std::chrono::seconds kIdleTimeout{40};
inline constexpr std::size_t kWriteBufferBytes = 64;  // the least the layer takes is 8

inline void set_up_server_stream(boost::beast::websocket::stream<WebSocketSocket, false>& ws,
                                 std::string server_name) {
  namespace websocket = boost::beast::websocket;
  auto timeouts = websocket::stream_base::timeout::suggested(boost::beast::role_type::server);
  timeouts.idle_timeout = kIdleTimeout;
  timeouts.keep_alive_pings = true;
  ws.set_option(timeouts);
  ws.read_message_max(kMessageLimit);
  ws.auto_fragment(false);
  ws.write_buffer_bytes(kWriteBufferBytes);
  ws.set_option(websocket::stream_base::decorator(
      [name = std::move(server_name)](websocket::response_type& res) {
        res.set(boost::beast::http::field::server, name);
      }));
}

}  // namespace corvid::app
