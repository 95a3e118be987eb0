#include "platform/logging/RRVLogStore.h"

#include <sqlite3.h>

#include <filesystem>
#include <map>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

namespace roruv {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS logs ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " output TEXT NOT NULL,"
    " tag TEXT NOT NULL,"
    " date_ms INTEGER NOT NULL,"
    " user_info TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS logs_by_output ON logs(output, id);";

std::int64_t millisecondsOf(RRVDate date) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
}

std::string columnText(sqlite3_stmt* statement, int column) {
  auto text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, column)))
              : std::string();
}

// Binds text that SQLite keeps only until the statement is reset.
void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

}  // namespace

std::shared_ptr<RRVLogStore> RRVLogStore::defaultStore() {
  std::string folder = platform::paths::applicationSupport() + "/RoruvIV";
  return storeAtPath(folder + "/LogStore.sqlite");
}

std::shared_ptr<RRVLogStore> RRVLogStore::storeAtPath(const std::string& path) {
  static std::mutex mutex;
  static std::map<std::string, std::weak_ptr<RRVLogStore>> stores;
  std::string key = path.empty() ? ":memory:" : path;
  std::lock_guard lock(mutex);
  // A store in memory is its own: two of them never share logs.
  if (key != ":memory:") {
    if (auto existing = stores[key].lock()) return existing;
  }
  auto store = std::make_shared<RRVLogStore>(key);
  if (key != ":memory:") stores[key] = store;
  return store;
}

RRVLogStore::RRVLogStore(const std::string& path) : path_(path.empty() ? ":memory:" : path) {
  if (path_ != ":memory:") {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), error);
    persistent_ = open(path_);
    if (!persistent_) {
      // A damaged file is moved aside once; the logs it held are beyond reading anyway.
      std::filesystem::rename(path_, path_ + ".damaged", error);
      persistent_ = open(path_);
    }
    if (persistent_) {
      platform::fs::setExcludedFromBackup(path_, true);
    } else {
      platform::log("RRVLogStore: the log store \"" + path_ +
                    "\" cannot be used; logs are kept in memory until the application ends.");
    }
  }
  if (!persistent_ && !open(":memory:")) {
    // Not even memory: every operation below finds no database and does nothing.
    reportError("opening an in-memory log store");
  }
}

RRVLogStore::~RRVLogStore() {
  for (auto* statement : {insert_, remove_, select_, count_}) sqlite3_finalize(statement);
  if (db_) sqlite3_close(db_);
}

