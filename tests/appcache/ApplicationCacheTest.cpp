#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "CacheTestSupport.h"
#include "appcache/VLApplicationCache.h"
#include "platform/foundation/StableHash.h"

using cache_test::CacheFixture;
using platform::Value;

namespace {

class ApplicationCacheTest : public CacheFixture {
 protected:
  std::shared_ptr<VLApplicationCache> app = VLApplicationCache::initForHostname("example.com", "app", {}, "42");

  // A frame of `version` whose listed resources ("/app/rN" unless `list` names them) are at
  // `statuses`, sharing the entries of the pool of `in` (else `app`).
  std::shared_ptr<VLCacheResources> frame(const std::string& version, std::vector<std::int64_t> statuses,
                                          std::int64_t frameStatus = VLCacheFrameStatusComplete,
                                          std::shared_ptr<VLApplicationCache> in = nullptr, Value list = nullptr) {
    auto made = VLCacheResources::initForHostname("example.com", "app", version, false, {});
    if (list.is_null())
      for (size_t i = 0; i < statuses.size(); ++i) list.push_back("/app/r" + std::to_string(i));
    made->populateCacheEntriesForResourcePool((in ? in : app)->getCacheEntries(), nullptr, list, nullptr, nullptr);
    size_t i = 0;
    for (const auto& [key, entry] : made->cacheEntries()) {
      entry->addCacheVersion(version);
      entry->setStatus(statuses[i++]);
    }
    made->setStatus(frameStatus);
    return made;
  }
};

}  // namespace

TEST_F(ApplicationCacheTest, SwapMergesQualifyingEntriesAndSwapsOnlyCompleteFrames) {
  // A frame still downloading: its finished entries join the pool, it does not run.
  auto partial = frame("v1", {2, 1, 2}, VLCacheFrameStatusDownloading);
  EXPECT_FALSE(app->swapCache(partial));
  EXPECT_EQ(app->getCacheEntries().size(), 2u);
  EXPECT_EQ(app->getCurrentRunningFrame(), nullptr);

  // One entry without a MIME type spoils the swap but not the others' merge.
  auto untyped = frame("v2", {2, 2});
  untyped->getResourceForUrl("/app/r1")->setMimeType("");
  EXPECT_FALSE(app->swapCache(untyped));
  EXPECT_EQ(app->getCurrentRunningFrame(), nullptr);

  auto complete = frame("v3", {2, 2});
  EXPECT_TRUE(app->swapCache(complete));
  EXPECT_EQ(app->getCurrentRunningFrame(), complete);
  EXPECT_EQ(app->getPreviousFrame(), nullptr);

  auto next = frame("v4", {2});
  EXPECT_TRUE(app->swapCache(next));
  EXPECT_EQ(app->getPreviousFrame(), complete);
  app->rollbackToPreviousVersion();
  app->rollbackToPreviousVersion();  // nothing more to roll back to
  EXPECT_EQ(app->getCurrentCacheVersion(), "v3");

  auto package = VLCacheResources::initForHostname("example.com", "app", "p", true, {});
  EXPECT_TRUE(app->swapCache(package));
  EXPECT_EQ(app->getCurrentCacheVersion(), "v3");
}

TEST_F(ApplicationCacheTest, LookupOrderAndFramesByVersion) {
  auto first = frame("v1", {2});
  auto second = frame("v1", {2});
  app->addCacheFrame(first);
  app->addCacheFrame(second);
  EXPECT_EQ(app->getCacheFrameForVersion("v1"), first);
  EXPECT_EQ(app->getCacheFrameForVersion("v9"), nullptr);

  auto pooled = std::make_shared<VLCacheEntry>("/app/pool", "42/p", false);
  app->addCacheEntry(pooled, "/app/pool");
  auto package = VLCacheResources::initForHostname("example.com", "app", "p", true, {});
  auto packaged = std::make_shared<VLCacheEntry>("/app/pool", "/www/pool", true);
  package->addResource(packaged, "/app/pool");
  package->addResource(std::make_shared<VLCacheEntry>("/app/only", "/www/only", true), "/app/only");
  app->addPreBundleFrame(package);
  EXPECT_EQ(app->getCacheEntryForURL("/app/pool"), pooled);
  EXPECT_EQ(app->getCacheEntryForURL("/app/only")->fileName(), "/www/only");
  ASSERT_TRUE(app->swapCache(first));
  EXPECT_EQ(app->getCacheEntryForURL("/app/r0"), first->getResourceForUrl("/app/r0"));
}

