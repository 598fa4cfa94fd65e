#pragma once
// One HTTP connection: a coroutine on the connection's own strand that reads a request header,
// routes it, reads the body (whole, or streamed for upload routes), answers, and repeats while
// the connection is kept alive. A WebSocket upgrade hands the stream to its route for good,
// with the connection's place in the server's budget. A reserve connection (one past the cap)
// is served one request of a route marked served_past_cap, and 503 for anything else.
// Work on a large body or answer runs on the side pool, never on the strand's loop thread.
// Owner: shared by its coroutine and the server's weak registry. Threads: everything runs on the
// strand; close_if_idle and close may be called from any thread (they post to the strand).
// Guarantees: every request that was read gets exactly one answer; malformed input or framing
// that a proxy could read differently gets 400 (414/431/501) and ends this connection only; a
// keyed route's key is checked before any body is read or "100 Continue" sent; no exception
// leaves the coroutine.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "corvid/app/http/net.hpp"
#include "corvid/app/http/response.hpp"
#include "corvid/app/http/server.hpp"
#include "corvid/app/http/upload_body.hpp"

namespace corvid::app::http {

class Server;
class Router;
struct Request;

// A BodyConnection privately: the upload body of a request reads through it, and nothing else
// of the session is open to it.
class Session : public std::enable_shared_from_this<Session>, private BodyConnection {
 public:
  // `slot` is the connection's place in the server's budget (or in its reserve, `reserve`).
  Session(std::shared_ptr<Server> server, tcp::socket socket, std::uint64_t id, ConnectionSlot slot,
          bool reserve);

  // Starts the coroutine on the connection's strand.
  void start();
  // Closes the connection when it is waiting for the next request (keep-alive idle).
  void close_if_idle();
  // Closes the connection whatever it is doing (not after a WebSocket hand-off).
  void close();
  // The shutdown's drain is over: a request whose answer has not started is answered 503
  // {"detail"} with "Connection: close", and the connection is shut down. done runs on the
  // strand afterwards.
  void end_drain(std::function<void()> done);

 private:
  // BodyConnection, for the upload body of the request being served.
  net::awaitable<beast::error_code> send_continue() override;
  net::awaitable<beast::error_code> read_body_some(
      bhttp::request_parser<bhttp::buffer_body>& parser) override;
  void cancel_read() override;
  std::shared_ptr<BodyConnection> share() override;
  net::any_io_executor executor() const override;
  const ServerOptions& options() const override;
  std::uint64_t connection_id() const override { return id_; }

  // What the steps of a request made of it: the answer, and whether the body was read to the
  // end (else the connection closes after the answer). No answer: the connection ends here.
  struct Answer {
    std::optional<Response> response;
    bool body_read = true;
  };

  net::awaitable<void> run();
  // One request, in its steps: read and check the header, the reserve's admission, the
  // WebSocket hand-off, the answer, the write. False when the connection ends after it.
  net::awaitable<bool> serve_one();
  // Waits for the next header within the header deadline and a bounded buffer.
  net::awaitable<beast::error_code> read_header(bhttp::request_parser<bhttp::empty_body>& parser);
  // read_header, then the framing rules and the target into `request` (`raw_path`: the path as
  // sent). False when the connection ends here; a refusal is answered first.
  net::awaitable<bool> read_request(bhttp::request_parser<bhttp::empty_body>& parser,
                                    Request& request, std::string& raw_path);
  // On a reserve connection: whether this request may be served (once, then the close).
  bool admitted_past_cap(Request& request) const;
  // Preflight, route, 405, static mount, or 404 (or a redirect across a trailing slash).
  net::awaitable<Answer> answer_request(bhttp::request_parser<bhttp::empty_body>& parser,
                                        Request& request, const std::string& raw_path);
  // A matched route: the key from the header, the body limit, then the body as the route takes
  // it (streamed for uploads, whole otherwise) and the handler.
  net::awaitable<Answer> answer_route(bhttp::request_parser<bhttp::empty_body>& parser,
                                      Request& request);
  net::awaitable<Answer> answer_upload(bhttp::request_parser<bhttp::empty_body>& parser,
                                       Request& request, std::uint64_t limit);
  net::awaitable<Answer> answer_body(bhttp::request_parser<bhttp::empty_body>& parser,
                                     Request& request, std::uint64_t limit);
  net::awaitable<bool> write(const Request& request, Response response);
  // The common fields, the length and keep-alive, then send: one path for text and file bodies.
  template <class Body>
  net::awaitable<beast::error_code> send_answer(bhttp::response<Body>& res,
                                                const Response& response, bool keep_alive,
                                                bool head);
  // Writes one message under the connection's stall deadline (the header alone for HEAD).
  template <class Body>
  net::awaitable<beast::error_code> send(bhttp::response<Body>& res, bool head);
  net::awaitable<bool> drain_body(bhttp::request_parser<bhttp::empty_body>& parser,
                                  const bhttp::request_header<>& header);
  net::awaitable<void> run_websocket(Request& request);
  net::awaitable<void> linger();
  void close_now();
  void answer_drain_end();
  // The connection's one deadline for the read or write under way: closes the socket when it
  // passes. Setting it only stores a time; the timer behind it is re-armed when it fires, at
  // most once per timeout, instead of twice per request in the reactor's shared timer queue.
  void expire_after(std::chrono::steady_clock::duration timeout);
  void expire_never() { deadline_ = std::chrono::steady_clock::time_point::max(); }
  void watch();
  // While an answer waits for room in the kernel: whether the bytes queued there changed since
  // the last look (the peer took some), remembering the new figure.
  bool answer_moved();

  std::shared_ptr<Server> server_;
  net::any_io_executor executor_;  // the connection's strand; kept apart from the stream,
                                   // which a WebSocket hand-off moves away
  beast::tcp_stream stream_;
  net::steady_timer watchdog_;
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
  bool watching_ = false;  // a wait of the watchdog is pending (strand only)
  int unsent_ = -1;        // bytes the kernel held unsent at the last look while writing; -1: none
                           // (strand only)
  beast::flat_buffer buffer_;
  std::uint64_t id_;
  tcp::endpoint remote_;
  // Touched only on the strand; atomics because close_if_idle reads them from a posted handler
  // that the checker cannot tie to the strand.
  std::atomic<bool> idle_{false};
  std::atomic<bool> upgraded_{false};
  beast::error_code last_write_error_;
  ConnectionSlot slot_;  // moves to the WebSocket route at the hand-off
  const bool reserve_;
  bool large_message_ = false;   // the request just served had a large body or answer (strand only)
  bool answer_started_ = false;  // the current request's answer is being written (strand only)
  bool drain_answered_ = false;  // answered 503 at the drain's end (strand only)
};

}  // namespace corvid::app::http
