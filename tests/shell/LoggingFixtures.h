#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/logging/RRVLogger.h"

namespace shell_test {

// An output that keeps the records it receives; tests register it under the remote outputs'
// class names.
class RecordOutput : public roruv::RRVOutput {
 public:
  void emitLog(const std::shared_ptr<roruv::RRVLog>& log) override {
    std::lock_guard lock(mutex);
    records.push_back(log->userInfo());
  }
  std::vector<platform::Value> received() {
    std::lock_guard lock(mutex);
    return records;
  }
  std::mutex mutex;
  std::vector<platform::Value> records;
};

}  // namespace shell_test
