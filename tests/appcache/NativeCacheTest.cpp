#include <condition_variable>
#include <thread>

#include "CacheTestSupport.h"
#include "appcache/VLCacheOptions.h"
#include "appcache/VLNativeCache.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"

using cache_test::CacheFixture;
using cache_test::CacheLog;
using cache_test::Gate;
using cache_test::hashed;
using platform::Value;

namespace {

// What the engine tells the plugin, in order.
struct Listener : VLCacheListenerDelegate {
  std::mutex mutex;
  std::vector<std::string> events;
  void add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  }
  void fireOnProgressEvent(std::int64_t processed, std::int64_t total) override {
    add("progress " + std::to_string(processed) + "/" + std::to_string(total));
  }
  void fireOnErrorEvent(const std::string& message) override { add("error " + message); }
  void fireOnFinishEvent() override { add("finish"); }
  void updateStatus(std::int64_t status) override { add("status " + std::to_string(status)); }
  void throwException(const std::string& message) override { add("exception " + message); }
  size_t count(const std::string& prefix) {
    std::lock_guard lock(mutex);
    size_t n = 0;
    for (const auto& event : events) n += event.rfind(prefix, 0) == 0;
    return n;
  }
  std::vector<std::string> starting(const std::string& prefix) {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto& event : events)
      if (event.rfind(prefix, 0) == 0) out.push_back(event);
    return out;
  }
};

class NativeCacheTest : public CacheFixture {
 protected:
  NativeCacheTest() { platform::UserDefaults::resetForTesting(); }
  ~NativeCacheTest() override {
    engine.reset();
    VLCacheLocations::setFileOperationHook({});
    platform::UserDefaults::resetForTesting();
  }

  std::shared_ptr<VLNativeCache> launch(bool firstRun = false) {
    engine.reset();
    platform::UserDefaults::resetForTesting();
    engine = VLNativeCache::make(firstRun, 0, 0);
    listener = std::make_shared<Listener>();
    engine->setDelegate(listener);
    return engine;
  }

  // Serves `count` resources "/app/<prefix>N.js" and answers their list and mappings, counting
  // every request per path.
  Value resources(const std::string& prefix, int count, std::shared_ptr<Gate> gate = nullptr,
                  int held = 0) {
    Value list = Value::array();
    for (int i = 0; i < count; ++i) {
      std::string path = "/app/" + prefix + std::to_string(i) + ".js";
      std::string content = prefix + " content " + std::to_string(i);
      list.push_back(hashed(path, content));
      bool hold = gate && i < held;
      server.on("GET", path, [hits = hits, path, content, gate, hold](const auto&, auto& response) {
        hits->add(path);
        if (hold) gate->pass();
        response.set_content(content, "text/javascript");
      });
    }
    return list;
  }
  static Value mappingsFor(const Value& list) {
    Value maps = Value::object();
    maps["/app/index.js"] = list[0];
    return maps;
  }
  int hitsOf(const std::string& path) { return hits->of(path); }
  bool waitForFinishes(size_t n, double seconds = 15) {
    return testing_support::waitUntil([&] { return listener->count("finish") >= n; }, seconds);
  }
  static void forgetHashes() {
    platform::UserDefaults::standard().remove(VLNativeCache::kFileHashKey);
    platform::UserDefaults::standard().remove(VLNativeCache::kPreviousFileHashKey);
  }
  std::string storedHash() {
    return platform::UserDefaults::standard().string(VLNativeCache::kFileHashKey).value_or("");
  }
  std::string fileHash() {
    return VLFileChecksum::contentHashOfFile(VLNativeCache::manifestFilePath()).value_or("");
  }

  std::shared_ptr<VLNativeCache> engine;
  std::shared_ptr<Listener> listener;
  // Requests per path. The server's threads may still answer after the test body, so the
  // handlers share the counts.
  struct Hits {
    std::mutex mutex;
    std::map<std::string, int> counts;
    void add(const std::string& path) {
      std::lock_guard lock(mutex);
      ++counts[path];
    }
    int of(const std::string& path) {
      std::lock_guard lock(mutex);
      return counts[path];
    }
  };
  std::shared_ptr<Hits> hits = std::make_shared<Hits>();
};

}  // namespace

