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

// Only the main frame ends the flow: a frame of the sign-in page that loads the callback URL
// (with a code of its own) is neither the flow's end nor fetched; the page's own navigation
// to the callback then ends it, directly or through a redirect, for a callback on the
// server and for one of the application's own scheme.
TEST(GtkAuthFlowWindow, OnlyTheMainFrameReachesTheCallback) {
  installGtkAuthFlowWindow();
  auto recorder = std::make_shared<Recorder>();
  auto controller = AuthController::initWithDelegate(recorder);
  testing_support::HttpsTestServer server;
  for (std::string callback : {server.url("/callback"), std::string("myapp://done")}) {
    for (std::string next : {std::string("/login"), callback + "?code=real"}) {
      recorder->result.reset();
      server.on("GET", "/authorize", [callback, next](const httplib::Request&, httplib::Response& response) {
        response.set_content("<html><body>Sign in<iframe src='" + callback + "?code=spoofed'></iframe>"
                             "<script>setTimeout(function () { location.href = '" + next + "'; }, 700);</script>"
                             "</body></html>",
                             "text/html");
      });
      server.on("GET", "/login", [callback](const httplib::Request&, httplib::Response& response) {
        response.status = 302;
        response.set_header("Location", callback + "?code=real");
      });
      controller->startFlow(server.url("/authorize"), callback, nullptr);
      ASSERT_TRUE(MainLoop::runUntil([&] { return recorder->result.has_value(); }, 20)) << callback << " " << next;
      EXPECT_EQ(recorder->result->status, AuthStatusSucceeded) << recorder->result->message;
      EXPECT_EQ(recorder->result->message, callback + "?code=real") << next;
    }
  }
  EXPECT_EQ(server.requestCount("/login"), 2u);
  EXPECT_EQ(server.requestCount("/callback"), 0u);
  controller.reset();
  MainLoop::runFor(0.1);
  AuthController::setFlowPresenter(nullptr);
}

}  // namespace
