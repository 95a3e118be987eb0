#include <chrono>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "SQLiteFixture.h"
#include "platform/foundation/FileManager.h"

using platform::Value;

namespace {
const char* const kEndless = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c";

// The threads of this process now.
int threadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

Value insertBatch(const std::string& name, int count) {
  Value executes = Value::array();
  for (int i = 0; i < count; ++i) executes.push_back({{"sql", "INSERT INTO t (v) VALUES (?)"}, {"params", {i}}});
  return {{"dbargs", {{"dbname", name}}}, {"executes", executes}};
}
}  // namespace

// Statements sent from many threads at once each get their own change count and insert id.
TEST_F(SQLiteTest, ConcurrentStatementsKeepTheirOwnCountsAndIds) {
  ASSERT_EQ(open("c.db").message, "Database opened");
  ASSERT_TRUE(sql("c.db", "PRAGMA synchronous = OFF").ok);  // many small transactions
  ASSERT_TRUE(sql("c.db", "CREATE TABLE t (id INTEGER PRIMARY KEY, v)").ok);
  constexpr int kThreads = 4, kEach = 25, kBatch = 20;
  std::vector<std::vector<std::string>> single(kThreads), batches(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        single[t].push_back(send("executeSql", {{"dbargs", {{"dbname", "c.db"}}},
                                                {"ex", {{"sql", "INSERT INTO t (v) VALUES (?)"}, {"params", {i}}}}}));
        if (i % 10 == 0) batches[t].push_back(send("backgroundExecuteSqlBatch", insertBatch("c.db", kBatch)));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<std::int64_t> ids;
  size_t expected = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (const auto& id : single[t]) {
      auto answer = result(id);
      ASSERT_TRUE(answer.ok) << answer.message;
      EXPECT_EQ(answer.message["rowsAffected"], 1);
      ids.insert(answer.message["insertId"].get<std::int64_t>());
      ++expected;
    }
    for (const auto& id : batches[t]) {
      auto answer = result(id);
      ASSERT_EQ(answer.message.size(), size_t(kBatch));
      for (const auto& entry : answer.message) {
        EXPECT_EQ(entry["result"]["rowsAffected"], 1);
        ids.insert(entry["result"]["insertId"].get<std::int64_t>());
        ++expected;
      }
    }
  }
  // Every insert reported a different row, and the rows are exactly 1..n.
  EXPECT_TRUE(ids.size() == expected && *ids.begin() == 1 && *ids.rbegin() == std::int64_t(expected)) << ids.size();
}

// A close queues behind the statements sent before it; later ones find no database.
TEST_F(SQLiteTest, CloseWaitsForEarlierStatementsAndRefusesLaterOnes) {
  ASSERT_EQ(open("k.db").message, "Database opened");
  ASSERT_TRUE(sql("k.db", "PRAGMA synchronous = OFF").ok);
  ASSERT_TRUE(sql("k.db", "CREATE TABLE t (id INTEGER PRIMARY KEY, v)").ok);
  std::vector<std::string> before, after;
  for (int i = 0; i < 3; ++i) before.push_back(send("backgroundExecuteSqlBatch", insertBatch("k.db", 200)));
  std::string closed;
  std::thread racer([&] {
    for (int i = 0; i < 20; ++i) after.push_back(send("executeSql", {{"dbargs", {{"dbname", "k.db"}}},
                                                                      {"ex", {{"sql", "SELECT count(*) FROM t"}}}}));
  });
  closed = send("close", {{"dbname", "k.db"}});
  racer.join();
  for (int i = 0; i < 5; ++i)
    after.push_back(send("executeSql", {{"dbargs", {{"dbname", "k.db"}}}, {"ex", {{"sql", "SELECT 1"}}}}));

  for (const auto& id : before) {
    auto answer = result(id);
    ASSERT_EQ(answer.message.size(), 200u);
    EXPECT_EQ(answer.message[199]["type"], "success");
  }
  EXPECT_EQ(result(closed).message, "DB closed");
  int refused = 0;
  for (const auto& id : after) {
    auto answer = result(id);
    if (!answer.ok) {
      EXPECT_EQ(answer.message, "INTERNAL PLUGIN ERROR: No such database, you must open it first");
      ++refused;
    }
  }
  EXPECT_GE(refused, 5);

  // The data of every earlier batch is there.
  ASSERT_EQ(open("k.db").message, "Database opened");
  EXPECT_EQ(sql("k.db", "SELECT count(*) AS n FROM t").message["rows"][0]["n"], 600);
}

