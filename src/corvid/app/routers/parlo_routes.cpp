#include "corvid/app/routers/parlo_routes.hpp"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "corvid/app/http/record.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/routers/parlo_routes_parts.hpp"

namespace corvid::app::routers {
namespace parlo {

http::Route make_route(boost::beast::http::verb method, std::string_view path,
                       std::string operation, std::string summary, std::string description,
                       bool login_guard) {
  http::Route route;
  route.method = method;
  route.path = std::string(kPrefix) + std::string(path);
  route.operation = std::move(operation);
  route.summary = std::move(summary);
  route.description = std::move(description);
  route.tags = {std::string(kParloTag)};
  route.response_record = http::records::base_response().name;
  route.auth = true;
  route.login_guard = login_guard;
  return route;
}

http::Response flag_answer(bool ok, std::string_view success, std::string_view failure) {
  return http::json_response(http::base_response(ok, std::string(ok ? success : failure)));
}

http::Response flag_answer(const Json& result, std::string_view success, std::string_view failure) {
  return flag_answer(ParloService::truthy(result), success, failure);
}

http::Response data_answer(Json result, std::string_view success, std::string_view failure) {
  Json failed = http::base_response(false, std::string(failure));
  if (result.is_null()) return http::json_response(failed);
  // The client's reply may be of any size: the session writes it out, off the loop threads
  // when it is large, and answers the failure when it passes the answer limit.
  return http::deferred_json_response(
      http::base_response(true, std::string(success), std::move(result)), std::move(failed));
}

}  // namespace parlo

void add_parlo_routes(http::Router& router, ParloService& service, ParloRouteOptions options) {
  using namespace parlo;
  std::vector<http::Route> routes = client_routes(service);
  // The document lists the uploads between the link card and the XML message.
  std::vector<http::Route> sends = send_routes(service);
  const std::size_t before_uploads = 4;
  for (std::size_t i = 0; i < sends.size() && i < before_uploads; ++i) {
    routes.push_back(std::move(sends[i]));
  }
  for (auto& r : upload_routes(service, options)) routes.push_back(std::move(r));
  for (std::size_t i = before_uploads; i < sends.size(); ++i) routes.push_back(std::move(sends[i]));
  for (auto& r : contact_routes(service)) routes.push_back(std::move(r));
  for (auto& r : room_routes(service)) routes.push_back(std::move(r));
  for (auto& r : sql_routes(service)) routes.push_back(std::move(r));
  for (auto& r : routes) router.add(std::move(r));
}

}  // namespace corvid::app::routers
