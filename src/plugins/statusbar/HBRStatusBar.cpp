#include "plugins/statusbar/HBRStatusBar.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <map>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "host/HBRSettings.h"
#include "host/HBRViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"
#include "platform/ui/Application.h"
#include "platform/ui/StatusBar.h"
#include "platform/webkit/WebView.h"

using platform::Value;
using platform::ui::Color;
using platform::ui::Rect;
using platform::ui::StatusBar;

namespace {

// How long a resize waits after a frame change or a view appearing, so that the system has
// laid the views out by then.
constexpr double kResizeDelaySeconds = 0.1;

}  // namespace

HBRStatusBar::HBRStatusBar() {
  registerAction("_ready", &HBRStatusBar::_ready);
  registerAction("overlaysWebView", &HBRStatusBar::overlaysWebView);
  registerAction("styleDefault", &HBRStatusBar::styleDefault);
  registerAction("styleLightContent", &HBRStatusBar::styleLightContent);
  registerAction("styleBlackTranslucent", &HBRStatusBar::styleBlackTranslucent);
  registerAction("styleBlackOpaque", &HBRStatusBar::styleBlackOpaque);
  registerAction("backgroundColorByName", &HBRStatusBar::backgroundColorByName);
  registerAction("backgroundColorByHexString", &HBRStatusBar::backgroundColorByHexString);
  registerAction("hide", &HBRStatusBar::hide);
  registerAction("show", &HBRStatusBar::show);
  registerAction("isStatusBarOverlayingWebview", &HBRStatusBar::isStatusBarOverlayingWebview);
  registerAction("getStatusBarHeight", &HBRStatusBar::getStatusBarHeight);
}

HBRStatusBar::~HBRStatusBar() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

std::shared_ptr<HBRStatusBar> HBRStatusBar::self() {
  return std::static_pointer_cast<HBRStatusBar>(shared_from_this());
}

void HBRStatusBar::pluginInitialize() {
  Value based = platform::Bundle::main().objectForInfoDictionaryKey("UIViewControllerBasedStatusBarAppearance");
  if (based.is_boolean()) uiviewControllerBasedStatusBarAppearance_ = based.get<bool>();
  else if (based.is_number()) uiviewControllerBasedStatusBarAppearance_ = based.get<double>() != 0;

  std::weak_ptr<HBRStatusBar> weak = self();
  auto& center = platform::NotificationCenter::defaultCenter();
  center.addObserver(this, platform::ui::kStatusBarHiddenDidChangeNotification, nullptr,
                     [weak](const platform::Notification& note) {
                       auto plugin = weak.lock();
                       if (!plugin || !note.userInfo.is_object()) return;
                       plugin->fireEvent(!note.userInfo.value("new", false));
                     });
  center.addObserver(this, platform::ui::kApplicationDidChangeStatusBarFrameNotification, nullptr,
                     [weak](const platform::Notification&) {
                       if (auto plugin = weak.lock()) plugin->statusBarDidChangeFrame();
                     });
  center.addObserver(this, HBRViewWillAppearNotification, nullptr, [weak](const platform::Notification&) {
    if (auto plugin = weak.lock()) plugin->harborViewWillAppear();
  });
  // The desktop has no scroll view behind the status bar to catch its taps; the status bar
  // reports them itself.
  center.addObserver(this, platform::ui::kStatusBarTappedNotification, nullptr,
                     [weak](const platform::Notification&) {
                       auto plugin = weak.lock();
                       if (!plugin) return;
                       plugin->scrollViewShouldScrollToTop();
                       if (auto web = plugin->defaultScrollsToTop_ ? plugin->webView() : nullptr)
                         web->evaluateJavaScript("window.scrollTo(0, 0);", [](const Value&, const auto&) {});
                     });

  statusBarOverlaysWebView_ = true;
  initializeStatusBarBackgroundView();
  if (auto vc = viewController()) vc->view()->setAutoresizesSubviews(true);

  Value settings = commandDelegate() ? commandDelegate()->settings() : Value::object();
  if (auto hex = harborStringSettingForKey(settings, "StatusBarBackgroundColor")) applyBackgroundColorByHexString(*hex);
  if (auto style = harborStringSettingForKey(settings, "StatusBarStyle")) {
    if (*style == "blacktranslucent" || *style == "blackopaque")
      platform::log(*style + " is deprecated and will be removed in next major release, use lightcontent");
    setStatusBarStyleByName(*style);
  }
  defaultScrollsToTop_ = harborSettingForKey(settings, "StatusBarDefaultScrollToTop").has_value() &&
                         harborBoolSettingForKey(settings, "StatusBarDefaultScrollToTop", false);
  statusBarVisible_ = !StatusBar::shared().isHidden();
}

