// WebSocket fan-out load tool. Opens K connections of the logged-in account to a running Corvid,
// has the simulated client emit N stamped events through its control socket, and reads every
// relayed frame on every connection:
//   delivered/expected, lost, reordered, frames/s (first inject to last frame) and the p50/p99
//   emit-to-receive latency (the event's "t_ns" against CLOCK_MONOTONIC at receipt; the server
//   and this tool run on the same machine, so the clocks agree).
// With --events 0 it only holds the K connections idle and reports the server's RSS before and
// after (--rss-pid), which is the per-connection memory figure. With --rss-pid and events it also
// reports the server's peak RSS during the burst (VmHWM, reset before the inject).
//
// The tool's own read ceiling: `--serve` runs a bare WebSocket server (no JSON, no registry, no
// relay: a burst built and encoded once up front and written to every connection as one write
// straight to its socket; paced events encoded once each and written to every connection from
// one group of connections per loop thread); the same tool with `--ceiling` against it, instead
// of a Corvid and its control socket, reads those frames as it reads Corvid's and prints the
// same figures, which are then the most this tool can measure on this machine (the most frames
// a second, the least latency).
//
// Beast makes each handshake; after the welcome frame the tool reads and parses the server's
// frames straight from the socket, answering pings and the close itself.
//
// One process reads what one event loop takes: --procs N forks N reader processes that share
// the connections (each with --threads loop threads) and merges their counts, so the tool's
// ceiling, measured at the same --procs, rises with N.
//
// Many connections need many descriptors (raise `ulimit -n`) and many local ports: --sources S
// spreads them over the source addresses 127.0.0.1 .. 127.0.0.S, and the port is chosen at
// connect time (IP_BIND_ADDRESS_NO_PORT), so each address has the whole ephemeral range.
//
// Prints human lines and one "RESULT key=value ..." line for scripts. Exit 0 when every frame
// arrived in order, 1 otherwise, 2 on a usage or set-up error.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kTuple = net::as_tuple(net::use_awaitable);
using BindNoPort = net::detail::socket_option::boolean<IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT>;

std::int64_t monotonic_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

struct Options {
  std::string host = "127.0.0.1";
  unsigned short port = 0;
  std::string key;
  std::string uid = "uid_standin";
  std::string control;
  int connections = 1;
  std::int64_t events = 1000;
  int interval_ms = 0;
  int size = 0;
  int sources = 1;
  int threads = 4;
  int parallel = 128;
  int rss_pid = 0;
  double idle_timeout_s = 10;
  bool serve = false;
  bool ceiling = false;
  int procs = 1;
  // --slow: connections beside the measured ones that read at slow_rate bytes a second; they
  // are not counted, only whether the server cut them.
  int slow = 0;
  std::uint64_t slow_rate = 1'000'000;
  // Set in a reader process of --procs: its share of the connections is numbered
  // first_index, first_index + index_step, ... (the source addresses follow the whole run's
  // numbering), and it talks to the parent through two pipes.
  int first_index = 0;
  int index_step = 1;
  int up_fd = -1;
  int down_fd = -1;
};

// Finds `"name": <integer>` in a frame without parsing the whole JSON: a million frames are read
// per run, and the tool must not be the bottleneck it measures.
bool find_int(std::string_view text, std::string_view key, std::int64_t& out) {
  auto at = text.find(key);
  if (at == std::string_view::npos) return false;
  at += key.size();
  while (at < text.size() && (text[at] == ' ' || text[at] == ':')) ++at;
  auto [ptr, ec] = std::from_chars(text.data() + at, text.data() + text.size(), out);
  return ec == std::errc();
}

struct Connection {
  explicit Connection(net::any_io_executor ex) : ws(ex) {}
  // Beast makes the handshake and reads the welcome frame; from then on the frames are read
  // straight from the socket and parsed here (a server's frames are not masked, so each is a
  // header and its text): Beast's read adds several layers of bookkeeping to every frame, and
  // the tool must not be the bottleneck it measures.
  websocket::stream<tcp::socket> ws;
  beast::flat_buffer buffer;
  // The connection's own writes after the handshake (pongs, the "go" of --ceiling, the close),
  // one at a time, on the connection's strand.
  std::deque<std::string> out;
  bool writing = false;
  bool ended = false;  // the reader is done: the socket closes once the writes are out
  std::int64_t last_seq = -1;
  std::int64_t delivered = 0;
  std::int64_t reordered = 0;
  std::int64_t last_receive_ns = 0;
  std::vector<std::int64_t> latency_ns;
};

struct Totals {
  std::atomic<std::int64_t> connected{0};
  std::atomic<std::int64_t> failed{0};
  std::atomic<std::int64_t> frames{0};
  std::atomic<std::int64_t> finished_readers{0};
  std::atomic<bool> closing{false};      // set when this tool starts closing
  std::atomic<std::int64_t> dropped{0};  // connections that ended before that
  std::mutex error_mutex;
  std::string first_error;
  void fail(const std::string& text) {
    failed.fetch_add(1);
    std::lock_guard lock(error_mutex);
    if (first_error.empty()) first_error = text;
  }
};

constexpr unsigned char kOpText = 0x1;
constexpr unsigned char kOpClose = 0x8;
constexpr unsigned char kOpPing = 0x9;
constexpr unsigned char kOpPong = 0xA;

