#include <gtest/gtest.h>

#include <condition_variable>

#include "PipelineTestSupport.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/logging/RRVLogStore.h"
#include "support/TestSupport.h"

using namespace logging_test;
using roruv::RRVBufferedOutputSettingsFlushIntervalKey;
using roruv::RRVBufferedOutputSettingsLogLimitKey;
using roruv::RRVBufferedOutputSettingsMaxRetryCountKey;
using roruv::RRVLogger;
using roruv::RRVLoggerConfiguration;
using roruv::RRVTagPatternMatches;

namespace {

std::shared_ptr<RRVLogger> pipeline(const std::vector<roruv::RRVOutputSetting>& outputs,
                                    std::shared_ptr<roruv::RRVLogStore> store = nullptr) {
  registerTestClasses();
  RRVLoggerConfiguration configuration;
  configuration.filterSettings.emplace_back("EchoFilter", "app.**");
  configuration.outputSettings = outputs;
  configuration.logStore = store ? store : roruv::RRVLogStore::storeAtPath(":memory:");
  return RRVLogger::initWithConfiguration(configuration);
}

// A buffered output that never flushes by itself: tests write its chunks with writeOnce.
roruv::RRVOutputSetting scripted(double limit, double retries) {
  return {"ScriptedOutput",
          "app.server",
          {{RRVBufferedOutputSettingsFlushIntervalKey, 3600.0},
           {RRVBufferedOutputSettingsLogLimitKey, limit},
           {RRVBufferedOutputSettingsMaxRetryCountKey, retries}}};
}

template <typename T>
std::shared_ptr<T> output(const std::shared_ptr<RRVLogger>& logger, size_t index) {
  return std::dynamic_pointer_cast<T>(logger->outputs().at(index));
}

void post(const std::shared_ptr<RRVLogger>& logger, const std::string& tag,
          std::initializer_list<const char*> texts) {
  for (const char* text : texts) logger->postLog(std::make_shared<Note>(text), tag);
  ASSERT_TRUE(logger->waitUntilIdle(5));
}

// Counts the two notifications of one output.
struct NotificationCount {
  explicit NotificationCount(const void* sender) {
    auto& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(this, roruv::RRVBufferedOutputDidTryWriteChunkNotification, sender,
                       [this](const platform::Notification&) { ++tried; });
    center.addObserver(this, roruv::RRVBufferedOutputDidSuccessWriteChunkNotification, sender,
                       [this](const platform::Notification&) { ++succeeded; });
  }
  ~NotificationCount() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
  std::atomic<int> tried{0}, succeeded{0};
};

}  // namespace

TEST(RRVTagPattern, MatchesEqualTagsAndEverythingBelowADotStarStarPattern) {
  EXPECT_TRUE(RRVTagPatternMatches("vllogger.server.42", "vllogger.server.42"));
  EXPECT_FALSE(RRVTagPatternMatches("vllogger.server.42", "vllogger.server.420"));
  EXPECT_TRUE(RRVTagPatternMatches("vllogger.**", "vllogger.server.42"));
  EXPECT_TRUE(RRVTagPatternMatches("vllogger.**", "vllogger.x"));
  EXPECT_TRUE(RRVTagPatternMatches("vllogger.**", "vllogger.**"));  // the catch-all tag itself
  EXPECT_FALSE(RRVTagPatternMatches("vllogger.**", "vllogger"));
  EXPECT_FALSE(RRVTagPatternMatches("vllogger.**", "vllogger."));
  EXPECT_FALSE(RRVTagPatternMatches("vllogger.**", "vlloggerX.a"));
  EXPECT_FALSE(RRVTagPatternMatches("vllogger.server.42", "vllogger.**"));
  EXPECT_FALSE(RRVTagPatternMatches("**", "anything"));
  EXPECT_FALSE(RRVTagPatternMatches("", "a"));
}

