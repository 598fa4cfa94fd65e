#pragma once
// WebSocket connections as the registry holds them (Connection), and the connection over a
// Beast stream (WebSocketConnection).
// Owner: the WebSocket endpoint creates one per admitted socket; the registry keeps shared
// pointers while it is registered. Threads: send(), notify() and close() may be called from any
// thread and never block; every socket operation runs on the connection's own strand, one write
// at a time.
// Guarantees: a connection's own frames (welcome, replies) leave in the order send() took them,
// ahead of the account's frames that are waiting; the account's frames leave in log order. Each
// write has a deadline; a stalled write, a refused frame or a failed write closes the transport,
// and an asynchronous failure is reported once through the failure handler.
#include <array>
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
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "corvid/app/http/websocket_socket.hpp"
#include "corvid/app/websocket_hub_log.hpp"

namespace corvid::app {

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

  // Queues one text frame of this connection's own (welcome, reply). False when the connection
  // is closed, closing or over its bound (the connection then closes itself); error_text() says
  // why.
  virtual bool send(Frame frame) = 0;

  // Queues frames in order as one step. False as soon as one is refused.
  virtual bool send_all(std::span<const Frame> frames);

  // Queues a close frame after the frames already queued or appended to the log; later sends
  // are refused. Idempotent.
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

  // The account's frame log: frames appended after this call reach the connection (the
  // registry attaches a connection in the step that makes it visible). A connection belongs to
  // one account: the first log attached is its log for good, later calls change nothing.
  void attach(std::shared_ptr<FrameLog> log);
  // Frames were appended to the attached log. The default takes them at once through send();
  // a connection with its own writer wakes it instead. False when the connection no longer
  // takes frames (error_text() says why).
  virtual bool notify();
  // The relay's grouped wake: as notify(), but a writer that has to be started is added to
  // wake instead of being posted on its own, and the caller starts the group later with
  // start_writer() on a loop thread. The default takes the frames at once (nothing to add).
  virtual bool notify_grouped(std::vector<std::shared_ptr<Connection>>& wake) {
    (void)wake;
    return notify();
  }
  // Starts the writer that notify_grouped() left to the caller: at once when called on a thread
  // of the connection's loop with its strand free, else queued on the strand.
  virtual void start_writer() {}
  // The loop the connection's strand runs on, where a group of start_writer() calls is posted.
  virtual boost::asio::any_io_executor loop_executor() const { return {}; }
  // The next frame of the log this connection has not yet written.
  std::uint64_t cursor() const noexcept { return cursor_.load(std::memory_order_acquire); }
  // Whether the peer is taking data: it has caught up, or its write under way started less
  // than kStallGraceMs ago. The relay waits only for connections that are.
  virtual bool taking_data() const { return true; }
  // Cuts the connection for good: its peer stopped taking data (no close frame: it would not be
  // read). Reports nothing; the registry has already let it go.
  virtual void cut(const std::string& why) { close(kCloseInternalError, why); }

  void set_failure_handler(FailureHandler handler);

 protected:
  // Runs the failure handler once; later calls do nothing.
  void report_failure(const std::string& error);
  // The attached log without a reference of its own (null until attached): it lives as long as
  // the connection, which holds it for good once attached. Every writer of an account reads it
  // once a pass, and a reference each would be a write to one counter from every loop thread.
  const FrameLog* log_view() const noexcept { return log_view_.load(std::memory_order_acquire); }
  void advance_cursor(std::uint64_t to) noexcept { cursor_.store(to, std::memory_order_release); }

 private:
  const std::uint64_t id_;
  mutable std::mutex handler_mutex_;  // guards failure_handler_, failure_reported_
  FailureHandler failure_handler_;
  bool failure_reported_ = false;
  mutable std::mutex log_mutex_;  // guards log_; the default notify() pulls under it
  std::shared_ptr<FrameLog> log_;
  std::atomic<const FrameLog*> log_view_{nullptr};  // log_.get(), set once
  std::atomic<std::uint64_t> cursor_{0};
};

using ConnectionPtr = std::shared_ptr<Connection>;

// Limits of one connection.
struct ConnectionLimits {
  // The connection's own frames not yet written (replies to a peer that sends requests but does
  // not read the answers); the account's frames are bounded by the log's budgets instead.
  std::size_t max_queued_bytes = std::size_t{4} << 20;
  std::chrono::milliseconds write_timeout{std::chrono::seconds(30)};
  std::size_t max_message_bytes = std::size_t{64} << 10;  // incoming
  // After the peer's close frame, how long the peer has to close its side of TCP.
  std::chrono::milliseconds close_linger{std::chrono::milliseconds(500)};
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
  // Straight over the socket (the websocket layer keeps its own timers: handshake, idle,
  // keep-alive pings), which the connection's gathered writes share with the layer's control
  // frames. No permessage-deflate: the endpoint never offers it.
  using Stream = boost::beast::websocket::stream<http::WebSocketSocket, false>;
  using UpgradeRequest = boost::beast::http::request<boost::beast::http::string_body>;
  // Called once, on the strand, when the peer's close frame arrives: the connection is done
  // from then on, even while the peer keeps its TCP connection open.
  using PeerCloseHandler = std::function<void()>;

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
  bool notify() override;
  bool notify_grouped(std::vector<std::shared_ptr<Connection>>& wake) override;
  void start_writer() override;
  boost::asio::any_io_executor loop_executor() const override;
  bool taking_data() const override;
  void cut(const std::string& why) override;