// Delete closes a connection only after the batch running on it, then removes the file.
TEST_F(SQLiteTest, DeleteWaitsForARunningBatch) {
  ASSERT_EQ(open("d.db").message, "Database opened");
  ASSERT_EQ(open("d.db", {{"connectionName", "reader"}}).message, "Database opened");
  ASSERT_TRUE(sql("d.db", "PRAGMA synchronous = OFF").ok);
  ASSERT_TRUE(sql("d.db", "CREATE TABLE t (id INTEGER PRIMARY KEY, v)").ok);
  std::string batch = send("backgroundExecuteSqlBatch", insertBatch("d.db", 500));
  std::string deleted = send("delete", {{"path", "d.db"}});
  auto entries = result(batch).message;
  ASSERT_EQ(entries.size(), 500u);
  for (const auto& entry : entries) ASSERT_EQ(entry["type"], "success") << entry;
  EXPECT_EQ(result(deleted).message, "DB deleted");
  EXPECT_FALSE(platform::fs::exists(docs("d.db")));
  EXPECT_TRUE(plugin->openConnectionNames().empty());
}

// A statement that never ends holds no lock and no shared worker: opens, other databases
// and the background queue go on, and closing or deleting its database interrupts it.
TEST_F(SQLiteTest, EndlessStatementsAreInterruptedAndFreezeNothing) {
  using Clock = std::chrono::steady_clock;
  ASSERT_EQ(open("loop.db").message, "Database opened");
  ASSERT_TRUE(sql("loop.db", "CREATE TABLE t (x)").ok);
  constexpr int kBusy = int(SQLiteConnection::kWorkers) - 2;  // one worker stays free
  std::vector<std::string> endless;
  for (int i = 0; i < kBusy; ++i) {
    std::string name = "busy" + std::to_string(i) + ".db";
    ASSERT_EQ(open(name).message, "Database opened");
    endless.push_back(send("executeSql", {{"dbargs", {{"dbname", name}}}, {"ex", {{"sql", kEndless}}}}));
  }
  std::string onLoop = send("executeSql", {{"dbargs", {{"dbname", "loop.db"}}}, {"ex", {{"sql", kEndless}}}});
  std::string deleted = send("delete", {{"path", "loop.db"}});
  std::string reopened = send("open", {{"name", "loop.db"}});
  std::vector<std::string> deletes;
  for (int i = 0; i < kBusy; ++i) deletes.push_back(send("delete", {{"path", "busy" + std::to_string(i) + ".db"}}));

  // Another database and the shared background queue answer while all of that waits.
  auto started = Clock::now();
  EXPECT_EQ(open("other.db").message, "Database opened");
  EXPECT_TRUE(sql("other.db", "SELECT 1").ok);
  std::atomic<bool> ran{false};
  delegate->runInBackground([&ran] { ran = true; });
  for (int i = 0; i < 100 && !ran; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(ran);
  EXPECT_LT(Clock::now() - started, SQLiteConnection::kCloseGrace);

  // The endless statements fail as interrupted; the deletes then finish, and the open that
  // waited for its file's delete finds a new, empty database.
  auto interrupted = result(onLoop);
  EXPECT_FALSE(interrupted.ok);
  EXPECT_NE(interrupted.message.value("message", "").find("interrupt"), std::string::npos) << interrupted.message;
  EXPECT_EQ(result(deleted).message, "DB deleted");
  EXPECT_EQ(result(reopened).message, "Database opened");
  EXPECT_EQ(sql("loop.db", "SELECT name FROM sqlite_master").message["rows"].size(), 0u);
  for (const auto& id : endless) EXPECT_FALSE(result(id).ok);
  for (const auto& id : deletes) EXPECT_EQ(result(id).message, "DB deleted");

  // A close interrupts too, and answers.
  std::string again = send("executeSql", {{"dbargs", {{"dbname", "other.db"}}}, {"ex", {{"sql", kEndless}}}});
  EXPECT_EQ(call("close", {{"dbname", "other.db"}}).message, "DB closed");
  EXPECT_FALSE(result(again).ok);
}

// A statement of a few heavy steps (forty values of 100 MB each, about ten seconds) never
// reaches a check made every so many steps; closing or deleting its database still stops it
// at the close's grace, and the database opens and works again afterwards.
TEST_F(SQLiteTest, StatementsOfFewHeavyStepsAreInterruptedByCloseAndDelete) {
  using Clock = std::chrono::steady_clock;
  std::string unionAll = "SELECT length(randomblob(100000000)) AS n";
  for (int i = 1; i < 40; ++i) unionAll += " UNION ALL SELECT length(randomblob(100000000))";
  const std::string recursive = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT 40) "
                                "SELECT sum(length(randomblob(100000000))) AS n FROM c";
  // The promise is the grace and a second; the rest is room for a loaded machine.
  const auto bound = SQLiteConnection::kCloseGrace + std::chrono::seconds(3);
  auto sendHeavy = [&](const std::string& text) {
    return send("executeSql", {{"dbargs", {{"dbname", "heavy.db"}}}, {"ex", {{"sql", text}}}});
  };
  auto expectInterrupted = [&](const std::string& id) {
    auto answer = result(id);
    EXPECT_FALSE(answer.ok);
    EXPECT_NE(answer.message.value("message", "").find("interrupt"), std::string::npos) << answer.message;
  };

  ASSERT_EQ(open("heavy.db").message, "Database opened");
  ASSERT_TRUE(sql("heavy.db", "CREATE TABLE t (v)").ok);
  ASSERT_TRUE(sql("heavy.db", "INSERT INTO t VALUES ('kept')").ok);
  std::string running = sendHeavy(unionAll);
  std::string queued = sendHeavy(recursive);
  auto started = Clock::now();
  EXPECT_EQ(call("close", {{"dbname", "heavy.db"}}).message, "DB closed");
  EXPECT_LT(Clock::now() - started, bound);
  expectInterrupted(running);
  expectInterrupted(queued);
  ASSERT_EQ(open("heavy.db").message, "Database opened");
  EXPECT_EQ(sql("heavy.db", "SELECT v FROM t").message["rows"], (Value{{{"v", "kept"}}}));

  running = sendHeavy(recursive);
  started = Clock::now();
  EXPECT_EQ(call("delete", {{"path", "heavy.db"}}).message, "DB deleted");
  EXPECT_LT(Clock::now() - started, bound);
  expectInterrupted(running);
  ASSERT_EQ(open("heavy.db").message, "Database opened");
  EXPECT_TRUE(sql("heavy.db", "CREATE TABLE t (v)").ok);
  EXPECT_EQ(sql("heavy.db", "SELECT count(*) AS n FROM t").message["rows"][0]["n"], 0);
}

