#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include "CacheTestSupport.h"
#include "appcache/VLCustomSchemeHandler.h"
#include "appcache/VLHarborLoaderURLProtocol.h"
#include "appcache/VLManifestParser.h"
#include "appcache/VLNativeCache.h"
#include "appcache/VLPreBundle.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/webkit/HeadlessWebView.h"
#include "platform/net/NetworkMonitor.h"
#include "support/SessionTasks.h"

using cache_test::CacheFixture;
using cache_test::CacheLog;
using cache_test::Gate;
using cache_test::hashed;
using platform::Value;
using testing_support::urlOf;

namespace {

void expectAnswer(const std::optional<VLWebResponse>& answer, int status, const std::string& body) {
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->response().statusCode(), status);
  EXPECT_EQ(answer->data(), body);
}

// An engine with version v1 of "app" cached from the test server: /app/a0.js ... /app/a2.js,
// each named with its content hash. The server's answers can be switched to a failure.
class ServingTest : public CacheFixture {
 protected:
  void SetUp() override {
    platform::UserDefaults::resetForTesting();
    online(true);
    engine = VLNativeCache::sharedInstanceWithFirstRun(true, 0, 0);
    engine->setDelegate(listener);
    Value list = Value::array();
    for (int i = 0; i < 3; ++i) {
      const std::string path = "/app/a" + std::to_string(i) + ".js";
      const std::string content = "content " + std::to_string(i);
      urls.push_back(hashed(path, content));
      list.push_back(urls.back());
      server.on("GET", path, [content, state = state](const auto&, auto& response) {
        state->gate()->pass();
        if (state->failing)
          response.status = 500;
        else
          response.set_content(content, "text/javascript");
      });
    }
    engine->startCaching(host(), "app", "v1", list, Value{{"/app/index.js", urls[0]}}, nullptr, nullptr);
    ASSERT_TRUE(testing_support::waitUntil([&] { return listener->count("finish") >= 1; }, 15));
    ASSERT_EQ(engine->getRunningVersionToken(), "v1");
    app = engine->applicationCache(*engine->currentApplication());
  }
  ~ServingTest() override {
    state->gate()->release();
    VLNativeCache::resetSharedInstance();
    platform::NetworkMonitor::shared().setSimulatedState(std::nullopt);
    platform::UserDefaults::resetForTesting();
  }

  static void online(bool available) {
    platform::NetworkState state;
    state.networkAvailable = available;
    state.connectivity = available ? platform::NetworkConnectivity::Full : platform::NetworkConnectivity::Local;
    state.interfaceKind = platform::NetworkInterfaceKind::Wired;
    platform::NetworkMonitor::shared().setSimulatedState(state);
  }

  std::string at(const std::string& url) { return server.url(url); }
  std::shared_ptr<VLCacheEntry> entry(int i) { return app->getCacheEntryForURL(urls[i]); }
  // Adds a package frame that knows `packaged` under its URL.
  void addPackaged(const std::shared_ptr<VLCacheEntry>& packaged) {
    auto package = VLCacheResources::initForHostname(host(), "app", "p", true, {});
    package->addResource(packaged, packaged->url());
    app->addPreBundleFrame(package);
  }
  static std::string storedHash() {
    return platform::UserDefaults::standard().string(VLNativeCache::kFileHashKey).value_or("");
  }

