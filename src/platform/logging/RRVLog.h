#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace roruv {

using RRVDate = std::chrono::system_clock::time_point;

// About how many bytes `value` takes as compact JSON (escapes of control characters aside):
// what a log weighs in a chunk.
std::size_t approximateJSONSize(const platform::Value& value);

// One log as the pipeline's outputs see it: the tag it was posted with, the pipeline's date
// of it and its record (`userInfo`). A log never changes once made; the record is shared
// between copies, so handing a log to several outputs costs no copy of the record.
class RRVLog {
 public:
  RRVLog(std::string tag, RRVDate date, platform::Value userInfo)
      : tag_(std::move(tag)),
        date_(date),
        userInfo_(std::make_shared<const platform::Value>(std::move(userInfo))),
        byteSize_(approximateJSONSize(*userInfo_)) {}

  const std::string& tag() const { return tag_; }
  RRVDate date() const { return date_; }
  const platform::Value& userInfo() const { return *userInfo_; }
  // About the size of the record as compact JSON.
  std::size_t byteSize() const { return byteSize_; }

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
  std::size_t byteSize_ = 0;
  std::int64_t storeId_ = 0;
};

using RRVLogs = std::vector<std::shared_ptr<RRVLog>>;

// The logs a buffered output writes in one go.
class RRVChunk {
 public:
  // What a write that failed says of the chunk: nothing (it may be sent again as it is), or
  // that the server refused it for good, either as a whole (its logs are dropped) or perhaps
  // for its size or one of its logs (it is sent again in smaller chunks).
  enum class Refusal { None, Drop, Split };

  explicit RRVChunk(RRVLogs logs) : logs_(std::move(logs)) {}
  const RRVLogs& logs() const { return logs_; }

  // Set by a write before it completes with a failure.
  void refuse(Refusal refusal) { refusal_ = refusal; }
  Refusal refusal() const { return refusal_; }

 private:
  RRVLogs logs_;
  std::atomic<Refusal> refusal_{Refusal::None};
};

}  // namespace roruv
