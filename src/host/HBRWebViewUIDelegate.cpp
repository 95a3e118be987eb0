#include "host/HBRWebViewUIDelegate.h"

#include <algorithm>

#include "host/HBRAppDelegate.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
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
  auto alert = makeAlert(title_, shortened(message, kMaxDialogTextBytes));
  alert->actions.push_back({buttonTitle("OK"), platform::ui::AlertActionStyle::Default,
                            [done](const std::vector<std::string>&) { done(); }});
  platform::ui::AlertPresenter::present(alert);
}

void HBRWebViewUIDelegate::runJavaScriptConfirmPanel(platform::webkit::WebView&,
                                                     const std::string& message,
                                                     std::function<void(bool)> completion) {
  auto done = once<bool>(std::move(completion));
  auto alert = makeAlert(title_, shortened(message, kMaxDialogTextBytes));
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
  auto alert = makeAlert(title_, shortened(prompt, kMaxDialogTextBytes));
  alert->textFields.push_back({shortened(defaultText, kMaxPromptDefaultBytes, false), ""});
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
  if (!mayOpenWindowFor(webView, action)) {
    platform::log("Refused to open " + action.request.url().absoluteString() +
                  " for a new window: the navigation rules do not allow it.");
    return nullptr;
  }
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

bool HBRWebViewUIDelegate::mayOpenWindowFor(platform::webkit::WebView& webView,
                                            const platform::webkit::NavigationAction& action) {
  const platform::URL& url = action.request.url();
  if (url.isFileURL()) {
    std::string package = platform::fs::normalizePath(platform::Bundle::main().bundlePath());
    if (package.empty() || !platform::fs::isInside(platform::fs::normalizePath(url.path()), package)) return false;
  }
  auto policy = webView.navigationDelegate();
  // A web view without a navigation delegate has no rules to apply; the engine always sets one.
  if (!policy) return true;
  // The page would load as a top-level document. The answer must come now: a new window's
  // web view is wanted at once; a later answer is ignored.
  platform::webkit::NavigationAction asked = action;
  asked.targetsMainFrame = true;
  asked.userGesture = false;
  asked.request.setMainDocumentURL(url);
  auto answer = std::make_shared<std::optional<bool>>();
  policy->decidePolicyForNavigationAction(webView, asked, [answer](bool allow) {
    if (!*answer) *answer = allow;
  });
  bool allowed = answer->value_or(false);
  // Answers that arrive after this call are not ours to act on.
  *answer = false;
  return allowed;
}

std::string HBRWebViewUIDelegate::shortened(const std::string& text, size_t maxBytes, bool markCut) {
  std::string clean = platform::replacingInvalidUTF8(text);
  if (clean.size() <= maxBytes) return clean;
  const std::string mark = markCut ? "\u2026" : "";
  size_t cut = maxBytes > mark.size() ? maxBytes - mark.size() : 0;
  // Back to the start of a character: continuation bytes are 10xxxxxx.
  while (cut > 0 && (static_cast<unsigned char>(clean[cut]) & 0xC0) == 0x80) --cut;
  return clean.substr(0, cut) + mark;
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
