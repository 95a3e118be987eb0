#pragma once

#include <gtk/gtk.h>

#include <memory>

#include "platform/ui/Alert.h"

namespace platform::ui {

// Shows alerts as modal GTK dialogs: the title, the message, one entry per text field and
// one button per action, in the alert's order. The dialog does not block the main loop; the
// chosen action runs when a button is pressed. A dialog closed without a button (the window
// closed, the application quitting) answers with the first cancel action, else the first
// action, so every alert is answered exactly once. Main thread only.
class GtkAlertPresenter {
 public:
  // Makes this the presenter `AlertPresenter::present` uses.
  static void install();
  // Dialogs are made transient for this window (the main window), when there is one.
  static void setParentWindow(GtkWindow* window);
  // Answers the dialog it made for `alert`.
  static GtkWidget* present(const std::shared_ptr<Alert>& alert);
};

}  // namespace platform::ui
