#include "platform/auth/gtk/GtkAuthFlowWindow.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <optional>

#include "platform/auth/AuthController.h"
#include "platform/foundation/MainLoop.h"
#include "support/HttpsTestServer.h"

namespace {

using platform::MainLoop;

struct Recorder : AuthControllerDelegate {
  void authFinishedWithResult(const AuthResult& r) override {
    ++count;
    result = r;
  }
  std::optional<AuthResult> result;
  int count = 0;
};

GtkWindow* signInWindow() {
  GtkWindow* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* l = windows; l; l = l->next) {
    const char* title = gtk_window_get_title(GTK_WINDOW(l->data));
    if (title && std::string(title) == "Sign in" && gtk_widget_get_visible(GTK_WIDGET(l->data)))
      found = GTK_WINDOW(l->data);
  }
  g_list_free(windows);
  return found;
}

// A flow that reaches its callback is driven end to end in the real shell (tests/e2e).
TEST(GtkAuthFlowWindow, AWindowClosedByTheUserOrAnUntrustedPageFails) {
  installGtkAuthFlowWindow();
  auto recorder = std::make_shared<Recorder>();
  auto controller = AuthController::initWithDelegate(recorder);
  auto finish = [&](double seconds) {
    return MainLoop::runUntil([&] { return recorder->result.has_value(); }, seconds);
  };
  testing_support::HttpsTestServer server;
  server.on("GET", "/authorize", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("<html><body>Sign in here</body></html>", "text/html");
  });
  controller->startFlow(server.url("/authorize"), "myapp://done", nullptr);
  ASSERT_TRUE(MainLoop::runUntil([&] { return server.requestCount("/authorize") > 0; }, 20));
  GtkWindow* window = signInWindow();
  ASSERT_NE(window, nullptr);
  gtk_window_close(window);
  ASSERT_TRUE(finish(5));
  EXPECT_EQ(recorder->result->status, AuthStatusFailed);
  EXPECT_EQ(recorder->result->message, "The authentication window was closed before the flow finished.");

  // A certificate that names another host is refused, even from the trusted authority.
  recorder->result.reset();
  testing_support::HttpsTestServer other(testing_support::HttpsTestServer::Certificate::OtherHost);
  controller->startFlow(other.url("/authorize"), "myapp://done", nullptr);
  ASSERT_TRUE(finish(20));
  EXPECT_EQ(recorder->result->status, AuthStatusFailed);
  EXPECT_EQ(recorder->result->message, "The authentication page's certificate is not trusted.");
  EXPECT_EQ(recorder->count, 2);
  controller.reset();
  MainLoop::runFor(0.1);
  AuthController::setFlowPresenter(nullptr);
}

}  // namespace
