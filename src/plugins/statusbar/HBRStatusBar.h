#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/HBRPlugin.h"
#include "platform/ui/Geometry.h"
#include "platform/ui/View.h"

class HBRPluginResult;

// The fixed callback id on which frame changes of the status bar are reported.
inline constexpr const char* HBRStatusBarStaticChannel = "StatusBarStaticChannel";

// Lets the web application show and hide the status bar, choose its style and the colour of
// a strip behind it, and decide whether the web view reaches under the status bar
// ("overlays") or starts below it. Visibility changes and taps on the status bar go to the
// page on the callback of `_ready`; the web view's frame follows the status bar's height.
// Main thread only.
class HBRStatusBar : public HBRPlugin {
 public:
  HBRStatusBar();
  ~HBRStatusBar() override;
  std::string className() const override { return "HBRStatusBar"; }

  void pluginInitialize() override;
  void onReset() override;

  // Actions.
  void _ready(const HBRInvokedUrlCommand& command);
  void overlaysWebView(const HBRInvokedUrlCommand& command);
  void styleDefault(const HBRInvokedUrlCommand& command);
  void styleLightContent(const HBRInvokedUrlCommand& command);
  void styleBlackTranslucent(const HBRInvokedUrlCommand& command);
  void styleBlackOpaque(const HBRInvokedUrlCommand& command);
  void backgroundColorByName(const HBRInvokedUrlCommand& command);
  void backgroundColorByHexString(const HBRInvokedUrlCommand& command);
  void hide(const HBRInvokedUrlCommand& command);
  void show(const HBRInvokedUrlCommand& command);
  void isStatusBarOverlayingWebview(const HBRInvokedUrlCommand& command);
  void getStatusBarHeight(const HBRInvokedUrlCommand& command);

  // Observed events.
  void statusBarDidChangeFrame();
  void harborViewWillAppear();
  // A tap on the status bar: sends the tap event. Answers false: the tap catcher itself
  // never scrolls.
  bool scrollViewShouldScrollToTop();

  bool statusBarVisible() const { return statusBarVisible_; }
  bool statusBarOverlaysWebView() const { return statusBarOverlaysWebView_; }
  bool viewControllerBasedStatusBarAppearance() const { return uiviewControllerBasedStatusBarAppearance_; }
  std::shared_ptr<platform::ui::View> statusBarBackgroundView() const { return statusBarBackgroundView_; }
  std::optional<platform::ui::Color> statusBarBackgroundColor() const { return statusBarBackgroundColor_; }
  const std::optional<std::string>& eventsCallbackId() const { return eventsCallbackId_; }

  // The web view's top for a status bar `statusBarHeight` high and a top safe-area inset of
  // `topInset`, overlaying or not.
  static double webViewTop(double statusBarHeight, double topInset, bool overlays);
  // "#RRGGBB": the hexadecimal number from the second character on (0 when there is none);
  // nullopt unless the text begins with "#" and has at least 7 characters.
  static std::optional<platform::ui::Color> colorFromHexString(const std::string& text);
  // The system colour of that name ("red", "darkGray", "clear", ...), from a fixed table.
  static std::optional<platform::ui::Color> colorNamed(const std::string& name);
  // 3 for "default"; 1 for "lightcontent", "blacktranslucent" and "blackopaque"; nullopt otherwise.
  static std::optional<int> styleCodeForName(const std::string& lowerCaseName);

 private:
  std::shared_ptr<HBRStatusBar> self();
  void setStatusBarOverlaysWebView(bool overlays);
  void setStyleForStatusBar(int style);
  void setStatusBarStyleByName(const std::string& name);
  // With view-controller-based appearance through the host controller's wish, else directly.
  void setStatusBarHidden(bool hidden);
  void refreshStatusBarAppearance();
  void initializeStatusBarBackgroundView();
  void resizeStatusBarBackgroundView();
  void resizeWebView();
  void applyBackgroundColorByHexString(const std::string& text);
  void fireEvent(platform::Value message);
  void sendResult(const HBRInvokedUrlCommand& command, std::shared_ptr<HBRPluginResult> result);
  std::shared_ptr<platform::ui::View> webViewSuperview() const;

  bool uiviewControllerBasedStatusBarAppearance_ = true;
  bool statusBarOverlaysWebView_ = true;
  bool statusBarVisible_ = true;
  bool defaultScrollsToTop_ = false;
  std::shared_ptr<platform::ui::View> statusBarBackgroundView_;
  std::optional<platform::ui::Color> statusBarBackgroundColor_;
  std::optional<std::string> eventsCallbackId_;
};

// Registers HBRStatusBar under its class name (unless the program registered its own first).
void HBRRegisterStatusBarPlugin();
