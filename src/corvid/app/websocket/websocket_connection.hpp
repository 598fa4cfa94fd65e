#pragma once
// WebSocket connections as the registry holds them (Connection), and the connection over a
// Beast stream whose handshake the HTTP server completed (WebSocketConnection).
// Owner: the WebSocket endpoint makes one per accepted stream; the registry keeps shared
// pointers while it is registered, and a closing connection is kept by a wait of its own until
// its socket is gone, so its close is finished whoever let go of it. Threads: send(),
// notify_grouped(), close() and cut() may be called from any thread and never block; every socket
// operation runs on the connection's own strand, one write at a time. Guarantees: a connection's
// own frames (welcome, replies) leave in the order send() took them, ahead of the account's frames
// that are waiting; the account's frames leave in log order from the connection's place on; the
// endpoint's close goes after the backlog, the shutdown's ahead of it. The peer has the stall
// timeout to take each byte of whatever it has to take, the websocket layer's control frames and
// the close included; a stall, a refused frame or a failed write closes the transport, and an
// asynchronous failure is reported once through the failure handler.
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "corvid/app/websocket/frame_log.hpp"
#include "corvid/app/websocket/websocket_socket.hpp"

namespace corvid::app {

inline constexpr std::uint16_t kCloseNormal = 1000;
inline constexpr std::uint16_t kCloseUnsupportedData = 1003;
inline constexpr std::uint16_t kCloseInternalError = 1011;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Called at most once, on the connection's own executor, when a queued write fails or stalls
  // after send() had accepted it. The text says why.
  using FailureHandler = std::function<void(const std::string& error)>;

  Connection();
  virtual ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Identity number: unique in the process, stable for the object's life, never an address.
  std::uint64_t id() const noexcept { return id_; }

  // Confirms the WebSocket handshake; throws when it failed.
  virtual boost::asio::awaitable<void> accept() = 0;

  // Queues one text frame of this connection's own (welcome, reply). False when the connection
  // is closed, closing or over its bound (the connection then closes itself); error_text() says
  // why.
  virtual bool send(Frame frame) = 0;

  // Queues a close frame after the frames already queued or appended to the log for the
  // connection; later sends are refused. Idempotent.
  virtual void close(std::uint16_t code = kCloseNormal, std::string reason = {}) = 0;

  // The shutdown's close: the close frame goes next, ahead of the backlog and of replies not
  // yet written (only a write already under way finishes first). Idempotent, and a close
  // already queued stays where it is.
  virtual void close_ahead(std::uint16_t code = kCloseNormal, std::string reason = {}) = 0;

  // close_ahead(), then waits until the transport is closed or limit passes (then it is
  // dropped). True when it closed within limit.
  virtual boost::asio::awaitable<bool> close_and_wait(std::chrono::milliseconds limit,
                                                      std::uint16_t code = kCloseNormal,
                                                      std::string reason = {});

  virtual bool is_open() const = 0;
  // Why the connection stopped taking frames ("" while it is open).
  virtual std::string error_text() const = 0;

  // Cuts the connection for good: its peer stopped taking data (no close frame: it would not be
  // read). Reports nothing; the registry has already let it go.
  virtual void cut(const std::string& why) { close(kCloseInternalError, why); }

  // The account's frame log: frames appended after this call reach the connection (the
  // registry attaches a connection in the step that makes it visible). A connection belongs to
  // one account: the first log attached is its log for good, later calls change nothing.
  void attach(std::shared_ptr<FrameLog> log);
  // Frames were appended to the attached log: the connection takes them. A writer that has to
  // be started is added to wake instead of being posted on its own, and the caller starts the
  // group later with start_writer() on a loop thread. False when the connection no longer
  // takes frames (error_text() says why).
  virtual bool notify_grouped(std::vector<std::shared_ptr<Connection>>& wake) = 0;
  // Starts the writer that notify_grouped() left to the caller: at once when called on a thread
  // of the connection's loop with its strand free, else queued on the strand.
  virtual void start_writer() {}
  // The loop the connection's strand runs on, where a group of start_writer() calls is posted.
  virtual boost::asio::any_io_executor loop_executor() const { return {}; }
  // The next frame of the log this connection has not yet written (0 before it is attached).
  std::uint64_t cursor() const noexcept;
  // The connection takes no frame appended from now on (it left the registry); what was
  // appended before still reaches it, ahead of its close.
  void take_no_more();

  void set_failure_handler(FailureHandler handler);

