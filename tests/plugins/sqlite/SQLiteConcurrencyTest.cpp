#include <set>
#include <thread>
#include <vector>

#include "SQLiteFixture.h"
#include "platform/foundation/FileManager.h"

using platform::Value;

namespace {
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
