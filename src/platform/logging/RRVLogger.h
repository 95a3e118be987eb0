#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/ClassRegistry.h"
#include "platform/foundation/Object.h"
#include "platform/logging/RRVFilter.h"
#include "platform/logging/RRVLog.h"
#include "platform/logging/RRVOutput.h"
#include "platform/logging/RRVSettings.h"

namespace roruv {

class RRVLogStore;

// Filter and output classes by name, so a configuration can name classes that a later part
// of the program provides.
using RRVFilterClassRegistry = platform::ClassRegistry<std::shared_ptr<RRVFilter>()>;
using RRVOutputClassRegistry = platform::ClassRegistry<std::shared_ptr<RRVOutput>()>;

// A pattern matches a tag equal to it; a pattern ending in ".**" matches every tag that
// begins with the part before ".**" followed by a dot ("a.**" matches "a.b" and "a.b.c", not
// "a" or "ab.c").
bool RRVTagPatternMatches(const std::string& pattern, const std::string& tag);

class RRVFilterSetting {
 public:
  RRVFilterSetting(std::string filterClass, std::string tagPattern, RRVSettings settings = {})
      : filterClass(std::move(filterClass)),
        tagPattern(std::move(tagPattern)),
        settings(std::move(settings)) {}
  std::string filterClass;
  std::string tagPattern;
  RRVSettings settings;
};

class RRVOutputSetting {
 public:
  RRVOutputSetting(std::string outputClass, std::string tagPattern, RRVSettings settings = {})
      : outputClass(std::move(outputClass)),
        tagPattern(std::move(tagPattern)),
        settings(std::move(settings)) {}
  std::string outputClass;
  std::string tagPattern;
  RRVSettings settings;
};

struct RRVLoggerConfiguration {
  static RRVLoggerConfiguration defaultConfiguration() { return {}; }

  std::vector<RRVFilterSetting> filterSettings;
  std::vector<RRVOutputSetting> outputSettings;
  // Where buffered outputs keep their logs until they are written; none: the default store
  // under the application-support folder.
  std::shared_ptr<RRVLogStore> logStore;
};

// Routes posted objects: each goes to the first filter whose pattern matches its tag, and the
// filter's logs go to every output whose pattern matches the log's tag. Posting is safe from
// any thread and never waits for the filter or the outputs: they run, in posting order, on
// the pipeline's own thread. An element that throws is reported on the process log and loses
// what it was handed; the other elements still get theirs.
//
// At most kMostWaitingLogs ordinary posted objects wait for the thread: while the outputs
// fall behind, each further ordinary post drops the oldest waiting ordinary one, and one line
// on the process log tells how many were dropped before the thread takes up the rest. Urgent
// posts (errors, fatal records) have a bound of their own, kMostWaitingUrgentLogs, so that no
// flood of ordinary logs can push them out; the thread takes both in posting order.
class RRVLogger : public std::enable_shared_from_this<RRVLogger> {
 public:
  static constexpr size_t kMostWaitingLogs = 10000;
  static constexpr size_t kMostWaitingUrgentLogs = 10000;

  enum class Priority { Ordinary, Urgent };
  // Told, once, whether the posted object went through the filter and the outputs (true) or
  // was dropped at the bound or with the pipeline (false); called on the pipeline's thread or
  // the posting one, never under the pipeline's lock.
  using Taken = std::function<void(bool taken)>;

  // Makes, configures and starts every element the configuration names; an unknown class is
  // reported on the process log and left out.
  static std::shared_ptr<RRVLogger> initWithConfiguration(RRVLoggerConfiguration configuration);
  // Handles what was posted before it goes.
  ~RRVLogger();
  RRVLogger(const RRVLogger&) = delete;
  RRVLogger& operator=(const RRVLogger&) = delete;

  void postLog(std::shared_ptr<const platform::Object> object, const std::string& tag,
               Priority priority = Priority::Ordinary, Taken taken = {});
  RRVDate currentDate() const { return std::chrono::system_clock::now(); }

  const std::vector<std::shared_ptr<RRVFilter>>& filters() const;
  const std::vector<std::shared_ptr<RRVOutput>>& outputs() const;
  const std::shared_ptr<RRVLogStore>& logStore() const;

  // Waits until everything posted so far has been through the filter and the outputs (not
  // until buffered outputs have written it); false when that takes longer than `seconds`.
  bool waitUntilIdle(double seconds);

 private:
  // The queue, the elements and the thread. The thread shares it, so that the pipeline may
  // be released on its own thread (by an element) without pulling anything from under it.
  struct Core;
  RRVLogger() = default;

  std::shared_ptr<Core> core_;
};

}  // namespace roruv