  // Starts a request; the future holds what the handler got.
  std::future<std::optional<VLWebResponse>> ask(platform::URLRequest request) {
    auto promise = std::make_shared<std::promise<std::optional<VLWebResponse>>>();
    auto future = promise->get_future();
    engine->getResourceFromCache(
        request, [promise](std::optional<VLWebResponse> answer) { promise->set_value(answer); });
    return future;
  }
  std::optional<VLWebResponse> get(const platform::URLRequest& request) {
    auto future = ask(request);
    EXPECT_EQ(future.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    return future.get();
  }
  std::optional<VLWebResponse> get(const std::string& url) {
    return get(platform::URLRequest(urlOf(at(url))));
  }

  // What the server's handlers read; they run on the server's threads.
  struct State {
    std::mutex mutex;
    std::shared_ptr<Gate> held = [] {
      auto gate = std::make_shared<Gate>();
      gate->release();
      return gate;
    }();
    std::atomic<bool> failing{false};
    std::shared_ptr<Gate> gate() {
      std::lock_guard lock(mutex);
      return held;
    }
    std::shared_ptr<Gate> hold() {
      std::lock_guard lock(mutex);
      held = std::make_shared<Gate>();
      return held;
    }
  };
  std::shared_ptr<State> state = std::make_shared<State>();
  std::shared_ptr<cache_test::Listener> listener = std::make_shared<cache_test::Listener>();
  std::shared_ptr<VLNativeCache> engine;
  std::shared_ptr<VLApplicationCache> app;
  std::vector<std::string> urls;
};

TEST_F(ServingTest, KeysFollowTheQueryAndTrailingSlashRulesAndRefuseTraversal) {
  auto key = [](const char* url) { return VLNativeCache::resourceKeyForURL(urlOf(url)); };
  // A query of name=value pairs is left out; any other stays, as does a trailing slash.
  for (auto [url, expected] : std::vector<std::pair<const char*, const char*>>{
           {"https://h/index.html?x=1&y=2", "/index.html"}, {"https://h/index.html?x", "/index.html?x"},
           {"https://h/index.html?=x", "/index.html?=x"}, {"https://h/app/", "/app/"}})
    EXPECT_EQ(key(url), expected) << url;
  for (const char* hostile : {"https://h/app/%2e%2e/x", "https://h/app/..%2Fx", "https://h/app/%5cx",
                              "https://h/app/%252E%252E/x", "https://h/app/%ff"})
    EXPECT_EQ(key(hostile), std::nullopt) << hostile;

  // A slashed URL is served under the key it was intercepted with.
  auto slashed = std::make_shared<VLCacheEntry>("/app/", entry(0)->fileName(), false);
  slashed->setMimeType("text/html");
  app->addCacheEntry(slashed, "/app/");
  EXPECT_TRUE(engine->interceptRequest(urlOf(at("/app/"))));
  EXPECT_FALSE(engine->interceptRequest(urlOf(at("/app"))));
  expectAnswer(get("/app/"), 200, "content 0");
}

TEST_F(ServingTest, AMissingFileHealsFromThePackageElseTheNetworkElseIs404) {
  addPackaged(std::make_shared<VLCacheEntry>(urls[0], "/www/a0.js", true));
  root.write("package/www/a0.js", "content 0");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(platform::fs::remove(localFile(*entry(i))) == std::nullopt);
  // A folder where a cached file should be counts as missing, never as content.
  ASSERT_TRUE(platform::fs::createDirectory(localFile(*entry(2)), true) == std::nullopt);

  auto fromPackage = get(urls[0]);
  expectAnswer(fromPackage, 200, "content 0");
  EXPECT_EQ(fromPackage->response().allHeaderFields(), (platform::HTTPHeaders{{"Content-Type", "text/javascript"}}));
  EXPECT_TRUE(server.requestCount("/app/a0.js") == 1u && !entry(0)->preBundled());
  EXPECT_TRUE(CacheLog::shared().contains("from prebundle: SUCCEDED"));

  expectAnswer(get(urls[1]), 200, "content 1");
  EXPECT_EQ(server.requestCount("/app/a1.js"), 2u);
  EXPECT_EQ(server.lastRequest("/app/a1.js")->header("x-version-tokens"),
            "b-download: n/a ,b-creation: n/a ,t-version: v1");
  EXPECT_TRUE(CacheLog::shared().contains("from web: SUCCEEDED"));

  state->failing = true;
  expectAnswer(get(urls[2]), 404, "");
  EXPECT_TRUE(CacheLog::shared().contains("Trying to retrieve the latest version of the resource"));
}

// The package is healed from only where its links stay inside it; a cached file is never a
// link, whoever put one there.
TEST_F(ServingTest, AHealNeverCopiesALinkOutOfThePackageNorServesALinkInTheCache) {
  std::string secret = root.write("other/secret.js", "SECRET");
  root.write("package/www/real-a1.js", "content 1");
  ASSERT_EQ(::symlink(secret.c_str(), root.file("package/www/a0.js").c_str()), 0);
  ASSERT_EQ(::symlink("real-a1.js", root.file("package/www/a1.js").c_str()), 0);
  auto package = VLCacheResources::initForHostname(host(), "app", "p", true, {});
  for (int i = 0; i < 2; ++i)
    package->addResource(std::make_shared<VLCacheEntry>(urls[i], "/www/a" + std::to_string(i) + ".js", true), urls[i]);
  app->addPreBundleFrame(package);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(platform::fs::remove(localFile(*entry(i))) == std::nullopt);
  ASSERT_EQ(::symlink(secret.c_str(), localFile(*entry(2)).c_str()), 0);
  state->failing = true;

  expectAnswer(get(urls[0]), 404, "");
  EXPECT_TRUE(CacheLog::shared().contains("Could not copy resource " + urls[0] +
                                          " from prebundle with error: it leads out of the application package"));
  EXPECT_FALSE(platform::fs::exists(localFile(*entry(0))));
  expectAnswer(get(urls[1]), 200, "content 1");
  struct stat info;
  ASSERT_EQ(::lstat(localFile(*entry(1)).c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  // The planted link reads as missing and goes to the server, which fails here.
  expectAnswer(get(urls[2]), 404, "");
}

TEST_F(ServingTest, APackageEntryIsDownloadedIntoTheCacheFolderNeverIntoThePackage) {
  // The package frame alone knows this URL, and its file is missing from the package.
  const std::string url = hashed("/app/p.js", "packaged");
  server.on("GET", "/app/p.js", [](const auto&, auto& response) {
    response.set_content("packaged", "text/javascript");
  });
  auto packaged = std::make_shared<VLCacheEntry>(url, "/www/p.js", true);
  packaged->setMimeType("text/javascript");
  addPackaged(packaged);

  platform::URLRequest request(urlOf(at(url)));
  request.setValue("mine", "x-version-tokens");
  expectAnswer(get(request), 200, "packaged");
  EXPECT_FALSE(platform::fs::exists(root.file("package/www/p.js")) || packaged->preBundled());
  EXPECT_TRUE(platform::fs::isInside(localFile(*packaged), VLCacheLocations::cacheDirectory()));
  // Added to the caller's value; the version part of the running frame.
  EXPECT_EQ(server.lastRequest("/app/p.js")->header("x-version-tokens"),
            "mine,b-download: n/a ,b-creation: n/a ,t-version: v1");
}

TEST_F(ServingTest, TwoRequestsHealingOneEntryShareOneDownload) {
  ASSERT_TRUE(platform::fs::remove(localFile(*entry(1))) == std::nullopt);
  auto gate = state->hold();
  auto first = ask(platform::URLRequest(urlOf(at(urls[1]))));
  ASSERT_TRUE(gate->waitForWaiting(1));
  auto second = ask(platform::URLRequest(urlOf(at(urls[1]))));
  gate->release();
  for (auto* future : {&first, &second}) {
    ASSERT_EQ(future->wait_for(std::chrono::seconds(15)), std::future_status::ready);
    expectAnswer(future->get(), 200, "content 1");
  }
  EXPECT_EQ(server.requestCount("/app/a1.js"), 2u);  // the version's download and one heal
}

TEST_F(ServingTest, NoCacheResourcesPassTheServersAnswerOnlineAndTheStoredFileOffline) {
  auto live = std::make_shared<VLCacheEntry>("/app/live.json", entry(0)->fileName(), false);
  live->setNoCache(true);
  live->setMimeType("application/json");
  app->addCacheEntry(live, "/app/live.json");
  auto status = std::make_shared<std::atomic<int>>(200);
  server.on("GET", "/app/live.json", [status](const auto&, auto& response) {
    response.status = *status;
    if (*status == 0) {  // the connection breaks before an answer
      response.status = 200;
      response.set_content_provider(
          100, "text/plain", [](size_t, size_t, httplib::DataSink&) { return false; });
      return;
    }
    response.set_content(*status == 200 ? "fresh" : "down", "text/plain");
  });

  expectAnswer(get("/app/live.json"), 200, "fresh");
  EXPECT_EQ(cache_test::readFile(localFile(*live)), "content 0");  // not stored

  *status = 503;
  auto down = get("/app/live.json");
  expectAnswer(down, 503, "down");
  EXPECT_FALSE(down->response().valueForHTTPHeaderField("Content-Encoding"));

  online(false);
  expectAnswer(get("/app/live.json"), 200, "content 0");
  EXPECT_EQ(server.requestCount("/app/live.json"), 2u);

  // Online but the server's answer breaks off: the stored file.
  online(true);
  *status = 0;
  expectAnswer(get("/app/live.json"), 200, "content 0");
}

TEST_F(ServingTest, AHealedMimeTypeIsPersistedAndAFailedWriteStaysInsideTheServingThread) {
  // Stored without a type, so the derived one changes the persisted model.
  entry(0)->setMimeType("");
  entry(1)->setMimeType("");
  engine->writeCacheManifest();
  const std::string before = storedHash();
  ASSERT_FALSE(before.empty());
  auto answer = get(urls[0]);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->response().valueForHTTPHeaderField("Content-Type"),
            VLMimeTypesHelper::sharedInstance()->getMimeTypeForExtension("js"));
  EXPECT_TRUE(storedHash() != before &&
              VLFileChecksum::contentHashOfFile(VLNativeCache::manifestFilePath()) == storedHash());

  // The manifest's place is taken by a folder: the write fails, the request is answered.
  const std::string manifest = VLNativeCache::manifestFilePath();
  ASSERT_TRUE(platform::fs::remove(manifest) == std::nullopt);
  root.write("data/" + manifest.substr(root.dataRoot().size() + 1) + "/blocker", "x");
  expectAnswer(get(urls[1]), 200, "content 1");
  EXPECT_TRUE(CacheLog::shared().contains("Failed to serialize cache after healing"));
}

TEST_F(ServingTest, TheLoaderAnswersFromTheCacheAndAHeldRequestDoesNotHoldTheSession) {
  auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.setProtocolClasses({platform::protocolClass<VLHarborLoaderURLProtocol>()});
  auto session = platform::URLSession::sessionWithConfiguration(configuration);

  EXPECT_TRUE(testing_support::fetch(*session, at(urls[0])).data == "content 0" &&
              server.requestCount("/app/a0.js") == 1u);

  // A heal held at the server leaves the session free for the next request.
  ASSERT_TRUE(platform::fs::remove(localFile(*entry(1))) == std::nullopt);
  auto gate = state->hold();
  auto held = std::async(std::launch::async, [&] {
    return testing_support::fetch(*session, at(urls[1])).data;
  });
  ASSERT_TRUE(gate->waitForWaiting(1));
  EXPECT_EQ(testing_support::fetch(*session, at(urls[2])).data, "content 2");
  EXPECT_EQ(held.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  gate->release();
  EXPECT_EQ(held.get(), "content 1");
}

}  // namespace

namespace {

// The loader under another class object: a session hands it the requests the loader takes,
// but the scheme handler does not know it as the loader, so they go through the session.
class LoaderThroughTheSession : public VLHarborLoaderURLProtocol {
 public:
  static constexpr const char* kClassName = "LoaderThroughTheSession";
  using VLHarborLoaderURLProtocol::VLHarborLoaderURLProtocol;
};

// A "veltro" handler whose sessions ask only `protocolClass`, in a headless web view.
struct SchemeView {
  SchemeView(const std::string& host, const platform::URLProtocolClassRef& protocolClass) {
    auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.setProtocolClasses({protocolClass});
    handler->setDownloadSession(platform::URLSession::sessionWithConfiguration(configuration));
    handler->setAnonymousSession(platform::URLSession::sessionWithConfiguration(configuration));
    handler->setDefaultHostname(host);
    platform::webkit::WebViewConfiguration webConfiguration;
    webConfiguration.setURLSchemeHandler(handler, VLCustomSchemeHandler::kScheme);
    web = std::make_shared<platform::webkit::HeadlessWebView>(webConfiguration);
  }
  std::shared_ptr<platform::webkit::HeadlessWebView::RecordedTask> serve(const platform::URLRequest& request) {
    auto task = web->startSchemeTask(request);
    platform::MainLoop::runUntil([&] { return task->finished || task->error.has_value(); }, 15);
    return task;
  }
  std::shared_ptr<VLCustomSchemeHandler> handler = std::make_shared<VLCustomSchemeHandler>();
  std::shared_ptr<platform::webkit::HeadlessWebView> web;
};

// While it lives, every read that must not wait answers that it would: each request the
// loader owns goes to a serving thread.
struct ReadsWait {
  ReadsWait() { platform::fs::setReadsIfCachedWaitForTesting(true); }
  ~ReadsWait() { platform::fs::setReadsIfCachedWaitForTesting(false); }
  ReadsWait(const ReadsWait&) = delete;
  ReadsWait& operator=(const ReadsWait&) = delete;
};

}  // namespace

TEST_F(ServingTest, AResourceTheLoaderOwnsReachesTheWebViewAsItDidThroughTheSession) {
  SchemeView direct(host(), platform::protocolClass<VLHarborLoaderURLProtocol>());
  SchemeView throughSession(host(), platform::protocolClass<LoaderThroughTheSession>());
  auto request = [&](int i, const std::string& method, const std::string& range) {
    platform::URLRequest made(urlOf(at(urls[i])).withScheme("veltro"));
    made.setHTTPMethod(method);
    if (!range.empty()) made.setValue(range, "Range");
    return made;
  };
  struct Case {
    int file;
    const char* method;
    const char* range;
    int status;
  };
  // Whole files, a part, a part past the end, a HEAD, and a file healed from the network on
  // another thread while the loader answers.
  for (const Case& c : {Case{0, "GET", "", 200}, Case{1, "GET", "bytes=2-4", 206}, Case{1, "GET", "bytes=90-", 416},
                        Case{2, "HEAD", "", 200}, Case{2, "GET", "", 200}}) {
    SCOPED_TRACE(std::to_string(c.file) + " " + c.method + " " + c.range);
    const bool heal = c.file == 2 && std::string(c.method) == "GET";
    if (heal) {
      ASSERT_TRUE(platform::fs::remove(localFile(*entry(2))) == std::nullopt);
    }
    auto mine = direct.serve(request(c.file, c.method, c.range));
    if (heal) {
      ASSERT_TRUE(platform::fs::remove(localFile(*entry(2))) == std::nullopt);
    }
    auto theirs = throughSession.serve(request(c.file, c.method, c.range));
    ASSERT_TRUE(mine->finished && mine->response && !mine->error);
    ASSERT_TRUE(theirs->finished && theirs->response && !theirs->error);
    EXPECT_EQ(mine->response->statusCode(), c.status);
    EXPECT_EQ(mine->response->statusCode(), theirs->response->statusCode());
    EXPECT_EQ(mine->response->url().absoluteString(), theirs->response->url().absoluteString());
    EXPECT_EQ(mine->response->allHeaderFields(), theirs->response->allHeaderFields());
    EXPECT_EQ(mine->data, theirs->data);
  }
  EXPECT_EQ(direct.handler->runningCount(), 0u);
  EXPECT_EQ(server.requestCount("/app/a2.js"), 3u);  // the fill and the two heals
}

TEST_F(ServingTest, AStoppedTaskTheLoaderHoldsIsNeverAnswered) {
  SchemeView direct(host(), platform::protocolClass<VLHarborLoaderURLProtocol>());
  ASSERT_TRUE(platform::fs::remove(localFile(*entry(1))) == std::nullopt);
  auto gate = state->hold();
  auto task = direct.web->startSchemeTask(platform::URLRequest(urlOf(at(urls[1])).withScheme("veltro")));
  ASSERT_TRUE(gate->waitForWaiting(1));
  direct.web->stopSchemeTask(task);
  EXPECT_EQ(direct.handler->runningCount(), 0u);
  gate->release();
  // The heal ends and its answer comes back to the main thread, where it is dropped.
  ASSERT_TRUE(testing_support::waitUntil([&] { return platform::fs::exists(localFile(*entry(1))); }, 15));
  platform::MainLoop::runFor(0.2);
  EXPECT_TRUE(task->answeredAfterStop == 0 && !task->finished && !task->error);
  // The next request of the same file is answered from the healed copy.
  auto again = direct.serve(platform::URLRequest(urlOf(at(urls[1])).withScheme("veltro")));
  EXPECT_TRUE(again->finished && again->data == "content 1");
}

TEST_F(ServingTest, TwoApplicationsWithTheSamePathsAreEachAnsweredOnlyFromTheirOwnCache) {
  // Another application with the same paths on another port, cached by this page.
  testing_support::HttpsTestServer other;
  other.on("GET", "/app/a0.js", [](const auto&, auto& response) { response.set_content("other 0", "text/javascript"); });
  const std::string otherHost = "127.0.0.1:" + std::to_string(other.port());
  const std::string otherURL = hashed("/app/a0.js", "other 0");
  engine->startCaching(otherHost, "app", "w1", Value::array({otherURL}), Value{{"/app/index.js", otherURL}}, nullptr,
                       nullptr);
  ASSERT_TRUE(testing_support::waitUntil([&] { return listener->count("finish") >= 2; }, 15));
  auto otherApp = engine->applicationCache(VLNativeCache::keyForHostname(otherHost, "app"));
  ASSERT_TRUE(otherApp && otherApp->getCurrentCacheVersion() == "w1");

  // This application stays current and its page gets its own files.
  EXPECT_EQ(engine->currentApplication(), VLNativeCache::keyForHostname(host(), "app"));
  EXPECT_EQ(engine->getRunningVersionToken(), "v1");
  expectAnswer(get("/app/index.js"), 200, "content 0");

  // The same path on another host or port is that host's: not taken, not answered.
  const std::string port = std::to_string(server.port());
  for (const std::string& url : std::vector<std::string>{"https://127.0.0.1:" + std::to_string(other.port()) + "/app/index.js",
                                 "https://localhost:" + port + "/app/index.js", "https://127.0.0.1/app/index.js",
                                 "https://127.0.0.1:" + port + "@evil.example/app/index.js"}) {
    EXPECT_FALSE(engine->interceptRequest(urlOf(url))) << url;
    EXPECT_FALSE(get(platform::URLRequest(urlOf(url)))) << url;
  }
  EXPECT_TRUE(engine->interceptRequest(urlOf("https://127.0.0.1:" + port + "/app/index.js")));
  EXPECT_TRUE(engine->interceptRequest(urlOf("HTTPS://127.0.0.1:" + port + "/app/index.js")));
}

TEST_F(ServingTest, AFileThePackageSharesWithTheDownloadedVersionHealsFromThePackageOffline) {
  // The package ships a0 with the bytes v1 downloaded; it lists a1 but lacks its file.
  root.write("package/www/a0.js", "content 0");
  Value versions = Value::object();
  for (int i = 0; i < 2; ++i) versions[urls[i].substr(0, urls[i].find('?'))] = urls[i].substr(urls[i].find('?'));
  root.write("package/www/manifest.json",
             Value{{"manifest", {{"versionToken", "p1"}, {"urlVersions", versions},
                                 {"urlMappings", {{"/app/index.js", "/app/a0.js"}}}}}}
                 .dump());
  VLPreBundle(engine, VLManifestParser::sharedInstance(), host(), "app").bootstrapCacheWithPreBundle();
  // The bootstrap took the pooled entry into the package frame.
  auto package = app->getPreBundleFrame();
  ASSERT_TRUE(package);
  ASSERT_EQ(package->getResourceForUrl(urls[0]), entry(0));
  ASSERT_FALSE(entry(0)->preBundled());

  for (int i = 0; i < 2; ++i) ASSERT_TRUE(platform::fs::remove(localFile(*entry(i))) == std::nullopt);
  state->failing = true;
  online(false);
  expectAnswer(get(urls[0]), 200, "content 0");
  EXPECT_TRUE(CacheLog::shared().contains("Healing resource " + urls[0] + " from prebundle: SUCCEDED"));
  EXPECT_EQ(entry(0)->status(), VLCacheEntryStatusAvailable);
  EXPECT_EQ(cache_test::readFile(root.file("package/www/a0.js")), "content 0");  // the package is only read
  // Listed but not shipped: the network is tried next, and it is down.
  expectAnswer(get(urls[1]), 404, "");
  EXPECT_TRUE(CacheLog::shared().contains("Healing resource " + urls[1] + " from prebundle: FAILED"));
}

TEST_F(ServingTest, APageKeepsItsVersionAfterASwapUntilItsNextDocument) {
  engine->pageWillLoad();
  const std::string url = hashed("/app/v2.js", "version 2");
  serve(url, "version 2");
  engine->startCaching(host(), "app", "v2", Value::array({url}), Value{{"/app/index.js", url}}, nullptr, nullptr);
  ASSERT_TRUE(testing_support::waitUntil([&] { return listener->count("finish") >= 2; }, 15));
  ASSERT_EQ(engine->getRunningVersionToken(), "v2");

  // The page loaded from v1 goes on getting v1's files, however often v2 is swapped in.
  expectAnswer(get("/app/index.js"), 200, "content 0");
  EXPECT_TRUE(engine->interceptRequest(urlOf(at(urls[1]))));
  EXPECT_EQ(app->getPageVersion(), app->getCacheFrameForVersion("v1"));

  // A navigation to the next document that has started but not committed: that document is
  // v2's already, every other file still v1's; one that never commits leaves it so.
  engine->documentWillLoad(urlOf(at("/app/index.js")).withScheme("veltro"));
  expectAnswer(get("/app/index.js"), 200, "version 2");
  EXPECT_EQ(app->getPageVersion(), app->getCacheFrameForVersion("v1"));
  engine->documentWillLoad(urlOf(at("/app/other.html")).withScheme("veltro"));
  expectAnswer(get("/app/index.js"), 200, "content 0");
  // Another application's host names no document of this one.
  engine->documentWillLoad(platform::URL::parse("veltro://other.test/app/index.js").value());
  expectAnswer(get("/app/index.js"), 200, "content 0");
  engine->documentWillLoad(urlOf(at("/app/index.js")).withScheme("veltro"));

  // Its next document gets v2, and so does everything that document asks for.
  engine->pageWillLoad();
  expectAnswer(get("/app/index.js"), 200, "version 2");
}

// The answers of the loader's own path, as they have always been: the status, every header
// field in its order, the URL asked for and the file's bytes; a part with its range; a HEAD
// with the length and no body.
TEST_F(ServingTest, ACachedResourceIsAnsweredWithTheRecordedStatusHeadersAndBytes) {
  SchemeView direct(host(), platform::protocolClass<VLHarborLoaderURLProtocol>());
  const platform::URL url = urlOf(at(urls[0])).withScheme("veltro");
  auto ask = [&](const std::string& method, const std::string& range) {
    platform::URLRequest request(url);
    request.setHTTPMethod(method);
    if (!range.empty()) request.setValue(range, "Range");
    return direct.serve(request);
  };
  const platform::HTTPHeaders whole = {{"Content-Type", "text/javascript"},
                                       {"Accept-Ranges", "bytes"},
                                       {"Content-Length", "9"},
                                       {"Cross-Origin-Resource-Policy", "same-origin"},
                                       {"X-Content-Type-Options", "nosniff"}};
  auto get = ask("GET", "");
  ASSERT_TRUE(get->finished && get->response && !get->error);
  EXPECT_EQ(get->response->statusCode(), 200);
  EXPECT_EQ(get->response->url().absoluteString(), url.absoluteString());
  EXPECT_EQ(get->response->allHeaderFields(), whole);
  EXPECT_EQ(get->data, "content 0");

  auto part = ask("GET", "bytes=2-4");
  ASSERT_TRUE(part->finished && part->response);
  EXPECT_EQ(part->response->statusCode(), 206);
  EXPECT_EQ(part->response->allHeaderFields(),
            (platform::HTTPHeaders{{"Content-Type", "text/javascript"},
                                   {"Accept-Ranges", "bytes"},
                                   {"Content-Range", "bytes 2-4/9"},
                                   {"Content-Length", "3"},
                                   {"Cross-Origin-Resource-Policy", "same-origin"},
                                   {"X-Content-Type-Options", "nosniff"}}));
  EXPECT_EQ(part->data, "nte");

  auto head = ask("HEAD", "");
  ASSERT_TRUE(head->finished && head->response);
  EXPECT_EQ(head->response->statusCode(), 200);
  EXPECT_EQ(head->response->allHeaderFields(), whole);
  EXPECT_TRUE(head->data.empty());
}

// Many requests at once: each is answered once, with its own file, also when the web view
// stops some of them on the way, and a file that must be healed from a server that holds its
// answer does not hold up the cached ones behind it.
TEST_F(ServingTest, ABurstOfRequestsIsAnsweredOnceEachAndAHealDoesNotHoldTheRest) {
  SchemeView direct(host(), platform::protocolClass<VLHarborLoaderURLProtocol>());
  // On the serving threads, where a request can be stopped on its way.
  ReadsWait onServingThreads;
  ASSERT_TRUE(platform::fs::remove(localFile(*entry(1))) == std::nullopt);
  ASSERT_TRUE(platform::fs::remove(localFile(*entry(2))) == std::nullopt);
  auto gate = state->hold();
  auto healing1 = direct.web->startSchemeTask(platform::URLRequest(urlOf(at(urls[1])).withScheme("veltro")));
  auto healing2 = direct.web->startSchemeTask(platform::URLRequest(urlOf(at(urls[2])).withScheme("veltro")));
  ASSERT_TRUE(gate->waitForWaiting(2));

  std::vector<std::shared_ptr<platform::webkit::HeadlessWebView::RecordedTask>> tasks;
  for (int i = 0; i < 300; ++i)
    tasks.push_back(direct.web->startSchemeTask(platform::URLRequest(urlOf(at(urls[0])).withScheme("veltro"))));
  for (size_t i = 0; i < tasks.size(); i += 7) direct.web->stopSchemeTask(tasks[i]);
  ASSERT_TRUE(platform::MainLoop::runUntil(
      [&] {
        for (size_t i = 0; i < tasks.size(); ++i)
          if (i % 7 != 0 && !tasks[i]->finished) return false;
        return true;
      },
      15));
  for (size_t i = 0; i < tasks.size(); ++i) {
    SCOPED_TRACE(i);
    if (i % 7 == 0) {
      EXPECT_TRUE(!tasks[i]->finished && !tasks[i]->error && tasks[i]->answeredAfterStop == 0);
      continue;
    }
    ASSERT_TRUE(tasks[i]->response && !tasks[i]->error);
    EXPECT_EQ(tasks[i]->response->statusCode(), 200);
    EXPECT_EQ(tasks[i]->data, "content 0");
  }
  EXPECT_FALSE(healing1->finished || healing2->finished);

  gate->release();
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return healing1->finished && healing2->finished; }, 15));
  EXPECT_EQ(healing1->data, "content 1");
  EXPECT_EQ(healing2->data, "content 2");
  platform::MainLoop::runFor(0.1);
  for (size_t i = 0; i < tasks.size(); i += 7) EXPECT_EQ(tasks[i]->answeredAfterStop, 0);
  EXPECT_EQ(direct.handler->runningCount(), 0u);
}

