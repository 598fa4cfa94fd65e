#include "store.hpp"

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "seed_sql.hpp"

namespace corvid::sim {
namespace {

class SqlError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Prepared statement that finalises itself.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      throw SqlError(sqlite3_errmsg(db));
    }
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  void bind(int index, std::string_view text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void bind(int index, std::int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
  // True while a row is available.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw SqlError(sqlite3_errmsg(sqlite3_db_handle(stmt_)));
  }
  sqlite3_stmt* get() { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

std::string hex(const unsigned char* data, int size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(static_cast<std::size_t>(size) * 2);
  for (int i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0xf]);
  }
  return out;
}

Json column_value(sqlite3_stmt* stmt, int col) {
  switch (sqlite3_column_type(stmt, col)) {
    case SQLITE_INTEGER:
      return sqlite3_column_int64(stmt, col);
    case SQLITE_FLOAT:
      return sqlite3_column_double(stmt, col);
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
      return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, col)));
    }
    case SQLITE_BLOB: {
      const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, col));
      return hex(blob, sqlite3_column_bytes(stmt, col));
    }
    default:
      return nullptr;
  }
}

Json row_of(sqlite3_stmt* stmt) {
  Json row = Json::array();
  int cols = sqlite3_column_count(stmt);
  for (int c = 0; c < cols; ++c) row.push_back(column_value(stmt, c));
  return row;
}

// Authoriser of read-only queries: only reading actions pass, so writes, schema changes,
// ATTACH (which could create files), PRAGMA and transaction control are refused at prepare.
struct ReadOnlyGuard {
  bool refused = false;
  std::string function;  // a refused function, by name
};

// Functions a caller's query may not call even though they write nothing: the tokenizer
// registry hands out (one argument) and takes in (two arguments) raw code pointers of the
// process the client runs in.
constexpr std::string_view kRefusedFunctions[] = {"fts3_tokenizer"};

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

int read_only_authorizer(void* user, int action, const char*, const char* function_name,
                         const char*, const char*) {
  auto* guard = static_cast<ReadOnlyGuard*>(user);
  switch (action) {
    case SQLITE_FUNCTION:
      // SQL function names are case-insensitive.
      for (std::string_view refused : kRefusedFunctions) {
        if (function_name && same_name(function_name, refused)) {
          guard->refused = true;
          guard->function = std::string(refused);
          return SQLITE_DENY;
        }
      }
      return SQLITE_OK;
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_RECURSIVE:
      return SQLITE_OK;
    default:
      guard->refused = true;
      return SQLITE_DENY;
  }
}

struct Deadline {
  std::chrono::steady_clock::time_point at;
};

int past_deadline(void* user) {
  return std::chrono::steady_clock::now() > static_cast<Deadline*>(user)->at ? 1 : 0;
}

bool only_blank(const char* tail) {
  for (; tail && *tail; ++tail) {
    if (*tail != ' ' && *tail != '\n' && *tail != '\r' && *tail != '\t' && *tail != ';') {
      return false;
    }
  }
  return true;
}

Json contact_object(const Json& row) {
  // row: username, alias, nickname, remark, avatar, signature, region, type
  return Json{{"uid", row[0]},    {"account", row[1]},   {"nickname", row[2]}, {"remark", row[3]},
              {"avatar", row[4]}, {"signature", row[5]}, {"region", row[6]},   {"type", row[7]}};
}

constexpr const char* kContactColumns =
    "SELECT username, alias, nickname, remark, avatar, signature, region, type FROM contact ";

}  // namespace

Store::Store() {
  std::lock_guard lock(mu_);
  open_locked();
}

Store::~Store() {
  std::lock_guard lock(mu_);
  if (db_) sqlite3_close(db_);
}

