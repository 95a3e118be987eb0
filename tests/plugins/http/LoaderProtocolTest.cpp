#include <atomic>

#include "HttpFixture.h"
#include "appcache/VLHarborLoader.h"
#include "appcache/VLHarborLoaderURLProtocol.h"
#include "plugins/http/VLHttp.h"
#include "plugins/http/VLHttpUrlSessionEngine.h"
#include "shell/VLProtocolManagerPlugin.h"

namespace httptest {
namespace {

// Takes every request and answers 418: whatever reaches it passed the protocols before it.
class CatchAllProtocol : public platform::URLProtocol {
 public:
  static constexpr const char* kClassName = "CatchAllProtocol";
  using URLProtocol::URLProtocol;
  static bool canInitWithRequest(const platform::URLRequest&) { return true; }
  void startLoading() override {
    client()->didReceiveResponse(*this, platform::URLResponse::http(request().url(), 418, {}),
                                 platform::URLCacheStoragePolicy::NotAllowed);
    client()->didFinishLoading(*this);
  }
  void stopLoading() override {}
};

TEST_F(HttpFixture, TheLoaderProtocolComesFirstAndAnswersWhatItTakes) {
  dir.write("package/www/lib.js", "var lib = 1;");
  // Registered through the URL-protocol manager as the shell does at start: another protocol
  // first, then the loader plugin's.
  VLProtocolManagerPlugin::load();
  auto catchAll = platform::protocolClass<CatchAllProtocol>();
  auto loaderClass = platform::protocolClass<VLHarborLoaderURLProtocol>();
  platform::URLProtocol::registerClass(catchAll);
  auto loader = std::make_shared<VLHarborLoader>();
  loader->pluginInitialize();

  Value script = send("s", url("/app/scripts/lib.js"));
  EXPECT_TRUE(script["data"]["metadata"]["status"] == 200 &&
              script["data"]["chunkData"] == "var lib = 1;") << script.dump();
  EXPECT_EQ(send("o", url("/app/other"))["data"]["metadata"]["status"], 418);
  EXPECT_EQ(server.requestCount(), 0u);

  auto engine = std::dynamic_pointer_cast<VLHttpUrlSessionEngine>(plugin->vlHttp()->requester());
  ASSERT_TRUE(engine);
  auto classes = engine->urlSession()->configuration().protocolClasses();
  EXPECT_EQ(classes, (decltype(classes){loaderClass, catchAll}));
  platform::URLProtocol::unregisterClass(loaderClass);
  platform::URLProtocol::unregisterClass(catchAll);
}

// Stands for the local URL protocols ("hbrfile:", "app:"): it would answer with local files.
class LocalFilesProtocol : public platform::URLProtocol {
 public:
  static constexpr const char* kClassName = "LocalFilesProtocol";
  using URLProtocol::URLProtocol;
  static bool canInitWithRequest(const platform::URLRequest& request) {
    return request.url().scheme() == "hbrfile" || request.url().scheme() == "app";
  }
  void startLoading() override {
    ++started;
    client()->didReceiveResponse(*this, platform::URLResponse::http(request().url(), 200, {}),
                                 platform::URLCacheStoragePolicy::NotAllowed);
    client()->didLoadData(*this, "sid=secret");
    client()->didFinishLoading(*this);
  }
  void stopLoading() override {}
  static inline std::atomic<int> started{0};
};

TEST_F(HttpFixture, AServersRedirectNeverLeadsIntoALocalURLProtocol) {
  VLProtocolManagerPlugin::load();
  auto local = platform::protocolClass<LocalFilesProtocol>();
  platform::URLProtocol::registerClass(local);
  for (const char* target : {"hbrfile://localhost/root/Library/Cookies/Cookies.txt", "app://localhost/index.html",
                             "file:///etc/passwd"}) {
    server.on("GET", "/jump", [target](const httplib::Request&, httplib::Response& response) {
      response.status = 302;
      response.set_header("Location", target);
    });
    Value payload = send("r", url("/jump"));
    EXPECT_EQ(errorCode(payload), 3) << target << " " << payload.dump();
    EXPECT_EQ(payload.dump().find("sid=secret"), std::string::npos) << target;
  }
  EXPECT_EQ(LocalFilesProtocol::started, 0);
  platform::URLProtocol::unregisterClass(local);
}

}  // namespace
}  // namespace httptest