TEST_F(ApplicationCacheTest, DeletionSparesSharedEntriesUnfinishedFramesAndTakenOverEntries) {
  auto old = frame("v1", {2, 2});
  app->addCacheFrame(old);
  ASSERT_TRUE(app->swapCache(old));
  auto running = frame("v2", {2, 2, 2});  // shares /app/r0 and /app/r1 with v1
  app->addCacheFrame(running);
  ASSERT_TRUE(app->swapCache(running));
  app->clearPreviousVersion();
  auto downloading = frame("v3", {2, 1}, VLCacheFrameStatusDownloading);
  app->addCacheFrame(downloading);
  auto waiting = frame("v4", {2}, VLCacheFrameStatusIncomplete);
  app->addCacheFrame(waiting);

  app->markForDeletion();
  EXPECT_TRUE(old->frameToDelete() && !downloading->frameToDelete() && !waiting->frameToDelete());
  auto shared = app->getCacheEntries().at("/app/r0");
  EXPECT_TRUE(!shared->resourceToDelete() && shared->cacheVersions()->contains("v2"));
  EXPECT_TRUE(app->gatherResourcesToDelete().empty());
  EXPECT_EQ(app->getCacheFrameForVersion("v1"), nullptr);
  EXPECT_EQ(app->cacheFrames().size(), 3u);

  // An entry only the old running frame used is marked; a newer frame taking it over before
  // the clean-up keeps its file.
  auto alone = VLApplicationCache::initForHostname("example.com", "app", {}, "42");
  for (const char* version : {"v1", "v2"}) {
    auto made = frame(version, {2}, VLCacheFrameStatusComplete, alone, Value::array({std::string("/app/") + version}));
    alone->addCacheFrame(made);
    ASSERT_TRUE(alone->swapCache(made));
  }
  auto entry = alone->getCacheEntries().at("/app/v1");
  alone->markForDeletion();
  EXPECT_TRUE(entry->resourceToDelete());
  auto v3 = VLCacheResources::initForHostname("example.com", "app", "v3", false, {});
  v3->populateCacheEntriesForResourcePool(alone->getCacheEntries(), nullptr, Value::array({"/app/v1"}), nullptr,
                                          nullptr);
  alone->addCacheFrame(v3);
  EXPECT_FALSE(entry->resourceToDelete());
  EXPECT_TRUE(alone->gatherResourcesToDelete().empty());
  EXPECT_EQ(alone->getCacheEntries().count("/app/v1"), 1u);
}

TEST_F(ApplicationCacheTest, PersistedFormRestoresPoolFramesAndRunningVersion) {
  auto v1 = frame("v1", {2, 2});
  app->addCacheFrame(v1);
  ASSERT_TRUE(app->swapCache(v1));
  auto v2 = frame("v2", {2, 0, 2}, VLCacheFrameStatusIncomplete);
  app->addCacheFrame(v2);
  app->swapCache(v2);
  Value stored = app->createCacheManifest();
  EXPECT_EQ(stored["cachedVersion"], "v1");
  EXPECT_FALSE(stored.contains("preBundleVersion"));

  auto restored = VLApplicationCache::initWithDictionary(stored, false, {});
  EXPECT_TRUE(restored->cacheApplicationKey() == "42" && restored->getCurrentCacheVersion() == "v1");
  ASSERT_EQ(restored->cacheFrames().size(), 2u);
  EXPECT_EQ(restored->getCacheFrameForVersion("v2")->status(), VLCacheFrameStatusIncomplete);
  EXPECT_EQ(restored->getCacheEntries().size(), 3u);
  // Frames share the pool's entry objects again.
  EXPECT_EQ(restored->getCacheFrameForVersion("v2")->getResourceForUrl("/app/r0"),
            restored->getCacheEntries().at("/app/r0"));
  EXPECT_EQ(restored->createCacheManifest(), stored);

  // Hostile shapes are skipped, never a crash.
  Value hostile = {{"applicationHostname", 7},
                   {"cachedEntries", {{"/a", "nope"}, {"", Value::object()}}},
                   {"cachedFrames", Value::array({3, Value::object()})}};
  auto odd = VLApplicationCache::initWithDictionary(hostile, false, {});
  EXPECT_TRUE(odd->hostname().empty() && odd->cacheFrames().size() == 1u);
}

