// The group-chat routes: the list, one room's detail, members and name, creating a room,
// adding, inviting and removing members, renaming, the notice, and leaving a room.
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

std::string room(const http::Request& request) { return body_text(request, "room_uid"); }
net::awaitable<http::Response> get_rooms(ParloService& s, http::Request&) {
  co_return data_answer(co_await s.get_rooms(), "获取成功", "获取群列表失败");
}
net::awaitable<http::Response> get_room_detail(ParloService& s, http::Request& r) {
  co_return data_answer(co_await s.get_room_detail(room(r)), "获取成功", "获取群详情失败");
}
net::awaitable<http::Response> get_room_members(ParloService& s, http::Request& r) {
  co_return data_answer(co_await s.get_room_members(room(r)), "获取成功", "获取群成员失败");
}
net::awaitable<http::Response> get_room_name(ParloService& s, http::Request& r) {
  const std::optional<std::string> name = co_await s.get_room_name(room(r));
  co_return data_answer(name ? Json{{"name", *name}} : Json(nullptr), "获取成功", "获取群名失败");
}
net::awaitable<http::Response> create_room(ParloService& s, http::Request& r) {
  const bool ok = co_await s.create_room(r.json.at("member_list"));
  co_return flag_answer(ok, "创建群成功", "创建群失败");
}
net::awaitable<http::Response> add_room_member(ParloService& s, http::Request& r) {
  co_return data_answer(co_await s.add_room_member(room(r), r.json.at("member_list")),
                        "添加群成员成功", "添加群成员失败");
}
net::awaitable<http::Response> invite_room_member(ParloService& s, http::Request& r) {
  co_return data_answer(co_await s.invite_room_member(room(r), r.json.at("member_list")),
                        "邀请群成员成功", "邀请群成员失败");
}
net::awaitable<http::Response> del_room_member(ParloService& s, http::Request& r) {
  co_return data_answer(co_await s.del_room_member(room(r), r.json.at("member_list")),
                        "删除群成员成功", "删除群成员失败");
}
net::awaitable<http::Response> modify_room_name(ParloService& s, http::Request& r) {
  co_return data_answer(co_await s.modify_room_name(room(r), body_text(r, "name")), "修改群名成功",
                        "修改群名失败");
}
net::awaitable<http::Response> modify_room_notice(ParloService& s, http::Request& r) {
  co_return data_answer(co_await s.modify_room_notice(room(r), body_text(r, "notice")),
                        "修改群公告成功", "修改群公告失败");
}
net::awaitable<http::Response> quit_room(ParloService& s, http::Request& r) {
  const bool ok = co_await s.quit_room(room(r));
  co_return flag_answer(ok, "退出群成功", "退出群失败");
}

}  // namespace

std::vector<http::Route> room_routes(ParloService& service) {
  namespace rec = http::records;
  const HandlerRow table[] = {
      {{verb::get, "/rooms", "get_rooms", "获取群聊列表", "获取所有群聊列表", nullptr}, &get_rooms},
      {{verb::post, "/room/detail", "get_room_detail", "获取群详情", "获取指定群的详细信息",
        &rec::get_room_detail_request},
       &get_room_detail},
      {{verb::post, "/room/members", "get_room_members", "获取群成员", "获取群成员列表",
        &rec::get_room_members_request},
       &get_room_members},
      {{verb::post, "/room/name", "get_room_name", "获取群名", "获取群名",
        &rec::get_room_name_request},
       &get_room_name},
      {{verb::post, "/room/create", "create_room", "创建群聊", "创建群聊",
        &rec::create_room_request},
       &create_room},
      {{verb::post, "/room/add_member", "add_room_member", "添加群成员", "添加群成员",
        &rec::add_room_member_request},
       &add_room_member},
      {{verb::post, "/room/invite_member", "invite_room_member", "邀请群成员", "邀请群成员",
        &rec::invite_room_member_request},
       &invite_room_member},
      {{verb::post, "/room/del_member", "del_room_member", "删除群成员", "删除群成员",
        &rec::del_room_member_request},
       &del_room_member},
      {{verb::post, "/room/modify_name", "modify_room_name", "修改群名", "修改群名",
        &rec::modify_room_name_request},
       &modify_room_name},
      {{verb::post, "/room/modify_notice", "modify_room_notice", "修改群公告", "修改群公告",
        &rec::modify_room_notice_request},
       &modify_room_notice},
      {{verb::post, "/room/quit", "quit_room", "退出群聊", "退出群聊", &rec::quit_room_request},
       &quit_room},
  };
  return table_routes(table, [&service](http::Route& route, const HandlerRow& d) {
    route.handler = [&service, handler = d.handler](http::Request& r) {
      return handler(service, r);
    };
  });
}

}  // namespace corvid::app::routers::parlo
