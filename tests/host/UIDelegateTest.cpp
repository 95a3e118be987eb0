#include "HostPackageFixture.h"
#include "host/HBRWebViewUIDelegate.h"

using namespace hosttest;
using platform::ui::Alert;
using platform::webkit::HeadlessWebView;

class UIDelegateTest : public HostPackageTest {
 protected:
  void SetUp() override {
    HostPackageTest::SetUp();
    dir.write("package/en.lproj/Localizable.strings",
              "\"OK\" = \"Okay\";\n\"Cancel\" = \"Abort\";\n");
    platform::Bundle::setMainPath(dir.file("package"));
    // Answers every alert with button `button` and the field texts `typed`.
    platform::ui::AlertPresenter::setPresenter([this](const std::shared_ptr<Alert>& alert) {
      shown.push_back(*alert);
      platform::ui::AlertPresenter::answer(*alert, button, typed);
    });
  }
  std::vector<Alert> shown;
  size_t button = 0;
  std::vector<std::string> typed;
  HBRWebViewUIDelegate delegate{"My App"};
  HeadlessWebView webView;
};

TEST_F(UIDelegateTest, DialogsAreTitledAlertsWithLocalisedButtonsAndCompleteOnce) {
  int alerts = 0;
  std::vector<bool> confirms;
  std::vector<std::optional<std::string>> prompts;
  typed = {"typed text"};
  delegate.runJavaScriptAlertPanel(webView, "Hello", [&] { ++alerts; });
  delegate.runJavaScriptConfirmPanel(webView, "Sure?", [&](bool ok) { confirms.push_back(ok); });
  delegate.runJavaScriptTextInputPanel(webView, "Name?", "default",
                                       [&](auto text) { prompts.push_back(text); });
  button = 1;  // Cancel answers nothing, whatever was typed.
  delegate.runJavaScriptConfirmPanel(webView, "Sure?", [&](bool ok) { confirms.push_back(ok); });
  delegate.runJavaScriptTextInputPanel(webView, "Name?", "default",
                                       [&](auto text) { prompts.push_back(text); });
  EXPECT_EQ(alerts, 1);
  EXPECT_EQ(confirms, (std::vector<bool>{true, false}));
  EXPECT_EQ(prompts, (std::vector<std::optional<std::string>>{"typed text", std::nullopt}));
  ASSERT_EQ(shown.size(), 5u);
  EXPECT_EQ(shown[0].title, "My App");
  EXPECT_EQ(shown[0].message, "Hello");
  EXPECT_EQ(shown[1].actions[0].title, "Okay");
  EXPECT_EQ(shown[1].actions[1].title, "Abort");
  EXPECT_EQ(shown[2].textFields[0].text, "default");

  // A presenter that answers twice still completes the page's dialog once.
  platform::ui::AlertPresenter::setPresenter([](const std::shared_ptr<Alert>& alert) {
    platform::ui::AlertPresenter::answer(*alert, 0, {"a"});
    platform::ui::AlertPresenter::answer(*alert, 1);
  });
  delegate.runJavaScriptTextInputPanel(webView, "Again?", "",
                                       [&](auto text) { prompts.push_back(text); });
  EXPECT_EQ(prompts.size(), 3u);
  EXPECT_EQ(prompts.back(), "a");
}

TEST_F(UIDelegateTest, NewWindowsLoadInPlaceUnlessAllowed) {
  platform::webkit::NavigationAction blank{
      platform::URLRequest(platform::URL::parse("https://example.com/n").value()),
      platform::webkit::NavigationType::LinkActivated, false};
  EXPECT_EQ(delegate.createWebView(webView, webView.configuration(), blank), nullptr);
  ASSERT_EQ(webView.loads().size(), 1u);
  EXPECT_EQ(webView.loads()[0].request.url().absoluteString(), "https://example.com/n");

  // A main-frame target is no new window at all.
  auto mainFrame = blank;
  mainFrame.targetsMainFrame = true;
  delegate.setAllowNewWindows(true);
  EXPECT_EQ(delegate.createWebView(webView, webView.configuration(), mainFrame), nullptr);
  EXPECT_EQ(webView.loads().size(), 1u);
}

TEST_F(UIDelegateTest, AllowedNewWindowsArePresentedAndDismissedWhenTheirPageClosesThem) {
  auto app = std::make_shared<HBRAppDelegate>();
  platform::ui::Application::shared().setDelegate(app);
  ASSERT_TRUE(app->didFinishLaunchingWithOptions(platform::Value::object()));
  vc = app->viewController();
  auto main = web();
  auto& mainDelegate = *main->uiDelegate();

  auto hbrDelegate = dynamic_cast<HBRWebViewUIDelegate*>(&mainDelegate);
  ASSERT_NE(hbrDelegate, nullptr);
  hbrDelegate->setAllowNewWindows(true);
  platform::webkit::NavigationAction blank{
      platform::URLRequest(platform::URL::parse("https://example.com/n").value()),
      platform::webkit::NavigationType::LinkActivated, false};
  auto opened = hbrDelegate->createWebView(*main, main->configuration(), blank);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened->uiDelegate(), main->uiDelegate());
  EXPECT_EQ(opened->navigationDelegate(), main->navigationDelegate());
  ASSERT_EQ(hbrDelegate->windows().size(), 1u);
  EXPECT_EQ(vc->presentedViewController(), hbrDelegate->windows()[0]);
  EXPECT_EQ(hbrDelegate->windows()[0]->view(), opened);

  hbrDelegate->webViewDidClose(*main);  // not one of the extra windows
  EXPECT_EQ(hbrDelegate->windows().size(), 1u);
  hbrDelegate->webViewDidClose(*opened);
  EXPECT_TRUE(hbrDelegate->windows().empty());
  EXPECT_EQ(vc->presentedViewController(), nullptr);
}
