#include "plugins/sqlite/SQLitePlugin.h"

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/CaughtException.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

using platform::Value;

namespace {

const char* const kNoDatabasePath = "INTERNAL PLUGIN ERROR: You must specify database path";
const char* const kNoSuchDatabase = "INTERNAL PLUGIN ERROR: No such database, you must open it first";
const char* const kBadConnectionName = "INTERNAL PLUGIN ERROR: connectionName must be a string";
const char* const kCompanionSuffixes[] = {"-journal", "-wal", "-shm"};
const char* const kTooDeep = "INTERNAL PLUGIN ERROR: arguments are nested too deeply";

// Copying a value and writing it out as text both recurse once per level of nesting, and the
// page chooses the nesting: deeper arguments are refused before either happens.
constexpr size_t kMaxNesting = 64;

bool nestedTooDeeply(const Value& value) { return platform::nestedDeeperThan(value, kMaxNesting + 1); }

// The argument object of every action; anything else counts as an empty one. A reference:
// a batch's object holds every statement, and copying it is a good part of the batch's cost.
const Value& options(const HBRInvokedUrlCommand& command) {
  static const Value empty = Value::object();
  const Value& arguments = command.arguments();
  if (!arguments.is_array() || arguments.empty() || !arguments[0].is_object()) return empty;
  return arguments[0];
}

// The member `key` of `object`, or null.
const Value& member(const Value& object, const char* key) {
  static const Value none;
  auto it = object.find(key);
  return it == object.end() ? none : *it;
}

std::string stringMember(const Value& object, const char* key, const std::string& fallback = "") {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

// The location key: "docs" when none is given; one that is not text names no location.
std::string locationMember(const Value& object) {
  auto it = object.find("dblocation");
  if (it == object.end() || it->is_null()) return "docs";
  return it->is_string() ? it->get<std::string>() : "";
}

// A "connectionName" that is present must be text.
bool hasBadConnectionName(const Value& object) {
  auto it = object.find("connectionName");
  return it != object.end() && !it->is_null() && !it->is_string();
}

bool endsWith(const std::string& text, const char* suffix) {
  size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// A database name must be one plain file name: a path would lead out of the location, and
// the name of a journal or WAL file would let a page read or remove another database's.
bool isPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || !platform::isValidUTF8(name)) return false;
  for (unsigned char c : name)
    if (c == '/' || c < 0x20 || c == 0x7f) return false;  // control characters too: CR, LF, NUL
  for (const char* suffix : kCompanionSuffixes)
    if (endsWith(name, suffix)) return false;
  return true;
}

std::string canonicalPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

void send(const std::shared_ptr<HBRCommandDelegate>& delegate, const std::optional<std::string>& callbackId, bool ok,
          Value message) {
  if (!delegate) return;
  delegate->sendPluginResult(
      HBRPluginResult::resultWithStatus(ok ? HBRResultStatus::OK : HBRResultStatus::Error, std::move(message)),
      callbackId);
}

// The same with an answer the plugin wrote as JSON text.
void sendText(const std::shared_ptr<HBRCommandDelegate>& delegate, const std::optional<std::string>& callbackId,
              bool ok, std::string json) {
  if (!delegate) return;
  delegate->sendPluginResult(
      HBRPluginResult::resultWithStatusAsJSONText(ok ? HBRResultStatus::OK : HBRResultStatus::Error, std::move(json)),
      callbackId);
}

// One statement on the connection's queue, its answer appended to `out` as JSON text (see
// SQLiteConnection::execute). A closed connection (a close or delete came first) is no
// database; a failure on the way (memory) is the statement's error.
bool run(SQLiteConnection& connection, const Value& statement, std::string& out) {
  size_t mark = out.size();
  auto fail = [&](const std::string& message) {
    out.resize(mark);
    platform::appendJSONText(out, Value(message));
    return false;
  };
  if (!connection.isOpen()) return fail(kNoSuchDatabase);
  try {
    return connection.execute(statement, out);
  } catch (const std::exception& e) {
    return fail(std::string("INTERNAL PLUGIN ERROR: ") + e.what());
  } catch (...) {
    return fail("INTERNAL PLUGIN ERROR: the statement failed");
  }
}

// The batch entry of one statement, appended to `out`: {"result": R, "type": "success"}, or
// {"error": E, "result": E, "type": "error"} when it failed with E.
void appendBatchEntry(SQLiteConnection& connection, const Value& statement, std::string& out) {
  constexpr std::string_view kResult = "{\"result\":";
  size_t mark = out.size();
  out += kResult;
  if (run(connection, statement, out)) {
    out += ",\"type\":\"success\"}";
    return;
  }
  std::string error = out.substr(mark + kResult.size());
  out.resize(mark);
  out += "{\"error\":";
  out += error;
  out += ",\"result\":";
  out += error;
  out += ",\"type\":\"error\"}";
}

Value batchEntry(bool ok, Value message) {
  Value entry = Value::object();
  if (ok) {
    entry["type"] = "success";
    entry["result"] = std::move(message);
  } else {
    entry["type"] = "error";
    entry["error"] = message;
    entry["result"] = std::move(message);
  }
  return entry;
}

}  // namespace