void Store::open_locked() {
  const char* path = std::getenv("TAPWIRE_SIM_DB");
  std::string target = path && *path ? path : ":memory:";
  if (sqlite3_open_v2(target.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    open_error_ = "cannot open the client database " + target + ": " +
                  (db_ ? sqlite3_errmsg(db_) : "out of memory");
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    return;
  }
  sqlite3_busy_timeout(db_, 2000);
  try {
    if (!exists_locked("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1",
                       "contact")) {
      exec_locked(kSeedSql);
    }
  } catch (const std::exception& e) {
    open_error_ = std::string("cannot seed the client database: ") + e.what();
  }
}

void Store::exec_locked(const char* sql) {
  if (!db_) throw SqlError(open_error_);
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "unknown SQLite error";
    sqlite3_free(message);
    throw SqlError(text);
  }
}

void Store::reseed() {
  std::lock_guard lock(mu_);
  room_counter_ = 0;
  exec_locked("BEGIN");
  try {
    exec_locked(kSeedSql);
    exec_locked("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

Json Store::select_locked(const char* sql, std::initializer_list<std::string_view> binds) {
  if (!db_) throw SqlError(open_error_);
  Stmt stmt(db_, sql);
  int index = 1;
  for (auto b : binds) stmt.bind(index++, b);
  Json rows = Json::array();
  while (stmt.step()) rows.push_back(row_of(stmt.get()));
  return rows;
}

bool Store::exists_locked(const char* sql, std::string_view key) {
  return !select_locked(sql, {key}).empty();
}

Json Store::query_readonly(std::string_view sql, std::int64_t db) {
  if (db != kContactDb) return Json{{"error", "no database " + std::to_string(db)}};
  std::lock_guard lock(mu_);
  if (!db_) return Json{{"error", open_error_}};
  std::string text(sql);
  ReadOnlyGuard guard;
  sqlite3_set_authorizer(db_, read_only_authorizer, &guard);
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size()) + 1, &raw, &tail);
  sqlite3_set_authorizer(db_, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    if (!guard.function.empty()) {
      return Json{{"error", "function " + guard.function + "() may not be called"}};
    }
    if (guard.refused) return Json{{"error", "read-only database: only SELECT statements may run"}};
    return Json{{"error", sqlite3_errmsg(db_)}};
  }
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
  if (!stmt) return Json{{"error", "empty statement"}};
  if (!only_blank(tail)) return Json{{"error", "only one statement may run per query"}};
  if (!sqlite3_stmt_readonly(stmt.get())) {
    return Json{{"error", "read-only database: only SELECT statements may run"}};
  }
  Deadline deadline{std::chrono::steady_clock::now() + std::chrono::milliseconds(kQueryBudgetMs)};
  sqlite3_progress_handler(db_, 1000, past_deadline, &deadline);
  Json rows = Json::array();
  bool truncated = false;
  std::string error;
  for (;;) {
    rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) {
      if (rows.size() >= kMaxRows) {
        truncated = true;
        break;
      }
      rows.push_back(row_of(stmt.get()));
      continue;
    }
    if (rc != SQLITE_DONE) {
      error = rc == SQLITE_INTERRUPT ? "query interrupted: it ran longer than " +
                                           std::to_string(kQueryBudgetMs) + " ms"
                                     : sqlite3_errmsg(db_);
    }
    break;
  }
  sqlite3_progress_handler(db_, 0, nullptr, nullptr);
  if (!error.empty()) return Json{{"error", error}};
  Json answer{{"result", std::move(rows)}};
  if (truncated) answer["truncated"] = true;
  return answer;
}

Json Store::contacts() {
  std::lock_guard lock(mu_);
  Json out = Json::array();
  for (auto& row : select_locked(
           (std::string(kContactColumns) + "WHERE type = 1 ORDER BY rowid").c_str(), {})) {
    out.push_back(contact_object(row));
  }
  return out;
}

