#include "plugins/http/VLHttpPlugin.h"

#include <cmath>
#include <mutex>

#include "plugins/http/HttpCookieManagerScript.h"
#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "host/HBRSettings.h"
#include "host/HBRViewController.h"
#include "host/HBRWebViewEngineProtocol.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Strings.h"
#include "platform/webkit/WebView.h"
#include "plugins/http/VLHttp.h"
#include "plugins/http/VLHttpCommandArgs.h"
#include "plugins/http/VLHttpCookieHandler.h"
#include "plugins/http/VLHttpUrlSessionEngine.h"
#include "shell/VLLogger.h"

using platform::Value;

namespace {

constexpr const char* kSyncNowHandlerName = "VLHttpSyncNow";
constexpr const char* kOriginPlaceholder = "__VELTRO_APP_ORIGIN__";

// The HTTP stack lives as long as the process; every plugin instance shares it.
struct HttpStack {
  std::once_flag once;
  std::shared_ptr<VLHttp> http;
  std::shared_ptr<VLHttpWKWebViewCookieHandlerEngine> cookieHandler;
};

HttpStack& httpStack() {
  static HttpStack* stack = new HttpStack;
  return *stack;
}

// The content controller keeps its handlers strongly; the plugin must not be kept alive by it.
class SyncNowHandler : public platform::webkit::ScriptMessageHandler {
 public:
  explicit SyncNowHandler(std::weak_ptr<VLHttpPlugin> plugin) : plugin_(std::move(plugin)) {}
  void didReceiveScriptMessage(const std::string&, const Value&) override {
    if (auto plugin = plugin_.lock()) plugin->syncNow();
  }

 private:
  std::weak_ptr<VLHttpPlugin> plugin_;
};

std::string trimmedText(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  size_t start = text.find_first_not_of(blanks);
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(blanks) - start + 1);
}

// The payload goes out once, with status OK, to a command delegate that may be gone by then.
auto sender(const std::weak_ptr<HBRCommandDelegate>& delegate, const std::optional<std::string>& callbackId) {
  return [delegate, callbackId](Value payload) {
    if (auto commandDelegate = delegate.lock())
      commandDelegate->sendPluginResult(HBRPluginResult::resultWithStatus(HBRResultStatus::OK, std::move(payload)),
                                        callbackId);
  };
}

}  // namespace

VLHttpPlugin::VLHttpPlugin() {
  registerAction("sendRequest", &VLHttpPlugin::sendRequest);
  registerAction("abortRequest", &VLHttpPlugin::abortRequest);
}

std::optional<platform::URL> VLHttpPlugin::getBaseUrl(const std::string& applicationPath,
                                                      const std::string& hostname) {
  std::string host = trimmedText(hostname);
  std::string path = trimmedText(applicationPath);
  if (host.empty() || path.empty()) return std::nullopt;
  return platform::URL::parse("https://" + host + "/" + path + "/");
}

std::optional<std::string> VLHttpPlugin::getAppOrigin() const {
  auto vc = viewController();
  if (!vc) return std::nullopt;
  auto start = platform::URL::parse(vc->startPage());
  if (!start || start->scheme().empty() || start->host().empty()) return std::nullopt;
  // Written as the page's window.origin is: scheme and host in lower case.
  std::string origin = platform::asciiLower(start->scheme()) + "://" + platform::asciiLower(start->host());
  if (auto port = start->port()) origin += ":" + std::to_string(*port);
  return origin;
}

void VLHttpPlugin::pluginInitialize() {
  auto vc = viewController();
  Value settings = vc ? vc->settings() : Value::object();
  baseURL_ = getBaseUrl(harborStringSettingForKey(settings, "DefaultApplicationURL").value_or(""),
                        harborStringSettingForKey(settings, "DefaultHostname").value_or(""));
  createVLHttp();
}

