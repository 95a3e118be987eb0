#include <unistd.h>

#include "HostPackageFixture.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"

using namespace hosttest;
using platform::Value;

namespace {

std::string wrapped(const std::string& js) {
  return "try{harbor.require('harbor/exec').nativeEvalAndFetch(function(){" + js +
         "})}catch(e){console.log('exception nativeEvalAndFetch : '+e);};";
}

// Counts what reaches the platform's memory purge.
class CountingController : public HBRViewController {
 public:
  int purges = 0;

 protected:
  void purgeMemory() override { ++purges; }
};

}  // namespace

class LifeCycleTest : public HostPackageTest {
 protected:
  size_t countScript(const std::string& js) const {
    const auto& scripts = web()->evaluatedScripts();
    return std::count(scripts.begin(), scripts.end(), wrapped(js));
  }
};

TEST_F(LifeCycleTest, LifeCycleNotificationsBecomeDocumentEvents) {
  start();
  ASSERT_TRUE(waitForPageLoad());
  // A page with a title is not reloaded on the way back to the foreground (a reload would make
  // it a new page, which no event of the old one reaches).
  web()->setTitle("page");
  auto& app = platform::ui::Application::shared();
  // Resign and pause are evaluated before the notification returns: the process may be
  // suspended right after.
  app.willResignActive();
  EXPECT_EQ(countScript("harbor.fireDocumentEvent('resign');"), 1u);
  app.didEnterBackground();
  EXPECT_EQ(countScript("harbor.fireDocumentEvent('pause', null, true);"), 1u);
  app.willEnterForeground();
  app.didBecomeActive();
  EXPECT_EQ(countScript("harbor.fireDocumentEvent('resume');"), 0u);
  platform::MainLoop::drain();
  EXPECT_EQ(countScript("harbor.fireDocumentEvent('resume');"), 1u);
  EXPECT_EQ(countScript("harbor.fireDocumentEvent('active');"), 1u);
}

TEST_F(LifeCycleTest, AnEmptiedWebViewGetsTheStartPageBackOnTheNextEvent) {
  start();
  EXPECT_FALSE(vc->checkAndReinitViewUrl());
  web()->loadHTMLString("", std::nullopt);  // now at about:blank
  web()->clearRecords();
  platform::ui::Application::shared().didBecomeActive();
  ASSERT_EQ(web()->loads().size(), 1u);
  EXPECT_EQ(web()->loads()[0].request.url().path(), www("index.html"));
  EXPECT_TRUE(HBRViewController::isUrlEmpty(std::nullopt));
  EXPECT_TRUE(HBRViewController::isUrlEmpty(platform::URL::parse("about:blank")));
  EXPECT_FALSE(HBRViewController::isUrlEmpty(platform::URL::parse("app://localhost/")));
}

TEST_F(LifeCycleTest, TerminationEmptiesOnlyTheApplicationsOwnTemporaryFolder) {
  start();
  std::string tmp = platform::paths::tmp();
  dir.write("data/tmp/upload.bin", "x");
  dir.write("data/tmp/nested/part.bin", "y");
  std::string documents = dir.write("data/Documents/keep.txt", "keep");
  std::string outside = dir.write("outside/precious.txt", "precious");
  ASSERT_EQ(::symlink(dir.file("outside").c_str(), (tmp + "/link").c_str()), 0);

  platform::ui::Application::shared().willTerminate();
  EXPECT_TRUE(platform::fs::contentsOfDirectory(tmp).empty());
  EXPECT_TRUE(platform::fs::exists(documents));
  EXPECT_TRUE(platform::fs::exists(outside));  // the link went, not what it pointed at
}

TEST_F(LifeCycleTest, ATemporaryFolderThatIsALinkHasNothingEmptied) {
  start();
  std::string tmp = platform::paths::tmp();
  platform::fs::remove(tmp);
  std::string precious = dir.write("elsewhere/precious.txt", "precious");
  dir.write("elsewhere/nested/more.txt", "more");
  ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), tmp.c_str()), 0);
  testing_support::LogCapture log;
  platform::ui::Application::shared().willTerminate();
  EXPECT_EQ(platform::fs::readFile(precious), "precious");
  EXPECT_TRUE(platform::fs::exists(dir.file("elsewhere/nested/more.txt")));
  EXPECT_TRUE(log.contains("Failed to delete"));
}

