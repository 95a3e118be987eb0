#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
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
// statement that would run for ever is cut short once its connection is being closed, also
// one that spends its time in a few heavy steps (a function building a huge value): another
// thread interrupts the handle, and SQLite stops the statement at its next step.
class SQLiteConnection : public std::enable_shared_from_this<SQLiteConnection> {
 public:
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
  // (they fail with "interrupted"); the earliest such request counts. Any thread; nothing
  // waits for the time to come.
  void interruptAfter(std::chrono::milliseconds grace);

  // Only on the connection's queue.
  bool isOpen() const { return db_ != nullptr; }
  // Runs `statement`, {"sql": text, "params": array} (only the first statement of the text
  // runs), and appends the JSON text of its answer to `out`: the result set object, answering
  // true, or the error (an error object {"code", "message"} or an error text), answering false.
  bool execute(const platform::Value& statement, std::string& out);
  void close();

  // While one lives, a statement whose SQL text was compiled before on the connection runs
  // that compiled statement again (a batch of many rows through one INSERT compiles it once).
  // Only statements that read and write rows are kept, never those that change the schema,
  // attach or set pragmas; SQLite compiles a kept statement anew when the schema has changed,
  // consulting the authorizer again. All are finalised when it ends. One at a time, on the
  // connection's queue.
  class ReusedStatements {
   public:
    explicit ReusedStatements(SQLiteConnection& connection);
    ~ReusedStatements();
    ReusedStatements(const ReusedStatements&) = delete;
    ReusedStatements& operator=(const ReusedStatements&) = delete;

   private:
    SQLiteConnection& connection_;
  };

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
  void drain();
  // Whether the time set by interruptAfter has come.
  bool interruptDue() const;
  // Interrupts whatever runs on the handle now; false once the handle is closed. The
  // interrupter's thread, when interruptDue holds.
  bool interruptNow();
  friend class SQLiteInterrupter;

  struct Kept {
    sqlite3_stmt* statement;
    bool topLevelInsert;  // what the authorizer saw when it was compiled
  };
  // Steps the bound statement and writes its answer, as `execute` does; leaves it reset.
  bool run(sqlite3_stmt* statement, bool topLevelInsert, std::string& out);
  void finalizeKept();

  sqlite3* db_;
  // Held while the handle is closed and while another thread interrupts it: SQLite allows
  // the interrupt from any thread, but never on a handle that is closed.
  std::mutex handleMutex_;
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
  // Cleared when the authorizer is asked about anything but reading and writing rows (a
  // statement compiled meanwhile may then not be kept).
  bool onlyRows_ = true;
  // The statements kept while a ReusedStatements lives, by SQL text.
  bool keeping_ = false;
  std::unordered_map<std::string, Kept> kept_;
};
