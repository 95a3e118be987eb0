#include <mutex>

#include "CacheTestSupport.h"
#include "appcache/VLHarborLoader.h"
#include "appcache/VLHarborLoaderURLProtocol.h"
#include "host/HBRExternalLauncher.h"
#include "platform/ui/Application.h"
#include "support/SessionTasks.h"

using cache_test::CacheFixture;
using platform::URLRequest;
using testing_support::urlOf;

namespace {

// The package the loader serves script paths from, beside a file outside its "www" folder
// that no URL may reach.
class HarborLoaderTest : public CacheFixture {
 protected:
  HarborLoaderTest() {
    root.write("package/www/lib.js", "var lib = 1;");
    root.write("package/www/x.js", "var x = 2;");
    root.write("package/a/www/x.js", "var ax = 3;");
    root.write("package/www/empty.js", "");
    root.write("package/secret.txt", "secret");
  }
  ~HarborLoaderTest() override { platform::ui::Application::shared().setURLOpener(nullptr); }

  static bool takes(const std::string& url) {
    return VLHarborLoaderURLProtocol::canInitWithRequest(URLRequest(urlOf(url)));
  }
  std::shared_ptr<platform::URLSession> loaderSession() {
    auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.setProtocolClasses({platform::protocolClass<VLHarborLoaderURLProtocol>()});
    return platform::URLSession::sessionWithConfiguration(configuration);
  }
  std::string at(const std::string& path) { return server.url(path); }
};

// Records the statuses a protocol answers with, and the end of loading.
struct RecordingClient : platform::URLProtocolClient {
  std::mutex mutex;
  std::vector<int> statuses;
  std::atomic<bool> finished{false};
  void didReceiveResponse(platform::URLProtocol&, const platform::URLResponse& response,
                          platform::URLCacheStoragePolicy) override {
    std::lock_guard lock(mutex);
    statuses.push_back(response.statusCode());
  }
  void didLoadData(platform::URLProtocol&, std::string) override {}
  void didFinishLoading(platform::URLProtocol&) override { finished = true; }
  void didFailWithError(platform::URLProtocol&, const platform::Error&) override {}
};

TEST_F(HarborLoaderTest, CanInitTakesOnlyWhatTheDeviceCanAnswer) {
  // "/a/b/hbrload/x.js" consumes one folder: /a/www/x.js; "?x_ts" goes on to the later rules.
  for (const char* path : {"/MyApp/scripts/lib.js", "/a/b/hbrload/x.js", "/a/HBRLOAD/x.js", "/anything/FAVICON.ICO",
                           "/MyApp/scripts/lib.js?x_ts=1"})
    EXPECT_TRUE(takes(at(path))) << path;
  for (const char* path : {"/a/b/c/hbrload/lib.js", "/MyApp/scripts/missing.js", "/MyApp/other/lib.js",
                           "/MyApp/scripts/lib.js?_ts=1"})
    EXPECT_FALSE(takes(at(path))) << path;
  EXPECT_FALSE(takes("ftp://127.0.0.1/MyApp/scripts/lib.js"));

  URLRequest marked(urlOf(at("/MyApp/scripts/lib.js")));
  marked.setProperty(VLHarborLoaderURLProtocol::kHandledKey, true);
  EXPECT_FALSE(VLHarborLoaderURLProtocol::canInitWithRequest(marked));
}

TEST_F(HarborLoaderTest, NoEncodingOfDotDotOrSlashLeavesThePackagesWebFolder) {
  ASSERT_TRUE(takes(at("/MyApp/scripts/lib.js")));
  for (const char* path :
       {"/MyApp/scripts/../secret.txt", "/MyApp/scripts/%2e%2e/secret.txt",
        "/MyApp/scripts/%2E%2e/secret.txt", "/MyApp/scripts/.%2E/secret.txt",
        "/MyApp/scripts/..%2Fsecret.txt", "/MyApp/scripts/..%2fsecret.txt",
        "/MyApp/scripts/..%5Csecret.txt", "/MyApp/scripts/%252e%252e/secret.txt",
        "/MyApp/scripts/%252E%252E%252Fsecret.txt", "/MyApp/scripts/%25252e%25252e/secret.txt",
        "/MyApp/scripts/%2e%2e%5c%2e%2e%5csecret.txt", "/MyApp/scripts/%00lib.js",
        "/MyApp/scripts/%c0%ae%c0%ae/secret.txt"}) {
    SCOPED_TRACE(path);
    auto url = urlOf(at(path));
    EXPECT_FALSE(VLHarborLoaderURLProtocol::canInitWithRequest(URLRequest(url)));
    VLHarborLoaderURLProtocol protocol(URLRequest(url), nullptr);
    EXPECT_FALSE(protocol.getHarborResource(url));
  }
}

TEST_F(HarborLoaderTest, LoadingAnswersFromThePackageOr404AndNeverTouchesTheServer) {
  auto session = loaderSession();
  auto lib = testing_support::fetch(*session, at("/MyApp/scripts/lib.js"));
  ASSERT_TRUE(lib.response) << (lib.error ? lib.error->localizedDescription() : "");
  EXPECT_TRUE(lib.response->statusCode() == 200 && lib.data == "var lib = 1;");
  EXPECT_EQ(lib.response->valueForHTTPHeaderField("Content-Type"),
            VLMimeTypesHelper::sharedInstance()->getMimeTypeForExtension("js"));
  EXPECT_EQ(testing_support::fetch(*session, at("/MyApp/scripts/empty.js")).data, "");
  auto favicon = testing_support::fetch(*session, at("/app/FAVICON.ICO"));
  ASSERT_TRUE(favicon.response);
  EXPECT_TRUE(favicon.response->statusCode() == 404 && favicon.data.value_or("x").empty());
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(HarborLoaderTest, ARequestThatBecameUnfitIs404AndSpecifiersDecideEquivalence) {
  auto client = std::make_shared<RecordingClient>();
  auto protocol = std::make_shared<VLHarborLoaderURLProtocol>(URLRequest(urlOf(at("/MyApp/scripts/gone.js"))), client);
  protocol->startLoading();
  ASSERT_TRUE(testing_support::waitUntil([&] { return client->finished.load(); }, 10));
  std::lock_guard lock(client->mutex);
  EXPECT_EQ(client->statuses, std::vector<int>{404});

  auto equivalent = [](const char* a, const char* b) {
    return VLHarborLoaderURLProtocol::requestIsCacheEquivalent(URLRequest(urlOf(a)), URLRequest(urlOf(b)));
  };
  EXPECT_TRUE(equivalent("veltro://h/app/a.js?v=1", "https://h/app/a.js?v=1"));
  EXPECT_FALSE(equivalent("https://h/app/a.js?v=1", "https://h/app/a.js?v=2"));
}

TEST_F(HarborLoaderTest, ThePluginRegistersTheProtocolAndOpensOnlyWebMailAndPhoneLinksOutside) {
  std::vector<std::string> opened;
  platform::ui::Application::shared().setURLOpener([&](const platform::URL& url) {
    opened.push_back(url.absoluteString());
    return true;
  });
  auto plugin = std::make_shared<VLHarborLoader>();
  plugin->pluginInitialize();
  auto loader = platform::protocolClass<VLHarborLoaderURLProtocol>();
  auto registered = platform::URLProtocol::registeredClasses();
  EXPECT_NE(std::find(registered.begin(), registered.end(), loader), registered.end());
  platform::URLProtocol::unregisterClass(loader);

  HBRExternalLauncher::shared().reset();
  // As the web view asks, after the user's click on a link in the page.
  auto clicked = [&](const std::string& url) {
    HBRExternalLauncher::shared().reset();
    platform::webkit::NavigationAction action{URLRequest(urlOf(url)), platform::webkit::NavigationType::LinkActivated,
                                              true, true};
    return plugin->shouldOverrideLoad(action);
  };
  // Every "external:" load is stopped; only web, mail and phone links are opened outside.
  for (const char* url : {"external:tel:+15551234", "external:https://example.com/a", "external:MAILTO:a@example.com",
                          "external:file:///etc/passwd", "external:javascript:alert(1)", "external:myapp://x",
                          "external:"})
    EXPECT_EQ(clicked(url), false) << url;
  EXPECT_TRUE(clicked("https://example.com/external:tel:1") && clicked("app://localhost/index.html"));
  EXPECT_EQ(opened, (std::vector<std::string>{"tel:+15551234", "https://example.com/a",
                                              "MAILTO:a@example.com"}));
  // Asked without the web view's word on the user's gesture, nothing opens.
  EXPECT_EQ(plugin->shouldOverrideLoadWithRequest(URLRequest(urlOf("external:tel:2")), 0), false);

  // From the web view, only the user's own click opens anything.
  platform::webkit::NavigationAction action{URLRequest(urlOf("external:tel:1"))};
  EXPECT_EQ(plugin->shouldOverrideLoad(action), false);
  action.userGesture = true;
  action.targetsMainFrame = false;
  EXPECT_EQ(plugin->shouldOverrideLoad(action), false);
  EXPECT_EQ(opened.size(), 3u);
  action.targetsMainFrame = true;
  EXPECT_EQ(plugin->shouldOverrideLoad(action), false);
  EXPECT_EQ(opened.back(), "tel:1");

  // One click that follows many links opens only as many as the launch limit allows, and the
  // limit is the one intents count against too.
  HBRExternalLauncher::shared().reset();
  opened.clear();
  EXPECT_TRUE(HBRExternalLauncher::shared().allowLaunch(std::chrono::steady_clock::now()));
  for (int i = 0; i < 12; ++i) EXPECT_EQ(plugin->shouldOverrideLoad(action), false);
  EXPECT_EQ(opened.size(), static_cast<size_t>(HBRExternalLauncher::kMaxLaunchesPerWindow - 1));
  HBRExternalLauncher::shared().reset();
}

}  // namespace
