#pragma once
// Internal to the /api/parlo router: the route builder every area shares, the answer rules
// (flag, data) and one function per area returning its routes in document order.
// Owner: parlo_routes*.cpp only. Threads: the builders run once at start-up; the answer helpers
// are pure and run on the request's strand.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/verb.hpp>

#include "corvid/app/http/response.hpp"
#include "corvid/app/http/router.hpp"
#include "corvid/app/routers/parlo_routes.hpp"
#include "corvid/utils/json.hpp"

namespace corvid::app::routers::parlo {

inline constexpr std::string_view kPrefix = "/api/parlo";

// An entry under /api/parlo with the router's tag, the common answer record and the key check.
http::Route make_route(boost::beast::http::verb method, std::string_view path,
                       std::string operation, std::string summary, std::string description,
                       bool login_guard);

using BodyRecord = const http::Record& (*)();

// What every row of an area's table names: method, path under kPrefix, the operation and its
// documentation, and the JSON body record (nullptr: none). An area's row adds what differs.
struct RouteRow {
  boost::beast::http::verb method;
  const char* path;
  const char* operation;
  const char* summary;
  const char* description;
  BodyRecord body;
};

// A handler of an area that answers by itself (send, rooms), and its row.
using AreaHandler = boost::asio::awaitable<http::Response> (*)(ParloService&, http::Request&);
struct HandlerRow {
  RouteRow route;
  AreaHandler handler;
};

// The routes of an area's table, in its order, behind the key and the login guard: each row's
// common fields, then finish(route, row) sets the handler and whatever else the area needs.
template <class Row, std::size_t N, class Finish>
std::vector<http::Route> table_routes(const Row (&table)[N], Finish finish) {
  std::vector<http::Route> routes;
  routes.reserve(N);
  for (const Row& row : table) {
    const RouteRow& r = row.route;
    http::Route route = make_route(r.method, r.path, r.operation, r.summary, r.description, true);
    if (r.body != nullptr) route.body = &r.body();
    finish(route, row);
    routes.push_back(std::move(route));
  }
  return routes;
}

// The flag rule: success when the operation's result counts as true; never any data.
http::Response flag_answer(bool ok, std::string_view success, std::string_view failure);
http::Response flag_answer(const Json& result, std::string_view success, std::string_view failure);

// The data rule: success when the result is not null (empty values included), with the result
// as data; a result whose text would pass the answer limit is answered as a failure.
http::Response data_answer(Json result, std::string_view success, std::string_view failure);

// A text field of a body the record has already validated (present and a text).
inline std::string body_text(const http::Request& request, const char* field) {
  return request.json.at(field).get<std::string>();
}

// The areas, each in registration order.
std::vector<http::Route> client_routes(ParloService& service);  // status .. current_uid
std::vector<http::Route> send_routes(ParloService& service);    // text, room_at, card,
                                                                // link_card, xml, pat
std::vector<http::Route> upload_routes(ParloService& service, const ParloRouteOptions& options);
std::vector<http::Route> contact_routes(ParloService& service);
std::vector<http::Route> room_routes(ParloService& service);
std::vector<http::Route> sql_routes(ParloService& service);

}  // namespace corvid::app::routers::parlo
