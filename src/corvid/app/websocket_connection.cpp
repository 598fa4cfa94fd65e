#include "corvid/app/websocket_connection.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
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

void Connection::attach(std::shared_ptr<FrameLog> log) {
  std::lock_guard lock(log_mutex_);
  // Once: writers read the log through log_view_, without a reference of their own.
  if (log_ || !log) return;
  advance_cursor(log->head());
  log_ = std::move(log);
  log_view_.store(log_.get(), std::memory_order_release);
}

bool Connection::notify() {
  std::lock_guard lock(log_mutex_);
  if (!log_) return true;
  std::vector<Frame> frames;
  std::size_t bytes = 0;
  const std::uint64_t from = cursor();
  if (!log_->read(from, std::numeric_limits<std::size_t>::max(),
                  std::numeric_limits<std::size_t>::max(), frames, bytes))
    return true;
  bool taken = true;
  for (const auto& frame : frames)
    if (!send(frame)) {
      taken = false;
      break;
    }
  advance_cursor(from + frames.size());
  return taken;
}

// ---- WebSocketConnection ------------------------------------------------------------------

namespace {

// The writer takes this much of the log per step (one lock of the log, one gathered write: two
// buffers a frame, within the kernel's limit of 1024 a write).
constexpr std::size_t kLogBatchFrames = 256;
// Batches one writer run writes back to back before it lets the thread's other work in.
constexpr int kWriteRounds = 4;
constexpr std::size_t kLogBatchBytes = std::size_t{256} << 10;
// The first read of a message asks for this much (see read_once).
constexpr std::size_t kFirstReadBytes = 128;

std::int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

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
  auto conn = std::shared_ptr<WebSocketConnection>(
      new WebSocketConnection(strand, std::move(rebound), std::move(request), limits));
  conn->watch_control_frames();
  return conn;
}

WebSocketConnection::WebSocketConnection(asio::any_io_executor strand, asio::ip::tcp::socket socket,
                                         UpgradeRequest request, ConnectionLimits limits)
    : strand_(std::move(strand)),
      ws_(std::move(socket)),
      request_(std::make_unique<UpgradeRequest>(std::move(request))),
      deadline_(strand_),
      limits_(limits) {
  set_up_socket();
}

std::shared_ptr<WebSocketConnection> WebSocketConnection::adopt(Stream accepted,
                                                                ConnectionLimits limits) {
  auto conn = std::shared_ptr<WebSocketConnection>(
      new WebSocketConnection(std::move(accepted), limits));
  conn->watch_control_frames();
  return conn;
}

// The stream's executor is the session's strand, so the websocket layer's own timers never race
// the connection's reads and writes; the connection runs its own handlers on that strand too
// (a second strand on top of it would only add a queue to every completion).
WebSocketConnection::WebSocketConnection(Stream accepted, ConnectionLimits limits)
    : strand_(accepted.get_executor()),
      ws_(std::move(accepted)),
      deadline_(strand_),
      limits_(limits),
      adopted_(true) {
  state_ = State::open;
  set_up_socket();
}

void WebSocketConnection::set_up_socket() {
  beast::error_code ec;
  auto endpoint = beast::get_lowest_layer(ws_).remote_endpoint(ec);
  if (!ec) remote_ = endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
  // The writer already puts a backlog into one write; a frame that comes alone should not wait
  // for the peer's acknowledgement of the previous one.
  beast::get_lowest_layer(ws_).set_option(asio::ip::tcp::no_delay(true), ec);
}

// The websocket layer answers the peer's close frame and then waits for the peer to close TCP;
// a peer that keeps it open would hold the connection (and its place in the registry) until the
// layer's own timeout. The close frame is seen here, inside the read, on the strand.
void WebSocketConnection::watch_control_frames() {
  ws_.control_callback([weak = weak_from_this()](websocket::frame_type kind, beast::string_view) {
    if (kind != websocket::frame_type::close) return;
    if (auto self = weak.lock()) self->on_peer_close();
  });
}

void WebSocketConnection::set_peer_close_handler(PeerCloseHandler handler) {
  peer_close_handler_ = std::move(handler);
}

