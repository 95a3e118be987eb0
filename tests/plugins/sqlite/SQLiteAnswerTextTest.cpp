#include <numeric>

#include "SQLiteFixture.h"
#include "platform/foundation/JSONText.h"

using platform::Value;

namespace {

// Status and JSON text of the answer for `callbackId`, exactly as the bridge writes it.
std::string answerText(testing_support::RecordingCommandDelegate& delegate, const std::string& callbackId) {
  auto sent = delegate.wait(callbackId, 10);
  if (!sent) return "no answer for " + callbackId;
  return std::to_string(int(sent->status())) + " " + sent->argumentsAsJSON().value_or("(not JSON)");
}

// The arguments as the page sends them: JSON text, read as the command queue reads it.
Value fromPage(const std::string& text) {
  auto parsed = platform::parseJSONText(text);
  EXPECT_TRUE(parsed) << text;
  return parsed.value_or(Value::object());
}

std::string joined(const std::vector<std::string>& parts) {
  return std::accumulate(std::next(parts.begin()), parts.end(), parts.front(),
                         [](std::string all, const std::string& part) { return all + "," + part; });
}

}  // namespace

// What the page receives is fixed to the byte: key order, number forms, string escapes, the
// entries of failed statements and where they stand in the batch.
TEST_F(SQLiteTest, BatchAnswerTextIsExact) {
  ASSERT_EQ(open("text.db").message, "Database opened");
  std::string id = send("backgroundExecuteSqlBatch", fromPage(R"json({"dbargs": {"dbname": "text.db"}, "executes": [
    {"sql": "CREATE TABLE t (id INTEGER PRIMARY KEY, i, r, s, b)"},
    {"sql": "INSERT INTO t (i, r, s, b) VALUES (?, ?, ?, ?)",
     "params": [null, 0.5, "é😀中\n\t\u0001\u001f\u007f\"\\/ end", "x"]},
    {"sql": "INSERT INTO t (i, r, s, b) VALUES (?, ?, ?, ?)",
     "params": [-9223372036854775808, 1e300, 18446744073709551615, true]},
    {"sql": "INSERT INTO t (i, r, s, b) VALUES (?, ?, ?, X'00e282ac')", "params": [9223372036854775807, -0.0, -2.5]},
    {"sql": "SELECT id, i, r, s, b, typeof(b) AS tb FROM t ORDER BY id", "params": []},
    {"sql": "SELECT id, abs(i) AS a FROM t ORDER BY id", "params": []},
    {"params": []},
    {"sql": "SELECT ?", "params": "no"},
    {"sql": "INSERT INTO t (id) VALUES (1)", "params": []},
    {"sql": "SELECT ? AS a", "params": [1, 2]},
    {"sql": "SELECT 1 AS a, 2 AS a, CAST(X'FF' AS TEXT) AS bad, X'6869' AS blob, X'610062' AS nul, 1e999 AS inf, 'v' AS z, CAST(X'FE' AS TEXT) AS z, 3 AS \"é\", 4 AS \"_\", 5 AS \"B\", 6 AS \"k\"\"\n\""},
    {"sql": "SELECT 0.1 + 0.2 AS f, 1e21 AS g, 1.5e-7 AS h, 100.0 AS i, 1e-320 AS j, 4503599627370497.0 AS k"},
    {"sql": "UPDATE t SET i = 7 WHERE id = 1", "params": []},
    {"sql": "INSERT OR IGNORE INTO t (id) VALUES (2)", "params": []},
    {"sql": "SELEC 1", "params": []},
    {"sql": "INSERT INTO t (s) VALUES (?)", "params": [{"a": [1, "\u00e9"]}]},
    {"sql": "SELECT count(*) AS n FROM t WHERE id > ?", "params": [0]}]})json"));

  auto failed = [](const std::string& error) {
    return R"({"error":)" + error + R"(,"result":)" + error + R"(,"type":"error"})";
  };
  std::string expected = "1 [" + joined({
      R"({"result":{"rows":[],"rowsAffected":0},"type":"success"})",
      R"({"result":{"insertId":1,"rows":[],"rowsAffected":1},"type":"success"})",
      R"({"result":{"insertId":2,"rows":[],"rowsAffected":1},"type":"success"})",
      R"({"result":{"insertId":3,"rows":[],"rowsAffected":1},"type":"success"})",
      R"({"result":{"rows":[{"b":"x","i":null,"id":1,"r":0.5,"s":"é😀中\n\t\u0001\u001f)" "\x7f" R"(\"\\/ end","tb":"text"},)"
          R"({"b":1.0,"i":-9223372036854775808,"id":2,"r":1e+300,"s":1.8446744073709552e+19,"tb":"real"},)"
          R"({"b":"\u0000€","i":9223372036854775807,"id":3,"r":-0.0,"s":-2.5,"tb":"blob"}],"rowsAffected":0},)"
          R"("type":"success"})",
      // The rows read before a step failed are dropped.
      failed(R"({"code":5,"message":"integer overflow"})"),
      failed(R"("INTERNAL PLUGIN ERROR: You must specify a sql query to execute")"),
      failed(R"("INTERNAL PLUGIN ERROR: params must be an array")"),
      failed(R"({"code":6,"message":"UNIQUE constraint failed: t.id"})"),
      failed(R"({"code":0,"message":"column index out of range"})"),
      // Keys in byte order; of two columns of one name the later that JSON can carry.
      R"({"result":{"rows":[{"B":5,"_":4,"a":2,"blob":"hi","k\"\n":6,"nul":"a\u0000b","z":"v","é":3}],)"
          R"("rowsAffected":0},"type":"success"})",
      R"({"result":{"rows":[{"f":0.30000000000000004,"g":1e+21,"h":1.5e-07,"i":100.0,"j":1e-320,)"
          R"("k":4.503599627370497e+15}],"rowsAffected":0},"type":"success"})",
      R"({"result":{"rows":[],"rowsAffected":1},"type":"success"})",
      R"({"result":{"rows":[],"rowsAffected":0},"type":"success"})",
      failed(R"({"code":5,"message":"near \"SELEC\": syntax error"})"),
      R"({"result":{"insertId":4,"rows":[],"rowsAffected":1},"type":"success"})",
      R"({"result":{"rows":[{"n":4}],"rowsAffected":0},"type":"success"})",
  }) + "]";
  EXPECT_EQ(answerText(*delegate, id), expected);

  // A batch for a database that is not open: one error entry per statement, still OK.
  std::string none = send("backgroundExecuteSqlBatch", fromPage(R"json({"dbargs": {"dbname": "none.db"},
      "executes": [{"sql": "SELECT 1"}, {"sql": "SELECT 2"}]})json"));
  std::string notOpen = failed(R"("INTERNAL PLUGIN ERROR: No such database, you must open it first")");
  EXPECT_EQ(answerText(*delegate, none), "1 [" + notOpen + "," + notOpen + "]");
}