// A final frame's header: opcode, then the payload length with the mask bit when masked.
void append_header(std::string& out, unsigned char opcode, std::size_t n, bool masked) {
  const char mask_bit = masked ? static_cast<char>(0x80) : 0;
  out.push_back(static_cast<char>(0x80 | opcode));
  if (n < 126) {
    out.push_back(static_cast<char>(mask_bit | static_cast<char>(n)));
  } else if (n <= 0xFFFF) {
    out.push_back(static_cast<char>(mask_bit | 126));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n & 0xFF));
  } else {
    out.push_back(static_cast<char>(mask_bit | 127));
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  }
}

// One client frame (masked, as a client's must be), whole and final.
std::string client_frame(unsigned char opcode, std::string_view payload) {
  std::string frame;
  append_header(frame, opcode, payload.size(), true);
  const unsigned char mask[4] = {0x5a, 0xa5, 0x3c, 0xc3};
  for (unsigned char m : mask) frame.push_back(static_cast<char>(m));
  for (std::size_t i = 0; i < payload.size(); ++i)
    frame.push_back(static_cast<char>(static_cast<unsigned char>(payload[i]) ^ mask[i % 4]));
  return frame;
}

net::awaitable<void> write_out(std::shared_ptr<Connection> c) {
  while (!c->out.empty()) {
    auto [ec, n] =
        co_await net::async_write(c->ws.next_layer(), net::buffer(c->out.front()), kTuple);
    c->out.pop_front();
    if (ec) c->out.clear();
  }
  c->writing = false;
  if (c->ended) c->ws.next_layer().close();
}

// On the connection's strand: queues one frame of the connection's own.
void send_frame(const std::shared_ptr<Connection>& c, unsigned char opcode,
                std::string_view payload) {
  c->out.push_back(client_frame(opcode, payload));
  if (std::exchange(c->writing, true)) return;
  net::co_spawn(c->ws.get_executor(), write_out(c), net::detached);
}

// Takes one relayed text frame.
void take_frame(Connection& c, Totals& totals, std::string_view text, std::int64_t now) {
  std::int64_t seq = 0;
  std::int64_t t_ns = 0;
  if (!find_int(text, "\"seq\"", seq) || !find_int(text, "\"t_ns\"", t_ns)) return;
  if (seq != c.last_seq + 1) {
    if (seq <= c.last_seq) ++c.reordered;
  }
  c.last_seq = std::max(c.last_seq, seq);
  ++c.delivered;
  c.last_receive_ns = now;
  c.latency_ns.push_back(now - t_ns);
  totals.frames.fetch_add(1, std::memory_order_relaxed);
}

net::awaitable<void> read_frames(std::shared_ptr<Connection> c, Totals& totals,
                                 std::int64_t expected) {
  c->latency_ns.reserve(static_cast<std::size_t>(expected));
  auto& socket = c->ws.next_layer();
  // What Beast read past the welcome frame comes first.
  std::vector<char> data(std::max<std::size_t>(64 << 10, c->buffer.size()));
  std::size_t have = net::buffer_copy(net::buffer(data), c->buffer.data());
  c->buffer = beast::flat_buffer();
  bool ended = false;
  while (!ended) {
    if (have == data.size()) data.resize(data.size() * 2);
    auto [ec, n] = co_await socket.async_read_some(
        net::buffer(data.data() + have, data.size() - have), kTuple);
    if (ec) {
      if (!totals.closing.load()) totals.dropped.fetch_add(1);
      break;
    }
    have += n;
    const std::int64_t now = monotonic_ns();
    std::size_t at = 0;
    while (have - at >= 2) {
      const auto* p = reinterpret_cast<const unsigned char*>(data.data() + at);
      const unsigned char opcode = p[0] & 0x0F;
      std::size_t header = 2;
      std::uint64_t length = p[1] & 0x7F;
      if (length == 126) {
        header = 4;
        if (have - at < header) break;
        length = (std::uint64_t{p[2]} << 8) | p[3];
      } else if (length == 127) {
        header = 10;
        if (have - at < header) break;
        length = 0;
        for (int i = 0; i < 8; ++i) length = (length << 8) | p[2 + i];
      }
      if (have - at < header + length) {
        if (header + length > data.size()) data.resize(header + length);
        break;
      }
      const std::string_view payload(data.data() + at + header, length);
      if (opcode == kOpText) {
        take_frame(*c, totals, payload, now);
      } else if (opcode == kOpPing) {
        send_frame(c, kOpPong, payload);
      } else if (opcode == kOpClose) {
        // The server's close: an answer to ours, or its own (answered, then the end).
        if (!totals.closing.load()) {
          totals.dropped.fetch_add(1);
          send_frame(c, kOpClose, payload.substr(0, 2));
        }
        ended = true;
        break;
      }
      at += header + length;
    }
    std::memmove(data.data(), data.data() + at, have - at);
    have -= at;
  }
  c->ended = true;
  if (!c->writing) socket.close();
  totals.finished_readers.fetch_add(1);
}

