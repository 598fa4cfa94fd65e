// The contact routes: lists, one contact's detail, search, remark, friend requests and adding
// a group member as a friend. All follow the data rule: any reply but none is a success.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "corvid/app/http/record.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/routers/parlo_routes_parts.hpp"

namespace corvid::app::routers::parlo {
namespace {

namespace net = boost::asio;
using boost::beast::http::verb;

std::optional<std::string> optional_text(const http::Request& request, const char* field) {
  const Json& value = request.json.at(field);
  if (value.is_null()) return std::nullopt;
  return value.get<std::string>();
}

net::awaitable<Json> get_contacts(ParloService& s, http::Request&) { return s.get_contacts(); }
net::awaitable<Json> get_publics(ParloService& s, http::Request&) { return s.get_publics(); }
net::awaitable<Json> get_contact_detail(ParloService& s, http::Request& r) {
  return s.get_contact_detail(body_text(r, "uid"));
}
net::awaitable<Json> search_contacts(ParloService& s, http::Request& r) {
  return s.search_contacts(optional_text(r, "uid"), optional_text(r, "account"),
                           optional_text(r, "nickname"), optional_text(r, "remark"),
                           r.json.at("fuzzy_search").get<bool>());
}
net::awaitable<Json> modify_friend_remark(ParloService& s, http::Request& r) {
  return s.modify_friend_remark(body_text(r, "uid"), body_text(r, "remark"));
}
net::awaitable<Json> accept_friend_request(ParloService& s, http::Request& r) {
  return s.accept_friend_request(body_text(r, "encryptusername"), body_text(r, "ticket"),
                                 r.json.at("scene").get<std::int64_t>());
}
net::awaitable<Json> add_room_friend(ParloService& s, http::Request& r) {
  return s.add_room_friend(body_text(r, "room_uid"), body_text(r, "uid"), body_text(r, "verify"));
}

// A coroutine of its own (not the lambda) so the answer never depends on the lambda's lifetime.
net::awaitable<http::Response> answer_data(net::awaitable<Json> call, const char* success,
                                           const char* failure) {
  co_return data_answer(co_await std::move(call), success, failure);
}

using Call = net::awaitable<Json> (*)(ParloService&, http::Request&);

struct DataRoute {
  RouteRow route;
  Call call;
  const char* success;
  const char* failure;
};

}  // namespace

std::vector<http::Route> contact_routes(ParloService& service) {
  namespace rec = http::records;
  const DataRoute table[] = {
      {{verb::get, "/contacts", "get_contacts", "获取联系人列表", "获取所有联系人列表", nullptr},
       &get_contacts,
       "获取成功",
       "获取联系人列表失败"},
      {{verb::get, "/publics", "get_publics", "获取公众号列表", "获取关注的公众号列表", nullptr},
       &get_publics,
       "获取成功",
       "获取公众号列表失败"},
      {{verb::post, "/contact/detail", "get_contact_detail", "获取联系人详情",
        "获取指定联系人的详细信息", &rec::get_contact_detail_request},
       &get_contact_detail,
       "获取成功",
       "获取联系人详情失败"},
      {{verb::post, "/contact/search", "search_contacts", "搜索联系人", "根据条件搜索联系人",
        &rec::search_contacts_request},
       &search_contacts,
       "搜索成功",
       "搜索联系人失败"},
      {{verb::post, "/contact/modify_remark", "modify_friend_remark", "修改好友备注",
        "修改好友备注", &rec::modify_friend_remark_request},
       &modify_friend_remark,
       "修改备注成功",
       "修改备注失败"},
      {{verb::post, "/contact/accept_friend", "accept_friend_request", "接受好友请求",
        "接受好友请求", &rec::accept_friend_request},
       &accept_friend_request,
       "接受好友请求成功",
       "接受好友请求失败"},
      {{verb::post, "/contact/add_room_friend", "add_room_friend", "添加群成员为好友",
        "添加群成员为好友", &rec::add_room_friend_request},
       &add_room_friend,
       "添加好友成功",
       "添加好友失败"},
  };
  return table_routes(table, [&service](http::Route& route, const DataRoute& d) {
    route.handler = [&service, call = d.call, success = d.success,
                     failure = d.failure](http::Request& r) {
      return answer_data(call(service, r), success, failure);
    };
  });
}

}  // namespace corvid::app::routers::parlo
