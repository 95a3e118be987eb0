#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/plugins/HBRIntentAndNavigationFilter.h"
#include "host/HBRViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/ui/Application.h"
#include "platform/webkit/WebView.h"
#include "support/TestSupport.h"

using platform::webkit::NavigationType;

namespace {

constexpr int kLink = static_cast<int>(NavigationType::LinkActivated);
constexpr int kOther = static_cast<int>(NavigationType::Other);
constexpr int kForm = static_cast<int>(NavigationType::FormSubmitted);
constexpr int kReload = static_cast<int>(NavigationType::Reload);

class IntentFilterTest : public ::testing::Test {
 protected:
  // The launch limit is counted for the whole process: each test starts with none counted and
  // leaves none behind (the sliding-window case counts launches an hour ahead).
  void SetUp() override { HBRExternalLauncher::shared().reset(); }
  void TearDown() override {
    platform::ui::Application::shared().setURLOpener(nullptr);
    HBRExternalLauncher::shared().reset();
  }

  // A host over a package whose "config.xml" holds `rules`, and the filter registered on it.
  void start(const std::string& rules, const std::string& tail = "</widget>") {
    dir.write("package/config.xml", "<?xml version=\"1.0\"?><widget>" + rules + tail);
    platform::Bundle::setMainPath(dir.file("package"));
    platform::ui::Application::shared().setURLOpener([this](const platform::URL& url) {
      opened.push_back(url.absoluteString());
      return true;
    });
    vc = HBRViewController::create();
    vc->setAppScheme(std::string("app"));
    filter = std::make_shared<HBRIntentAndNavigationFilter>();
    vc->registerPlugin(filter, "HBRIntentAndNavigationFilter");
  }

  // A navigation as the web view reports it: by default the user's click in the main frame.
  std::optional<bool> decide(const char* text, int type, const char* mainDocument = nullptr, bool gesture = true,
                             bool mainFrame = true) {
    platform::URLRequest request(*platform::URL::parse(text));
    if (mainDocument) request.setMainDocumentURL(platform::URL::parse(mainDocument));
    return filter->shouldOverrideLoad({request, static_cast<NavigationType>(type), mainFrame, gesture});
  }

  testing_support::ScopedDataRoot dir;
  std::shared_ptr<HBRViewController> vc;
  std::shared_ptr<HBRIntentAndNavigationFilter> filter;
  std::vector<std::string> opened;
};

}  // namespace

TEST_F(IntentFilterTest, WithoutRulesOnlyPackagedPagesNavigate) {
  start("");
  EXPECT_EQ(filter->allowNavigations(), (std::vector<std::string>{"file://", "app://"}));
  EXPECT_TRUE(decide("file:///pkg/www/index.html", kOther) == true &&
              decide("app://localhost/index.html", kLink) == true);

  testing_support::LogCapture log;
  EXPECT_EQ(decide("https://example.com/", kOther), false);
  EXPECT_TRUE(
      log.contains("ERROR Internal navigation rejected - <allow-navigation> not set for url='https://example.com/'"));
  EXPECT_FALSE(log.contains("External navigation rejected"));
  log.clear();
  EXPECT_EQ(decide("https://example.com/", kLink), false);
  EXPECT_TRUE(log.contains("ERROR Internal navigation rejected"));
  EXPECT_TRUE(
      log.contains("ERROR External navigation rejected - <allow-intent> not set for url='https://example.com/'"));
  EXPECT_TRUE(opened.empty());
}

TEST_F(IntentFilterTest, NavigationRulesWinOverIntentRules) {
  start(R"(<allow-navigation href="https://app.example.com/*"/><allow-intent href="https://*/*"/>
           <allow-intent/><allow-navigation/><access origin="*"/>)");
  EXPECT_EQ(filter->allowIntents(), (std::vector<std::string>{"https://*/*"}));
  EXPECT_EQ(filter->filterUrl(*platform::URL::parse("https://app.example.com/a")), NavigationAllowed);
  EXPECT_EQ(filter->filterUrl(*platform::URL::parse("https://elsewhere.org/")), IntentAllowed);
  EXPECT_EQ(decide("https://app.example.com/a", kLink), true);
  EXPECT_TRUE(opened.empty());
}

TEST_F(IntentFilterTest, IntentsOpenOutsideOnlyForLinksAndTopLevelLoads) {
  start(R"(<allow-intent href="mailto:*"/><allow-intent href="https://maps.example.com/*"/>)");
  testing_support::LogCapture log;

  EXPECT_EQ(decide("mailto:someone@example.com", kLink), false);
  EXPECT_EQ(decide("https://maps.example.com/top", kOther, "https://maps.example.com/top"), false);
  EXPECT_EQ(opened, (std::vector<std::string>{"mailto:someone@example.com", "https://maps.example.com/top"}));

  // A redirect inside a frame, a form submission and a reload are neither loaded nor opened,
  // and none of them is an error worth a log line.
  opened.clear();
  EXPECT_EQ(decide("https://maps.example.com/frame", kOther, "app://localhost/index.html"), false);
  for (int type : {kOther, kForm, kReload}) EXPECT_EQ(decide("https://maps.example.com/x", type), false) << type;
  EXPECT_TRUE(opened.empty() && log.lines().empty());
}

TEST_F(IntentFilterTest, IntentsNeedTheUsersGestureInTheMainFrameAndAreLimited) {
  start(R"(<allow-intent href="tel:*"/>)");
  testing_support::LogCapture log;
  // A hidden frame or a location loop: no gesture, or not the main frame. Nothing opens.
  EXPECT_EQ(decide("tel:1", kOther, "tel:1", false), false);
  EXPECT_EQ(decide("tel:2", kLink, nullptr, false), false);
  EXPECT_EQ(decide("tel:3", kOther, "tel:3", true, false), false);
  // Without word of a gesture at all, nothing opens either.
  EXPECT_EQ(filter->shouldOverrideLoadWithRequest(platform::URLRequest(*platform::URL::parse("tel:4")), kLink),
            false);
  EXPECT_TRUE(opened.empty());
  EXPECT_TRUE(log.contains("External launch refused - the user did not start the navigation in the main frame: "
                           "url='tel:1'"));

  // Even clicks launch only so often.
  for (int i = 0; i < HBRIntentAndNavigationFilter::kMaxLaunchesPerWindow + 2; ++i)
    EXPECT_EQ(decide("tel:5", kLink), false);
  EXPECT_EQ(opened.size(), static_cast<size_t>(HBRIntentAndNavigationFilter::kMaxLaunchesPerWindow));
  EXPECT_TRUE(log.contains("External launch refused - more than 3 launches in 10 seconds: url='tel:5'"));

  // The limit is a sliding window.
  auto t0 = std::chrono::steady_clock::now() + std::chrono::hours(1);
  for (int i = 0; i < HBRIntentAndNavigationFilter::kMaxLaunchesPerWindow; ++i)
    EXPECT_TRUE(HBRIntentAndNavigationFilter::allowLaunch(t0));
  EXPECT_FALSE(HBRIntentAndNavigationFilter::allowLaunch(t0 + std::chrono::seconds(9)));
  EXPECT_TRUE(HBRIntentAndNavigationFilter::allowLaunch(t0 + std::chrono::seconds(11)));
}

TEST_F(IntentFilterTest, RulesReadBeforeAnXMLErrorStay) {
  start(R"(<allow-navigation href="https://kept.example.com/*"/>)", "<broken");
  EXPECT_TRUE(decide("https://kept.example.com/x", kLink) == true &&
              decide("file:///pkg/www/index.html", kOther) == true);
}
