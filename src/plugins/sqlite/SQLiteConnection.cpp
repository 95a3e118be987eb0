#include "plugins/sqlite/SQLiteConnection.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <thread>

#include "platform/foundation/CaughtException.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

using platform::Value;

namespace {

const char* const kNoSqlError = "INTERNAL PLUGIN ERROR: You must specify a sql query to execute";

bool isSchemaTable(const char* table) { return table && std::strncmp(table, "sqlite_", 7) == 0; }

void appendInteger(std::string& out, std::int64_t number) {
  char buffer[24];
  auto written = std::to_chars(buffer, buffer + sizeof buffer, number);
  out.append(buffer, written.ptr);
}

// Appends the JSON text of a column's value as the page gets it; false, with `out` unchanged,
// when JSON cannot carry it (text that is not UTF-8, a number that is not finite), and the
// column is then left out of the row.
bool appendColumn(sqlite3_stmt* statement, int column, std::string& out) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      appendInteger(out, sqlite3_column_int64(statement, column));
      return true;
    case SQLITE_FLOAT: {
      double number = sqlite3_column_double(statement, column);
      if (!std::isfinite(number)) return false;
      platform::appendJSONNumber(out, number);
      return true;
    }
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      std::string_view bytes(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(statement, column)));
      return platform::appendJSONString(out, bytes);
    }
    default:
      out += "null";
      return true;
  }
}

// How a statement's rows are written: one key per distinct column name, in the order JSON
// objects keep their keys, each with its columns latest first. A later column of a name
// replaces an earlier one, unless JSON cannot carry the later one's value.
struct RowKey {
  std::string text;  // the quoted name and its colon
  std::vector<int> columns;
};

std::vector<RowKey> rowKeys(sqlite3_stmt* statement) {
  std::map<std::string, std::vector<int>> byName;
  int count = sqlite3_column_count(statement);
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(statement, i);
    byName[platform::replacingInvalidUTF8(name ? name : "")].push_back(i);
  }
  std::vector<RowKey> keys;
  keys.reserve(byName.size());
  for (auto& [name, columns] : byName) {
    RowKey key;
    platform::appendJSONString(key.text, name);
    key.text += ':';
    key.columns.assign(columns.rbegin(), columns.rend());
    keys.push_back(std::move(key));
  }
  return keys;
}

void appendRow(sqlite3_stmt* statement, const std::vector<RowKey>& keys, std::string& out) {
  out += '{';
  bool first = true;
  for (const RowKey& key : keys) {
    for (int column : key.columns) {
      size_t mark = out.size();
      if (!first) out += ',';
      out += key.text;
      if (appendColumn(statement, column, out)) {
        first = false;
        break;
      }
      out.resize(mark);
    }
  }
  out += '}';
}

// The authorizer's actions of statements that only read and write rows (and transactions):
// compiled once, such a statement may run again for the same text. Others (schema changes,
// pragmas, attaching) may do part of their work while being compiled, and are compiled for
// every run.
bool readsOrWritesRows(int action) {
  switch (action) {
    case SQLITE_INSERT:
    case SQLITE_READ:
    case SQLITE_SELECT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
    case SQLITE_TRANSACTION:
      return true;
    default:
      return false;
  }
}

// How many statements one ReusedStatements keeps at most.
constexpr size_t kMostKept = 32;

// The workers every connection's queue runs on: created with the first connection and kept.
platform::DispatchQueue& workers() {
  // Never destroyed: a connection may still queue work while static objects are torn down.
  static auto* queue = new std::shared_ptr<platform::DispatchQueue>(
      platform::DispatchQueue::makeConcurrent("com.veltro.plugins.sqlite", SQLiteConnection::kWorkers));
  return **queue;
}

// How often a connection whose interrupt time has come is interrupted again until it closes.
constexpr std::chrono::milliseconds kInterruptRepeat{100};
// How many work items of one connection run before the worker turns to other connections.
constexpr int kItemsPerTurn = 16;

std::int64_t steadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// The one thread that interrupts the connections whose interrupt time has come. SQLite stops a
// statement only where it looks at the handle's interrupt flag, between two steps of its
// program; a progress handler runs there too, but only every so many steps, and a statement of
// a few long steps (a function that builds a huge value, say) may end before it ever runs.
// The flag set from here is seen at the very next step. The thread sets it again every
// kInterruptRepeat until the connection is closed: SQLite clears the flag when a statement
// starts while none runs, so one that started just as the time came is caught at the next
// look, and statements that start later fail before they run (interruptDue).
class SQLiteInterrupter {
 public:
  static SQLiteInterrupter& shared() {
    // Never destroyed, and its thread never joined: a process that ends (its window closed)
    // does not wait for it.
    static auto* instance = new SQLiteInterrupter;
    return *instance;
  }

