#include "platform/ui/gtk/GtkWindowBackend.h"

#include <algorithm>

#include "platform/foundation/Log.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"
#include "platform/ui/StatusBar.h"

namespace platform::ui {

using platform::gtk::GObjectPtr;
using platform::gtk::SignalConnection;

struct GtkWindowBackend::Node {
  std::weak_ptr<View> view;
  GObjectPtr<GtkWidget> widget;  // the overlay of a plain view, or the view's own widget
  GtkWidget* drawing = nullptr;  // a plain view's background
  bool ownsProperties = true;    // false for a view with its own widget, which mirrors itself
  std::vector<View*> children;   // in the order GTK stacks them
  Rect frame;                    // as last laid out
  SignalConnection drawConnection;
  SignalConnection positionConnection;
};

GtkWindowBackend::GtkWindowBackend(const std::shared_ptr<View>& root, bool isMainWindow, GtkWindow* transientFor)
    : root_(root), isMainWindow_(isMainWindow) {
  window_ = GObjectPtr<GtkWidget>::retain(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  Rect frame = root->frame();
  gtk_window_set_default_size(window(), std::max(1, static_cast<int>(frame.width())),
                              std::max(1, static_cast<int>(frame.height())));
  if (transientFor) {
    gtk_window_set_transient_for(window(), transientFor);
    gtk_window_set_modal(window(), TRUE);
  }
  Node& node = mirror(root);
  gtk_container_add(GTK_CONTAINER(window_.get()), node.widget.get());

  using platform::gtk::connectSignal;
  connections_.push_back(connectSignal(node.widget.get(), "size-allocate", onSizeAllocate, this));
  connections_.push_back(connectSignal(window_.get(), "delete-event", onDelete, this));
  connections_.push_back(connectSignal(window_.get(), "map", onMapSignal, this));
  connections_.push_back(connectSignal(window_.get(), "map-event", onMapEvent, this));
  connections_.push_back(connectSignal(window_.get(), "unmap", onUnmapSignal, this));
  connections_.push_back(connectSignal(window_.get(), "unmap-event", onUnmapEvent, this));
  connections_.push_back(connectSignal(window_.get(), "window-state-event", onIconify, this));
  if (isMainWindow_) {
    connections_.push_back(connectSignal(window_.get(), "focus-in-event", onFocusIn, this));
    connections_.push_back(connectSignal(window_.get(), "focus-out-event", onFocusOut, this));
    connections_.push_back(connectSignal(window_.get(), "window-state-event", onWindowState, this));
    connections_.push_back(connectSignal(window_.get(), "map-event", onMap, this));
    showStatusBar();
  }
  gtk_widget_show(window_.get());
}

GtkWindowBackend::~GtkWindowBackend() {
  // The view leaves the screen with its window.
  appearance(false, false);
  appearance(false, true);
  NotificationCenter::defaultCenter().removeObserver(this);
  connections_.clear();
  for (auto& [view, node] : nodes_) release(*node);
  if (window_) gtk_widget_destroy(window_.get());
  nodes_.clear();
}

void GtkWindowBackend::setViewController(const std::shared_ptr<ViewController>& controller) {
  controller_ = controller;
  if (!controller) return;
  // The window was shown (and laid out) while it was made: the controller catches up.
  try {
    if (laidOut_) {
      controller->viewWillLayoutSubviews();
      controller->viewDidLayoutSubviews();
    }
  } catch (...) {
    log("GtkWindowBackend: a layout handler failed");
  }
  if (gtk_widget_get_mapped(window_.get())) appearance(true, false);
}

GtkWidget* GtkWindowBackend::widgetFor(const View& view) const {
  auto it = nodes_.find(const_cast<View*>(&view));
  return it == nodes_.end() ? nullptr : it->second->widget.get();
}

GtkWindowBackend::Node& GtkWindowBackend::mirror(const std::shared_ptr<View>& view) {
  auto existing = nodes_.find(view.get());
  if (existing != nodes_.end()) return *existing->second;

  auto node = std::make_unique<Node>();
  node->view = view;
  void* own = view->nativeWidget();
  if (own && GTK_IS_WIDGET(own)) {
    node->widget = GObjectPtr<GtkWidget>::retain(GTK_WIDGET(own));
    node->ownsProperties = false;
  } else {
    node->widget = GObjectPtr<GtkWidget>::retain(gtk_overlay_new());
    node->drawing = gtk_drawing_area_new();
    gtk_container_add(GTK_CONTAINER(node->widget.get()), node->drawing);
    gtk_widget_show(node->drawing);
    node->drawConnection = platform::gtk::connectSignal(node->drawing, "draw", onDraw, node.get());
    node->positionConnection = platform::gtk::connectSignal(node->widget.get(), "get-child-position", onChildPosition, this);
  }
  view->setChangeObserver([this](View& changed) {
    try {
      sync(changed);
    } catch (const std::exception& e) {
      log(std::string("GtkWindowBackend: ") + e.what());
    }
  });
  Node& result = *node;
  nodes_[view.get()] = std::move(node);
  sync(*view);
  return result;
}

void GtkWindowBackend::sync(View& view) {
  auto it = nodes_.find(&view);
  if (it == nodes_.end()) return;
  Node& node = *it->second;
  if (!(view.frame() == node.frame)) {
    node.frame = view.frame();
    gtk_widget_queue_resize(node.widget.get());
  }
  if (node.ownsProperties) {
    gtk_widget_set_visible(node.widget.get(), !view.isHidden() && view.alpha() > 0.0);
    gtk_widget_set_opacity(node.widget.get(), view.alpha());
    gtk_widget_queue_draw(node.drawing);
    syncChildren(node, view);
  }
}

void GtkWindowBackend::syncChildren(Node& node, View& view) {
  std::vector<View*> wanted;
  for (const auto& child : view.subviews()) wanted.push_back(child.get());
  if (wanted == node.children) return;

  GtkContainer* overlay = GTK_CONTAINER(node.widget.get());
  for (View* child : node.children) {
    auto found = nodes_.find(child);
    if (found != nodes_.end() && gtk_widget_get_parent(found->second->widget.get()) == node.widget.get())
      gtk_container_remove(overlay, found->second->widget.get());
  }
  std::vector<View*> gone;
  for (View* child : node.children)
    if (std::find(wanted.begin(), wanted.end(), child) == wanted.end()) gone.push_back(child);

  node.children.clear();
  for (const auto& child : view.subviews()) {
    Node& childNode = mirror(child);
    GtkWidget* widget = childNode.widget.get();
    if (GtkWidget* parent = gtk_widget_get_parent(widget)) gtk_container_remove(GTK_CONTAINER(parent), widget);
    gtk_overlay_add_overlay(GTK_OVERLAY(node.widget.get()), widget);
    node.children.push_back(child.get());
  }
  for (View* child : gone) forget(child);
  if (statusBar_ && node.widget.get() == gtk_widget_get_parent(statusBar_))
    gtk_overlay_reorder_overlay(GTK_OVERLAY(node.widget.get()), statusBar_, -1);
}

void GtkWindowBackend::forget(View* view) {
  auto it = nodes_.find(view);
  if (it == nodes_.end()) return;
  std::unique_ptr<Node> node = std::move(it->second);
  nodes_.erase(it);
  // A view still shown elsewhere in this window keeps its mirror.
  for (View* child : node->children) {
    bool stillShown = false;
    for (const auto& [other, otherNode] : nodes_)
      if (std::find(otherNode->children.begin(), otherNode->children.end(), child) != otherNode->children.end())
        stillShown = true;
    if (!stillShown) forget(child);
  }
  release(*node);
}

void GtkWindowBackend::release(Node& node) {
  node.drawConnection.disconnect();
  node.positionConnection.disconnect();
  if (auto alive = node.view.lock()) alive->setChangeObserver(nullptr);
  // A view with its own widget (the web view) outlives its mirror: the overlay it sits in
  // goes with the mirror (or the window), and destroying that overlay must not destroy it.
  GtkWidget* widget = node.widget.get();
  if (!node.ownsProperties && gtk_widget_get_parent(widget))
    gtk_container_remove(GTK_CONTAINER(gtk_widget_get_parent(widget)), widget);
}

gboolean GtkWindowBackend::onDraw(GtkWidget*, cairo_t* cr, gpointer data) {
  auto* node = static_cast<Node*>(data);
  if (auto view = node->view.lock()) {
    if (auto color = view->backgroundColor()) {
      cairo_set_source_rgba(cr, color->red, color->green, color->blue, color->alpha);
      cairo_paint(cr);
    }
  }
  return FALSE;
}

gboolean GtkWindowBackend::onChildPosition(GtkOverlay*, GtkWidget* child, GdkRectangle* allocation, gpointer data) {
  auto* self = static_cast<GtkWindowBackend*>(data);
  Rect frame;
  if (child == self->statusBar_) {
    frame = StatusBar::shared().frame();
  } else {
    auto it = std::find_if(self->nodes_.begin(), self->nodes_.end(),
                           [child](const auto& entry) { return entry.second->widget.get() == child; });
    if (it == self->nodes_.end()) return FALSE;
    frame = it->second->frame;
  }
  // GTK wants every widget measured before it is placed; a view is never made smaller than
  // its widget can be.
  GtkRequisition minimum{};
  gtk_widget_get_preferred_size(child, &minimum, nullptr);
  allocation->x = static_cast<int>(frame.origin.x);
  allocation->y = static_cast<int>(frame.origin.y);
  allocation->width = std::max(minimum.width, static_cast<int>(frame.width()));
  allocation->height = std::max(minimum.height, static_cast<int>(frame.height()));
  return TRUE;
}

void GtkWindowBackend::showStatusBar() {
  auto rootNode = nodes_.find(root_.lock().get());
  if (rootNode == nodes_.end() || !rootNode->second->ownsProperties) return;
  statusBar_ = gtk_event_box_new();
  gtk_event_box_set_visible_window(GTK_EVENT_BOX(statusBar_), FALSE);
  gtk_widget_add_events(statusBar_, GDK_BUTTON_PRESS_MASK);
  gtk_overlay_add_overlay(GTK_OVERLAY(rootNode->second->widget.get()), statusBar_);
  connections_.push_back(platform::gtk::connectSignal(statusBar_, "button-press-event", onStatusBarPress, this));
  auto update = [this](const Notification&) {
    gtk_widget_set_visible(statusBar_, !StatusBar::shared().isHidden());
    gtk_widget_queue_resize(statusBar_);
  };
  auto& center = NotificationCenter::defaultCenter();
  center.addObserver(this, kStatusBarHiddenDidChangeNotification, nullptr, update);
  center.addObserver(this, kApplicationDidChangeStatusBarFrameNotification, nullptr, update);
  update(Notification{});
}

gboolean GtkWindowBackend::onStatusBarPress(GtkWidget*, GdkEventButton* event, gpointer) {
  if (event->type != GDK_BUTTON_PRESS || event->button != 1) return FALSE;
  try {
    StatusBar::shared().tap();
  } catch (...) {
    log("GtkWindowBackend: a tap on the status bar failed");
  }
  return TRUE;
}

void GtkWindowBackend::onSizeAllocate(GtkWidget*, GdkRectangle* allocation, gpointer data) {
  auto* self = static_cast<GtkWindowBackend*>(data);
  try {
    // The model follows the window's real size, so the host's views report what is shown.
    auto root = self->root_.lock();
    if (!root) return;
    Rect frame{{0, 0}, {static_cast<double>(allocation->width), static_cast<double>(allocation->height)}};
    bool resized = !(root->frame() == frame);
    if (!resized && self->laidOut_) return;
    auto controller = self->controller_.lock();
    // The first size is the one the window opened with, not a transition to a new one.
    if (controller && resized && self->laidOut_) controller->viewWillTransitionToSize(frame.size);
    if (controller) controller->viewWillLayoutSubviews();
    if (resized) root->setFrame(frame);
    self->laidOut_ = true;
    if (controller) controller->viewDidLayoutSubviews();
  } catch (...) {
    log("GtkWindowBackend: resizing the views failed");
  }
}

void GtkWindowBackend::appearance(bool visible, bool done) {
  auto controller = controller_.lock();
  if (!controller) return;
  try {
    if (visible) {
      if (appearance_ == Appearance::Hidden || appearance_ == Appearance::Disappearing) {
        appearance_ = Appearance::Appearing;
        controller->viewWillAppear(false);
      }
      if (done && appearance_ == Appearance::Appearing) {
        appearance_ = Appearance::Shown;
        controller->viewDidAppear(false);
      }
    } else {
      if (appearance_ == Appearance::Shown || appearance_ == Appearance::Appearing) {
        appearance_ = Appearance::Disappearing;
        controller->viewWillDisappear(false);
      }
      if (done && appearance_ == Appearance::Disappearing) {
        appearance_ = Appearance::Hidden;
        controller->viewDidDisappear(false);
      }
    }
  } catch (...) {
    log("GtkWindowBackend: a view appearance handler failed");
  }
}

void GtkWindowBackend::onMapSignal(GtkWidget*, gpointer data) { static_cast<GtkWindowBackend*>(data)->appearance(true, false); }

void GtkWindowBackend::onUnmapSignal(GtkWidget*, gpointer data) {
  static_cast<GtkWindowBackend*>(data)->appearance(false, false);
}

gboolean GtkWindowBackend::onMapEvent(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<GtkWindowBackend*>(data)->appearance(true, true);
  return FALSE;
}

gboolean GtkWindowBackend::onUnmapEvent(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<GtkWindowBackend*>(data)->appearance(false, true);
  return FALSE;
}

gboolean GtkWindowBackend::onIconify(GtkWidget*, GdkEventWindowState* event, gpointer data) {
  // Not every window manager unmaps an iconified window; the view is out of sight either way.
  if (event->changed_mask & GDK_WINDOW_STATE_ICONIFIED) {
    bool visible = !(event->new_window_state & GDK_WINDOW_STATE_ICONIFIED);
    auto* self = static_cast<GtkWindowBackend*>(data);
    self->appearance(visible, false);
    self->appearance(visible, true);
  }
  return FALSE;
}

gboolean GtkWindowBackend::onFocusIn(GtkWidget*, GdkEvent*, gpointer) {
  Application& app = Application::shared();
  if (app.state() == ApplicationState::Inactive) app.didBecomeActive();
  return FALSE;
}

gboolean GtkWindowBackend::onFocusOut(GtkWidget*, GdkEvent*, gpointer) {
  Application& app = Application::shared();
  if (app.state() == ApplicationState::Active) app.willResignActive();
  return FALSE;
}

gboolean GtkWindowBackend::onWindowState(GtkWidget*, GdkEventWindowState* event, gpointer) {
  if (!(event->changed_mask & GDK_WINDOW_STATE_ICONIFIED)) return FALSE;
  Application& app = Application::shared();
  if (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) {
    if (app.state() == ApplicationState::Active) app.willResignActive();
    if (app.state() != ApplicationState::Background) app.didEnterBackground();
  } else if (app.state() == ApplicationState::Background) {
    app.willEnterForeground();
    app.didBecomeActive();
  }
  return FALSE;
}

gboolean GtkWindowBackend::onMap(GtkWidget*, GdkEvent*, gpointer data) {
  auto* self = static_cast<GtkWindowBackend*>(data);
  // A launched application becomes active once its window is on screen, also where no
  // window manager hands out focus (a virtual display).
  if (!self->mapped_) {
    self->mapped_ = true;
    Application& app = Application::shared();
    if (app.state() == ApplicationState::Inactive) app.didBecomeActive();
  }
  return FALSE;
}

gboolean GtkWindowBackend::onDelete(GtkWidget*, GdkEvent*, gpointer data) {
  auto* self = static_cast<GtkWindowBackend*>(data);
  try {
    if (self->closeHandler_)
      self->closeHandler_();
    else if (self->isMainWindow_)
      Application::shared().terminate(0);
  } catch (...) {
    log("GtkWindowBackend: closing the window failed");
  }
  // The window goes when its owner drops it, never behind the owner's back.
  return TRUE;
}

}  // namespace platform::ui