namespace {

// What the loader answers for `request`, as the scheme handler asks it (`justAsked`: right
// after its check on this thread).
VLWebResponse loaderAnswer(const platform::URLRequest& request, bool justAsked) {
  auto promise = std::make_shared<std::promise<VLWebResponse>>();
  auto future = promise->get_future();
  VLHarborLoaderURLProtocol::answerRequest(request, justAsked,
                                           [promise](VLWebResponse answer) { promise->set_value(std::move(answer)); });
  EXPECT_EQ(future.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  return future.get();
}

}  // namespace

// The loader's check looks the request up and its answer serves that lookup. Whatever changes
// what a lookup finds in between (a new version, the page's version, a check of another
// request) has the request looked up again: the answer is never a file of a version or a URL
// the request no longer names.
TEST_F(ServingTest, AnAnswerServesTheLookupOfItsCheckOnlyWhileThatStillHolds) {
  const platform::URLRequest index(urlOf(at("/app/index.js")));
  ASSERT_TRUE(VLHarborLoaderURLProtocol::canInitWithRequest(index));
  EXPECT_EQ(loaderAnswer(index, true).data(), "content 0");

  // A new version swapped in between the check and the answer.
  const std::string v2 = hashed("/app/v2.js", "version 2");
  serve(v2, "version 2");
  ASSERT_TRUE(VLHarborLoaderURLProtocol::canInitWithRequest(index));
  engine->startCaching(host(), "app", "v2", Value::array({v2}), Value{{"/app/index.js", v2}}, nullptr, nullptr);
  ASSERT_TRUE(testing_support::waitUntil([&] { return listener->count("finish") >= 2; }, 15));
  ASSERT_EQ(engine->getRunningVersionToken(), "v2");
  EXPECT_EQ(loaderAnswer(index, true).data(), "version 2");

  // The page keeps v2 while v3 is swapped in; its next document gets v3, also for a request
  // checked before it started.
  engine->pageWillLoad();
  const std::string v3 = hashed("/app/v3.js", "version 3");
  serve(v3, "version 3");
  engine->startCaching(host(), "app", "v3", Value::array({v3}), Value{{"/app/index.js", v3}}, nullptr, nullptr);
  ASSERT_TRUE(testing_support::waitUntil([&] { return listener->count("finish") >= 3; }, 15));
  ASSERT_TRUE(VLHarborLoaderURLProtocol::canInitWithRequest(index));
  EXPECT_EQ(loaderAnswer(index, true).data(), "version 2");
  ASSERT_TRUE(VLHarborLoaderURLProtocol::canInitWithRequest(index));
  engine->pageWillLoad();
  EXPECT_EQ(loaderAnswer(index, true).data(), "version 3");

  // The check of one request never answers another; nor does a lookup handed to the cache
  // for another URL.
  const platform::URLRequest first(urlOf(at(urls[1]))), second(urlOf(at(urls[2])));
  ASSERT_TRUE(VLHarborLoaderURLProtocol::canInitWithRequest(first));
  EXPECT_EQ(loaderAnswer(second, true).data(), "content 2");
  auto lookup = engine->lookUp(first.url());
  ASSERT_TRUE(lookup);
  EXPECT_EQ(lookup->entry, entry(1));
  auto promise = std::make_shared<std::promise<std::optional<VLWebResponse>>>();
  engine->getResourceFromCache(second, *lookup, [promise](auto answer) { promise->set_value(std::move(answer)); });
  expectAnswer(promise->get_future().get(), 200, "content 2");

  // A check no answer follows (the session's own) keeps nothing alive.
  std::weak_ptr<VLCacheEntry> checked = entry(1);
  ASSERT_TRUE(VLHarborLoaderURLProtocol::canInitWithRequest(first));
  lookup.reset();
  app.reset();
  engine.reset();
  VLNativeCache::resetSharedInstance();
  EXPECT_TRUE(checked.expired());
}

// Lookups that change while a burst is served: every answer is the file, whether the check's
// lookup still held or the request was looked up again (the thread sanitizer watches the rest).
TEST_F(ServingTest, ABurstServedWhileLookupsChangeIsAnsweredWithTheRightFiles) {
  SchemeView direct(host(), platform::protocolClass<VLHarborLoaderURLProtocol>());
  std::atomic<bool> serving{true};
  const std::string fileName = entry(2)->fileName();
  std::thread changes([&, app = app] {
    for (int i = 0; serving && i < 20000; ++i) {
      auto other = std::make_shared<VLCacheEntry>("/app/other" + std::to_string(i % 8), fileName, false);
      app->addCacheEntry(other, other->url());
      std::this_thread::yield();
    }
  });
  std::vector<std::shared_ptr<platform::webkit::HeadlessWebView::RecordedTask>> tasks;
  for (int i = 0; i < 300; ++i)
    tasks.push_back(direct.web->startSchemeTask(platform::URLRequest(urlOf(at(urls[i % 2])).withScheme("veltro"))));
  const bool answered = platform::MainLoop::runUntil(
      [&] { return std::all_of(tasks.begin(), tasks.end(), [](const auto& task) { return task->finished || task->error; }); },
      15);
  serving = false;
  changes.join();
  ASSERT_TRUE(answered);
  for (size_t i = 0; i < tasks.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(tasks[i]->response && !tasks[i]->error);
    EXPECT_EQ(tasks[i]->response->statusCode(), 200);
    EXPECT_EQ(tasks[i]->data, "content " + std::to_string(i % 2));
  }
}

// A cached file the kernel holds in memory is answered on the main thread as the web view asks
// (before the main loop runs again), with the status, header fields, URL and bytes the serving
// thread gives it; a read that would wait leaves the request to the serving thread.
TEST_F(ServingTest, ACachedFileIsAnsweredInPlaceAsTheServingThreadAnswersIt) {
  SchemeView direct(host(), platform::protocolClass<VLHarborLoaderURLProtocol>());
  struct Case {
    const char* method;
    const char* range;
    int status;
  };
  for (const Case& c : {Case{"GET", "", 200}, Case{"GET", "bytes=2-4", 206}, Case{"GET", "bytes=90-", 416},
                        Case{"GET", "bytes=0-1, 4-5", 200}, Case{"HEAD", "", 200}, Case{"HEAD", "bytes=1-2", 206}}) {
    SCOPED_TRACE(std::string(c.method) + " " + c.range);
    platform::URLRequest request(urlOf(at(urls[1])).withScheme("veltro"));
    request.setHTTPMethod(c.method);
    if (*c.range) request.setValue(c.range, "Range");
    cache_test::readFile(localFile(*entry(1)));  // in memory

    auto inPlace = direct.web->startSchemeTask(request);
    ASSERT_TRUE(inPlace->finished && inPlace->response && !inPlace->error);
    std::shared_ptr<platform::webkit::HeadlessWebView::RecordedTask> served;
    {
      ReadsWait onServingThread;
      served = direct.web->startSchemeTask(request);
      EXPECT_FALSE(served->finished);
    }
    ASSERT_TRUE(platform::MainLoop::runUntil([&] { return served->finished || served->error; }, 15));
    ASSERT_TRUE(served->response && !served->error);
    EXPECT_EQ(inPlace->response->statusCode(), c.status);
    EXPECT_EQ(inPlace->response->statusCode(), served->response->statusCode());
    EXPECT_EQ(inPlace->response->url().absoluteString(), served->response->url().absoluteString());
    EXPECT_EQ(inPlace->response->allHeaderFields(), served->response->allHeaderFields());
    EXPECT_EQ(inPlace->data, served->data);
    EXPECT_EQ(inPlace->data.empty(), std::string(c.method) == "HEAD" || c.status == 416);
  }
  EXPECT_EQ(direct.handler->runningCount(), 0u);
}

// What the main thread cannot answer without waiting goes to a serving thread, which answers
// it as before: a missing file (healed from the server), a file larger than what is read in
// place, a request the loader does not take (a server's redirect to another origin, refused);
// a request stopped before that answer gets none.
TEST_F(ServingTest, WhatWouldWaitIsAnsweredByTheServingThreadAndAStoppedTaskByNobody) {
  SchemeView direct(host(), platform::protocolClass<VLHarborLoaderURLProtocol>());
  auto veltro = [&](const std::string& url) { return platform::URLRequest(urlOf(at(url)).withScheme("veltro")); };

  ASSERT_TRUE(platform::fs::remove(localFile(*entry(1))) == std::nullopt);
  auto healed = direct.web->startSchemeTask(veltro(urls[1]));
  EXPECT_FALSE(healed->finished || healed->error);
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return healed->finished || healed->error; }, 15));
  EXPECT_TRUE(healed->response && healed->response->statusCode() == 200 && healed->data == "content 1");

  const std::string large(1024 * 1024 + 1, 'x');
  root.write("data/" + localFile(*entry(2)).substr(root.dataRoot().size() + 1), large);
  cache_test::readFile(localFile(*entry(2)));
  auto big = direct.web->startSchemeTask(veltro(urls[2]));
  EXPECT_FALSE(big->finished || big->error);
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return big->finished || big->error; }, 15));
  ASSERT_TRUE(big->response && big->response->statusCode() == 200);
  EXPECT_TRUE(big->data == large);
  EXPECT_EQ(big->response->valueForHTTPHeaderField("Content-Length"), std::to_string(large.size()));

  testing_support::HttpsTestServer other;
  other.on("GET", "/there", [](const auto&, auto& response) { response.set_content("other", "text/plain"); });
  server.on("GET", "/elsewhere", [&](const auto&, auto& response) {
    response.set_redirect("https://127.0.0.1:" + std::to_string(other.port()) + "/there");
  });
  auto redirected = direct.web->startSchemeTask(veltro("/elsewhere"));
  EXPECT_FALSE(redirected->finished || redirected->error);
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return redirected->finished || redirected->error; }, 15));
  EXPECT_TRUE(redirected->error && !redirected->response && redirected->data.empty());
  EXPECT_TRUE(CacheLog::shared().contains("Refused the answer to veltro://"));

  {
    ReadsWait onServingThread;
    auto stopped = direct.web->startSchemeTask(veltro(urls[0]));
    direct.web->stopSchemeTask(stopped);
    platform::MainLoop::runFor(0.3);
    EXPECT_TRUE(!stopped->finished && !stopped->error && stopped->answeredAfterStop == 0);
  }
  EXPECT_EQ(direct.handler->runningCount(), 0u);
}