Json Store::publics() {
  std::lock_guard lock(mu_);
  Json out = Json::array();
  for (auto& row : select_locked(
           (std::string(kContactColumns) + "WHERE type = 3 ORDER BY rowid").c_str(), {})) {
    out.push_back(contact_object(row));
  }
  return out;
}

Json Store::contact_detail(std::string_view uid) {
  std::lock_guard lock(mu_);
  auto rows = select_locked((std::string(kContactColumns) + "WHERE username = ?1").c_str(), {uid});
  return rows.empty() ? Json::object() : contact_object(rows[0]);
}

Json Store::member_list_locked(std::string_view room_uid) {
  Json out = Json::array();
  for (auto& row :
       select_locked("SELECT m.uid, COALESCE(c.nickname, m.display_name), m.display_name "
                     "FROM room_member m LEFT JOIN contact c ON c.username = m.uid "
                     "WHERE m.room_uid = ?1 ORDER BY m.joined_seq",
                     {room_uid})) {
    out.push_back(Json{{"uid", row[0]}, {"nickname", row[1]}, {"display_name", row[2]}});
  }
  return out;
}

namespace {
constexpr const char* kRoomColumns =
    "SELECT c.username, c.nickname, r.owner, r.notice, "
    "(SELECT count(*) FROM room_member m WHERE m.room_uid = c.username) "
    "FROM contact c JOIN room r ON r.room_uid = c.username ";

Json room_object(const Json& row) {
  return Json{{"room_uid", row[0]},
              {"name", row[1]},
              {"owner", row[2]},
              {"notice", row[3]},
              {"member_count", row[4]}};
}
}  // namespace

Json Store::rooms() {
  std::lock_guard lock(mu_);
  Json out = Json::array();
  for (auto& row : select_locked((std::string(kRoomColumns) + "ORDER BY c.rowid").c_str(), {})) {
    out.push_back(room_object(row));
  }
  return out;
}

Json Store::room_detail(std::string_view room_uid) {
  std::lock_guard lock(mu_);
  auto rows =
      select_locked((std::string(kRoomColumns) + "WHERE c.username = ?1").c_str(), {room_uid});
  if (rows.empty()) return Json::object();
  Json detail = room_object(rows[0]);
  detail["members"] = member_list_locked(room_uid);
  return detail;
}

Json Store::room_members(std::string_view room_uid) {
  std::lock_guard lock(mu_);
  return member_list_locked(room_uid);
}

bool Store::is_room(std::string_view room_uid) {
  std::lock_guard lock(mu_);
  return exists_locked("SELECT 1 FROM room WHERE room_uid = ?1", room_uid);
}

std::optional<std::string> Store::display_name(std::string_view uid) {
  std::lock_guard lock(mu_);
  auto rows = select_locked("SELECT nickname FROM contact WHERE username = ?1", {uid});
  if (rows.empty() || !rows[0][0].is_string()) return std::nullopt;
  return rows[0][0].get<std::string>();
}

namespace {
// Runs body inside one transaction; any failure rolls back and becomes the refusal text.
template <typename Body>
Change transact(sqlite3* db, const std::string& open_error, Body&& body) {
  if (!db) return Change{false, open_error, nullptr};
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    return Change{false, sqlite3_errmsg(db), nullptr};
  }
  try {
    Change change = body();
    if (!change.ok) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      return change;
    }
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      std::string text = sqlite3_errmsg(db);
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      return Change{false, text, nullptr};
    }
    return change;
  } catch (const std::exception& e) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return Change{false, e.what(), nullptr};
  }
}

Change refused(std::string text) { return Change{false, std::move(text), nullptr}; }
}  // namespace

Change Store::rename_room(std::string_view room_uid, std::string_view name) {
  std::lock_guard lock(mu_);
  return transact(db_, open_error_, [&] {
    if (!exists_locked("SELECT 1 FROM room WHERE room_uid = ?1", room_uid)) {
      return refused("no room " + std::string(room_uid));
    }
    Stmt stmt(db_, "UPDATE contact SET nickname = ?2 WHERE username = ?1");
    stmt.bind(1, room_uid);
    stmt.bind(2, name);
    stmt.step();
    return Change{true, {}, Json{{"room_uid", room_uid}, {"name", name}}};
  });
}

