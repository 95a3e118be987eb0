#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "shell/VLLogger.h"

namespace {

// Keeps each log as "message module level stack extra instant", absent parts as "-".
class RecordingEngine : public VLLoggerEngine {
 public:
  void processLog(const std::string& message, const std::string& module,
                  const std::optional<std::string>& stack, std::int64_t level,
                  const platform::Value& extra,
                  const std::optional<std::string>& instant) override {
    std::lock_guard lock(mutex);
    entries.push_back(message + " " + module + " " + std::to_string(level) + " " +
                      stack.value_or("-") + " " + extra.dump() + " " + instant.value_or("-"));
  }
  void processLog(const std::optional<std::string>&, const std::string&, const std::string&,
                  std::int64_t, const platform::Value&, const std::optional<std::string>&,
                  const std::optional<std::string>&, const std::optional<std::string>&) override {
    ADD_FAILURE() << "the facade uses the legacy entry";
  }
  std::mutex mutex;
  std::vector<std::string> entries;
};

}  // namespace

TEST(VLLogger, DropsEverythingUntilInitialisedAndKeepsTheFirstEngine) {
  EXPECT_EQ(VLLogger::sharedInstance(), nullptr);

  auto first = std::make_shared<RecordingEngine>();
  auto second = std::make_shared<RecordingEngine>();
  auto logger = VLLogger::initializeWithEngine(first);
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(VLLogger::sharedInstance(), logger);
  EXPECT_EQ(VLLogger::initializeWithEngine(second), logger);
  EXPECT_EQ(VLLogger::initializeWithEngine(nullptr), logger);
  EXPECT_EQ(logger->loggerEngine(), first);

  VLLogger::sharedInstance()->logInfo("started", "VLCache");
  ASSERT_EQ(first->entries.size(), 1u);
  EXPECT_TRUE(second->entries.empty());
}

TEST(VLLogger, ANullEngineStillMakesTheOneSharedLoggerWhichDropsEverything) {
  auto logger = VLLogger::initializeWithEngine(nullptr);
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(VLLogger::sharedInstance(), logger);
  EXPECT_EQ(logger->loggerEngine(), nullptr);

  auto late = std::make_shared<RecordingEngine>();
  EXPECT_EQ(VLLogger::initializeWithEngine(late), logger);
  EXPECT_EQ(logger->loggerEngine(), nullptr);
  logger->logFatalWithStack("dropped", "M", "frame");
  EXPECT_TRUE(late->entries.empty());
}

namespace {
// Whether a string-like third argument could be taken for the extra.
template <typename Third>
constexpr bool errorTakesAsExtra = requires(VLLogger& logger, Third third) {
  logger.logError("m", "M", third);
};
template <typename Third>
constexpr bool infoTakesAsExtra = requires(VLLogger& logger, Third third) {
  logger.logInfo("m", "M", third, std::nullopt);
};
// A string never becomes the extra.
static_assert(!errorTakesAsExtra<std::string>);
static_assert(!errorTakesAsExtra<const char*>);
static_assert(!errorTakesAsExtra<std::string_view>);
static_assert(!errorTakesAsExtra<const char (&)[6]>);
static_assert(!infoTakesAsExtra<std::string>);
static_assert(errorTakesAsExtra<platform::Value>);
static_assert(errorTakesAsExtra<std::nullptr_t>);
static_assert(infoTakesAsExtra<platform::Value>);
}  // namespace

TEST(VLLogger, EachOperationReachesTheEngineWithItsLevelStackExtraAndInstant) {
  auto engine = std::make_shared<RecordingEngine>();
  VLLogger logger(engine);
  VLException threeFrames("NSRangeException", "out of range",
                          {"0 app main", "1 app run", "2 libc start"});

  logger.logTrace("t", "M");
  logger.logVerbose("v", "M", {{"key", "value"}});
  logger.logDebug("d", "M", nullptr, "2024-05-06T07:08:09.010Z");
  logger.logInfo("i", "M");
  logger.logWarning("w", "M");
  logger.logError("e", "M", {{"code", 3}}, std::string("frame"), "2024-05-06T07:08:09.010Z");
  logger.logErrorWithStack("s", "M", "0 frame");
  logger.logError("x", "M", platform::Value::object({{"k", "v"}}));
  logger.logErrorWithException("no exception", "M", nullptr);
  logger.logErrorWithException("exception", "M", &threeFrames);
  logger.logFatalWithStack("f", "M", "frames");
  logger.logFatalWithException("fatal", "M", {{"fatal", true}}, &threeFrames);

  const std::string stack = "0 app main\n1 app run\n2 libc start";
  EXPECT_EQ(engine->entries,
            (std::vector<std::string>{
                "t M 0 - null -",
                "v M 1 - {\"key\":\"value\"} -",
                "d M 2 - null 2024-05-06T07:08:09.010Z",
                "i M 3 - null -",
                "w M 4 - null -",
                "e M 5 frame {\"code\":3} 2024-05-06T07:08:09.010Z",
                "s M 5 0 frame null -",
                "x M 5 - {\"k\":\"v\"} -",
                "no exception M 5 - null -",
                "exception M 5 " + stack + " null -",
                "f M 6 frames null -",
                "fatal M 6 " + stack + " {\"fatal\":true} -",
            }));
}
