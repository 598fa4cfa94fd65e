// The records of the API: the two answer records and every JSON body a route reads. Field
// order is the order the routes hand the values to the service, and the order of the schema.
#include <array>

#include "corvid/app/http/record.hpp"

namespace corvid::app::http::records {
namespace {

Field text(std::string name) { return required_field(std::move(name), FieldType::string); }

Field integer(std::string name) { return required_field(std::move(name), FieldType::integer); }

Field text_list(std::string name) {
  return required_field(std::move(name), FieldType::string_array);
}

Field optional(Field field, Json default_value) {
  field.required = false;
  field.default_value = std::move(default_value);
  return field;
}

Record make(std::string name, std::vector<Field> fields) {
  return Record{std::move(name), std::move(fields), {}};
}

}  // namespace

const Record& base_response() {
  static const Record r =
      make("BaseResponse", {
                               required_field("success", FieldType::boolean),
                               required_field("message", FieldType::string),
                               optional(required_field("data", FieldType::any), nullptr),
                           });
  return r;
}

const Record& parlo_status_response() {
  static const Record r =
      make("ParloStatusResponse", {
                                      integer("pid"),
                                      integer("client_id"),
                                      required_field("login_status", FieldType::boolean),
                                      required_field("status", FieldType::boolean),
                                      required_field("login_info", FieldType::nullable_object),
                                      required_field("current_uid", FieldType::nullable_string),
                                  });
  return r;
}

const Record& send_text_request() {
  static const Record r = make("SendTextRequest", {text("to_uid"), text("content")});
  return r;
}

const Record& send_room_at_request() {
  static const Record r =
      make("SendRoomAtRequest", {text("to_uid"), text("content"), text_list("at_list")});
  return r;
}

const Record& send_card_request() {
  static const Record r = make("SendCardRequest", {text("to_uid"), text("card_uid")});
  return r;
}

const Record& send_link_card_request() {
  static const Record r = make("SendLinkCardRequest", {text("to_uid"), text("title"), text("desc"),
                                                       text("url"), text("image_url")});
  return r;
}

const Record& send_xml_request() {
  // The service sends app type 5 when none is given, so an omitted field means the same.
  static const Record r =
      make("SendXmlRequest", {text("to_uid"), text("xml"), optional(integer("app_type"), 5)});
  return r;
}

const Record& send_pat_request() {
  static const Record r = make("SendPatRequest", {text("room_uid"), text("patted_uid")});
  return r;
}

const Record& sql_query_request() {
  static const Record r = make("SqlQueryRequest", {text("sql"), integer("db")});
  return r;
}

const Record& get_contact_detail_request() {
  static const Record r = make("GetContactDetailRequest", {text("uid")});
  return r;
}

const Record& search_contacts_request() {
  // Criteria left out or null are skipped by the search; fuzzy matching is its default.
  static const Record r =
      make("SearchContactsRequest",
           {
               optional(required_field("uid", FieldType::nullable_string), nullptr),
               optional(required_field("account", FieldType::nullable_string), nullptr),
               optional(required_field("nickname", FieldType::nullable_string), nullptr),
               optional(required_field("remark", FieldType::nullable_string), nullptr),
               optional(required_field("fuzzy_search", FieldType::boolean), true),
           });
  return r;
}

const Record& modify_friend_remark_request() {
  static const Record r = make("ModifyFriendRemarkRequest", {text("uid"), text("remark")});
  return r;
}

const Record& accept_friend_request() {
  static const Record r =
      make("AcceptFriendRequest", {text("encryptusername"), text("ticket"), integer("scene")});
  return r;
}

const Record& add_room_friend_request() {
  static const Record r =
      make("AddRoomFriendRequest", {text("room_uid"), text("uid"), text("verify")});
  return r;
}

const Record& get_room_detail_request() {
  static const Record r = make("GetRoomDetailRequest", {text("room_uid")});
  return r;
}

const Record& get_room_members_request() {
  static const Record r = make("GetRoomMembersRequest", {text("room_uid")});
  return r;
}

const Record& get_room_name_request() {
  static const Record r = make("GetRoomNameRequest", {text("room_uid")});
  return r;
}

const Record& create_room_request() {
  static const Record r = make("CreateRoomRequest", {text_list("member_list")});
  return r;
}

const Record& add_room_member_request() {
  static const Record r =
      make("AddRoomMemberRequest", {text("room_uid"), text_list("member_list")});
  return r;
}

const Record& invite_room_member_request() {
  static const Record r =
      make("InviteRoomMemberRequest", {text("room_uid"), text_list("member_list")});
  return r;
}

const Record& del_room_member_request() {
  static const Record r =
      make("DelRoomMemberRequest", {text("room_uid"), text_list("member_list")});
  return r;
}

const Record& modify_room_name_request() {
  static const Record r = make("ModifyRoomNameRequest", {text("room_uid"), text("name")});
  return r;
}

const Record& modify_room_notice_request() {
  static const Record r = make("ModifyRoomNoticeRequest", {text("room_uid"), text("notice")});
  return r;
}

const Record& quit_room_request() {
  static const Record r = make("QuitRoomRequest", {text("room_uid")});
  return r;
}

const Record& upload_form() {
  static const Record r = make("UploadForm", {required_field("file", FieldType::binary)});
  return r;
}

std::span<const Record* const> all() {
  static const std::array<const Record*, 25> list = {
      &base_response(),
      &parlo_status_response(),
      &send_text_request(),
      &send_room_at_request(),
      &send_card_request(),
      &send_link_card_request(),
      &send_xml_request(),
      &send_pat_request(),
      &get_contact_detail_request(),
      &search_contacts_request(),
      &modify_friend_remark_request(),
      &accept_friend_request(),
      &add_room_friend_request(),
      &get_room_detail_request(),
      &get_room_members_request(),
      &get_room_name_request(),
      &create_room_request(),
      &add_room_member_request(),
      &invite_room_member_request(),
      &del_room_member_request(),
      &modify_room_name_request(),
      &modify_room_notice_request(),
      &quit_room_request(),
      &sql_query_request(),
      &upload_form(),
  };
  return list;
}

const Record* find(std::string_view name) {
  for (const Record* r : all()) {
    if (r->name == name) return r;
  }
  return nullptr;
}

}  // namespace corvid::app::http::records