  // Interrupts `connection` from steady-clock time `at` (nanoseconds) until it is closed.
  void schedule(std::weak_ptr<SQLiteConnection> connection, std::int64_t at) {
    std::lock_guard<std::mutex> lock(mutex_);
    due_.emplace(at, std::move(connection));
    if (!started_) {
      try {
        std::thread([this] { run(); }).detach();
        started_ = true;
      } catch (const std::exception& e) {
        // The next close tries again; statements that start past their time still fail.
        platform::log(std::string("The SQLite plugin cannot start the thread that interrupts statements: ") + e.what());
      }
    }
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (due_.empty()) {
        wake_.wait(lock);
        continue;
      }
      auto first = due_.begin();
      std::int64_t now = steadyNanoseconds();
      if (first->first > now) {
        wake_.wait_for(lock, std::chrono::nanoseconds(first->first - now));
        continue;
      }
      std::weak_ptr<SQLiteConnection> weak = std::move(first->second);
      due_.erase(first);
      // Not under the lock: the connection may close meanwhile, and the last reference to it
      // may go here.
      lock.unlock();
      bool open = false;
      if (auto connection = weak.lock()) open = connection->interruptNow();
      lock.lock();
      if (open) due_.emplace(steadyNanoseconds() + std::chrono::nanoseconds(kInterruptRepeat).count(), std::move(weak));
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<std::int64_t, std::weak_ptr<SQLiteConnection>> due_;  // by the time they are due
  bool started_ = false;
};

std::shared_ptr<SQLiteConnection> SQLiteConnection::open(const std::string& path, std::string& error) {
  sqlite3* db = nullptr;
  // No symbolic link is followed: the folders above are canonical, so the file itself is the
  // only place one could sit, and it would lead out of the location. The handle needs no
  // mutex of its own: only the connection's serial queue ever uses it, once it is shared.
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);  // a failed open still hands out a handle
    error = "Unable to open DB";
    return nullptr;
  }
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  // VACUUM attaches one private temporary database of its own; nothing else may attach.
  sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 1);
  std::shared_ptr<SQLiteConnection> connection(new SQLiteConnection(db, path));
  if (sqlite3_exec(db, "SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr) != SQLITE_OK) {
    connection->close();
    error = "Unable to open DB with key";
    return nullptr;
  }
  return connection;
}

SQLiteConnection::SQLiteConnection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {
  sqlite3_set_authorizer(db_, &SQLiteConnection::authorize, this);
  sqlite3_update_hook(db_, &SQLiteConnection::updated, this);
}

SQLiteConnection::~SQLiteConnection() { close(); }

void SQLiteConnection::enqueue(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queued_.push_back(std::move(work));
    if (draining_) return;
    draining_ = true;
  }
  workers().async([self = shared_from_this()] { self->drain(); });
}

// Runs a few of the queued items, then lets the worker go to the other connections; the
// rest follow in a later turn, in order.
void SQLiteConnection::drain() {
  for (int i = 0; i < kItemsPerTurn; ++i) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (queued_.empty()) {
        draining_ = false;
        return;
      }
      work = std::move(queued_.front());
      queued_.pop_front();
    }
    try {
      work();
    } catch (...) {
      platform::reportCaughtException("A database queue");
    }
  }
  workers().async([self = shared_from_this()] { self->drain(); });
}

void SQLiteConnection::interruptAfter(std::chrono::milliseconds grace) {
  std::int64_t at = std::max<std::int64_t>(1, steadyNanoseconds() + std::chrono::nanoseconds(grace).count());
  std::int64_t current = interruptAt_.load();
  while (current == 0 || at < current) {
    if (interruptAt_.compare_exchange_weak(current, at)) {
      SQLiteInterrupter::shared().schedule(weak_from_this(), at);
      return;
    }
  }
}

bool SQLiteConnection::interruptDue() const {
  std::int64_t at = interruptAt_.load();
  return at != 0 && steadyNanoseconds() >= at;
}

bool SQLiteConnection::interruptNow() {
  std::lock_guard<std::mutex> lock(handleMutex_);
  if (!db_) return false;
  sqlite3_interrupt(db_);
  return true;
}

void SQLiteConnection::close() {
  if (!db_) return;
  finalizeKept();  // an open statement would keep the handle from closing
  std::lock_guard<std::mutex> lock(handleMutex_);
  sqlite3_close(db_);
  db_ = nullptr;
}

