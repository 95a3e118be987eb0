#include "SQLiteFixture.h"
#include "platform/foundation/FileManager.h"

using platform::Value;

namespace {

// A batch's statements from [sql, params] pairs (params left out when null).
Value batchOn(const std::string& name, const std::vector<std::pair<std::string, Value>>& statements) {
  Value executes = Value::array();
  for (const auto& [sql, params] : statements) {
    Value statement = {{"sql", sql}};
    if (!params.is_null()) statement["params"] = params;
    executes.push_back(std::move(statement));
  }
  return {{"dbargs", {{"dbname", name}}}, {"executes", std::move(executes)}};
}

}  // namespace

// A batch runs a statement text it has compiled before again; nothing a statement answers
// may tell the two apart.
TEST_F(SQLiteTest, RepeatedStatementsInABatchAnswerAsIfEachWereNew) {
  ASSERT_EQ(open("r.db").message, "Database opened");
  ASSERT_TRUE(sql("r.db", "CREATE TABLE t (id INTEGER PRIMARY KEY, a, b)").ok);
  const std::string insert = "INSERT INTO t (a, b) VALUES (?, ?)";
  const std::string ignore = "INSERT OR IGNORE INTO t (id, a) VALUES (?, 'x')";
  const std::string all = "SELECT * FROM t WHERE id > ? ORDER BY id";
  auto batch = call("backgroundExecuteSqlBatch",
                    batchOn("r.db", {{insert, {1, 2}},
                                     {insert, {3}},  // b left out: NULL, not the last row's 2
                                     {insert, nullptr},
                                     {insert, {1, 2, 3}},  // too many: SQLite's range error
                                     {ignore, {10}},
                                     {ignore, {10}},  // ignored: no insert id of its own
                                     {insert, {"again", 4}},
                                     {all, {1}},
                                     {"ALTER TABLE t ADD COLUMN c DEFAULT 'new'", nullptr},
                                     {all, {1}},  // compiled anew: the new column is there
                                     {"PRAGMA table_info(t)", nullptr},
                                     {"DROP TABLE t", nullptr},
                                     {insert, {1, 2}},
                                     {insert, {1, 2, 3}},  // the missing table comes first
                                     {"PRAGMA table_info(t)", nullptr}}));
  ASSERT_TRUE(batch.ok) << batch.message;
  const auto& entries = batch.message;
  ASSERT_EQ(entries.size(), 15u);
  auto result = [&](size_t i) { return entries[i]["result"]; };
  EXPECT_EQ(result(0), Value::parse(R"({"insertId": 1, "rows": [], "rowsAffected": 1})"));
  EXPECT_EQ(result(1)["insertId"], 2);
  EXPECT_EQ(result(2)["insertId"], 3);
  EXPECT_EQ(entries[3]["error"], Value::parse(R"({"code": 0, "message": "column index out of range"})"));
  EXPECT_EQ(result(4), Value::parse(R"({"insertId": 10, "rows": [], "rowsAffected": 1})"));
  EXPECT_EQ(result(5), Value::parse(R"({"rows": [], "rowsAffected": 0})"));
  EXPECT_EQ(result(6)["insertId"], 11);
  EXPECT_EQ(result(7)["rows"], Value::parse(R"([{"id": 2, "a": 3, "b": null}, {"id": 3, "a": null, "b": null},
                                                 {"id": 10, "a": "x", "b": null}, {"id": 11, "a": "again", "b": 4}])"));
  EXPECT_EQ(result(9)["rows"][3], Value::parse(R"({"id": 11, "a": "again", "b": 4, "c": "new"})"));
  EXPECT_EQ(result(10)["rows"].size(), 4u);
  for (size_t i : {12, 13}) {
    EXPECT_EQ(entries[i]["error"], Value::parse(R"({"code": 5, "message": "no such table: t"})")) << i;
  }
  EXPECT_EQ(result(14)["rows"], Value::array());
  EXPECT_EQ(sql("r.db", "SELECT count(*) AS n FROM sqlite_master").message["rows"][0]["n"], 0);
}

// What SQLite builds into a compiled statement (triggers, foreign key checks) follows changes
// made between two runs of it, and the authorizer refuses a repeated statement every time.
TEST_F(SQLiteTest, RepeatedStatementsFollowTriggersPragmasAndTheAuthorizer) {
  ASSERT_EQ(open("f.db").message, "Database opened");
  ASSERT_TRUE(sql("f.db", "CREATE TABLE parent (id INTEGER PRIMARY KEY)").ok);
  ASSERT_TRUE(sql("f.db", "CREATE TABLE child (id INTEGER PRIMARY KEY, p REFERENCES parent (id))").ok);
  ASSERT_TRUE(sql("f.db", "CREATE TABLE log (x)").ok);
  const std::string insert = "INSERT INTO child (p) VALUES (?)";
  const std::string attach = "ATTACH DATABASE '" + root.file("other.db") + "' AS other";
  const std::string tokenizer = "SELECT hex(fts3_tokenizer('simple')) AS h";
  auto batch = call("backgroundExecuteSqlBatch",
                    batchOn("f.db", {{insert, {7}},
                                     {"PRAGMA foreign_keys = ON", nullptr},
                                     {insert, {7}},  // now checked
                                     {"PRAGMA foreign_keys = OFF", nullptr},
                                     {"PRAGMA foreign_keys = ON", nullptr},  // set again, not skipped
                                     {insert, {7}},
                                     {"CREATE TRIGGER logged AFTER INSERT ON child BEGIN INSERT INTO log VALUES "
                                      "(new.p); END",
                                      nullptr},
                                     {"INSERT INTO parent (id) VALUES (?)", {8}},
                                     {insert, {8}},  // fires the trigger, and still has its own id
                                     {attach, nullptr},
                                     {attach, nullptr},
                                     {tokenizer, nullptr},
                                     {tokenizer, nullptr},
                                     {"SELECT count(*) AS n FROM log", nullptr}}));
  ASSERT_TRUE(batch.ok) << batch.message;
  const auto& entries = batch.message;
  ASSERT_EQ(entries.size(), 14u);
  EXPECT_EQ(entries[0]["result"]["insertId"], 1);
  for (size_t i : {2, 5}) EXPECT_EQ(entries[i]["error"]["code"], 6) << entries[i];
  EXPECT_EQ(entries[8]["result"], Value::parse(R"({"insertId": 2, "rows": [], "rowsAffected": 2})"));
  for (size_t i : {9, 10, 11, 12}) {
    EXPECT_EQ(entries[i]["type"], "error") << i;
    EXPECT_NE(entries[i]["error"].value("message", "").find("authoriz"), std::string::npos) << entries[i];
  }
  EXPECT_EQ(entries[13]["result"]["rows"][0]["n"], 1);
  EXPECT_FALSE(platform::fs::exists(root.file("other.db")));
}
