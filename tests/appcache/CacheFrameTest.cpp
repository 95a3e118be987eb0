#include <condition_variable>
#include <future>

#include "CacheTestSupport.h"
#include "appcache/VLCacheLocations.h"
#include "appcache/VLDownloadOperation.h"
#include "platform/foundation/StableHash.h"
#include "platform/net/URLError.h"
#include "platform/net/URLProtocol.h"

using cache_test::CacheFixture;
using cache_test::CacheLog;
using cache_test::Gate;
using cache_test::hashed;
using platform::Value;

namespace {

// `count` resources whose answers wait at the gate.
Value heldResources(testing_support::HttpsTestServer& server, const std::shared_ptr<Gate>& gate, int count) {
  Value list = Value::array();
  for (int i = 0; i < count; ++i) {
    list.push_back("/app/held" + std::to_string(i));
    server.on("GET", list.back(), [gate](const auto&, auto& response) {
      gate->pass();
      response.set_content("x", "text/plain");
    });
  }
  return list;
}

// Answers every request the loader protocol would answer (no "handled" mark) with stale bytes.
struct StaleCacheProtocol : platform::URLProtocol {
  static constexpr const char* kClassName = "StaleCacheProtocol";
  using URLProtocol::URLProtocol;
  static bool canInitWithRequest(const platform::URLRequest& request) {
    return request.property(kVLHarborLoaderURLProtocolHandledKey).is_null();
  }
  void startLoading() override {
    client()->didReceiveResponse(*this, platform::URLResponse::http(request().url(), 200, {}),
                                 platform::URLCacheStoragePolicy::NotAllowed);
    client()->didLoadData(*this, "stale");
    client()->didFinishLoading(*this);
  }
  void stopLoading() override {}
};

}  // namespace

TEST_F(CacheFixture, PopulateSharesPoolEntriesAndBuildsMappings) {
  auto pooled = std::make_shared<VLCacheEntry>("/app/a.js?h", "k/1", false);
  pooled->addCacheVersion("v0");
  VLCacheResources::Entries pool{{"/app/a.js?h", pooled}};
  auto frame = makeFrame(makeSession(4));
  frame->populateCacheEntriesForResourcePool(
      pool, nullptr, {"/app/a.js?h", "/app/b.css?h", "/app/b.css?h", "//evil.example/x", "@evil.example/x", 5},
      {{"/app/m", "/app/a.js?h"}, {"/app/n", "/app/missing.js"}, {"/app/b.css?h", "/app/a.js?h"}},
      {{"/app/o", "/app/b.css?h"}, {"/app/p", "/app/gone"}});

  EXPECT_EQ(frame->getResourceForUrl("/app/a.js?h"), pooled);
  EXPECT_EQ(frame->initialResourcesCount(), 1);
  EXPECT_EQ(frame->totalResourcesCount(), 2);  // the duplicate and the refused ones left out
  EXPECT_EQ(CacheLog::shared().count("Refused resource"), 3u);
  auto b = frame->getResourceForUrl("/app/b.css?h");
  EXPECT_FALSE(b->resourceMapping());
  EXPECT_EQ(b->mimeType() + " " + b->encoding() + " " + b->fileName(),
            "text/css UTF-8 " + VLCacheLocations::keyForHostname(host(), "app") + "/" +
                platform::stableHashString("/app/b.css?h"));

  auto m = frame->getResourceForUrl("/app/m");
  EXPECT_TRUE(m->resourceMapping() && m->url() + " " + m->fileName() == "/app/a.js?h k/1");
  EXPECT_EQ(m->cacheVersions(), pooled->cacheVersions());  // one set, not a copy
  EXPECT_TRUE(frame->getResourceForUrl("/app/o")->noCache());
  EXPECT_EQ(CacheLog::shared().count("Manifest inconsistency: URL for mapping was not found"), 1u);
  EXPECT_EQ(CacheLog::shared().count("Manifest inconsistency: URL for mapping no cache was not found"), 1u);
  EXPECT_EQ(frame->getResourceForUrl("/app/n")->status(), VLCacheEntryStatusToFetch);

  auto stored = frame->jsonDictionary();
  EXPECT_EQ(Value({stored["resources"], stored["urlMappings"], stored["urlMappingsNoCache"]}), Value::parse(R"([
    ["/app/a.js?h", "/app/b.css?h"], {"/app/m": "/app/a.js?h", "/app/n": "/app/missing.js"},
    {"/app/o": "/app/b.css?h", "/app/p": "/app/gone"}])"));
  frame->setStatus(VLCacheFrameStatusIncomplete);
  frame->setFrameToDelete(true);
  auto restored = VLCacheResources::initWithDictionary(frame->jsonDictionary(), nullptr);
  EXPECT_EQ(restored->versionToken(), "v1");
  EXPECT_TRUE(restored->status() == VLCacheFrameStatusIncomplete && restored->frameToDelete());
  auto hostile = VLCacheResources::initWithDictionary({{"status", 12}, {"hostname", 3}}, nullptr);
  EXPECT_TRUE(hostile->status() == VLCacheFrameStatusCreated && hostile->hostname().empty());
}

