#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/ui/View.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/gtk/GObjectPtr.h"

namespace platform::ui {

// Shows a tree of views in a GTK window. Every plain view becomes a GtkOverlay with a
// drawing area for its background colour and its subviews stacked above it in order (the
// first at the bottom), so the launch view covers the web view that was sent to the back.
// Changes of the model (hidden, alpha step by step during a fade, background colour,
// subviews) are mirrored as they happen; a view with a native widget of its own (the web
// view) is shown as that widget and mirrors its own properties. A view that is hidden or
// fully transparent is not shown at all, so it never takes the pointer. Views sit where
// their frames say. The main window also draws the status bar over everything, where its
// model says, and turns clicks on it into taps, and it maps the window's state to the
// application's life cycle. Main thread only.
class GtkWindowBackend {
 public:
  GtkWindowBackend(const std::shared_ptr<View>& root, bool isMainWindow, GtkWindow* transientFor = nullptr);
  ~GtkWindowBackend();
  GtkWindowBackend(const GtkWindowBackend&) = delete;
  GtkWindowBackend& operator=(const GtkWindowBackend&) = delete;

  GtkWindow* window() const { return GTK_WINDOW(window_.get()); }
  std::shared_ptr<View> rootView() const { return root_.lock(); }
  // The GTK widget that shows `view`, nullptr when the view is not in this window.
  GtkWidget* widgetFor(const View& view) const;
  // The controller whose view the window shows hears that it appears and disappears (the
  // window is mapped or unmapped, iconified or restored), that it is laid out, and that it
  // takes a new size.
  void setViewController(const std::shared_ptr<ViewController>& controller);
  // What closing the window from the desktop does; the main window ends the application.
  void setCloseHandler(std::function<void()> handler) { closeHandler_ = std::move(handler); }

 private:
  struct Node;
  Node& mirror(const std::shared_ptr<View>& view);
  void sync(View& view);
  void syncChildren(Node& node, View& view);
  void forget(View* view);
  // Detaches a mirror from its view (and a web view's widget from its parent).
  static void release(Node& node);
  static gboolean onDraw(GtkWidget*, cairo_t*, gpointer node);
  static gboolean onChildPosition(GtkOverlay*, GtkWidget* child, GdkRectangle* allocation, gpointer self);
  static gboolean onStatusBarPress(GtkWidget*, GdkEventButton*, gpointer);
  void showStatusBar();
  static void onSizeAllocate(GtkWidget*, GdkRectangle*, gpointer self);
  static gboolean onFocusIn(GtkWidget*, GdkEvent*, gpointer self);
  static gboolean onFocusOut(GtkWidget*, GdkEvent*, gpointer self);
  static gboolean onWindowState(GtkWidget*, GdkEventWindowState*, gpointer self);
  static gboolean onMap(GtkWidget*, GdkEvent*, gpointer self);
  static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self);
  static void onMapSignal(GtkWidget*, gpointer self);
  static void onUnmapSignal(GtkWidget*, gpointer self);
  static gboolean onMapEvent(GtkWidget*, GdkEvent*, gpointer self);
  static gboolean onUnmapEvent(GtkWidget*, GdkEvent*, gpointer self);
  static gboolean onIconify(GtkWidget*, GdkEventWindowState*, gpointer self);
  // Tells the controller, once per change, that its view will or did appear or disappear.
  void appearance(bool visible, bool done);

  std::weak_ptr<View> root_;
  bool isMainWindow_;
  platform::gtk::GObjectPtr<GtkWidget> window_;
  std::map<View*, std::unique_ptr<Node>> nodes_;
  std::vector<platform::gtk::SignalConnection> connections_;
  GtkWidget* statusBar_ = nullptr;  // the main window's, owned by the root overlay
  bool mapped_ = false;
  bool laidOut_ = false;
  std::weak_ptr<ViewController> controller_;
  enum class Appearance { Hidden, Appearing, Shown, Disappearing } appearance_ = Appearance::Hidden;
  std::function<void()> closeHandler_;
};

}  // namespace platform::ui
