#pragma once

#include <gtk/gtk.h>

#include <memory>

#include "platform/foundation/URL.h"
#include "platform/ui/Application.h"

namespace platform::ui {

class GtkWindowBackend;

// The application on the desktop: GTK's main loop runs the main thread, the key window is
// shown in a GTK window, modally presented controllers in windows of their own, alerts as
// GTK dialogs, and URLs the application opens go to the desktop's default handler. Memory
// pressure reported by GIO becomes a memory warning. Main thread only.
class GtkApplicationBackend {
 public:
  // Opens the display. False (with a log line) when there is none.
  static bool initialize(int* argc, char*** argv);
  // Installs every backend above. Call once, after `initialize`, before the application
  // launches.
  static void install();
  // The window that shows the key window, once the application made one key and visible.
  static GtkWindowBackend* mainWindow();

  // Opens `url` with the desktop's default handler through GIO; never through a shell.
  static bool openURL(const URL& url);
};

}  // namespace platform::ui
