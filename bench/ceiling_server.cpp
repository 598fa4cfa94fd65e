// The ceiling reference for the HTTP figures: a bare Beast server that answers every request with
// the same small JSON, keep-alive, one coroutine per connection on an io_context run by as many
// threads as Corvid uses. It does the least work an HTTP/1.1 server can do per request, so the
// gap between it and Corvid is what routing, keys, validation and the handlers cost.
//
// Prints "port <n>" on stdout once it listens; runs until SIGINT/SIGTERM.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

constexpr auto kTuple = net::as_tuple(net::use_awaitable);
constexpr const char* kBody = R"({"status":"healthy","service":"ceiling"})";

net::awaitable<void> serve(tcp::socket socket) {
  beast::flat_buffer buffer;
  for (;;) {
    http::request<http::string_body> request;
    auto [read_ec, read_n] = co_await http::async_read(socket, buffer, request, kTuple);
    if (read_ec) break;
    http::response<http::string_body> response(http::status::ok, request.version());
    response.set(http::field::content_type, "application/json");
    response.keep_alive(request.keep_alive());
    response.body() = kBody;
    response.prepare_payload();
    auto [write_ec, write_n] = co_await http::async_write(socket, response, kTuple);
    if (write_ec || !response.keep_alive()) break;
  }
  beast::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
}

net::awaitable<void> accept_loop(tcp::acceptor& acceptor) {
  for (;;) {
    auto [ec, socket] =
        co_await acceptor.async_accept(net::make_strand(acceptor.get_executor()), kTuple);
    if (ec == net::error::operation_aborted) co_return;
    if (ec) continue;
    net::co_spawn(socket.get_executor(), serve(std::move(socket)), net::detached);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  unsigned short port = 0;
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  CLI::App cli{"bare Beast server answering a fixed JSON (the HTTP ceiling reference)"};
  cli.add_option("--host", host, "listen address");
  cli.add_option("--port", port, "listen port, 0 = any free port");
  cli.add_option("--threads", threads, "loop threads")->check(CLI::Range(1, 1024));
  CLI11_PARSE(cli, argc, argv);

  net::io_context io(threads);
  tcp::acceptor acceptor(io);
  const tcp::endpoint endpoint(net::ip::make_address(host), port);
  acceptor.open(endpoint.protocol());
  acceptor.set_option(net::socket_base::reuse_address(true));
  acceptor.bind(endpoint);
  acceptor.listen(net::socket_base::max_listen_connections);
  std::printf("port %u\n", static_cast<unsigned>(acceptor.local_endpoint().port()));
  std::fflush(stdout);

  net::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const beast::error_code&, int) {
    acceptor.close();
    io.stop();
  });
  net::co_spawn(io, accept_loop(acceptor), net::detached);

  std::vector<std::thread> pool;
  for (int i = 1; i < threads; ++i) pool.emplace_back([&io] { io.run(); });
  io.run();
  for (auto& t : pool) t.join();
  return 0;
}