 protected:
  // Runs the failure handler once; later calls do nothing.
  void report_failure(const std::string& error);
  // The attached log and the connection's place in it (null until attached), without a
  // reference of their own: they live as long as the connection, which holds them once
  // attached, and every writer of an account reads them once a pass (a reference each would be
  // a write to one counter from every loop thread).
  FrameLog* log() const noexcept { return log_view_.load(std::memory_order_acquire); }
  LogPlace* place() const noexcept { return place_view_.load(std::memory_order_acquire); }
  // The connection takes nothing more from the log: what only it still needed goes.
  void leave_log();

 private:
  const std::uint64_t id_;
  mutable std::mutex handler_mutex_;  // guards failure_handler_, failure_reported_
  FailureHandler failure_handler_;
  bool failure_reported_ = false;
  std::mutex log_mutex_;  // guards log_
  std::shared_ptr<FrameLog> log_;
  LogPlace place_;
  std::atomic<FrameLog*> log_view_{nullptr};    // log_.get(), set once
  std::atomic<LogPlace*> place_view_{nullptr};  // &place_ once joined
};

using ConnectionPtr = std::shared_ptr<Connection>;

// Limits of one connection.
struct ConnectionLimits {
  // The connection's own frames not yet written (replies to a peer that sends requests but does
  // not read the answers); the account's frames are bounded by the registry's budget instead.
  std::size_t max_queued_bytes = std::size_t{4} << 20;
  // While the connection has something to write, its peer takes a byte within this or is cut.
  std::chrono::milliseconds stall_timeout{std::chrono::seconds(30)};
  // After the peer's close frame, how long the peer has to close its side of TCP.
  std::chrono::milliseconds close_linger{std::chrono::milliseconds(500)};
  // After this side's close frame is out, how long the peer has to answer it.
  std::chrono::milliseconds close_answer{std::chrono::seconds(5)};
};

// One message from the peer, or how the connection ended (WebSocketConnection::serve()).
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

class WebSocketConnection final : public Connection, private SocketWatcher {
 public:
  // Straight over the socket (the websocket layer keeps its own timers: idle, keep-alive pings,
  // the closing handshake), which the connection's gathered writes share with the layer's
  // control frames. No permessage-deflate: the endpoint never offers it.
  using Stream = boost::beast::websocket::stream<WebSocketSocket, false>;
  // Called once, on the strand, when the peer's close frame arrives: the connection is done
  // from then on, even while the peer keeps its TCP connection open.
  using PeerCloseHandler = std::function<void()>;
  // Called on the strand with each message, then once with how the connection ended (closed
  // or failed). Returning false after a message stops the reading (the handler is not called
  // again; it closes the connection itself).
  using MessageHandler = std::function<bool(Received)>;

  // For a stream whose handshake the HTTP server completed with set_up_server_stream(): the
  // connection starts open. The socket's executor must be a strand (the server's sessions
  // are): the websocket layer's timers and the connection's own work run on it.
  static std::shared_ptr<WebSocketConnection> adopt(Stream accepted, ConnectionLimits limits = {});

  boost::asio::awaitable<void> accept() override;
  bool send(Frame frame) override;
  void close(std::uint16_t code = kCloseNormal, std::string reason = {}) override;
  void close_ahead(std::uint16_t code = kCloseNormal, std::string reason = {}) override;
  boost::asio::awaitable<bool> close_and_wait(std::chrono::milliseconds limit,
                                              std::uint16_t code = kCloseNormal,
                                              std::string reason = {}) override;
  bool is_open() const override;
  std::string error_text() const override;
  bool notify_grouped(std::vector<std::shared_ptr<Connection>>& wake) override;
  void start_writer() override;
  boost::asio::any_io_executor loop_executor() const override;
  void cut(const std::string& why) override;

  // Set before serve(); see PeerCloseHandler.
  void set_peer_close_handler(PeerCloseHandler handler);
  // Reads in the background: one read is pending at a time and nothing else waits under an
  // idle connection (no coroutine frame). Call once, from the strand or before anything else
  // touches the connection. The pending read keeps the connection alive.
  void serve(MessageHandler handler);

  // The strand every socket operation of the connection runs on.
  const boost::asio::any_io_executor& executor() const noexcept { return strand_; }

 private:
  enum class State { open, closing, closed };
  // What the writer has to do next.
  enum class Due { stop, batch, close, nothing };

  WebSocketConnection(Stream accepted, ConnectionLimits limits);
  std::shared_ptr<WebSocketConnection> self();
  // Reads the peer's address, turns Nagle off and watches the layer's frames and writes.
  void set_up();
  // The socket's news (SocketWatcher): a layer's write is watched for stalls as the
  // connection's are; once both close frames are through, a peer that holds TCP open is let
  // go after the linger, not after the layer's own timeout.
  void layer_write_started() override { watch_progress(); }
  void teardown_started() override;