TEST_F(CacheFixture, FrameDownloadsEveryResourceWithProgressAndVersionHeader) {
  Value list = Value::array();
  for (int i = 0; i < 20; ++i) {
    std::string content = "content of file " + std::to_string(i);
    list.push_back(hashed("/app/f" + std::to_string(i) + ".js", content));
    serve(list.back(), content);
  }
  list.push_back(list[0]);  // a duplicate must not keep the frame from completing
  auto frame = frameListing(list, makeSession(4));
  frame->setVersionTokenBeforeDownloading("v0");
  frame->startDownload();
  ASSERT_TRUE(waitFor([&] { return !finishes.empty(); }));

  EXPECT_EQ(finishes, std::vector<bool>{true});
  EXPECT_EQ(frame->status(), VLCacheFrameStatusComplete);
  EXPECT_TRUE(progress.size() == 20u && progress.back() == 20);
  for (const auto& [url, entry] : frame->cacheEntries()) {
    EXPECT_TRUE(entry->status() == VLCacheEntryStatusAvailable && entry->encoding() == "utf-8") << url;
    EXPECT_TRUE(entry->cacheVersions()->contains("v1"));
    EXPECT_EQ(VLFileChecksum::contentHashOfFile(localFile(*entry)), url.substr(url.find('?') + 1));
  }
  EXPECT_EQ(server.requestCount(), 20u);
  EXPECT_EQ(server.lastRequest("/app/f3.js")->header("x-version-tokens"),
            "b-download: v0 ,b-creation: n/a ,t-version: v1");
}

TEST_F(CacheFixture, WindowSizeBoundsTheDownloadsInFlight) {
  auto gate = std::make_shared<Gate>();
  Value list = heldResources(server, gate, 6);
  auto frame = frameListing(list, makeSession(2));
  EXPECT_EQ(frame->downloadQueue()->maxConcurrentOperationCount(), 4);
  frame->startDownload();
  ASSERT_TRUE(gate->waitForWaiting(2));
  gate->release();
  ASSERT_TRUE(waitFor([&] { return !finishes.empty(); }));
  EXPECT_EQ(server.peakConcurrentRequests(), 2);
  EXPECT_EQ(makeFrame(makeSession(1))->downloadQueue()->maxConcurrentOperationCount(), 1);
  EXPECT_EQ(makeFrame(makeSession(100000))->downloadQueue()->maxConcurrentOperationCount(),
            VLCacheResources::kMaximumConcurrentDownloads);
}