int SQLiteConnection::authorize(void* context, int action, const char* a, const char* b,
                                const char* /*database*/, const char* trigger) {
  auto* self = static_cast<SQLiteConnection*>(context);
  if (!readsOrWritesRows(action)) self->onlyRows_ = false;
  switch (action) {
    case SQLITE_ATTACH:
      // Only the empty name, a private temporary database (what VACUUM itself attaches), may
      // be attached: any file name could lie outside the location, VACUUM INTO's included.
      return a && *a == '\0' ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_PRAGMA:
      // These two move the process's temporary and data files elsewhere, for every connection.
      // The name comes as the page wrote it, and SQLite ignores its ASCII case; so does this
      // comparison, whatever the locale (strcasecmp keeps 'I' upper-case in a Turkish one).
      if (a && (platform::equalsIgnoreCase(a, "temp_store_directory") ||
                platform::equalsIgnoreCase(a, "data_store_directory")))
        return SQLITE_DENY;
      return SQLITE_OK;
    case SQLITE_FUNCTION:
      // With one argument it answers the address of a tokenizer inside the library; with two
      // it would take one. Neither belongs to a page.
      return b && platform::equalsIgnoreCase(b, "fts3_tokenizer") ? SQLITE_DENY : SQLITE_OK;
    case SQLITE_INSERT:
      if (!trigger && !isSchemaTable(a)) self->topLevelInsert_ = true;
      return SQLITE_OK;
    default:
      return SQLITE_OK;
  }
}

void SQLiteConnection::updated(void* context, int operation, const char*, const char*, sqlite3_int64) {
  if (operation == SQLITE_INSERT) static_cast<SQLiteConnection*>(context)->sawInsert_ = true;
}

int SQLiteConnection::mapSQLiteErrorCode(int code) {
  switch (code & 0xff) {
    case SQLITE_ERROR:
      return 5;
    case SQLITE_FULL:
      return 4;
    case SQLITE_CONSTRAINT:
      return 6;
    default:
      return 0;
  }
}

Value SQLiteConnection::captureSQLiteErrorFromDb(sqlite3* db) {
  Value error = Value::object();
  error["code"] = mapSQLiteErrorCode(sqlite3_errcode(db));
  error["message"] = platform::replacingInvalidUTF8(sqlite3_errmsg(db));
  return error;
}