// Connections share a bounded set of threads, however many are open and busy.
TEST_F(SQLiteTest, ManyConnectionsShareABoundedSetOfThreads) {
  ASSERT_EQ(open("first.db").message, "Database opened");
  ASSERT_TRUE(sql("first.db", "SELECT 1").ok);
  int before = threadCount();
  std::vector<std::string> statements;
  for (int i = 0; i < 300; ++i) {
    std::string name = "many" + std::to_string(i) + ".db";
    ASSERT_EQ(open(name).message, "Database opened");
    statements.push_back(send("executeSql", {{"dbargs", {{"dbname", name}}},
                                             {"ex", {{"sql", "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                                                             "FROM c LIMIT 20000) SELECT count(*) AS n FROM c"}}}}));
  }
  for (const auto& id : statements) EXPECT_EQ(result(id).message["rows"][0]["n"], 20000);
  EXPECT_LE(threadCount(), before + int(SQLiteConnection::kWorkers)) << before;
  EXPECT_EQ(plugin->openConnectionNames().size(), 301u);
}

TEST(LockedDictionaryTest, CopiesAndComparesUnderItsLock) {
  CustomThreadSafeMutableDictionary<std::string, int> first({1, 2}, {"a", "b"});
  auto copy = first;
  EXPECT_TRUE(copy == first);
  copy.setObject(3, "c");
  EXPECT_FALSE(copy == first);
  EXPECT_EQ(copy.allKeys(), (std::vector<std::string>{"a", "b", "c"}));
  int taken = copy.performLockedWithDictionary([](auto& map) {
    int value = map.at("b");
    map.erase("b");
    return value;
  });
  EXPECT_EQ(taken, 2);
  EXPECT_EQ(copy.objectForKey("b"), std::nullopt);
}