void VLHttpPlugin::createVLHttp() {
  HttpStack& stack = httpStack();
  std::call_once(stack.once, [this, &stack] {
    auto webView = this->webView();
    auto engine = webViewEngine();
    if (webView && engine) {
      auto self = std::static_pointer_cast<VLHttpPlugin>(shared_from_this());
      // Like "harbor": the application's own page alone reaches it, in the top frame.
      engine->addScriptMessageHandler(std::make_shared<SyncNowHandler>(self), kSyncNowHandlerName);
      std::string script = kHttpCookieManagerScript;
      auto origin = getAppOrigin();
      std::string originLiteral = origin ? platform::jsonText(Value(*origin)) : "null";
      script.replace(script.find(kOriginPlaceholder), std::string(kOriginPlaceholder).size(), originLiteral);
      webView->addUserScript({script, true, true});
      webView->addUserScript(
          {std::string("window.webkit.messageHandlers.") + kSyncNowHandlerName + ".postMessage(undefined)", true,
           true});
    }
    stack.cookieHandler = std::make_shared<VLHttpWKWebViewCookieHandlerEngine>(
        webView, std::make_shared<VLHttpSharedCookieHandlerEngine>());
    // The application's own page (served under a scheme of its own) holds the cookies of the
    // application's server; any other page only those of its own origin.
    std::weak_ptr<HBRWebViewEngineProtocol> weakEngine = engine;
    std::optional<platform::URL> server = baseURL_;
    stack.cookieHandler->setPageMayHoldCookies([weakEngine, server](const platform::URL& cookieURL) {
      auto engine = weakEngine.lock();
      return engine && server && engine->isApplicationPage() &&
             VLHttpWKWebViewCookieHandlerEngine::sameOrigin(cookieURL, *server);
    });
    auto requester = VLHttpUrlSessionEngine::create(stack.cookieHandler);
    stack.http = std::make_shared<VLHttp>(requester, VLLogger::sharedInstance());
  });
  vlHttp_ = stack.http;
  cookieHandler_ = stack.cookieHandler;
}

std::optional<std::string> VLHttpPlugin::getBodyFromCommand(const HBRInvokedUrlCommand& command, size_t index) {
  Value body = command.argumentAtIndex(index);
  if (body.is_string()) return body.get<std::string>();
  if (body.is_boolean()) return std::string(body.get<bool>() ? "1" : "0");
  if (body.is_number_integer() || body.is_number_unsigned()) return body.dump();
  if (body.is_number_float()) {
    double value = body.get<double>();
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15)
      return std::to_string(static_cast<long long>(value));
    return body.dump();
  }
  if (body.is_object()) return platform::jsonText(body);
  return std::nullopt;
}

void VLHttpPlugin::sendRequest(const HBRInvokedUrlCommand& command) {
  using Kind = HBRArgumentKind;
  Value requestId = command.argumentAtIndex(0, nullptr, Kind::String);
  Value url = command.argumentAtIndex(1, nullptr, Kind::String);
  Value method = command.argumentAtIndex(2, nullptr, Kind::String);
  Value headers = command.argumentAtIndex(3, nullptr, Kind::Dictionary);
  Value timeout = command.argumentAtIndex(4, nullptr, Kind::Number);
  std::optional<std::string> body = getBodyFromCommand(command, 5);
  Value isText = command.argumentAtIndex(6, nullptr, Kind::Number);
  bool responseBodyIsText = isText.is_boolean() ? isText.get<bool>() : (isText.is_number() && isText.get<double>() != 0);
  auto send = sender(commandDelegate(), command.callbackId());
  if (!vlHttp_) {
    send(VLHttpResultUtil::errorPayload(std::nullopt, VLHttpErrorTransport, "The HTTP plugin has not started."));
    return;
  }
  vlHttp_->sendRequest(requestId, url, method, headers, timeout, body, baseURL_, responseBodyIsText, send, send);
}

void VLHttpPlugin::abortRequest(const HBRInvokedUrlCommand& command) {
  Value requestId = command.argumentAtIndex(0, nullptr, HBRArgumentKind::String);
  auto send = sender(commandDelegate(), command.callbackId());
  if (!vlHttp_) {
    send(VLHttpResultUtil::errorPayload(std::nullopt, VLHttpErrorTransport, "The HTTP plugin has not started."));
    return;
  }
  vlHttp_->abortRequest(requestId, send, send);
}

void VLHttpPlugin::onReset() {
  if (vlHttp_) vlHttp_->onReset();
}

void VLHttpPlugin::syncNow() {
  auto webView = this->webView();
  if (!webView || !baseURL_ || !cookieHandler_) return;
  if (!cookieHandler_->pageMayHoldCookiesOf(*baseURL_)) return;
  std::string script = VLHttpWKWebViewCookieHandlerEngine::generateSetCookieJsScript([&] {
    auto cookies = cookieHandler_->scriptVisibleCookieHeadersForUrl(*baseURL_);
    const std::string* cookie = platform::findHeaderField(cookies, "Cookie");
    return cookie ? *cookie : std::string();
  }());
  webView->evaluateJavaScript(script, [](const Value&, const std::optional<platform::Error>&) {});
}

void VLRegisterHttpPlugin() {
  HBRRegisterBuiltInPluginClass<VLHttpPlugin>("VLHttpPlugin");
}
