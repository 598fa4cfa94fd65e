// The client lifecycle and account routes: status, open, attach, detach, wait for the login,
// the own profile and the logged-in account id.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "corvid/app/http/record.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/routers/parlo_routes_parts.hpp"
#include "corvid/core/parlo.hpp"

namespace corvid::app::routers::parlo {
namespace {

namespace net = boost::asio;
using boost::beast::http::verb;
using http::FieldType;

net::awaitable<http::Response> get_parlo_status(ParloService& service) {
  co_return http::json_response(http::status_response(service.get_status()));
}

net::awaitable<http::Response> open_parlo(ParloService& service, http::Request& request) {
  const bool smart = request.params.at("smart").get<bool>();
  const bool show_qrcode = request.params.at("show_qrcode").get<bool>();
  const bool ok = co_await service.open_parlo(smart, show_qrcode);
  co_return flag_answer(ok, "Parlo打开成功", "Parlo打开失败");
}

net::awaitable<http::Response> attach_parlo(ParloService& service, http::Request& request) {
  const auto pid = request.params.at("pid").get<std::int64_t>();
  const Json result = co_await service.attach_parlo(pid);
  const std::string id = std::to_string(pid);
  std::string failure = "附加到进程 " + id + " 失败";
  // The binding drives one client and refuses another while it does: the caller learns which
  // one, and the way to let it go.
  if (const core::Parlo* binding = service.parlo(); binding && !ParloService::truthy(result)) {
    if (const auto driven = binding->driven_pid(); driven && *driven != pid) {
      failure += ": 正在驱动进程 " + std::to_string(*driven) + "，请先分离 (POST " +
                 std::string(kPrefix) + "/detach)";
    }
  }
  co_return flag_answer(result, "成功附加到进程 " + id, failure);
}

net::awaitable<http::Response> detach_parlo(ParloService& service) {
  const Json result = co_await service.detach_parlo();
  co_return flag_answer(result, "成功分离Parlo进程", "分离Parlo进程失败");
}

net::awaitable<http::Response> wait_login(ParloService& service, http::Request& request) {
  std::optional<std::int64_t> timeout;
  if (const Json& t = request.params.at("timeout"); !t.is_null()) timeout = t.get<std::int64_t>();
  const bool ok = co_await service.wait_login(timeout);
  co_return flag_answer(ok, "登录成功", "登录超时或失败");
}

net::awaitable<http::Response> get_self_info(ParloService& service) {
  co_return data_answer(co_await service.get_self_info(), "获取成功", "获取自己信息失败");
}

net::awaitable<http::Response> get_current_uid(ParloService& service) {
  const std::optional<std::string> uid = service.current_login_uid();
  if (uid && !uid->empty()) {
    co_return data_answer(Json{{"uid", *uid}}, "获取当前ParloID成功", "");
  }
  co_return flag_answer(false, "", "未获取到当前ParloID，请确保Parlo已登录");
}

}  // namespace

std::vector<http::Route> client_routes(ParloService& service) {
  std::vector<http::Route> routes;

  auto status = make_route(verb::get, "/status", "get_parlo_status", "获取Parlo状态",
                           "获取当前Parlo进程状态和登录信息", false);
  status.response_record = http::records::parlo_status_response().name;
  status.handler = [&service](http::Request&) { return get_parlo_status(service); };
  routes.push_back(std::move(status));

  auto open = make_route(
      verb::post, "/open", "open_parlo", "打开Parlo",
      "打开Parlo客户端\n\n- smart: 是否智能模式\n- show_qrcode: 是否显示登录二维码", false);
  open.params = {http::query_param("smart", FieldType::boolean, false),
                 http::query_param("show_qrcode", FieldType::boolean, false)};
  open.handler = [&service](http::Request& r) { return open_parlo(service, r); };
  routes.push_back(std::move(open));

  auto attach = make_route(verb::post, "/attach/{pid}", "attach_parlo", "附加到Parlo进程",
                           "附加到已运行的Parlo进程", false);
  attach.params = {http::path_param("pid", FieldType::integer)};
  attach.handler = [&service](http::Request& r) { return attach_parlo(service, r); };
  routes.push_back(std::move(attach));

  auto detach = make_route(verb::post, "/detach", "detach_parlo", "分离Parlo进程",
                           "分离当前Parlo进程", false);
  detach.handler = [&service](http::Request&) { return detach_parlo(service); };
  routes.push_back(std::move(detach));

  auto wait = make_route(verb::post, "/wait_login", "wait_login", "等待Parlo登录",
                         "等待用户扫码登录", false);
  wait.params = {http::query_param("timeout", FieldType::nullable_integer, nullptr)};
  wait.handler = [&service](http::Request& r) { return wait_login(service, r); };
  routes.push_back(std::move(wait));

  auto self = make_route(verb::get, "/self_info", "get_self_info", "获取个人信息",
                         "获取自己的个人信息", true);
  self.handler = [&service](http::Request&) { return get_self_info(service); };
  routes.push_back(std::move(self));

  auto uid = make_route(verb::get, "/current_uid", "get_current_uid", "获取当前ParloID",
                        "获取当前登录的ParloID", true);
  uid.handler = [&service](http::Request&) { return get_current_uid(service); };
  routes.push_back(std::move(uid));

  return routes;
}

}  // namespace corvid::app::routers::parlo
