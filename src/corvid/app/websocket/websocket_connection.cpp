#include "corvid/app/websocket/websocket_connection.hpp"

#include <algorithm>
#include <utility>

#include <fmt/format.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/websocket/error.hpp>

#include "corvid/utils/log.hpp"
#include "corvid/utils/peer_gone.hpp"

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

// The writer takes this much of the log per step (one lock of the log, one gathered write: two
// buffers a frame, within the kernel's limit of 1024 a write).
constexpr std::size_t kLogBatchFrames = 256;
constexpr std::size_t kLogBatchBytes = std::size_t{256} << 10;
// Batches one writer run writes back to back before it lets the thread's other work in.
constexpr int kWriteRounds = 4;
// The first read of a message asks for this much: most requests are a few bytes ("ping"), and
// a whole-message read would size the buffer for a full TCP frame before anything came, so a
// small first read keeps an idle connection small; the rest of a longer message follows in one
// more read.
constexpr std::size_t kFirstReadBytes = 128;

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

long long milliseconds_of(std::chrono::steady_clock::duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

}  // namespace

// ---- Connection ---------------------------------------------------------------------------

Connection::Connection() : id_(next_connection_id()) {}

Connection::~Connection() { leave_log(); }

asio::awaitable<bool> Connection::close_and_wait(std::chrono::milliseconds, std::uint16_t code,
                                                 std::string reason) {
  close_ahead(code, std::move(reason));
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
  if (log_ || !log) return;
  log->join(place_, weak_from_this());
  log_ = std::move(log);
  place_view_.store(&place_, std::memory_order_release);
  log_view_.store(log_.get(), std::memory_order_release);
}

std::uint64_t Connection::cursor() const noexcept {
  const LogPlace* at = place();
  return at ? at->next() : 0;
}

void Connection::take_no_more() {
  if (auto* at = place()) log()->stop_at(*at, log()->head());
}

void Connection::leave_log() {
  std::shared_ptr<FrameLog> log;
  {
    std::lock_guard lock(log_mutex_);
    log = log_;
  }
  if (log) log->leave(place_);
}

// ---- WebSocketConnection: making and reading ----------------------------------------------

std::shared_ptr<WebSocketConnection> WebSocketConnection::adopt(Stream accepted,
                                                                ConnectionLimits limits) {
  auto conn =
      std::shared_ptr<WebSocketConnection>(new WebSocketConnection(std::move(accepted), limits));
  conn->set_up();
  return conn;
}

// The stream's executor is the session's strand, so the websocket layer's own timers never race
// the connection's reads and writes; the connection runs its own handlers on that strand too
// (a second strand on top of it would only add a queue to every completion).
WebSocketConnection::WebSocketConnection(Stream accepted, ConnectionLimits limits)
    : strand_(accepted.get_executor()),
      ws_(std::move(accepted)),
      deadline_(strand_),
      limits_(limits) {}

std::shared_ptr<WebSocketConnection> WebSocketConnection::self() {
  return std::static_pointer_cast<WebSocketConnection>(shared_from_this());
}

void WebSocketConnection::set_up() {
  auto& socket = beast::get_lowest_layer(ws_);
  beast::error_code ec;
  auto endpoint = socket.remote_endpoint(ec);
  if (!ec) remote_ = endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
  // The writer already puts a backlog into one write; a frame that comes alone should not wait
  // for the peer's acknowledgement of the previous one.
  socket.set_option(asio::ip::tcp::no_delay(true), ec);
  // The websocket layer answers the peer's close frame and then waits for the peer to close
  // TCP; a peer that keeps it open would hold the connection (and its place in the registry)
  // until the layer's own timeout. The close frame is seen here, inside the read, on the strand.
  ws_.control_callback([weak = weak_from_this()](websocket::frame_type kind, beast::string_view) {
    if (kind != websocket::frame_type::close) return;
    if (auto conn = weak.lock()) static_cast<WebSocketConnection&>(*conn).on_peer_close();
  });
  ws_.next_layer().watch(std::shared_ptr<SocketWatcher>(self(), static_cast<SocketWatcher*>(this)));
}

