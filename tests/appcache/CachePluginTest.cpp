#include "CachePluginFixture.h"
#include "platform/ui/Application.h"

using cache_test::CacheLog;
using cache_test::CachePluginFixture;
using platform::Value;

namespace {

class CachePluginTest : public CachePluginFixture {
 protected:
  CachePluginTest() { writePackage(feature("Cache", "VLCache")); }

  // Serves `count` resources and answers their list and mappings.
  std::pair<Value, Value> resources(int count) {
    Value list = CachePluginFixture::resources("r", count);
    return {list, Value{{"/app/index.js", list[0]}}};
  }
};

}  // namespace

TEST_F(CachePluginTest, TheFirstLaunchIsToldToTheEngineAndTimeOutsComeFromThePreferences) {
  auto plugin = launch();
  ASSERT_TRUE(plugin);
  EXPECT_TRUE(plugin->cacheEngine()->firstRun());
  EXPECT_EQ(platform::UserDefaults::standard().string("FirstRun"), "false");
  auto timeOuts = [&] {
    const auto& configuration = plugin->cacheEngine()->downloadSession()->configuration();
    return std::pair(configuration.timeoutIntervalForRequest(), configuration.timeoutIntervalForResource());
  };
  EXPECT_EQ(timeOuts(), std::pair(4.0, 30.0));
  EXPECT_EQ(plugin->cacheEngine()->delegate().get(), plugin.get());

  // The next launch, with the time-outs set.
  vc.reset();
  VLNativeCache::resetSharedInstance();
  writePackage(feature("Cache", "VLCache"),
               "<preference name=\"DefaultResourceConnectTimeout\" value=\"7.5\"/>"
               "<preference name=\"defaultresourcereadtimeout\" value=\"45\"/>");
  plugin = launch();
  EXPECT_FALSE(plugin->cacheEngine()->firstRun());
  EXPECT_EQ(timeOuts(), std::pair(7.5, 45.0));
}

TEST_F(CachePluginTest, ArgumentRulesAndActionsAnswerOnlyOnTheChannel) {
  auto plugin = launch();
  ASSERT_TRUE(plugin);
  EXPECT_FALSE(plugin->deviceReady());

  // Fewer than two arguments: ready, no application.
  call("cb1", "Cache", "deviceready", Value::array({host()}));
  EXPECT_TRUE(plugin->deviceReady() && !plugin->cacheEngine()->currentApplication());

  call("cb2", "Cache", "startCaching", Value::array({host(), "app", "v1", Value::array()}));
  EXPECT_TRUE(CacheLog::shared().contains("VLCache: Unable to start caching: Missing command arguments"));
  call("cb3", "Cache", "switchToVersion", Value::array({host(), "app"}));
  EXPECT_TRUE(CacheLog::shared().contains("VLCache: Unable to switch version: Missing command arguments"));
  platform::MainLoop::runUntil([] { return false; }, 0.2);
  EXPECT_TRUE(events().empty());

  // Exactly five arguments reach the engine, which refuses the empty list with its events;
  // so do seven with nulls at 5 and 6.
  call("cb4", "Cache", "startCaching", Value::array({host(), "app", "v1", Value::array(), Value::object()}));
  ASSERT_TRUE(waitForEvents(2));
  call("cb5", "Cache", "startCaching",
       Value::array({host(), "app", "v1", Value::array(), Value::object(), nullptr, nullptr}));
  ASSERT_TRUE(waitForEvents(4));
  const std::string rejected =
      "error Caching operation was rejected: resource list and url mappings dictionary are not valid";
  EXPECT_EQ(eventNames(), (std::vector<std::string>{rejected, "finish", rejected, "finish"}));

  // Values of the wrong type: an error event, or a log line for an optional one.
  call("cb6", "Cache", "startCaching", Value::array({host(), 7, "v1", Value::array({"/a"}), Value::object()}));
  ASSERT_TRUE(waitForEvents(6));
  EXPECT_EQ(eventNames()[4], "error Caching operation was rejected: hostname, application and version must be strings");
  call("cb7", "Cache", "startCaching",
       Value::array({host(), "app", "v1", "not a list", Value::object(), "x", Value::array()}));
  ASSERT_TRUE(waitForEvents(8));
  EXPECT_TRUE(CacheLog::shared().contains("Ignored the url mappings not cached of startCaching") &&
              CacheLog::shared().contains("Ignored the options of startCaching"));
  call("cb8", "Cache", "switchToVersion", Value::array({host(), "app", Value::object()}));
  EXPECT_TRUE(CacheLog::shared().contains("Unable to switch version: the version token is not a string"));
  call("cb9", "Cache", "deviceready", Value::array({Value::array(), "app"}));
  EXPECT_TRUE(CacheLog::shared().contains("Unable to set the current application: the hostname is not a string"));

  // Two arguments make the application current.
  call("cb10", "Cache", "deviceready", Value::array({host(), "app"}));
  EXPECT_TRUE(testing_support::waitUntil(
      [&] { return plugin->cacheEngine()->currentApplication() == VLNativeCache::keyForHostname(host(), "app"); }, 5));
  platform::MainLoop::drain();
  for (int i = 1; i <= 10; ++i) EXPECT_TRUE(messagesOn("cb" + std::to_string(i)).empty()) << i;
}