TEST_F(ApplicationCacheTest, UntrustedFileNamesAreReplacedByTheApplicationsOwn) {
  int n = 0;
  for (std::string name : {"/etc/passwd", "../../victim", "43/other-app", "42/fine"}) {
    auto entry = std::make_shared<VLCacheEntry>("/app/" + std::to_string(n++), name, false);
    app->addCacheEntry(entry, entry->url());
  }
  EXPECT_EQ(app->dropUntrustedFileNames(), 3u);
  for (const auto& [key, entry] : app->getCacheEntries()) {
    EXPECT_EQ(entry->fileName().rfind("42/", 0), 0u) << entry->fileName();
    EXPECT_TRUE(platform::fs::isInside(localFile(*entry), VLCacheLocations::cacheDirectory()));
  }
}

TEST_F(ApplicationCacheTest, UpgradeCopiesPackageFilesAndRecordsAFailedCopy) {
  root.write("package/www/a.js", "a");
  root.write("package/www/b.js", "b");
  auto package = VLCacheResources::initForHostname("example.com", "app", "p", true, {});
  Value old = {{"applicationHostname", "example.com"}, {"applicationPath", "app"}, {"cachedApplication", "42"},
               {"cachedVersion", "v0"}};
  for (std::string name : {"a", "b", "c"}) {  // a and b in the package, c without a type or versions
    const std::string url = "/app/" + name + ".js", file = "/www/" + name + ".js";
    if (name != "c") package->addResource(std::make_shared<VLCacheEntry>(url, file, true), url);
    old["cachedEntries"][url] = {{"url", url}, {"fileName", file}, {"preBundled", true}, {"status", 2}};
    if (name != "c")
      old["cachedEntries"][url].update({{"mimeType", "text/javascript"}, {"cacheVersions", {{"v0", "v0"}}}});
  }
  auto upgraded = VLApplicationCache::initWithDictionary(old, true, {});
  auto running = upgraded->getCurrentRunningFrame();
  ASSERT_TRUE(running);
  EXPECT_EQ(running->status(), VLCacheFrameStatusUpgraded);
  for (const auto& [key, entry] : running->cacheEntries()) EXPECT_EQ(entry->status(), 0);
  upgraded->addPreBundleFrame(package);

  // b's place in the cache is taken by a folder with content, so its copy fails.
  auto bEntry = running->getResourceForUrl("/app/b.js");
  std::string bTarget = platform::fs::appendPath(
      VLCacheLocations::cacheDirectory(), VLCacheLocations::keyForHostname("example.com", "app") +
                                              "/" + platform::stableHashString("/app/b.js"));
  platform::fs::createDirectory(bTarget + "/in-the-way", true);

  upgraded->upgradeIfNeeded();
  auto a = running->getResourceForUrl("/app/a.js");
  EXPECT_TRUE(a->status() == VLCacheEntryStatusAvailable && !a->preBundled());
  EXPECT_EQ(cache_test::readFile(localFile(*a)), "a");
  EXPECT_TRUE(bEntry->status() == VLCacheEntryStatusFailed && !bEntry->preBundled());
  // c is not in the package: fetched when served.
  EXPECT_EQ(running->getResourceForUrl("/app/c.js")->status(), VLCacheEntryStatusFailed);
  EXPECT_EQ(running->status(), VLCacheFrameStatusComplete);
  EXPECT_TRUE(upgraded->getCacheEntries().count("/app/a.js") && !upgraded->getCacheEntries().count("/app/b.js"));
}