Change Store::set_room_notice(std::string_view room_uid, std::string_view notice) {
  std::lock_guard lock(mu_);
  return transact(db_, open_error_, [&] {
    if (!exists_locked("SELECT 1 FROM room WHERE room_uid = ?1", room_uid)) {
      return refused("no room " + std::string(room_uid));
    }
    Stmt stmt(db_, "UPDATE room SET notice = ?2 WHERE room_uid = ?1");
    stmt.bind(1, room_uid);
    stmt.bind(2, notice);
    stmt.step();
    return Change{true, {}, Json{{"room_uid", room_uid}, {"notice", notice}}};
  });
}

Change Store::add_room_members(std::string_view room_uid, const std::vector<std::string>& uids) {
  std::lock_guard lock(mu_);
  return transact(db_, open_error_, [&] {
    if (!exists_locked("SELECT 1 FROM room WHERE room_uid = ?1", room_uid)) {
      return refused("no room " + std::string(room_uid));
    }
    Json added = Json::array();
    for (const auto& uid : uids) {
      Stmt stmt(db_,
                "INSERT OR IGNORE INTO room_member (room_uid, uid, display_name, joined_seq) "
                "SELECT ?1, ?2, COALESCE((SELECT nickname FROM contact WHERE username = ?2), ?2), "
                "COALESCE(MAX(joined_seq), 0) + 1 FROM room_member WHERE room_uid = ?1");
      stmt.bind(1, room_uid);
      stmt.bind(2, uid);
      stmt.step();
      if (sqlite3_changes(db_) > 0) added.push_back(uid);
    }
    return Change{true, {}, Json{{"room_uid", room_uid}, {"member_list", added}}};
  });
}

Change Store::del_room_members(std::string_view room_uid, const std::vector<std::string>& uids) {
  std::lock_guard lock(mu_);
  return transact(db_, open_error_, [&] {
    if (!exists_locked("SELECT 1 FROM room WHERE room_uid = ?1", room_uid)) {
      return refused("no room " + std::string(room_uid));
    }
    Json removed = Json::array();
    for (const auto& uid : uids) {
      Stmt stmt(db_, "DELETE FROM room_member WHERE room_uid = ?1 AND uid = ?2");
      stmt.bind(1, room_uid);
      stmt.bind(2, uid);
      stmt.step();
      if (sqlite3_changes(db_) > 0) removed.push_back(uid);
    }
    return Change{true, {}, Json{{"room_uid", room_uid}, {"member_list", removed}}};
  });
}

Change Store::set_remark(std::string_view uid, std::string_view remark) {
  std::lock_guard lock(mu_);
  return transact(db_, open_error_, [&] {
    Stmt stmt(db_, "UPDATE contact SET remark = ?2 WHERE username = ?1 AND type <> 2");
    stmt.bind(1, uid);
    stmt.bind(2, remark);
    stmt.step();
    if (sqlite3_changes(db_) == 0) return refused("no contact " + std::string(uid));
    return Change{true, {}, Json{{"uid", uid}, {"remark", remark}}};
  });
}

