#include "platform/camera/VLCAMREditorWindow.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>

#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Application.h"

namespace {

std::atomic<bool> gTerminating{false};

// The windows that ask the person and are open. Main thread.
std::set<GtkWidget*>& askingWindows() {
  static auto* windows = new std::set<GtkWidget*>();
  return *windows;
}

// Once the application terminates, the windows that ask the person close and no more open.
void closeAskingWindowsOnTermination() {
  static std::once_flag once;
  std::call_once(once, [] {
    static const int owner = 0;
    platform::NotificationCenter::defaultCenter().addObserver(
        &owner, platform::ui::kApplicationWillTerminateNotification, nullptr, [](const platform::Notification&) {
          gTerminating = true;
          // Copied first: each window leaves the set as it is destroyed.
          std::set<GtkWidget*> open = askingWindows();
          for (GtkWidget* window : open) gtk_widget_destroy(window);
        });
  });
}

void forgetAskingWindow(GtkWidget* window, gpointer) { askingWindows().erase(window); }

// The largest side the picture is shown at; larger pictures are shown smaller.
constexpr double kShownSide = 480;
// How near the lower right corner (in shown pixels) a press grabs it.
constexpr double kCornerGrab = 14;
// The smallest side a crop may have, in the picture's pixels.
constexpr double kSmallestSide = 8;

// One open editing window: the picture, the crop as it stands, the drag under way and, once
// the person has answered, the answer.
struct Editing {
  GdkPixbuf* picture = nullptr;  // a reference of its own
  double width = 0, height = 0;  // the picture's
  double scale = 1;              // shown pixels per picture pixel
  double aspect = 0;             // width / height the crop keeps; 0: any
  double x = 0, y = 0, cropWidth = 0, cropHeight = 0;

  enum class Drag { none, moving, resizing } drag = Drag::none;
  double pressX = 0, pressY = 0;  // where the drag began, in picture pixels
  double startX = 0, startY = 0, startWidth = 0, startHeight = 0;

  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  std::optional<VLCAMRCrop> answer;

  ~Editing() {
    if (picture) g_object_unref(picture);
  }

  void moveBy(double dx, double dy) {
    x = std::clamp(startX + dx, 0.0, width - cropWidth);
    y = std::clamp(startY + dy, 0.0, height - cropHeight);
  }

  // The lower right corner follows the pointer, inside the picture, keeping the proportions.
  void resizeBy(double dx, double dy) {
    double w = std::clamp(startWidth + dx, kSmallestSide, width - x);
    double h = std::clamp(startHeight + dy, kSmallestSide, height - y);
    if (aspect > 0) {
      // The side the pointer moved further decides; the other follows, within the picture.
      if (w / h > aspect) w = h * aspect;
      else h = w / aspect;
    }
    cropWidth = std::max(1.0, w);
    cropHeight = std::max(1.0, h);
  }

