#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace roruv {

using RRVDate = std::chrono::system_clock::time_point;

// One log as the pipeline's outputs see it: the tag it was posted with, the pipeline's date
// of it and its record (`userInfo`). A log never changes once made; the record is shared
// between copies, so handing a log to several outputs costs no copy of the record.
class RRVLog {
 public:
  RRVLog(std::string tag, RRVDate date, platform::Value userInfo)
      : tag_(std::move(tag)),
        date_(date),
        userInfo_(std::make_shared<const platform::Value>(std::move(userInfo))) {}

  const std::string& tag() const { return tag_; }
  RRVDate date() const { return date_; }
  const platform::Value& userInfo() const { return *userInfo_; }

  // The log's row in a log store; 0 when it is in none.
  std::int64_t storeId() const { return storeId_; }
  std::shared_ptr<RRVLog> withStoreId(std::int64_t storeId) const {
    auto copy = std::make_shared<RRVLog>(*this);
    copy->storeId_ = storeId;
    return copy;
  }

 private:
  std::string tag_;
  RRVDate date_;
  std::shared_ptr<const platform::Value> userInfo_;
  std::int64_t storeId_ = 0;
};

using RRVLogs = std::vector<std::shared_ptr<RRVLog>>;

// The logs a buffered output writes in one go.
class RRVChunk {
 public:
  explicit RRVChunk(RRVLogs logs) : logs_(std::move(logs)) {}
  const RRVLogs& logs() const { return logs_; }

 private:
  RRVLogs logs_;
};

}  // namespace roruv