TEST_F(NativeCacheTest, AFullUpdateSwapsItselfInPersistsAndIsRestoredAtTheNextLaunch) {
  launch(true);
  EXPECT_TRUE(CacheLog::shared().contains("This is the first run so it's expected."));
  EXPECT_EQ(engine->currentStatus(), VLCacheStatusNoApplication);
  EXPECT_EQ(engine->getRunningVersionToken(), "n/a");

  Value list = resources("a", 6);
  engine->startCaching(host(), "app", "v1", list, mappingsFor(list), nullptr, nullptr);
  ASSERT_TRUE(waitForFinishes(1));
  EXPECT_EQ(listener->starting("status"),
            (std::vector<std::string>{"status 3", "status 4", "status 1"}));
  auto progress = listener->starting("progress");
  ASSERT_EQ(progress.size(), 6u);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(progress[i], "progress " + std::to_string(i + 1) + "/6");
  EXPECT_EQ(listener->count("error"), 0u);
  EXPECT_EQ(engine->getRunningVersionToken(), "v1");
  EXPECT_EQ(engine->ongoingCacheResources(), nullptr);
  EXPECT_EQ(storedHash(), fileHash());
  EXPECT_EQ(platform::UserDefaults::standard().string(VLNativeCache::kFileCreatedKey), "true");

  // The same version again: skipped, with a status and a finish event, nothing fetched.
  engine->startCaching(host(), "app", "v1", list, mappingsFor(list), nullptr, nullptr);
  EXPECT_EQ(listener->events.back(), "finish");
  EXPECT_EQ(hitsOf("/app/a0.js"), 1);

  launch();
  EXPECT_TRUE(CacheLog::shared().contains("Native cache successfully loaded"));
  EXPECT_EQ(engine->currentApplication(), VLNativeCache::keyForHostname(host(), "app"));
  EXPECT_EQ(engine->getRunningVersionToken(), "v1");
  auto app = engine->applicationCache(*engine->currentApplication());
  auto mapped = app->getCacheEntryForURL("/app/index.js");
  ASSERT_TRUE(mapped);
  EXPECT_EQ(cache_test::readFile(localFile(*mapped)), "a content 0");
}

TEST_F(NativeCacheTest, ACheckpointSurvivesARestartAndOnlyWhatIsMissingIsFetchedAgain) {
  launch();
  auto gate = std::make_shared<Gate>();
  Value list = resources("b", 4, gate, 2);  // b0 and b1 wait at the gate
  engine->startCaching(host(), "app", "v1", list, mappingsFor(list), nullptr, nullptr);
  ASSERT_TRUE(testing_support::waitUntil(
      [&] { return CacheLog::shared().contains("Checkpoint was created with success"); }, 10));
  ASSERT_TRUE(gate->waitForWaiting(2));
  launch();  // the first engine goes, its downloads with it
  gate->release();
  auto app = engine->applicationCache(VLNativeCache::keyForHostname(host(), "app"));
  ASSERT_TRUE(app);
  EXPECT_EQ(app->getCacheEntries().size(), 2u);

  engine->startCaching(host(), "app", "v1", list, mappingsFor(list), nullptr, nullptr);
  ASSERT_TRUE(waitForFinishes(1));
  EXPECT_EQ(engine->getRunningVersionToken(), "v1");
  EXPECT_EQ(hitsOf("/app/b2.js"), 1);
  EXPECT_EQ(hitsOf("/app/b3.js"), 1);
  EXPECT_GE(hitsOf("/app/b0.js"), 2);
}