// Requests started in one turn of the main loop: the first few are answered in place, the
// rest of the burst by the serving threads, each once with its file; once the loop has run,
// the next request is answered in place again.
TEST_F(ServingTest, ABurstInOneTurnOfTheMainLoopIsSharedWithTheServingThreads) {
  SchemeView direct(host(), platform::protocolClass<VLHarborLoaderURLProtocol>());
  cache_test::readFile(localFile(*entry(0)));
  platform::MainLoop::runFor(0.05);
  std::vector<std::shared_ptr<platform::webkit::HeadlessWebView::RecordedTask>> tasks;
  for (int i = 0; i < 40; ++i)
    tasks.push_back(direct.web->startSchemeTask(platform::URLRequest(urlOf(at(urls[0])).withScheme("veltro"))));
  for (size_t i = 0; i < tasks.size(); ++i)
    EXPECT_EQ(tasks[i]->finished, i < VLCustomSchemeHandler::kInPlacePerTurn) << i;
  ASSERT_TRUE(platform::MainLoop::runUntil(
      [&] { return std::all_of(tasks.begin(), tasks.end(), [](const auto& task) { return task->finished || task->error; }); },
      15));
  for (const auto& task : tasks) {
    ASSERT_TRUE(task->response && !task->error);
    EXPECT_EQ(task->response->statusCode(), 200);
    EXPECT_EQ(task->data, "content 0");
  }
  auto next = direct.web->startSchemeTask(platform::URLRequest(urlOf(at(urls[0])).withScheme("veltro")));
  EXPECT_TRUE(next->finished && next->data == "content 0");
  EXPECT_EQ(direct.handler->runningCount(), 0u);
}

