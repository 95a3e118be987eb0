#include <gtest/gtest.h>

#include "plugins/PluginTestHost.h"
#include "plugins/statusbar/HBRStatusBar.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/StatusBar.h"
#include "support/TestSupport.h"

using platform::Value;
using platform::ui::Color;
using platform::ui::Rect;
using platform::ui::StatusBar;
using plugintest::command;

namespace {

class StatusBarPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("package/Info.plist", infoPlist());
    platform::Bundle::setMainPath(dir.file("package"));
    StatusBar::shared().reset();
  }
  void TearDown() override {
    platform::MainLoop::drain();
    StatusBar::shared().reset();
  }
  virtual std::string infoPlist() const {
    return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict></dict></plist>)";
  }

  std::shared_ptr<HBRStatusBar> start(Value settings = Value::object()) {
    host.delegate->settings_ = std::move(settings);
    return host.add<HBRStatusBar>();
  }
  Rect webFrame() const { return host.engine->headless()->frame(); }
  // Performs `action` and answers the first result it sent.
  plugintest::Sent ask(HBRStatusBar& plugin, const std::string& action, Value arguments = Value::array()) {
    const std::string id = "Ask" + std::to_string(++asked);
    plugin.performAction(action, command(std::move(arguments), id));
    auto sent = host.delegate->to(id);
    return sent.empty() ? plugintest::Sent{HBRResultStatus::NoResult, "<nothing>", false, id} : sent[0];
  }

  testing_support::ScopedDataRoot dir;
  plugintest::Host host;
  int asked = 0;
};

TEST_F(StatusBarPluginTest, WebViewTopFollowsStatusBarHeightAndSafeArea) {
  // (bar height, safe-area inset, overlaying) -> top; a bar lower than the inset adds nothing.
  for (auto [bar, inset, overlays, top] : std::vector<std::tuple<double, double, bool, double>>{
           {44, 44, true, 0}, {44, 40, true, 20}, {44, 20, true, 24}, {20, 44, true, 0}, {20, 0, true, 0},
           {20, 0, false, 20}})
    EXPECT_EQ(HBRStatusBar::webViewTop(bar, inset, overlays), top) << bar << " " << inset << " " << overlays;

  // The same through the views: a 44-point bar covers 44 points of a web view at the top.
  StatusBar::shared().setThickness(44);
  auto plugin = start();
  plugin->performAction("overlaysWebView", command(Value::array({false})));
  EXPECT_EQ(webFrame(), (Rect{{0, 44}, {390, 800}}));
  EXPECT_EQ(plugin->statusBarBackgroundView()->frame(), (Rect{{0, 0}, {390, 44}}));
  EXPECT_EQ(plugin->statusBarBackgroundView()->superview(), host.vc->view());
  plugin->performAction("overlaysWebView", command(Value::array({true})));
  EXPECT_EQ(webFrame(), (Rect{{0, 0}, {390, 844}}));
  EXPECT_EQ(host.engine->headless()->safeAreaInsets().top, 44);
  EXPECT_EQ(plugin->statusBarBackgroundView()->superview(), nullptr);
}