// The upgrade's copy of the package holds the package's own files: a link that stays inside
// it is copied as the file it leads to, one that leads out is refused.
TEST_F(ApplicationCacheTest, UpgradeCopiesFollowLinksInsideThePackageOnly) {
  std::string secret = root.write("other/secret.js", "SECRET");
  root.write("package/www/real.js", "inside");
  ASSERT_EQ(::symlink("real.js", root.file("package/www/in.js").c_str()), 0);
  ASSERT_EQ(::symlink(secret.c_str(), root.file("package/www/out.js").c_str()), 0);
  auto package = VLCacheResources::initForHostname("example.com", "app", "p", true, {});
  Value old = {{"applicationHostname", "example.com"}, {"applicationPath", "app"}, {"cachedApplication", "42"},
               {"cachedVersion", "v0"}};
  for (std::string name : {"in", "out"}) {
    const std::string url = "/app/" + name + ".js", file = "/www/" + name + ".js";
    package->addResource(std::make_shared<VLCacheEntry>(url, file, true), url);
    old["cachedEntries"][url] = {{"url", url}, {"fileName", file}, {"preBundled", true}, {"status", 2},
                                 {"mimeType", "text/javascript"}, {"cacheVersions", {{"v0", "v0"}}}};
  }
  auto upgraded = VLApplicationCache::initWithDictionary(old, true, {});
  auto running = upgraded->getCurrentRunningFrame();
  ASSERT_TRUE(running);
  upgraded->addPreBundleFrame(package);
  upgraded->upgradeIfNeeded();

  auto in = running->getResourceForUrl("/app/in.js");
  EXPECT_EQ(in->status(), VLCacheEntryStatusAvailable);
  struct stat info;
  ASSERT_EQ(::lstat(localFile(*in).c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(cache_test::readFile(localFile(*in)), "inside");
  auto out = running->getResourceForUrl("/app/out.js");
  EXPECT_TRUE(out->status() == VLCacheEntryStatusFailed && !out->preBundled());
  EXPECT_FALSE(platform::fs::exists(localFile(*out)));
  EXPECT_TRUE(cache_test::CacheLog::shared().contains("/app/out.js from prebundle with error: it leads out of the application package"));
}

TEST_F(ApplicationCacheTest, OnlyTheOngoingFrameIsSparedAsDownloadingAndARestoredOneWasInterrupted) {
  // v1 was downloading when the shell was killed; v2 came after it and runs.
  auto interrupted = frame("v1", {2, 0, 0}, VLCacheFrameStatusDownloading);
  app->addCacheFrame(interrupted);
  app->swapCache(interrupted);  // its finished entry was checkpointed into the pool
  auto running = frame("v2", {2});
  app->addCacheFrame(running);
  ASSERT_TRUE(app->swapCache(running) && app->getCurrentCacheVersion() == "v2");
  app->clearPreviousVersion();
  auto ownEntry = interrupted->getResourceForUrl("/app/r1");

  // Restored, it no longer claims to download.
  auto restored = VLApplicationCache::initWithDictionary(app->createCacheManifest(), false, {});
  EXPECT_EQ(restored->getCacheFrameForVersion("v1")->status(), VLCacheFrameStatusIncomplete);

  // While it is the ongoing download it keeps its files.
  app->markForDeletion(interrupted);
  EXPECT_FALSE(interrupted->frameToDelete());

  // Not ongoing: given up like any frame older than the running one; its own files go.
  app->markForDeletion();
  EXPECT_TRUE(interrupted->frameToDelete() && ownEntry->resourceToDelete());
  auto gathered = app->gatherResourcesToDelete();
  EXPECT_EQ(std::count(gathered.begin(), gathered.end(), ownEntry), 1);
  EXPECT_EQ(app->getCacheFrameForVersion("v1"), nullptr);

  restored->markForDeletion();
  EXPECT_TRUE(restored->getCacheFrameForVersion("v1")->frameToDelete());
}
