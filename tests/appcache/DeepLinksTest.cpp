#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "CacheTestSupport.h"
#include "appcache/VLDeepLinks.h"
#include "host/HBRAppDelegate.h"
#include "host/HBRViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"
#include "platform/webkit/HeadlessWebView.h"
#include "support/TestSupport.h"

namespace {

using platform::Value;

// A package whose "config.xml" maps "DeepLinks" (started with the page) and the plain
// open-URL plugin, hosted over the headless web view: what the plugin sends on its channel
// is what the page would be given.
class DeepLinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("package/www/index.html", "<html></html>");
    dir.write("package/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>com.veltro.deeplinks</string></dict></plist>)");
    platform::Bundle::setMainPath(dir.file("package"));
    HBRRegisterHostClasses();
    VLRegisterDeepLinksPlugin();
  }
  void TearDown() override {
    vc.reset();
    platform::MainLoop::drain();
  }

  // Starts a host whose preferences are `preferences` (name, value pairs).
  std::shared_ptr<VLDeepLinks> start(const std::vector<std::pair<std::string, std::string>>& preferences) {
    std::string config = R"(<?xml version="1.0"?><widget><content src="index.html"/>)";
    for (const auto& [name, value] : preferences)
      config += "<preference name=\"" + name + "\" value=\"" + value + "\"/>";
    config += R"(<feature name="HandleOpenUrl"><param name="ios-package" value="HBRHandleOpenURL"/>
      <param name="onload" value="true"/></feature>
      <feature name="DeepLinks"><param name="ios-package" value="VLDeepLinks"/>
      <param name="onload" value="true"/></feature></widget>)";
    dir.write("package/config.xml", config);
    bool loaded = false;
    auto& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(this, HBRPageDidLoadNotification, nullptr, [&](const platform::Notification&) { loaded = true; });
    vc = HBRViewController::create();
    vc->view();
    web = std::dynamic_pointer_cast<platform::webkit::HeadlessWebView>(vc->webView());
    // The page says "deviceready" once it has loaded, never before.
    EXPECT_TRUE(platform::MainLoop::runUntil([&] { return loaded; }, 5));
    center.removeObserver(this);
    return std::dynamic_pointer_cast<VLDeepLinks>(vc->getCommandInstance("DeepLinks"));
  }
  std::shared_ptr<VLDeepLinks> startForShop(const std::string& engine = "VLWKWebViewEngine",
                                            const std::string& type = "") {
    return start({{"DefaultHostname", "server.test"}, {"DefaultApplicationURL", "Shop"},
                  {"HarborWebviewEngine", engine}, {"DeepLinksHandlerType", type}});
  }

  void open(const Value& url) {
    platform::NotificationCenter::defaultCenter().post(HBRPluginHandleOpenURLNotification, nullptr, url);
  }
  void page(const std::string& action) {
    ASSERT_TRUE(web->postScriptMessage("harbor", Value{"DeepLinks" + action, "DeepLinks", action, Value::array()}));
  }
  // The events the page got on the channel so far, after the main loop has run a while.
  std::vector<Value> events(double settle = 0.2) {
    platform::MainLoop::runUntil([] { return false; }, settle);
    return cache_test::callbackMessages(web->evaluatedScripts(), VLDeepLinks::kChannel, 1);
  }

  testing_support::ScopedDataRoot dir;
  std::shared_ptr<HBRViewController> vc;
  std::shared_ptr<platform::webkit::HeadlessWebView> web;
};

TEST_F(DeepLinksTest, HandlerTypesComeFromTheirExactNamesOrTheDisableSwitch) {
  // (name, disabled) -> type: an exact name wins; else the switch picks "function" (0) or "default" (2).
  for (auto [name, disabled, type] : std::vector<std::tuple<std::optional<std::string>, bool, unsigned>>{
           {"legacy", false, 3}, {"event", true, 1}, {"Legacy", true, 0}, {"Legacy", false, 2}, {std::nullopt, false, 2}})
    EXPECT_EQ(VLDeepLinks::handlerTypeFromString(name, disabled), type) << name.value_or("none") << " " << disabled;
  // The platform's string-to-boolean rule: blanks, a sign and zeros, then Y, y, T, t or 1-9.
  for (const auto& [text, disabled] : std::vector<std::pair<std::string, bool>>{
           {"true", true}, {"  +007", true}, {"yes", true}, {"TRUE", true}, {"-0t", true},
           {"false", false}, {"0", false}, {"no", false}, {"", false}, {"on", false}}) {
    auto plugin = start({{"DisableVLDeepLinks", text}});
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->handlerTypeToString(), disabled ? "function" : "default") << "'" << text << "'";
  }
}

