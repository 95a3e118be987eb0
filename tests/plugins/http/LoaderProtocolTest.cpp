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

}  // namespace
}  // namespace httptest
