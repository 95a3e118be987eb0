#pragma once

#include <memory>
#include <string>

#include "platform/foundation/Object.h"
#include "platform/logging/RRVLog.h"
#include "platform/logging/RRVSettings.h"

namespace roruv {

class RRVLogger;

// Turns each object posted to the pipeline into the logs its outputs receive. Runs on the
// pipeline's thread only.
class RRVFilter {
 public:
  virtual ~RRVFilter() = default;

  virtual void configure(const RRVSettings& settings) { settings_ = settings; }
  // The logs for one posted object. `captured` is set when the filter took the object, which
  // ends the search for a filter.
  virtual RRVLogs logsWithObject(const std::shared_ptr<const platform::Object>& object,
                                 const std::string& tag, bool& captured) = 0;

  // The pipeline the filter serves; null once it is gone.
  std::shared_ptr<RRVLogger> logger() const { return logger_.lock(); }
  void setLogger(const std::weak_ptr<RRVLogger>& logger) { logger_ = logger; }
  const RRVSettings& settings() const { return settings_; }

 private:
  std::weak_ptr<RRVLogger> logger_;
  RRVSettings settings_;
};

}  // namespace roruv