TEST_F(StatusBarPluginTest, ColoursComeFromHexTextOrAFixedTableOfNames) {
  auto plugin = start();
  auto strip = [&] { return plugin->statusBarBackgroundView()->backgroundColor(); };
  // Three digits change nothing; a bad scan is black, as is an argument that is not text;
  // trailing junk is ignored.
  for (const auto& [given, colour] : std::vector<std::pair<Value, std::optional<Color>>>{
           {"#FFF", std::nullopt}, {"#ff0000", Color{1, 0, 0, 1}}, {"#zzzzzzz", Color{0, 0, 0, 1}},
           {"#00ff00 and more", Color{0, 1, 0, 1}}, {Value::object(), Color{0, 0, 0, 1}}}) {
    plugin->performAction("backgroundColorByHexString", command(Value::array({given})));
    EXPECT_EQ(strip(), colour) << given.dump();
  }
  EXPECT_EQ(HBRStatusBar::colorFromHexString("#ffffffffffffffffffff"), (Color{1, 1, 1, 1}));

  // A name paints only the strip; the colour a new strip gets stays the hexadecimal one.
  plugin->performAction("backgroundColorByHexString", command(Value::array({"#0000ff"})));
  plugin->performAction("backgroundColorByName", command(Value::array({"red"})));
  EXPECT_EQ(strip(), (Color{1, 0, 0, 1}));
  EXPECT_EQ(plugin->statusBarBackgroundColor(), (Color{0, 0, 1, 1}));
  plugin->performAction("backgroundColorByName", command(Value::array({"darkGray"})));
  EXPECT_NEAR(strip()->red, 1 / 3.0, 1e-9);
  // Names outside the table, also those of other class methods, change nothing.
  for (const char* name : {"Red", "redColor", "description", "new", "", "clear\n"}) {
    plugin->performAction("backgroundColorByName", command(Value::array({name})));
    EXPECT_NEAR(strip()->red, 1 / 3.0, 1e-9) << name;
  }
  plugin->performAction("backgroundColorByName", command(Value::array({12})));
  EXPECT_EQ(strip(), (Color{0, 0, 0, 1}));
  EXPECT_TRUE(host.delegate->sent.empty()) << "colour actions answer nothing";
}

TEST_F(StatusBarPluginTest, EventsOnlyAfterReadyButTheStaticChannelAlways) {
  auto plugin = start();
  StatusBar::shared().setHidden(true);
  StatusBar::shared().tap();
  EXPECT_TRUE(host.delegate->to("Ready1").empty());
  auto channel = host.delegate->to(HBRStatusBarStaticChannel);
  ASSERT_EQ(channel.size(), 1u);
  EXPECT_TRUE(channel[0].status == HBRResultStatus::OK && channel[0].message.is_null() && channel[0].keep);

  StatusBar::shared().setHidden(false);
  plugin->performAction("_ready", command(Value::array(), "Ready1"));
  StatusBar::shared().setHidden(true);
  StatusBar::shared().tap();
  auto events = host.delegate->to("Ready1");
  Value messages = Value::array();
  for (const auto& event : events) {
    messages.push_back(event.message);
    EXPECT_TRUE(event.keep);
  }
  EXPECT_EQ(messages, Value::parse(R"([true, {"type": "viewport", "disableiOS12": false}, false, {"type": "tap"}])"));
  EXPECT_EQ(host.delegate->to(HBRStatusBarStaticChannel).size(), 3u);

  // A page reload ends the events; frame changes still go out.
  plugin->onReset();
  StatusBar::shared().setHidden(false);
  EXPECT_TRUE(host.delegate->to("Ready1").size() == 4u && host.delegate->to(HBRStatusBarStaticChannel).size() == 4u);
}

TEST_F(StatusBarPluginTest, FrameChangesAndAppearingViewsResizeAfterADelay) {
  auto plugin = start();
  plugin->performAction("overlaysWebView", command(Value::array({0})));
  ASSERT_EQ(webFrame().origin.y, 20);
  StatusBar::shared().setThickness(30);
  EXPECT_EQ(webFrame().origin.y, 20) << "resized at once";
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return webFrame().origin.y == 30; }, 2));
  EXPECT_EQ(plugin->statusBarBackgroundView()->frame().height(), 30);

  // Appearing: the web view is put back where the status bar wants it.
  host.engine->headless()->setFrame({{0, 0}, {390, 844}});
  platform::NotificationCenter::defaultCenter().post(HBRViewWillAppearNotification);
  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return webFrame().origin.y == 30; }, 2));

  // A plugin gone before its delayed resize leaves the views alone.
  StatusBar::shared().setThickness(40);
  plugin.reset();
  platform::MainLoop::runFor(0.3);
  EXPECT_EQ(webFrame().origin.y, 30);
}

