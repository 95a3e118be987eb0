#pragma once

#include <chrono>
#include <deque>
#include <mutex>
#include <string>

#include "platform/foundation/URL.h"
#include "platform/webkit/WebView.h"

// The one way a page's navigation hands a URL to the desktop: the intents of the navigation
// filter and the "external:" links of the loader both launch through it, behind one gate. A
// launch needs the user's own gesture (a click or key press that started the navigation in the
// main frame, or a followed link that asks for a new window), and at most
// `kMaxLaunchesPerWindow` launches happen in any `kLaunchWindowSeconds`, whoever asks: a page
// cannot flood the desktop with handlers, not even from one click. Thread-safe.
class HBRExternalLauncher {
 public:
  static constexpr int kMaxLaunchesPerWindow = 3;
  static constexpr double kLaunchWindowSeconds = 10.0;

  static HBRExternalLauncher& shared();

  // Opens `url` outside when `action` passes the gate, and answers whether it did. A refusal is
  // logged once: "External launch refused - <reason>: url='<url>'".
  bool launch(const platform::URL& url, const platform::webkit::NavigationAction& action);
  // The same for a caller that has no navigation action: nothing vouches for a gesture, so
  // nothing opens.
  bool launchWithoutAction(const platform::URL& url);

  // Whether the user's own gesture started `action` where it counts.
  static bool userStarted(const platform::webkit::NavigationAction& action);
  // Counts a launch at `now` and answers whether it is within the limit.
  bool allowLaunch(std::chrono::steady_clock::time_point now);
  // Forgets the launches counted so far (tests).
  void reset();

 private:
  std::mutex mutex_;
  std::deque<std::chrono::steady_clock::time_point> launches_;
};
