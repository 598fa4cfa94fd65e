// How the simulated client answers each request code, and the state changes it makes.
#include <ctime>

#include "simulation.hpp"

namespace corvid::sim {
namespace {

Json event(std::int32_t code, Json data) { return Json{{"type", code}, {"data", std::move(data)}}; }

const Json& field(const Json& data, const char* key) {
  if (!data.is_object()) throw SimError("request data must be a JSON object");
  auto it = data.find(key);
  if (it == data.end()) throw SimError(std::string("request data has no \"") + key + "\"");
  return *it;
}

std::string text_field(const Json& data, const char* key) {
  const Json& value = field(data, key);
  if (!value.is_string()) throw SimError(std::string("\"") + key + "\" must be text");
  return value.get<std::string>();
}

std::vector<std::string> uid_list(const Json& value, const char* what) {
  if (!value.is_array()) throw SimError(std::string(what) + " must be a list of uids");
  std::vector<std::string> uids;
  for (const auto& v : value) {
    if (!v.is_string()) throw SimError(std::string(what) + " must be a list of uids");
    uids.push_back(v.get<std::string>());
  }
  return uids;
}

Json ok(Json detail = Json::object()) {
  Json out{{"success", true}};
  for (auto& [key, value] : detail.items()) out[key] = value;
  return out;
}

Json refused(const std::string& error) { return Json{{"success", false}, {"error", error}}; }

std::int64_t unix_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace

Json Simulation::self_info(std::int64_t pid) {
  std::lock_guard lock(mu_);
  Process* p = find_locked(pid);
  if (!p || !p->logged_in) return refused("the user is not logged in");
  std::string account = p->uid == kStandinUid ? "corvid_standin" : p->uid;
  return Json{{"uid", p->uid},      {"nickname", p->nickname},
              {"account", account}, {"avatar", "https://avatar.invalid/" + p->uid + ".png"},
              {"signature", ""},    {"region", ""},
              {"pid", pid}};
}

Simulation::Outcome Simulation::answer(const Request& request) {
  const Json& data = request.data;
  Outcome out;
  auto self = self_info(request.pid);
  std::string self_uid = self.contains("uid") ? self["uid"].get<std::string>() : kStandinUid;
  std::string self_name =
      self.contains("nickname") ? self["nickname"].get<std::string>() : kStandinNickname;

  auto sent_message = [&](std::string_view to_uid) {
    return ok(Json{{"msg_id", next_msg_id()}, {"to_uid", to_uid}, {"timestamp", unix_seconds()}});
  };
  auto apply = [&](const Change& change, std::int32_t notify_code) {
    if (!change.ok) return refused(change.error);
    if (notify_code != 0) out.events.push_back(to_text(event(notify_code, change.detail)));
    return ok(change.detail);
  };

  switch (request.code) {
    case MT_SQL_QUERY_MSG: {
      const Json& db = field(data, "db");
      if (!db.is_number_integer()) throw SimError("\"db\" must be an integer");
      out.reply = store_.query_readonly(text_field(data, "sql"), db.get<std::int64_t>());
      break;
    }
    case MT_GET_SELF_MSG:
      out.reply = self;
      break;
    case MT_GET_CONTACTS_MSG:
      out.reply = store_.contacts();
      break;
    case MT_GET_PUBLICS_MSG:
      out.reply = store_.publics();
      break;
    case MT_GET_CONTACT_DETAIL_MSG: {
      const Json& uid = field(data, "uid");
      out.reply = uid.is_string() ? store_.contact_detail(uid.get<std::string>()) : Json::object();
      break;
    }
    case MT_GET_ROOMS_MSG:
      out.reply = store_.rooms();
      break;
    case MT_GET_ROOM_DETAIL_MSG: {
      const Json& room = field(data, "room_uid");
      out.reply = room.is_string() ? store_.room_detail(room.get<std::string>()) : Json::object();
      break;
    }
    case MT_GET_ROOM_MEMBERS_MSG:
      out.reply = store_.room_members(text_field(data, "room_uid"));
      break;
    case MT_SEND_TEXT_MSG: {
      std::string to = text_field(data, "to_uid");
      std::string content = text_field(data, "content");
      out.reply = sent_message(to);
      if (to == kEchoUid) {
        // The echo contact answers every text with the same text.
        out.events.push_back(to_text(event(MT_RECV_TEXT_MSG, Json{{"msg_id", next_msg_id()},
                                                                  {"from_uid", kEchoUid},
                                                                  {"to_uid", self_uid},
                                                                  {"room_uid", ""},
                                                                  {"content", content},
                                                                  {"timestamp", unix_seconds()}})));
      }
      break;
    }
    case MT_SEND_ROOM_AT_MSG: {
      std::string to = text_field(data, "to_uid");
      text_field(data, "content");
      uid_list(field(data, "at_list"), "\"at_list\"");
      out.reply = store_.is_room(to) ? sent_message(to) : refused("no room " + to);
      break;
    }
    case MT_SEND_CARD_MSG:
      text_field(data, "card_uid");
      out.reply = sent_message(text_field(data, "to_uid"));
      break;
    case MT_SEND_LINK_MSG:
      for (const char* key : {"title", "desc", "url", "image_url"}) text_field(data, key);
      out.reply = sent_message(text_field(data, "to_uid"));
      break;
    case MT_SEND_IMAGE_MSG:
    case MT_SEND_FILE_MSG:
    case MT_SEND_VIDEO_MSG:
    case MT_SEND_GIF_MSG: {
      field(data, "file");
      const Json& to = field(data, "to_uid");
      out.reply = sent_message(to.is_string() ? to.get<std::string>() : std::string());
      break;
    }
    case MT_SEND_XML_MSG: {
      field(data, "xml");
      const Json& to = field(data, "to_uid");
      out.reply = sent_message(to.is_string() ? to.get<std::string>() : std::string());
      break;
    }
    case MT_SEND_PAT_MSG: {
      std::string room = text_field(data, "room_uid");
      std::string patted = text_field(data, "patted_uid");
      out.reply =
          store_.is_room(room)
              ? ok(Json{{"room_uid", room}, {"patted_uid", patted}, {"msg_id", next_msg_id()}})
              : refused("no room " + room);
      break;
    }
    case MT_ACCEPT_FRIEND_MSG: {
      const Json& scene = field(data, "scene");
      if (!scene.is_number_integer()) throw SimError("\"scene\" must be an integer");
      out.reply = apply(
          store_.accept_friend(text_field(data, "encryptusername"), text_field(data, "ticket")),
          MT_CONTACT_ADD_NOITFY_MSG);
      break;
    }
    case MT_CREATE_ROOM_MSG:
      out.reply = apply(store_.create_room(self_uid, self_name, uid_list(data, "the member list")),
                        MT_ROOM_CREATE_NOTIFY_MSG);
      break;
    case MT_ADD_TO_ROOM_MSG:
    case MT_INVITE_TO_ROOM_MSG:
      out.reply =
          apply(store_.add_room_members(text_field(data, "room_uid"),
                                        uid_list(field(data, "member_list"), "\"member_list\"")),
                MT_ROOM_ADD_MEMBER_NOTIFY_MSG);
      break;
    case MT_DEL_ROOM_MEMBER_MSG:
      out.reply =
          apply(store_.del_room_members(text_field(data, "room_uid"),
                                        uid_list(field(data, "member_list"), "\"member_list\"")),
                MT_ROOM_DEL_MEMBER_NOTIFY_MSG);
      break;
    case MT_MOD_ROOM_NAME_MSG:
      out.reply =
          apply(store_.rename_room(text_field(data, "room_uid"), text_field(data, "name")), 0);
      break;
    case MT_MOD_ROOM_NOTICE_MSG:
      out.reply = apply(
          store_.set_room_notice(text_field(data, "room_uid"), text_field(data, "notice")), 0);
      break;
    case MT_ADD_FRIEND_MSG: {
      std::string room = text_field(data, "room_uid");
      std::string uid = text_field(data, "uid");
      text_field(data, "remark");
      // The request waits for the other user; nothing changes locally until they accept.
      out.reply = store_.is_room(room)
                      ? ok(Json{{"room_uid", room}, {"uid", uid}, {"pending", true}})
                      : refused("no room " + room);
      break;
    }
    case MT_QUIT_DEL_ROOM_MSG:
      out.reply =
          apply(store_.quit_room(text_field(data, "room_uid"), self_uid), MT_ROOM_DEL_NOTIFY_MSG);
      break;
    case MT_MODIFY_FRIEND_REMARK:
      out.reply = apply(store_.set_remark(text_field(data, "uid"), text_field(data, "remark")), 0);
      break;
    default:
      throw SimError("unknown request code " + std::to_string(request.code));
  }
  return out;
}

}  // namespace corvid::sim