void HBRStatusBar::onReset() { eventsCallbackId_.reset(); }

// Actions.

void HBRStatusBar::_ready(const HBRInvokedUrlCommand& command) {
  eventsCallbackId_ = command.callbackId();
  fireEvent(statusBarVisible_);
  Value settings = commandDelegate() ? commandDelegate()->settings() : Value::object();
  if (harborSettingForKey(settings, "StatusBarOverlaysWebView")) {
    bool overlays = harborBoolSettingForKey(settings, "StatusBarOverlaysWebView", true);
    setStatusBarOverlaysWebView(overlays);
    if (overlays) resizeWebView();
  }
  // Viewport fit is for web views other than the engine's WebKit one, which this always is.
  Value viewport = Value::object();
  viewport["type"] = "viewport";
  viewport["disableiOS12"] = false;
  fireEvent(viewport);
}

void HBRStatusBar::overlaysWebView(const HBRInvokedUrlCommand& command) {
  Value value = command.argumentAtIndex(0, true, HBRArgumentKind::Number);
  bool overlays = value.is_boolean() ? value.get<bool>() : value.get<double>() != 0;
  setStatusBarOverlaysWebView(overlays);
  sendResult(command, HBRPluginResult::resultWithStatusAsBool(HBRResultStatus::OK, statusBarOverlaysWebView_));
}

void HBRStatusBar::styleDefault(const HBRInvokedUrlCommand&) { setStyleForStatusBar(platform::ui::kStatusBarStyleDarkContent); }
void HBRStatusBar::styleLightContent(const HBRInvokedUrlCommand&) {
  setStyleForStatusBar(platform::ui::kStatusBarStyleLightContent);
}
void HBRStatusBar::styleBlackTranslucent(const HBRInvokedUrlCommand&) {
  setStyleForStatusBar(platform::ui::kStatusBarStyleLightContent);
}
void HBRStatusBar::styleBlackOpaque(const HBRInvokedUrlCommand&) {
  setStyleForStatusBar(platform::ui::kStatusBarStyleLightContent);
}

void HBRStatusBar::backgroundColorByName(const HBRInvokedUrlCommand& command) {
  std::string name = command.argumentAtIndex(0, "black", HBRArgumentKind::String).get<std::string>();
  // Only the strip changes: the colour the strip is made with stays the hexadecimal one.
  if (auto color = colorNamed(name); color && statusBarBackgroundView_) statusBarBackgroundView_->setBackgroundColor(color);
}

void HBRStatusBar::backgroundColorByHexString(const HBRInvokedUrlCommand& command) {
  applyBackgroundColorByHexString(command.argumentAtIndex(0, "#000000", HBRArgumentKind::String).get<std::string>());
}

void HBRStatusBar::hide(const HBRInvokedUrlCommand& command) {
  statusBarVisible_ = false;
  if (!StatusBar::shared().isHidden()) {
    setStatusBarHidden(true);
    if (statusBarBackgroundView_) statusBarBackgroundView_->removeFromSuperview();
    resizeWebView();
    if (statusBarBackgroundView_) statusBarBackgroundView_->setHidden(true);
  }
  sendResult(command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK));
}

void HBRStatusBar::show(const HBRInvokedUrlCommand& command) {
  statusBarVisible_ = true;
  if (StatusBar::shared().isHidden()) {
    setStatusBarHidden(false);
    resizeWebView();
    if (!statusBarOverlaysWebView_ && statusBarBackgroundView_) {
      resizeStatusBarBackgroundView();
      if (auto parent = webViewSuperview()) parent->addSubview(statusBarBackgroundView_);
    }
  }
  if (statusBarBackgroundView_) statusBarBackgroundView_->setHidden(false);
  sendResult(command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK));
}

void HBRStatusBar::isStatusBarOverlayingWebview(const HBRInvokedUrlCommand& command) {
  sendResult(command, HBRPluginResult::resultWithStatusAsBool(HBRResultStatus::OK, statusBarOverlaysWebView_));
}

void HBRStatusBar::getStatusBarHeight(const HBRInvokedUrlCommand& command) {
  Rect frame = StatusBar::shared().frame();
  double side = std::clamp(std::trunc(std::min(frame.width(), frame.height())), 0.0, 1e9);
  sendResult(command, HBRPluginResult::resultWithStatusAsInt(HBRResultStatus::OK, static_cast<std::int32_t>(side)));
}

