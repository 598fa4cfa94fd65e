#pragma once
// A small synchronous WebSocket client for tests, on Beast: opens 127.0.0.1:<port><target>,
// keeps the HTTP answer when the server refuses the upgrade, reads and writes text frames with
// a timeout, and reports the close code the server sent. Owner: one test thread.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "support/http_client.hpp"

namespace corvid::test {

class WsClient {
 public:
  WsClient(std::uint16_t port, std::string_view target, const HeaderList& headers = {},
           std::chrono::milliseconds timeout = std::chrono::seconds(5));
  ~WsClient();
  WsClient(const WsClient&) = delete;
  WsClient& operator=(const WsClient&) = delete;

  // True when the handshake completed (101).
  bool accepted() const;
  // The server's handshake answer: 101 when accepted, else the refusal (status, headers, body).
  const HttpResponse& handshake() const;

  // The next text frame; nullopt when the connection closed or nothing came in time.
  std::optional<std::string> read();
  bool write(std::string_view text);
  bool write_binary(std::string_view bytes);
  // Bytes straight onto the socket, past the WebSocket framing (for malformed frames).
  bool write_raw(std::string_view bytes);
  // Sends a close frame and waits for the server's.
  void close(std::uint16_t code = 1000);
  // The close code the server sent (0: none seen yet).
  std::uint16_t close_code() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvid::test