net::awaitable<void> connect_some(const Options& o, net::io_context& io,
                                  std::vector<std::shared_ptr<Connection>>& all,
                                  std::atomic<int>& next, Totals& totals, std::int64_t expected) {
  const tcp::endpoint server(net::ip::make_address(o.host), o.port);
  const std::string target =
      "/api/ws/connect/" + o.uid + "?api_key=" + o.key + "&client_name=bench";
  const std::string host_header = o.host + ":" + std::to_string(o.port);
  for (int i = next.fetch_add(1); i < o.connections; i = next.fetch_add(1)) {
    auto c = std::make_shared<Connection>(net::make_strand(io));
    all[static_cast<std::size_t>(i)] = c;
    try {
      auto& socket = c->ws.next_layer();
      socket.open(tcp::v4());
      socket.set_option(BindNoPort(true));
      const int global = o.first_index + i * o.index_step;
      net::ip::address_v4::bytes_type source{127, 0, 0,
                                             static_cast<unsigned char>(1 + global % o.sources)};
      socket.bind(tcp::endpoint(net::ip::address_v4(source), 0));
      co_await c->ws.next_layer().async_connect(server, net::use_awaitable);
      co_await c->ws.async_handshake(host_header, target, net::use_awaitable);
      co_await c->ws.async_read(c->buffer, net::use_awaitable);  // the welcome frame
      c->buffer.consume(c->buffer.size());
    } catch (const std::exception& e) {
      totals.fail(e.what());
      all[static_cast<std::size_t>(i)].reset();
      continue;
    }
    totals.connected.fetch_add(1);
    net::co_spawn(c->ws.get_executor(), read_frames(c, totals, expected), net::detached);
  }
}

// On the connection's strand: the close frame (code 1000); its reader ends on the answer.
void close_one(const std::shared_ptr<Connection>& c) {
  const char normal[2] = {0x03, static_cast<char>(0xE8)};
  send_frame(c, kOpClose, std::string_view(normal, 2));
}

std::string control_command(const std::string& path, const nlohmann::json& command) {
  net::io_context io;
  net::local::stream_protocol::socket socket(io);
  socket.connect(net::local::stream_protocol::endpoint(path));
  const std::string line = command.dump() + "\n";
  net::write(socket, net::buffer(line));
  std::string answer;
  net::read_until(socket, net::dynamic_buffer(answer), '\n');
  return answer.substr(0, answer.find('\n'));
}

std::int64_t rss_kib(int pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stoll(line.substr(prefix.size()));
  }
  return -1;
}

double percentile_ms(std::vector<std::int64_t>& values, double p) {
  if (values.empty()) return 0;
  auto k = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
  return static_cast<double>(values[k]) / 1e6;
}

// ---- --procs: reader processes ------------------------------------------------------------
// One process reads at most what one epoll loop and its threads take; --procs N forks N reader
// processes, each with its share of the connections, and merges their counts here. The parent
// holds no connection: it waits until every reader is connected, injects, and collects.

