#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/ViewController.h"
#include "platform/webkit/WebView.h"

// Shows the page's alert, confirm and prompt dialogs as native alerts titled with the
// application's name, and opens the page's new windows: in a second web view presented
// over the application when new windows are allowed, else in the same web view. A new
// window's page passes the navigation policy like any other navigation, and never is a file
// outside the application package. Main thread only.
class HBRWebViewUIDelegate : public platform::webkit::UIDelegate {
 public:
  // A dialog shows at most this many bytes of the page's text (cut at a character boundary,
  // with an ellipsis): a page cannot fill the screen with one.
  static constexpr size_t kMaxDialogTextBytes = 1000;
  // A prompt's default text is offered whole up to this many bytes and cut beyond.
  static constexpr size_t kMaxPromptDefaultBytes = 64 * 1024;

  explicit HBRWebViewUIDelegate(std::string title) : title_(std::move(title)) {}

  void runJavaScriptAlertPanel(platform::webkit::WebView& webView, const std::string& message,
                               std::function<void()> completion) override;
  void runJavaScriptConfirmPanel(platform::webkit::WebView& webView, const std::string& message,
                                 std::function<void(bool)> completion) override;
  void runJavaScriptTextInputPanel(
      platform::webkit::WebView& webView, const std::string& prompt, const std::string& defaultText,
      std::function<void(std::optional<std::string>)> completion) override;
  std::shared_ptr<platform::webkit::WebView> createWebView(
      platform::webkit::WebView& webView,
      const platform::webkit::WebViewConfiguration& configuration,
      const platform::webkit::NavigationAction& action) override;
  void webViewDidClose(platform::webkit::WebView& webView) override;

  // Whether a new window may show `action`'s page: the same navigation policy as every
  // navigation of `webView` (asked without the user's gesture, so it never opens an intent),
  // and no file outside the application package.
  static bool mayOpenWindowFor(platform::webkit::WebView& webView, const platform::webkit::NavigationAction& action);
  // `text` cut to at most `maxBytes` bytes at a UTF-8 character boundary, "…" marking a cut.
  static std::string shortened(const std::string& text, size_t maxBytes, bool markCut = true);

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  bool allowNewWindows() const { return allowNewWindows_; }
  void setAllowNewWindows(bool allow) { allowNewWindows_ = allow; }
  // The controllers of the open extra windows, in opening order.
  const std::vector<std::shared_ptr<platform::ui::ViewController>>& windows() const {
    return windows_;
  }

 private:
  std::string title_;
  bool allowNewWindows_ = false;
  std::vector<std::shared_ptr<platform::ui::ViewController>> windows_;
};
