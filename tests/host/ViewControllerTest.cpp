#include "HostPackageFixture.h"
#include "host/HBRCommandDelegateImpl.h"

using namespace hosttest;
using platform::Value;

namespace {

// An engine subclass a package can name with "HarborWebViewEngine".
class CustomEngine : public HBRWebViewEngine {
 public:
  using HBRWebViewEngine::HBRWebViewEngine;
  std::string className() const override { return "CustomEngine"; }
};

// Records whether the web view had been asked to load anything when it was initialised.
class StartupPlugin : public HBRPlugin {
 public:
  std::string className() const override { return "StartupPlugin"; }
  void pluginInitialize() override {
    auto web = std::dynamic_pointer_cast<platform::webkit::HeadlessWebView>(webView());
    loadsAtInitialisation = web ? static_cast<int>(web->loads().size()) : -1;
  }
  static inline int loadsAtInitialisation = -2;
};

}  // namespace

class ViewControllerTest : public HostPackageTest {};

TEST_F(ViewControllerTest, ViewHoldsAHiddenWebViewBehindTheLaunchViewAndLoadsTheStartPage) {
  start();
  EXPECT_EQ(vc->view()->subviews(),
            (std::vector<std::shared_ptr<platform::ui::View>>{vc->webView(), vc->launchView()}));
  EXPECT_TRUE(vc->webView()->isHidden());
  EXPECT_EQ(vc->pluginObjects().count("HBRWebViewEngine"), 1u);

  // Without a "scheme" preference there is no packaged-files scheme handler (only the one that
  // hands "hbrfile" to URL protocols) and the page is a file, readable with its folder.
  EXPECT_TRUE(web()->configuration().urlSchemeHandlers.size() == 1u &&
              web()->configuration().handlerForScheme("hbrfile"));
  // The only script of the page defines the global its answers call.
  EXPECT_TRUE(web()->userContentController()->userScripts().size() == 1u &&
              web()->userContentController()->userScripts()[0].source ==
                  HBRCommandDelegateImpl::nativeCallbackDefinitionScript() &&
              web()->userContentController()->handler("harbor"));
  ASSERT_EQ(web()->loads().size(), 1u);
  const auto& load = web()->loads()[0];
  EXPECT_EQ(load.kind, platform::webkit::HeadlessWebView::Load::Kind::FileURL);
  EXPECT_EQ(load.request.url().path(), www("index.html"));
  EXPECT_EQ(load.baseURL->path(), www());

  ASSERT_TRUE(waitForPageLoad());
  EXPECT_FALSE(vc->webView()->isHidden());
}

class EngineChoiceTest : public ViewControllerTest {
 protected:
  std::string preferences() const override { return pref("HarborWebViewEngine", wanted); }
  std::string wanted = "CustomEngine";
};

TEST_F(EngineChoiceTest, TheConfiguredEngineClassIsUsedAndAnUnknownOneFallsBackUnderTheWantedName) {
  HBRRegisterWebViewEngineClass<CustomEngine>("CustomEngine");
  start();
  EXPECT_EQ(vc->pluginObjects().at("CustomEngine")->className(), "CustomEngine");
  HBRWebViewEngineClassRegistry::shared().unregisterClass("CustomEngine");

  vc.reset();
  start();  // the class is gone now
  EXPECT_EQ(vc->pluginObjects().at("CustomEngine")->className(), "HBRWebViewEngine");
  EXPECT_NE(vc->webView(), nullptr);
}

class StartupTest : public ViewControllerTest {
 protected:
  std::string preferences() const override {
    return R"(<feature name="Early"><param name="ios-package" value="StartupPlugin" onload="true"/></feature>)";
  }
};

TEST_F(StartupTest, StartupPluginsAreInitialisedAndTimedBeforeTheStartPageIsRequested) {
  HBRRegisterPluginClass<StartupPlugin>("StartupPlugin");
  testing_support::LogCapture log;
  start();
  EXPECT_EQ(StartupPlugin::loadsAtInitialisation, 0);
  EXPECT_EQ(vc->pluginObjects().count("StartupPlugin"), 1u);
  EXPECT_TRUE(log.contains("[HBRTimer][early]") && log.contains("[HBRTimer][TotalPluginStartup]"));
  EXPECT_EQ(web()->loads().size(), 1u);
}

