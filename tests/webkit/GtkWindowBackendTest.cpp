#include "platform/ui/gtk/GtkWindowBackend.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Application.h"
#include "platform/ui/StatusBar.h"
#include "platform/ui/gtk/GtkAlertPresenter.h"
#include "platform/webkit/gtk/GtkWebView.h"

namespace {

using namespace platform::ui;
using platform::MainLoop;

std::vector<GtkWidget*> childrenOf(GtkWidget* container) {
  std::vector<GtkWidget*> result;
  GList* list = gtk_container_get_children(GTK_CONTAINER(container));
  for (GList* l = list; l; l = l->next) result.push_back(GTK_WIDGET(l->data));
  g_list_free(list);
  return result;
}

// A view with a widget of its own, of a type the window does not know.
class LabelView : public View {
 public:
  LabelView() : label_(platform::gtk::GObjectPtr<GtkWidget>::adopt(gtk_label_new("own"))) {}
  void* nativeWidget() const override { return label_.get(); }

 private:
  platform::gtk::GObjectPtr<GtkWidget> label_;
};

TEST(GtkWindowBackend, MirrorsTheViewTreeAndItsChanges) {
  auto root = std::make_shared<View>(Rect{{0, 0}, {300, 400}});
  auto controllerView = std::make_shared<View>(root->bounds());
  controllerView->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
  root->addSubview(controllerView);
  auto webView = platform::webkit::GtkWebView::create(controllerView->bounds(), {});
  auto launch = std::make_shared<View>(controllerView->bounds());
  launch->setBackgroundColor(Color::white());
  controllerView->addSubview(launch);
  controllerView->addSubview(webView);
  controllerView->sendSubviewToBack(webView);
  webView->setHidden(true);
  auto label = std::make_shared<LabelView>();
  root->addSubview(label);

  auto backend = std::make_unique<GtkWindowBackend>(root, false);
  GtkWidget* overlay = backend->widgetFor(*controllerView);
  ASSERT_NE(overlay, nullptr);
  // The web view sent to the back sits below the launch view: the overlay's first child after
  // the background.
  auto children = childrenOf(overlay);
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(children[1], webView->widget());
  EXPECT_EQ(children[2], backend->widgetFor(*launch));
  EXPECT_FALSE(gtk_widget_get_visible(webView->widget()));
  // A view with its own widget is shown as that widget, and keeps that widget's properties.
  EXPECT_EQ(backend->widgetFor(*label), label->nativeWidget());
  EXPECT_EQ(childrenOf(backend->widgetFor(*root)).back(), label->nativeWidget());
  gtk_widget_hide(GTK_WIDGET(label->nativeWidget()));
  label->setAlpha(0.5);
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(label->nativeWidget())));

  // A fade is mirrored step by step; a view that is fully transparent is not shown at all.
  webView->setHidden(false);
  EXPECT_TRUE(gtk_widget_get_visible(webView->widget()));
  launch->setAlpha(0.5);
  EXPECT_NEAR(gtk_widget_get_opacity(backend->widgetFor(*launch)), 0.5, 0.01);
  EXPECT_TRUE(gtk_widget_get_visible(backend->widgetFor(*launch)));
  launch->setAlpha(0.0);
  EXPECT_FALSE(gtk_widget_get_visible(backend->widgetFor(*launch)));

  // The window's real size flows back into the model, and with it into flexible subviews.
  gtk_window_resize(backend->window(), 500, 600);
  ASSERT_TRUE(MainLoop::runUntil([&] { return root->frame().width() == 500; }, 5));
  EXPECT_EQ(controllerView->frame().height(), 600);

  launch->removeFromSuperview();
  EXPECT_EQ(backend->widgetFor(*launch), nullptr);
  EXPECT_EQ(childrenOf(overlay).size(), 2u);

  // The web view outlives its window: not destroyed with it, it still loads.
  backend.reset();
  EXPECT_EQ(gtk_widget_get_parent(webView->widget()), nullptr);
  webView->loadHTMLString("<title>alive</title>", std::nullopt);
  EXPECT_TRUE(MainLoop::runUntil([&] { return webView->title() == "alive"; }, 10));
}