// Observed events.

void HBRStatusBar::statusBarDidChangeFrame() {
  if (auto delegate = commandDelegate()) {
    auto result = HBRPluginResult::resultWithStatus(HBRResultStatus::OK);
    result->setKeepCallbackAsBool(true);
    delegate->sendPluginResult(result, std::string(HBRStatusBarStaticChannel));
  }
  std::weak_ptr<HBRStatusBar> weak = self();
  platform::MainLoop::postAfter(kResizeDelaySeconds, [weak] {
    if (auto plugin = weak.lock()) {
      plugin->resizeStatusBarBackgroundView();
      plugin->resizeWebView();
    }
  });
}

void HBRStatusBar::harborViewWillAppear() {
  std::weak_ptr<HBRStatusBar> weak = self();
  platform::MainLoop::postAfter(kResizeDelaySeconds, [weak] {
    if (auto plugin = weak.lock()) plugin->resizeWebView();
  });
}

bool HBRStatusBar::scrollViewShouldScrollToTop() {
  Value tap = Value::object();
  tap["type"] = "tap";
  fireEvent(tap);
  return false;
}

// Arithmetic and colours.

double HBRStatusBar::webViewTop(double statusBarHeight, double topInset, bool overlays) {
  double h = statusBarHeight;
  if (!overlays) return h;
  double top = h >= 20 ? h - 20 : 0;
  // Every system this runs on has safe areas: they decide.
  float t = static_cast<float>(topInset);
  if (h >= t && t > 0)
    top = t == 40 ? 20 : h - t;
  else
    top = 0;
  return top;
}

std::optional<Color> HBRStatusBar::colorFromHexString(const std::string& text) {
  if (text.size() < 7 || text[0] != '#') return std::nullopt;
  // A scanner's hexadecimal integer: leading white space and "0x" skipped, as many digits as
  // follow, saturating at the largest 32-bit value; no digits leave 0.
  size_t i = 1;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      std::isxdigit(static_cast<unsigned char>(text[i + 2])))
    i += 2;
  std::uint64_t value = 0;
  for (; i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i) {
    char c = text[i];
    unsigned digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    value = std::min<std::uint64_t>(value * 16 + digit, UINT32_MAX);
  }
  return Color{((value >> 16) & 0xFF) / 255.0, ((value >> 8) & 0xFF) / 255.0, (value & 0xFF) / 255.0, 1.0};
}

std::optional<Color> HBRStatusBar::colorNamed(const std::string& name) {
  // The system's fixed colours, by the name the page gives without "Color". Never anything
  // looked up by a name the page makes up.
  static const std::map<std::string, Color> kColors{
      {"black", {0, 0, 0, 1}},
      {"darkGray", {1 / 3.0, 1 / 3.0, 1 / 3.0, 1}},
      {"lightGray", {2 / 3.0, 2 / 3.0, 2 / 3.0, 1}},
      {"white", {1, 1, 1, 1}},
      {"gray", {0.5, 0.5, 0.5, 1}},
      {"red", {1, 0, 0, 1}},
      {"green", {0, 1, 0, 1}},
      {"blue", {0, 0, 1, 1}},
      {"cyan", {0, 1, 1, 1}},
      {"yellow", {1, 1, 0, 1}},
      {"magenta", {1, 0, 1, 1}},
      {"orange", {1, 0.5, 0, 1}},
      {"purple", {0.5, 0, 0.5, 1}},
      {"brown", {0.6, 0.4, 0.2, 1}},
      {"clear", {0, 0, 0, 0}},
  };
  auto it = kColors.find(name);
  if (it == kColors.end()) return std::nullopt;
  return it->second;
}

std::optional<int> HBRStatusBar::styleCodeForName(const std::string& lowerCaseName) {
  if (lowerCaseName == "default") return platform::ui::kStatusBarStyleDarkContent;
  if (lowerCaseName == "lightcontent" || lowerCaseName == "blacktranslucent" || lowerCaseName == "blackopaque")
    return platform::ui::kStatusBarStyleLightContent;
  return std::nullopt;
}

// The status bar and the views.

void HBRStatusBar::setStatusBarOverlaysWebView(bool overlays) {
  if (overlays == statusBarOverlaysWebView_) return;
  statusBarOverlaysWebView_ = overlays;
  resizeWebView();
  if (!overlays) {
    initializeStatusBarBackgroundView();
    if (auto parent = webViewSuperview()) parent->addSubview(statusBarBackgroundView_);
  } else if (statusBarBackgroundView_) {
    statusBarBackgroundView_->removeFromSuperview();
  }
}

