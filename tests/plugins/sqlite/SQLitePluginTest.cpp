#include <sys/stat.h>
#include <unistd.h>

#include "SQLiteFixture.h"
#include "platform/foundation/FileManager.h"
#include "support/ScopedLocale.h"

using platform::Value;
namespace fs = platform::fs;

TEST_F(SQLiteTest, LocationsAndTheNoSyncFolderMarkedForBackups) {
  const auto& paths = plugin->appDBPaths();
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(paths.at("nosync"), paths.at("libs") + "/LocalDatabase");
  EXPECT_TRUE(fs::isExcludedFromBackup(paths.at("nosync")));
  for (const auto& [name, location, folder] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"n.db", "nosync", paths.at("nosync")}, {"l.db", "libs", platform::paths::library()}}) {
    EXPECT_EQ(open(name, {{"dblocation", location}}).message, "Database opened");
    EXPECT_TRUE(fs::exists(folder + "/" + name)) << location;
  }
  EXPECT_EQ(open("x.db", {{"dblocation", "cloud"}}).message, "INTERNAL PLUGIN ERROR: open with database name missing");
  EXPECT_EQ(call("echoStringValue", {{"value", "abc"}}).message, "abc");

  // A file where the folder should be: "nosync" stays unregistered, and opening there fails.
  ASSERT_FALSE(fs::remove(paths.at("nosync")));
  root.write("data/Library/LocalDatabase", "not a folder");
  testing_support::LogCapture log;
  makePlugin();
  EXPECT_EQ(plugin->appDBPaths().count("nosync"), 0u);
  EXPECT_TRUE(log.contains("could not create no cloud sync directory at path"));
  auto refused = open("n.db", {{"dblocation", "nosync"}});
  EXPECT_TRUE(!refused.ok && refused.message == "INTERNAL PLUGIN ERROR: open with database name missing");
}

TEST_F(SQLiteTest, OpenCloseAndDeleteLifeCycle) {
  EXPECT_EQ(open("a.db").message, "Database opened");
  EXPECT_EQ(open("a.db").message, "INTERNAL PLUGIN ERROR: database already open");
  EXPECT_EQ(open("a.db", {{"connectionName", "second"}}).message, "Database opened");
  EXPECT_EQ(open("").message, "INTERNAL PLUGIN ERROR: open with database name missing");
  EXPECT_EQ(call("open", {{"name", 7}}).message, "INTERNAL PLUGIN ERROR: open with database name missing");
  EXPECT_EQ(open("c.db", {{"connectionName", 3}}).message, "INTERNAL PLUGIN ERROR: connectionName must be a string");

  EXPECT_EQ(call("close", {{"dbname", "a.db"}}).message, "DB closed");
  EXPECT_EQ(call("close", {{"dbname", "a.db"}}).message, "INTERNAL PLUGIN ERROR: Specified db was not open");
  EXPECT_EQ(call("close", Value::object()).message, "INTERNAL PLUGIN ERROR: You must specify database path");
  EXPECT_EQ(sql("a.db", "SELECT 1").message, "INTERNAL PLUGIN ERROR: No such database, you must open it first");
  EXPECT_EQ(open("a.db").message, "Database opened");

  // Delete closes both connections to the file and takes its journal and WAL files along.
  ASSERT_TRUE(sql("a.db", "PRAGMA journal_mode=WAL").ok);
  ASSERT_TRUE(sql("a.db", "CREATE TABLE t (x)").ok);
  ASSERT_TRUE(fs::exists(docs("a.db-wal")));
  root.write("data/Documents/a.db-journal", "stale");
  EXPECT_EQ(call("delete", {{"path", "a.db"}}).message, "DB deleted");
  EXPECT_TRUE(plugin->openConnectionNames().empty());
  for (const char* file : {"a.db", "a.db-wal", "a.db-shm", "a.db-journal"}) EXPECT_FALSE(fs::exists(docs(file))) << file;
  EXPECT_EQ(call("delete", {{"path", "a.db"}}).message, "The database does not exist on that path");
  EXPECT_EQ(call("delete", Value::object()).message, "INTERNAL PLUGIN ERROR: You must specify database path");
  EXPECT_EQ(call("delete", {{"path", "a.db"}, {"dblocation", "nowhere"}}).message,
            "INTERNAL PLUGIN ERROR: delete with no valid database path found");

  // A file that is no database fails the probe and leaves nothing open; it can be deleted.
  root.write("data/Documents/junk.db", std::string(4096, 'x'));
  EXPECT_EQ(open("junk.db").message, "Unable to open DB with key");
  EXPECT_EQ(call("delete", {{"path", "junk.db"}}).message, "DB deleted");

  // A companion that cannot be removed is reported, not passed over.
  ASSERT_EQ(open("b.db").message, "Database opened");
  ASSERT_FALSE(fs::createDirectory(docs("b.db-wal"), false));
  root.write("data/Documents/b.db-wal/keep", "x");
  auto failed = call("delete", {{"path", "b.db"}});
  EXPECT_TRUE(!failed.ok && failed.message.get<std::string>().find("b.db-wal") != std::string::npos) << failed.message;
  EXPECT_FALSE(fs::exists(docs("b.db")));

  // Destroying the plugin closes its connections: the last to close checkpoints the log and
  // removes it.
  ASSERT_EQ(open("w.db").message, "Database opened");
  ASSERT_TRUE(sql("w.db", "PRAGMA journal_mode=WAL").ok);
  ASSERT_TRUE(sql("w.db", "CREATE TABLE t (x)").ok);
  ASSERT_TRUE(fs::exists(docs("w.db-wal")));
  plugin.reset();
  EXPECT_FALSE(fs::exists(docs("w.db-wal")));
}

