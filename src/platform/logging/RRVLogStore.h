#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/logging/RRVLog.h"

struct sqlite3;
struct sqlite3_stmt;

namespace roruv {

// Keeps the logs of buffered outputs until they are written, so that a restart loses none.
// One SQLite database; each log is kept under the storage key of the output it belongs to.
// Records are stored as JSON text with invalid UTF-8 replaced, so every stored log can be
// read back and sent. Safe from any thread.
//
// When the database cannot be opened (an unwritable folder, a damaged file that cannot be
// replaced) the store keeps its logs in memory for the life of the process and says so once
// on the process log: logs are never refused.
class RRVLogStore {
 public:
  // The default store: "RoruvIV/LogStore.sqlite" in the application-support folder of the
  // current data root; one object per file.
  static std::shared_ptr<RRVLogStore> defaultStore();
  // The store in the file at `path` ("" or ":memory:": in memory only); one object per file.
  static std::shared_ptr<RRVLogStore> storeAtPath(const std::string& path);

  explicit RRVLogStore(const std::string& path);
  ~RRVLogStore();
  RRVLogStore(const RRVLogStore&) = delete;
  RRVLogStore& operator=(const RRVLogStore&) = delete;

  // False when the store fell back to memory.
  bool isPersistent() const { return persistent_; }
  const std::string& path() const { return path_; }

  // Stores the logs for `output` in one transaction and answers them as stored (carrying
  // their store ids), in the same order.
  RRVLogs addLogs(const RRVLogs& logs, const std::string& output);
  // Every stored log of `output`, oldest first. A row that cannot be read back is removed
  // and reported.
  RRVLogs logsForOutput(const std::string& output);
  // Removes the given logs of `output` (logs without a store id are ignored), then calls
  // `completion` (when given) on the calling thread.
  void removeLogs(const RRVLogs& logs, const std::string& output,
                  const std::function<void()>& completion = {});
  size_t countForOutput(const std::string& output);

 private:
  bool open(const std::string& file);
  bool execute(const char* sql);
  void reportError(const char* what);

  std::string path_;
  bool persistent_ = false;
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* remove_ = nullptr;
  sqlite3_stmt* select_ = nullptr;
  sqlite3_stmt* count_ = nullptr;
};

}  // namespace roruv