TEST(GtkWindowBackend, ViewsSitWhereTheirFramesSayUnderTheStatusBar) {
  StatusBar::shared().reset();
  Screen::setMainBounds({{0, 0}, {300, 400}});
  auto root = std::make_shared<View>(Rect{{0, 0}, {300, 400}});
  auto strip = std::make_shared<View>(Rect{{0, 0}, {300, 20}});
  strip->setBackgroundColor(Color{1, 0, 0, 1});
  auto webView = platform::webkit::GtkWebView::create(Rect{{0, 20}, {300, 380}}, {});
  root->addSubview(webView);
  root->addSubview(strip);
  GtkWindowBackend backend(root, true);
  auto placed = [&](GtkWidget* widget, int x, int y, int w, int h) {
    return MainLoop::runUntil([&] {
      // An overlay's child sits in a window of its own, so its allocation alone does not say.
      GdkRectangle a{};
      gtk_widget_get_allocation(widget, &a);
      gtk_widget_translate_coordinates(widget, backend.widgetFor(*root), 0, 0, &a.x, &a.y);
      return a.x == x && a.y == y && a.width == w && a.height == h;
    }, 5);
  };
  EXPECT_TRUE(placed(backend.widgetFor(*strip), 0, 0, 300, 20));
  EXPECT_TRUE(placed(webView->widget(), 0, 20, 300, 380));
  webView->setFrame({{0, 44}, {300, 356}});
  EXPECT_TRUE(placed(webView->widget(), 0, 44, 300, 356));

  // The status bar sits on top of every view, as high as its model says, and reports taps.
  auto children = childrenOf(backend.widgetFor(*root));
  ASSERT_EQ(children.size(), 4u);
  GtkWidget* bar = children.back();
  EXPECT_TRUE(placed(bar, 0, 0, 300, 20));
  int taps = 0;
  platform::NotificationCenter::defaultCenter().addObserver(
      &taps, kStatusBarTappedNotification, nullptr, [&](const platform::Notification&) { ++taps; });
  GdkEvent* press = gdk_event_new(GDK_BUTTON_PRESS);
  press->button.button = 1;
  press->button.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(bar)));
  gtk_widget_event(bar, press);
  gdk_event_free(press);
  EXPECT_EQ(taps, 1);
  StatusBar::shared().setThickness(30);
  EXPECT_TRUE(placed(bar, 0, 0, 300, 30));
  StatusBar::shared().setHidden(true);
  EXPECT_FALSE(gtk_widget_get_visible(bar));
  platform::NotificationCenter::defaultCenter().removeObserver(&taps);
  StatusBar::shared().reset();
}

// Tells `window` it was iconified or restored, as the window manager would.
void setIconified(GtkWindow* window, bool iconified) {
  GdkEvent* state = gdk_event_new(GDK_WINDOW_STATE);
  state->window_state.changed_mask = GDK_WINDOW_STATE_ICONIFIED;
  state->window_state.new_window_state = iconified ? GDK_WINDOW_STATE_ICONIFIED : GdkWindowState(0);
  gboolean handled = FALSE;
  g_signal_emit_by_name(window, "window-state-event", state, &handled);
  gdk_event_free(state);
}

// Records what its window tells it.
class RecordingController : public ViewController {
 public:
  std::string className() const override { return "RecordingController"; }
  void viewWillAppear(bool) override { events.push_back("willAppear"); }
  void viewDidAppear(bool) override { events.push_back("didAppear"); }
  void viewWillDisappear(bool) override { events.push_back("willDisappear"); }
  void viewDidDisappear(bool) override { events.push_back("didDisappear"); }
  void viewWillLayoutSubviews() override { events.push_back("willLayout"); }
  void viewDidLayoutSubviews() override { events.push_back("didLayout"); }
  void viewWillTransitionToSize(Size size) override {
    events.push_back("transition " + std::to_string(int(size.width)) + "x" + std::to_string(int(size.height)));
  }
  std::vector<std::string> events;
};

