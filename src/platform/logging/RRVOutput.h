#pragma once

#include <memory>
#include <string>

#include "platform/logging/RRVLog.h"
#include "platform/logging/RRVSettings.h"

namespace roruv {

class RRVLogger;

// Receives every log whose tag its pattern matches. `emitLog` runs on the pipeline's thread
// only, one log at a time, in the order the logs were posted.
class RRVOutput : public std::enable_shared_from_this<RRVOutput> {
 public:
  virtual ~RRVOutput() = default;

  virtual void configure(const RRVSettings& settings) { settings_ = settings; }
  // Called once the whole pipeline is configured, before the first log arrives, and again
  // whenever the output should resume work it had stopped.
  virtual void start() {}
  virtual void emitLog(const std::shared_ptr<RRVLog>& log) = 0;
  // Several logs that arrived together; outputs that gain from a batch override it.
  virtual void emitLogs(const RRVLogs& logs) {
    for (const auto& log : logs) emitLog(log);
  }

  std::shared_ptr<RRVLogger> logger() const { return logger_.lock(); }
  void setLogger(const std::weak_ptr<RRVLogger>& logger) { logger_ = logger; }
  const RRVSettings& settings() const { return settings_; }

  // The name under which the output's logs are kept in a log store: the output's class and
  // its tag pattern, both stable across launches.
  const std::string& storageKey() const { return storageKey_; }
  void setStorageKey(std::string key) { storageKey_ = std::move(key); }

 private:
  std::weak_ptr<RRVLogger> logger_;
  RRVSettings settings_;
  std::string storageKey_;
};

}  // namespace roruv
