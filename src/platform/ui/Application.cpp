#include "platform/ui/Application.h"

#include <glib.h>

#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"

namespace platform::ui {
namespace {
Window::KeyAndVisibleObserver gKeyAndVisibleObserver;
GMainLoop* gDefaultLoop = nullptr;
}  // namespace

void Window::setRootViewController(std::shared_ptr<ViewController> controller) {
  root_ = std::move(controller);
  if (!root_) return;
  auto rootView = root_->view();
  rootView->setFrame(bounds());
  rootView->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
  addSubview(rootView);
}

void Window::makeKeyAndVisible() {
  key_ = true;
  setHidden(false);
  auto self = std::static_pointer_cast<Window>(weak_from_this().lock());
  if (self && gKeyAndVisibleObserver) gKeyAndVisibleObserver(self);
}

void Window::setKeyAndVisibleObserver(KeyAndVisibleObserver observer) { gKeyAndVisibleObserver = std::move(observer); }

Application& Application::shared() {
  static Application* app = new Application();
  return *app;
}

void Application::willResignActive() {
  state_ = ApplicationState::Inactive;
  NotificationCenter::defaultCenter().post(kApplicationWillResignActiveNotification, this);
}

void Application::didBecomeActive() {
  state_ = ApplicationState::Active;
  NotificationCenter::defaultCenter().post(kApplicationDidBecomeActiveNotification, this);
}

void Application::didEnterBackground() {
  state_ = ApplicationState::Background;
  NotificationCenter::defaultCenter().post(kApplicationDidEnterBackgroundNotification, this);
}

void Application::willEnterForeground() {
  state_ = ApplicationState::Inactive;
  NotificationCenter::defaultCenter().post(kApplicationWillEnterForegroundNotification, this);
}

void Application::willTerminate() {
  NotificationCenter::defaultCenter().post(kApplicationWillTerminateNotification, this);
}

void Application::didReceiveMemoryWarning() {
  NotificationCenter::defaultCenter().post(kApplicationDidReceiveMemoryWarningNotification, this);
}

bool Application::deliverOpenURL(const std::optional<URL>& url, const Value& options) {
  if (!MainLoop::isMainThread()) {
    // A URL handed over by another process arrives on whatever thread listened for it; the
    // delegate and the page are the main thread's.
    MainLoop::post([url, options] { Application::shared().deliverOpenURL(url, options); });
    return true;
  }
  if (!delegate_) {
    log("An opened URL arrived before the application had a delegate; it is dropped.");
    return false;
  }
  try {
    return delegate_->openURL(url, options);
  } catch (const std::exception& e) {
    log(std::string("Opening a URL failed: ") + e.what());
  } catch (...) {
    log("Opening a URL failed.");
  }
  return false;
}

bool Application::openURL(const URL& url) { return opener_ ? opener_(url) : false; }

void Application::setMainLoop(MainLoopRunner runner, MainLoopQuitter quitter) {
  runner_ = std::move(runner);
  quitter_ = std::move(quitter);
}

int Application::runMainLoop() {
  terminated_ = false;
  exitStatus_ = 0;
  if (runner_) return runner_();
  gDefaultLoop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(gDefaultLoop);
  g_main_loop_unref(gDefaultLoop);
  gDefaultLoop = nullptr;
  return exitStatus_;
}

void Application::terminate(int status) {
  if (terminated_) return;
  terminated_ = true;
  exitStatus_ = status;
  willTerminate();
  if (quitter_)
    quitter_(status);
  else if (gDefaultLoop)
    g_main_loop_quit(gDefaultLoop);
}

}  // namespace platform::ui
