#include "host/HBRExternalLauncher.h"

#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/ui/Application.h"

namespace {

void logRefusal(const std::string& reason, const platform::URL& url) {
  platform::log(platform::stringf("External launch refused - %s: url='%s'", reason.c_str(),
                                  url.absoluteString().c_str()));
}

}  // namespace

HBRExternalLauncher& HBRExternalLauncher::shared() {
  static auto* launcher = new HBRExternalLauncher();
  return *launcher;
}

bool HBRExternalLauncher::userStarted(const platform::webkit::NavigationAction& action) {
  bool followedLink = action.navigationType == platform::webkit::NavigationType::LinkActivated;
  return action.userGesture && (action.targetsMainFrame || followedLink);
}

bool HBRExternalLauncher::allowLaunch(std::chrono::steady_clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto window = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(kLaunchWindowSeconds));
  while (!launches_.empty() && now - launches_.front() >= window) launches_.pop_front();
  if (static_cast<int>(launches_.size()) >= kMaxLaunchesPerWindow) return false;
  launches_.push_back(now);
  return true;
}

void HBRExternalLauncher::reset() {
  std::lock_guard lock(mutex_);
  launches_.clear();
}

bool HBRExternalLauncher::launch(const platform::URL& url, const platform::webkit::NavigationAction& action) {
  // A hidden frame or a script loop must not launch the desktop's handlers.
  if (!userStarted(action)) {
    logRefusal("the user did not start the navigation in the main frame", url);
    return false;
  }
  if (!allowLaunch(std::chrono::steady_clock::now())) {
    logRefusal(platform::stringf("more than %d launches in %g seconds", kMaxLaunchesPerWindow, kLaunchWindowSeconds),
               url);
    return false;
  }
  platform::ui::Application::shared().openURL(url);
  return true;
}

bool HBRExternalLauncher::launchWithoutAction(const platform::URL& url) {
  logRefusal("the user did not start the navigation in the main frame", url);
  return false;
}