class RemoteStartPageTest : public ViewControllerTest {
 protected:
  std::string startPage() const override { return "https://example.com/app/?a=1#top"; }
};

TEST_F(RemoteStartPageTest, AStartPageWithASchemeIsLoadedAsItIs) {
  start();
  ASSERT_EQ(web()->loads().size(), 1u);
  EXPECT_EQ(web()->loads()[0].kind, platform::webkit::HeadlessWebView::Load::Kind::Request);
  EXPECT_EQ(lastLoad(), "https://example.com/app/?a=1#top");
}

class MissingStartPageTest : public ViewControllerTest {
 protected:
  std::string startPage() const override { return "missing&amp;x=1+2.html"; }  // XML-escaped
  std::string preferences() const override {
    return withErrorUrl ? pref("ErrorUrl", "error.html") : "";
  }
  bool withErrorUrl = true;
};

TEST_F(MissingStartPageTest, TheErrorPageGetsTheMessageAsOneQueryValueElseItIsShownInline) {
  testing_support::LogCapture log;
  start();
  std::string message = "ERROR: Start Page at 'www/missing&x=1+2.html' was not found.";
  EXPECT_TRUE(log.contains(message));
  auto url = platform::URL::parse(lastLoad());
  ASSERT_TRUE(url);
  EXPECT_EQ(url->path(), www("error.html"));
  EXPECT_EQ(url->queryItems(), (std::vector<std::pair<std::string, std::string>>{{"error", message}}));

  vc.reset();
  withErrorUrl = false;
  SetUp();
  // A navigation filter that refuses everything it is asked about, as one allowing only the
  // package's own origin does with "about:blank".
  auto filter = std::make_shared<ProbePlugin>("Filter");
  filter->navigationAnswer = false;
  auto controller = HBRViewController::create();
  vc = controller;
  controller->registerPlugin(filter, "Filter");
  controller->view();
  EXPECT_EQ(lastLoad(), "<html><body> " + message + " </body></html>");
  // The message page is the host's own: its navigation is let through, once.
  auto blank = platform::URLRequest(platform::URL::parse("about:blank").value());
  EXPECT_EQ(web()->decidePolicy(blank, platform::webkit::NavigationType::Other), true);
  EXPECT_EQ(web()->decidePolicy(blank, platform::webkit::NavigationType::Other), false);
}

TEST_F(ViewControllerTest, OrientationsComeFromTheInformationDictionaryAndDefaultToPortrait) {
  auto controller = HBRViewController::create();
  EXPECT_EQ(controller->supportedOrientations(), (std::vector<int>{1, 4}));
  EXPECT_EQ(controller->supportedInterfaceOrientations(), 2u + 16u);
  EXPECT_FALSE(controller->supportsOrientation(3));
  Value names = {"UIInterfaceOrientationLandscapeRight", "Sideways", 7,
                 "UIInterfaceOrientationPortraitUpsideDown"};
  EXPECT_EQ(HBRViewController::parseInterfaceOrientations(names), (std::vector<int>{3, 2}));
  EXPECT_EQ(hbr_interfaceOrientationMask(HBRViewController::parseInterfaceOrientations(Value())),
            2u);
}

TEST(ColorString, ParsesTheHexForms) {
  using platform::ui::Color;
  for (const auto& [text, colour] : std::vector<std::pair<const char*, Color>>{
           {"#f0a", {1, 0, 170 / 255.0, 1}}, {"#FF0000", {1, 0, 0, 1}}, {"0x00ff00", {0, 1, 0, 1}},
           {"#800000ff", {0, 0, 1, 128 / 255.0}},
           {"0X80112233", {0x11 / 255.0, 0x22 / 255.0, 0x33 / 255.0, 0x80 / 255.0}}})
    EXPECT_EQ(HBRViewController::colorFromColorString(text), colour) << text;
  for (const char* bad :
       {"", "#ff", "#ffff", "red", "#gggggg", "##ffffff", "#ffffff\n", "0xfffffffff"})
    EXPECT_EQ(HBRViewController::colorFromColorString(bad), std::nullopt) << bad;
}
