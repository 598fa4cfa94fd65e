#include "corvid/app/websocket_connection.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/error.hpp>

#include "corvid/utils/log.hpp"

namespace corvid::app {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;

namespace {

std::uint64_t next_connection_id() {
  static std::atomic<std::uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

// Batches this long or longer are written corked (see set_corked).
constexpr std::size_t kCorkFrames = 4;

constexpr auto tuple_awaitable = asio::as_tuple(asio::use_awaitable);

// Read errors that only say the connection is gone: the peer went away without a close, the
// keep-alive pings went unanswered, or this side dropped the socket (overflow, write deadline,
// shutdown). Everything else is something the peer sent that the WebSocket layer refused.
bool ends_quietly(const beast::error_code& ec) {
  return ec == asio::error::eof || ec == asio::error::connection_reset ||
         ec == asio::error::connection_aborted || ec == asio::error::broken_pipe ||
         ec == asio::error::operation_aborted || ec == asio::error::not_connected ||
         ec == asio::error::bad_descriptor || ec == asio::error::shut_down ||
         ec == beast::error::timeout;
}

}  // namespace

// ---- Connection ---------------------------------------------------------------------------

Connection::Connection() : id_(next_connection_id()) {}

bool Connection::send_all(std::span<const Frame> frames) {
  for (const auto& frame : frames)
    if (!send(frame)) return false;
  return true;
}

asio::awaitable<bool> Connection::close_and_wait(std::chrono::milliseconds, std::uint16_t code,
                                                 std::string reason) {
  close(code, std::move(reason));
  co_return true;
}

void Connection::set_failure_handler(FailureHandler handler) {
  std::lock_guard lock(handler_mutex_);
  failure_handler_ = std::move(handler);
}

void Connection::report_failure(const std::string& error) {
  FailureHandler handler;
  {
    std::lock_guard lock(handler_mutex_);
    if (failure_reported_) return;
    failure_reported_ = true;
    handler = failure_handler_;
  }
  // Called without the lock: the handler takes the registry's lock.
  if (handler) handler(error);
}

// ---- WebSocketConnection ------------------------------------------------------------------

std::shared_ptr<WebSocketConnection> WebSocketConnection::create(beast::tcp_stream stream,
                                                                 UpgradeRequest request,
                                                                 ConnectionLimits limits) {
  // The websocket layer runs its own timers on the stream's executor, so the socket itself is
  // moved onto the connection's strand; otherwise those timers could race the reads and writes.
  auto socket = stream.release_socket();
  auto strand = asio::make_strand(socket.get_executor());
  beast::error_code ec;
  const auto local = socket.local_endpoint(ec);
  const auto protocol = ec ? asio::ip::tcp::v4() : local.protocol();
  const auto handle = socket.release(ec);
  if (ec) throw beast::system_error(ec);
  asio::ip::tcp::socket rebound(strand, protocol, handle);
  return std::shared_ptr<WebSocketConnection>(new WebSocketConnection(
      strand, beast::tcp_stream(std::move(rebound)), std::move(request), limits));
}

WebSocketConnection::WebSocketConnection(asio::any_io_executor strand, beast::tcp_stream stream,
                                         UpgradeRequest request, ConnectionLimits limits)
    : strand_(std::move(strand)),
      ws_(std::move(stream)),
      request_(std::move(request)),
      deadline_(strand_),
      closed_signal_(strand_, asio::steady_timer::time_point::max()),
      limits_(limits) {
  beast::error_code ec;
  auto endpoint = beast::get_lowest_layer(ws_).socket().remote_endpoint(ec);
  if (!ec) remote_ = endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

std::shared_ptr<WebSocketConnection> WebSocketConnection::adopt(Stream accepted,
                                                                ConnectionLimits limits) {
  return std::shared_ptr<WebSocketConnection>(new WebSocketConnection(std::move(accepted), limits));
}

// The stream's executor is the session's strand, so the websocket layer's own timers never race
// the connection's reads and writes; the connection runs its own handlers on that strand too
// (a second strand on top of it would only add a queue to every completion).
WebSocketConnection::WebSocketConnection(Stream accepted, ConnectionLimits limits)
    : strand_(accepted.get_executor()),
      ws_(std::move(accepted)),
      deadline_(strand_),
      closed_signal_(strand_, asio::steady_timer::time_point::max()),
      limits_(limits),
      adopted_(true) {
  state_ = State::open;
  beast::error_code ec;
  auto endpoint = beast::get_lowest_layer(ws_).socket().remote_endpoint(ec);
  if (!ec) remote_ = endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

asio::awaitable<void> WebSocketConnection::accept() {
  if (adopted_) co_return;
  // Named, not a temporary: GCC 12 destroys temporaries of a co_await expression twice.
  auto self = shared_from_this();
  auto handshake = [self]() -> asio::awaitable<void> {
    {
      std::lock_guard lock(self->mutex_);
      if (self->state_ != State::created) throw std::logic_error("connection already accepted");
    }
    // The websocket layer keeps its own handshake and idle timers (with pings); the TCP
    // layer's timer would also cut reads that wait for a quiet client.
    beast::get_lowest_layer(self->ws_).expires_never();
    self->ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    self->ws_.read_message_max(self->limits_.max_message_bytes);
    auto [ec] = co_await self->ws_.async_accept(self->request_, tuple_awaitable);
    self->request_ = {};
    if (ec) {
      self->drop("handshake failed: " + ec.message(), false);
      throw beast::system_error(ec);
    }
    std::lock_guard lock(self->mutex_);
    if (self->state_ == State::created) self->state_ = State::open;
    // Frames queued during the handshake leave now.
    if (!self->queue_.empty()) self->start_writer_locked();
  };
  co_await asio::co_spawn(strand_, std::move(handshake), asio::use_awaitable);
}

bool WebSocketConnection::enqueue_locked(const Frame& frame) {
  // What the writer has written of its batch no longer counts against the bound.
  const std::size_t frames = queued_frames_ - written_frames_.load(std::memory_order_acquire);
  const std::size_t bytes = queued_bytes_ - written_bytes_.load(std::memory_order_acquire);
  if (frames >= limits_.max_queued_frames || bytes + frame->size() > limits_.max_queued_bytes) {
    mark_closed_locked("outbound queue full (" + std::to_string(frames) + " frames, " +
                       std::to_string(bytes) + " bytes)");
    return false;
  }
  ++queued_frames_;
  queued_bytes_ += frame->size();
  queue_.push_back(frame);
  return true;
}

void WebSocketConnection::drop_later() {
  // The peer is not reading, so a close frame would never be read: drop the socket.
  asio::post(strand_, [self = shared_from_this()] { self->drop(self->error_text(), false); });
}

bool WebSocketConnection::send(Frame frame) { return send_all(std::span<const Frame>(&frame, 1)); }

bool WebSocketConnection::send_all(std::span<const Frame> frames) {
  for (const auto& frame : frames)
    if (!frame) return false;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::closing || state_ == State::closed || close_queued_) {
      if (error_.empty()) error_ = "connection is closed";
      return false;
    }
    bool accepted = true;
    for (const auto& frame : frames) {
      if (!enqueue_locked(frame)) {
        accepted = false;
        break;
      }
    }
    if (accepted) {
      if (state_ == State::open && !frames.empty()) start_writer_locked();
      return true;
    }
  }
  drop_later();
  return false;
}

void WebSocketConnection::close(std::uint16_t code, std::string reason) {
  std::lock_guard lock(mutex_);
  if (close_queued_ || state_ == State::closed) return;
  close_queued_ = true;
  if (state_ == State::created) {
    // Never accepted: there is no WebSocket to close, only the socket.
    mark_closed_locked("closed before the handshake");
    asio::post(strand_, [self = shared_from_this()] { self->drop(self->error_text(), false); });
    return;
  }
  close_reason_ = websocket::close_reason(static_cast<websocket::close_code>(code), reason);
  start_writer_locked();
}

asio::awaitable<bool> WebSocketConnection::close_and_wait(std::chrono::milliseconds limit,
                                                          std::uint16_t code, std::string reason) {
  using namespace asio::experimental::awaitable_operators;
  close(code, std::move(reason));
  auto self = shared_from_this();
  auto wait = [self, limit]() -> asio::awaitable<bool> {
    if (self->dropped_) co_return true;
    asio::steady_timer limit_timer(self->strand_);
    limit_timer.expires_after(limit);
    auto result = co_await (self->closed_signal_.async_wait(tuple_awaitable) ||
                            limit_timer.async_wait(tuple_awaitable));
    if (result.index() == 0) co_return true;
    self->drop("close timed out", false);
    co_return false;
  };
  const bool closed = co_await asio::co_spawn(strand_, std::move(wait), asio::use_awaitable);
  co_return closed;
}

bool WebSocketConnection::is_open() const {
  std::lock_guard lock(mutex_);
  return state_ == State::open && !close_queued_;
}

std::string WebSocketConnection::error_text() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::uint16_t WebSocketConnection::peer_close_code() const {
  std::lock_guard lock(mutex_);
  return peer_close_code_;
}

asio::awaitable<Received> WebSocketConnection::receive() {
  auto self = shared_from_this();
  auto read = [self]() -> asio::awaitable<Received> {
    {
      std::lock_guard lock(self->mutex_);
      if (self->state_ == State::created || self->state_ == State::closed) co_return Received{};
    }
    beast::flat_buffer buffer;
    auto [ec, n] = co_await self->ws_.async_read(buffer, tuple_awaitable);
    (void)n;
    if (!ec) {
      const auto kind = self->ws_.got_text() ? Received::Kind::text : Received::Kind::binary;
      co_return Received{kind, beast::buffers_to_string(buffer.data())};
    }
    if (ec == websocket::error::closed) {
      {
        std::lock_guard lock(self->mutex_);
        self->peer_close_code_ = self->ws_.reason().code;
      }
      self->drop("closed by the peer", false);
      co_return Received{};
    }
    self->drop(ec.message(), false);
    if (ends_quietly(ec)) co_return Received{};
    co_return Received{Received::Kind::failed, ec.message()};
  };
  auto received = co_await asio::co_spawn(strand_, std::move(read), asio::use_awaitable);
  co_return received;
}

void WebSocketConnection::start_writer_locked() {
  if (writing_) return;
  writing_ = true;
  // Posted, never dispatched: the caller holds mutex_, and the writer takes it first thing.
  asio::post(strand_, [self = shared_from_this()] { self->write_next(); });
}

// The writer takes everything queued in one step and writes it frame by frame; the lock is
// taken once per batch, never across a write. Each completion holds a reference, so the
// connection lives while frames are in flight.
void WebSocketConnection::write_next() {
  if (batch_pos_ == batch_.size()) {
    // What the last batch left in the socket leaves now, before the writer waits or closes.
    set_corked(false);
    bool send_close = false;
    {
      std::lock_guard lock(mutex_);
      if (state_ != State::closed) {
        queued_frames_ -= written_frames_.exchange(0, std::memory_order_acq_rel);
        queued_bytes_ -= written_bytes_.exchange(0, std::memory_order_acq_rel);
      }
      // A batch after a burst may be large; it is not kept for the next one.
      if (batch_.capacity() > 256) {
        std::vector<Frame>().swap(batch_);
      } else {
        batch_.clear();
      }
      batch_pos_ = 0;
      if (state_ == State::closed || dropped_) {
        writing_ = false;
        return;
      }
      if (!queue_.empty()) {
        batch_.swap(queue_);
      } else if (close_queued_ && !close_started_) {
        close_started_ = true;
        send_close = true;
        if (state_ == State::open) state_ = State::closing;
      } else {
        writing_ = false;
        return;
      }
    }
    if (send_close) {
      write_starting();
      ws_.async_close(close_reason_, [self = shared_from_this()](const beast::error_code& ec) {
        self->on_close_written(ec);
      });
      return;
    }
    ws_.text(true);
    if (batch_.size() >= kCorkFrames) set_corked(true);
  }
  if (dropped_) {  // dropped while the batch was under way; its frames go with the connection
    std::lock_guard lock(mutex_);
    batch_.clear();
    batch_pos_ = 0;
    writing_ = false;
    return;
  }
  write_starting();
  const Frame& frame = batch_[batch_pos_];
  ws_.async_write(asio::buffer(*frame),
                  [self = shared_from_this()](const beast::error_code& ec, std::size_t n) {
                    self->on_written(ec, n);
                  });
}

void WebSocketConnection::on_written(const beast::error_code& ec, std::size_t /*bytes*/) {
  in_flight_ = false;
  if (ec) {
    bool cut;
    {
      std::lock_guard lock(mutex_);
      cut = state_ == State::closed;
      batch_.clear();
      batch_pos_ = 0;
      writing_ = false;
    }
    // A write cut by the watchdog or after an overflow was already reported.
    if (!cut) drop("write failed: " + ec.message(), true);
    return;
  }
  written_bytes_.fetch_add(batch_[batch_pos_]->size(), std::memory_order_acq_rel);
  written_frames_.fetch_add(1, std::memory_order_acq_rel);
  // Released as soon as it is out, like the queue entry it was.
  batch_[batch_pos_++].reset();
  write_next();
}

void WebSocketConnection::on_close_written(const beast::error_code& ec) {
  in_flight_ = false;
  drop(ec ? "close failed: " + ec.message() : "closed", false);
  std::lock_guard lock(mutex_);
  writing_ = false;
}

// A batch of frames goes out corked: the kernel packs the frames into full segments instead of
// sending (and waking the reader for) one small packet per frame; the batch's end uncorks it.
void WebSocketConnection::set_corked(bool corked) {
#ifdef TCP_CORK
  if (corked == corked_ || dropped_) return;
  corked_ = corked;
  const int value = corked ? 1 : 0;
  auto& socket = beast::get_lowest_layer(ws_).socket();
  // A failure only costs the packing; the writes themselves go through either way.
  (void)::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_CORK, &value, sizeof value);
#else
  (void)corked;
#endif
}

// One timer per connection watches the writes instead of one per write: a write starting only
// records the time, and the timer, when it fires, cuts the connection if the write under way
// started more than write_timeout ago, or sleeps until that write's own deadline.
void WebSocketConnection::write_starting() {
  write_started_ = std::chrono::steady_clock::now();
  in_flight_ = true;
  if (!watchdog_armed_) arm_watchdog();
}

void WebSocketConnection::arm_watchdog() {
  watchdog_armed_ = true;
  deadline_.expires_at(write_started_ + limits_.write_timeout);
  deadline_.async_wait([weak = weak_from_this()](const beast::error_code& ec) {
    if (ec) return;
    if (auto conn = weak.lock()) conn->on_watchdog();
  });
}

void WebSocketConnection::on_watchdog() {
  watchdog_armed_ = false;
  if (dropped_ || !in_flight_) return;  // idle: the next write arms it again
  if (std::chrono::steady_clock::now() - write_started_ >= limits_.write_timeout) {
    drop("write timed out after " + std::to_string(limits_.write_timeout.count()) + " ms", true);
    return;
  }
  arm_watchdog();
}

void WebSocketConnection::mark_closed_locked(const std::string& error) {
  if (state_ == State::closed) return;
  state_ = State::closed;
  if (error_.empty()) error_ = error;
  queue_.clear();
  queued_frames_ = 0;
  queued_bytes_ = 0;
}

void WebSocketConnection::drop(const std::string& error, bool report) {
  {
    std::lock_guard lock(mutex_);
    mark_closed_locked(error);
  }
  if (!dropped_) {
    dropped_ = true;
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).close();
    deadline_.cancel();
    closed_signal_.cancel();  // wakes close_and_wait
    log::get("websocket_hub")->debug("[ws {}] connection {} ended: {}", remote_, id(), error);
  }
  if (report) report_failure(error);
}

}  // namespace corvid::app