void WebSocketConnection::teardown_started() {
  drop_at(std::chrono::steady_clock::now() + limits_.close_linger,
          "the peer did not end TCP after the close");
}

asio::awaitable<void> WebSocketConnection::accept() {
  // The HTTP server completed the handshake before the connection was made.
  co_return;
}

void WebSocketConnection::set_peer_close_handler(PeerCloseHandler handler) {
  peer_close_handler_ = std::move(handler);
}

void WebSocketConnection::on_peer_close() {
  if (peer_closed_) return;
  peer_closed_ = true;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::open) state_ = State::closing;
  }
  // Nothing more goes to a peer that closed: what only it still needed in the log can go.
  leave_log();
  if (peer_close_handler_) peer_close_handler_();
  drop_at(std::chrono::steady_clock::now() + limits_.close_linger, "closed by the peer");
}

void WebSocketConnection::serve(MessageHandler handler) {
  // Dispatched: the caller may be on another thread, and the first read must start on the strand.
  asio::dispatch(strand_, [self = self(), handler = std::move(handler)]() mutable {
    self->reader_ = std::move(handler);
    bool ended = false;
    {
      std::lock_guard lock(self->mutex_);
      ended = self->state_ == State::closed;
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
  ws_.async_read_some(
      read_buffer_, limit,
      [self = self()](const beast::error_code& ec, std::size_t) { self->on_read(ec); });
}

void WebSocketConnection::on_read(const beast::error_code& ec) {
  if (!reader_) return;
  if (!ec && !ws_.is_message_done()) {
    read_next(kMessageLimit);
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

Received WebSocketConnection::read_ended(const beast::error_code& ec) {
  if (ec == websocket::error::closed || peer_closed_) {
    drop("closed by the peer", false);
    return Received{};
  }
  drop(ec.message(), false);
  // Only says the connection is gone: the peer went away without a close, the keep-alive
  // pings went unanswered, or this side dropped the socket (overflow, stall, shutdown).
  // Anything else is something the peer sent that the WebSocket layer refused.
  if (corvid::peer_gone(ec)) return Received{};
  return Received{Received::Kind::failed, ec.message()};
}

// ---- WebSocketConnection: what others ask of it ---------------------------------------------

bool WebSocketConnection::send(Frame frame) {
  if (!frame) return false;
  bool refused = false;
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::open || close_queued_) {
      if (error_.empty()) error_ = "connection is closed";
      return false;
    }
    if (queued_bytes_ + frame->size() > limits_.max_queued_bytes) {
      // The peer sends requests but does not read the answers.
      mark_closed_locked("outbound queue full (" + std::to_string(queued_bytes_) +
                         " bytes of replies not read)");
      refused = true;
    } else {
      queued_bytes_ += frame->size();
      queue_.push_back(std::move(frame));
    }
  }
  if (refused) {
    // The peer is not reading, so a close frame would never be read: drop the socket.
    asio::post(strand_, [self = self()] { self->drop(self->error_text(), false, true); });
    return false;
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
  asio::dispatch(strand_, [self = self()] { self->write_next(); });
}

asio::any_io_executor WebSocketConnection::loop_executor() const {
  if (const auto* strand = strand_.target<asio::strand<asio::io_context::executor_type>>())
    return strand->get_inner_executor();
  if (const auto* strand = strand_.target<asio::strand<asio::any_io_executor>>())
    return strand->get_inner_executor();
  return strand_;
}

void WebSocketConnection::cut(const std::string& why) {
  {
    std::lock_guard lock(mutex_);
    mark_closed_locked(why);
  }
  asio::post(strand_, [self = self(), why] { self->drop(why, false, true); });
}

void WebSocketConnection::close(std::uint16_t code, std::string reason) {
  queue_close(code, std::move(reason), false);
}

void WebSocketConnection::close_ahead(std::uint16_t code, std::string reason) {
  queue_close(code, std::move(reason), true);
}

void WebSocketConnection::queue_close(std::uint16_t code, std::string reason,
                                      bool ahead_of_backlog) {
  {
    std::lock_guard lock(mutex_);
    if (close_queued_ || state_ == State::closed) return;
    close_queued_ = true;
    close_code_ = code;
    close_text_ = std::move(reason);
    // Ahead of the backlog, the replies not yet written do not wait either.
    if (ahead_of_backlog) {
      queue_.clear();
      queued_bytes_ = 0;
    }
  }
  asio::post(strand_, [self = self()] { self->hold_until_dropped(); });
  // From here the connection takes no frame appended later; ahead of the backlog it takes no
  // frame past what it is writing now.
  if (auto* at = place()) log()->stop_at(*at, ahead_of_backlog ? at->next() : log()->head());
  wake();
}

void WebSocketConnection::hold_until_dropped() {
  if (dropped_) return;
  if (!closed_signal_) {
    closed_signal_ =
        std::make_unique<asio::steady_timer>(strand_, asio::steady_timer::time_point::max());
  }
  closed_signal_->async_wait([self = self()](const beast::error_code&) {});
}

asio::awaitable<bool> WebSocketConnection::close_and_wait(std::chrono::milliseconds limit,
                                                          std::uint16_t code, std::string reason) {
  using namespace asio::experimental::awaitable_operators;
  queue_close(code, std::move(reason), true);
  auto self = this->self();
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
    self->drop("close timed out", false, true);
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

// ---- WebSocketConnection: the writer ------------------------------------------------------

void WebSocketConnection::wake() {
  if (writing_.exchange(true, std::memory_order_seq_cst)) return;
  asio::post(strand_, [self = self()] { self->write_next(); });
}

// The writer takes the connection's own frames and then the log's frames from its place on in
// one step, and writes them as one gathered write straight to the socket: first without waiting
// (most batches go at once), and what the socket did not take then waits for room, watched for
// stalls. No lock is held across a write. The websocket layer's own frames (pongs, keep-alive
// pings, the close) go through the same socket and never interleave with a batch. Each
// completion holds a reference, so the connection lives while a batch is in flight.
void WebSocketConnection::write_next() {
  for (int round = 0;; ++round) {
    if (dropped_ || peer_closed_) return stop_writing();
    release_batch(false);
    if (ws_.next_layer().layer_writing()) return resume_after_layer();
    if (round == kWriteRounds) return yield_writer();
    switch (take_due()) {
      case Due::stop:
        return stop_writing();
      case Due::batch:
        if (!write_batch()) return;
        continue;
      case Due::close:
        return send_close();
      case Due::nothing:
        if (go_idle()) return;
        continue;
    }
  }
}

WebSocketConnection::Due WebSocketConnection::take_due() {
  bool close_due = false;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::closed) return Due::stop;
    if (!queue_.empty()) own_batch_.swap(queue_);
    close_due = close_queued_ && !close_started_;
  }
  if (auto* at = place()) {
    const std::uint64_t from = at->next();
    const std::uint64_t end = std::min(log()->head(), at->until());
    if (from < end) {
      std::size_t bytes = 0;
      if (!log()->read(from, std::min<std::uint64_t>(kLogBatchFrames, end - from), kLogBatchBytes,
                       log_batch_, bytes)) {
        // The log keeps every frame from each place on; one missing is a fault of this server.
        log::get("websocket_hub")
            ->error("[ws {}] connection {}: frame {} is no longer in its log", remote_, id(), from);
        drop("lost its place in the log", true, true);
        return Due::stop;
      }
      log_batch_seq_ = from;
    }
  }
  if (!own_batch_.empty() || !log_batch_.empty()) return Due::batch;
  return close_due ? Due::close : Due::nothing;
}

bool WebSocketConnection::write_batch() {
  const std::size_t count = own_batch_.size() + log_batch_.size();
  headers_.resize(count);
  buffers_.reserve(2 * count);
  std::size_t i = 0;
  auto add = [&](const Frame& frame) {
    const std::size_t header = encode_text_header(frame->size(), headers_[i]);
    buffers_.emplace_back(headers_[i].data(), header);
    buffers_.emplace_back(frame->data(), frame->size());
    ++i;
  };
  for (const auto& frame : own_batch_) {
    own_bytes_ += frame->size();
    add(frame);  // replies first: they never wait behind the account's frames
  }
  for (const auto& frame : log_batch_) add(frame);

  auto& layer = ws_.next_layer();
  beast::error_code ec;
  layer.send_now(buffers_, ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) ec = {};
  if (ec) {
    drop("write failed: " + ec.message(), true, true);
    stop_writing();
    return false;
  }
  // What went to the socket is on its way to the peer, watched for stalls until it has taken it.
  watch_progress();
  if (buffers_.empty()) {
    batch_written();
    return true;
  }
  // The socket took part of the batch: the rest waits for room.
  layer.write_gathered(buffers_,
                       [self = self()](const beast::error_code& wec) { self->on_written(wec); });
  return false;
}

void WebSocketConnection::send_close() {
  websocket::close_reason why;
  {
    std::lock_guard lock(mutex_);
    close_started_ = true;
    if (state_ == State::open) state_ = State::closing;
    why = websocket::close_reason(static_cast<websocket::close_code>(close_code_), close_text_);
  }
  // Nothing more goes out of the log for it.
  leave_log();
  release_batch(true);
  ws_.async_close(why,
                  [self = self()](const beast::error_code& ec) { self->on_close_written(ec); });
  // The close frame went to the socket with the call: the peer's time to answer starts once it
  // is out (until then the stall watchdog watches it).
  auto answer = [weak = weak_from_this()] {
    auto conn = weak.lock();
    if (!conn) return;
    auto& self = static_cast<WebSocketConnection&>(*conn);
    self.drop_at(std::chrono::steady_clock::now() + self.limits_.close_answer,
                 "the peer did not answer the close", true);
  };
  if (ws_.next_layer().layer_writing()) {
    ws_.next_layer().when_layer_idle(std::move(answer));
  } else {
    answer();
  }
}

bool WebSocketConnection::go_idle() {
  // A producer that came in after the look at the queue and the log found writing_ set and did
  // not post: look once more before leaving. Sequentially consistent with the producers'
  // exchange and the log's head, so that one of the two sides sees the other.
  release_batch(true);
  writing_.store(false, std::memory_order_seq_cst);
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    more = !queue_.empty() || (close_queued_ && !close_started_);
  }
  if (!more) {
    if (const auto* at = place()) more = at->next() < std::min(log()->head(), at->until());
  }
  return !more || writing_.exchange(true, std::memory_order_acq_rel);
}

void WebSocketConnection::stop_writing() {
  release_batch(true);
  writing_.store(false, std::memory_order_release);
}

void WebSocketConnection::resume_after_layer() {
  // Weak: the socket is the connection's own member, and a strong pointer there would be a
  // cycle if that write never completes (the loop stopped).
  ws_.next_layer().when_layer_idle([weak = weak_from_this()] {
    if (auto conn = weak.lock()) static_cast<WebSocketConnection&>(*conn).write_next();
  });
}

void WebSocketConnection::yield_writer() {
  asio::post(strand_, [self = self()] { self->write_next(); });
}

void WebSocketConnection::on_written(const beast::error_code& ec) {
  if (ec) {
    bool closed;
    {
      std::lock_guard lock(mutex_);
      closed = state_ == State::closed;
    }
    // A write cut by the watchdog, the registry or the peer's close was already handled.
    if (!closed && !peer_closed_) drop("write failed: " + ec.message(), true, true);
    stop_writing();
    return;
  }
  batch_written();
  write_next();
}

void WebSocketConnection::on_close_written(const beast::error_code& ec) {
  drop(ec ? "close failed: " + ec.message() : "closed", false);
  writing_.store(false, std::memory_order_release);
}

void WebSocketConnection::release_batch(bool idle) {
  own_batch_.clear();
  log_batch_.clear();
  headers_.clear();
  buffers_.clear();
  own_bytes_ = 0;
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
  if (!log_batch_.empty()) log()->advance(*place(), log_batch_seq_ + log_batch_.size());
  release_batch(false);
}

// ---- WebSocketConnection: stalls and the end ------------------------------------------------

// One timer per connection watches every write instead of one per write: a write starting
// only makes sure it runs. While anything is still on its way to the peer (a write waiting for
// room, or bytes the socket holds unacknowledged), it looks a few times a stall timeout at what
// the peer has taken, and cuts the connection once the peer has taken nothing for the stall
// timeout; the peer's progress is its own, whether the bytes wait here or in the kernel.
void WebSocketConnection::watch_progress() {
  if (watchdog_armed_ || dropped_) return;
  watchdog_armed_ = true;
  progress_at_ = std::chrono::steady_clock::now();
  taken_seen_ = ws_.next_layer().taken();
  next_watch();
}

void WebSocketConnection::next_watch() {
  deadline_.expires_after(std::max(limits_.stall_timeout / 4, std::chrono::milliseconds(10)));
  deadline_.async_wait([weak = weak_from_this()](const beast::error_code& ec) {
    if (ec) return;
    if (auto conn = weak.lock()) static_cast<WebSocketConnection&>(*conn).on_watchdog();
  });
}

void WebSocketConnection::on_watchdog() {
  const auto& layer = ws_.next_layer();
  const std::size_t waiting = layer.pending_bytes() + layer.unacknowledged();
  if (dropped_ || (waiting == 0 && !layer.write_pending())) {
    watchdog_armed_ = false;  // all taken: the next write arms it again
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (const std::uint64_t taken = layer.taken(); taken != taken_seen_) {
    taken_seen_ = taken;
    progress_at_ = now;
  } else if (now - progress_at_ >= limits_.stall_timeout) {
    drop(fmt::format("no byte taken for {} ms with {} bytes to take",
                     milliseconds_of(now - progress_at_), waiting),
         true, true);
    return;
  }
  next_watch();
}

void WebSocketConnection::drop_at(std::chrono::steady_clock::time_point when, std::string why,
                                  bool abort) {
  if (dropped_) return;
  if (!end_) {
    end_ = std::unique_ptr<End>(
        new End{asio::steady_timer(strand_, asio::steady_timer::time_point::max()), {}, false});
  }
  if (when >= end_->timer.expiry()) return;  // an earlier end is already set
  end_->reason = std::move(why);
  end_->abort = abort;
  end_->timer.expires_at(when);
  end_->timer.async_wait([weak = weak_from_this()](const beast::error_code& ec) {
    if (ec) return;
    if (auto conn = weak.lock()) {
      auto& self = static_cast<WebSocketConnection&>(*conn);
      self.drop(self.end_->reason, false, self.end_->abort);
    }
  });
}

void WebSocketConnection::mark_closed_locked(const std::string& error) {
  if (state_ == State::closed) return;
  state_ = State::closed;
  if (error_.empty()) error_ = error;
  queue_.clear();
  queued_bytes_ = 0;
}

void WebSocketConnection::drop(const std::string& error, bool report, bool abort) {
  {
    std::lock_guard lock(mutex_);
    mark_closed_locked(error);
  }
  if (!dropped_) {
    dropped_ = true;
    beast::error_code ignored;
    auto& socket = beast::get_lowest_layer(ws_);
    // A peer that stopped taking data gets a reset: what the kernel still holds for it is
    // dropped at once instead of lingering until it is read, and the peer learns it now.
    if (abort) socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    deadline_.cancel();
    if (end_) end_->timer.cancel();
    if (closed_signal_) closed_signal_->cancel();  // wakes close_and_wait, ends the hold
    leave_log();
    log::get("websocket_hub")->debug("[ws {}] connection {} ended: {}", remote_, id(), error);
  }
  if (report) report_failure(error);
}

}  // namespace corvid::app