Change Store::accept_friend(std::string_view encryptusername, std::string_view ticket) {
  std::lock_guard lock(mu_);
  return transact(db_, open_error_, [&] {
    auto rows =
        select_locked("SELECT uid, nickname, ticket FROM friend_request WHERE encryptusername = ?1",
                      {encryptusername});
    if (rows.empty()) return refused("no friend request from " + std::string(encryptusername));
    if (rows[0][2].get<std::string>() != ticket) return refused("the ticket does not match");
    std::string uid = rows[0][0].get<std::string>();
    Stmt insert(db_,
                "INSERT OR REPLACE INTO contact (username, alias, nickname, type) "
                "VALUES (?1, '', ?2, 1)");
    insert.bind(1, uid);
    insert.bind(2, rows[0][1].get<std::string>());
    insert.step();
    Stmt drop(db_, "DELETE FROM friend_request WHERE encryptusername = ?1");
    drop.bind(1, encryptusername);
    drop.step();
    auto contact =
        select_locked((std::string(kContactColumns) + "WHERE username = ?1").c_str(), {uid});
    return Change{true, {}, contact_object(contact.at(0))};
  });
}

Change Store::create_room(std::string_view owner, std::string_view owner_name,
                          const std::vector<std::string>& uids) {
  std::lock_guard lock(mu_);
  return transact(db_, open_error_, [&]() -> Change {
    std::vector<std::string> members;
    for (const auto& uid : uids) {
      if (uid == owner) continue;
      bool seen = false;
      for (const auto& m : members) seen = seen || m == uid;
      if (!seen) members.push_back(uid);
    }
    if (members.empty()) return refused("a room needs at least one member besides its creator");
    std::string room_uid;
    do {
      room_uid = "room_" + std::to_string(++room_counter_) + "@chatroom";
    } while (exists_locked("SELECT 1 FROM contact WHERE username = ?1", room_uid));
    std::string name;
    for (const auto& uid : members) {
      auto rows = select_locked("SELECT nickname FROM contact WHERE username = ?1", {uid});
      std::string shown =
          !rows.empty() && rows[0][0].is_string() ? rows[0][0].get<std::string>() : uid;
      name += (name.empty() ? "" : ", ") + shown;
    }
    Stmt contact(db_, "INSERT INTO contact (username, nickname, type) VALUES (?1, ?2, 2)");
    contact.bind(1, room_uid);
    contact.bind(2, name);
    contact.step();
    Stmt room(db_, "INSERT INTO room (room_uid, owner) VALUES (?1, ?2)");
    room.bind(1, room_uid);
    room.bind(2, owner);
    room.step();
    std::int64_t seq = 0;
    auto add = [&](std::string_view uid, std::string_view shown) {
      Stmt stmt(
          db_,
          "INSERT INTO room_member (room_uid, uid, display_name, joined_seq) "
          "VALUES (?1, ?2, COALESCE((SELECT nickname FROM contact WHERE username = ?2), ?3), ?4)");
      stmt.bind(1, room_uid);
      stmt.bind(2, uid);
      stmt.bind(3, shown);
      stmt.bind(4, ++seq);
      stmt.step();
    };
    add(owner, owner_name);
    for (const auto& uid : members) add(uid, uid);
    auto rows =
        select_locked((std::string(kRoomColumns) + "WHERE c.username = ?1").c_str(), {room_uid});
    Json detail = room_object(rows.at(0));
    detail["members"] = member_list_locked(room_uid);
    return Change{true, {}, detail};
  });
}

Change Store::quit_room(std::string_view room_uid, std::string_view self_uid) {
  std::lock_guard lock(mu_);
  return transact(db_, open_error_, [&] {
    auto rows =
        select_locked("SELECT nickname FROM contact WHERE username = ?1 AND type = 2", {room_uid});
    if (rows.empty()) return refused("no room " + std::string(room_uid));
    // The room leaves the user's own view entirely; the other members are not simulated.
    for (const char* sql :
         {"DELETE FROM room_member WHERE room_uid = ?1", "DELETE FROM room WHERE room_uid = ?1",
          "DELETE FROM contact WHERE username = ?1"}) {
      Stmt stmt(db_, sql);
      stmt.bind(1, room_uid);
      stmt.step();
    }
    return Change{true, {}, Json{{"room_uid", room_uid}, {"name", rows[0][0]}, {"uid", self_uid}}};
  });
}

}  // namespace corvid::sim
