#include "corvid/core/contact_sql.hpp"

#include <utility>
#include <vector>

namespace corvid::core {

std::string sql_literal(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out.push_back('\'');
  for (char c : value) {
    if (c == '\'') out.push_back('\'');
    out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

std::optional<std::string> contact_search_sql(const std::optional<std::string>& uid,
                                              const std::optional<std::string>& account,
                                              const std::optional<std::string>& nickname,
                                              const std::optional<std::string>& remark,
                                              bool fuzzy) {
  const std::pair<const char*, const std::optional<std::string>*> criteria[] = {
      {"username", &uid}, {"alias", &account}, {"nickname", &nickname}, {"remark", &remark}};
  const std::string tag = fuzzy ? "%" : "";
  std::string where;
  for (const auto& [column, value] : criteria) {
    if (!*value || (*value)->empty()) continue;
    if (!where.empty()) where.append(" or ");
    where.append(column).append(" like ").append(sql_literal(tag + **value + tag));
  }
  if (where.empty()) return std::nullopt;
  return "select username from contact where " + where;
}

std::string room_name_sql(std::string_view room_uid) {
  return "select nickname from contact where username=" + sql_literal(room_uid);
}

}  // namespace corvid::core
