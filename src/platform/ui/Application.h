#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/ui/Device.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewController.h"

namespace platform::ui {

// Life-cycle notification names, posted on the default notification centre.
inline constexpr const char* kApplicationDidFinishLaunchingNotification = "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationDidEnterBackgroundNotification = "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* kApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* kApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
inline constexpr const char* kApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";

enum class ApplicationState { Active, Inactive, Background };

class Window;

// The application's delegate: the object the entry function names.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual bool didFinishLaunchingWithOptions(const Value& options) = 0;
  // Options carry "UIApplicationOpenURLOptionsSourceApplicationKey" and
  // "UIApplicationOpenURLOptionsAnnotationKey" when known.
  virtual bool openURL(const std::optional<URL>& url, const Value& options) { (void)url; (void)options; return false; }
  // A mask of supported orientations (bit = 1 << orientation).
  virtual unsigned supportedInterfaceOrientationsForWindow(Window*) { return 30; }
};

// A top-level window holding one root view controller.
class Window : public View {
 public:
  using View::View;
  void setRootViewController(std::shared_ptr<ViewController> controller);
  std::shared_ptr<ViewController> rootViewController() const { return root_; }
  virtual void makeKeyAndVisible();
  bool isKeyWindow() const { return key_; }

  // The backend that puts windows on screen (the GTK shell) hears when one is made key and
  // visible. Main thread only.
  using KeyAndVisibleObserver = std::function<void(const std::shared_ptr<Window>&)>;
  static void setKeyAndVisibleObserver(KeyAndVisibleObserver observer);

 private:
  std::shared_ptr<ViewController> root_;
  bool key_ = false;
};

// The running application: its state, its delegate, its windows, and what it asks of the
// desktop. The GTK backend drives the state from the window; tests drive it by hand.
class Application {
 public:
  static Application& shared();

  ApplicationState state() const { return state_; }
  std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }

  // Life-cycle transitions: each sets the state and posts its notification.
  void willResignActive();
  void didBecomeActive();
  void didEnterBackground();
  void willEnterForeground();
  void willTerminate();
  void didReceiveMemoryWarning();

  // Asks the delegate to open `url`, as the system does for a deep link. From another thread
  // the call is handed to the main thread (and answers true).
  bool deliverOpenURL(const std::optional<URL>& url, const Value& options);

  // Opens a URL with the desktop's handler. Tests replace the opener to record calls.
  using URLOpener = std::function<bool(const URL&)>;
  bool openURL(const URL& url);
  void setURLOpener(URLOpener opener) { opener_ = std::move(opener); }

  // Whether the device multitasks (it always does here).
  bool isMultitaskingSupported() const { return true; }

  // Runs the main loop until `terminate` and answers the exit status. The shell installs the
  // GTK loop as the runner; without one the GLib main loop runs. Main thread only.
  using MainLoopRunner = std::function<int()>;
  using MainLoopQuitter = std::function<void(int status)>;
  void setMainLoop(MainLoopRunner runner, MainLoopQuitter quitter);
  int runMainLoop();
  // Posts the termination notification and ends the loop `runMainLoop` runs with `status`.
  void terminate(int status = 0);

 private:
  ApplicationState state_ = ApplicationState::Inactive;
  std::shared_ptr<ApplicationDelegate> delegate_;
  URLOpener opener_;
  MainLoopRunner runner_;
  MainLoopQuitter quitter_;
  int exitStatus_ = 0;
  bool terminated_ = false;
};

}  // namespace platform::ui
