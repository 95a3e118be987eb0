#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "app/HBRApplicationMain.h"
#include "app/MainViewController.h"
#include "host/HBRPlugin.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"
#include "platform/webkit/HeadlessWebView.h"
#include "support/TestSupport.h"

// The entry function over a small package: the delegate named "AppDelegate" hosts a
// MainViewController whose launch view covers the page until it has loaded.
TEST(ApplicationMain, StartsTheAppDelegateAndFadesTheLaunchViewAfterTheFirstPage) {
  testing_support::ScopedDataRoot dir;
  dir.write("package/www/index.html", "<html></html>");
  dir.write("package/config.xml", R"(<widget><content src="index.html"/></widget>)");
  platform::Bundle::setMainPath(dir.file("package"));
  bool loaded = false;
  platform::NotificationCenter::defaultCenter().addObserver(
      &loaded, HBRPageDidLoadNotification, nullptr,
      [&](const platform::Notification&) { loaded = true; });

  char name[] = "veltro-shell";
  char* argv[] = {name, nullptr};
  ASSERT_EQ(HBRApplicationMain(1, argv), 0);
  auto delegate =
      std::dynamic_pointer_cast<AppDelegate>(platform::ui::Application::shared().delegate());
  ASSERT_NE(delegate, nullptr);
  auto vc = std::dynamic_pointer_cast<MainViewController>(delegate->window()->rootViewController());
  ASSERT_NE(vc, nullptr);
  EXPECT_EQ(vc->launchView()->alpha(), 1.0);
  EXPECT_NE(std::dynamic_pointer_cast<platform::webkit::HeadlessWebView>(vc->webView()), nullptr);

  ASSERT_TRUE(platform::MainLoop::runUntil([&] { return loaded; }, 5));
  EXPECT_TRUE(platform::MainLoop::runUntil([&] { return vc->launchView()->alpha() == 0; }, 5));
  EXPECT_FALSE(vc->webView()->isHidden());

  platform::NotificationCenter::defaultCenter().removeObserver(&loaded);
  platform::ui::Application::shared().setDelegate(nullptr);
  vc.reset();
  delegate.reset();
  platform::MainLoop::drain();
}

TEST(ApplicationMain, AMissingDelegateClassIsAnErrorStatus) {
  testing_support::LogCapture log;
  HBRRegisterAppClasses();
  HBRApplicationDelegateClassRegistry::shared().registerClass(
      "AppDelegate", [] { return std::shared_ptr<platform::ui::ApplicationDelegate>(); });
  EXPECT_EQ(HBRApplicationMain(0, nullptr), 1);
  EXPECT_TRUE(log.contains("The application delegate class \"AppDelegate\" could not be made."));
  HBRApplicationDelegateClassRegistry::shared().unregisterClass("AppDelegate");
}