  VLCAMRCrop crop() const {
    return VLCAMRCrop{int(std::lround(x)), int(std::lround(y)), int(std::lround(cropWidth)),
                      int(std::lround(cropHeight))};
  }
};

using EditingRef = std::shared_ptr<Editing>;

void finish(Editing& editing, std::optional<VLCAMRCrop> answer) {
  {
    std::lock_guard lock(editing.mutex);
    if (editing.done) return;
    editing.answer = answer;
    editing.done = true;
  }
  editing.answered.notify_all();
}

gboolean onDraw(GtkWidget*, cairo_t* cr, gpointer data) {
  auto& editing = **static_cast<EditingRef*>(data);
  cairo_save(cr);
  cairo_scale(cr, editing.scale, editing.scale);
  gdk_cairo_set_source_pixbuf(cr, editing.picture, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
  // What is cut away is dimmed; the kept part is outlined, with its corner handle.
  double s = editing.scale;
  double left = editing.x * s, top = editing.y * s, w = editing.cropWidth * s, h = editing.cropHeight * s;
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
  cairo_rectangle(cr, 0, 0, editing.width * s, editing.height * s);
  cairo_rectangle(cr, left, top, w, h);
  cairo_set_source_rgba(cr, 0, 0, 0, 0.55);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_set_line_width(cr, 2);
  cairo_rectangle(cr, left + 1, top + 1, std::max(0.0, w - 2), std::max(0.0, h - 2));
  cairo_stroke(cr);
  cairo_rectangle(cr, left + w - 8, top + h - 8, 8, 8);
  cairo_fill(cr);
  return TRUE;
}

gboolean onPress(GtkWidget*, GdkEventButton* event, gpointer data) {
  auto& editing = **static_cast<EditingRef*>(data);
  if (event->button != 1 || event->type != GDK_BUTTON_PRESS) return FALSE;
  double s = editing.scale;
  double px = event->x / s, py = event->y / s;
  double cornerX = (editing.x + editing.cropWidth) * s, cornerY = (editing.y + editing.cropHeight) * s;
  if (std::abs(event->x - cornerX) <= kCornerGrab && std::abs(event->y - cornerY) <= kCornerGrab)
    editing.drag = Editing::Drag::resizing;
  else if (px >= editing.x && px <= editing.x + editing.cropWidth && py >= editing.y &&
           py <= editing.y + editing.cropHeight)
    editing.drag = Editing::Drag::moving;
  else
    return FALSE;
  editing.pressX = px;
  editing.pressY = py;
  editing.startX = editing.x;
  editing.startY = editing.y;
  editing.startWidth = editing.cropWidth;
  editing.startHeight = editing.cropHeight;
  return TRUE;
}

gboolean onMotion(GtkWidget* area, GdkEventMotion* event, gpointer data) {
  auto& editing = **static_cast<EditingRef*>(data);
  if (editing.drag == Editing::Drag::none) return FALSE;
  double dx = event->x / editing.scale - editing.pressX, dy = event->y / editing.scale - editing.pressY;
  if (editing.drag == Editing::Drag::moving) editing.moveBy(dx, dy);
  else editing.resizeBy(dx, dy);
  gtk_widget_queue_draw(area);
  return TRUE;
}

gboolean onRelease(GtkWidget*, GdkEventButton* event, gpointer data) {
  auto& editing = **static_cast<EditingRef*>(data);
  if (event->button != 1) return FALSE;
  editing.drag = Editing::Drag::none;
  return TRUE;
}

void onResponse(GtkDialog* dialog, int response, gpointer data) {
  auto& editing = **static_cast<EditingRef*>(data);
  finish(editing, response == GTK_RESPONSE_ACCEPT ? std::optional(editing.crop()) : std::nullopt);
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

// A window destroyed without an answer (closed, or the application terminating) is a
// cancellation.
void onDestroy(GtkWidget*, gpointer data) { finish(**static_cast<EditingRef*>(data), std::nullopt); }

void connect(GtkWidget* widget, const char* signal, GCallback handler, const EditingRef& editing) {
  g_signal_connect_data(widget, signal, handler, new EditingRef(editing),
                        [](gpointer data, GClosure*) { delete static_cast<EditingRef*>(data); }, GConnectFlags(0));
}

// Opens the window. Main thread.
void openEditor(const EditingRef& editing) {
  GtkWidget* dialog = gtk_dialog_new_with_buttons("Edit the picture", nullptr, GtkDialogFlags(0), "_Cancel",
                                                  GTK_RESPONSE_CANCEL, "_Use", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  GtkWidget* area = gtk_drawing_area_new();
  gtk_widget_set_name(area, "crop-area");
  gtk_widget_set_size_request(area, int(std::ceil(editing->width * editing->scale)),
                              int(std::ceil(editing->height * editing->scale)));
  gtk_widget_add_events(area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_BUTTON1_MOTION_MASK);
  gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), area);
  connect(area, "draw", G_CALLBACK(onDraw), editing);
  connect(area, "button-press-event", G_CALLBACK(onPress), editing);
  connect(area, "motion-notify-event", G_CALLBACK(onMotion), editing);
  connect(area, "button-release-event", G_CALLBACK(onRelease), editing);
  connect(dialog, "response", G_CALLBACK(onResponse), editing);
  connect(dialog, "destroy", G_CALLBACK(onDestroy), editing);
  gtk_widget_show_all(gtk_dialog_get_content_area(GTK_DIALOG(dialog)));
  VLCAMRShowAskingWindow(dialog);
}

}  // namespace

void VLCAMRShowAskingWindow(GtkWidget* window) {
  closeAskingWindowsOnTermination();
  if (gTerminating) {
    gtk_widget_destroy(window);
    return;
  }
  // Kept above the active window, as the page's own dialogs are, but not modal.
  GtkWindow* parent = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* toplevel = windows; toplevel && !parent; toplevel = toplevel->next)
    if (toplevel->data != window && gtk_window_is_active(GTK_WINDOW(toplevel->data)))
      parent = GTK_WINDOW(toplevel->data);
  g_list_free(windows);
  if (parent) {
    gtk_window_set_transient_for(GTK_WINDOW(window), parent);
    gtk_window_set_destroy_with_parent(GTK_WINDOW(window), TRUE);
  }
  gtk_window_set_modal(GTK_WINDOW(window), FALSE);
  askingWindows().insert(window);
  g_signal_connect(window, "destroy", G_CALLBACK(forgetAskingWindow), nullptr);
  gtk_widget_show(window);
}

