#include "CachePluginFixture.h"
#include "appcache/VLPreBundle.h"
#include "platform/foundation/PropertyList.h"

using cache_test::CacheLog;
using cache_test::CachePluginFixture;
using platform::Value;

namespace {

const char* kPreferences =
    "<preference name=\"DefaultHostname\" value=\"localhost\"/>"
    "<preference name=\"DefaultApplicationURL\" value=\"example\"/>";

Value packagedManifest() {
  return Value{{"manifest",
                {{"versionToken", "p1"},
                 {"urlVersions", {{"/example/index.html", "?h1"}, {"/example/app.js", "?h2"}}},
                 {"urlMappings", {{"/example/", "/example/index.html"}, {"/example/app.js", "/example/app.js"}}},
                 {"urlMappingsNoCache", Value::object()}}}};
}

class PreBundleTest : public CachePluginFixture {
 protected:
  void writePackage(const std::string& preferences = kPreferences) {
    CachePluginFixture::writePackage(feature("Cache", "VLCache") + feature("PreBundle", "VLPreBundlePlugin"),
                                     preferences);
    root.write("package/www/app.js", "var app = 1;");
  }
  // Starts the cache plugin, then the pre-bundle plugin, as "config.xml" orders them.
  std::shared_ptr<VLPreBundlePlugin> launchBoth() {
    cache = launch();
    return std::dynamic_pointer_cast<VLPreBundlePlugin>(vc->getCommandInstance("PreBundle"));
  }
  std::shared_ptr<VLApplicationCache> application() {
    return cache->cacheEngine()->applicationCache(VLNativeCache::keyForHostname("localhost", "example"));
  }
  std::shared_ptr<VLCache> cache;
};

}  // namespace

TEST_F(PreBundleTest, AFreshInstallationSeedsItsCacheFromThePackagedManifest) {
  writePackage();
  root.write("package/www/manifest.json", packagedManifest().dump());
  auto plugin = launchBoth();
  ASSERT_TRUE(plugin);
  auto engine = cache->cacheEngine();
  EXPECT_TRUE(engine->firstRun());
  EXPECT_EQ(engine->currentApplication(), VLNativeCache::keyForHostname("localhost", "example"));
  EXPECT_EQ(engine->currentStatus(), VLCacheStatusIdle);
  ASSERT_TRUE(application());
  auto frame = application()->getPreBundleFrame();
  ASSERT_TRUE(frame);
  EXPECT_TRUE(frame->versionToken() == "p1" && frame->preBundle());
  auto entry = frame->getResourceForUrl("/example/app.js?h2");
  ASSERT_TRUE(entry && entry->preBundled());
  EXPECT_EQ(cache_test::readFile(VLCacheLocations::getLocalFilePath(*entry).value_or("")), "var app = 1;");
  // The entry that serves a requested path comes from the package.
  EXPECT_TRUE(application()->getCacheEntryForURL("/example/app.js?h2"));

  // The list handed to the engine ends with the manifest itself.
  auto manifest = VLManifestParser::sharedInstance()->getManifestInfo(packagedManifest());
  auto list = std::dynamic_pointer_cast<VLPreBundle>(plugin->preBundle())->preBundleResourceList(*manifest);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->back(), "manifest.json?p1");

  // The page hears the idle status once it is ready.
  call("ready", "Cache", "deviceready", Value::array());
  ASSERT_TRUE(waitForEvents(1));
  EXPECT_EQ(eventNames().front(), "status 1");
  // The package frame is rebuilt at every launch, not persisted.
  EXPECT_FALSE(platform::fs::exists(VLNativeCache::manifestFilePath()) &&
               cache_test::readFile(VLNativeCache::manifestFilePath()).find("p1") != std::string::npos);
}

TEST_F(PreBundleTest, ThePackagedManifestJoinsThePackageFrameWithItsTokenAsTheQuery) {
  writePackage();
  root.write("package/www/manifest.json", packagedManifest().dump());
  launchBoth();
  ASSERT_TRUE(application() && application()->getPreBundleFrame());
  auto entry = application()->getPreBundleFrame()->getResourceForUrl("/example/manifest.json?p1");
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->preBundled());
  EXPECT_EQ(cache_test::readFile(VLCacheLocations::getLocalFilePath(*entry).value_or("")),
            packagedManifest().dump());
  EXPECT_FALSE(CacheLog::shared().contains("Refused resource"));

  // A path out of the application's folder is still refused; dots in a query are no path.
  cache->cacheEngine()->bootstrapCache(
      "p2", Value{"../secret.txt?p2", "/example/../secret.txt", "manifest.json?../../p2"},
      Value{{"/example/", "/example/index.html"}}, nullptr);
  auto frame = application()->getPreBundleFrame();
  ASSERT_EQ(frame->versionToken(), "p2");
  EXPECT_EQ(CacheLog::shared().count("Refused resource"), 2u);
  entry = frame->getResourceForUrl("/example/manifest.json?../../p2");
  ASSERT_TRUE(entry);
  EXPECT_EQ(cache_test::readFile(VLCacheLocations::getLocalFilePath(*entry).value_or("")),
            packagedManifest().dump());
}