  // The next message from the peer, or how the connection ended: closed (by either side, or
  // dropped) or failed (the peer sent something the WebSocket layer refuses). Once ended, every
  // later call answers closed. One receive at a time.
  boost::asio::awaitable<Received> receive();

  // The close code the peer sent (0 when it sent none).
  std::uint16_t peer_close_code() const;

  // Set before the first receive(); see PeerCloseHandler.
  void set_peer_close_handler(PeerCloseHandler handler);

  // Called on the strand with each message, then once with how the connection ended (closed
  // or failed), as receive() would return them. Returning false after a message stops the
  // reading (the handler is not called again; it closes the connection itself).
  using MessageHandler = std::function<bool(Received)>;
  // Reads in the background instead of through receive(): one read is pending at a time and
  // nothing else waits under an idle connection (no coroutine frame). Call once, instead of
  // receive(), from the strand or before anything else touches the connection. The pending
  // read keeps the connection alive.
  void serve(MessageHandler handler);

  // The strand every socket operation of the connection runs on.
  const boost::asio::any_io_executor& executor() const noexcept { return strand_; }

 private:
  enum class State { created, open, closing, closed };

  WebSocketConnection(boost::asio::any_io_executor strand, boost::asio::ip::tcp::socket socket,
                      UpgradeRequest request, ConnectionLimits limits);
  WebSocketConnection(Stream accepted, ConnectionLimits limits);
  void watch_control_frames();
  // Reads the peer's address and turns Nagle off, for both ways a connection is made.
  void set_up_socket();
  boost::asio::awaitable<Received> read_once();  // on the strand
  // serve()'s reading, on the strand: one read of up to limit bytes of the current message.
  void read_next(std::size_t limit);
  void on_read(const boost::beast::error_code& ec);
  // What a failed read means, once the read ended with ec (drops the socket).
  Received read_ended(const boost::beast::error_code& ec);

  void wake();  // any thread: makes sure the writer runs
  // The writer, on the strand: writes the connection's own frames first, then what the log
  // holds past the cursor, frame by frame; sends the queued close once everything before it
  // is out.
  void write_next();
  void on_written(const boost::beast::error_code& ec, std::size_t bytes);
  void on_close_written(const boost::beast::error_code& ec);
  // Records the start of a write and makes sure the watchdog runs.
  void write_starting();
  // Drops the batch written (or given up); idle also gives its room back.
  void release_batch(bool idle);
  // The batch is out: its replies leave the bound, the cursor moves past its log frames.
  void batch_written();
  void arm_watchdog();
  void on_watchdog();
  void on_peer_close();
  // On the strand: marks closed with text, drops the queue and the socket.
  void drop(const std::string& error, bool report);
  void mark_closed_locked(const std::string& error);  // requires mutex_

  // The stream's own executor, which is a strand: every socket operation, the websocket layer's
  // timers and every completion run through it, one at a time.
  boost::asio::any_io_executor strand_;
  Stream ws_;                                // touched only on strand_
  std::unique_ptr<UpgradeRequest> request_;  // strand_ only; until the handshake (create())
  boost::asio::steady_timer deadline_;       // strand_ only; the write watchdog
  // strand_ only, made when first needed (an idle connection has neither): cancelled once
  // closed, for close_and_wait; the wait after the peer's close frame.
  std::unique_ptr<boost::asio::steady_timer> closed_signal_;
  std::unique_ptr<boost::asio::steady_timer> linger_;
  bool dropped_ = false;                     // strand_ only
  bool peer_closed_ = false;                 // strand_ only
  PeerCloseHandler peer_close_handler_;      // strand_ only once receiving
  MessageHandler reader_;                    // strand_ only; serve()'s handler until the end
  boost::beast::flat_buffer read_buffer_;    // strand_ only; serve()'s message so far
  // The writer's state, strand_ only. own_batch_ holds the connection's own frames taken in one
  // step; log_batch_ the log's frames from log_batch_seq_ on.
  std::vector<Frame> own_batch_;
  std::vector<Frame> log_batch_;
  std::uint64_t log_batch_seq_ = 0;
  std::size_t own_bytes_ = 0;    // the text of own_batch_
  std::size_t batch_bytes_ = 0;  // the whole batch, headers included
  // The batch as one gathered write: each frame's header, then its shared text.
  std::vector<std::array<unsigned char, 10>> headers_;
  std::vector<boost::asio::const_buffer> buffers_;
  bool in_flight_ = false;  // a write or the close is under way
  bool watchdog_armed_ = false;
  std::chrono::steady_clock::time_point write_started_;
  const ConnectionLimits limits_;
  const bool adopted_ = false;  // handshake done before the connection was made
  std::string remote_;

  // Steady-clock milliseconds when the write under way started; 0 when none is (read by the
  // relay from other threads).
  std::atomic<std::int64_t> write_since_ms_{0};
  std::atomic<bool> writing_{false};  // the writer runs or is posted
  std::atomic<bool> peer_closed_flag_{false};  // peer_closed_, for other threads

  mutable std::mutex mutex_;  // guards everything below
  State state_ = State::created;
  std::vector<Frame> queue_;
  std::size_t queued_bytes_ = 0;  // queue_ and own_batch_ not yet written
  bool close_queued_ = false;
  bool close_started_ = false;
  std::uint64_t close_after_ = 0;  // log frames before this seq go out before the close
  std::uint16_t close_code_ = kCloseNormal;
  std::string close_text_;
  std::string error_;
  std::uint16_t peer_close_code_ = 0;
};

}  // namespace corvid::app