TEST_F(StatusBarPluginTest, OverlayHideShowAndHeight) {
  auto plugin = start();
  // Anything that is not a number turns the overlay on.
  EXPECT_EQ(ask(*plugin, "overlaysWebView", Value::array({0})).message, false);
  EXPECT_EQ(ask(*plugin, "overlaysWebView", Value::array({"no"})).message, true);
  EXPECT_EQ(ask(*plugin, "isStatusBarOverlayingWebview").message, true);

  plugin->performAction("overlaysWebView", command(Value::array({false})));
  plugin->performAction("hide", command(Value::array(), "H1"));
  EXPECT_TRUE(StatusBar::shared().isHidden() && !plugin->statusBarVisible());
  EXPECT_TRUE(webFrame() == (Rect{{0, 0}, {390, 844}}) && !plugin->statusBarBackgroundView()->superview());
  // Hiding a hidden bar only answers.
  EXPECT_EQ(ask(*plugin, "hide").status, HBRResultStatus::OK);
  EXPECT_EQ(ask(*plugin, "getStatusBarHeight").message, 0);

  plugin->performAction("show", command(Value::array(), "S1"));
  EXPECT_TRUE(!StatusBar::shared().isHidden() && webFrame().origin.y == 20);
  EXPECT_EQ(plugin->statusBarBackgroundView()->superview(), host.vc->view());
  EXPECT_FALSE(plugin->statusBarBackgroundView()->isHidden());

  // The height is the smaller side of the frame, truncated.
  StatusBar::shared().setThickness(20.7);
  EXPECT_EQ(ask(*plugin, "getStatusBarHeight").message, 20);
  platform::ui::Screen::setMainBounds({{0, 0}, {12, 844}});
  EXPECT_EQ(ask(*plugin, "getStatusBarHeight").message, 12);
}

TEST_F(StatusBarPluginTest, PreferencesAtStartAndAtReady) {
  testing_support::LogCapture log;
  auto plugin = start({{"statusbarbackgroundcolor", "#336699"}, {"statusbarstyle", "blackopaque"},
                       {"statusbaroverlayswebview", "false"}});
  EXPECT_TRUE(log.contains("blackopaque is deprecated and will be removed in next major release, use lightcontent"));
  EXPECT_EQ(plugin->statusBarBackgroundColor(), (Color{0x33 / 255.0, 0x66 / 255.0, 0x99 / 255.0, 1}));
  // The host controller decides the appearance unless the package says otherwise.
  EXPECT_TRUE(host.vc->statusBarStyleWish() == 1 && StatusBar::shared().style() == 1);
  EXPECT_TRUE(plugin->statusBarOverlaysWebView());
  plugin->performAction("_ready", command(Value::array(), "R"));
  EXPECT_TRUE(!plugin->statusBarOverlaysWebView() && webFrame().origin.y == 20);
  EXPECT_EQ(plugin->statusBarBackgroundView()->backgroundColor(), plugin->statusBarBackgroundColor());
  plugin->performAction("styleDefault", command(Value::array()));
  EXPECT_EQ(StatusBar::shared().style(), 3);
}

class ApplicationBasedStatusBarTest : public StatusBarPluginTest {
  std::string infoPlist() const override {
    return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
<key>UIViewControllerBasedStatusBarAppearance</key><false/></dict></plist>)";
  }
};

TEST_F(ApplicationBasedStatusBarTest, TheApplicationSetsTheBarDirectly) {
  auto plugin = start();
  EXPECT_FALSE(plugin->viewControllerBasedStatusBarAppearance());
  plugin->performAction("styleLightContent", command(Value::array()));
  plugin->performAction("hide", command(Value::array()));
  EXPECT_TRUE(StatusBar::shared().style() == 1 && StatusBar::shared().isHidden());
  EXPECT_TRUE(!host.vc->statusBarStyleWish() && !host.vc->statusBarHiddenWish());
}

}  // namespace
