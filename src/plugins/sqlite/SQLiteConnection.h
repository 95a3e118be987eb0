#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Value.h"

struct sqlite3;
struct sqlite3_stmt;

// One open database file and the serial queue that every use of its handle runs on. The
// queue is what makes a statement's change count, insert id and error text its own: nothing
// else can run on the handle between the statement and the reading of those values, and a
// close waits behind the statements that were queued before it.
//
// The queues of all connections share a small pool of workers (kWorkers threads, however
// many connections are open); a connection takes a worker only while it has work queued. A
// statement that would run for ever is cut short once its connection is being closed.
class SQLiteConnection : public std::enable_shared_from_this<SQLiteConnection> {
 public:
  // What one statement answers: a result set object when `ok`, else an error object
  // {"code", "message"} or an error text.
  struct Outcome {
    bool ok = false;
    platform::Value message;
  };

  // Opens the file at `path`, creating it when missing, in defensive mode, with ATTACH
  // refused, and runs the probe query. On failure `error` holds the answer for the page and
  // no handle is left open.
  static std::shared_ptr<SQLiteConnection> open(const std::string& path, std::string& error);

  ~SQLiteConnection();
  SQLiteConnection(const SQLiteConnection&) = delete;
  SQLiteConnection& operator=(const SQLiteConnection&) = delete;

  // The threads every connection's queue runs on, at most.
  static constexpr size_t kWorkers = 8;
  // How long the statement running when a close or delete arrives, and those queued before
  // it, may still take before they are interrupted.
  static constexpr std::chrono::milliseconds kCloseGrace{2000};

  const std::string& path() const { return path_; }
  // Runs `work` on the connection's queue, after everything queued before it. Any thread.
  void enqueue(std::function<void()> work);
  // From `grace` from now on, the statement running and every later one are interrupted
  // (they fail with "interrupted"); the earliest such request counts. Any thread.
  void interruptAfter(std::chrono::milliseconds grace);

  // Only on the connection's queue.
  bool isOpen() const { return db_ != nullptr; }
  // `statement` is {"sql": text, "params": array}; only the first statement of the text runs.
  Outcome execute(const platform::Value& statement);
  void close();

  // {"code": the mapped code, "message": the connection's last error text}.
  static platform::Value captureSQLiteErrorFromDb(sqlite3* db);
  // The Web SQL error code for an SQLite primary result code.
  static int mapSQLiteErrorCode(int code);
  // Binds one parameter; answers SQLite's result.
  static int bindStatement(sqlite3_stmt* statement, const platform::Value& argument, int index);

 private:
  SQLiteConnection(sqlite3* db, std::string path);
  static int authorize(void* self, int action, const char* a, const char* b, const char* database,
                       const char* trigger);
  static void updated(void* self, int operation, const char* database, const char* table, long long rowid);
  static int progress(void* self);
  void drain();

  sqlite3* db_;
  std::string path_;
  std::mutex queueMutex_;
  std::deque<std::function<void()>> queued_;
  bool draining_ = false;  // a worker runs (or is about to run) the queue
  // When statements start being interrupted, in steady-clock nanoseconds; 0: never.
  std::atomic<std::int64_t> interruptAt_{0};
  // Set while a statement is prepared and stepped, to tell an INSERT of its own from one of a
  // trigger and from an upsert that updated instead.
  bool topLevelInsert_ = false;
  bool sawInsert_ = false;
};