// The main window's controller hears its view appear, resize and go; the application hears
// the window's focus and iconification.
TEST(GtkWindowBackend, TheMainWindowDrivesItsControllerAndTheApplicationsLifeCycle) {
  Application& app = Application::shared();
  std::vector<std::string> seen;
  int owner = 0;
  auto& center = platform::NotificationCenter::defaultCenter();
  center.addObserver(&owner, "", &app, [&](const platform::Notification& n) { seen.push_back(n.name); });
  auto controller = std::make_shared<RecordingController>();
  auto& events = controller->events;
  auto contains = [&](const std::string& event) { return std::find(events.begin(), events.end(), event) != events.end(); };
  {
    GtkWindowBackend backend(controller->view(), true);
    backend.setViewController(controller);
    ASSERT_TRUE(MainLoop::runUntil([&] { return contains("didAppear") && contains("didLayout"); }, 5));
    EXPECT_LT(std::find(events.begin(), events.end(), "willAppear"), std::find(events.begin(), events.end(), "didAppear"));
    EXPECT_LT(std::find(events.begin(), events.end(), "willLayout"), std::find(events.begin(), events.end(), "didLayout"));
    // Showing the window makes the application active, once.
    ASSERT_TRUE(MainLoop::runUntil([&] { return app.state() == ApplicationState::Active; }, 5));

    events.clear();
    gtk_window_resize(backend.window(), 321, 456);
    ASSERT_TRUE(MainLoop::runUntil([&] { return contains("didLayout"); }, 5));
    EXPECT_EQ(events, (std::vector<std::string>{"transition 321x456", "willLayout", "didLayout"}));
    EXPECT_EQ(controller->view()->frame().width(), 321);

    // Focus lost and found; iconified and restored, where a repeated state changes nothing.
    events.clear();
    GdkEvent* focus = gdk_event_new(GDK_FOCUS_CHANGE);
    for (const char* signal : {"focus-out-event", "focus-in-event", "focus-in-event"}) {
      gboolean handled = FALSE;
      g_signal_emit_by_name(backend.window(), signal, focus, &handled);
    }
    gdk_event_free(focus);
    for (bool iconified : {true, true, false}) setIconified(backend.window(), iconified);
    EXPECT_EQ(events, (std::vector<std::string>{"willDisappear", "didDisappear", "willAppear", "didAppear"}));
    events.clear();
    center.removeObserver(&owner);
  }
  // The window went away with the view on screen.
  EXPECT_EQ(events, (std::vector<std::string>{"willDisappear", "didDisappear"}));

  // Focus may come and go on its own while the window opens; what the events did must be there.
  const std::string active = kApplicationDidBecomeActiveNotification,
                    resign = kApplicationWillResignActiveNotification;
  std::vector<std::string> expected{active, resign, active, resign,
                                    kApplicationDidEnterBackgroundNotification,
                                    kApplicationWillEnterForegroundNotification, active};
  ASSERT_GE(seen.size(), expected.size());
  EXPECT_EQ(seen.front(), kApplicationDidBecomeActiveNotification);
  EXPECT_EQ(std::vector<std::string>(seen.end() - expected.size() + 1, seen.end()),
            std::vector<std::string>(expected.begin() + 1, expected.end()));
}

TEST(GtkAlertPresenter, AnswersEachAlertOnceWithTheTypedTexts) {
  std::vector<std::string> answers;
  auto alert = std::make_shared<Alert>();
  alert->title = "Title";
  alert->message = "<b>not markup</b>";
  alert->textFields.push_back({"preset", "hint"});
  alert->actions.push_back({"OK", AlertActionStyle::Default,
                            [&](const std::vector<std::string>& texts) { answers.push_back("OK:" + texts.at(0)); }});
  alert->actions.push_back({"Cancel", AlertActionStyle::Cancel,
                            [&](const std::vector<std::string>&) { answers.push_back("Cancel"); }});

  GtkWidget* dialog = GtkAlertPresenter::present(alert);
  ASSERT_NE(dialog, nullptr);
  GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  GtkWidget* entry = nullptr;
  for (GtkWidget* child : childrenOf(content))
    if (GTK_IS_ENTRY(child)) entry = child;
  ASSERT_NE(entry, nullptr);
  gtk_entry_set_text(GTK_ENTRY(entry), "typed");
  gtk_dialog_response(GTK_DIALOG(dialog), 0);
  EXPECT_EQ(answers, std::vector<std::string>{"OK:typed"});

  // A dialog closed without a button answers with the cancel action.
  dialog = GtkAlertPresenter::present(alert);
  gtk_widget_destroy(dialog);
  EXPECT_EQ(answers, (std::vector<std::string>{"OK:typed", "Cancel"}));
}

TEST(GtkAlertPresenter, AWindowUnderAStreamOfDialogsStillCloses) {
  // A page that answers every dialog with the next one must not hold the window: the close
  // reaches it while a dialog is up.
  auto root = std::make_shared<View>(Rect{{0, 0}, {200, 200}});
  GtkWindowBackend backend(root, false);
  int closes = 0;
  backend.setCloseHandler([&] { ++closes; });
  GtkAlertPresenter::setParentWindow(backend.window());
  std::vector<GtkWidget*> dialogs;
  for (int i = 0; i < 3; ++i) {
    auto alert = std::make_shared<Alert>();
    alert->message = "again";
    alert->actions.push_back({"OK", AlertActionStyle::Default, [](const std::vector<std::string>&) {}});
    dialogs.push_back(GtkAlertPresenter::present(alert));
  }
  GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(backend.window()));
  ASSERT_NE(window, nullptr);
  GdkEvent* event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(window));
  gtk_main_do_event(event);
  gdk_event_free(event);
  EXPECT_EQ(closes, 1);
  for (GtkWidget* dialog : dialogs) gtk_widget_destroy(dialog);
  GtkAlertPresenter::setParentWindow(nullptr);
}

}  // namespace
