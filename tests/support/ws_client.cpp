#include "support/ws_client.hpp"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace corvid::test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;

struct WsClient::Impl {
  std::chrono::milliseconds timeout;
  net::io_context io;
  websocket::stream<beast::tcp_stream> ws{io};
  HttpResponse handshake;
  bool accepted = false;
  bool closed = false;

  template <class Start>
  beast::error_code run(Start start) {
    beast::error_code result = net::error::would_block;
    net::steady_timer timer(io);
    bool done = false;
    timer.expires_after(timeout);
    timer.async_wait([&](beast::error_code ec) {
      if (!ec && !done) beast::get_lowest_layer(ws).cancel();
    });
    start([&](beast::error_code ec, auto&&...) {
      done = true;
      result = ec;
      timer.cancel();
    });
    io.restart();
    io.run();
    return result;
  }
};

WsClient::WsClient(std::uint16_t port, std::string_view target, const HeaderList& headers,
                   std::chrono::milliseconds timeout)
    : impl_(std::make_unique<Impl>()) {
  impl_->timeout = timeout;
  beast::error_code ec;
  beast::get_lowest_layer(impl_->ws).socket().connect(
      tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
  if (ec) return;
  impl_->ws.set_option(websocket::stream_base::decorator([headers](websocket::request_type& req) {
    for (const auto& [name, value] : headers) req.insert(name, value);
  }));
  websocket::response_type response;
  const std::string host = "127.0.0.1:" + std::to_string(port);
  const std::string path(target);
  ec = impl_->run([&](auto handler) { impl_->ws.async_handshake(response, host, path, handler); });
  impl_->handshake.status = static_cast<int>(response.result_int());
  for (const auto& field : response)
    impl_->handshake.headers.insert(field.name_string(), field.value());
  impl_->handshake.body = response.body();
  impl_->accepted = !ec;
}

WsClient::~WsClient() {
  if (impl_->accepted && !impl_->closed) {
    beast::error_code ec;
    beast::get_lowest_layer(impl_->ws).socket().close(ec);
  }
}

bool WsClient::accepted() const { return impl_->accepted; }
const HttpResponse& WsClient::handshake() const { return impl_->handshake; }

std::optional<std::string> WsClient::read() {
  if (!impl_->accepted || impl_->closed) return std::nullopt;
  beast::flat_buffer buffer;
  const auto ec = impl_->run([&](auto handler) { impl_->ws.async_read(buffer, handler); });
  if (ec) {
    if (ec == websocket::error::closed) impl_->closed = true;
    return std::nullopt;
  }
  return beast::buffers_to_string(buffer.data());
}

bool WsClient::write(std::string_view text) {
  if (!impl_->accepted || impl_->closed) return false;
  impl_->ws.text(true);
  const auto ec = impl_->run(
      [&](auto handler) { impl_->ws.async_write(net::buffer(text.data(), text.size()), handler); });
  return !ec;
}

bool WsClient::write_binary(std::string_view bytes) {
  if (!impl_->accepted || impl_->closed) return false;
  impl_->ws.binary(true);
  const auto ec = impl_->run([&](auto handler) {
    impl_->ws.async_write(net::buffer(bytes.data(), bytes.size()), handler);
  });
  return !ec;
}

bool WsClient::write_raw(std::string_view bytes) {
  if (!impl_->accepted || impl_->closed) return false;
  const auto ec = impl_->run([&](auto handler) {
    net::async_write(beast::get_lowest_layer(impl_->ws), net::buffer(bytes.data(), bytes.size()),
                     handler);
  });
  return !ec;
}

void WsClient::close(std::uint16_t code) {
  if (!impl_->accepted || impl_->closed) return;
  impl_->run([&](auto handler) { impl_->ws.async_close(websocket::close_reason(code), handler); });
  impl_->closed = true;
}

std::uint16_t WsClient::close_code() const {
  return static_cast<std::uint16_t>(impl_->ws.reason().code);
}

}  // namespace corvid::test
