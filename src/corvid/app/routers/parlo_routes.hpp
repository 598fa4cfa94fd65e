#pragma once
// The /api/parlo router: the 36 routes that control the client, send messages, read and manage
// contacts and group chats, and run SQL, each a thin handler over one ParloService operation.
// Owner: the application registers them once, before the server starts; the service outlives
// the route table. Threads: handlers run on the request's strand; client calls run on the
// service's worker pool; uploads stage their file through blocking_executor.
// Guarantees: every answer is 200 with the common record except the router's own refusals
// (401, 413, 422, 400); a staged upload never outlives its request's cleanup.
#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>

namespace corvid::app {
class ParloService;
namespace http {
class Router;
}
}  // namespace corvid::app

namespace corvid::app::routers {

inline constexpr std::string_view kParloTag = "Parlo操作";
inline constexpr std::string_view kParloRouterLog = "parlo_router";

struct ParloRouteOptions {
  // Where uploads are staged, one private folder per request; empty: the system's temp folder.
  std::filesystem::path upload_root;
  // How long a staged upload stays after the client was handed its path: the client reads the
  // file on its own time, after the command was accepted.
  std::chrono::milliseconds staging_grace = std::chrono::seconds(2);
  // Runs the blocking file writes of uploads; empty: they run on the request's own executor.
  std::optional<boost::asio::any_io_executor> blocking_executor;
};

// Appends the 36 routes, in the order of the API document.
void add_parlo_routes(http::Router& router, ParloService& service, ParloRouteOptions options = {});

}  // namespace corvid::app::routers