void WebSocketConnection::on_peer_close() {
  if (peer_closed_) return;
  peer_closed_ = true;
  peer_closed_flag_.store(true, std::memory_order_release);
  {
    std::lock_guard lock(mutex_);
    peer_close_code_ = ws_.reason().code;
    if (state_ == State::open) state_ = State::closing;
  }
  if (peer_close_handler_) peer_close_handler_();
  linger_ = std::make_unique<asio::steady_timer>(strand_, limits_.close_linger);
  linger_->async_wait([weak = weak_from_this()](const beast::error_code& ec) {
    if (ec) return;
    if (auto self = weak.lock()) self->drop("closed by the peer", false);
  });
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
    // The websocket layer keeps its own handshake and idle timers (with pings).
    self->ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    self->ws_.read_message_max(self->limits_.max_message_bytes);
    self->ws_.auto_fragment(false);  // one frame per message, written from its text
    self->ws_.write_buffer_bytes(64);
    auto [ec] = co_await self->ws_.async_accept(*self->request_, tuple_awaitable);
    self->request_.reset();
    if (ec) {
      self->drop("handshake failed: " + ec.message(), false);
      throw beast::system_error(ec);
    }
    {
      std::lock_guard lock(self->mutex_);
      if (self->state_ == State::created) self->state_ = State::open;
    }
    // Frames queued during the handshake leave now.
    self->wake();
  };
  co_await asio::co_spawn(strand_, std::move(handshake), asio::use_awaitable);
}

bool WebSocketConnection::send(Frame frame) { return send_all(std::span<const Frame>(&frame, 1)); }

bool WebSocketConnection::send_all(std::span<const Frame> frames) {
  for (const auto& frame : frames)
    if (!frame) return false;
  bool refused = false;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::closing || state_ == State::closed || close_queued_) {
      if (error_.empty()) error_ = "connection is closed";
      return false;
    }
    for (const auto& frame : frames) {
      if (queued_bytes_ + frame->size() > limits_.max_queued_bytes) {
        // The peer sends requests but does not read the answers.
        mark_closed_locked("outbound queue full (" + std::to_string(queued_bytes_) +
                           " bytes of replies not read)");
        refused = true;
        break;
      }
      queued_bytes_ += frame->size();
      queue_.push_back(frame);
    }
  }
  if (refused) {
    // The peer is not reading, so a close frame would never be read: drop the socket.
    asio::post(strand_, [self = shared_from_this()] { self->drop(self->error_text(), false); });
    return false;
  }
  wake();
  return true;
}

bool WebSocketConnection::notify() {
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::closed) {
      if (error_.empty()) error_ = "connection is closed";
      return false;
    }
  }
  wake();
  return true;
}

bool WebSocketConnection::notify_grouped(std::vector<std::shared_ptr<Connection>>& wake) {
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::closed) {
      if (error_.empty()) error_ = "connection is closed";
      return false;
    }
  }
  if (!writing_.exchange(true, std::memory_order_seq_cst)) wake.push_back(shared_from_this());
  return true;
}

void WebSocketConnection::start_writer() {
  // Dispatched: on a loop thread with the strand free this runs the writer right here, so a
  // group of connections costs the relay one post instead of one per connection.
  asio::dispatch(strand_, [self = shared_from_this()] { self->write_next(); });
}

asio::any_io_executor WebSocketConnection::loop_executor() const {
  if (const auto* strand = strand_.target<asio::strand<asio::io_context::executor_type>>())
    return strand->get_inner_executor();
  if (const auto* strand = strand_.target<asio::strand<asio::any_io_executor>>())
    return strand->get_inner_executor();
  return strand_;
}

void WebSocketConnection::wake() {
  if (writing_.exchange(true, std::memory_order_seq_cst)) return;
  asio::post(strand_, [self = shared_from_this()] { self->write_next(); });
}

bool WebSocketConnection::taking_data() const {
  {
    // A connection on its way out takes nothing more; the relay must not wait for it.
    std::lock_guard lock(mutex_);
    if (state_ != State::open || close_queued_) return false;
  }
  if (peer_closed_flag_.load(std::memory_order_acquire)) return false;
  const std::int64_t since = write_since_ms_.load(std::memory_order_acquire);
  return since == 0 || steady_ms() - since < kStallGraceMs;
}

