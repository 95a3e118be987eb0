#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/ViewController.h"
#include "platform/webkit/WebView.h"

// Shows the page's alert, confirm and prompt dialogs as native alerts titled with the
// application's name, and opens the page's new windows: in a second web view presented
// over the application when new windows are allowed, else in the same web view.
// Main thread only.
class HBRWebViewUIDelegate : public platform::webkit::UIDelegate {
 public:
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
