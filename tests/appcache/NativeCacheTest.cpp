#include <condition_variable>
#include <thread>
#include <functional>

#include "CacheTestSupport.h"
#include "appcache/VLCacheLocations.h"
#include "appcache/VLCacheOptions.h"
#include "appcache/VLNativeCache.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"

using cache_test::CacheFixture;
using cache_test::CacheLog;
using cache_test::Gate;
using cache_test::hashed;
using cache_test::Listener;
using platform::Value;

namespace {

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

  static Value mappingsFor(const Value& list) { return Value{{"/app/index.js", list[0]}}; }
  void start(const Value& list, const std::string& version, Value options = nullptr) {
    engine->startCaching(host(), "app", version, list, mappingsFor(list), nullptr, std::move(options));
  }
  // Launches, serves `count` resources and caches them as v1.
  void cacheV1(const std::string& prefix, int count, Value& list) {
    launch();
    list = resources(prefix, count);
    start(list, "v1");
    ASSERT_TRUE(waitForFinishes(1));
  }
  bool waitForFinishes(size_t n, double seconds = 15) {
    return testing_support::waitUntil([&] { return listener->count("finish") >= n; }, seconds);
  }
  // Rewrites the manifest as `change` leaves it, with no hash to check it against.
  template <typename Change>
  void rewriteManifest(Change change) {
    engine.reset();
    Value manifest = *platform::readPropertyList(VLNativeCache::manifestFilePath());
    change(manifest, manifest["cachedEntries"][VLNativeCache::keyForHostname(host(), "app")]);
    platform::writePropertyList(VLNativeCache::manifestFilePath(), manifest);
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
};

}  // namespace

TEST_F(NativeCacheTest, AFullUpdateSwapsItselfInPersistsAndIsRestoredAtTheNextLaunch) {
  launch(true);
  EXPECT_TRUE(CacheLog::shared().contains("This is the first run so it's expected."));
  EXPECT_TRUE(engine->currentStatus() == VLCacheStatusNoApplication && engine->getRunningVersionToken() == "n/a");

  Value list = resources("a", 3);
  start(list, "v1");
  ASSERT_TRUE(waitForFinishes(1));
  EXPECT_EQ(listener->events, (std::vector<std::string>{"status 3", "progress 1/3", "progress 2/3", "progress 3/3",
                                                        "status 4", "status 1", "finish"}));
  EXPECT_TRUE(engine->getRunningVersionToken() == "v1" && !engine->ongoingCacheResources());
  EXPECT_EQ(storedHash(), fileHash());
  EXPECT_EQ(platform::UserDefaults::standard().string(VLNativeCache::kFileCreatedKey), "true");

  // The same version again: skipped, with a status and a finish event, nothing fetched.
  start(list, "v1");
  EXPECT_EQ(listener->events.back(), "finish");
  EXPECT_EQ(server.requestCount("/app/a0.js"), 1u);

  launch();
  EXPECT_TRUE(CacheLog::shared().contains("Native cache successfully loaded"));
  EXPECT_TRUE(engine->currentApplication() == VLNativeCache::keyForHostname(host(), "app") &&
              engine->getRunningVersionToken() == "v1");
  auto mapped = engine->applicationCache(*engine->currentApplication())->getCacheEntryForURL("/app/index.js");
  ASSERT_TRUE(mapped);
  EXPECT_EQ(cache_test::readFile(localFile(*mapped)), "a content 0");
}

TEST_F(NativeCacheTest, ACheckpointSurvivesARestartAndOnlyWhatIsMissingIsFetchedAgain) {
  launch();
  auto gate = std::make_shared<Gate>();
  Value list = resources("b", 4, gate, 2);  // b0 and b1 wait at the gate
  start(list, "v1");
  ASSERT_TRUE(testing_support::waitUntil(
      [&] { return CacheLog::shared().contains("Checkpoint was created with success"); }, 10));
  ASSERT_TRUE(gate->waitForWaiting(2));
  launch();  // the first engine goes, its downloads with it
  gate->release();
  auto app = engine->applicationCache(VLNativeCache::keyForHostname(host(), "app"));
  ASSERT_TRUE(app);
  EXPECT_EQ(app->getCacheEntries().size(), 2u);

  start(list, "v1");
  ASSERT_TRUE(waitForFinishes(1));
  EXPECT_EQ(engine->getRunningVersionToken(), "v1");
  EXPECT_EQ(server.requestCount("/app/b2.js") + server.requestCount("/app/b3.js"), 2u);
  EXPECT_GE(server.requestCount("/app/b0.js"), 2u);
}