bool RRVLogStore::open(const std::string& file) {
  for (auto* statement : {insert_, remove_, select_, count_}) sqlite3_finalize(statement);
  insert_ = remove_ = select_ = count_ = nullptr;
  if (db_) sqlite3_close(db_);
  db_ = nullptr;

  if (sqlite3_open_v2(file.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  // The write-ahead log makes a commit one append; a crash loses at most the last commits of
  // the system, never the file.
  bool ok = execute("PRAGMA journal_mode=WAL;") && execute("PRAGMA synchronous=NORMAL;") &&
            execute(kSchema) &&
            sqlite3_prepare_v2(db_,
                               "INSERT INTO logs(output, tag, date_ms, user_info) "
                               "VALUES(?, ?, ?, ?)",
                               -1, &insert_, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db_, "DELETE FROM logs WHERE id = ? AND output = ?", -1, &remove_,
                               nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db_,
                               "SELECT id, tag, date_ms, user_info FROM logs "
                               "WHERE output = ? ORDER BY id",
                               -1, &select_, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db_, "SELECT count(*) FROM logs WHERE output = ?", -1, &count_,
                               nullptr) == SQLITE_OK;
  if (!ok) {
    for (auto* statement : {insert_, remove_, select_, count_}) sqlite3_finalize(statement);
    insert_ = remove_ = select_ = count_ = nullptr;
    sqlite3_close(db_);
    db_ = nullptr;
  }
  return ok;
}

bool RRVLogStore::execute(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

void RRVLogStore::reportError(const char* what) {
  platform::log(platform::stringf("RRVLogStore: %s failed: %s", what,
                                  db_ ? sqlite3_errmsg(db_) : "no database"));
}

RRVLogs RRVLogStore::addLogs(const RRVLogs& logs, const std::string& output) {
  RRVLogs stored;
  stored.reserve(logs.size());
  std::lock_guard lock(mutex_);
  if (!db_) {
    for (const auto& log : logs) stored.push_back(log);
    return stored;
  }
  execute("BEGIN");
  for (const auto& log : logs) {
    std::string record = platform::jsonText(log->userInfo());
    bindText(insert_, 1, output);
    bindText(insert_, 2, log->tag());
    sqlite3_bind_int64(insert_, 3, millisecondsOf(log->date()));
    bindText(insert_, 4, record);
    if (sqlite3_step(insert_) == SQLITE_DONE) {
      stored.push_back(log->withStoreId(sqlite3_last_insert_rowid(db_)));
    } else {
      // The log still reaches its output; only a restart would lose it.
      reportError("storing a log");
      stored.push_back(log);
    }
    sqlite3_reset(insert_);
  }
  if (!execute("COMMIT")) {
    reportError("storing logs");
    execute("ROLLBACK");
    stored = logs;
  }
  sqlite3_clear_bindings(insert_);
  return stored;
}

RRVLogs RRVLogStore::logsForOutput(const std::string& output) {
  RRVLogs logs;
  std::vector<std::int64_t> unreadable;
  {
    std::lock_guard lock(mutex_);
    if (!db_) return logs;
    bindText(select_, 1, output);
    int status;
    while ((status = sqlite3_step(select_)) == SQLITE_ROW) {
      std::int64_t id = sqlite3_column_int64(select_, 0);
      auto record = platform::Value::parse(columnText(select_, 3), nullptr, false);
      if (record.is_discarded()) {
        unreadable.push_back(id);
        continue;
      }
      RRVLog log(columnText(select_, 1),
                 RRVDate(std::chrono::milliseconds(sqlite3_column_int64(select_, 2))),
                 std::move(record));
      logs.push_back(log.withStoreId(id));
    }
    if (status != SQLITE_DONE) reportError("reading stored logs");
    sqlite3_reset(select_);
    sqlite3_clear_bindings(select_);
  }
  if (!unreadable.empty()) {
    platform::log(platform::stringf(
        "RRVLogStore: %zu stored logs could not be read and are removed.", unreadable.size()));
    RRVLogs doomed;
    for (auto id : unreadable) doomed.push_back(RRVLog("", {}, nullptr).withStoreId(id));
    removeLogs(doomed, output);
  }
  return logs;
}

void RRVLogStore::removeLogs(const RRVLogs& logs, const std::string& output,
                             const std::function<void()>& completion) {
  {
    std::lock_guard lock(mutex_);
    if (db_) {
      execute("BEGIN");
      for (const auto& log : logs) {
        if (!log || log->storeId() == 0) continue;
        sqlite3_bind_int64(remove_, 1, log->storeId());
        bindText(remove_, 2, output);
        if (sqlite3_step(remove_) != SQLITE_DONE) reportError("removing a log");
        sqlite3_reset(remove_);
      }
      if (!execute("COMMIT")) {
        reportError("removing logs");
        execute("ROLLBACK");
      }
      sqlite3_clear_bindings(remove_);
    }
  }
  if (completion) completion();
}

size_t RRVLogStore::countForOutput(const std::string& output) {
  std::lock_guard lock(mutex_);
  if (!db_) return 0;
  bindText(count_, 1, output);
  size_t count = 0;
  if (sqlite3_step(count_) == SQLITE_ROW)
    count = static_cast<size_t>(sqlite3_column_int64(count_, 0));
  sqlite3_reset(count_);
  sqlite3_clear_bindings(count_);
  return count;
}

}  // namespace roruv
