#include "corvid/utils/json_parse.hpp"

#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace corvid {
namespace {

// Objects up to this many members are searched member by member, as the ordered object itself
// does (cheaper than hashing for the few keys of a record); larger ones get an index.
constexpr std::size_t kIndexFrom = 32;

// The parser's error number for a number beyond the range of a double.
constexpr int kNumberOverflow = 406;

using Members = Json::object_t::Container;

// "[json.exception.parse_error.101] parse error at ..." -> "parse error at ...".
std::string without_prefix(const std::string& what) {
  if (!what.empty() && what.front() == '[') {
    if (auto close = what.find("] "); close != std::string::npos) return what.substr(close + 2);
  }
  return what;
}

// Receives the parser's events and builds the value in place, as the library's own builder does,
// except that finding a key of a large object costs a hash lookup instead of a walk.
class Builder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  bool null() { return put(Json(nullptr)); }
  bool boolean(bool value) { return put(Json(value)); }
  bool number_integer(number_integer_t value) { return put(Json(value)); }
  bool number_unsigned(number_unsigned_t value) { return put(Json(value)); }
  bool number_float(number_float_t value, const string_t&) { return put(Json(value)); }
  bool string(string_t& value) { return put(Json(std::move(value))); }
  bool binary(binary_t& value) { return put(Json::binary(std::move(value))); }

  bool start_object(std::size_t) {
    open_.push_back(Open{&place(Json::object()), {}, 0});
    return true;
  }
  bool key(string_t& name) {
    Open& top = open_.back();
    Members& members = members_of(top);
    if (top.index.empty()) {
      for (std::size_t i = 0; i < members.size(); ++i) {
        if (members[i].first == name) {
          top.slot = i;
          return true;
        }
      }
      top.slot = members.size();
      members.emplace_back(std::move(name), nullptr);
      if (members.size() == kIndexFrom) {
        for (std::size_t i = 0; i < members.size(); ++i) {
          top.index.emplace(hash_(members[i].first), i);
        }
      }
      return true;
    }
    const std::size_t hash = hash_(name);
    const auto [first, last] = top.index.equal_range(hash);
    for (auto it = first; it != last; ++it) {
      if (members[it->second].first == name) {
        top.slot = it->second;
        return true;
      }
    }
    top.slot = members.size();
    members.emplace_back(std::move(name), nullptr);
    top.index.emplace(hash, top.slot);
    return true;
  }
  bool end_object() {
    open_.pop_back();
    return true;
  }

  bool start_array(std::size_t) {
    open_.push_back(Open{&place(Json::array()), {}, 0});
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }

  bool parse_error(std::size_t position, const std::string& token,
                   const nlohmann::detail::exception& error) {
    // A number overflow is reported at the end of its token; the caller wants its start.
    const std::size_t offset = error.id == kNumberOverflow
                                   ? (position >= token.size() ? position - token.size() : 0)
                                   : (position > 0 ? position - 1 : 0);
    throw JsonParseError(offset, without_prefix(error.what()));
  }

  Json take() { return std::move(result_); }

 private:
  // A container being filled. `value` stays valid while it is open: its parent gets no other
  // member or item before it is closed.
  struct Open {
    Json* value;
    std::unordered_multimap<std::size_t, std::size_t> index;  // key hash -> member; large objects
    std::size_t slot;  // the member whose value comes next (objects)
  };

  static Members& members_of(Open& open) {
    return static_cast<Members&>(open.value->get_ref<Json::object_t&>());
  }

  // Stores a value where the parser is and gives its place.
  Json& place(Json value) {
    if (open_.empty()) {
      result_ = std::move(value);
      return result_;
    }
    Open& top = open_.back();
    if (top.value->is_array()) {
      auto& items = top.value->get_ref<Json::array_t&>();
      items.push_back(std::move(value));
      return items.back();
    }
    Json& member = members_of(top)[top.slot].second;
    member = std::move(value);  // a repeated key takes its last value, in its first place
    return member;
  }

  bool put(Json value) {
    place(std::move(value));
    return true;
  }

  Json result_;
  std::vector<Open> open_;
  std::hash<std::string_view> hash_;
};

}  // namespace

Json parse_json(std::string_view text) {
  Builder builder;
  Json::sax_parse(text.begin(), text.end(), &builder, nlohmann::detail::input_format_t::json,
                  /*strict=*/true, /*ignore_comments=*/false);
  return builder.take();
}

}  // namespace corvid
