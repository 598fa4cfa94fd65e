#pragma once
// The framing rules of the front door: what a request header must say before any of its body
// is read, and the refusals for a header that could not be read at all. A body whose length
// the header does not fix beyond doubt is refused, since a proxy in front of the server could
// frame it differently and hide a second request inside it.
// Owner: none (pure functions on a parsed header). Threads: any. Every refusal here closes the
// connection: what follows the header on the wire cannot be trusted to start a request.
#include <optional>

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>

#include "corvid/app/http/response.hpp"

namespace corvid::app::http {

// 400 "Invalid HTTP request received." (plain text), for a request the parser could not read.
Response bad_request();

// nullopt when the header frames its body beyond doubt, else the refusal: 400, or 501 for a
// transfer coding the server does not apply. Only "chunked" is understood, once and last;
// Transfer-Encoding excludes Content-Length and HTTP/1.0. An HTTP/1.1 request names exactly one
// Host.
std::optional<Response> framing_refusal(const boost::beast::http::request_header<>& header);

// A header over the parser's limit: 414 when the request line itself did not fit (the partial
// header has no target yet), 431 when the fields after it did not.
Response header_too_large(const boost::beast::http::request_header<>& partial);

// Whether the caller waits for "100 Continue" before it sends the body.
bool expects_continue(const boost::beast::http::request_header<>& header);

// Whether the header just parsed announces a body (chunked, or a Content-Length above 0).
bool has_body(const boost::beast::http::request_parser<boost::beast::http::empty_body>& parser);

}  // namespace corvid::app::http
