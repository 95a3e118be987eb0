#include "host/HBRWebViewUIDelegate.h"

#include <algorithm>

#include "host/HBRAppDelegate.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Application.h"

namespace {

// A controller whose view is a web view opened by the page.
class HBRWebViewWindowController : public platform::ui::ViewController {
 public:
  explicit HBRWebViewWindowController(std::shared_ptr<platform::webkit::WebView> webView)
      : webView_(std::move(webView)) {}
  std::string className() const override { return "HBRWebViewWindowController"; }
  void loadView() override { setView(webView_); }

 private:
  std::shared_ptr<platform::webkit::WebView> webView_;
};

std::string buttonTitle(const char* key) {
  return platform::Bundle::main().localizedString(key, "");
}

// Wraps a completion so that it runs at most once, whatever the alert presenter does.
template <typename... Args>
std::function<void(Args...)> once(std::function<void(Args...)> completion) {
  auto pending = std::make_shared<std::function<void(Args...)>>(std::move(completion));
  return [pending](Args... args) {
    if (!*pending) return;
    auto run = std::move(*pending);
    *pending = nullptr;
    run(args...);
  };
}

std::shared_ptr<platform::ui::ViewController> rootViewController() {
  auto delegate =
      std::dynamic_pointer_cast<HBRAppDelegate>(platform::ui::Application::shared().delegate());
  auto window = delegate ? delegate->window() : nullptr;
  return window ? window->rootViewController() : nullptr;
}

std::shared_ptr<platform::ui::Alert> makeAlert(const std::string& title,
                                               const std::string& message) {
  auto alert = std::make_shared<platform::ui::Alert>();
  alert->title = title;
  alert->message = message;
  return alert;
}

}  // namespace

void HBRWebViewUIDelegate::runJavaScriptAlertPanel(platform::webkit::WebView&,
                                                   const std::string& message,
                                                   std::function<void()> completion) {
  auto done = once<>(std::move(completion));
  auto alert = makeAlert(title_, message);
  alert->actions.push_back({buttonTitle("OK"), platform::ui::AlertActionStyle::Default,
                            [done](const std::vector<std::string>&) { done(); }});
  platform::ui::AlertPresenter::present(alert);
}

void HBRWebViewUIDelegate::runJavaScriptConfirmPanel(platform::webkit::WebView&,
                                                     const std::string& message,
                                                     std::function<void(bool)> completion) {
  auto done = once<bool>(std::move(completion));
  auto alert = makeAlert(title_, message);
  alert->actions.push_back({buttonTitle("OK"), platform::ui::AlertActionStyle::Default,
                            [done](const std::vector<std::string>&) { done(true); }});
  alert->actions.push_back({buttonTitle("Cancel"), platform::ui::AlertActionStyle::Default,
                            [done](const std::vector<std::string>&) { done(false); }});
  platform::ui::AlertPresenter::present(alert);
}

void HBRWebViewUIDelegate::runJavaScriptTextInputPanel(
    platform::webkit::WebView&, const std::string& prompt, const std::string& defaultText,
    std::function<void(std::optional<std::string>)> completion) {
  auto done = once<std::optional<std::string>>(std::move(completion));
  auto alert = makeAlert(title_, prompt);
  alert->textFields.push_back({defaultText, ""});
  alert->actions.push_back({buttonTitle("OK"), platform::ui::AlertActionStyle::Default,
                            [done](const std::vector<std::string>& texts) {
                              done(texts.empty() ? std::string() : texts.front());
                            }});
  // Cancel answers nothing, whatever was typed.
  alert->actions.push_back({buttonTitle("Cancel"), platform::ui::AlertActionStyle::Default,
                            [done](const std::vector<std::string>&) { done(std::nullopt); }});
  platform::ui::AlertPresenter::present(alert);
}

std::shared_ptr<platform::webkit::WebView> HBRWebViewUIDelegate::createWebView(
    platform::webkit::WebView& webView, const platform::webkit::WebViewConfiguration& configuration,
    const platform::webkit::NavigationAction& action) {
  if (action.targetsMainFrame) return nullptr;
  auto root = allowNewWindows_ ? rootViewController() : nullptr;
  if (allowNewWindows_ && !root)
    platform::log(
        "There is no window to present a new web view from; loading it in the same web view.");
  if (!root) {
    webView.loadRequest(action.request);
    return nullptr;
  }
  auto window = platform::webkit::makeWebView(webView.frame(), configuration);
  if (!window) {
    webView.loadRequest(action.request);
    return nullptr;
  }
  window->setUIDelegate(webView.uiDelegate());
  window->setNavigationDelegate(webView.navigationDelegate());
  auto controller = std::make_shared<HBRWebViewWindowController>(window);
  controller->view();
  windows_.push_back(controller);
  root->presentViewController(controller, true);
  return window;
}

void HBRWebViewUIDelegate::webViewDidClose(platform::webkit::WebView& webView) {
  auto it = std::find_if(windows_.begin(), windows_.end(), [&](const auto& controller) {
    return controller->isViewLoaded() && controller->view().get() == &webView;
  });
  if (it == windows_.end()) return;
  auto controller = *it;
  windows_.erase(it);
  controller->dismissViewController(true);
}