TEST_F(NativeCacheTest, AnotherVersionCancelsTheOngoingOneAndSkippingCancelsItsDownloads) {
  auto allCancelled = [](const std::shared_ptr<VLCacheResources>& frame) {
    for (const auto& operation : frame->downloadQueue()->operations())
      if (!operation->isCancelled()) return false;
    return true;
  };
  launch();
  auto gate = std::make_shared<Gate>();
  Value held = resources("c", 3, gate, 3);
  start(held, "v1");
  ASSERT_TRUE(gate->waitForWaiting(1));
  auto first = engine->ongoingCacheResources();
  start(held, "v1");  // the same version while it runs: nothing happens
  EXPECT_EQ(engine->ongoingCacheResources(), first);

  Value quick = resources("d", 3);
  start(quick, "v2");
  ASSERT_TRUE(waitForFinishes(1));
  EXPECT_TRUE(allCancelled(first) && engine->getRunningVersionToken() == "v2");

  // A download of v3 is under way when the page asks for v2 again: the skip stops it.
  auto gate3 = std::make_shared<Gate>();
  start(resources("e", 2, gate3, 2), "v3");
  ASSERT_TRUE(gate3->waitForWaiting(1));
  auto v3 = engine->ongoingCacheResources();
  start(quick, "v2");
  EXPECT_TRUE(!engine->ongoingCacheResources() && engine->currentStatus() == VLCacheStatusIdle);
  EXPECT_TRUE(allCancelled(v3));
  gate->release();
  gate3->release();
  EXPECT_EQ(engine->getRunningVersionToken(), "v2");
}

TEST_F(NativeCacheTest, RejectedAndFailedStartsAreReportedAsErrorEvents) {
  launch();
  engine->startCaching(host(), "app", "v1", Value::array(), Value::object(), nullptr, nullptr);
  EXPECT_EQ(listener->events, (std::vector<std::string>{"error Caching operation was rejected: resource list and "
                                                        "url mappings dictionary are not valid",
                                                        "finish"}));
  // The application's folder cannot be made: a file stands where it goes.
  platform::fs::writeFileAtomically(
      platform::fs::appendPath(VLCacheLocations::cacheDirectory(), VLNativeCache::keyForHostname(host(), "app")), "x");
  start(resources("f", 1), "v1");
  EXPECT_EQ(listener->count("error Failed to download resources for application version v1"), 1u);
  EXPECT_TRUE(listener->events.back() == "finish" && engine->currentStatus() == VLCacheStatusNoApplication);
}

TEST_F(NativeCacheTest, OptionsAreComparedWithTheSessionAndClamped) {
  launch();
  Value list = resources("g", 1);
  Value options = {{"windowSize", 5}, {"resourceConnectTimeout", 4}, {"resourceReadTimeout", 30}};
  start(list, "v1", options);
  ASSERT_TRUE(waitForFinishes(1));
  auto session = engine->downloadSession();
  EXPECT_EQ(session->configuration().timeoutIntervalForRequest(), 4);
  start(list, "v2", options);
  ASSERT_TRUE(waitForFinishes(2));
  EXPECT_TRUE(engine->downloadSession() == session && engine->maxNumberOfRetries() == -1);

  start(list, "v3", {{"windowSize", 1e15}, {"resourceReadTimeout", 1e300}, {"resourceConnectTimeout", "soon"},
                     {"maxNumberOfRetries", 0}});
  ASSERT_TRUE(waitForFinishes(3));
  const auto& configuration = engine->downloadSession()->configuration();
  EXPECT_EQ(configuration.httpMaximumConnectionsPerHost(), VLCacheOptions::kMaximumWindowSize);
  EXPECT_TRUE(configuration.timeoutIntervalForResource() == VLCacheOptions::kMaximumTimeoutSeconds &&
              engine->maxNumberOfRetries() == 0);
}

TEST_F(NativeCacheTest, SwitchingConfirmsTheRunningVersionAndCleansUpAtTheNextLaunch) {
  Value one;
  ASSERT_NO_FATAL_FAILURE(cacheV1("h", 2, one));
  auto app = engine->applicationCache(*engine->currentApplication());
  std::string oldFile = localFile(*app->getCacheEntries().at(one[1].get<std::string>()));
  start(resources("i", 2), "v2");
  ASSERT_TRUE(waitForFinishes(2));

  engine->switchToVersion(host(), "app", "v1");
  EXPECT_EQ(listener->events.back(), "exception Failed to switch to cache version v1");
  engine->switchToVersion(host(), "other", "v2");
  EXPECT_TRUE(CacheLog::shared().contains("Unable to switch version: app https://"));
  engine->switchToVersion(host(), "app", "v2");
  EXPECT_TRUE(app->getCacheFrameForVersion("v1")->frameToDelete() && platform::fs::exists(oldFile));

  launch();
  ASSERT_TRUE(testing_support::waitUntil([&] { return !platform::fs::exists(oldFile); }, 5));
  EXPECT_EQ(engine->applicationCache(*engine->currentApplication())->cacheFrames().size(), 1u);
  EXPECT_EQ(storedHash(), fileHash());
}

