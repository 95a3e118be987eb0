#include "host/plugins/HBRIntentAndNavigationFilter.h"

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

bool HBRIntentAndNavigationFilter::shouldOverrideLoadWithRequest(
    const platform::URLRequest& request, int navigationType, NavigationFilterResult filterValue,
    const platform::webkit::NavigationAction* action) {
  const std::string& url = request.url().absoluteString();
  switch (filterValue) {
    case NavigationAllowed:
      return true;
    case IntentAllowed:
      if (shouldOpenURLRequest(request, navigationType)) {
        if (action)
          HBRExternalLauncher::shared().launch(request.url(), *action);
        else
          HBRExternalLauncher::shared().launchWithoutAction(request.url());
      }
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
  return shouldOverrideLoadWithRequest(request, static_cast<int>(action.navigationType), filterUrl(request.url()),
                                       &action);
}
