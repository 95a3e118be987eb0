#include "platform/auth/AuthController.h"

#include <cstdlib>
#include <string_view>

#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/Value.h"

namespace {

// Longer URLs are not authentication pages, and would only bloat the window and the logs.
constexpr size_t kMaximumURLLength = 16 * 1024;

AuthFlowPresenter& presenter() {
  static AuthFlowPresenter installed;
  return installed;
}

bool hasControlCharacters(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

int effectivePort(const platform::URL& url) {
  if (auto port = url.port()) return *port;
  std::string scheme = platform::asciiLower(url.scheme());
  if (scheme == "https") return 443;
  if (scheme == "http") return 80;
  return -1;
}

std::string comparablePath(const platform::URL& url) {
  std::string path = url.pathKeepingTrailingSlash();
  return path.empty() && !url.host().empty() ? "/" : path;
}

// `text` as a content-blocker regular expression that matches it literally.
std::string literalPattern(std::string_view text) {
  std::string pattern;
  for (char c : text) {
    if (std::string_view("\\^$.*+?()[]{}|").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

}  // namespace

std::string AuthController::callbackBlockingRules(const platform::URL& callback) {
  // WebKit writes URLs without the scheme's default port and, for a host, with a path of at
  // least "/"; hosts and schemes compare in any case (the rules' default).
  std::string scheme = platform::asciiLower(callback.scheme());
  std::string prefix = "^" + literalPattern(scheme) + ":";
  if (!callback.host().empty() || scheme == "http" || scheme == "https") {
    prefix += literalPattern("//" + callback.host());
    int port = effectivePort(callback);
    if (callback.port() && !((scheme == "https" && port == 443) || (scheme == "http" && port == 80)))
      prefix += literalPattern(":" + std::to_string(port));
  }
  std::string path = comparablePath(callback);
  prefix += path == "/" ? "/?" : literalPattern(path);
  platform::Value rules = platform::Value::array();
  for (const char* end : {"$", "[?#]"})
    rules.push_back({{"trigger", {{"url-filter", prefix + end}}}, {"action", {{"type", "block"}}}});
  return rules.dump();
}

std::shared_ptr<AuthController> AuthController::initWithDelegate(std::weak_ptr<AuthControllerDelegate> delegate) {
  auto controller = std::shared_ptr<AuthController>(new AuthController());
  controller->delegate_ = std::move(delegate);
  return controller;
}

AuthController::~AuthController() { cancel(); }

void AuthController::setFlowPresenter(AuthFlowPresenter flowPresenter) { presenter() = std::move(flowPresenter); }

bool AuthController::isLoopbackHost(const std::string& host) {
  std::string h = platform::asciiLower(host);
  if (h == "localhost" || h == "::1" || h == "[::1]") return true;
  // 127.0.0.0/8, written as four decimal numbers.
  auto parts = platform::split(h, '.');
  if (parts.size() != 4 || parts[0] != "127") return false;
  for (const auto& part : parts) {
    if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos) return false;
    if (std::atoi(part.c_str()) > 255) return false;
  }
  return true;
}

std::optional<std::string> AuthController::endpointProblem(const std::string& text) {
  if (text.size() > kMaximumURLLength || hasControlCharacters(text)) return "The authentication URL is not a URL.";
  auto url = platform::URL::parse(text);
  if (!url || url->host().empty()) return "The authentication URL is not a URL.";
  std::string scheme = platform::asciiLower(url->scheme());
  if (scheme == "https") return std::nullopt;
  if (scheme == "http" && isLoopbackHost(url->host())) return std::nullopt;
  return "The authentication URL must be an https URL (plain http only on the loopback address).";
}

std::optional<std::string> AuthController::callbackProblem(const std::string& text) {
  if (text.size() > kMaximumURLLength || hasControlCharacters(text)) return "The callback URL is not a URL.";
  auto url = platform::URL::parse(text);
  if (!url || !url->isAbsolute()) return "The callback URL must be an absolute URL.";
  return std::nullopt;
}

bool AuthController::matchesCallback(const platform::URL& url, const platform::URL& callback) {
  return platform::asciiLower(url.scheme()) == platform::asciiLower(callback.scheme()) &&
         platform::asciiLower(url.host()) == platform::asciiLower(callback.host()) &&
         effectivePort(url) == effectivePort(callback) && comparablePath(url) == comparablePath(callback);
}

void AuthController::startFlow(const std::string& endpointUrl, const std::string& callbackUrl,
                               const std::shared_ptr<platform::ui::Window>& window) {
  if (running_) {
    platform::log("AuthController: a flow is already running; the new one is not started.");
    return;
  }
  running_ = true;
  unsigned flow = ++flow_;
  auto problem = endpointProblem(endpointUrl);
  if (!problem) problem = callbackProblem(callbackUrl);
  if (!problem && !presenter()) problem = "No window can show the authentication page.";
  if (problem) {
    finish(flow, {AuthStatusFailed, *problem});
    return;
  }
  platform::URL callback = *platform::URL::parse(callbackUrl);
  std::weak_ptr<AuthController> weak = shared_from_this();
  AuthFlowEvents events;
  events.callbackRules = callbackBlockingRules(callback);
  events.navigation = [weak, flow, callback](const platform::URL& url) {
    auto self = weak.lock();
    if (!self || !self->running_ || self->flow_ != flow || !matchesCallback(url, callback)) return false;
    self->finish(flow, {AuthStatusSucceeded, url.absoluteString()});
    return true;
  };
  events.failed = [weak, flow](const std::string& reason) {
    if (auto self = weak.lock()) self->finish(flow, {AuthStatusFailed, reason});
  };
  events.closedByUser = [weak, flow] {
    if (auto self = weak.lock())
      self->finish(flow, {AuthStatusFailed, "The authentication window was closed before the flow finished."});
  };
  auto shown = presenter()(*platform::URL::parse(endpointUrl), window, std::move(events));
  // The window may have reported already while it opened.
  if (running_ && flow_ == flow) window_ = std::move(shown);
}

void AuthController::cancel() {
  running_ = false;
  ++flow_;
  window_.reset();
}

void AuthController::finish(unsigned flow, AuthResult result) {
  if (!running_ || flow != flow_) return;
  running_ = false;
  // The window's own signal handler may be what reports; it goes once that has returned.
  if (auto window = std::shared_ptr<AuthFlowWindow>(std::move(window_)))
    platform::MainLoop::post([window] {});
  if (auto delegate = delegate_.lock()) delegate->authFinishedWithResult(result);
}
