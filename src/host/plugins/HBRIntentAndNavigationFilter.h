#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/HBRExternalLauncher.h"
#include "host/HBRPlugin.h"
#include "host/plugins/HBRWhitelist.h"
#include "platform/foundation/XMLParser.h"

// The answer of `filterUrl`.
enum NavigationFilterResult { IntentAllowed = 0, NavigationAllowed = 1, NothingAllowed = 2 };

// Decides every navigation of the web view from the "allow-navigation" and "allow-intent"
// rules of "config.xml": a URL allowed for navigation loads in the web view; a URL allowed
// only as an intent is handed to the desktop to open, when the user followed a link or the
// page itself asked for it; anything else is refused with a log line.
class HBRIntentAndNavigationFilter : public HBRPlugin, public platform::XMLParserDelegate {
 public:
  std::string className() const override { return "HBRIntentAndNavigationFilter"; }

  // The rules are read in one pass over "config.xml": the document start resets the lists,
  // elements add to them, and the document end builds the two whitelists.
  void parserDidStartDocument();
  void didStartElement(const std::string& name,
                       const std::map<std::string, std::string>& attributes) override;
  void parserDidEndDocument();
  void parseErrorOccurred(const platform::Error&) override {}

  void pluginInitialize() override;
  NavigationFilterResult filterUrl(const platform::URL& url) const;
  // Without word of the user's gesture, no intent is opened.
  std::optional<bool> shouldOverrideLoadWithRequest(const platform::URLRequest& request,
                                                    int navigationType) override;
  // An intent opens outside only when the user's own gesture started the navigation, as a
  // followed link (also one that asks for a new window) or a top-level load of the main
  // frame, and while the launch limit allows.
  std::optional<bool> shouldOverrideLoad(const platform::webkit::NavigationAction& action) override;

  // External launches allowed in any `kLaunchWindowSeconds`, counted by the one launcher that
  // "external:" links share: a page cannot flood the desktop with handlers even with the
  // user's clicks.
  static constexpr int kMaxLaunchesPerWindow = HBRExternalLauncher::kMaxLaunchesPerWindow;
  static constexpr double kLaunchWindowSeconds = HBRExternalLauncher::kLaunchWindowSeconds;
  // Counts a launch at `now` and answers whether it is within the limit (process-wide).
  static bool allowLaunch(std::chrono::steady_clock::time_point now) {
    return HBRExternalLauncher::shared().allowLaunch(now);
  }

  // A missing whitelist allows nothing.
  static NavigationFilterResult filterUrl(const platform::URL& url,
                                          const HBRWhitelist* intentsWhitelist,
                                          const HBRWhitelist* navigationsWhitelist);
  // A followed link, or a load of the top-level document itself.
  static bool shouldOpenURLRequest(const platform::URLRequest& request, int navigationType);
  // The decision for a classified URL. An intent that `shouldOpenURLRequest` allows goes to
  // the launcher with `action` (which checks the gesture and the launch limit); without an
  // action nothing opens.
  static bool shouldOverrideLoadWithRequest(const platform::URLRequest& request, int navigationType,
                                            NavigationFilterResult filterValue,
                                            const platform::webkit::NavigationAction* action = nullptr);

  const std::vector<std::string>& allowIntents() const { return allowIntents_; }
  const std::vector<std::string>& allowNavigations() const { return allowNavigations_; }
  std::shared_ptr<HBRWhitelist> allowIntentsWhitelist() const { return allowIntentsWhitelist_; }
  std::shared_ptr<HBRWhitelist> allowNavigationsWhitelist() const {
    return allowNavigationsWhitelist_;
  }

 private:
  std::vector<std::string> allowIntents_;
  std::vector<std::string> allowNavigations_;
  std::shared_ptr<HBRWhitelist> allowIntentsWhitelist_;
  std::shared_ptr<HBRWhitelist> allowNavigationsWhitelist_;
};
