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
  auto confirm = [&](bool ok) { confirms.push_back(ok); };
  auto prompt = [&](auto text) { prompts.push_back(text); };
  typed = {"typed text"};
  delegate.runJavaScriptAlertPanel(webView, "Hello", [&] { ++alerts; });
  delegate.runJavaScriptConfirmPanel(webView, "Sure?", confirm);
  delegate.runJavaScriptTextInputPanel(webView, "Name?", "default", prompt);
  button = 1;  // Cancel answers nothing, whatever was typed.
  delegate.runJavaScriptConfirmPanel(webView, "Sure?", confirm);
  delegate.runJavaScriptTextInputPanel(webView, "Name?", "default", prompt);
  EXPECT_EQ(alerts, 1);
  EXPECT_EQ(confirms, (std::vector<bool>{true, false}));
  EXPECT_EQ(prompts, (std::vector<std::optional<std::string>>{"typed text", std::nullopt}));
  ASSERT_EQ(shown.size(), 5u);
  EXPECT_EQ(shown[0].title + " / " + shown[0].message, "My App / Hello");
  EXPECT_EQ(shown[1].actions[0].title + " " + shown[1].actions[1].title, "Okay Abort");
  EXPECT_EQ(shown[2].textFields[0].text, "default");

  // A presenter that answers twice still completes the page's dialog once.
  platform::ui::AlertPresenter::setPresenter([](const std::shared_ptr<Alert>& alert) {
    platform::ui::AlertPresenter::answer(*alert, 0, {"a"});
    platform::ui::AlertPresenter::answer(*alert, 1);
  });
  delegate.runJavaScriptTextInputPanel(webView, "Again?", "", prompt);
  EXPECT_EQ(prompts.size(), 3u);
  EXPECT_EQ(prompts.back(), "a");
}

TEST_F(UIDelegateTest, DialogTextIsCutButPromptDefaultsComeBackWhole) {
  // A page's text fills no screen: it is cut at a character boundary, with a mark.
  std::string longText;
  while (longText.size() < 5000) longText += "\xC3\xBC";  // ü, two bytes each
  delegate.runJavaScriptAlertPanel(webView, longText + "x", [] {});
  delegate.runJavaScriptConfirmPanel(webView, std::string(3000, 'c'), [](bool) {});
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_LE(shown[0].message.size(), HBRWebViewUIDelegate::kMaxDialogTextBytes);
  EXPECT_GT(shown[0].message.size(), HBRWebViewUIDelegate::kMaxDialogTextBytes - 8);
  EXPECT_EQ(shown[0].message.substr(shown[0].message.size() - 3), "\xE2\x80\xA6");
  EXPECT_EQ(shown[0].message.substr(0, shown[0].message.size() - 3).size() % 2, 0u);  // no half character
  EXPECT_LE(shown[1].message.size(), HBRWebViewUIDelegate::kMaxDialogTextBytes);

  // The prompt's default text is the page's own up to its limit; the page gets it back.
  // The user presses OK without touching the field.
  platform::ui::AlertPresenter::setPresenter([this](const std::shared_ptr<Alert>& alert) {
    shown.push_back(*alert);
    std::vector<std::string> texts;
    for (const auto& field : alert->textFields) texts.push_back(field.text);
    platform::ui::AlertPresenter::answer(*alert, 0, texts);
  });
  std::vector<std::optional<std::string>> prompts;
  std::string fullDefault(20000, 'd');
  delegate.runJavaScriptTextInputPanel(webView, "Name?", fullDefault, [&](auto text) { prompts.push_back(text); });
  std::string hugeDefault(HBRWebViewUIDelegate::kMaxPromptDefaultBytes + 100, 'h');
  delegate.runJavaScriptTextInputPanel(webView, "Name?", hugeDefault, [&](auto text) { prompts.push_back(text); });
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_TRUE(shown[2].textFields[0].text == fullDefault);
  EXPECT_EQ(shown[3].textFields[0].text.size(), HBRWebViewUIDelegate::kMaxPromptDefaultBytes);
  ASSERT_EQ(prompts.size(), 2u);
  EXPECT_TRUE(prompts[0] == fullDefault);
  EXPECT_EQ(prompts[1].value_or("").size(), HBRWebViewUIDelegate::kMaxPromptDefaultBytes);
}

