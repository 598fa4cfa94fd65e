#pragma once
// The statements the binding runs against the client's contact table (database 1). Values are
// embedded as SQL string literals with every single quote doubled, so no value can end its
// literal early; '%' and '_' keep their LIKE meaning (they are what a caller searches with).
// Owner: none (pure functions). Threads: any.
#include <optional>
#include <string>
#include <string_view>

namespace corvid::core {

// 'value' with each ' doubled.
std::string sql_literal(std::string_view value);

// "select username from contact where <col> like '<tag><value><tag>' or ..." over the given
// criteria (absent or empty ones skipped) in the order username, alias, nickname, remark, with
// tag "%" when fuzzy. nullopt when no criterion is given.
std::optional<std::string> contact_search_sql(const std::optional<std::string>& uid,
                                              const std::optional<std::string>& account,
                                              const std::optional<std::string>& nickname,
                                              const std::optional<std::string>& remark, bool fuzzy);

// "select nickname from contact where username='<room_uid>'".
std::string room_name_sql(std::string_view room_uid);

}  // namespace corvid::core