SQLitePlugin::SQLitePlugin() {
  registerAction("echoStringValue", &SQLitePlugin::echoStringValue);
  registerAction("open", &SQLitePlugin::open);
  registerAction("close", &SQLitePlugin::close);
  registerAction("delete", &SQLitePlugin::deleteDatabase);
  registerAction("executeSql", &SQLitePlugin::executeSql);
  registerAction("backgroundExecuteSqlBatch", &SQLitePlugin::backgroundExecuteSqlBatch);
  registerAction("openNow", &SQLitePlugin::openNow);
  registerAction("closeNow", &SQLitePlugin::closeNow);
  registerAction("deleteNow", &SQLitePlugin::deleteNow);
  registerAction("executeSqlBatchNow", &SQLitePlugin::executeSqlBatchNow);
}

SQLitePlugin::~SQLitePlugin() {
  auto connections = openDBs_.performLockedWithDictionary([](auto& dictionary) { return std::exchange(dictionary, {}); });
  struct Closing {
    std::mutex mutex;
    std::condition_variable done;
    size_t left = 0;
  };
  auto closing = std::make_shared<Closing>();
  closing->left = connections.size();
  for (auto& [key, connection] : connections) {
    connection->interruptAfter(SQLiteConnection::kCloseGrace);
    connection->enqueue([connection, closing] {
      connection->close();
      std::lock_guard<std::mutex> lock(closing->mutex);
      if (--closing->left == 0) closing->done.notify_all();
    });
  }
  std::unique_lock<std::mutex> lock(closing->mutex);
  closing->done.wait(lock, [&] { return closing->left == 0; });
}

void SQLitePlugin::pluginInitialize() {
  openDBs_.removeAllObjects();
  appDBPaths_.clear();
  // Canonical folders: a database path then holds no symbolic link but (possibly) the file's
  // own, which opening refuses, and paths compare as strings.
  std::string library = canonicalPath(platform::paths::library());
  appDBPaths_["docs"] = canonicalPath(platform::paths::documents());
  appDBPaths_["libs"] = library;

  std::string noSync = platform::fs::appendPath(library, "LocalDatabase");
  if (!platform::fs::isDirectory(noSync)) {
    auto error = platform::fs::exists(noSync)
                     ? std::optional<platform::Error>(platform::fs::posixError(EEXIST))
                     : platform::fs::createDirectory(noSync, false);
    if (error) {
      platform::log("INTERNAL PLUGIN ERROR: could not create no cloud sync directory at path: " + noSync);
      return;
    }
  }
  if (auto error = platform::fs::setExcludedFromBackup(noSync, true)) {
    platform::log("INTERNAL PLUGIN ERROR: error setting nobackup flag in LocalDatabase directory: " +
                  error->localizedDescription());
    return;
  }
  appDBPaths_["nosync"] = noSync;
}

std::string SQLitePlugin::getDbConnectionNameForDb(const std::string& name, const Value& options) {
  auto it = options.is_object() ? options.find("connectionName") : options.end();
  if (!options.is_object() || it == options.end() || !it->is_string()) return name;
  // A zero byte joins the two: no database name holds one, so "a_b" alone and "a" with the
  // connection "b" stay two connections.
  return name + '\0' + it->get<std::string>();
}

std::optional<std::string> SQLitePlugin::getDBPath(const std::string& name, const std::string& location) const {
  if (name.empty()) return std::nullopt;
  auto it = appDBPaths_.find(location);
  if (it == appDBPaths_.end()) return std::nullopt;
  return platform::fs::appendPath(it->second, name);
}