TEST_F(PreBundleTest, FailuresAreLoggedAndTheUpgradeStillRuns) {
  // A cache manifest of an older format waits for its upgrade.
  writePackage();
  Value older{{"cachedApplication", "1"}, {"cachedEntries", Value::object()}};
  root.write("data/Library/Application Support/VLNativeCache/VLCacheManifest.plist",
             platform::serializePropertyListXML(older));
  auto plugin = launchBoth();
  ASSERT_TRUE(plugin);
  EXPECT_TRUE(CacheLog::shared().contains("VLPreBundle: Failed to read file www/manifest.json from bundle"));
  EXPECT_TRUE(CacheLog::shared().contains(
      "VLManifest: Failed to get manifest info with error: invalid or missing dictionary"));
  EXPECT_TRUE(CacheLog::shared().contains("VLPreBundle: Upgrading cache model if needed"));
  EXPECT_FALSE(cache->cacheEngine()->cacheUpgrade());
  EXPECT_NE(cache_test::readFile(VLNativeCache::manifestFilePath()).find("2.0.0"), std::string::npos);

  // No token; no host name.
  Value noToken = packagedManifest();
  noToken["manifest"].erase("versionToken");
  VLPreBundle(cache->cacheEngine(), VLManifestParser::sharedInstance(), "localhost", "example")
      .loadPreBundleManifest(VLManifestParser::sharedInstance()->getManifestInfo(noToken));
  EXPECT_TRUE(CacheLog::shared().contains("Could not load pre-bundle resources: manifest version is null"));
  VLPreBundle(cache->cacheEngine(), VLManifestParser::sharedInstance(), std::nullopt, "example")
      .loadPreBundleManifest(VLManifestParser::sharedInstance()->getManifestInfo(packagedManifest()));
  EXPECT_TRUE(CacheLog::shared().contains("Could not load pre-bundle resources: hostname or url is null"));
  EXPECT_FALSE(application() && application()->getPreBundleFrame());
}

TEST_F(PreBundleTest, GetManifestAnswersTheWholeManifestOrAnError) {
  writePackage();
  Value packaged = packagedManifest();
  packaged["extra"] = Value{{"kept", true}};
  root.write("package/www/manifest.json", packaged.dump());
  auto plugin = launchBoth();
  call("m1", "PreBundle", "getManifest", Value::array());
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return !messagesOn("m1").empty(); }, 5));
  EXPECT_EQ(messagesOn("m1").front(), packaged);

  // Not JSON, and JSON that is not a dictionary.
  int n = 0;
  for (const char* text : {"{\"manifest\": ", "[1, 2]"}) {
    root.write("package/www/manifest.json", text);
    const std::string id = "bad" + std::to_string(++n);
    call(id, "PreBundle", "getManifest", Value::array());
    ASSERT_TRUE(platform::MainLoop::runUntil([&] { return !messagesOn(id).empty(); }, 5));
    EXPECT_EQ(messagesOn(id, 9), std::vector<Value>{"Could not get manifest"}) << id;  // an error
  }
  EXPECT_TRUE(CacheLog::shared().contains("VLPreBundle: Failed to serialize JSON data into dictionary"));
  // Nothing of it went to the cache channel.
  EXPECT_TRUE(events().empty());
}

TEST(PreBundleWithoutCache, WithoutTheCachePluginThePackageIsStillRead) {
  cache_test::CacheLog::shared().clear();
  VLNativeCache::resetSharedInstance();
  testing_support::ScopedDataRoot root;
  root.write("package/www/manifest.json", packagedManifest().dump());
  platform::Bundle::setMainPath(root.file("package"));
  auto plugin = std::make_shared<VLPreBundlePlugin>();
  plugin->pluginInitialize();
  EXPECT_TRUE(CacheLog::shared().contains("Could not bootstrap the cache: VLNativeCache hasn't been initialized yet"));
  EXPECT_EQ(plugin->preBundle()->getManifest(), packagedManifest());
}
