#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/URL.h"

namespace platform::ui {
class Window;
}

// What a finished authentication flow reports.
enum AuthStatus : int {
  // The flow reached the callback URL; the message is that URL as reached (with its query).
  AuthStatusSucceeded = 0,
  // The flow did not finish: a refused URL, a page that failed to load or was not trusted,
  // or the user closed the window. The message says which.
  AuthStatusFailed = 1,
};

struct AuthResult {
  int status = AuthStatusFailed;
  std::string message;
};

class AuthControllerDelegate {
 public:
  virtual ~AuthControllerDelegate() = default;
  // Called once per flow, on the main thread.
  virtual void authFinishedWithResult(const AuthResult& result) = 0;
};

// A shown flow: a window on the authentication page. Destroying it closes the window.
class AuthFlowWindow {
 public:
  virtual ~AuthFlowWindow() = default;
};

// What the window tells the flow. `navigation` is asked for every URL the main frame starts
// loading, is redirected to or fails to load; true means the flow ends there and the load is
// stopped. Other frames never end the flow: no frame may load `callbackRules`' URLs at all
// (content-blocker rules, which the window installs before it loads anything).
struct AuthFlowEvents {
  std::string callbackRules;
  std::function<bool(const platform::URL& url)> navigation;
  std::function<void(const std::string& reason)> failed;
  std::function<void()> closedByUser;
};

// Shows a flow's window over `parent` (which may be null) and starts loading `endpoint`.
using AuthFlowPresenter = std::function<std::unique_ptr<AuthFlowWindow>(
    const platform::URL& endpoint, const std::shared_ptr<platform::ui::Window>& parent, AuthFlowEvents events)>;

// Runs one authentication flow at a time in a window of its own: the window opens the
// authentication URL, and the flow ends when a navigation reaches the callback URL (same
// scheme, host, port and path), when the user closes the window, or when the page fails.
// The authentication URL must be https; plain http is accepted only on the loopback address.
// Main thread only.
class AuthController : public std::enable_shared_from_this<AuthController> {
 public:
  static std::shared_ptr<AuthController> initWithDelegate(std::weak_ptr<AuthControllerDelegate> delegate);
  ~AuthController();

  // Starts a flow; its end is reported to the delegate, at once when the URLs are refused.
  // A call while a flow runs is ignored (with a log line): one window at a time.
  void startFlow(const std::string& endpointUrl, const std::string& callbackUrl,
                 const std::shared_ptr<platform::ui::Window>& window);
  bool isRunning() const { return running_; }
  // Closes the window of a running flow without reporting.
  void cancel();

  // The window the shell installs; without one every flow fails at once.
  static void setFlowPresenter(AuthFlowPresenter presenter);

  // Why the text cannot be an authentication URL, or nullopt when it can.
  static std::optional<std::string> endpointProblem(const std::string& text);
  // Why the text cannot be a callback URL, or nullopt when it can.
  static std::optional<std::string> callbackProblem(const std::string& text);
  // Whether `url` is the callback: scheme and host alike in any case, the same port (the
  // scheme's default when none is given) and the same path (an empty one counting as "/").
  static bool matchesCallback(const platform::URL& url, const platform::URL& callback);
  // Content-blocker rules (JSON text) that block every load of a URL `matchesCallback` takes
  // for `callback`, in any frame, so that the callback is never fetched.
  static std::string callbackBlockingRules(const platform::URL& callback);
  static bool isLoopbackHost(const std::string& host);

 private:
  AuthController() = default;
  void finish(unsigned flow, AuthResult result);

  std::weak_ptr<AuthControllerDelegate> delegate_;
  std::unique_ptr<AuthFlowWindow> window_;
  bool running_ = false;
  unsigned flow_ = 0;
};