namespace {

// The bytes this process has read through read calls so far (from the page cache or not).
long long bytesReadByThisProcess() {
  std::string io = cache_test::readFile("/proc/self/io");
  auto at = io.find("rchar:");
  return at == std::string::npos ? -1 : std::atoll(io.c_str() + at + 6);
}

}  // namespace

// A cached file larger than what is read whole reaches the web view as its opened file: a range
// of a few bytes reads only those (however large the file), HEAD reads nothing, and the whole
// file comes byte for byte.
TEST_F(ServingTest, ALargeCachedFileIsServedFromItsDescriptorAndARangeReadsOnlyItsBytes) {
  SchemeView direct(host(), platform::protocolClass<VLHarborLoaderURLProtocol>());
  std::string large(16 * 1024 * 1024, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i % 251);
  root.write("data/" + localFile(*entry(2)).substr(root.dataRoot().size() + 1), large);
  auto veltro = platform::URLRequest(urlOf(at(urls[2])).withScheme("veltro"));

  auto ranged = veltro;
  ranged.setValue("bytes=1000-1445", "Range");
  const long long before = bytesReadByThisProcess();
  auto part = direct.serve(ranged);
  const long long read = bytesReadByThisProcess() - before;
  ASSERT_TRUE(part->response && part->finished) << (part->error ? part->error->localizedDescription() : "");
  EXPECT_EQ(part->response->statusCode(), 206);
  EXPECT_EQ(part->response->valueForHTTPHeaderField("Content-Range"),
            "bytes 1000-1445/" + std::to_string(large.size()));
  EXPECT_EQ(part->response->valueForHTTPHeaderField("Content-Length"), "446");
  EXPECT_TRUE(part->data == large.substr(1000, 446));
  ASSERT_EQ(part->fileBodies.size(), 1u);
  EXPECT_EQ(part->fileBodies[0].offset, 1000);
  EXPECT_LT(read, 1024 * 1024) << "bytes read for a range of 446 bytes";

  auto head = veltro;
  head.setHTTPMethod("HEAD");
  auto headed = direct.serve(head);
  ASSERT_TRUE(headed->response && headed->finished);
  EXPECT_EQ(headed->response->valueForHTTPHeaderField("Content-Length"), std::to_string(large.size()));
  EXPECT_TRUE(headed->data.empty() && headed->fileBodies.empty());

  auto whole = direct.serve(veltro);
  ASSERT_TRUE(whole->response && whole->finished);
  EXPECT_EQ(whole->response->statusCode(), 200);
  EXPECT_TRUE(whole->data == large);
  ASSERT_EQ(whole->fileBodies.size(), 1u);
  EXPECT_EQ(whole->fileBodies[0].length, static_cast<std::int64_t>(large.size()));
  EXPECT_EQ(direct.handler->runningCount(), 0u);
}

