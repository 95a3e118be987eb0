#include "plugins/sqlite/SQLiteConnection.h"

#include <sqlite3.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/foundation/CaughtException.h"
#include "platform/foundation/JSONText.h"

using platform::Value;

namespace {

const char* const kNoSqlError = "INTERNAL PLUGIN ERROR: You must specify a sql query to execute";

bool isSchemaTable(const char* table) { return table && std::strncmp(table, "sqlite_", 7) == 0; }

// A column's value as the page gets it; false when JSON cannot carry it (text that is not
// UTF-8, a number that is not finite), and the column is then left out of the row.
bool columnValue(sqlite3_stmt* statement, int column, Value& out) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      out = static_cast<std::int64_t>(sqlite3_column_int64(statement, column));
      return true;
    case SQLITE_FLOAT: {
      double number = sqlite3_column_double(statement, column);
      if (!std::isfinite(number)) return false;
      out = number;
      return true;
    }
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      std::string_view bytes(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(statement, column)));
      if (!platform::isValidUTF8(bytes)) return false;
      out = std::string(bytes);
      return true;
    }
    default:
      out = nullptr;
      return true;
  }
}

// The workers every connection's queue runs on: created with the first connection and kept.
platform::DispatchQueue& workers() {
  // Never destroyed: a connection may still queue work while static objects are torn down.
  static auto* queue = new std::shared_ptr<platform::DispatchQueue>(
      platform::DispatchQueue::makeConcurrent("com.veltro.plugins.sqlite", SQLiteConnection::kWorkers));
  return **queue;
}

// How many virtual machine steps run between two looks at the interrupt time.
constexpr int kProgressSteps = 1000;
// How many work items of one connection run before the worker turns to other connections.
constexpr int kItemsPerTurn = 16;

std::int64_t steadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

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
  sqlite3_progress_handler(db_, kProgressSteps, &SQLiteConnection::progress, this);
}

SQLiteConnection::~SQLiteConnection() {
  if (db_) sqlite3_close(db_);
}

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
  while ((current == 0 || at < current) && !interruptAt_.compare_exchange_weak(current, at)) {
  }
}

int SQLiteConnection::progress(void* context) {
  std::int64_t at = static_cast<SQLiteConnection*>(context)->interruptAt_.load(std::memory_order_relaxed);
  return at != 0 && steadyNanoseconds() >= at ? 1 : 0;
}

void SQLiteConnection::close() {
  if (!db_) return;
  sqlite3_close(db_);
  db_ = nullptr;
}

int SQLiteConnection::authorize(void* context, int action, const char* a, const char* b,
                                const char* /*database*/, const char* trigger) {
  auto* self = static_cast<SQLiteConnection*>(context);
  switch (action) {
    case SQLITE_ATTACH:
      // Only the empty name, a private temporary database (what VACUUM itself attaches), may
      // be attached: any file name could lie outside the location, VACUUM INTO's included.
      return a && *a == '\0' ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_PRAGMA:
      // These two move the process's temporary and data files elsewhere, for every connection.
      if (a && (strcasecmp(a, "temp_store_directory") == 0 || strcasecmp(a, "data_store_directory") == 0))
        return SQLITE_DENY;
      return SQLITE_OK;
    case SQLITE_FUNCTION:
      // With one argument it answers the address of a tokenizer inside the library; with two
      // it would take one. Neither belongs to a page.
      return b && strcasecmp(b, "fts3_tokenizer") == 0 ? SQLITE_DENY : SQLITE_OK;
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

SQLiteConnection::Outcome SQLiteConnection::execute(const Value& statement) {
  auto sqlIt = statement.is_object() ? statement.find("sql") : statement.end();
  if (!statement.is_object() || sqlIt == statement.end() || !sqlIt->is_string()) return {false, kNoSqlError};
  const auto& sql = sqlIt->get_ref<const std::string&>();
  const Value* params = nullptr;
  if (auto it = statement.find("params"); it != statement.end() && !it->is_null()) {
    if (!it->is_array()) return {false, "INTERNAL PLUGIN ERROR: params must be an array"};
    params = &*it;
  }

  sqlite3_int64 changesBefore = sqlite3_total_changes64(db_);
  sqlite3_int64 rowidBefore = sqlite3_last_insert_rowid(db_);
  topLevelInsert_ = false;
  sawInsert_ = false;

  sqlite3_stmt* prepared = nullptr;
  // The length includes the terminating zero, which spares SQLite a copy of the text.
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(std::min<size_t>(sql.size() + 1, INT32_MAX)), &prepared,
                         nullptr) != SQLITE_OK)
    return {false, captureSQLiteErrorFromDb(db_)};
  // Text with nothing but white space and comments compiles to no statement at all.
  if (!prepared) return {false, kNoSqlError};
  // Finalised on every way out, an exception's included: an open statement keeps the handle
  // from closing. The error object is built before, while the error is still the statement's.
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(prepared, &sqlite3_finalize);

  if (params) {
    int index = 1;
    for (const auto& argument : *params) {
      if (bindStatement(stmt.get(), argument, index++) != SQLITE_OK) return {false, captureSQLiteErrorFromDb(db_)};
    }
  }

  Value rows = Value::array();
  std::vector<std::string> names;
  int result;
  while ((result = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    int count = sqlite3_column_count(stmt.get());
    if (names.empty()) {
      names.reserve(count);
      for (int i = 0; i < count; ++i) {
        const char* name = sqlite3_column_name(stmt.get(), i);
        names.push_back(platform::replacingInvalidUTF8(name ? name : ""));
      }
    }
    Value row = Value::object();
    Value value;
    for (int i = 0; i < count; ++i) {
      // A later column of the same name replaces an earlier one.
      if (columnValue(stmt.get(), i, value)) row[names[i]] = std::move(value);
    }
    rows.push_back(std::move(row));
  }
  if (result != SQLITE_DONE) return {false, captureSQLiteErrorFromDb(db_)};

  sqlite3_int64 rowsAffected = sqlite3_total_changes64(db_) - changesBefore;
  sqlite3_int64 insertId = sqlite3_last_insert_rowid(db_);
  // Only a statement that itself inserted a row has an insert id: not a SELECT or an UPDATE
  // after an earlier INSERT, nor an upsert that updated, nor a trigger's insert. The hook
  // catches the insert that happened to get the same rowid as the one before.
  bool inserted = topLevelInsert_ && rowsAffected > 0 && insertId != 0 && (insertId != rowidBefore || sawInsert_);
  stmt.reset();

  Value resultSet = Value::object();
  resultSet["rows"] = std::move(rows);
  resultSet["rowsAffected"] = static_cast<std::int64_t>(rowsAffected);
  if (inserted) resultSet["insertId"] = static_cast<std::int64_t>(insertId);
  return {true, std::move(resultSet)};
}
