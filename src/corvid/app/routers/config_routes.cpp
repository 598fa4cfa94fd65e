#include "corvid/app/routers/config_routes.hpp"

#include <string>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/verb.hpp>

#include "corvid/app/config.hpp"
#include "corvid/app/http/record.hpp"
#include "corvid/app/http/router.hpp"
#include "corvid/app/security.hpp"

namespace corvid::app::routers {
namespace {

Json optional_text(const std::optional<std::string>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace

Json masked_config(const Config& config, const std::vector<std::string>& key_names) {
  Json keys = Json::object();
  for (const auto& name : key_names) keys[name] = kMaskedKey;
  return Json{
      {"server",
       {{"host", config.server.host},
        {"port", config.server.port},
        {"debug", config.server.debug}}},
      {"parlo",
       {{"exe_path", optional_text(config.parlo.exe_path)},
        {"version", optional_text(config.parlo.version)}}},
      {"auth", {{"api_keys", std::move(keys)}}},
  };
}

void add_config_routes(http::Router& router, const Config& config, const AuthManager& auth) {
  http::Route route;
  route.method = boost::beast::http::verb::get;
  route.path = "/api/config/";
  route.operation = "get_config";
  route.summary = "获取当前配置";
  route.description = "当前生效的配置，API密钥已隐藏";
  route.tags = {"配置管理"};
  route.response_record = "BaseResponse";
  route.auth = true;
  route.handler = [&config, &auth](http::Request&) -> boost::asio::awaitable<http::Response> {
    co_return http::json_response(http::base_response(true, std::string(kConfigMessage),
                                                      masked_config(config, auth.key_names())));
  };
  router.add(std::move(route));
}

}  // namespace corvid::app::routers