TEST_F(NativeCacheTest, TheManifestFileIsTrustedOnlyWithItsHash) {
  Value list;
  ASSERT_NO_FATAL_FAILURE(cacheV1("j", 2, list));
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
  EXPECT_TRUE(!engine->currentApplication() && engine->currentStatus() == VLCacheStatusNoApplication);

  // With no stored hash the file is loaded, but its file names must stay inside the cache.
  engine.reset();
  platform::fs::writeFileAtomically(path, text);
  std::string victim = root.write("victim", "keep me");
  rewriteManifest([](Value&, Value& stored) {
    stored["cachedEntries"]["/app/evil.js"] = {{"url", "/app/evil.js"}, {"fileName", "../../victim"}, {"status", 2},
                                               {"resourceToDelete", true}, {"cacheVersions", Value::object()}};
    stored["cachedFrames"].push_back(
        {{"versionToken", "old"}, {"status", 2}, {"frameToDelete", true},
         {"resources", Value::array({"/app/evil.js"})}});
  });
  launch();
  EXPECT_EQ(engine->getRunningVersionToken(), "v1");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the clean-up's queue
  EXPECT_EQ(cache_test::readFile(victim), "keep me");
  EXPECT_EQ(storedHash(), fileHash());
}

TEST_F(NativeCacheTest, AnOlderFormatIsUpgradedAndNotStampedBeforeTheUpgradeRan) {
  Value list;
  ASSERT_NO_FATAL_FAILURE(cacheV1("k", 2, list));
  rewriteManifest([&](Value& manifest, Value& application) {
    manifest.erase("nativeCacheVersion");
    application.erase("cachedFrames");
    // The older format kept mappings in the pool, under their own URL.
    application["cachedEntries"]["/app/index.js"] = application["cachedEntries"][list[0].get<std::string>()];
  });
  const std::string path = VLNativeCache::manifestFilePath();
  launch();  // its clean-up writes nothing yet
  EXPECT_TRUE(engine->cacheUpgrade());
  EXPECT_EQ(cache_test::readFile(path).find("2.0.0"), std::string::npos);
  engine->upgradeCacheIfNeeded();
  EXPECT_TRUE(!engine->cacheUpgrade() && engine->currentStatus() == VLCacheStatusIdle);
  EXPECT_NE(cache_test::readFile(path).find("<string>2.0.0</string>"), std::string::npos);
  launch();
  EXPECT_TRUE(!engine->cacheUpgrade() && engine->getRunningVersionToken() == "v1");
  auto entry =
      engine->applicationCache(VLNativeCache::keyForHostname(host(), "app"))->getCacheEntryForURL("/app/index.js");
  ASSERT_TRUE(entry);
  EXPECT_EQ(cache_test::readFile(localFile(*entry)), "k content 0");
}

TEST_F(NativeCacheTest, ACrashBetweenTheHashAndTheFileLosesNothingAndLeavesNoFiles) {
  Value list;
  ASSERT_NO_FATAL_FAILURE(cacheV1("l", 2, list));
  const std::string before = fileHash();
  // The "crash": every write stops once the new hash is stored, before the file is replaced.
  VLCacheLocations::setFileOperationHook([](std::string_view point) {
    if (point == "manifest-hash") throw VLException("Stopped", "stopped");
  });
  Value two = resources("m", 2);
  start(two, "v2");
  ASSERT_TRUE(waitForFinishes(2));
  VLCacheLocations::setFileOperationHook({});
  auto app = engine->applicationCache(*engine->currentApplication());
  std::string newFile = localFile(*app->getCacheFrameForVersion("v2")->getResourceForUrl(two[1].get<std::string>()));
  ASSERT_TRUE(platform::fs::exists(newFile));
  EXPECT_TRUE(fileHash() == before && storedHash() != before);

  launch();
  EXPECT_TRUE(engine->getRunningVersionToken() == "v1" && !platform::fs::exists(newFile));
  EXPECT_EQ(storedHash(), fileHash());
}

