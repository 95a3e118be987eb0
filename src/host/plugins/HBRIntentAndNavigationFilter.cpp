#include "host/plugins/HBRIntentAndNavigationFilter.h"

#include <deque>
#include <mutex>

#include "host/HBRViewController.h"
#include "platform/foundation/Log.h"
#include "platform/ui/Application.h"
#include "platform/webkit/WebView.h"

using platform::webkit::NavigationType;

void HBRIntentAndNavigationFilter::parserDidStartDocument() {
  allowNavigations_ = {"file://"};
  if (auto vc = viewController(); vc && vc->appScheme())
    allowNavigations_.push_back(*vc->appScheme() + "://");
  allowIntents_.clear();
}

void HBRIntentAndNavigationFilter::didStartElement(
    const std::string& name, const std::map<std::string, std::string>& attributes) {
  auto href = attributes.find("href");
  if (href == attributes.end()) return;
  if (name == "allow-navigation") {
    allowNavigations_.push_back(href->second);
  } else if (name == "allow-intent") {
    allowIntents_.push_back(href->second);
  }
}

void HBRIntentAndNavigationFilter::parserDidEndDocument() {
  allowIntentsWhitelist_ = std::make_shared<HBRWhitelist>(allowIntents_);
  allowNavigationsWhitelist_ = std::make_shared<HBRWhitelist>(allowNavigations_);
}

void HBRIntentAndNavigationFilter::pluginInitialize() {
  auto vc = viewController();
  if (!vc) return;
  // The rules read before an XML error stay: they only ever allow, so a truncated file
  // allows less, never more. Without a file the built-in navigation rules still hold.
  parserDidStartDocument();
  vc->parseSettingsWithParser(*this);
  parserDidEndDocument();
}

NavigationFilterResult HBRIntentAndNavigationFilter::filterUrl(const platform::URL& url) const {
  return filterUrl(url, allowIntentsWhitelist_.get(), allowNavigationsWhitelist_.get());
}

NavigationFilterResult HBRIntentAndNavigationFilter::filterUrl(
    const platform::URL& url, const HBRWhitelist* intentsWhitelist,
    const HBRWhitelist* navigationsWhitelist) {
  if (navigationsWhitelist && navigationsWhitelist->URLIsAllowed(url, false))
    return NavigationAllowed;
  if (intentsWhitelist && intentsWhitelist->URLIsAllowed(url, false)) return IntentAllowed;
  return NothingAllowed;
}

bool HBRIntentAndNavigationFilter::shouldOpenURLRequest(const platform::URLRequest& request,
                                                        int navigationType) {
  if (navigationType == static_cast<int>(NavigationType::LinkActivated)) return true;
  if (navigationType == static_cast<int>(NavigationType::Other)) {
    const auto& mainDocument = request.mainDocumentURL();
    return mainDocument && mainDocument->absoluteString() == request.url().absoluteString();
  }
  return false;
}

bool HBRIntentAndNavigationFilter::allowLaunch(std::chrono::steady_clock::time_point now) {
  static std::mutex mutex;
  static std::deque<std::chrono::steady_clock::time_point> launches;
  std::lock_guard lock(mutex);
  auto window = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(kLaunchWindowSeconds));
  while (!launches.empty() && now - launches.front() >= window) launches.pop_front();
  if (static_cast<int>(launches.size()) >= kMaxLaunchesPerWindow) return false;
  launches.push_back(now);
  return true;
}

bool HBRIntentAndNavigationFilter::shouldOverrideLoadWithRequest(
    const platform::URLRequest& request, int navigationType, NavigationFilterResult filterValue,
    bool mayLaunch) {
  const std::string& url = request.url().absoluteString();
  switch (filterValue) {
    case NavigationAllowed:
      return true;
    case IntentAllowed:
      if (mayLaunch && shouldOpenURLRequest(request, navigationType))
        platform::ui::Application::shared().openURL(request.url());
      return false;
    case NothingAllowed:
      platform::log(platform::stringf(
          "ERROR Internal navigation rejected - <allow-navigation> not set for url='%s'",
          url.c_str()));
      if (navigationType == static_cast<int>(NavigationType::LinkActivated))
        platform::log(platform::stringf(
            "ERROR External navigation rejected - <allow-intent> not set for url='%s'",
            url.c_str()));
      return false;
  }
  return false;
}

std::optional<bool> HBRIntentAndNavigationFilter::shouldOverrideLoadWithRequest(
    const platform::URLRequest& request, int navigationType) {
  return shouldOverrideLoadWithRequest(request, navigationType, filterUrl(request.url()));
}

std::optional<bool> HBRIntentAndNavigationFilter::shouldOverrideLoad(
    const platform::webkit::NavigationAction& action) {
  const platform::URLRequest& request = action.request;
  int type = static_cast<int>(action.navigationType);
  NavigationFilterResult filterValue = filterUrl(request.url());
  bool mayLaunch = false;
  if (filterValue == IntentAllowed && shouldOpenURLRequest(request, type)) {
    // A hidden frame or a script loop must not launch the desktop's handlers: only the
    // user's own gesture does, in the main frame or on a link that asks for a new window,
    // and only so often.
    const std::string& url = request.url().absoluteString();
    bool followedLink = action.navigationType == platform::webkit::NavigationType::LinkActivated;
    if (!action.userGesture || (!action.targetsMainFrame && !followedLink)) {
      platform::log(platform::stringf(
          "External launch refused - the user did not start the navigation in the main frame: url='%s'",
          url.c_str()));
    } else if (!allowLaunch(std::chrono::steady_clock::now())) {
      platform::log(platform::stringf(
          "External launch refused - more than %d launches in %g seconds: url='%s'", kMaxLaunchesPerWindow,
          kLaunchWindowSeconds, url.c_str()));
    } else {
      mayLaunch = true;
    }
  }
  return shouldOverrideLoadWithRequest(request, type, filterValue, mayLaunch);
}