TEST_F(NativeCacheTest, AnotherVersionCancelsTheOngoingOneAndSkippingCancelsItsDownloads) {
  launch();
  auto gate = std::make_shared<Gate>();
  Value held = resources("c", 3, gate, 3);
  engine->startCaching(host(), "app", "v1", held, mappingsFor(held), nullptr, nullptr);
  ASSERT_TRUE(gate->waitForWaiting(1));
  auto first = engine->ongoingCacheResources();
  // The same version while it runs: nothing happens.
  engine->startCaching(host(), "app", "v1", held, mappingsFor(held), nullptr, nullptr);
  EXPECT_EQ(engine->ongoingCacheResources(), first);

  Value quick = resources("d", 3);
  engine->startCaching(host(), "app", "v2", quick, mappingsFor(quick), nullptr, nullptr);
  ASSERT_TRUE(waitForFinishes(1));
  for (const auto& operation : first->downloadQueue()->operations())
    EXPECT_TRUE(operation->isCancelled());
  EXPECT_EQ(engine->getRunningVersionToken(), "v2");

  // A download of v3 is under way when the page asks for v2 again: the skip stops it.
  auto gate3 = std::make_shared<Gate>();
  Value third = resources("e", 2, gate3, 2);
  engine->startCaching(host(), "app", "v3", third, mappingsFor(third), nullptr, nullptr);
  ASSERT_TRUE(gate3->waitForWaiting(1));
  auto v3 = engine->ongoingCacheResources();
  engine->startCaching(host(), "app", "v2", quick, mappingsFor(quick), nullptr, nullptr);
  EXPECT_EQ(engine->ongoingCacheResources(), nullptr);
  EXPECT_EQ(engine->currentStatus(), VLCacheStatusIdle);
  for (const auto& operation : v3->downloadQueue()->operations())
    EXPECT_TRUE(operation->isCancelled());
  gate->release();
  gate3->release();
  EXPECT_EQ(engine->getRunningVersionToken(), "v2");
}

TEST_F(NativeCacheTest, RejectedAndFailedStartsAreReportedAsErrorEvents) {
  launch();
  engine->startCaching(host(), "app", "v1", Value::array(), Value::object(), nullptr, nullptr);
  EXPECT_EQ(listener->events,
            (std::vector<std::string>{"error Caching operation was rejected: resource list and "
                                      "url mappings dictionary are not valid",
                                      "finish"}));
  // The application's folder cannot be made: a file stands where it goes.
  platform::fs::writeFileAtomically(
      platform::fs::appendPath(VLCacheLocations::cacheDirectory(),
                               VLNativeCache::keyForHostname(host(), "app")),
      "x");
  Value list = resources("f", 1);
  engine->startCaching(host(), "app", "v1", list, mappingsFor(list), nullptr, nullptr);
  EXPECT_EQ(listener->count("error Failed to download resources for application version v1"), 1u);
  EXPECT_EQ(listener->events.back(), "finish");
  EXPECT_EQ(engine->currentStatus(), VLCacheStatusNoApplication);
}

TEST_F(NativeCacheTest, OptionsAreComparedWithTheSessionAndClamped) {
  launch();
  Value list = resources("g", 1);
  Value options = {{"windowSize", 5}, {"resourceConnectTimeout", 4}, {"resourceReadTimeout", 30}};
  engine->startCaching(host(), "app", "v1", list, mappingsFor(list), nullptr, options);
  ASSERT_TRUE(waitForFinishes(1));
  auto session = engine->downloadSession();
  EXPECT_EQ(session->configuration().timeoutIntervalForRequest(), 4);
  engine->startCaching(host(), "app", "v2", list, mappingsFor(list), nullptr, options);
  ASSERT_TRUE(waitForFinishes(2));
  EXPECT_EQ(engine->downloadSession(), session);
  EXPECT_EQ(engine->maxNumberOfRetries(), -1);

  Value wild = {{"windowSize", 1e15}, {"resourceReadTimeout", 1e300},
                {"resourceConnectTimeout", "soon"}, {"maxNumberOfRetries", 0}};
  engine->startCaching(host(), "app", "v3", list, mappingsFor(list), nullptr, wild);
  ASSERT_TRUE(waitForFinishes(3));
  const auto& configuration = engine->downloadSession()->configuration();
  EXPECT_EQ(configuration.httpMaximumConnectionsPerHost(), VLCacheOptions::kMaximumWindowSize);
  EXPECT_EQ(configuration.timeoutIntervalForResource(), VLCacheOptions::kMaximumTimeoutSeconds);
  EXPECT_EQ(engine->maxNumberOfRetries(), 0);
}