// Downloads write their bodies into the staging folder until their check moves them into
// place; what a shell stopped in the middle of a download left there goes at the next start,
// and the next downloads stage there again.
TEST_F(NativeCacheTest, BodiesAStoppedShellLeftInTheStagingFolderAreRemovedAtTheNextStart) {
  Value list;
  ASSERT_NO_FATAL_FAILURE(cacheV1("s", 2, list));
  const std::string staging = VLCacheLocations::stagingDirectory();
  ASSERT_TRUE(platform::fs::isDirectory(staging));
  EXPECT_TRUE(platform::fs::contentsOfDirectory(staging).empty());
  const std::string left = staging + "/0B4C1E2A-0000-4000-8000-000000000000.part";
  ASSERT_FALSE(platform::fs::writeFileAtomically(left, "half a body"));

  launch();
  EXPECT_FALSE(platform::fs::exists(left));
  EXPECT_EQ(engine->getRunningVersionToken(), "v1");
  Value two = resources("t", 2);
  start(two, "v2");
  ASSERT_TRUE(waitForFinishes(1));
  EXPECT_EQ(engine->getRunningVersionToken(), "v2");
  EXPECT_TRUE(platform::fs::contentsOfDirectory(staging).empty());
}

TEST_F(NativeCacheTest, CheckpointHealAndSwapWritersKeepTheFileAndHashTogether) {
  launch();
  engine->setCurrentApplication(host(), "app");
  Value list = resources("n", 40);
  start(list, "v1", Value{{"windowSize", 8}});
  auto key = VLNativeCache::keyForHostname(host(), "app");
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  std::vector<std::function<void(const std::shared_ptr<VLApplicationCache>&)>> jobs = {
      [&](const auto& app) { engine->createCheckPointForApplicationCache(app); },
      [&](const auto& app) {
        app->healingCacheEntry(list[0].get<std::string>());
        try { engine->writeCacheManifest(); } catch (const VLException&) {}
      },
      [&](const auto&) { engine->swapCache(), engine->getRunningVersionToken(), engine->currentStatus(); }};
  for (const auto& job : jobs)
    writers.emplace_back([&, job] {
      while (!stop)
        if (auto app = engine->applicationCache(key)) job(app);
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
  EXPECT_TRUE(VLNativeCache::sharedInstanceWithFirstRun(false, 3, 4) == made &&
              VLNativeCache::sharedInstance() == made);
  EXPECT_TRUE(made->firstRun());
  VLNativeCache::resetSharedInstance();
  platform::UserDefaults::resetForTesting();
}

TEST_F(NativeCacheTest, AnInterruptedDownloadIsGivenUpOnceANewerVersionIsConfirmed) {
  Value one;
  ASSERT_NO_FATAL_FAILURE(cacheV1("n", 1, one));
  // v2 is killed with two of its three files stored and checkpointed.
  CacheLog::shared().clear();
  auto gate = std::make_shared<Gate>();
  Value two = resources("o", 3, gate, 1);
  start(two, "v2");
  ASSERT_TRUE(gate->waitForWaiting(1));
  ASSERT_TRUE(testing_support::waitUntil(
      [&] { return CacheLog::shared().count("Checkpoint was created with success") >= 2; }, 10));
  auto app = engine->applicationCache(*engine->currentApplication());
  const std::string abandoned = localFile(*app->getCacheEntries().at(two[2].get<std::string>()));
  launch();
  gate->release();
  ASSERT_TRUE(platform::fs::exists(abandoned));

  start(resources("q", 2), "v3");
  ASSERT_TRUE(waitForFinishes(1));
  engine->switchToVersion(host(), "app", "v3");
  launch();
  ASSERT_TRUE(testing_support::waitUntil([&] { return !platform::fs::exists(abandoned); }, 5));
  app = engine->applicationCache(*engine->currentApplication());
  EXPECT_EQ(app->getCacheFrameForVersion("v2"), nullptr);
  EXPECT_EQ(app->cacheFrames().size(), 1u);
}

TEST_F(NativeCacheTest, AStartListingMoreEntriesThanAVersionMayHaveIsRejected) {
  launch();
  Value list = Value::array();
  for (size_t i = 0; i < VLCacheOptions::kMaximumManifestEntries; ++i) list.push_back("/app/r" + std::to_string(i));
  start(list, "v1");  // with its one mapping, one entry too many
  EXPECT_EQ(listener->events, (std::vector<std::string>{
                                  "error Caching operation was rejected: the version has 20001 entries, more than "
                                  "the 20000 allowed",
                                  "finish"}));
  EXPECT_FALSE(engine->ongoingCacheResources());
  EXPECT_EQ(server.requestCount("/app/r0"), 0u);
}