void WebSocketConnection::cut(const std::string& why) {
  {
    std::lock_guard lock(mutex_);
    mark_closed_locked(why);
  }
  asio::post(strand_, [self = shared_from_this(), why] { self->drop(why, false); });
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
  if (const auto* attached = log_view()) close_after_ = attached->head();
  close_code_ = code;
  close_text_ = std::move(reason);
  if (!writing_.exchange(true, std::memory_order_acq_rel))
    asio::post(strand_, [self = shared_from_this()] { self->write_next(); });
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
    if (!self->closed_signal_)
      self->closed_signal_ = std::make_unique<asio::steady_timer>(
          self->strand_, asio::steady_timer::time_point::max());
    auto result = co_await (self->closed_signal_->async_wait(tuple_awaitable) ||
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
  if (adopted_) {
    // The endpoint's coroutine already runs on the stream's strand: no hop, and no second
    // coroutine frame under every idle connection.
    Received received = co_await read_once();
    co_return received;
  }
  auto read = [self]() -> asio::awaitable<Received> {
    Received received = co_await self->read_once();
    co_return received;
  };
  auto received = co_await asio::co_spawn(strand_, std::move(read), asio::use_awaitable);
  co_return received;
}

// On the strand.
asio::awaitable<Received> WebSocketConnection::read_once() {
  auto self = shared_from_this();
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::created || state_ == State::closed) co_return Received{};
  }
  if (peer_closed_) co_return Received{};
  // A whole-message read would size the buffer for a full TCP frame before anything came;
  // most requests are a few bytes ("ping"), so a small first read keeps an idle connection
  // small, and the rest of a longer message follows in one more read.
  beast::flat_buffer buffer;
  beast::error_code ec;
  std::size_t limit = kFirstReadBytes;
  for (;;) {
    auto [read_ec, n] = co_await ws_.async_read_some(buffer, limit, tuple_awaitable);
    (void)n;
    ec = read_ec;
    if (ec || ws_.is_message_done()) break;
    limit = limits_.max_message_bytes;
  }
  if (!ec) {
    const auto kind = ws_.got_text() ? Received::Kind::text : Received::Kind::binary;
    co_return Received{kind, beast::buffers_to_string(buffer.data())};
  }
  co_return read_ended(ec);
}

Received WebSocketConnection::read_ended(const beast::error_code& ec) {
  if (ec == websocket::error::closed || peer_closed_) {
    {
      std::lock_guard lock(mutex_);
      if (peer_close_code_ == 0) peer_close_code_ = ws_.reason().code;
    }
    drop("closed by the peer", false);
    return Received{};
  }
  drop(ec.message(), false);
  if (ends_quietly(ec)) return Received{};
  return Received{Received::Kind::failed, ec.message()};
}

void WebSocketConnection::serve(MessageHandler handler) {
  // Posted: the caller may be on another thread, and the first read must start on the strand.
  asio::dispatch(strand_, [self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->reader_ = std::move(handler);
    bool ended = false;
    {
      std::lock_guard lock(self->mutex_);
      ended = self->state_ == State::created || self->state_ == State::closed;
    }
    if (ended || self->peer_closed_) {
      auto reader = std::move(self->reader_);
      self->reader_ = nullptr;
      if (reader) reader(Received{});
      return;
    }
    self->read_next(kFirstReadBytes);
  });
}

void WebSocketConnection::read_next(std::size_t limit) {
  // The handler holds the connection: while a read is pending, nothing else needs to.
  ws_.async_read_some(read_buffer_, limit,
                      [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                        self->on_read(ec);
                      });
}

void WebSocketConnection::on_read(const beast::error_code& ec) {
  if (!reader_) return;
  if (!ec && !ws_.is_message_done()) {
    read_next(limits_.max_message_bytes);
    return;
  }
  if (ec) {
    Received ended = read_ended(ec);
    read_buffer_ = beast::flat_buffer();
    // Let go of the handler before calling it: it may hold what holds this connection.
    auto reader = std::move(reader_);
    reader_ = nullptr;
    reader(std::move(ended));
    return;
  }
  const auto kind = ws_.got_text() ? Received::Kind::text : Received::Kind::binary;
  Received message{kind, beast::buffers_to_string(read_buffer_.data())};
  // An idle connection keeps no more than a small first read's room.
  if (read_buffer_.capacity() > kFirstReadBytes)
    read_buffer_ = beast::flat_buffer();
  else
    read_buffer_.clear();
  if (!reader_(std::move(message))) {
    reader_ = nullptr;
    return;
  }
  if (reader_) read_next(kFirstReadBytes);
}