TEST_F(SQLiteTest, NamesStayInsideTheirFolderAndKeysDoNotCollide) {
  root.write("outside.db", "");
  for (const std::string& name : std::vector<std::string>{"../outside.db", "../../x.db", "a/b.db", ".", "..",
                                                         "x.db-wal", "x.db-journal", "a\r\nb", std::string("a\0b", 3),
                                                         "bad\xff"}) {
    EXPECT_EQ(open(name).message, "INTERNAL PLUGIN ERROR: invalid database name") << name;
    EXPECT_EQ(call("delete", {{"path", name}}).message, "INTERNAL PLUGIN ERROR: invalid database name") << name;
  }
  EXPECT_TRUE(fs::exists(root.file("outside.db")));
  // A symbolic link in the folder is not followed out of it.
  ASSERT_EQ(symlink(root.file("outside.db").c_str(), docs("link.db").c_str()), 0);
  EXPECT_EQ(open("link.db").message, "Unable to open DB");

  // "a_b" alone and "a" with connection "b" are two connections to two files.
  EXPECT_EQ(open("a_b").message, "Database opened");
  EXPECT_EQ(open("a", {{"connectionName", "b"}}).message, "Database opened");
  ASSERT_TRUE(sql("a_b", "CREATE TABLE only_in_a_b (x)").ok);
  auto other = call("executeSql", {{"dbargs", {{"dbname", "a"}, {"connectionName", "b"}}},
                                   {"ex", {{"sql", "SELECT * FROM only_in_a_b"}}}});
  EXPECT_EQ(other.message["code"], 5) << other.message;
  EXPECT_EQ(call("close", {{"dbname", std::string("a\0b", 3)}}).message,
            "INTERNAL PLUGIN ERROR: Specified db was not open");
  EXPECT_EQ(plugin->openConnectionNames().size(), 2u);
}

// Nothing reaches outside the location, and no address inside the library reaches the page.
TEST_F(SQLiteTest, AttachAndVacuumIntoAreRefused) {
  ASSERT_EQ(open("s.db").message, "Database opened");
  ASSERT_TRUE(sql("s.db", "CREATE TABLE t (x)").ok);
  std::string outside = root.file("stolen.db");
  for (std::string text : {"ATTACH DATABASE '" + outside + "' AS other", "ATTACH ('" + outside + "') AS other",
                           "VACUUM INTO '" + outside + "'", "PRAGMA temp_store_directory = '" + root.path() + "'",
                           std::string("SELECT hex(fts3_tokenizer('simple'))"), std::string("SELECT FTS3_TOKENIZER('porter', x'00')")}) {
    auto refused = sql("s.db", text);
    EXPECT_FALSE(refused.ok) << text;
    EXPECT_NE(refused.message.value("message", "").find("authoriz"), std::string::npos) << text << refused.message;
  }
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_TRUE(sql("s.db", "VACUUM").ok);  // its own temporary attachment is allowed
}

