#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "platform/foundation/JSONText.h"
#include "platform/logging/RRVLogStore.h"
#include "support/TestSupport.h"

using roruv::RRVLog;
using roruv::RRVLogs;
using roruv::RRVLogStore;

namespace {

RRVLogs logsWithTexts(std::initializer_list<std::string> texts) {
  RRVLogs logs;
  for (const auto& text : texts)
    logs.push_back(std::make_shared<RRVLog>("tag", std::chrono::system_clock::now(),
                                            platform::Value{{"text", text}}));
  return logs;
}

std::vector<std::string> textsOf(const RRVLogs& logs) {
  std::vector<std::string> texts;
  for (const auto& log : logs) texts.push_back(log->userInfo().value("text", ""));
  return texts;
}

}  // namespace

TEST(RRVLogStore, KeepsLogsPerOutputInOrderAndRemovesOnlyTheGivenOnes) {
  testing_support::TempDir folder;
  auto store = RRVLogStore::storeAtPath(folder.file("store.sqlite"));
  EXPECT_EQ(store, RRVLogStore::storeAtPath(folder.file("store.sqlite")));  // one object per file

  RRVLogs stored = store->addLogs(logsWithTexts({"a", "b", "c"}), "first");
  store->addLogs(logsWithTexts({"other"}), "second");
  ASSERT_EQ(stored.size(), 3u);
  for (const auto& log : stored) EXPECT_GT(log->storeId(), 0);

  bool completed = false;
  store->removeLogs({stored[1]}, "second", [&] { completed = true; });  // not that output's log
  EXPECT_TRUE(completed);
  EXPECT_EQ(textsOf(store->logsForOutput("first")), (std::vector<std::string>{"a", "b", "c"}));
  store->removeLogs({stored[1], logsWithTexts({"never stored"})[0]}, "first");
  EXPECT_EQ(textsOf(store->logsForOutput("first")), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(store->countForOutput("second"), 1u);
}

TEST(RRVLogStore, ADamagedFileIsSetAsideAndAnUnusableFolderFallsBackToMemory) {
  testing_support::TempDir folder;
  std::string damaged = folder.write("damaged.sqlite", std::string(4096, 'x'));
  auto store = RRVLogStore::storeAtPath(damaged);
  EXPECT_TRUE(store->isPersistent());
  EXPECT_TRUE(std::filesystem::exists(damaged + ".damaged"));
  store->addLogs(logsWithTexts({"kept"}), "out");
  EXPECT_EQ(store->countForOutput("out"), 1u);

  testing_support::LogCapture log;
  std::string blocked = folder.write("a-file", "not a folder") + "/store.sqlite";
  auto memory = RRVLogStore::storeAtPath(blocked);
  EXPECT_FALSE(memory->isPersistent());
  EXPECT_TRUE(log.contains("kept in memory"));
  memory->addLogs(logsWithTexts({"still kept"}), "out");
  EXPECT_EQ(textsOf(memory->logsForOutput("out")), (std::vector<std::string>{"still kept"}));
}

TEST(RRVLogStore, InvalidTextIsStoredReplacedAndAnUnreadableRowIsDropped) {
  testing_support::TempDir folder;
  const std::string path = folder.file("store.sqlite");
  auto store = RRVLogStore::storeAtPath(path);
  store->addLogs(logsWithTexts({std::string("bad \xC3\x28 byte")}), "out");

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "INSERT INTO logs(output, tag, date_ms, user_info) "
                         "VALUES('out', 'tag', 0, '{not json')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  testing_support::LogCapture log;
  RRVLogs logs = store->logsForOutput("out");
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0]->userInfo()["text"], "bad \xEF\xBF\xBD( byte");
  EXPECT_TRUE(log.contains("could not be read"));
  EXPECT_EQ(store->countForOutput("out"), 1u);
}