bool write_all(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool read_all(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// What a reader process reports once connected, and once done.
struct ReaderConnected {
  std::int64_t connected = 0;
  std::int64_t failed = 0;
  char first_error[200] = {};
};
struct ReaderDone {
  std::int64_t delivered = 0;
  std::int64_t reordered = 0;
  std::int64_t dropped = 0;
  std::int64_t last_receive_ns = 0;
  std::int64_t latencies = 0;  // this many int64 values follow
};

// Commands from the parent to a reader process.
constexpr char kCmdRead = 'g';     // events are coming: read them
constexpr char kCmdCeiling = 'c';  // send the ceiling server its "go", then read
constexpr char kCmdQuit = 'q';     // idle run over: close

// ---- --serve: the bare fan-out server of the read ceiling ----------------------------------

std::string ceiling_frame(std::int64_t seq, std::int64_t t_ns, int size) {
  // The shape and size of a relayed event, indented as Corvid writes it.
  std::string pad = size > 0 ? std::string(static_cast<std::size_t>(size), 'x') : std::string();
  return "{\n  \"type\": 11046,\n  \"data\": {\n    \"from_uid\": \"uid_alice\",\n    \"content\": "
         "\"bench" +
         pad + "\",\n    \"seq\": " + std::to_string(seq) +
         ",\n    \"t_ns\": " + std::to_string(t_ns) + "\n  }\n}";
}

// One connection of the ceiling server. queue and writing belong to the peer's strand: writes
// to one socket go one at a time, in order.
struct CeilingPeer {
  explicit CeilingPeer(tcp::socket socket) : ws(std::move(socket)) {}
  websocket::stream<beast::tcp_stream> ws;
  std::deque<std::shared_ptr<const std::string>> queue;
  bool writing = false;
};

struct CeilingServer {
  // One strand per group of connections: a group of one event is written before the same group
  // of the next, even when a thread was held up for longer than the interval.
  explicit CeilingServer(net::io_context& io, int threads) {
    for (int i = 0; i < std::max(1, threads); ++i) groups.push_back(net::make_strand(io));
  }
  std::vector<net::strand<net::io_context::executor_type>> groups;
  std::mutex mutex;  // guards peers
  std::vector<std::shared_ptr<CeilingPeer>> peers;
};

// The least work a server can do for a burst: every frame encoded once, up front, into one
// buffer (server frames are unmasked, so each is a header and its text), and that buffer
// written to each connection as one write straight to the socket.
std::string encode_frames(const std::vector<std::string>& frames) {
  std::string out;
  std::size_t total = 0;
  for (const auto& frame : frames) total += frame.size() + 10;
  out.reserve(total);
  for (const auto& frame : frames) {
    append_header(out, kOpText, frame.size(), false);
    out += frame;
  }
  return out;
}

net::awaitable<void> ceiling_write(std::shared_ptr<CeilingPeer> peer) {
  // The reader never pings, so nothing else writes to this socket meanwhile.
  while (!peer->queue.empty()) {
    auto encoded = std::move(peer->queue.front());
    peer->queue.pop_front();
    auto [ec, n] =
        co_await net::async_write(peer->ws.next_layer().socket(), net::buffer(*encoded), kTuple);
    if (ec) peer->queue.clear();
  }
  peer->writing = false;
}

// Hands encoded to every connection, each on its own strand, as Corvid does: the connections
// go to the loop in one group per thread, and each is written at once where its socket has
// room (the rest of it, or the whole of it behind a write under way, waits in its queue).
void ceiling_send(CeilingServer& server, std::shared_ptr<const std::string> encoded) {
  std::vector<std::shared_ptr<CeilingPeer>> targets;
  {
    std::lock_guard lock(server.mutex);
    targets = server.peers;
  }
  const std::size_t per_group = (targets.size() + server.groups.size() - 1) / server.groups.size();
  for (std::size_t from = 0, g = 0; from < targets.size(); from += per_group, ++g) {
    std::vector<std::shared_ptr<CeilingPeer>> group(
        targets.begin() + static_cast<std::ptrdiff_t>(from),
        targets.begin() + static_cast<std::ptrdiff_t>(std::min(targets.size(), from + per_group)));
    net::post(server.groups[g], [group = std::move(group), encoded] {
      for (const auto& peer : group) {
        net::dispatch(peer->ws.get_executor(), [peer, encoded] {
          if (!peer->writing) {
            const ssize_t n = ::send(peer->ws.next_layer().socket().native_handle(),
                                     encoded->data(), encoded->size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            const std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
            if (sent == encoded->size()) return;
            peer->queue.push_back(std::make_shared<const std::string>(encoded->substr(sent)));
          } else {
            peer->queue.push_back(encoded);
          }
          if (std::exchange(peer->writing, true)) return;
          net::co_spawn(peer->ws.get_executor(), ceiling_write(peer), net::detached);
        });
      }
    });
  }
}

// A burst (interval 0) is built and encoded at once and handed over as one buffer; paced
// events are built, stamped and handed over one at a time, interval_ms apart.
net::awaitable<void> ceiling_events(CeilingServer& server, long long count, int size,
                                    int interval_ms) {
  if (interval_ms <= 0) {
    // Built once, as Corvid builds a frame once for all the connections of an account.
    std::vector<std::string> frames;
    frames.reserve(static_cast<std::size_t>(count));
    for (long long i = 0; i < count; ++i) frames.push_back(ceiling_frame(i, monotonic_ns(), size));
    ceiling_send(server, std::make_shared<const std::string>(encode_frames(frames)));
    co_return;
  }
  net::steady_timer timer(co_await net::this_coro::executor);
  auto next = Clock::now();
  for (long long i = 0; i < count; ++i) {
    ceiling_send(server, std::make_shared<const std::string>(
                             encode_frames({ceiling_frame(i, monotonic_ns(), size)})));
    next += std::chrono::milliseconds(interval_ms);
    timer.expires_at(next);
    co_await timer.async_wait(kTuple);
  }
}

net::awaitable<void> ceiling_peer(tcp::socket socket, CeilingServer& server) {
  // Small paced writes must not wait for the peer's delayed ACK, as Corvid's do not.
  socket.set_option(tcp::no_delay(true));
  auto peer = std::make_shared<CeilingPeer>(std::move(socket));
  auto& ws = peer->ws;
  auto [ec] = co_await ws.async_accept(kTuple);
  if (ec) co_return;
  ws.text(true);
  const std::string welcome = "{\n  \"type\": \"connection_established\"\n}";
  std::tie(ec, std::ignore) = co_await ws.async_write(net::buffer(welcome), kTuple);
  if (ec) co_return;
  {
    std::lock_guard lock(server.mutex);
    server.peers.push_back(peer);
  }
  beast::flat_buffer buffer;
  for (;;) {
    auto [rec, n] = co_await ws.async_read(buffer, kTuple);
    if (rec) break;
    const std::string text = beast::buffers_to_string(buffer.data());
    buffer.consume(buffer.size());
    long long count = 0;
    int size = 0;
    int interval_ms = 0;
    if (std::sscanf(text.c_str(), "go %lld %d %d", &count, &size, &interval_ms) < 1) continue;
    net::co_spawn(net::make_strand(ws.get_executor()),
                  ceiling_events(server, count, size, interval_ms), net::detached);
  }
  std::lock_guard lock(server.mutex);
  server.peers.erase(std::remove(server.peers.begin(), server.peers.end(), peer),
                     server.peers.end());
}

int serve(const Options& o) {
  net::io_context io(o.threads);
  tcp::acceptor acceptor(io, tcp::endpoint(net::ip::make_address(o.host), o.port));
  std::printf("port %u\n", static_cast<unsigned>(acceptor.local_endpoint().port()));
  std::fflush(stdout);
  CeilingServer server(io, o.threads);
  net::co_spawn(
      io,
      [&]() -> net::awaitable<void> {
        for (;;) {
          auto [ec, socket] = co_await acceptor.async_accept(net::make_strand(io), kTuple);
          if (ec) co_return;
          net::co_spawn(socket.get_executor(), ceiling_peer(std::move(socket), server),
                        net::detached);
        }
      },
      net::detached);
  std::vector<std::thread> pool;
  for (int i = 0; i < o.threads; ++i) pool.emplace_back([&io] { io.run(); });
  for (auto& t : pool) t.join();
  return 0;
}

// The control command that has the simulated client emit the stamped events.
nlohmann::json inject_command(const Options& o) {
  nlohmann::json inject = {
      {"cmd", "inject"},
      {"message", {{"type", 11046}, {"data", {{"from_uid", "uid_alice"}, {"content", "bench"}}}}},
      {"count", o.events},
      {"interval_ms", o.interval_ms},
      {"stamp", true}};
  if (o.size > 0) inject["size"] = o.size;
  return inject;
}

// Forgets the server's peak so far, so VmHWM then follows the burst alone; gives its RSS now.
std::int64_t reset_peak_rss(const Options& o) {
  if (!o.rss_pid) return -1;
  std::ofstream(("/proc/" + std::to_string(o.rss_pid) + "/clear_refs").c_str()) << "5";
  return rss_kib(o.rss_pid, "VmRSS");
}

// Idle: lets the server settle its per-connection state, then reads its RSS and prints the
// per-connection figure.
void report_idle(const Options& o, std::int64_t live, std::int64_t rss_before, double connect_s) {
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const std::int64_t rss_after = o.rss_pid ? rss_kib(o.rss_pid, "VmRSS") : -1;
  const double per_conn =
      live > 0 ? static_cast<double>(rss_after - rss_before) * 1024 / static_cast<double>(live) : 0;
  std::printf("server RSS %lld KiB -> %lld KiB with %lld idle connections (%.0f B each)\n",
              static_cast<long long>(rss_before), static_cast<long long>(rss_after),
              static_cast<long long>(live), per_conn);
  std::printf(
      "RESULT mode=idle k=%d connected=%lld rss_before_kib=%lld rss_after_kib=%lld "
      "per_conn_b=%.0f connect_s=%.2f procs=%d\n",
      o.connections, static_cast<long long>(live), static_cast<long long>(rss_before),
      static_cast<long long>(rss_after), per_conn, connect_s, o.procs);
}

// ---- --slow: paced readers beside the measured ones ---------------------------------------
// Each on a thread of its own with a blocking socket and a small receive buffer, so the
// server's writes to it wait for its pace; it reads until the server ends the connection or the
// run is over. A server that waits for it slows the measured readers; one that cuts it shows as
// cut.

class SlowReaders {
 public:
  SlowReaders(const Options& o, int count) {
    for (int i = 0; i < count; ++i) threads_.emplace_back([this, &o] { read(o); });
    // Connected (or failed) before the events come.
    std::unique_lock lock(mutex_);
    ready_cv_.wait(lock, [&] { return ready_ == count; });
  }
  ~SlowReaders() { stop(); }
  void stop() {
    stop_.store(true);
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }
  int connected() const { return connected_.load(); }
  int cut() const { return cut_.load(); }

 private:
  void read(const Options& o) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 16 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    timeval tv{0, 100'000};  // the stop flag is looked at this often
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(o.port);
    ::inet_pton(AF_INET, o.host.c_str(), &to.sin_addr);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    const std::string request = "GET /api/ws/connect/" + o.uid + "?api_key=" + o.key +
                                "&client_name=bench-slow HTTP/1.1\r\nHost: " + o.host +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n\r\n";
    ok = ok && write_all(fd, request.data(), request.size());
    std::string answer;
    char chunk[16 * 1024];
    while (ok && answer.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) ok = n < 0 && errno == EAGAIN;
      if (n > 0) answer.append(chunk, static_cast<std::size_t>(n));
    }
    ok = ok && answer.rfind("HTTP/1.1 101", 0) == 0;
    if (ok) connected_.fetch_add(1);
    {
      std::lock_guard lock(mutex_);
      ++ready_;
    }
    ready_cv_.notify_all();
    const auto started = Clock::now();
    std::uint64_t taken = 0;
    while (ok && !stop_.load()) {
      const std::size_t most = std::min<std::size_t>(sizeof chunk, o.slow_rate / 50 + 1);
      const ssize_t n = ::recv(fd, chunk, most, 0);
      if (n < 0 && errno == EAGAIN) continue;
      if (n <= 0) {
        if (!stop_.load()) cut_.fetch_add(1);
        break;
      }
      taken += static_cast<std::uint64_t>(n);
      std::this_thread::sleep_until(started +
                                    std::chrono::microseconds(taken * 1'000'000 / o.slow_rate));
    }
    ::close(fd);
  }

  std::vector<std::thread> threads_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connected_{0};
  std::atomic<int> cut_{0};
  std::mutex mutex_;  // guards ready_
  std::condition_variable ready_cv_;
  int ready_ = 0;
};

int report(const Options& o, std::int64_t live, std::int64_t delivered, std::int64_t reordered,
           std::int64_t dropped_count, std::int64_t t0, std::int64_t last_ns,
           std::vector<std::int64_t>& latencies, std::int64_t rss_start, std::int64_t peak_rss,
           double connect_s, const SlowReaders& slow) {
  const std::int64_t expected = live * o.events;
  const std::int64_t lost = std::max<std::int64_t>(0, expected - delivered);
  const double seconds = static_cast<double>(last_ns - t0) / 1e9;
  const double fps = seconds > 0 ? static_cast<double>(delivered) / seconds : 0;
  const double p50 = percentile_ms(latencies, 0.50);
  const double p99 = percentile_ms(latencies, 0.99);
  const char* mode = o.interval_ms > 0 ? "paced" : "burst";
  const long long dropped = static_cast<long long>(dropped_count);
  if (o.slow > 0)
    std::printf("beside %d reader(s) at %llu bytes/s, %d cut by the server\n", slow.connected(),
                static_cast<unsigned long long>(o.slow_rate), slow.cut());
  std::printf(
      "%s: %lld events to %lld connections: delivered %lld/%lld, lost %lld, reordered %lld, "
      "closed by the server %lld, %.2f s, %.0f frames/s, latency p50 %.2f ms p99 %.2f ms%s\n",
      mode, static_cast<long long>(o.events), static_cast<long long>(live),
      static_cast<long long>(delivered), static_cast<long long>(expected),
      static_cast<long long>(lost), static_cast<long long>(reordered), dropped, seconds, fps, p50,
      p99,
      peak_rss > 0 ? (", server RSS " + std::to_string(rss_start / 1024) +
                      " MiB at the start, peak " + std::to_string(peak_rss / 1024) + " MiB")
                         .c_str()
                   : "");
  std::printf(
      "RESULT mode=%s k=%d connected=%lld events=%lld interval_ms=%d expected=%lld "
      "delivered=%lld lost=%lld reordered=%lld dropped=%lld seconds=%.3f frames_per_s=%.0f "
      "p50_ms=%.3f p99_ms=%.3f connect_s=%.2f peak_rss_kib=%lld slow=%d slow_cut=%d\n",
      mode, o.connections, static_cast<long long>(live), static_cast<long long>(o.events),
      o.interval_ms, static_cast<long long>(expected), static_cast<long long>(delivered),
      static_cast<long long>(lost), static_cast<long long>(reordered), dropped, seconds, fps, p50,
      p99, connect_s, static_cast<long long>(peak_rss), slow.connected(), slow.cut());
  return (lost == 0 && reordered == 0 && live == o.connections) ? 0 : 1;
}

int run_readers(const Options& o) {
  net::io_context io(o.threads);
  auto guard = net::make_work_guard(io);
  std::vector<std::thread> pool;
  for (int i = 0; i < o.threads; ++i) pool.emplace_back([&io] { io.run(); });
  auto finish = [&] {
    guard.reset();
    for (auto& t : pool) t.join();
  };

  Totals totals;
  std::vector<std::shared_ptr<Connection>> all(static_cast<std::size_t>(o.connections));
  std::atomic<int> next{0};
  const std::int64_t rss_before = o.rss_pid ? rss_kib(o.rss_pid, "VmRSS") : -1;
  const auto connect_start = Clock::now();
  for (int i = 0; i < std::min(o.parallel, o.connections); ++i) {
    net::co_spawn(io, connect_some(o, io, all, next, totals, o.events), net::detached);
  }
  while (totals.connected.load() + totals.failed.load() < o.connections) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double connect_s = std::chrono::duration<double>(Clock::now() - connect_start).count();
  const bool child = o.up_fd >= 0;
  if (!child)
    std::printf("connected %lld/%d in %.2f s\n", static_cast<long long>(totals.connected.load()),
                o.connections, connect_s);
  if (totals.failed.load() > 0 && !child) {
    std::printf("failed %lld, first error: %s\n", static_cast<long long>(totals.failed.load()),
                totals.first_error.c_str());
  }
  const std::int64_t live = totals.connected.load();

  auto close_all = [&] {
    totals.closing.store(true);
    for (auto& c : all) {
      if (c) net::dispatch(c->ws.get_executor(), [c] { close_one(c); });
    }
    // Readers end when their close completes; a server that does not answer is cut off.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (totals.finished_readers.load() < live && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (totals.finished_readers.load() < live) io.stop();
    finish();
  };

  char command = kCmdRead;
  if (child) {
    ReaderConnected up;
    up.connected = totals.connected.load();
    up.failed = totals.failed.load();
    {
      std::lock_guard lock(totals.error_mutex);
      std::strncpy(up.first_error, totals.first_error.c_str(), sizeof up.first_error - 1);
    }
    if (!write_all(o.up_fd, &up, sizeof up) || !read_all(o.down_fd, &command, 1))
      command = kCmdQuit;
    if (command == kCmdQuit) {
      close_all();
      ReaderDone done;
      return write_all(o.up_fd, &done, sizeof done) ? 0 : 2;
    }
  }

  if (o.events == 0 && !child) {
    report_idle(o, live, rss_before, connect_s);
    close_all();
    return live == o.connections ? 0 : 1;
  }

  const SlowReaders slow(o, child ? 0 : o.slow);
  const nlohmann::json inject = inject_command(o);
  const std::int64_t rss_start = reset_peak_rss(o);
  const std::int64_t t0 = monotonic_ns();
  if (child && command != kCmdCeiling) {
    // The parent injects.
  } else if (o.ceiling) {
    std::shared_ptr<Connection> first;
    for (const auto& c : all)
      if (c) {
        first = c;
        break;
      }
    if (!first) {
      close_all();
      return 2;
    }
    const std::string go = "go " + std::to_string(o.events) + " " + std::to_string(o.size) + " " +
                           std::to_string(o.interval_ms);
    net::dispatch(first->ws.get_executor(), [first, go] { send_frame(first, kOpText, go); });
  } else {
    const std::string answer = control_command(o.control, inject);
    if (answer.find("\"ok\": true") == std::string::npos &&
        answer.find("\"ok\":true") == std::string::npos) {
      std::fprintf(stderr, "ws_fanout: inject refused: %s\n", answer.c_str());
      close_all();
      return 2;
    }
  }

  const std::int64_t expected = live * o.events;
  std::int64_t seen = 0;
  auto last_progress = Clock::now();
  while (totals.frames.load() < expected) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::int64_t now = totals.frames.load();
    if (now != seen) {
      seen = now;
      last_progress = Clock::now();
    } else if (std::chrono::duration<double>(Clock::now() - last_progress).count() >
               o.idle_timeout_s) {
      break;
    }
  }
  const std::int64_t peak_rss = o.rss_pid ? rss_kib(o.rss_pid, "VmHWM") : -1;
  close_all();

  std::int64_t delivered = 0, reordered = 0, last_ns = t0;
  std::vector<std::int64_t> latencies;
  latencies.reserve(static_cast<std::size_t>(totals.frames.load()));
  for (const auto& c : all) {
    if (!c) continue;
    delivered += c->delivered;
    reordered += c->reordered;
    last_ns = std::max(last_ns, c->last_receive_ns);
    latencies.insert(latencies.end(), c->latency_ns.begin(), c->latency_ns.end());
  }
  const std::int64_t dropped = totals.dropped.load();
  if (o.up_fd >= 0) {
    ReaderDone done{delivered, reordered, dropped, last_ns,
                    static_cast<std::int64_t>(latencies.size())};
    const bool sent = write_all(o.up_fd, &done, sizeof done) &&
                      write_all(o.up_fd, latencies.data(), latencies.size() * sizeof(std::int64_t));
    return sent ? 0 : 2;
  }
  return report(o, live, delivered, reordered, dropped, t0, last_ns, latencies, rss_start, peak_rss,
                connect_s, slow);
}

int run_parent(const Options& o) {
  struct Reader {
    pid_t pid = -1;
    int up = -1;
    int down = -1;
    int connections = 0;
  };
  std::vector<Reader> readers(static_cast<std::size_t>(o.procs));
  std::fflush(stdout);
  for (int r = 0; r < o.procs; ++r) {
    int up[2], down[2];
    if (::pipe(up) != 0 || ::pipe(down) != 0) {
      std::perror("ws_fanout: pipe");
      return 2;
    }
    Options child = o;
    child.procs = 1;
    child.first_index = r;
    child.index_step = o.procs;
    child.connections = o.connections / o.procs + (r < o.connections % o.procs ? 1 : 0);
    child.parallel = std::max(1, o.parallel / o.procs);
    child.rss_pid = 0;
    child.up_fd = up[1];
    child.down_fd = down[0];
    const pid_t pid = ::fork();
    if (pid < 0) {
      std::perror("ws_fanout: fork");
      return 2;
    }
    if (pid == 0) {
      ::close(up[0]);
      ::close(down[1]);
      for (int earlier = 0; earlier < r; ++earlier) {
        ::close(readers[static_cast<std::size_t>(earlier)].up);
        ::close(readers[static_cast<std::size_t>(earlier)].down);
      }
      const int code = child.connections > 0 ? run_readers(child) : 0;
      std::fflush(stdout);
      ::_exit(code);
    }
    ::close(up[1]);
    ::close(down[0]);
    readers[static_cast<std::size_t>(r)] = Reader{pid, up[0], down[1], child.connections};
  }
  auto reap = [&] {
    for (auto& reader : readers) {
      ::close(reader.down);
      ::close(reader.up);
      int status = 0;
      ::waitpid(reader.pid, &status, 0);
    }
  };

  const std::int64_t rss_before = o.rss_pid ? rss_kib(o.rss_pid, "VmRSS") : -1;
  const auto connect_start = Clock::now();
  std::int64_t live = 0, failed = 0;
  std::string first_error;
  for (auto& reader : readers) {
    if (reader.connections == 0) continue;
    ReaderConnected up;
    if (!read_all(reader.up, &up, sizeof up)) {
      std::fprintf(stderr, "ws_fanout: a reader process ended before it connected\n");
      reader.connections = 0;
      continue;
    }
    live += up.connected;
    failed += up.failed;
    if (first_error.empty() && up.first_error[0] != '\0') first_error = up.first_error;
  }
  const double connect_s = std::chrono::duration<double>(Clock::now() - connect_start).count();
  std::printf("connected %lld/%d in %.2f s (%d reader processes)\n", static_cast<long long>(live),
              o.connections, connect_s, o.procs);
  if (failed > 0)
    std::printf("failed %lld, first error: %s\n", static_cast<long long>(failed),
                first_error.c_str());

  auto collect = [&](std::int64_t& delivered, std::int64_t& reordered, std::int64_t& dropped,
                     std::int64_t& last_ns, std::vector<std::int64_t>& latencies) {
    for (auto& reader : readers) {
      if (reader.connections == 0) continue;
      ReaderDone done;
      if (!read_all(reader.up, &done, sizeof done)) continue;
      delivered += done.delivered;
      reordered += done.reordered;
      dropped += done.dropped;
      last_ns = std::max(last_ns, done.last_receive_ns);
      const std::size_t at = latencies.size();
      latencies.resize(at + static_cast<std::size_t>(done.latencies));
      if (!read_all(reader.up, latencies.data() + at,
                    static_cast<std::size_t>(done.latencies) * sizeof(std::int64_t)))
        latencies.resize(at);
    }
  };

  if (o.events == 0) {
    report_idle(o, live, rss_before, connect_s);
    for (auto& reader : readers)
      if (reader.connections > 0) write_all(reader.down, &kCmdQuit, 1);
    std::int64_t d = 0, r = 0, x = 0, l = 0;
    std::vector<std::int64_t> none;
    collect(d, r, x, l, none);
    reap();
    return live == o.connections ? 0 : 1;
  }

  const SlowReaders slow(o, o.slow);
  const nlohmann::json inject = inject_command(o);
  const std::int64_t rss_start = reset_peak_rss(o);
  const std::int64_t t0 = monotonic_ns();
  bool ceiling_sent = false;
  for (auto& reader : readers) {
    if (reader.connections == 0) continue;
    // Against the ceiling server one reader sends its "go" on one of its connections.
    const char command = o.ceiling && !ceiling_sent ? kCmdCeiling : kCmdRead;
    ceiling_sent = ceiling_sent || command == kCmdCeiling;
    write_all(reader.down, &command, 1);
  }
  if (!o.ceiling) {
    const std::string answer = control_command(o.control, inject);
    if (answer.find("\"ok\": true") == std::string::npos &&
        answer.find("\"ok\":true") == std::string::npos)
      std::fprintf(stderr, "ws_fanout: inject refused: %s\n", answer.c_str());
  }
  std::int64_t delivered = 0, reordered = 0, dropped = 0, last_ns = t0;
  std::vector<std::int64_t> latencies;
  collect(delivered, reordered, dropped, last_ns, latencies);
  const std::int64_t peak_rss = o.rss_pid ? rss_kib(o.rss_pid, "VmHWM") : -1;
  reap();
  return report(o, live, delivered, reordered, dropped, t0, last_ns, latencies, rss_start, peak_rss,
                connect_s, slow);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App cli{"WebSocket fan-out load tool for Corvid and the simulated client"};
  cli.add_option("--host", o.host, "server address");
  cli.add_option("--port", o.port, "server port (with --serve: 0 = any)");
  cli.add_option("--key", o.key, "API key");
  cli.add_flag("--serve", o.serve, "run the bare fan-out server of the read ceiling");
  cli.add_flag("--ceiling", o.ceiling, "read from a --serve server instead of a Corvid");
  cli.add_option("--uid", o.uid, "the logged-in account")->capture_default_str();
  cli.add_option("--control", o.control, "the simulated client's control socket");
  cli.add_option("--connections,-k", o.connections, "connections")->check(CLI::Range(1, 1000000));
  cli.add_option("--events,-n", o.events, "events to inject; 0 = hold the connections idle")
      ->capture_default_str();
  cli.add_option("--interval-ms", o.interval_ms, "0 = burst, else one event every M ms")
      ->capture_default_str();
  cli.add_option("--size", o.size, "pad each event's data to about B bytes");
  cli.add_option("--sources", o.sources, "source addresses 127.0.0.1 .. 127.0.0.S")
      ->check(CLI::Range(1, 254));
  cli.add_option("--threads", o.threads, "threads of this tool")->capture_default_str();
  cli.add_option("--parallel", o.parallel, "handshakes in flight")->capture_default_str();
  cli.add_option("--rss-pid", o.rss_pid, "report this process's RSS before and after connecting");
  cli.add_option("--idle-timeout", o.idle_timeout_s, "seconds without a frame before giving up")
      ->capture_default_str();
  cli.add_option("--procs", o.procs, "reader processes sharing the connections")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  cli.add_option("--slow", o.slow, "slow connections beside the measured ones (not counted)")
      ->check(CLI::Range(0, 1000));
  cli.add_option("--slow-rate", o.slow_rate, "bytes a second each slow connection reads")
      ->check(CLI::Range(std::uint64_t{1000}, std::uint64_t{1} << 40))
      ->capture_default_str();
  CLI11_PARSE(cli, argc, argv);
  if (o.serve) return serve(o);
  if (o.port == 0 || (!o.ceiling && o.key.empty())) {
    std::fprintf(stderr, "ws_fanout: --port and --key are needed\n");
    return 2;
  }
  if (o.events > 0 && o.control.empty() && !o.ceiling) {
    std::fprintf(stderr, "ws_fanout: --control is needed to inject events\n");
    return 2;
  }

  if (o.procs > 1) return run_parent(o);
  return run_readers(o);
}