TEST_F(NativeCacheTest, SwitchingConfirmsTheRunningVersionAndCleansUpAtTheNextLaunch) {
  launch();
  Value one = resources("h", 2);
  engine->startCaching(host(), "app", "v1", one, mappingsFor(one), nullptr, nullptr);
  ASSERT_TRUE(waitForFinishes(1));
  auto app = engine->applicationCache(*engine->currentApplication());
  std::string oldFile = localFile(*app->getCacheEntries().at(one[1].get<std::string>()));
  Value two = resources("i", 2);
  engine->startCaching(host(), "app", "v2", two, mappingsFor(two), nullptr, nullptr);
  ASSERT_TRUE(waitForFinishes(2));

  engine->switchToVersion(host(), "app", "v1");
  EXPECT_EQ(listener->events.back(), "exception Failed to switch to cache version v1");
  engine->switchToVersion(host(), "other", "v2");
  EXPECT_TRUE(CacheLog::shared().contains("Unable to switch version: app https://"));
  engine->switchToVersion(host(), "app", "v2");
  EXPECT_TRUE(app->getCacheFrameForVersion("v1")->frameToDelete());
  EXPECT_TRUE(platform::fs::exists(oldFile));

  launch();
  ASSERT_TRUE(testing_support::waitUntil([&] { return !platform::fs::exists(oldFile); }, 5));
  EXPECT_EQ(engine->applicationCache(*engine->currentApplication())->cacheFrames().size(), 1u);
  EXPECT_EQ(storedHash(), fileHash());
}

TEST_F(NativeCacheTest, TheManifestFileIsTrustedOnlyWithItsHash) {
  launch();
  Value list = resources("j", 2);
  engine->startCaching(host(), "app", "v1", list, mappingsFor(list), nullptr, nullptr);
  ASSERT_TRUE(waitForFinishes(1));
  engine.reset();
  const std::string path = VLNativeCache::manifestFilePath();
  std::string text = cache_test::readFile(path);
  EXPECT_NE(text.find("<string>2.0.0</string>"), std::string::npos);

  // Edited after it was written: ignored, the engine starts empty.
  std::string edited = text;
  edited.replace(edited.find("<string>v1</string>"), 19, "<string>v9</string>");
  platform::fs::writeFileAtomically(path, edited);
  CacheLog::shared().clear();
  launch();
  EXPECT_TRUE(CacheLog::shared().contains("Cache manifest file is corrupt or invalid"));
  EXPECT_EQ(engine->currentApplication(), std::nullopt);
  EXPECT_EQ(engine->currentStatus(), VLCacheStatusNoApplication);

  // With no stored hash the file is loaded, but its file names must stay inside the cache.
  engine.reset();
  forgetHashes();
  Value manifest = *platform::parsePropertyList(text);
  std::string victim = root.file("victim");
  platform::fs::writeFileAtomically(victim, "keep me");
  const std::string key = VLNativeCache::keyForHostname(host(), "app");
  Value& stored = manifest["cachedEntries"][key];
  stored["cachedEntries"]["/app/evil.js"] = {{"url", "/app/evil.js"},
                                             {"fileName", "../../victim"},
                                             {"status", 2},
                                             {"resourceToDelete", true},
                                             {"cacheVersions", Value::object()}};
  stored["cachedFrames"].push_back({{"versionToken", "old"},
                                    {"status", 2},
                                    {"frameToDelete", true},
                                    {"resources", Value::array({"/app/evil.js"})}});
  platform::writePropertyList(path, manifest);
  launch();
  EXPECT_EQ(engine->getRunningVersionToken(), "v1");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the clean-up's queue
  EXPECT_EQ(cache_test::readFile(victim), "keep me");
  EXPECT_EQ(storedHash(), fileHash());
}

TEST_F(NativeCacheTest, AnOlderFormatIsUpgradedAndNotStampedBeforeTheUpgradeRan) {
  launch();
  Value list = resources("k", 2);
  engine->startCaching(host(), "app", "v1", list, mappingsFor(list), nullptr, nullptr);
  ASSERT_TRUE(waitForFinishes(1));
  engine.reset();
  const std::string path = VLNativeCache::manifestFilePath();
  Value manifest = *platform::readPropertyList(path);
  manifest.erase("nativeCacheVersion");
  const std::string key = VLNativeCache::keyForHostname(host(), "app");
  Value& application = manifest["cachedEntries"][key];
  application.erase("cachedFrames");
  // The older format kept mappings in the pool, under their own URL.
  application["cachedEntries"]["/app/index.js"] =
      application["cachedEntries"][list[0].get<std::string>()];
  platform::writePropertyList(path, manifest);
  forgetHashes();

  launch();  // its clean-up writes nothing yet
  EXPECT_TRUE(engine->cacheUpgrade());
  EXPECT_EQ(cache_test::readFile(path).find("2.0.0"), std::string::npos);
  engine->upgradeCacheIfNeeded();
  EXPECT_FALSE(engine->cacheUpgrade());
  EXPECT_EQ(engine->currentStatus(), VLCacheStatusIdle);
  EXPECT_NE(cache_test::readFile(path).find("<string>2.0.0</string>"), std::string::npos);
  launch();
  EXPECT_FALSE(engine->cacheUpgrade());
  EXPECT_EQ(engine->getRunningVersionToken(), "v1");
  auto entry = engine->applicationCache(key)->getCacheEntryForURL("/app/index.js");
  ASSERT_TRUE(entry);
  EXPECT_EQ(cache_test::readFile(localFile(*entry)), "k content 0");
}