class LaunchViewTest : public LifeCycleTest {
 protected:
  std::string preferences() const override {
    return pref("SplashScreenDelay", delay) + pref("FadeSplashScreenDuration", "100") +
           pref("AutoHideSplashScreen", autoHide);
  }
  // Runs until the launch view is invisible; answers the seconds that took and whether
  // an alpha between the ends was seen on the way.
  std::pair<double, bool> timeFadeOut(double limit) {
    double started = platform::wallClockSeconds();
    bool between = false;
    platform::MainLoop::runUntil(
        [&] {
          double alpha = vc->launchView()->alpha();
          between = between || (alpha > 0 && alpha < 1);
          return alpha == 0;
        },
        limit);
    return {platform::wallClockSeconds() - started, between};
  }
  std::string delay = "0";
  std::string autoHide = "true";
};

TEST_F(LaunchViewTest, FadesOnPageLoadAfterTheDelayAndNeverFasterThanAQuarterSecond) {
  for (const char* given : {"0", "400"}) {
    delay = given;
    SetUp();
    start();
    vc->launchView()->setAlpha(1);
    EXPECT_DOUBLE_EQ(vc->launchFadeDuration(), 0.25);
    ASSERT_TRUE(waitForPageLoad());
    auto [seconds, between] = timeFadeOut(5);
    EXPECT_EQ(vc->launchView()->alpha(), 0) << given;
    EXPECT_GE(seconds, std::stod(given) / 1000 + 0.2) << given;
    EXPECT_TRUE(between) << given;
  }
}

TEST_F(LifeCycleTest, APendingOperationHoldsBackTheMemoryPurge) {
  auto controller = start<CountingController>();
  auto busy = std::make_shared<ProbePlugin>("BusyPlugin");
  controller->registerPlugin(busy, "BusyPlugin");
  testing_support::LogCapture log;
  busy->setHasPendingOperation(true);
  platform::ui::Application::shared().didReceiveMemoryWarning();
  EXPECT_EQ(controller->purges, 0);
  EXPECT_TRUE(log.contains("Plugin 'BusyPlugin' has a pending operation, memory purge is delayed"));
  busy->setHasPendingOperation(false);
  platform::ui::Application::shared().didReceiveMemoryWarning();
  EXPECT_EQ(controller->purges, 1);
}

TEST_F(LifeCycleTest, ReleaseDisposesPluginsAndBlanksAndDetachesTheWebView) {
  start();
  auto plugin = std::make_shared<ProbePlugin>("Kept");
  vc->registerPlugin(plugin, "Kept");
  auto webView = web();
  webView->clearRecords();
  vc.reset();
  EXPECT_TRUE(!plugin->viewController() && !plugin->commandDelegate() && !webView->superview());
  ASSERT_EQ(webView->loads().size(), 1u);
  EXPECT_EQ(webView->loads()[0].html, "about:blank");
  // The controller is gone: later notifications find nothing to call.
  platform::ui::Application::shared().willResignActive();
  EXPECT_TRUE(webView->evaluatedScripts().empty());
}

TEST_F(LifeCycleTest, TheAppDelegateShowsTheControllerAndPostsOpenedURLs) {
  auto delegate = std::make_shared<HBRAppDelegate>();
  ASSERT_TRUE(delegate->didFinishLaunchingWithOptions(Value::object()));
  vc = delegate->viewController();
  EXPECT_EQ(delegate->window()->frame(), platform::ui::Screen::mainBounds());
  EXPECT_EQ(delegate->window()->rootViewController(), vc);
  EXPECT_TRUE(vc->isViewLoaded());

  std::vector<Value> posted;
  auto& center = platform::NotificationCenter::defaultCenter();
  for (const char* name : {HBRPluginHandleOpenURLNotification,
                           HBRPluginHandleOpenURLWithAppSourceAndAnnotationNotification})
    center.addObserver(this, name, nullptr,
                       [&](const platform::Notification& n) { posted.push_back(n.object); });
  EXPECT_FALSE(delegate->openURL(std::nullopt, Value::object()));
  EXPECT_TRUE(delegate->openURL(platform::URL::parse("veltro-test://open?x=1"),
                                {{HBRApplicationOpenURLOptionsSourceApplicationKey, "com.other"}}));
  center.removeObserver(this);
  EXPECT_EQ(posted, (std::vector<Value>{
                        "veltro-test://open?x=1",
                        {{"url", "veltro-test://open?x=1"}, {"sourceApplication", "com.other"}}}));
}
