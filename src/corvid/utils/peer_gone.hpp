#pragma once
// The error codes that say a connection's peer has gone: it went away without a word, the
// connection's deadline passed, or this side dropped or shut the socket. Nothing is left to
// answer or to report for such a connection. One list for the HTTP session and the WebSocket
// connection, which share no library: header-only over Asio's and Beast's error codes (both
// includers use Boost's headers). Pure; any thread.
#include <boost/asio/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/system/error_code.hpp>

namespace corvid {

inline bool peer_gone(const boost::system::error_code& ec) {
  namespace error = boost::asio::error;
  return ec == error::eof || ec == error::connection_reset || ec == error::connection_aborted ||
         ec == error::broken_pipe || ec == error::operation_aborted || ec == error::not_connected ||
         ec == error::bad_descriptor || ec == error::shut_down ||
         ec == boost::beast::error::timeout;
}

}  // namespace corvid
