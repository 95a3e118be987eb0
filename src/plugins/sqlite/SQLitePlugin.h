#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/HBRPlugin.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Value.h"
#include "plugins/sqlite/CustomThreadSafeMutableDictionary.h"
#include "plugins/sqlite/SQLiteConnection.h"

class HBRCommandDelegate;

// SQLite databases for the web application, in three locations: "docs" (Documents, the
// default), "libs" (Library) and "nosync" (Library/LocalDatabase, left out of backups).
//
// Every statement on a connection, and its close, runs on that connection's own serial queue,
// in the order the calls arrived; open and delete run in the background. No action waits for
// a connection's queue: a delete answers once the connections to its file have closed, and
// an open or delete of a file being deleted runs after that. Closing or deleting interrupts
// a statement that runs past SQLiteConnection::kCloseGrace. Database names are plain file
// names: they never lead out of their location folder.
class SQLitePlugin : public HBRPlugin {
 public:
  SQLitePlugin();
  // Closes every connection still open, after the statements queued on it (interrupted past
  // the close's grace).
  ~SQLitePlugin() override;
  std::string className() const override { return "SQLitePlugin"; }
  void pluginInitialize() override;

  // Actions.
  void echoStringValue(const HBRInvokedUrlCommand& command);
  void open(const HBRInvokedUrlCommand& command);
  void close(const HBRInvokedUrlCommand& command);
  void deleteDatabase(const HBRInvokedUrlCommand& command);  // "delete"
  void executeSql(const HBRInvokedUrlCommand& command);
  void backgroundExecuteSqlBatch(const HBRInvokedUrlCommand& command);
  // The bodies of the background actions, run where they are called.
  void openNow(const HBRInvokedUrlCommand& command);
  void closeNow(const HBRInvokedUrlCommand& command);
  void deleteNow(const HBRInvokedUrlCommand& command);
  void executeSqlBatchNow(const HBRInvokedUrlCommand& command);

  // The key a connection is kept under: the database name, and the "connectionName" of
  // `options` when it has one, joined so that no two different pairs give the same key.
  static std::string getDbConnectionNameForDb(const std::string& name, const platform::Value& options);
  // The file of database `name` in `location`; nullopt when the name is missing or the
  // location is not registered.
  std::optional<std::string> getDBPath(const std::string& name, const std::string& location) const;
  // Location key -> directory, as start-up registered them.
  const std::map<std::string, std::string>& appDBPaths() const { return appDBPaths_; }
  // The connection keys open now.
  std::vector<std::string> openConnectionNames() const { return openDBs_.allKeys(); }

 private:
  using Connection = std::shared_ptr<SQLiteConnection>;

  void answer(const HBRInvokedUrlCommand& command, bool ok, platform::Value message) const;
  void inBackground(const HBRInvokedUrlCommand& command, void (SQLitePlugin::*body)(const HBRInvokedUrlCommand&));
  // The connection named by "dbargs", or the error text for the page.
  Connection connectionFor(const platform::Value& dbargs, std::string& error) const;

  CustomThreadSafeMutableDictionary<std::string, Connection> openDBs_;
  std::map<std::string, std::string> appDBPaths_;
  // Unlinks the file of a delete whose connections have closed, answers, and lets the opens
  // and deletes that waited for it go.
  void finishDelete(const HBRInvokedUrlCommand& command, const std::string& path);

  // Held from the already-open test to the registration of the handle, and by delete while it
  // takes the file's connections, so that an open and a delete of the same file never
  // interleave. Never held while waiting for anything.
  std::mutex openLock_;
  // Opens and deletes run here, one at a time in the order the page sent them (a delete and
  // then an open of the same file find it deleted), never on the shared workers.
  std::shared_ptr<platform::DispatchQueue> openQueue_ = platform::DispatchQueue::makeSerial("SQLitePlugin.open");
  // The files being deleted, each with the opens and deletes that came meanwhile (under
  // openLock_).
  std::map<std::string, std::vector<std::pair<HBRInvokedUrlCommand, void (SQLitePlugin::*)(const HBRInvokedUrlCommand&)>>>
      deleting_;
};
