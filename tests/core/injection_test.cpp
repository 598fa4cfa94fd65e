// Values with quotes, wildcards, backslashes and non-ASCII in contact searches and room-name
// lookups, against a client database holding such values. The expected rows come from the
// same database queried with bound parameters, which is what the statement has to mean.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "core/support.hpp"
#include "corvid/core/parlo.hpp"

namespace corvid::core {
namespace {

using corvid::test::wait_until;

struct Row {
  const char* username;
  const char* alias;
  const char* nickname;
  const char* remark;
  int type;
};

const Row kRows[] = {
    {"u_quote", "o'brien", "Pat O'Brien", "it's", 1},
    {"u_pct", "100%", "per%cent", "50% off", 1},
    {"u_under", "a_b", "under_score", "x_y", 1},
    {"u_back", "back\\slash", "C:\\dir", "\\", 1},
    {"u_cjk", "中文", "张三", "备注", 1},
    {"u_double", "it''s", "say \"hi\"", "''", 1},
    {"room_q@chatroom", "", "Bob's Room", "", 2},
    {"r'x@chatroom", "", "Quote Room", "", 2},
    {"群@chatroom", "", "中文群", "", 2},
    {"r\\1", "", "Back Room", "", 2},
};

class Injection : public ::testing::Test {
 protected:
  void SetUp() override {
    db_path_ = std::filesystem::temp_directory_path() /
               ("corvid_core_injection_" + std::to_string(::getpid()) + ".db");
    std::filesystem::remove(db_path_);
    build_database();
    // The simulated client opens its database when it is loaded: set the file first.
    setenv("TAPWIRE_SIM_DB", db_path_.c_str(), 1);
    sim_ = std::make_unique<corvid::test::Sim>();
    parlo_ = &Parlo::create();
    ASSERT_TRUE(parlo_->open());
    ASSERT_TRUE(parlo_->wait_login(10.0));
  }
  void TearDown() override {
    if (sim_) sim_->stop();
    if (db_) sqlite3_close(db_);
    std::filesystem::remove(db_path_);
  }

  void build_database() {
    ASSERT_EQ(sqlite3_open(db_path_.c_str(), &db_), SQLITE_OK);
    std::ifstream seed(std::string(CORVID_SOURCE_ROOT) + "/tapwire-sim/seed.sql");
    std::stringstream text;
    text << seed.rdbuf();
    ASSERT_FALSE(text.str().empty());
    ASSERT_EQ(sqlite3_exec(db_, text.str().c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db_);
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_,
                                 "INSERT INTO contact (username, alias, nickname, remark, type) "
                                 "VALUES (?1, ?2, ?3, ?4, ?5)",
                                 -1, &insert, nullptr),
              SQLITE_OK);
    for (const auto& r : kRows) {
      sqlite3_bind_text(insert, 1, r.username, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 2, r.alias, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 3, r.nickname, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 4, r.remark, -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(insert, 5, r.type);
      ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE) << sqlite3_errmsg(db_);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
  }

  // What "column like <pattern>" means, asked with the pattern as a bound parameter.
  std::set<std::string> oracle(const std::string& column, const std::string& pattern) {
    std::set<std::string> out;
    sqlite3_stmt* stmt = nullptr;
    const std::string sql = "SELECT username FROM contact WHERE " + column + " LIKE ?1";
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK);
    sqlite3_bind_text(stmt, 1, pattern.c_str(), static_cast<int>(pattern.size()), SQLITE_TRANSIENT);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      out.insert(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    }
    sqlite3_finalize(stmt);
    return out;
  }

  std::filesystem::path db_path_;
  sqlite3* db_ = nullptr;
  std::unique_ptr<corvid::test::Sim> sim_;
  Parlo* parlo_ = nullptr;
};

TEST_F(Injection, ContactSearchMatchesExactlyWhatTheValueMeans) {
  const char* values[] = {"'",
                          "it's",
                          "x' or '1'='1",
                          "' or ''='",
                          "%",
                          "50%",
                          "_",
                          "a_b",
                          "\\",
                          "C:\\dir",
                          "中",
                          "张三",
                          "''",
                          "\"",
                          "o'brien' --",
                          "'; drop table contact; --"};
  const char* columns[] = {"username", "alias", "nickname", "remark"};
  std::size_t non_empty = 0;
  for (const char* value : values) {
    for (int c = 0; c < 4; ++c) {
      for (bool fuzzy : {false, true}) {
        SCOPED_TRACE(std::string(columns[c]) + (fuzzy ? " fuzzy " : " exact ") + value);
        std::optional<std::string> criteria[4];
        criteria[c] = value;
        const Json details =
            parlo_->search_contacts(criteria[0], criteria[1], criteria[2], criteria[3], fuzzy);
        ASSERT_TRUE(details.is_array()) << details.dump();
        std::set<std::string> found;
        for (const auto& d : details) found.insert(d.value("uid", "<no uid>"));
        const std::string tag = fuzzy ? "%" : "";
        const auto expected = oracle(columns[c], tag + value + tag);
        EXPECT_EQ(found, expected);
        non_empty += expected.empty() ? 0 : 1;
      }
    }
  }
  EXPECT_GT(non_empty, 20u);  // the table really holds what the values look for

  // Pinned cases, independent of the oracle.
  const Json quote =
      parlo_->search_contacts(std::nullopt, std::nullopt, std::nullopt, "it's", false);
  ASSERT_EQ(quote.size(), 1u);
  EXPECT_EQ(quote[0]["uid"], "u_quote");
  EXPECT_EQ(parlo_->search_contacts(std::nullopt, "x' or '1'='1", std::nullopt, std::nullopt, true),
            Json::array());
  // The table survived every attempt.
  const Json count = parlo_->sql_query("select count(*) from contact", 1);
  EXPECT_EQ(count["result"][0][0], 6 + static_cast<int>(std::size(kRows)));
}

TEST_F(Injection, RoomNameLookupTakesTheIdLiterally) {
  struct Case {
    const char* room_uid;
    std::optional<std::string> name;
  };
  const Case cases[] = {
      {"r'x@chatroom", "Quote Room"},
      {"room_q@chatroom", "Bob's Room"},
      {"群@chatroom", "中文群"},
      {"r\\1", "Back Room"},
      {"x' or '1'='1", ""},
      {"' or username like '%", ""},
      {"room%", ""},  // an equality, so % is only a character
      {"r_x@chatroom", ""},
      {"room_demo@chatroom' --", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.room_uid);
    EXPECT_EQ(parlo_->get_room_name(c.room_uid), c.name);
  }
}

}  // namespace
}  // namespace corvid::core