TEST_F(NativeCacheTest, ACrashBetweenTheHashAndTheFileLosesNothingAndLeavesNoFiles) {
  launch();
  Value list = resources("l", 2);
  engine->startCaching(host(), "app", "v1", list, mappingsFor(list), nullptr, nullptr);
  ASSERT_TRUE(waitForFinishes(1));
  const std::string before = fileHash();
  // The "crash": every write stops once the new hash is stored, before the file is replaced.
  VLCacheLocations::setFileOperationHook([](std::string_view point) {
    if (point == "manifest-hash") throw VLException("Stopped", "stopped");
  });
  Value two = resources("m", 2);
  engine->startCaching(host(), "app", "v2", two, mappingsFor(two), nullptr, nullptr);
  ASSERT_TRUE(waitForFinishes(2));
  VLCacheLocations::setFileOperationHook({});
  auto app = engine->applicationCache(*engine->currentApplication());
  std::string newFile = localFile(*app->getCacheFrameForVersion("v2")->getResourceForUrl(
      two[1].get<std::string>()));
  ASSERT_TRUE(platform::fs::exists(newFile));
  EXPECT_EQ(fileHash(), before);
  EXPECT_NE(storedHash(), before);

  launch();
  EXPECT_EQ(engine->getRunningVersionToken(), "v1");
  EXPECT_FALSE(platform::fs::exists(newFile));
  EXPECT_EQ(storedHash(), fileHash());
}

TEST_F(NativeCacheTest, CheckpointHealAndSwapWritersKeepTheFileAndHashTogether) {
  launch();
  engine->setCurrentApplication(host(), "app");
  Value list = resources("n", 40);
  engine->startCaching(host(), "app", "v1", list, mappingsFor(list), nullptr,
                       Value{{"windowSize", 8}});
  auto key = VLNativeCache::keyForHostname(host(), "app");
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int i = 0; i < 3; ++i)
    writers.emplace_back([&, i] {
      while (!stop) {
        auto app = engine->applicationCache(key);
        if (!app) continue;
        if (i == 0) engine->createCheckPointForApplicationCache(app);
        if (i == 1) {
          app->healingCacheEntry(list[0].get<std::string>());
          try {
            engine->writeCacheManifest();
          } catch (const VLException&) {
          }
        }
        if (i == 2) {
          engine->swapCache();
          engine->getRunningVersionToken();
          engine->currentStatus();
        }
      }
    });
  bool finished = waitForFinishes(1, 30);
  stop = true;
  for (auto& writer : writers) writer.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(storedHash(), fileHash());
  launch();
  EXPECT_EQ(engine->applicationCache(key)->getCacheEntries().size(), 40u);
}

TEST(NativeCacheShared, AskingBeforeTheEngineIsMadeIsAClearError) {
  testing_support::ScopedDataRoot root;
  platform::UserDefaults::resetForTesting();
  VLNativeCache::resetSharedInstance();
  EXPECT_EQ(VLNativeCache::sharedInstanceIfMade(), nullptr);
  try {
    VLNativeCache::sharedInstance();
    FAIL() << "no exception";
  } catch (const VLException& exception) {
    EXPECT_EQ(exception.name(), "VLInvalidNativeCacheState");
    EXPECT_NE(exception.reason().find("sharedInstanceWithFirstRun:"), std::string::npos);
  }
  auto made = VLNativeCache::sharedInstanceWithFirstRun(true, 1, 2);
  EXPECT_EQ(VLNativeCache::sharedInstanceWithFirstRun(false, 3, 4), made);
  EXPECT_EQ(VLNativeCache::sharedInstance(), made);
  EXPECT_TRUE(made->firstRun());
  VLNativeCache::resetSharedInstance();
  platform::UserDefaults::resetForTesting();
}
