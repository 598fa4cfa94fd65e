#pragma once
// WebSocket connections as the registry holds them (Connection), and the connection over a
// Beast stream (WebSocketConnection).
// Owner: the WebSocket endpoint creates one per admitted socket; the registry keeps shared
// pointers while it is registered. Threads: send() and close() may be called from any thread and
// never block; every socket operation runs on the connection's own strand, one write at a time.
// Guarantees: frames leave in the order send() took them; the outbound queue is bounded in frames
// and bytes and each write has a deadline; overflow, timeout or a failed write closes the
// transport, and an asynchronous failure is reported once through the failure handler.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

namespace corvid::app {

// One text frame, shared by every connection it is sent to (serialised once).
using Frame = std::shared_ptr<const std::string>;

inline constexpr std::uint16_t kCloseNormal = 1000;
inline constexpr std::uint16_t kCloseUnsupportedData = 1003;
inline constexpr std::uint16_t kCloseInternalError = 1011;

class Connection {
 public:
  // Called at most once, on the connection's own executor, when a queued write fails or times
  // out after send() had accepted it. The text says why.
  using FailureHandler = std::function<void(const std::string& error)>;

  Connection();
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Identity number: unique in the process, stable for the object's life, never an address.
  std::uint64_t id() const noexcept { return id_; }

  // Completes the WebSocket handshake; throws when it fails.
  virtual boost::asio::awaitable<void> accept() = 0;

  // Queues one text frame. False when the connection is closed, closing or over its queue
  // bound (the connection then closes itself); error_text() says why.
  virtual bool send(Frame frame) = 0;

  // Queues frames in order as one step (one wake-up of the writer for all of them). False as
  // soon as one is refused; the connection is then closing, so what was queued of them no
  // longer matters.
  virtual bool send_all(std::span<const Frame> frames);

  // Queues a close frame after the frames already queued; later sends are refused. Idempotent.
  virtual void close(std::uint16_t code = kCloseNormal, std::string reason = {}) = 0;

  // close(), then waits until the transport is closed or limit passes (then it is dropped
  // abruptly). True when it closed within limit.
  virtual boost::asio::awaitable<bool> close_and_wait(std::chrono::milliseconds limit,
                                                      std::uint16_t code = kCloseNormal,
                                                      std::string reason = {});

  virtual bool is_open() const = 0;
  // Why the connection stopped taking frames ("" while it is open).
  virtual std::string error_text() const = 0;
  // The peer's address for log lines ("" when unknown).
  virtual std::string remote_address() const { return {}; }

  void set_failure_handler(FailureHandler handler);

 protected:
  // Runs the failure handler once; later calls do nothing.
  void report_failure(const std::string& error);

