// The message-sending routes with JSON bodies: text, group text with mentions, contact card,
// link card, XML app message and pat. Fields reach the service exactly as validated; a send
// with a large body builds its envelope on the side pool.
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "corvid/app/http/record.hpp"
#include "corvid/app/http/side_pool.hpp"
#include "corvid/app/parlo_service.hpp"
#include "corvid/app/routers/parlo_routes_parts.hpp"

namespace corvid::app::routers::parlo {
namespace {

namespace net = boost::asio;
using boost::beast::http::verb;

net::awaitable<http::Response> send_text_message(ParloService& service, http::Request& r) {
  const bool ok = co_await service.send_text(body_text(r, "to_uid"), body_text(r, "content"));
  co_return flag_answer(ok, "消息发送成功", "消息发送失败");
}

net::awaitable<http::Response> send_room_at_message(ParloService& service, http::Request& r) {
  const bool ok = co_await service.send_room_at_msg(body_text(r, "to_uid"), body_text(r, "content"),
                                                    r.json.at("at_list"));
  co_return flag_answer(ok, "群@消息发送成功", "群@消息发送失败");
}

net::awaitable<http::Response> send_card_message(ParloService& service, http::Request& r) {
  const bool ok = co_await service.send_card(body_text(r, "to_uid"), body_text(r, "card_uid"));
  co_return flag_answer(ok, "名片发送成功", "名片发送失败");
}

net::awaitable<http::Response> send_link_card_message(ParloService& service, http::Request& r) {
  const bool ok = co_await service.send_link_card(body_text(r, "to_uid"), body_text(r, "title"),
                                                  body_text(r, "desc"), body_text(r, "url"),
                                                  body_text(r, "image_url"));
  co_return flag_answer(ok, "链接卡片发送成功", "链接卡片发送失败");
}

net::awaitable<http::Response> send_xml_message(ParloService& service, http::Request& r) {
  const bool ok = co_await service.send_xml(body_text(r, "to_uid"), body_text(r, "xml"),
                                            r.json.at("app_type").get<std::int64_t>());
  co_return flag_answer(ok, "XML消息发送成功", "XML消息发送失败");
}

net::awaitable<http::Response> send_pat_message(ParloService& service, http::Request& r) {
  Json result = co_await service.send_pat(body_text(r, "room_uid"), body_text(r, "patted_uid"));
  co_return data_answer(std::move(result), "拍一拍发送成功", "拍一拍发送失败");
}

// The envelope of a send is the content's JSON text, built from copies of the content, and the
// client reads it back before it queues it: for a body of a few MiB that is milliseconds, which
// on a loop thread would stall every connection it serves. Such a send runs on the side pool's
// lane for its size (two threads a lane, so at most two large envelopes are built at once).
net::awaitable<http::Response> send(AreaHandler handler, ParloService& service, http::Request& r) {
  if (r.body.size() < http::kSideWorkFrom) co_return co_await handler(service, r);
  co_return co_await http::on_side(r.body.size(),
                                   [handler, &service, &r] { return handler(service, r); });
}

}  // namespace

std::vector<http::Route> send_routes(ParloService& service) {
  namespace rec = http::records;
  const HandlerRow table[] = {
      {{verb::post, "/send/text", "send_text_message", "发送文本消息", "发送文本消息到指定用户或群",
        &rec::send_text_request},
       &send_text_message},
      {{verb::post, "/send/room_at", "send_room_at_message", "发送群@消息", "在群中发送@消息",
        &rec::send_room_at_request},
       &send_room_at_message},
      {{verb::post, "/send/card", "send_card_message", "发送名片", "发送名片",
        &rec::send_card_request},
       &send_card_message},
      {{verb::post, "/send/link_card", "send_link_card_message", "发送链接卡片", "发送链接卡片",
        &rec::send_link_card_request},
       &send_link_card_message},
      {{verb::post, "/send/xml", "send_xml_message", "发送XML消息", "发送XML消息",
        &rec::send_xml_request},
       &send_xml_message},
      {{verb::post, "/send/pat", "send_pat_message", "发送拍一拍", "发送拍一拍",
        &rec::send_pat_request},
       &send_pat_message},
  };
  return table_routes(table, [&service](http::Route& route, const HandlerRow& s) {
    route.handler = [&service, handler = s.handler](http::Request& r) {
      return send(handler, service, r);
    };
  });
}

}  // namespace corvid::app::routers::parlo
