#include "platform/ui/gtk/GtkApplicationBackend.h"

#include <gio/gio.h>

#include <map>

#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/gtk/GtkAlertPresenter.h"
#include "platform/ui/gtk/GtkWindowBackend.h"

namespace platform::ui {
namespace {

struct BackendState {
  std::unique_ptr<GtkWindowBackend> mainWindow;
  std::map<const ViewController*, std::unique_ptr<GtkWindowBackend>> presented;
  platform::gtk::GObjectPtr<GMemoryMonitor> memoryMonitor;
  platform::gtk::SignalConnection memoryWarning;
  int exitStatus = 0;
};

BackendState& state() {
  static auto* s = new BackendState();
  return *s;
}

void onLowMemory(GMemoryMonitor*, GMemoryMonitorWarningLevel, gpointer) {
  try {
    Application::shared().didReceiveMemoryWarning();
  } catch (...) {
    log("Delivering a memory warning failed");
  }
}

void showKeyWindow(const std::shared_ptr<Window>& window) {
  auto& s = state();
  if (s.mainWindow && s.mainWindow->rootView() == window) return;
  s.mainWindow = std::make_unique<GtkWindowBackend>(window, true);
  s.mainWindow->setViewController(window->rootViewController());
  GtkAlertPresenter::setParentWindow(s.mainWindow->window());
}

void presentController(const std::shared_ptr<ViewController>&, const std::shared_ptr<ViewController>& presented,
                       bool) {
  auto& s = state();
  auto view = presented->view();
  if (s.mainWindow) {
    // A presented controller covers the window it is presented over.
    view->setFrame(s.mainWindow->rootView()->bounds());
  }
  auto backend = std::make_unique<GtkWindowBackend>(view, false, s.mainWindow ? s.mainWindow->window() : nullptr);
  backend->setViewController(presented);
  std::weak_ptr<ViewController> weak = presented;
  backend->setCloseHandler([weak] {
    // Closing the window from the desktop dismisses the controller, later: the backend that
    // reports the close must not be destroyed inside its own signal.
    MainLoop::post([weak] {
      if (auto controller = weak.lock()) controller->dismissViewController(false);
    });
  });
  s.presented[presented.get()] = std::move(backend);
}

void dismissController(const std::shared_ptr<ViewController>& presented, bool) {
  state().presented.erase(presented.get());
}

}  // namespace

bool GtkApplicationBackend::initialize(int* argc, char*** argv) {
  if (!gtk_init_check(argc, argv)) {
    log("Cannot open a display. Set DISPLAY, or run under xvfb-run.");
    return false;
  }
  MainLoop::adoptCurrentThreadAsMain();
  return true;
}

void GtkApplicationBackend::install() {
  auto& s = state();
  GtkAlertPresenter::install();
  Application& app = Application::shared();
  app.setURLOpener(openURL);
  app.setMainLoop(
      [] {
        state().exitStatus = 0;
        gtk_main();
        return state().exitStatus;
      },
      [](int status) {
        state().exitStatus = status;
        if (gtk_main_level() > 0) gtk_main_quit();
      });
  Window::setKeyAndVisibleObserver(showKeyWindow);
  ViewController::setPresentationHook({presentController, dismissController});

  s.memoryMonitor = platform::gtk::GObjectPtr<GMemoryMonitor>::adopt(g_memory_monitor_dup_default());
  if (s.memoryMonitor)
    s.memoryWarning = platform::gtk::connectSignal(s.memoryMonitor.get(), "low-memory-warning", onLowMemory, nullptr);
}

GtkWindowBackend* GtkApplicationBackend::mainWindow() { return state().mainWindow.get(); }

bool GtkApplicationBackend::openURL(const URL& url) {
  if (!url.isAbsolute()) {
    log("Cannot open '" + url.absoluteString() + "': not an absolute URL.");
    return false;
  }
  GError* error = nullptr;
  if (!g_app_info_launch_default_for_uri(url.absoluteString().c_str(), nullptr, &error)) {
    log("Cannot open '" + url.absoluteString() + "': " + (error ? error->message : "no handler"));
    if (error) g_error_free(error);
    return false;
  }
  return true;
}

}  // namespace platform::ui