class NewWindowPolicyTest : public UIDelegateTest {
 protected:
  std::string preferences() const override {
    return R"(<feature name="IntentAndNavigationFilter"><param name="ios-package" value="HBRIntentAndNavigationFilter"/>
              <param name="onload" value="true"/></feature>
              <allow-navigation href="https://example.com/*"/><allow-intent href="tel:*"/>)";
  }
  platform::webkit::NavigationAction newWindow(const std::string& url) {
    return {platform::URLRequest(platform::URL::parse(url).value()), platform::webkit::NavigationType::LinkActivated,
            false, true};
  }
};

TEST_F(NewWindowPolicyTest, NewWindowsPassTheNavigationRules) {
  start();
  auto main = web();
  auto* hbrDelegate = dynamic_cast<HBRWebViewUIDelegate*>(main->uiDelegate().get());
  ASSERT_NE(hbrDelegate, nullptr);
  std::vector<std::string> opened;
  platform::ui::Application::shared().setURLOpener([&](const platform::URL& url) {
    opened.push_back(url.absoluteString());
    return true;
  });
  main->clearRecords();
  testing_support::LogCapture log;
  // Files outside the package, pages the rules refuse, intents and blank pages never take the
  // application's view.
  for (const std::string& url : {std::string("file:///etc/passwd"), "file://" + dir.file("data/Library/Cookies/c.sqlite"),
                                std::string("https://evil.example.org/"), std::string("about:blank"),
                                std::string("tel:123")}) {
    EXPECT_EQ(hbrDelegate->createWebView(*main, main->configuration(), newWindow(url)), nullptr) << url;
  }
  EXPECT_TRUE(main->loads().empty() && opened.empty());
  EXPECT_TRUE(log.contains("Refused to open file:///etc/passwd for a new window"));

  // What the rules allow loads in place, and a file of the package is allowed.
  EXPECT_EQ(hbrDelegate->createWebView(*main, main->configuration(), newWindow("https://example.com/n")), nullptr);
  EXPECT_EQ(hbrDelegate->createWebView(*main, main->configuration(),
                                       newWindow(platform::URL::fileURL(www("sub/page.html")).absoluteString())),
            nullptr);
  ASSERT_EQ(main->loads().size(), 2u);
  EXPECT_EQ(main->loads()[0].request.url().absoluteString(), "https://example.com/n");
  platform::ui::Application::shared().setURLOpener(nullptr);
}

TEST_F(NewWindowPolicyTest, AllowedNewWindowsArePresentedAndDismissedWhenTheirPageClosesThem) {
  auto app = std::make_shared<HBRAppDelegate>();
  platform::ui::Application::shared().setDelegate(app);
  ASSERT_TRUE(app->didFinishLaunchingWithOptions(platform::Value::object()));
  vc = app->viewController();
  auto main = web();
  auto hbrDelegate = dynamic_cast<HBRWebViewUIDelegate*>(main->uiDelegate().get());
  ASSERT_NE(hbrDelegate, nullptr);
  hbrDelegate->setAllowNewWindows(true);
  platform::webkit::NavigationAction blank{
      platform::URLRequest(platform::URL::parse("https://example.com/n").value()),
      platform::webkit::NavigationType::LinkActivated, false};
  auto opened = hbrDelegate->createWebView(*main, main->configuration(), blank);
  ASSERT_NE(opened, nullptr);
  EXPECT_TRUE(opened->uiDelegate() == main->uiDelegate() && opened->navigationDelegate() == main->navigationDelegate());
  ASSERT_EQ(hbrDelegate->windows().size(), 1u);
  EXPECT_EQ(vc->presentedViewController(), hbrDelegate->windows()[0]);
  EXPECT_EQ(hbrDelegate->windows()[0]->view(), opened);

  // A main-frame target is no new window at all.
  auto mainFrame = blank;
  mainFrame.targetsMainFrame = true;
  EXPECT_EQ(hbrDelegate->createWebView(*main, main->configuration(), mainFrame), nullptr);
  EXPECT_EQ(hbrDelegate->windows().size(), 1u);

  hbrDelegate->webViewDidClose(*main);  // not one of the extra windows
  EXPECT_EQ(hbrDelegate->windows().size(), 1u);
  hbrDelegate->webViewDidClose(*opened);
  EXPECT_TRUE(hbrDelegate->windows().empty() && !vc->presentedViewController());
}