  // serve()'s reading, on the strand: one read of up to limit bytes of the current message.
  void read_next(std::size_t limit);
  void on_read(const boost::beast::error_code& ec);
  // What a failed read means, once the read ended with ec (drops the socket).
  Received read_ended(const boost::beast::error_code& ec);
  void on_peer_close();

  // Any thread: queues the close after the backlog, or next with the replies dropped.
  void queue_close(std::uint16_t code, std::string reason, bool ahead_of_backlog);
  // On the strand: a closing connection keeps itself through a wait that only its drop ends,
  // so its close is finished whoever let go of it (and nothing is held once the loop is gone).
  void hold_until_dropped();

  // The writer, on the strand, one step after another: the connection's own frames first,
  // then what the log holds from its place on, as one gathered write; the queued close once
  // everything before it is out; idle when nothing is left.
  void wake();  // any thread: makes sure the writer runs
  void write_next();
  Due take_due();
  // Writes the batch taken: true when all of it went at once, false when it waits for room (or
  // failed, and the writer stopped).
  bool write_batch();
  void send_close();
  // True when the writer really is idle; false when something came in meanwhile.
  bool go_idle();
  void stop_writing();
  void resume_after_layer();  // a control frame is going out: the writer follows it
  void yield_writer();        // a long backlog: the thread's other work goes first
  void on_written(const boost::beast::error_code& ec);
  void on_close_written(const boost::beast::error_code& ec);
  // Drops the batch written (or given up); idle also gives its room back.
  void release_batch(bool idle);
  // The batch is out: its replies leave the bound, the place moves past its log frames.
  void batch_written();

  // The stall watchdog: armed whenever a write starts, it cuts the connection once the peer
  // has taken no byte for the stall timeout while it has bytes to take.
  void watch_progress();
  void next_watch();
  void on_watchdog();
  // The socket goes at `when` (the peer's time to answer or end the closing handshake).
  void drop_at(std::chrono::steady_clock::time_point when, std::string why, bool abort = false);

  // On the strand: marks closed with text, drops the queue and the socket; report runs the
  // failure handler; abort resets TCP, for a peer that stopped taking data.
  void drop(const std::string& error, bool report, bool abort = false);
  void mark_closed_locked(const std::string& error);  // requires mutex_

  // The stream's own executor, which is a strand: every socket operation, the websocket layer's
  // timers and every completion run through it, one at a time.
  boost::asio::any_io_executor strand_;
  Stream ws_;                           // touched only on strand_
  boost::asio::steady_timer deadline_;  // strand_ only; the stall watchdog
  // strand_ only, made when first needed (an idle connection has neither): cancelled once
  // dropped, for close_and_wait and the closing connection's hold; the end of the closing
  // handshake.
  std::unique_ptr<boost::asio::steady_timer> closed_signal_;
  struct End {
    boost::asio::steady_timer timer;
    std::string reason;  // why the timer drops the socket
    bool abort = false;  // and whether it resets TCP
  };
  std::unique_ptr<End> end_;
  bool dropped_ = false;         // strand_ only
  bool peer_closed_ = false;     // strand_ only
  bool watchdog_armed_ = false;  // strand_ only
  // strand_ only, while the watchdog runs: what the peer had taken when it last looked, and
  // when that last grew.
  std::uint64_t taken_seen_ = 0;
  std::chrono::steady_clock::time_point progress_at_{};
  PeerCloseHandler peer_close_handler_;    // strand_ only once serving
  MessageHandler reader_;                  // strand_ only; serve()'s handler until the end
  boost::beast::flat_buffer read_buffer_;  // strand_ only; serve()'s message so far
  // The writer's state, strand_ only. own_batch_ holds the connection's own frames taken in one
  // step; log_batch_ the log's frames from log_batch_seq_ on.
  std::vector<Frame> own_batch_;
  std::vector<Frame> log_batch_;
  std::uint64_t log_batch_seq_ = 0;
  std::size_t own_bytes_ = 0;  // the text of own_batch_
  // The batch as one gathered write: each frame's header, then its shared text.
  std::vector<std::array<unsigned char, 10>> headers_;
  std::vector<boost::asio::const_buffer> buffers_;
  const ConnectionLimits limits_;
  std::string remote_;  // the peer's address, for log lines

  std::atomic<bool> writing_{false};  // the writer runs or is posted

  mutable std::mutex mutex_;  // guards everything below
  State state_ = State::open;
  std::vector<Frame> queue_;
  std::size_t queued_bytes_ = 0;  // queue_ and own_batch_ not yet written
  bool close_queued_ = false;
  bool close_started_ = false;
  std::uint16_t close_code_ = kCloseNormal;
  std::string close_text_;
  std::string error_;
};

}  // namespace corvid::app