 private:
  const std::uint64_t id_;
  mutable std::mutex handler_mutex_;  // guards failure_handler_, failure_reported_
  FailureHandler failure_handler_;
  bool failure_reported_ = false;
};

using ConnectionPtr = std::shared_ptr<Connection>;

// Limits of one connection.
struct ConnectionLimits {
  std::size_t max_queued_frames = 8192;
  std::size_t max_queued_bytes = std::size_t{16} << 20;
  std::chrono::milliseconds write_timeout{std::chrono::seconds(30)};
  std::size_t max_message_bytes = std::size_t{64} << 10;  // incoming
};

// One result of WebSocketConnection::receive().
struct Received {
  enum class Kind {
    text,    // a text message; data is its text
    binary,  // a binary message; data is its bytes
    closed,  // the peer closed the connection, or it is gone (reset, dropped, keep-alive lost)
    failed,  // the read failed on what the peer sent (oversize message, protocol violation,
             // invalid UTF-8); the WebSocket layer has already closed with its own code, and
             // data says what went wrong
  };
  Kind kind = Kind::closed;
  std::string data;
};

class WebSocketConnection final : public Connection,
                                  public std::enable_shared_from_this<WebSocketConnection> {
 public:
  using Stream = boost::beast::websocket::stream<boost::beast::tcp_stream>;
  using UpgradeRequest = boost::beast::http::request<boost::beast::http::string_body>;

  // Server side: request is the upgrade request already read from stream (the endpoint checks
  // it before anything is accepted); accept() answers it. The stream may use any executor: the
  // connection moves the socket onto a strand of that executor.
  static std::shared_ptr<WebSocketConnection> create(boost::beast::tcp_stream stream,
                                                     UpgradeRequest request,
                                                     ConnectionLimits limits = {});
  // Server side, for a stream whose handshake the HTTP server already completed (it also set
  // the read limit and the keep-alive pings): the connection starts open and accept() only
  // confirms it. The socket's executor must already be a strand (the server's sessions are).
  static std::shared_ptr<WebSocketConnection> adopt(Stream accepted, ConnectionLimits limits = {});

  boost::asio::awaitable<void> accept() override;
  bool send(Frame frame) override;
  bool send_all(std::span<const Frame> frames) override;
  void close(std::uint16_t code = kCloseNormal, std::string reason = {}) override;
  boost::asio::awaitable<bool> close_and_wait(std::chrono::milliseconds limit,
                                              std::uint16_t code = kCloseNormal,
                                              std::string reason = {}) override;
  bool is_open() const override;
  std::string error_text() const override;
  std::string remote_address() const override { return remote_; }

  // The next message from the peer, or how the connection ended: closed (by either side, or
  // dropped) or failed (the peer sent something the WebSocket layer refuses). Once ended, every
  // later call answers closed. One receive at a time.
  boost::asio::awaitable<Received> receive();

  // The close code the peer sent (0 when it sent none).
  std::uint16_t peer_close_code() const;

 private:
  enum class State { created, open, closing, closed };

  WebSocketConnection(boost::asio::any_io_executor strand, boost::beast::tcp_stream stream,
                      UpgradeRequest request, ConnectionLimits limits);
  WebSocketConnection(Stream accepted, ConnectionLimits limits);

  void start_writer_locked();  // requires mutex_
  // Queues frame, or marks the connection closed when it is over its bound (then false).
  bool enqueue_locked(const Frame& frame);  // requires mutex_ and an open connection
  // After a refused frame: a close frame would never be read by a peer that is not reading.
  void drop_later();
  // The writer, on the strand: writes the batch frame by frame, takes the next batch when it is
  // done, and sends the queued close frame once the frames before it are out.
  void write_next();
  void on_written(const boost::beast::error_code& ec, std::size_t bytes);
  void on_close_written(const boost::beast::error_code& ec);
  // Records the start of a write and makes sure the watchdog runs.
  void write_starting();
  void set_corked(bool corked);
  void arm_watchdog();
  void on_watchdog();
  // On the strand: marks closed with text, drops the queue and the socket.
  void drop(const std::string& error, bool report);
  void mark_closed_locked(const std::string& error);  // requires mutex_

  // The stream's own executor, which is a strand: every socket operation, the websocket layer's
  // timers and every completion run through it, one at a time.
  boost::asio::any_io_executor strand_;
  Stream ws_;                                // touched only on strand_
  UpgradeRequest request_;                   // touched only on strand_
  boost::asio::steady_timer deadline_;       // strand_ only; the write watchdog
  boost::asio::steady_timer closed_signal_;  // strand_ only; cancelled once closed
  bool dropped_ = false;                     // strand_ only
  // The writer's state, strand_ only. batch_ holds the frames taken from queue_ in one step;
  // batch_pos_ is the next one to write.
  std::vector<Frame> batch_;
  std::size_t batch_pos_ = 0;
  bool in_flight_ = false;  // a write or the close is under way
  bool watchdog_armed_ = false;
  bool corked_ = false;
  std::chrono::steady_clock::time_point write_started_;
  const ConnectionLimits limits_;
  const bool adopted_ = false;  // handshake done before the connection was made
  std::string remote_;

  // Frames and bytes of the current batch already written: the writer counts them without the
  // lock, send() subtracts them from the totals below, and the writer folds them in (under
  // mutex_) when it takes the next batch.
  std::atomic<std::size_t> written_frames_{0};
  std::atomic<std::size_t> written_bytes_{0};

  mutable std::mutex mutex_;  // guards everything below
  State state_ = State::created;
  std::vector<Frame> queue_;
  // Every frame accepted and not yet folded in as written: queue_ and the writer's batch.
  std::size_t queued_frames_ = 0;
  std::size_t queued_bytes_ = 0;
  bool writing_ = false;
  bool close_queued_ = false;
  bool close_started_ = false;
  boost::beast::websocket::close_reason close_reason_;
  std::string error_;
  std::uint16_t peer_close_code_ = 0;
};

}  // namespace corvid::app