bool VLCAMRApplicationTerminating() {
  closeAskingWindowsOnTermination();
  return gTerminating;
}

VLCAMRCrop VLCAMRFactory::targetCrop(int width, int height, VLCAMRSize target) {
  if (width <= 0 || height <= 0 || target.width <= 0 || target.height <= 0) return {0, 0, width, height};
  double aspect = double(target.width) / double(target.height);
  int w = width, h = height;
  if (double(width) / height > aspect) w = std::clamp(int(std::lround(height * aspect)), 1, width);
  else h = std::clamp(int(std::lround(width / aspect)), 1, height);
  return {(width - w) / 2, (height - h) / 2, w, h};
}

std::optional<VLCAMRCrop> VLCAMREditInWindow(GdkPixbuf* picture, VLCAMRCrop initial, VLCAMRSize target) {
  if (VLCAMRApplicationTerminating()) return std::nullopt;
  // One window at a time: each waits on a background worker, and a page that asked again and
  // again would otherwise hold every worker the shell has.
  static std::atomic<bool> windowOpen{false};
  if (windowOpen.exchange(true)) {
    platform::log("Camera: a picture is being edited already; this edit is refused.");
    return std::nullopt;
  }
  struct Closing {
    ~Closing() { windowOpen = false; }
  } closing;
  auto editing = std::make_shared<Editing>();
  editing->picture = GDK_PIXBUF(g_object_ref(picture));
  editing->width = gdk_pixbuf_get_width(picture);
  editing->height = gdk_pixbuf_get_height(picture);
  editing->scale = std::min({1.0, kShownSide / editing->width, kShownSide / editing->height});
  editing->aspect = target.width > 0 && target.height > 0 ? double(target.width) / double(target.height) : 0;
  editing->x = std::clamp<double>(initial.x, 0, editing->width - 1);
  editing->y = std::clamp<double>(initial.y, 0, editing->height - 1);
  editing->cropWidth = std::clamp<double>(initial.width, 1, editing->width - editing->x);
  editing->cropHeight = std::clamp<double>(initial.height, 1, editing->height - editing->y);
  platform::MainLoop::post([editing] { openEditor(editing); });
  // The person takes the time they need; the window answers once, even when it is closed.
  std::unique_lock lock(editing->mutex);
  editing->answered.wait(lock, [&] { return editing->done; });
  return editing->answer;
}