int SQLiteConnection::bindStatement(sqlite3_stmt* statement, const Value& argument, int index) {
  switch (argument.type()) {
    case Value::value_t::null:
      return sqlite3_bind_null(statement, index);
    case Value::value_t::number_integer:
      return sqlite3_bind_int64(statement, index, argument.get<std::int64_t>());
    case Value::value_t::number_unsigned: {
      // The JSON parser keeps every non-negative integer unsigned; those that fit are integers.
      auto number = argument.get<std::uint64_t>();
      if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return sqlite3_bind_int64(statement, index, static_cast<std::int64_t>(number));
      return sqlite3_bind_double(statement, index, static_cast<double>(number));
    }
    case Value::value_t::number_float:
      return sqlite3_bind_double(statement, index, argument.get<double>());
    case Value::value_t::boolean:
      return sqlite3_bind_double(statement, index, argument.get<bool>() ? 1.0 : 0.0);
    case Value::value_t::string: {
      const auto& text = argument.get_ref<const std::string&>();
      return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    case Value::value_t::binary: {
      const auto& bytes = argument.get_binary();
      return sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    }
    default: {
      std::string text = platform::jsonText(argument);
      return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
  }
}

SQLiteConnection::ReusedStatements::ReusedStatements(SQLiteConnection& connection) : connection_(connection) {
  connection_.keeping_ = true;
}

SQLiteConnection::ReusedStatements::~ReusedStatements() {
  connection_.finalizeKept();
  connection_.keeping_ = false;
}

void SQLiteConnection::finalizeKept() {
  for (auto& [sql, kept] : kept_) sqlite3_finalize(kept.statement);
  kept_.clear();
}

bool SQLiteConnection::execute(const Value& statement, std::string& out) {
  auto fail = [&out](const char* message) {
    platform::appendJSONString(out, message);
    return false;
  };
  auto sqlIt = statement.is_object() ? statement.find("sql") : statement.end();
  if (!statement.is_object() || sqlIt == statement.end() || !sqlIt->is_string()) return fail(kNoSqlError);
  const auto& sql = sqlIt->get_ref<const std::string&>();
  const Value* params = nullptr;
  if (auto it = statement.find("params"); it != statement.end() && !it->is_null()) {
    if (!it->is_array()) return fail("INTERNAL PLUGIN ERROR: params must be an array");
    params = &*it;
  }
  if (interruptDue()) {
    // The handle is being closed and its time is up: the statement would only be interrupted.
    Value error = Value::object();
    error["code"] = mapSQLiteErrorCode(SQLITE_INTERRUPT);
    error["message"] = sqlite3_errstr(SQLITE_INTERRUPT);
    platform::appendJSONText(out, error);
    return false;
  }
  auto bind = [&](sqlite3_stmt* prepared) {
    if (!params) return true;
    int index = 1;
    for (const auto& argument : *params) {
      if (bindStatement(prepared, argument, index++) != SQLITE_OK) return false;
    }
    return true;
  };

  if (keeping_) {
    if (auto found = kept_.find(sql); found != kept_.end()) {
      sqlite3_stmt* kept = found->second.statement;
      sqlite3_reset(kept);
      sqlite3_clear_bindings(kept);  // parameters left out are NULL, as in a new statement
      if (bind(kept)) {
        bool ok = run(kept, found->second.topLevelInsert, out);
        // Compiled anew while it ran into something that may not be kept.
        if (!onlyRows_) {
          sqlite3_finalize(kept);
          kept_.erase(found);
        }
        return ok;
      }
      // A bind that fails is left to a new compile, which reports what the statement reports
      // on its own (an error of its compile, should the schema have changed, first).
      sqlite3_finalize(kept);
      kept_.erase(found);
    }
  }

  topLevelInsert_ = false;
  onlyRows_ = true;
  sqlite3_stmt* prepared = nullptr;
  // The length includes the terminating zero, which spares SQLite a copy of the text.
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(std::min<size_t>(sql.size() + 1, INT32_MAX)), &prepared,
                         nullptr) != SQLITE_OK) {
    platform::appendJSONText(out, captureSQLiteErrorFromDb(db_));
    return false;
  }
  // Text with nothing but white space and comments compiles to no statement at all.
  if (!prepared) return fail(kNoSqlError);
  bool topLevelInsert = topLevelInsert_;
  // Finalised on every way out, an exception's included: an open statement keeps the handle
  // from closing. Errors are taken from the handle before, while they are still the statement's.
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(prepared, &sqlite3_finalize);
  if (keeping_ && onlyRows_ && kept_.size() < kMostKept) {
    kept_.emplace(sql, Kept{prepared, topLevelInsert});
    owned.release();  // kept_ owns it now
  }
  if (!bind(prepared)) {
    platform::appendJSONText(out, captureSQLiteErrorFromDb(db_));
    return false;
  }
  bool ok = run(prepared, topLevelInsert, out);
  if (!owned && !onlyRows_) {
    kept_.erase(sql);
    sqlite3_finalize(prepared);
  }
  return ok;
}

bool SQLiteConnection::run(sqlite3_stmt* statement, bool topLevelInsert, std::string& out) {
  // Ready for the next run whichever way this one ends; a statement that is not kept is
  // finalised by its owner.
  struct Reset {
    sqlite3_stmt* statement;
    ~Reset() { sqlite3_reset(statement); }
  } reset{statement};
  sqlite3_int64 changesBefore = sqlite3_total_changes64(db_);
  sqlite3_int64 rowidBefore = sqlite3_last_insert_rowid(db_);
  // What the authorizer sees from here on (SQLite compiling the statement anew after a schema
  // change, a table-valued function compiling its own) counts as well.
  topLevelInsert_ = false;
  onlyRows_ = true;
  sawInsert_ = false;

  size_t start = out.size();
  out += "{\"rows\":[";
  std::vector<RowKey> keys;
  int result;
  bool first = true;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    if (first) keys = rowKeys(statement);
    else out += ',';
    first = false;
    appendRow(statement, keys, out);
  }
  if (result != SQLITE_DONE) {
    // The rows read so far are dropped.
    out.resize(start);
    platform::appendJSONText(out, captureSQLiteErrorFromDb(db_));
    return false;
  }

  sqlite3_int64 rowsAffected = sqlite3_total_changes64(db_) - changesBefore;
  sqlite3_int64 insertId = sqlite3_last_insert_rowid(db_);
  // Only a statement that itself inserted a row has an insert id: not a SELECT or an UPDATE
  // after an earlier INSERT, nor an upsert that updated, nor a trigger's insert. The hook
  // catches the insert that happened to get the same rowid as the one before.
  bool inserted = (topLevelInsert || topLevelInsert_) && rowsAffected > 0 && insertId != 0 &&
                  (insertId != rowidBefore || sawInsert_);
  out += "],\"rowsAffected\":";
  appendInteger(out, rowsAffected);
  out += '}';
  if (inserted) {
    // Its key comes first; only this statement's text moves.
    std::string key = "\"insertId\":";
    appendInteger(key, insertId);
    key += ',';
    out.insert(start + 1, key);
  }
  return true;
}