// A server's frames are unmasked, so a frame is its header and its text as they are: every
// reader writes the same shared text and only the few header bytes are its own.
std::size_t encode_text_header(std::size_t length, std::array<unsigned char, 10>& out) {
  out[0] = 0x81;  // FIN, text
  if (length < 126) {
    out[1] = static_cast<unsigned char>(length);
    return 2;
  }
  if (length <= 0xFFFF) {
    out[1] = 126;
    out[2] = static_cast<unsigned char>(length >> 8);
    out[3] = static_cast<unsigned char>(length);
    return 4;
  }
  out[1] = 127;
  for (int i = 0; i < 8; ++i)
    out[2 + i] = static_cast<unsigned char>(static_cast<std::uint64_t>(length) >> (56 - 8 * i));
  return 10;
}

void WebSocketConnection::release_batch(bool idle) {
  own_batch_.clear();
  log_batch_.clear();
  headers_.clear();
  buffers_.clear();
  own_bytes_ = 0;
  batch_bytes_ = 0;
  // An idle connection keeps no batch room; a busy one keeps what one batch needs.
  if (idle || log_batch_.capacity() > kLogBatchFrames) {
    std::vector<Frame>().swap(own_batch_);
    std::vector<Frame>().swap(log_batch_);
    std::vector<std::array<unsigned char, 10>>().swap(headers_);
    std::vector<asio::const_buffer>().swap(buffers_);
  }
}

void WebSocketConnection::batch_written() {
  if (!own_batch_.empty()) {
    std::lock_guard lock(mutex_);
    queued_bytes_ -= std::min(queued_bytes_, own_bytes_);
  }
  if (!log_batch_.empty()) advance_cursor(log_batch_seq_ + log_batch_.size());
  release_batch(false);
}