TEST_F(CacheFixture, RetryBudgetIsSharedAndAFileThatFailsValidationIsNeverLeft) {
  server.on("GET", "/app/broken.js", [](const auto&, auto& response) { response.status = 500; });
  serve("/app/tampered.js", "tampered");
  for (const std::string& url :
       std::vector<std::string>{"/app/broken.js", hashed("/app/tampered.js", "original")}) {
    finishes.clear();
    errors.clear();
    progress.clear();
    auto frame = frameListing(Value::array({url}), makeSession(4));
    frame->setMaxNumberOfRetries(3);
    frame->startDownload();
    // The abort is reported first, then the failed resource is counted.
    ASSERT_TRUE(waitFor([&] { return !finishes.empty() && !progress.empty(); }));
    EXPECT_EQ(server.requestCount(VLCacheEntry::pathOfURL(url)), 5u);  // budget + 2
    EXPECT_EQ(finishes, std::vector<bool>{false});
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Aborting resources download. Failed to download resource " + url, 0), 0u);
    auto entry = frame->getResourceForUrl(url);
    EXPECT_TRUE(entry->status() == VLCacheEntryStatusFailed && frame->status() == VLCacheFrameStatusIncomplete);
    EXPECT_FALSE(platform::fs::exists(localFile(*entry)));
    // Nor is any body written on the way (an error page, a tampered file) left beside it or
    // in the staging folder.
    const std::string folder = localFile(*entry).substr(0, localFile(*entry).rfind('/'));
    for (const std::string& place : {folder, VLCacheLocations::stagingDirectory()})
      EXPECT_TRUE(testing_support::waitUntil(
          [&] { return platform::fs::contentsOfDirectory(place).empty(); }, 5))
          << place;
  }
  EXPECT_TRUE(CacheLog::shared().contains("Failed to store downloaded resource"));
}