// SQLite hands the authorizer a pragma's name as the page wrote it. In a Turkish user's locale,
// which GTK takes from the environment, the C library has no single-byte lower case for 'I':
// a comparison through it let "TEMP_STORE_DIRECTORY" move every connection's files elsewhere.
TEST_F(SQLiteTest, NamesAreRefusedInEveryCaseWhateverTheLocale) {
  testing_support::ScopedLocale turkish("tr_TR.UTF-8");
  ASSERT_TRUE(turkish.ok());
  ASSERT_EQ(open("s.db").message, "Database opened");
  for (std::string text : {"PRAGMA TEMP_STORE_DIRECTORY = '" + root.path() + "'",
                           "PRAGMA main.Temp_Store_DIRECTORY = '" + root.path() + "'"}) {
    auto refused = sql("s.db", text);
    EXPECT_FALSE(refused.ok) << text;
    EXPECT_NE(refused.message.value("message", "").find("authoriz"), std::string::npos) << text << refused.message;
  }
}

TEST_F(SQLiteTest, StatementResults) {
  ASSERT_EQ(open("e.db").message, "Database opened");
  EXPECT_EQ(sql("e.db", "CREATE TABLE t (id INTEGER PRIMARY KEY, v)").message,
            Value::parse(R"({"rows": [], "rowsAffected": 0})"));
  EXPECT_EQ(sql("e.db", "INSERT INTO t (v) VALUES (?)", {"one"}).message,
            Value::parse(R"({"rows": [], "rowsAffected": 1, "insertId": 1})"));
  // Neither a SELECT nor an UPDATE reports the earlier INSERT's row as its own.
  EXPECT_EQ(sql("e.db", "SELECT v FROM t").message, Value::parse(R"({"rows": [{"v": "one"}], "rowsAffected": 0})"));
  EXPECT_EQ(sql("e.db", "UPDATE t SET v = 'uno'").message, Value::parse(R"({"rows": [], "rowsAffected": 1})"));
  // An insert that ignored its row, and an upsert that updated one, inserted nothing either.
  EXPECT_FALSE(sql("e.db", "INSERT OR IGNORE INTO t (id, v) VALUES (1, 'x')").message.contains("insertId"));
  EXPECT_FALSE(sql("e.db", "INSERT INTO t (id, v) VALUES (1, 'y') ON CONFLICT(id) DO UPDATE SET v = 'z'")
                   .message.contains("insertId"));
  // The SQL function still sees the last insert of the connection.
  EXPECT_EQ(sql("e.db", "SELECT last_insert_rowid() AS id").message["rows"][0]["id"], 1);

  // Exact 64-bit integers, an unsigned one past them, a boolean, NULL and an object.
  auto bound = sql("e.db", "SELECT ? AS max, ? AS min, ? AS big, typeof(?) AS flag, ? AS nul, ? AS object",
                   Value::parse(R"([9223372036854775807, -9223372036854775808, 18446744073709551615, true, null,
                                    {"a": [1]}])"));
  ASSERT_TRUE(bound.ok) << bound.message;
  const auto& row = bound.message["rows"][0];
  EXPECT_TRUE(row["max"].get<std::int64_t>() == INT64_MAX && row["min"].get<std::int64_t>() == INT64_MIN) << row;
  EXPECT_TRUE(row["big"].is_number_float() && row["nul"].is_null() && row["flag"] == "real" &&
              row["object"] == R"({"a":[1]})")
      << row;

  // The later of two columns of one name wins; text that is not UTF-8 is left out.
  EXPECT_EQ(sql("e.db", "SELECT 1 AS a, 2 AS a, CAST(X'FF' AS TEXT) AS bad, X'6869' AS blob, 1e999 AS inf")
                .message["rows"][0],
            Value::parse(R"({"a": 2, "blob": "hi"})"));
  // Only the first statement of the text runs.
  ASSERT_TRUE(sql("e.db", "INSERT INTO t (v) VALUES ('first'); INSERT INTO t (v) VALUES ('second')").ok);
  EXPECT_EQ(sql("e.db", "SELECT count(*) AS n FROM t").message["rows"][0]["n"], 2);

  // Arguments nested past any sensible depth are refused before they are copied, or left
  // behind where the action does not read them. (Built in place: copying such a value is
  // exactly what would overflow the stack.)
  auto nestDeeply = [](Value& slot) {
    Value* inner = &slot;
    for (int i = 0; i < 100000; ++i) inner = &inner->emplace_back(Value::array());
  };
  const std::string tooDeep = "INTERNAL PLUGIN ERROR: arguments are nested too deeply";
  for (auto [action, args, slot, expected] : std::vector<std::tuple<std::string, Value, std::string, std::string>>{
           {"executeSql", {{"dbargs", {{"dbname", "e.db"}}}, {"ex", {{"sql", "SELECT ?"}}}}, "/ex/params", tooDeep},
           {"echoStringValue", Value::object(), "/value", tooDeep},
           {"open", {{"name", "deep.db"}}, "/unread", "Database opened"}}) {
    nestDeeply(args[Value::json_pointer(slot)]);
    EXPECT_EQ(call(action, std::move(args)).message, expected) << action;
  }

  const std::string noSql = "INTERNAL PLUGIN ERROR: You must specify a sql query to execute";
  EXPECT_TRUE(sql("e.db", "").message == noSql && sql("e.db", "  -- nothing").message == noSql);
  EXPECT_EQ(call("executeSql", {{"dbargs", {{"dbname", "e.db"}}}, {"ex", {{"sql", 5}}}}).message, noSql);
  EXPECT_EQ(call("executeSql", {{"ex", {{"sql", "SELECT 1"}}}}).message,
            "INTERNAL PLUGIN ERROR: You must specify database path");
  EXPECT_EQ(call("executeSql", {{"dbargs", {{"dbname", "e.db"}}}, {"ex", {{"sql", "SELECT ?"}, {"params", "1"}}}})
                .message,
            "INTERNAL PLUGIN ERROR: params must be an array");

  // Error codes: syntax 5, constraint 6, anything else 0, with SQLite's message.
  auto syntax = sql("e.db", "SELEC 1");
  EXPECT_TRUE(!syntax.ok && syntax.message["code"] == 5) << syntax.message;
  EXPECT_EQ(sql("e.db", "INSERT INTO t (id) VALUES (1)").message["code"], 6);
  auto range = sql("e.db", "SELECT ?", {1, 2});
  EXPECT_EQ(range.message, Value::parse(R"({"code": 0, "message": "column index out of range"})"));
  EXPECT_EQ(SQLiteConnection::mapSQLiteErrorCode(13), 4);
}

