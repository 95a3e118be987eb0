#include "host/plugins/HBRHandleOpenURL.h"

#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"

void HBRHandleOpenURL::pluginInitialize() {
  auto& center = platform::NotificationCenter::defaultCenter();
  // Owned by `this`, so that removing this plugin from every notification silences it.
  center.addObserver(this, HBRPluginHandleOpenURLNotification, nullptr,
                     [this](const platform::Notification& n) { applicationLaunchedWithUrl(n); });
  center.addObserver(this, HBRPageDidLoadNotification, nullptr,
                     [this](const platform::Notification& n) { applicationPageDidLoad(n); });
}

void HBRHandleOpenURL::applicationLaunchedWithUrl(const platform::Notification& notification) {
  std::optional<platform::URL> url;
  if (notification.object.is_string())
    url = platform::URL::parse(notification.object.get<std::string>());
  if (!url) {
    platform::log("HBRHandleOpenURL: the open-URL notification carries no URL; ignored.");
    return;
  }
  url_ = *url;
  if (pageLoaded_) {
    processOpenUrl(*url_, true);
    url_.reset();
  }
}

void HBRHandleOpenURL::applicationPageDidLoad(const platform::Notification&) {
  pageLoaded_ = true;
  if (url_) {
    processOpenUrl(*url_, true);
    url_.reset();
  }
}

std::string HBRHandleOpenURL::scriptForURL(const platform::URL& url) {
  // The URL is written as a JSON string, which is a valid JavaScript string literal: a quote
  // or backslash in it can no longer end the literal and run as script. ASCII-only output
  // also escapes the line separators that older JavaScript engines refuse in literals.
  std::string literal = platform::Value(url.absoluteString())
                            .dump(-1, ' ', true, platform::Value::error_handler_t::replace);
  return "document.addEventListener('deviceready',function(){if (typeof handleOpenURL === "
         "'function') { "
         "handleOpenURL(" +
         literal + ");}});";
}

void HBRHandleOpenURL::processOpenUrl(const platform::URL& url, bool pageLoaded) {
  if (!pageLoaded) return;
  auto engine = webViewEngine();
  if (!engine) return;
  std::string script = scriptForURL(url);
  if (platform::MainLoop::isMainThread()) {
    engine->evaluateJavaScript(script, nullptr);
  } else {
    // The web view is only ever touched on the main thread.
    platform::MainLoop::post([engine, script] { engine->evaluateJavaScript(script, nullptr); });
  }
}