// A "no-cache" entry's large answer from the server reaches the web view as it arrives, never
// whole: unread, it stays within the stream's capacity; read, it is whole; and a task the web
// view stops stops the stream and the transfer, and is answered no more.
TEST_F(ServingTest, ALargeNoCacheAnswerStreamsToTheWebViewAndAStoppedTaskStopsIt) {
  SchemeView direct(host(), platform::protocolClass<VLHarborLoaderURLProtocol>());
  auto live = std::make_shared<VLCacheEntry>("/app/live.bin", entry(0)->fileName(), false);
  live->setNoCache(true);
  live->setMimeType("application/octet-stream");
  app->addCacheEntry(live, "/app/live.bin");
  auto large = std::make_shared<std::string>(24 * 1024 * 1024, 'L');
  (*large)[12345] = 'x';
  server.on("GET", "/app/live.bin", [large](const auto&, auto& response) {
    response.set_content(*large, "application/octet-stream");
  });
  auto request = platform::URLRequest(urlOf(at("/app/live.bin")).withScheme("veltro"));
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stopped" : "read");
    auto task = direct.web->startSchemeTask(request);
    task->holdsStreams = true;
    ASSERT_TRUE(platform::MainLoop::runUntil([&] { return task->bodyStream || task->error || task->finished; }, 15));
    ASSERT_TRUE(task->bodyStream && task->response) << (task->error ? task->error->localizedDescription() : "");
    EXPECT_EQ(task->response->statusCode(), 200);
    EXPECT_EQ(task->response->valueForHTTPHeaderField("Content-Length"), std::to_string(large->size()));
    platform::MainLoop::runFor(0.5);
    EXPECT_LE(task->bodyStream->peakBuffered(), platform::BodyStream::kDefaultCapacity + 256 * 1024);
    if (stop) {
      direct.web->stopSchemeTask(task);
      EXPECT_TRUE(task->bodyStream->isCancelled());
      platform::MainLoop::runFor(0.3);
      EXPECT_EQ(task->answeredAfterStop, 0);
      continue;
    }
    std::string got, buffer(256 * 1024, '\0');
    platform::BodyStream::Read last;
    for (;;) {
      size_t n = 0;
      last = task->bodyStream->readWaiting(buffer.data(), buffer.size(), n, std::chrono::seconds(10));
      if (last != platform::BodyStream::Read::Data) break;
      got.append(buffer.data(), n);
    }
    EXPECT_EQ(last, platform::BodyStream::Read::Ended);
    EXPECT_TRUE(got == *large) << got.size();
    EXPECT_LE(task->bodyStream->peakBuffered(), platform::BodyStream::kDefaultCapacity + 256 * 1024);
  }
}
