// store.hpp: the simulated client's data (contacts, rooms, members, friend requests) in SQLite.
// Owner: the simulation; one Store per process, shared by every simulated client connection.
// Threads: any; every method takes the store's mutex for its whole SQLite work.
// Guarantees: query_readonly never changes the data (only SELECT reads pass the authoriser),
// is bounded in rows and time, and reports every SQLite failure as text, never by a crash.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvid::sim {

using Json = nlohmann::ordered_json;

// Outcome of a change that can be refused ("no such room"): ok, or the reason.
struct Change {
  bool ok = true;
  std::string error;
  Json detail;  // what changed (added members, the new room, ...)
};

class Store {
 public:
  // Database number the client keeps its contact table in.
  static constexpr std::int64_t kContactDb = 1;
  // A query answer never holds more rows than this; the rest are cut off.
  static constexpr std::size_t kMaxRows = 100000;
  // A query running longer than this is interrupted.
  static constexpr int kQueryBudgetMs = 2000;

  // Opens the data: the file named by TAPWIRE_SIM_DB, or an in-memory database, seeded when
  // it has no contact table yet. Failure leaves an unusable store whose calls report it.
  Store();
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Restores the seed data.
  void reseed();

  // Runs one read-only statement on database db: {"result": [[...], ...]} or {"error": text}.
  Json query_readonly(std::string_view sql, std::int64_t db);

  Json contacts();                            // friends (type 1)
  Json publics();                             // public accounts (type 3)
  Json contact_detail(std::string_view uid);  // {} when unknown
  Json rooms();
  Json room_detail(std::string_view room_uid);   // {} when unknown
  Json room_members(std::string_view room_uid);  // [] when unknown
  bool is_room(std::string_view room_uid);
  std::optional<std::string> display_name(std::string_view uid);

  Change rename_room(std::string_view room_uid, std::string_view name);
  Change set_room_notice(std::string_view room_uid, std::string_view notice);
  Change add_room_members(std::string_view room_uid, const std::vector<std::string>& uids);
  Change del_room_members(std::string_view room_uid, const std::vector<std::string>& uids);
  Change set_remark(std::string_view uid, std::string_view remark);
  Change accept_friend(std::string_view encryptusername, std::string_view ticket);
  Change create_room(std::string_view owner, std::string_view owner_name,
                     const std::vector<std::string>& uids);
  Change quit_room(std::string_view room_uid, std::string_view self_uid);

 private:
  void open_locked();
  void exec_locked(const char* sql);
  Json select_locked(const char* sql, std::initializer_list<std::string_view> binds);
  Json member_list_locked(std::string_view room_uid);
  bool exists_locked(const char* sql, std::string_view key);

  std::mutex mu_;
  sqlite3* db_ = nullptr;          // guarded by mu_
  std::string open_error_;         // guarded by mu_
  std::int64_t room_counter_ = 0;  // guarded by mu_
};

}  // namespace corvid::sim