TEST_F(CacheFixture, DownloadOperationCancelledBeforeOrWhileRunning) {
  auto gate = std::make_shared<Gate>();
  const auto held = *platform::URL::parse(server.url(heldResources(server, gate, 1)[0].get<std::string>()));
  auto queue = platform::OperationQueue::make("q", 1);
  std::promise<long> running;
  auto first = VLDownloadOperation::initWithSession(
      makeSession(1), held, {}, [&](const auto&, const auto&, const std::optional<platform::Error>& error) {
        running.set_value(error ? error->code : 0);
      });
  std::atomic<bool> secondCalled{false};
  auto second = VLDownloadOperation::initWithSession(
      makeSession(1), held, {}, [&](const auto&, const auto&, const auto&) { secondCalled = true; });
  queue->addOperation(first);
  queue->addOperation(second);
  ASSERT_TRUE(gate->waitForWaiting(1));
  second->cancel();
  first->cancel();
  auto code = running.get_future();
  ASSERT_EQ(code.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(code.get(), platform::urlerror::kCancelled);
  gate->release();
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(first->state() == VLDownloadOperation::Finished && second->state() == VLDownloadOperation::Finished);
  EXPECT_FALSE(secondCalled || second->downloadTask());
}

TEST_F(CacheFixture, AbortStopsTheFrameAndARestartFetchesWhatIsLeft) {
  auto gate = std::make_shared<Gate>();
  Value list = heldResources(server, gate, 5);
  auto frame = frameListing(list, makeSession(2));
  frame->startDownload();
  ASSERT_TRUE(gate->waitForWaiting(2));
  frame->abortDownload("stop");
  frame->abortDownload("again");  // an ended frame ignores it
  EXPECT_EQ(errors, std::vector<std::string>{"Aborting resources download. stop"});
  EXPECT_EQ(finishes, std::vector<bool>{false});
  gate->release();
  // Running downloads are cancelled; those that never started stay in flight.
  ASSERT_TRUE(testing_support::waitUntil([&] { return frame->downloadQueue()->operationCount() == 0; }, 10));

  finishes.clear();
  frame->startDownload();
  ASSERT_TRUE(waitFor([&] { return !finishes.empty(); }));
  EXPECT_TRUE(finishes == std::vector<bool>{true} && frame->processedResourcesCount() == 5);
}

TEST_F(CacheFixture, PooledEntriesAreReusedUnlessTheirFileHasGone) {
  serve("/app/kept.js", "kept");
  serve("/app/lost.js", "lost");
  auto session = makeSession(4);
  Value list = {hashed("/app/kept.js", "kept"), hashed("/app/lost.js", "lost")};
  auto first = frameListing(list, session);
  first->startDownload();
  ASSERT_TRUE(waitFor([&] { return finishes.size() == 1; }));
  auto pool = first->cacheEntries();
  platform::fs::remove(localFile(*pool[hashed("/app/lost.js", "lost")]));

  auto second = frameListing(list, session, pool, "v2");
  EXPECT_EQ(second->initialResourcesCount(), 2);
  second->startDownload();
  ASSERT_TRUE(waitFor([&] { return finishes.size() == 2; }));
  EXPECT_TRUE(finishes[1]);
  EXPECT_TRUE(server.requestCount("/app/kept.js") == 1u && server.requestCount("/app/lost.js") == 2u);
  EXPECT_EQ(cache_test::readFile(localFile(*pool[hashed("/app/lost.js", "lost")])), "lost");
  EXPECT_EQ(pool[hashed("/app/kept.js", "kept")]->cacheVersions()->count(), 2u);
}

TEST_F(CacheFixture, PackageFilesAreCopiedAndAFailedCopyCountsAsFailed) {
  root.write("package/www/scripts/app.js", "packaged");
  auto bundleFrame = VLCacheResources::initForHostname(host(), "MyApp", "p", true, nullptr);
  bundleFrame->populateCacheEntriesForResourcePool(
      {}, nullptr, {"/MyApp/scripts/app.js?h", "/MyApp/scripts/gone.js?h"}, nullptr, nullptr);
  auto bundled = bundleFrame->cacheEntries();

  auto frame = makeFrame(makeSession(4));
  frame->populateCacheEntriesForResourcePool(
      {}, &bundled, {"/MyApp/scripts/app.js?h", "/MyApp/scripts/gone.js?h"}, nullptr, nullptr);
  auto copied = frame->getResourceForUrl("/MyApp/scripts/app.js?h");
  auto gone = frame->getResourceForUrl("/MyApp/scripts/gone.js?h");
  EXPECT_TRUE(copied->preBundled());
  frame->startDownload();
  ASSERT_TRUE(waitFor([&] { return !finishes.empty(); }));  // never hangs on the failed copy
  EXPECT_EQ(finishes, std::vector<bool>{false});
  EXPECT_TRUE(copied->status() == VLCacheEntryStatusAvailable && !copied->preBundled());
  EXPECT_EQ(cache_test::readFile(localFile(*copied)), "packaged");
  EXPECT_TRUE(gone->status() == VLCacheEntryStatusFailed && gone->preBundled());
  // Package file names replace the application's segment.
  EXPECT_EQ(gone->fileName(), "/www/scripts/gone.js");
  EXPECT_EQ(frame->getFileNameForURL("/index.html", true), "/index.html");
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(CacheFixture, CacheDownloadsBypassTheLoaderProtocolAndCarryNoInjectedHeader) {
  serve("/app/fresh.js", "fresh");
  auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.setProtocolClasses({platform::protocolClass<StaleCacheProtocol>()});
  auto session = platform::URLSession::sessionWithConfiguration(configuration);
  auto frame = frameListing(Value::array({hashed("/app/fresh.js", "fresh")}), session);
  frame->setVersionTokenBeforeDownloading("v0\r\nX-Injected: 1");  // from a page
  frame->startDownload();
  ASSERT_TRUE(waitFor([&] { return !finishes.empty(); }));
  EXPECT_EQ(finishes, std::vector<bool>{true});
  EXPECT_TRUE(server.requestCount("/app/fresh.js") == 1u &&
              !server.lastRequest("/app/fresh.js")->hasHeader("X-Injected"));
  EXPECT_TRUE(CacheLog::shared().contains("Refused request header \"x-version-tokens\""));
}

TEST_F(CacheFixture, URLsThatWouldChangeTheHostAreNeverFetched) {
  serve("/x", "x");
  std::string otherHost = "@localhost:" + std::to_string(server.port()) + "/x";
  auto frame = frameListing({otherHost, ".localhost/x", "//localhost/x"}, makeSession(4));
  EXPECT_EQ(CacheLog::shared().count("Refused resource"), 3u);
  frame->startDownload();  // nothing left to fetch: the frame ends instead of waiting for ever
  ASSERT_TRUE(waitFor([&] { return !finishes.empty(); }));
  EXPECT_EQ(finishes, std::vector<bool>{false});

  // An entry restored from a tampered pool is refused at download time too.
  auto tampered = std::make_shared<VLCacheEntry>(otherHost, "k/x", false);
  finishes.clear();
  auto second = frameListing(nullptr, makeSession(4), {{otherHost, tampered}});
  second->addResource(tampered, otherHost);
  second->downloadResourceAsync(tampered);
  EXPECT_TRUE(tampered->status() == VLCacheEntryStatusFailed && server.requestCount() == 0u);
}

TEST_F(CacheFixture, RetriesWaitLongerEachTimeAndAStoppedFrameDropsTheOnesWaiting) {
  clock->hold();
  auto failures = std::make_shared<std::atomic<int>>(3);
  server.on("GET", "/app/flaky.js", [failures](const auto&, auto& response) {
    if (failures->fetch_sub(1) > 0)
      response.status = 500;
    else
      response.set_content("flaky", "text/javascript");
  });
  const std::string url = hashed("/app/flaky.js", "flaky");
  auto frame = frameListing(Value::array({url}), makeSession(4));
  frame->setMaxNumberOfRetries(10);
  frame->startDownload();

  // Each failure waits for its retry: nothing is asked again before the clock gets there.
  const std::vector<double> expected{0.5, 1, 2};
  for (size_t retry = 0; retry < expected.size(); ++retry) {
    ASSERT_TRUE(testing_support::waitUntil([&] { return clock->pending() == 1; }, 10)) << retry;
    EXPECT_EQ(server.requestCount("/app/flaky.js"), retry + 1);
    clock->advance(expected[retry] - 0.01);
    EXPECT_EQ(clock->pending(), 1u);
    clock->advance(0.01);
  }
  ASSERT_TRUE(waitFor([&] { return finishes == std::vector<bool>{true}; }));
  EXPECT_EQ(clock->delays(), expected);
  EXPECT_EQ(server.requestCount("/app/flaky.js"), 4u);

  // The delay doubles up to its longest and stays there.
  EXPECT_EQ(VLCacheResources::retryDelay(6), 16);
  EXPECT_EQ(VLCacheResources::retryDelay(7), VLCacheResources::kLongestRetryDelaySeconds);
  EXPECT_EQ(VLCacheResources::retryDelay(1000000), VLCacheResources::kLongestRetryDelaySeconds);

  // A retry still waiting when the frame is cancelled is never made.
  server.on("GET", "/app/down.js", [](const auto&, auto& response) { response.status = 503; });
  auto stopped = frameListing(Value::array({std::string("/app/down.js")}), makeSession(4), {}, "v2");
  stopped->setMaxNumberOfRetries(10);
  stopped->startDownload();
  ASSERT_TRUE(testing_support::waitUntil([&] { return clock->pending() == 1; }, 10));
  stopped->cancelDownload();
  clock->advance(60);
  EXPECT_EQ(server.requestCount("/app/down.js"), 1u);
}