TEST_F(SQLiteTest, StatementAnswerTextIsExact) {
  ASSERT_EQ(open("one.db").message, "Database opened");
  auto statement = [&](Value ex) {
    return answerText(*delegate, send("executeSql", {{"dbargs", {{"dbname", "one.db"}}}, {"ex", std::move(ex)}}));
  };
  EXPECT_EQ(statement({{"sql", "CREATE TABLE t (id INTEGER PRIMARY KEY, v)"}}), R"(1 {"rows":[],"rowsAffected":0})");
  EXPECT_EQ(statement(fromPage(R"json({"sql": "INSERT INTO t (v) VALUES (?), (?)", "params": ["a\u2028b", 1.25]})json")),
            R"(1 {"insertId":2,"rows":[],"rowsAffected":2})");
  EXPECT_EQ(statement({{"sql", "SELECT v, id FROM t ORDER BY id"}}),
            "1 {\"rows\":[{\"id\":1,\"v\":\"a\xE2\x80\xA8" "b\"},{\"id\":2,\"v\":1.25}],\"rowsAffected\":0}");
  // SQLite's message, with bytes that are not UTF-8 replaced.
  EXPECT_EQ(statement({{"sql", "SELECT * FROM \"t\xff\xc3\xa4\""}}),
            "9 {\"code\":5,\"message\":\"no such table: t\xEF\xBF\xBD\xC3\xA4\"}");
  EXPECT_EQ(statement({{"sql", 1}}), R"(9 "INTERNAL PLUGIN ERROR: You must specify a sql query to execute")");
}
