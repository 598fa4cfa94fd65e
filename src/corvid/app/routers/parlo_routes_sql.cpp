// The SQL route: the statement goes to the client as given (the API key is its only guard, as
// callers use it for arbitrary reads and maintenance of the client's databases).
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "corvid/app/http/record.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/routers/parlo_routes_parts.hpp"

namespace corvid::app::routers::parlo {
namespace {

namespace net = boost::asio;

net::awaitable<http::Response> sql_query(ParloService& service, http::Request& r) {
  Json result = co_await service.sql_query(r.json.at("sql").get<std::string>(),
                                           r.json.at("db").get<std::int64_t>());
  co_return data_answer(std::move(result), "查询成功", "查询失败");
}

}  // namespace

std::vector<http::Route> sql_routes(ParloService& service) {
  auto route = make_route(boost::beast::http::verb::post, "/sql_query", "sql_query",
                          "执行数据库查询", "执行数据库查询", true);
  route.body = &http::records::sql_query_request();
  route.handler = [&service](http::Request& r) { return sql_query(service, r); };
  std::vector<http::Route> routes;
  routes.push_back(std::move(route));
  return routes;
}

}  // namespace corvid::app::routers::parlo