void SQLitePlugin::answer(const HBRInvokedUrlCommand& command, bool ok, Value message) const {
  send(commandDelegate(), command.callbackId(), ok, std::move(message));
}

void SQLitePlugin::inBackground(const HBRInvokedUrlCommand& command,
                                void (SQLitePlugin::*body)(const HBRInvokedUrlCommand&)) {
  auto delegate = commandDelegate();
  if (!delegate) return;  // no host: nobody to answer
  // Only the argument object's plain members travel: the bodies read nothing else, and a copy
  // of whatever structure the page nested in there could exhaust the stack.
  Value plain = Value::object();
  for (const auto& [key, value] : options(command).items())
    if (!value.is_structured()) plain[key] = value;
  Value arguments = Value::array();
  arguments.push_back(std::move(plain));
  HBRInvokedUrlCommand copy(std::move(arguments), command.callbackId(), command.className(), command.methodName());
  std::weak_ptr<platform::Object> weakSelf = weak_from_this();
  openQueue_->async([weakSelf, copy = std::move(copy), body] {
    auto self = std::static_pointer_cast<SQLitePlugin>(weakSelf.lock());
    if (!self) return;
    try {
      (self.get()->*body)(copy);
    } catch (...) {
      // Every call answers, even one whose work failed on the way (memory, the file system).
      platform::reportCaughtException("The SQLite plugin");
      self->answer(copy, false, "INTERNAL PLUGIN ERROR: the operation failed");
    }
  });
}

// Actions --------------------------------------------------------------------------------

void SQLitePlugin::echoStringValue(const HBRInvokedUrlCommand& command) {
  const Value& value = member(options(command), "value");
  if (value.is_structured() && nestedTooDeeply(value)) return answer(command, false, kTooDeep);
  answer(command, true, value);
}

void SQLitePlugin::open(const HBRInvokedUrlCommand& command) { inBackground(command, &SQLitePlugin::openNow); }

void SQLitePlugin::deleteDatabase(const HBRInvokedUrlCommand& command) {
  inBackground(command, &SQLitePlugin::deleteNow);
}

// Closing and running statements only look the connection up here and queue the work on
// the connection's own queue, so they keep their order and never wait on the calling thread.
void SQLitePlugin::close(const HBRInvokedUrlCommand& command) { closeNow(command); }

void SQLitePlugin::backgroundExecuteSqlBatch(const HBRInvokedUrlCommand& command) { executeSqlBatchNow(command); }

void SQLitePlugin::openNow(const HBRInvokedUrlCommand& command) {
  const Value& args = options(command);
  std::string name = stringMember(args, "name");
  std::optional<std::string> path = getDBPath(name, locationMember(args));

  if (sqlite3_threadsafe() == 0) {
    platform::log("INTERNAL PLUGIN ERROR: sqlite3_threadsafe() returns false value");
    return answer(command, false, "INTERNAL PLUGIN ERROR: sqlite3_threadsafe() returns false value");
  }
  if (!path) {
    platform::log("INTERNAL PLUGIN ERROR (NOT EXPECTED): open with database name missing");
    return answer(command, false, "INTERNAL PLUGIN ERROR: open with database name missing");
  }
  if (!isPlainFileName(name)) return answer(command, false, "INTERNAL PLUGIN ERROR: invalid database name");
  if (hasBadConnectionName(args)) return answer(command, false, kBadConnectionName);
  std::string key = getDbConnectionNameForDb(name, args);

  std::lock_guard<std::mutex> lock(openLock_);
  if (auto deleting = deleting_.find(*path); deleting != deleting_.end()) {
    // The file is being deleted: the open follows once it is gone.
    deleting->second.emplace_back(command, &SQLitePlugin::openNow);
    return;
  }
  if (openDBs_.objectForKey(key)) {
    platform::log(platform::stringf("INTERNAL PLUGIN ERROR: database already open for db name: %s (db file name: %s)",
                                    path->c_str(), name.c_str()));
    return answer(command, false, "INTERNAL PLUGIN ERROR: database already open");
  }
  std::string error;
  std::shared_ptr<SQLiteConnection> connection;
  try {
    connection = SQLiteConnection::open(*path, error);
  } catch (const std::exception& e) {  // memory
    platform::log(std::string("INTERNAL PLUGIN ERROR: could not open ") + name + ": " + e.what());
    error = "Unable to open DB";
  }
  if (!connection) return answer(command, false, error);
  openDBs_.setObject(connection, key);
  answer(command, true, "Database opened");
}