TEST_F(CachePluginTest, ADownloadIsHeardOnTheChannelAndSwappedIn) {
  auto plugin = launch();
  auto [list, maps] = resources(3);
  call("ready", "Cache", "deviceready", Value::array({host(), "app"}));
  call("start", "Cache", "startCaching", Value::array({host(), "app", "v1", list, maps}));
  ASSERT_TRUE(waitForEvent("finish", 15)) << testing::PrintToString(eventNames());
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"status 3", "progress 1/3", "progress 2/3", "progress 3/3",
                                                    "status 4", "status 1", "finish"}));
  EXPECT_EQ(plugin->cacheEngine()->getRunningVersionToken(), "v1");
  for (const auto& event : events()) EXPECT_EQ(event.size(), 2u) << event.dump();

  call("switch", "Cache", "switchToVersion", Value::array({host(), "app", "v0"}));
  ASSERT_TRUE(waitForEvent("exception Failed to switch to cache version v0"));
  EXPECT_TRUE(messagesOn("start").empty() && messagesOn("switch").empty());
}

TEST_F(CachePluginTest, EventsWaitForTheForegroundInOrderWithProgressCoalesced) {
  auto plugin = launch();
  // Before the page is ready everything waits.
  plugin->updateStatus(1);
  EXPECT_EQ(plugin->queuedEventCount(), 1u);
  call("ready", "Cache", "deviceready", Value::array({host(), "app"}));
  ASSERT_TRUE(waitForEvents(1));

  auto& application = platform::ui::Application::shared();
  application.didEnterBackground();
  EXPECT_FALSE(plugin->deviceReady());
  auto [list, maps] = resources(12);
  call("start", "Cache", "startCaching", Value::array({host(), "app", "v2", list, maps}));
  ASSERT_TRUE(testing_support::waitUntil(
      [&] { return plugin->cacheEngine()->getRunningVersionToken() == "v2" && plugin->queuedEventCount() == 5; },
      15));
  // Thousands of reports while in the background keep one progress event, where it was last
  // reported; the rest stay in order.
  plugin->fireOnErrorEvent("late");
  for (int i = 0; i < 5000; ++i) plugin->fireOnProgressEvent(i, 5000);
  plugin->fireOnFinishEvent();
  EXPECT_EQ(plugin->queuedEventCount(), 8u);
  platform::MainLoop::drain();
  EXPECT_EQ(events().size(), 1u);

  application.willEnterForeground();
  ASSERT_TRUE(waitForEvents(9));
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"status 1", "status 3", "progress 12/12", "status 4", "status 1",
                                                    "finish", "error late", "progress 4999/5000", "finish"}));
  EXPECT_TRUE(plugin->queuedEventCount() == 0u && plugin->deviceReady());
}