// The writer takes the connection's own frames and then the log's frames past the cursor in one
// step, and writes them as one gathered write straight to the socket: first without waiting
// (most batches go at once), and what the socket did not take then waits for room under the
// write deadline. No lock is held across a write. The websocket layer's own frames (pongs,
// keep-alive pings, the close) go through the same socket and never interleave with a batch.
// Each completion holds a reference, so the connection lives while a batch is in flight.
void WebSocketConnection::write_next() {
  auto& layer = ws_.next_layer();
  // Looked at again until there is one: the registry attaches the log just after the welcome
  // is queued.
  const FrameLog* attached = log_view();
  for (int round = 0;; ++round) {
    if (dropped_ || peer_closed_) {
      release_batch(true);
      writing_.store(false, std::memory_order_release);
      return;
    }
    release_batch(false);
    if (layer.layer_writing()) {
      // A control frame of the websocket layer is going out: the batch follows it. Weak: the
      // socket is the connection's own member, and a strong pointer there would be a cycle if
      // that write never completes (the loop stopped).
      layer.when_layer_idle([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->write_next();
      });
      return;
    }
    if (round == kWriteRounds) {
      // A long backlog: let the other connections of this thread have their turn.
      asio::post(strand_, [self = shared_from_this()] { self->write_next(); });
      return;
    }

    bool send_close = false;
    std::uint64_t close_after = 0;
    bool closing = false;
    {
      std::lock_guard lock(mutex_);
      if (state_ == State::closed || state_ == State::created) {
        release_batch(true);
        writing_.store(false, std::memory_order_release);
        return;
      }
      if (!queue_.empty()) own_batch_.swap(queue_);
      closing = close_queued_;
      close_after = close_after_;
    }
    if (!attached) attached = log_view();
    if (attached) {
      const std::uint64_t from = cursor();
      const std::uint64_t end = closing ? close_after : attached->head();
      if (from < end) {
        std::size_t bytes = 0;
        if (!attached->read(from, std::min<std::uint64_t>(kLogBatchFrames, end - from),
                            kLogBatchBytes, log_batch_, bytes)) {
          // Trimmed past this connection: the registry no longer counts it.
          drop("no longer registered", false);
          continue;
        }
        log_batch_seq_ = from;
      }
    }
    if (!own_batch_.empty() || !log_batch_.empty()) {
      const std::size_t count = own_batch_.size() + log_batch_.size();
      headers_.resize(count);
      buffers_.reserve(2 * count);
      std::size_t i = 0;
      auto add = [&](const Frame& frame) {
        const std::size_t header = encode_text_header(frame->size(), headers_[i]);
        buffers_.emplace_back(headers_[i].data(), header);
        buffers_.emplace_back(frame->data(), frame->size());
        batch_bytes_ += header + frame->size();
        ++i;
      };
      for (const auto& frame : own_batch_) {
        own_bytes_ += frame->size();
        add(frame);  // replies first: they never wait behind the account's frames
      }
      for (const auto& frame : log_batch_) add(frame);

      beast::error_code ec;
      layer.send_now(buffers_, ec);
      if (ec == asio::error::would_block || ec == asio::error::try_again) ec = {};
      if (ec) {
        drop("write failed: " + ec.message(), true);
        release_batch(true);
        writing_.store(false, std::memory_order_release);
        return;
      }
      if (buffers_.empty()) {
        batch_written();
        continue;
      }
      // The socket took part of the batch: the rest waits for room, under the write deadline.
      write_starting();
      layer.write_gathered(buffers_, [self = shared_from_this()](const beast::error_code& wec) {
        self->on_written(wec, 0);
      });
      return;
    }
    {
      std::lock_guard lock(mutex_);
      if (close_queued_ && !close_started_) {
        close_started_ = true;
        send_close = true;
        if (state_ == State::open) state_ = State::closing;
      }
    }
    if (send_close) {
      release_batch(true);
      write_starting();
      websocket::close_reason why(static_cast<websocket::close_code>(close_code_), close_text_);
      ws_.async_close(why, [self = shared_from_this()](const beast::error_code& ec) {
        self->on_close_written(ec);
      });
      return;
    }
    // Idle. A producer that came in after the checks above found writing_ set and did not
    // post: look once more before leaving. Sequentially consistent with the producers'
    // exchange and the log's head, so that one of the two sides sees the other.
    release_batch(true);
    writing_.store(false, std::memory_order_seq_cst);
    bool more = false;
    {
      std::lock_guard lock(mutex_);
      more = !queue_.empty() || (close_queued_ && !close_started_);
    }
    if (!more) {
      if (!attached) attached = log_view();
      if (attached) more = cursor() < attached->head() && !closing;
    }
    if (!more || writing_.exchange(true, std::memory_order_acq_rel)) return;
  }
}

void WebSocketConnection::on_written(const beast::error_code& ec, std::size_t /*bytes*/) {
  in_flight_ = false;
  write_since_ms_.store(0, std::memory_order_release);
  if (ec) {
    bool cut;
    {
      std::lock_guard lock(mutex_);
      cut = state_ == State::closed;
    }
    // A write cut by the watchdog, the registry or the peer's close was already handled.
    if (!cut && !peer_closed_) drop("write failed: " + ec.message(), true);
    release_batch(true);
    writing_.store(false, std::memory_order_release);
    return;
  }
  batch_written();
  write_next();
}

void WebSocketConnection::on_close_written(const beast::error_code& ec) {
  in_flight_ = false;
  write_since_ms_.store(0, std::memory_order_release);
  drop(ec ? "close failed: " + ec.message() : "closed", false);
  writing_.store(false, std::memory_order_release);
}

// One timer per connection watches the writes instead of one per write: a write starting only
// records the time, and the timer, when it fires, cuts the connection if the write under way
// started more than write_timeout ago, or sleeps until that write's own deadline.
void WebSocketConnection::write_starting() {
  write_started_ = std::chrono::steady_clock::now();
  write_since_ms_.store(std::max<std::int64_t>(1, steady_ms()), std::memory_order_release);
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
    beast::get_lowest_layer(ws_).shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).close(ignored);
    deadline_.cancel();
    if (linger_) linger_->cancel();
    if (closed_signal_) closed_signal_->cancel();  // wakes close_and_wait
    log::get("websocket_hub")->debug("[ws {}] connection {} ended: {}", remote_, id(), error);
  }
  if (report) report_failure(error);
}

}  // namespace corvid::app