TEST_F(DeepLinksTest, ALinkForTheApplicationIsRewrittenToItsServerAddressAndSentOnTheChannel) {
  startForShop();
  page("deviceready");
  open("myapp://SHOP/orders/7?x=1");
  EXPECT_EQ(events(), (std::vector<Value>{{{"URL", "veltro://server.test/Shop/orders/7?x=1"}, {"Type", "default"}}}));

  // Another engine gets https; each type that sends on the channel names itself.
  for (const char* type : {"function", "event", "default"}) {
    web->clearRecords();
    startForShop("HBRWebViewEngine", type);
    page("deviceready");
    open("myapp://shop/a%20b/");
    EXPECT_EQ(events(), (std::vector<Value>{{{"URL", "https://server.test/Shop/a%20b/"}, {"Type", type}}}));
  }
}

TEST_F(DeepLinksTest, LinksForOthersWithoutAPathOrOfTheWrongKindAreDropped) {
  auto plugin = startForShop();
  page("deviceready");
  for (const Value& url : {Value("myapp://shop"), Value("myapp://shop?x=1"), Value("myapp://other/orders/7"),
                           Value("shop/orders/7"), Value("myapp://shop.evil/orders"), Value(42),
                           Value::object(), Value("\r\nmyapp://shop/x"), Value(nullptr)})
    open(url);
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(plugin->url());

  // With no application named, a link without a host is not taken for it.
  plugin = start({{"DefaultHostname", "server.test"}});
  page("deviceready");
  open("myapp:///orders/7");
  EXPECT_TRUE(events().empty());
}

TEST_F(DeepLinksTest, TheLatestLinkIsHeldUntilATriggerComesWhileReady) {
  auto plugin = startForShop();
  open("myapp://shop/first");
  open("myapp://shop/second");
  EXPECT_EQ(plugin->url()->absoluteString(), "veltro://server.test/Shop/second");
  page("trigger");  // not ready yet: kept
  page("deviceready");
  EXPECT_TRUE(events().empty());
  page("trigger");
  page("trigger");
  auto sent = events();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0]["URL"] == "veltro://server.test/Shop/second" && !plugin->url());

  // In the background links wait again; back in front, a trigger delivers.
  platform::ui::Application::shared().didEnterBackground();
  EXPECT_FALSE(plugin->deviceReady());
  open("myapp://shop/third");
  EXPECT_EQ(events().size(), 1u);
  platform::ui::Application::shared().willEnterForeground();
  page("trigger");
  EXPECT_EQ(events().size(), 2u);

  // A new page waits for its own "deviceready" before it is given anything.
  platform::NotificationCenter::defaultCenter().post(HBRPluginResetNotification,
                                                     static_cast<platform::webkit::WebView*>(web.get()));
  open("myapp://shop/fourth");
  EXPECT_TRUE(events().size() == 2u && plugin->url()->lastPathComponent() == "fourth");
}

TEST_F(DeepLinksTest, LegacyLoadsTheLinkOnTheMainLoopAndTheOpenURLPluginIsSilent) {
  auto plugin = startForShop("VLWKWebViewEngine", "legacy");
  page("deviceready");
  platform::MainLoop::runUntil([] { return false; }, 0.2);
  size_t loadsBefore = web->loads().size();
  open("myapp://shop/orders/7");
  EXPECT_EQ(web->loads().size(), loadsBefore);  // not yet: on a later turn of the main loop
  EXPECT_TRUE(events().empty());  // which the main loop has run by now
  ASSERT_EQ(web->loads().size(), loadsBefore + 1);
  EXPECT_EQ(web->loads().back().request.url().absoluteString(), "veltro://server.test/Shop/orders/7");
  for (const auto& script : web->evaluatedScripts()) EXPECT_EQ(script.find("handleOpenURL("), std::string::npos);

  // A load still waiting when the plugin goes does not happen.
  plugin->handleDeviceReady();
  open("myapp://shop/late");
  ASSERT_FALSE(plugin->url());
  std::weak_ptr<VLDeepLinks> weakPlugin = plugin;
  vc.reset();
  plugin.reset();
  ASSERT_TRUE(weakPlugin.expired());
  platform::MainLoop::drain();
  for (const auto& load : web->loads()) EXPECT_NE(load.request.url().lastPathComponent(), "late");
}

TEST_F(DeepLinksTest, LinksFromManyThreadsAreNeverDeliveredTwice) {
  auto plugin = startForShop();
  std::atomic<int> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        if (t == 0) (i % 2 ? plugin->onPause() : plugin->onResume());
        else if (t == 1) plugin->handleTrigger();
        else open("myapp://shop/item/" + std::to_string(next++));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  plugin->handleDeviceReady();
  plugin->handleTrigger();
  std::set<std::string> seen;
  for (const auto& event : events(0.5)) EXPECT_TRUE(seen.insert(event["URL"].get<std::string>()).second);
  EXPECT_FALSE(plugin->url() || seen.empty());
}

}  // namespace