void SQLitePlugin::closeNow(const HBRInvokedUrlCommand& command) {
  const Value& args = options(command);
  const Value& dbname = member(args, "dbname");
  if (!dbname.is_string()) return answer(command, false, kNoDatabasePath);
  if (hasBadConnectionName(args)) return answer(command, false, kBadConnectionName);
  const auto& name = dbname.get_ref<const std::string&>();
  std::string key = getDbConnectionNameForDb(name, args);
  Connection connection = openDBs_.performLockedWithDictionary([&](auto& dictionary) {
    Connection found;
    // No open database has a zero byte in its name (see the key's joint).
    if (auto it = dictionary.find(key); it != dictionary.end() && name.find('\0') == std::string::npos) {
      found = std::move(it->second);
      dictionary.erase(it);
    }
    return found;
  });
  if (!connection) return answer(command, false, "INTERNAL PLUGIN ERROR: Specified db was not open");
  connection->interruptAfter(SQLiteConnection::kCloseGrace);
  connection->enqueue([connection, delegate = commandDelegate(), callbackId = command.callbackId()] {
    connection->close();
    send(delegate, callbackId, true, "DB closed");
  });
}

void SQLitePlugin::deleteNow(const HBRInvokedUrlCommand& command) {
  const Value& args = options(command);
  const Value& pathName = member(args, "path");
  if (!pathName.is_string()) return answer(command, false, kNoDatabasePath);
  std::string name = pathName.get<std::string>();
  std::optional<std::string> path = getDBPath(name, locationMember(args));
  if (!path) {
    platform::log("INTERNAL PLUGIN ERROR (NOT EXPECTED): delete with no valid database path found");
    return answer(command, false, "INTERNAL PLUGIN ERROR: delete with no valid database path found");
  }
  if (!isPlainFileName(name)) return answer(command, false, "INTERNAL PLUGIN ERROR: invalid database name");

  std::vector<Connection> connections;
  {
    std::lock_guard<std::mutex> lock(openLock_);
    if (auto deleting = deleting_.find(*path); deleting != deleting_.end()) {
      // Another delete of the file is under way: this one follows it (and finds no file).
      deleting->second.emplace_back(command, &SQLitePlugin::deleteNow);
      return;
    }
    if (!platform::fs::exists(*path) || platform::fs::isDirectory(*path))
      return answer(command, false, "The database does not exist on that path");

    // Every connection to the file, whatever its connection name, is closed first, each after
    // the statements already queued on it, so no statement sees its file vanish.
    connections = openDBs_.performLockedWithDictionary([&](auto& dictionary) {
      std::vector<Connection> found;
      for (auto it = dictionary.begin(); it != dictionary.end();) {
        if (it->second->path() == *path) {
          found.push_back(std::move(it->second));
          it = dictionary.erase(it);
        } else {
          ++it;
        }
      }
      return found;
    });
    deleting_[*path];
  }
  if (connections.empty()) return finishDelete(command, *path);

  // Nothing waits here: the last connection to close finishes the delete on its own queue.
  auto left = std::make_shared<std::atomic<size_t>>(connections.size());
  std::weak_ptr<platform::Object> weakSelf = weak_from_this();
  for (auto& connection : connections) {
    connection->interruptAfter(SQLiteConnection::kCloseGrace);
    connection->enqueue([connection, left, weakSelf, command, path = *path] {
      connection->close();
      if (--*left != 0) return;
      if (auto self = std::static_pointer_cast<SQLitePlugin>(weakSelf.lock())) {
        try {
          self->finishDelete(command, path);
        } catch (...) {
          platform::reportCaughtException("The SQLite plugin");
          self->answer(command, false, "INTERNAL PLUGIN ERROR: the operation failed");
        }
      }
    });
  }
}