void HBRStatusBar::setStyleForStatusBar(int style) {
  auto vc = viewController();
  if (uiviewControllerBasedStatusBarAppearance_ && vc) {
    vc->setStatusBarStyleWish(style);
    refreshStatusBarAppearance();
  } else {
    StatusBar::shared().setStyle(style);
  }
}

void HBRStatusBar::setStatusBarStyleByName(const std::string& name) {
  if (auto code = styleCodeForName(platform::asciiLower(name))) setStyleForStatusBar(*code);
}

void HBRStatusBar::setStatusBarHidden(bool hidden) {
  auto vc = viewController();
  if (uiviewControllerBasedStatusBarAppearance_ && vc) {
    vc->setStatusBarHiddenWish(hidden);
    refreshStatusBarAppearance();
  } else {
    StatusBar::shared().setHidden(hidden);
  }
}

void HBRStatusBar::refreshStatusBarAppearance() {
  if (auto vc = viewController()) vc->setNeedsStatusBarAppearanceUpdate();
}

void HBRStatusBar::initializeStatusBarBackgroundView() {
  Rect frame = StatusBar::shared().frame();
  auto vc = viewController();
  auto window = vc ? vc->view()->window() : nullptr;
  // Upside down, a status bar at the bottom of the window belongs at its top.
  if (StatusBar::shared().orientation() == 2 && window &&
      frame.origin.y + frame.height() == window->frame().height())
    frame.origin.y = 0;
  if (statusBarBackgroundView_) statusBarBackgroundView_->removeFromSuperview();
  statusBarBackgroundView_ = std::make_shared<platform::ui::View>(frame);
  statusBarBackgroundView_->setBackgroundColor(statusBarBackgroundColor_);
  statusBarBackgroundView_->setAutoresizingMask(platform::ui::kAutoresizingFlexibleWidth |
                                                platform::ui::kAutoresizingFlexibleBottomMargin);
  statusBarBackgroundView_->setAutoresizesSubviews(true);
}

void HBRStatusBar::resizeStatusBarBackgroundView() {
  if (!statusBarBackgroundView_) return;
  Rect frame = statusBarBackgroundView_->frame();
  frame.size = StatusBar::shared().frame().size;
  statusBarBackgroundView_->setFrame(frame);
}

void HBRStatusBar::resizeWebView() {
  auto vc = viewController();
  auto web = webView();
  if (!vc || !web) return;
  auto view = vc->view();
  auto window = view->window();
  Rect bounds = window ? window->bounds() : Rect{};
  if (bounds.width() <= 0 || bounds.height() <= 0) bounds = platform::ui::Screen::mainBounds();
  view->setFrame(bounds);
  web->setFrame(bounds);

  double height = StatusBar::shared().frame().height();
  Rect frame = web->frame();
  double top = webViewTop(height, statusBarOverlaysWebView_ ? web->safeAreaInsets().top : 0, statusBarOverlaysWebView_);
  web->setFrame({{frame.origin.x, top}, {frame.width(), std::max(0.0, frame.height() - top)}});
}

void HBRStatusBar::applyBackgroundColorByHexString(const std::string& text) {
  auto color = colorFromHexString(text);
  if (!color) return;
  statusBarBackgroundColor_ = color;
  if (statusBarBackgroundView_) statusBarBackgroundView_->setBackgroundColor(color);
}

void HBRStatusBar::fireEvent(Value message) {
  auto delegate = commandDelegate();
  if (!eventsCallbackId_ || !delegate) return;
  auto result = HBRPluginResult::resultWithStatus(HBRResultStatus::OK, std::move(message));
  result->setKeepCallbackAsBool(true);
  delegate->sendPluginResult(result, eventsCallbackId_);
}

void HBRStatusBar::sendResult(const HBRInvokedUrlCommand& command, std::shared_ptr<HBRPluginResult> result) {
  if (auto delegate = commandDelegate()) delegate->sendPluginResult(result, command.callbackId());
}

std::shared_ptr<platform::ui::View> HBRStatusBar::webViewSuperview() const {
  auto web = webView();
  return web ? web->superview() : nullptr;
}

void HBRRegisterStatusBarPlugin() { HBRRegisterBuiltInPluginClass<HBRStatusBar>("HBRStatusBar"); }