TEST(RRVLogger, RoutesEachLogToEveryOutputWhosePatternMatchesItsTag) {
  testing_support::LogCapture log;
  auto logger = pipeline({{"RecordingOutput", "app.**"},
                          {"RecordingOutput", "app.server"},
                          {"NoSuchOutput", "app.**"}});
  EXPECT_TRUE(log.contains("no output class \"NoSuchOutput\""));
  ASSERT_EQ(logger->outputs().size(), 2u);

  post(logger, "app.**", {"one"});
  post(logger, "app.server", {"two", "throw", "three"});
  post(logger, "elsewhere", {"lost"});  // no filter takes it

  EXPECT_EQ(output<RecordingOutput>(logger, 0)->received(),
            (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(output<RecordingOutput>(logger, 1)->received(),
            (std::vector<std::string>{"two", "three"}));
  // A filter that throws loses that object only.
  EXPECT_TRUE(log.contains("a filter fault"));
}

TEST(RRVBufferedOutput, WritesChunksOfAtMostTheLogLimitInOrderAndEmptiesTheStore) {
  auto logger = pipeline({scripted(3, 2)});
  auto out = output<ScriptedOutput>(logger, 0);
  NotificationCount count(out.get());
  post(logger, "app.server", {"1", "2", "3", "4", "5", "6", "7"});
  EXPECT_EQ(out->bufferedCount(), 7u);
  EXPECT_EQ(logger->logStore()->countForOutput(out->storageKey()), 7u);

  for (int i = 0; i < 3; ++i) ASSERT_TRUE(out->writeOnce());
  EXPECT_EQ(out->chunks(),
            (std::vector<std::vector<std::string>>{{"1", "2", "3"}, {"4", "5", "6"}, {"7"}}));
  EXPECT_EQ(out->bufferedCount(), 0u);
  EXPECT_EQ(logger->logStore()->countForOutput(out->storageKey()), 0u);
  EXPECT_EQ(count.tried, 3);
  EXPECT_EQ(count.succeeded, 3);
  // Nothing left: a tick writes nothing.
  out->tick();
  EXPECT_FALSE(testing_support::waitUntil([&] { return out->chunks().size() > 3; }, 0.2));
}

TEST(RRVBufferedOutput, CountsRetriesAndKeepsAFailedChunkPastTheLimit) {
  auto logger = pipeline({scripted(2, 1)});
  auto out = output<ScriptedOutput>(logger, 0);
  NotificationCount count(out.get());
  out->script({false, false, false, true});
  post(logger, "app.server", {"a", "b", "c"});
  const auto key = out->storageKey();

  ASSERT_TRUE(out->writeOnce());
  EXPECT_EQ(out->retryCount(), 1);
  EXPECT_FALSE(out->reachedRetryLimit());
  EXPECT_EQ(out->currentDelay(), 3600.0);
  ASSERT_TRUE(out->writeOnce());
  EXPECT_TRUE(out->reachedRetryLimit());
  EXPECT_EQ(out->currentDelay(), 7200.0);  // backing off, not giving up
  ASSERT_TRUE(out->writeOnce());
  EXPECT_EQ(out->retryCount(), 3);
  EXPECT_EQ(out->currentDelay(), 14400.0);
  // Past the limit the chunk is still first in the buffer and still stored.
  EXPECT_EQ(out->bufferedCount(), 3u);
  EXPECT_EQ(logger->logStore()->countForOutput(key), 3u);

  ASSERT_TRUE(out->writeOnce());
  EXPECT_EQ(out->retryCount(), 0);
  EXPECT_EQ(logger->logStore()->countForOutput(key), 1u);
  ASSERT_TRUE(out->writeOnce());
  EXPECT_EQ(out->chunks(), (std::vector<std::vector<std::string>>{
                               {"a", "b"}, {"a", "b"}, {"a", "b"}, {"a", "b"}, {"c"}}));
  EXPECT_EQ(count.tried, 5);
  EXPECT_EQ(count.succeeded, 2);
}

TEST(RRVBufferedOutput, AWriteThatThrowsFailsAndACompletionCountsOnce) {
  auto logger = pipeline({scripted(10, 5)});
  auto out = output<ScriptedOutput>(logger, 0);
  post(logger, "app.server", {"x"});

  out->callTwice = true;  // success, then a stray failure that must be ignored
  out->script({true});
  ASSERT_TRUE(out->writeOnce());
  EXPECT_EQ(out->retryCount(), 0);
  EXPECT_EQ(out->bufferedCount(), 0u);

  post(logger, "app.server", {"y"});
  out->callTwice = false;
  out->throwInstead = true;
  ASSERT_TRUE(out->writeOnce());
  EXPECT_TRUE(testing_support::waitUntil([&] { return out->retryCount() == 1; }, 5));
  EXPECT_EQ(out->bufferedCount(), 1u);
}

TEST(RRVLogStore, BufferedLogsSurviveARestartOfThePipeline) {
  testing_support::TempDir folder;
  const std::string path = folder.file("logs/LogStore.sqlite");
  std::string key;
  {
    auto store = roruv::RRVLogStore::storeAtPath(path);
    ASSERT_TRUE(store->isPersistent());
    auto logger = pipeline({scripted(10, 0)}, store);
    auto out = output<ScriptedOutput>(logger, 0);
    key = out->storageKey();
    out->script({false});
    post(logger, "app.server", {"before", "the", "crash"});
    ASSERT_TRUE(out->writeOnce());  // fails: everything stays
  }
  // Every object of the first run is gone; the file is all that is left.
  auto store = roruv::RRVLogStore::storeAtPath(path);
  EXPECT_EQ(store->countForOutput(key), 3u);
  auto logger = pipeline({scripted(10, 0)}, store);
  auto out = output<ScriptedOutput>(logger, 0);
  EXPECT_EQ(out->bufferedCount(), 3u);
  post(logger, "app.server", {"after"});
  ASSERT_TRUE(out->writeOnce());
  EXPECT_EQ(out->chunks(),
            (std::vector<std::vector<std::string>>{{"before", "the", "crash", "after"}}));
  EXPECT_EQ(store->countForOutput(key), 0u);
}

namespace {
// Keeps the delays of the timers it arms; they never fire.
struct DelayRecorder : roruv::RRVScheduler {
  struct Never : Timer {
    std::atomic<bool> valid{true};
    void invalidate() override { valid = false; }
    bool isValid() const override { return valid; }
  };
  std::shared_ptr<Timer> schedule(double seconds, std::function<void()>) override {
    auto timer = std::make_shared<Never>();
    std::lock_guard lock(mutex);
    timers.emplace_back(seconds, timer);
    return timer;
  }
  std::vector<double> armed() {
    std::lock_guard lock(mutex);
    std::vector<double> delays;
    for (const auto& [seconds, timer] : timers)
      if (timer->valid) delays.push_back(seconds);
    return delays;
  }
  std::mutex mutex;
  std::vector<std::pair<double, std::shared_ptr<Never>>> timers;
};
}  // namespace

TEST(RRVBufferedOutput, ALogArrivingAsAWriteFailsWaitsOutTheBackOffOfThatFailure) {
  auto logger = pipeline({scripted(10, 0)});
  auto out = output<ScriptedOutput>(logger, 0);
  auto timers = std::make_shared<DelayRecorder>();
  out->setScheduler(timers);
  out->script({false});
  post(logger, "app.server", {"a"});
  out->onFailure = [&] {
    logger->postLog(std::make_shared<Note>("b"), "app.server");
    EXPECT_TRUE(logger->waitUntilIdle(5));
  };
  ASSERT_TRUE(out->writeOnce());
  // One failure past a limit of none: twice the flush interval, whichever log armed the timer.
  EXPECT_EQ(timers->armed(), std::vector<double>{7200.0});

  out->onFailure = nullptr;
  ASSERT_TRUE(out->writeOnce());
  EXPECT_EQ(out->chunks(), (std::vector<std::vector<std::string>>{{"a"}, {"a", "b"}}));
  EXPECT_EQ(logger->logStore()->countForOutput(out->storageKey()), 0u);
}

namespace {
// Holds the pipeline's thread in its first log until the test lets it go.
class HeldOutput : public RecordingOutput {
 public:
  void emitLog(const std::shared_ptr<roruv::RRVLog>& log) override {
    entered = true;
    {
      std::unique_lock lock(gateMutex);
      opened.wait(lock, [&] { return open; });
    }
    RecordingOutput::emitLog(log);
  }
  void release() {
    {
      std::lock_guard lock(gateMutex);
      open = true;
    }
    opened.notify_all();
  }
  // Holds the next log again.
  void hold() {
    std::lock_guard lock(gateMutex);
    open = false;
    entered = false;
  }
  std::atomic<bool> entered{false};
  std::mutex gateMutex;
  std::condition_variable opened;
  bool open = false;
};

// A pipeline whose one output holds the pipeline's thread in the log "first"; the output is
// null when the thread never got there.
std::pair<std::shared_ptr<RRVLogger>, std::shared_ptr<HeldOutput>> heldPipeline() {
  roruv::RRVOutputClassRegistry::shared().registerClass(
      "HeldOutput", [] { return std::make_shared<HeldOutput>(); });
  auto logger = pipeline({{"HeldOutput", "app.**"}});
  auto out = output<HeldOutput>(logger, 0);
  logger->postLog(std::make_shared<Note>("first"), "app.x");
  if (!testing_support::waitUntil([&] { return out->entered.load(); }, 5)) out = nullptr;
  return {logger, out};
}
}  // namespace

TEST(RRVLogger, BehindAStuckOutputTheNewestLogsWaitAndOneLineCountsTheDroppedOnes) {
  testing_support::LogCapture log;
  auto [logger, out] = heldPipeline();
  ASSERT_TRUE(out);

  const size_t bound = RRVLogger::kMostWaitingLogs;
  for (size_t i = 0; i < bound + 100; ++i)
    logger->postLog(std::make_shared<Note>(std::to_string(i)), "app.x");
  out->release();
  ASSERT_TRUE(logger->waitUntilIdle(10));

  auto received = out->received();
  ASSERT_EQ(received.size(), 1 + bound);
  EXPECT_EQ(received[1], "100");
  EXPECT_EQ(received.back(), std::to_string(bound + 99));
  EXPECT_EQ(log.count("RRVLogger: 100 logs were dropped"), 1u);
  EXPECT_EQ(log.count("dropped"), 1u);
}

TEST(RRVLogger, UrgentLogsKeepTheirPlaceBehindAFloodAndEachPostLearnsWhetherItWasTaken) {
  testing_support::LogCapture log;
  auto [logger, out] = heldPipeline();
  ASSERT_TRUE(out);

  std::atomic<size_t> taken{0}, lost{0};
  auto count = [&](bool wasTaken) { ++(wasTaken ? taken : lost); };
  // A burst of info logs with an error every thousand, as a page in a loop sends them.
  const size_t burst = 50000;
  for (size_t i = 0; i < burst; ++i) {
    const bool urgent = i % 1000 == 999;
    logger->postLog(std::make_shared<Note>((urgent ? "error " : "info ") + std::to_string(i)),
                    "app.x", urgent ? RRVLogger::Priority::Urgent : RRVLogger::Priority::Ordinary,
                    count);
  }
  out->release();
  ASSERT_TRUE(logger->waitUntilIdle(10));
  EXPECT_EQ(taken, RRVLogger::kMostWaitingLogs + 50);
  EXPECT_EQ(lost, burst - 50 - RRVLogger::kMostWaitingLogs);

  // Every error arrived, in its place among the newest info logs.
  auto received = out->received();
  std::vector<std::string> errors;
  for (const auto& text : received)
    if (text.rfind("error ", 0) == 0) errors.push_back(text);
  ASSERT_EQ(errors.size(), 50u);
  EXPECT_EQ(errors.front(), "error 999");
  EXPECT_EQ(received.back(), "error 49999");
  EXPECT_EQ(received[received.size() - 2], "info 49998");
  EXPECT_EQ(log.count("dropped"), 1u);

  // Urgent logs have a bound of their own; a post past the pipeline's end is not taken.
  taken = lost = 0;
  out->hold();
  logger->postLog(std::make_shared<Note>("held"), "app.x");
  ASSERT_TRUE(testing_support::waitUntil([&] { return out->entered.load(); }, 5));
  for (size_t i = 0; i < RRVLogger::kMostWaitingUrgentLogs + 5; ++i)
    logger->postLog(std::make_shared<Note>("e"), "app.x", RRVLogger::Priority::Urgent, count);
  EXPECT_EQ(lost, 5u);
  logger->postLog(nullptr, "app.x", RRVLogger::Priority::Urgent, count);
  EXPECT_EQ(lost, 6u);
  out->release();
  ASSERT_TRUE(logger->waitUntilIdle(10));
  EXPECT_EQ(taken, RRVLogger::kMostWaitingUrgentLogs);
}

TEST(RRVBufferedOutput, AChunkEndsAtItsByteBoundButHoldsAtLeastOneLog) {
  auto logger = pipeline({scripted(100, 2)});
  auto out = output<ScriptedOutput>(logger, 0);
  const std::string fifth(roruv::RRVBufferedOutput::kMaximumChunkBytes / 5, 'x');
  const std::string whole(roruv::RRVBufferedOutput::kMaximumChunkBytes * 2, 'y');
  for (const std::string* text : {&fifth, &fifth, &fifth, &fifth, &fifth, &whole, &fifth})
    logger->postLog(std::make_shared<Note>(*text), "app.server");
  ASSERT_TRUE(logger->waitUntilIdle(5));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(out->writeOnce());
  std::vector<size_t> sizes;
  for (const auto& chunk : out->chunks()) sizes.push_back(chunk.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{4, 1, 1}));
  ASSERT_TRUE(out->writeOnce());
  EXPECT_EQ(out->chunks().back().size(), 1u);
}