void SQLitePlugin::finishDelete(const HBRInvokedUrlCommand& command, const std::string& path) {
  // The journal and WAL files go too: left behind, they would be replayed into a new
  // database of the same name.
  std::string failures;
  for (std::string file : {path, path + "-journal", path + "-wal", path + "-shm"}) {
    if (::unlink(file.c_str()) != 0 && errno != ENOENT)
      failures += (failures.empty() ? "" : "; ") + file.substr(file.rfind('/') + 1) + ": " + std::strerror(errno);
  }
  std::vector<std::pair<HBRInvokedUrlCommand, void (SQLitePlugin::*)(const HBRInvokedUrlCommand&)>> waiting;
  {
    std::lock_guard<std::mutex> lock(openLock_);
    if (auto it = deleting_.find(path); it != deleting_.end()) {
      waiting = std::move(it->second);
      deleting_.erase(it);
    }
  }
  if (!failures.empty()) answer(command, false, "Unable to delete the database: " + failures);
  else answer(command, true, "DB deleted");
  for (auto& [waited, body] : waiting) inBackground(waited, body);
}

SQLitePlugin::Connection SQLitePlugin::connectionFor(const Value& dbargs, std::string& error) const {
  auto dbname = dbargs.is_object() ? dbargs.find("dbname") : dbargs.end();
  if (!dbargs.is_object() || dbname == dbargs.end() || !dbname->is_string()) {
    error = kNoDatabasePath;
    return nullptr;
  }
  if (hasBadConnectionName(dbargs)) {
    error = kBadConnectionName;
    return nullptr;
  }
  const auto& name = dbname->get_ref<const std::string&>();
  std::optional<Connection> connection;
  if (name.find('\0') == std::string::npos) connection = openDBs_.objectForKey(getDbConnectionNameForDb(name, dbargs));
  if (!connection) {
    error = kNoSuchDatabase;
    return nullptr;
  }
  return *connection;
}

void SQLitePlugin::executeSql(const HBRInvokedUrlCommand& command) {
  const Value& args = options(command);
  std::string error;
  Connection connection = connectionFor(member(args, "dbargs"), error);
  if (!connection) return answer(command, false, error);
  const Value& statement = member(args, "ex");
  if (statement.is_structured() && nestedTooDeeply(statement)) return answer(command, false, kTooDeep);
  // The statement is read where the command holds it: the command's arguments are shared.
  connection->enqueue([connection, arguments = command.sharedArguments(), statement = &statement,
                       delegate = commandDelegate(), callbackId = command.callbackId()] {
    std::string text;
    bool ok = run(*connection, *statement, text);
    sendText(delegate, callbackId, ok, std::move(text));
  });
}

void SQLitePlugin::executeSqlBatchNow(const HBRInvokedUrlCommand& command) {
  const Value& args = options(command);
  const Value& executes = member(args, "executes");
  if (!executes.is_null() && !executes.is_array())
    return answer(command, false, "INTERNAL PLUGIN ERROR: executes must be an array");
  if (executes.is_array() && nestedTooDeeply(executes)) return answer(command, false, kTooDeep);

  std::string error;
  Connection connection = connectionFor(member(args, "dbargs"), error);
  if (!connection) {
    Value entries = Value::array();
    for (size_t i = 0; i < executes.size(); ++i) entries.push_back(batchEntry(false, error));
    return answer(command, true, std::move(entries));
  }
  // The whole batch is one work item: no other statement on the connection runs between its
  // statements, and it runs after everything queued before it. The statements are read where
  // the command holds them, never copied: the command's arguments are shared.
  connection->enqueue([connection, arguments = command.sharedArguments(), executes = &executes,
                       delegate = commandDelegate(), callbackId = command.callbackId()] {
    try {
      // The answer is written as it goes, straight into its JSON text.
      std::string text = "[";
      // Room for an entry of a statement that returns no rows (most of a large batch) each.
      text.reserve(executes->size() * 72 + 2);
      SQLiteConnection::ReusedStatements reused(*connection);
      for (const auto& statement : *executes) {  // none when null
        if (text.size() > 1) text += ',';
        appendBatchEntry(*connection, statement, text);
      }
      text += ']';
      sendText(delegate, callbackId, true, std::move(text));
    } catch (...) {
      // The answer could not be built (memory): the batch still answers.
      platform::reportCaughtException("The SQLite plugin");
      send(delegate, callbackId, false, "INTERNAL PLUGIN ERROR: the batch's answer could not be built");
    }
  });
}