TEST_F(SQLiteTest, BatchesCollectOneEntryPerStatement) {
  ASSERT_EQ(open("b.db").message, "Database opened");
  auto batch = call("backgroundExecuteSqlBatch",
                    Value::parse(R"json({"dbargs": {"dbname": "b.db"}, "executes": [
                      {"sql": "CREATE TABLE t (x UNIQUE)", "params": []},
                      {"sql": "INSERT INTO t VALUES (?)", "params": [1]},
                      {"sql": "INSERT INTO t VALUES (?)", "params": [1]},
                      {"params": []},
                      {"sql": "SELECT x FROM t", "params": []}]})json"));
  ASSERT_TRUE(batch.ok);
  const auto& entries = batch.message;
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[1]["result"]["insertId"], 1);
  EXPECT_TRUE(entries[2]["type"] == "error" && entries[2]["error"]["code"] == 6 &&
              entries[2]["error"] == entries[2]["result"])
      << entries[2];
  EXPECT_EQ(entries[3], Value::parse(R"({"type": "error",
      "error": "INTERNAL PLUGIN ERROR: You must specify a sql query to execute",
      "result": "INTERNAL PLUGIN ERROR: You must specify a sql query to execute"})"));
  EXPECT_EQ(entries[4]["result"]["rows"], Value::parse(R"([{"x": 1}])"));

  EXPECT_EQ(call("backgroundExecuteSqlBatch", {{"dbargs", {{"dbname", "b.db"}}}}).message, Value::array());
  EXPECT_EQ(call("executeSqlBatchNow", {{"dbargs", {{"dbname", "none.db"}}}, {"executes", {{{"sql", "SELECT 1"}}}}})
                .message[0]["error"],
            "INTERNAL PLUGIN ERROR: No such database, you must open it first");
  EXPECT_FALSE(call("backgroundExecuteSqlBatch", {{"dbargs", {{"dbname", "b.db"}}}, {"executes", "SELECT 1"}}).ok);
}
