#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "HeadlessTestEngine.h"
#include "host/plugins/HBRGestureHandler.h"
#include "host/plugins/HBRHandleOpenURL.h"
#include "host/plugins/HBRLaunchScreen.h"
#include "host/plugins/HBRLogger.h"
#include "host/plugins/HBRSmallHostPlugins.h"
#include "host/HBRViewController.h"
#include "platform/foundation/MainLoop.h"
#include "support/TestSupport.h"

using namespace platform;

namespace {

// A host controller over the headless engine, with the plugins registered on it.
struct Host {
  std::shared_ptr<HeadlessTestEngine> engine = std::make_shared<HeadlessTestEngine>();
  std::shared_ptr<HBRViewController> vc = HBRViewController::create();

  template <typename T>
  std::shared_ptr<T> add(bool withEngine = true) {
    auto plugin = std::make_shared<T>();
    plugin->initWithWebViewEngine(withEngine ? engine : nullptr);
    vc->registerPlugin(plugin, plugin->className());
    return plugin;
  }
  const std::vector<std::string>& scripts() const { return engine->headless()->evaluatedScripts(); }
  void pageDidLoad() const {
    NotificationCenter::defaultCenter().post(HBRPageDidLoadNotification, engine->headless().get());
  }
};

HBRInvokedUrlCommand command(Value arguments) {
  return HBRInvokedUrlCommand(std::move(arguments), std::string("Cb1"), std::nullopt, std::nullopt);
}

}  // namespace

TEST(SmallPluginsTest, LoggerWritesTheLevelUnlessItIsLog) {
  HBRLogger logger;
  testing_support::LogCapture log;
  for (const Value& arguments :
       Value::parse(R"([["LOG", "plain line"], ["WARN", "careful"], ["ERROR"], ["INFO", 42]])"))
    logger.performAction("logLevel", command(arguments));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"plain line", "WARN: careful", "ERROR: (null)", "INFO: 42"}));
}

TEST(SmallPluginsTest, LaunchScreenFadesTheHostsLaunchViewInAndOut) {
  Host host;
  auto launchView = std::make_shared<ui::View>();
  launchView->setAlpha(1.0);
  host.vc->setLaunchView(launchView);
  auto launch = host.add<HBRLaunchScreen>();
  launch->performAction("hide", command(Value::array()));
  EXPECT_GT(launchView->alpha(), 0.0);  // a fade, not a jump
  EXPECT_TRUE(MainLoop::runUntil([&] { return launchView->alpha() == 0.0; }, 5));
  launch->performAction("show", command(Value::array()));
  EXPECT_TRUE(MainLoop::runUntil([&] { return launchView->alpha() == 1.0; }, 5));

  // Without a host there is no launch view to fade; the host's stays as it is.
  HBRLaunchScreen orphan;
  orphan.performAction("hide", command(Value::array()));
  MainLoop::drain();
  EXPECT_EQ(launchView->alpha(), 1.0);
}

TEST(SmallPluginsTest, GestureHandlerFollowsItsSettings) {
  Host host;
  const auto& userScripts = host.engine->headless()->userContentController()->userScripts();
  EXPECT_FALSE(host.add<HBRGestureHandler>()->lpgr());
  EXPECT_TRUE(userScripts.empty());

  host.vc->mutableSettings()["suppresseslongpressgesture"] = "no";
  EXPECT_FALSE(host.add<HBRGestureHandler>()->lpgr());
  // The platform reads a string as true from its first letter or digit.
  host.vc->mutableSettings()["suppresseslongpressgesture"] = "YES";
  auto on = host.add<HBRGestureHandler>();
  ASSERT_TRUE(on->lpgr());
  EXPECT_DOUBLE_EQ(on->lpgr()->minimumPressDuration, 0.45);
  ASSERT_EQ(userScripts.size(), 1u);
  EXPECT_EQ(userScripts[0].source, HBRGestureHandler::longPressSuppressionScript());
  // Nothing was shown yet, so only later pages get it (at document start).
  host.pageDidLoad();
  EXPECT_TRUE(host.scripts().empty());

  host.vc->mutableSettings()["suppresses3dtouchgesture"] = " 2";
  EXPECT_DOUBLE_EQ(host.add<HBRGestureHandler>()->lpgr()->minimumPressDuration, 0.15);

  testing_support::LogCapture log;
  EXPECT_FALSE(host.add<HBRGestureHandler>(false)->lpgr());
  EXPECT_TRUE(log.contains("No webview subviews found, not applying the longpress fix."));
}

TEST(SmallPluginsTest, OpenedURLWaitsForTheFirstPageAndIsDeliveredOnceAsALiteral) {
  Host host;
  auto handler = host.add<HBRHandleOpenURL>();
  auto& center = NotificationCenter::defaultCenter();

  center.post(HBRPluginHandleOpenURLNotification, nullptr, "veltro://first");
  center.post(HBRPluginHandleOpenURLNotification, nullptr, "veltro://open?item='7'&x=1");
  EXPECT_TRUE(host.scripts().empty());
  host.pageDidLoad();
  host.pageDidLoad();
  ASSERT_EQ(host.scripts().size(), 1u);
  EXPECT_EQ(host.scripts()[0], "document.addEventListener('deviceready',function(){if (typeof handleOpenURL === "
                               "'function') { handleOpenURL(\"veltro://open?item='7'&x=1\");}});");

  // Once a page is loaded a URL goes straight through; what is not a URL never reaches the page.
  testing_support::LogCapture log;
  center.post(HBRPluginHandleOpenURLNotification, nullptr, "veltro://second");
  center.post(HBRPluginHandleOpenURLNotification, nullptr, "\");alert(1);//");
  center.post(HBRPluginHandleOpenURLNotification, nullptr, 12);
  ASSERT_EQ(host.scripts().size(), 2u);
  EXPECT_NE(host.scripts()[1].find("handleOpenURL(\"veltro://second\")"), std::string::npos);
  EXPECT_EQ(log.count("carries no URL"), 2u);

  // Removed from every notification (as the deep-links plugin does), it does nothing more.
  center.removeObserver(handler.get());
  center.post(HBRPluginHandleOpenURLNotification, nullptr, "veltro://third");
  EXPECT_EQ(host.scripts().size(), 2u);
}

TEST(SmallPluginsTest, RegistrationMakesEveryHostPluginByName) {
  HBRRegisterSmallHostPlugins();
  for (const char* name : {"HBRIntentAndNavigationFilter", "HBRConnection", "HBRLogger", "HBRLaunchScreen",
                           "HBRGestureHandler", "HBRHandleOpenURL"}) {
    auto factory = HBRPluginClassRegistry::shared().factory(name);
    ASSERT_TRUE(factory) << name;
    EXPECT_EQ(factory()->className(), name);
  }
}
