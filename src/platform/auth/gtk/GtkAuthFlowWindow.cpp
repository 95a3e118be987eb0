#include "platform/auth/gtk/GtkAuthFlowWindow.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <map>
#include <string>
#include <vector>

#include "platform/auth/AuthController.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/net/TLSTrust.h"
#include "platform/ui/gtk/GtkApplicationBackend.h"
#include "platform/ui/gtk/GtkWindowBackend.h"
#include "platform/ui/gtk/GObjectPtr.h"

namespace {

using platform::gtk::GObjectPtr;
using platform::gtk::SignalConnection;

// Flows share one context that keeps nothing on disk: a sign-in leaves no cookies behind.
WebKitWebContext* flowContext() {
  static WebKitWebContext* context = webkit_web_context_new_ephemeral();
  return context;
}

// Whether the certificate chains up to the authority the program was told to trust on top
// of the system's (a test's own authority). WebKit has already checked the system's.
bool trustedByAdditionalAuthority(GTlsCertificate* certificate, const std::string& host, int port) {
  std::string file = platform::net::additionalTrustedCAFile();
  if (file.empty() || !certificate) return false;
  GError* error = nullptr;
  GTlsDatabase* database = g_tls_file_database_new(file.c_str(), &error);
  if (!database) {
    if (error) g_error_free(error);
    return false;
  }
  GSocketConnectable* identity = g_network_address_new(host.c_str(), static_cast<guint16>(port));
  GTlsCertificateFlags flags =
      g_tls_database_verify_chain(database, certificate, G_TLS_DATABASE_PURPOSE_AUTHENTICATE_SERVER, identity,
                                  nullptr, G_TLS_DATABASE_VERIFY_NONE, nullptr, &error);
  if (error) {
    g_error_free(error);
    flags = G_TLS_CERTIFICATE_GENERIC_ERROR;
  }
  g_object_unref(identity);
  g_object_unref(database);
  return flags == 0;
}

// How often a host's certificate from the additional authority is allowed before it is refused.
constexpr int kCertificateTries = 3;

// Where the rules that keep frames off a flow's callback are compiled: a folder of the shell's
// own state, which no page reaches.
WebKitUserContentFilterStore* filterStore() {
  static WebKitUserContentFilterStore* store = [] {
    std::string folder = platform::fs::appendPath(platform::paths::applicationSupport(), "AuthController");
    g_mkdir_with_parents(folder.c_str(), 0700);
    return webkit_user_content_filter_store_new(folder.c_str());
  }();
  return store;
}

class GtkAuthFlowWindow : public AuthFlowWindow {
 public:
  GtkAuthFlowWindow(const platform::URL& endpoint, GtkWindow* parent, AuthFlowEvents events)
      : events_(std::move(events)), endpoint_(endpoint.absoluteString()) {
    window_ = GObjectPtr<GtkWidget>::retain(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    gtk_window_set_title(GTK_WINDOW(window_.get()), "Sign in");
    gtk_window_set_default_size(GTK_WINDOW(window_.get()), 480, 640);
    if (parent) {
      gtk_window_set_transient_for(GTK_WINDOW(window_.get()), parent);
      gtk_window_set_modal(GTK_WINDOW(window_.get()), TRUE);
    }
    contentManager_ = GObjectPtr<WebKitUserContentManager>::adopt(webkit_user_content_manager_new());
    view_ = GObjectPtr<WebKitWebView>::retain(WEBKIT_WEB_VIEW(g_object_new(
        WEBKIT_TYPE_WEB_VIEW, "web-context", flowContext(), "user-content-manager", contentManager_.get(), nullptr)));
    gtk_container_add(GTK_CONTAINER(window_.get()), GTK_WIDGET(view_.get()));

    using platform::gtk::connectSignal;
    connections_.push_back(connectSignal(view_.get(), "decide-policy", onDecidePolicy, this));
    connections_.push_back(connectSignal(view_.get(), "load-changed", onLoadChanged, this));
    connections_.push_back(connectSignal(view_.get(), "notify::uri", onURIChanged, this));
    connections_.push_back(connectSignal(view_.get(), "load-failed", onLoadFailed, this));
    connections_.push_back(connectSignal(view_.get(), "load-failed-with-tls-errors", onTLSErrors, this));
    connections_.push_back(connectSignal(view_.get(), "web-process-terminated", onProcessTerminated, this));
    connections_.push_back(connectSignal(view_.get(), "create", onCreate, this));
    connections_.push_back(connectSignal(window_.get(), "delete-event", onDelete, this));
    gtk_widget_show_all(window_.get());
    if (events_.callbackRules.empty()) {
      webkit_web_view_load_uri(view_.get(), endpoint_.c_str());
      return;
    }
    // The page loads once the rules that keep every frame off the callback are in place.
    cancellable_ = GObjectPtr<GCancellable>::adopt(g_cancellable_new());
    GBytes* rules = g_bytes_new(events_.callbackRules.data(), events_.callbackRules.size());
    webkit_user_content_filter_store_save(filterStore(), "callback", rules, cancellable_.get(), onRulesCompiled, this);
    g_bytes_unref(rules);
  }

  ~GtkAuthFlowWindow() override {
    if (cancellable_) g_cancellable_cancel(cancellable_.get());
    connections_.clear();
    webkit_web_view_stop_loading(view_.get());
    gtk_widget_destroy(window_.get());
  }

 private:
  // True when the URI ends the flow.
  bool reached(const char* uri) {
    if (done_ || !uri || !events_.navigation) return done_;
    auto url = platform::URL::parse(uri);
    if (url && events_.navigation(*url)) done_ = true;
    return done_;
  }

  void fail(const std::string& reason) {
    if (done_) return;
    done_ = true;
    if (events_.failed) events_.failed(reason);
  }

  static void onRulesCompiled(GObject* store, GAsyncResult* result, gpointer data) {
    GError* error = nullptr;
    WebKitUserContentFilter* filter =
        webkit_user_content_filter_store_save_finish(WEBKIT_USER_CONTENT_FILTER_STORE(store), result, &error);
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {  // the window is gone
      g_error_free(error);
      if (filter) webkit_user_content_filter_unref(filter);
      return;
    }
    auto* self = static_cast<GtkAuthFlowWindow*>(data);
    try {
      if (!filter) {
        platform::log(std::string("AuthController: the callback rules did not compile: ") +
                      (error && error->message ? error->message : "unknown error"));
        self->fail("The authentication page could not be shown safely.");
      } else {
        webkit_user_content_manager_add_filter(self->contentManager_.get(), filter);
        webkit_web_view_load_uri(self->view_.get(), self->endpoint_.c_str());
      }
    } catch (...) {
      platform::log("AuthController: starting the page failed");
    }
    if (error) g_error_free(error);
    if (filter) webkit_user_content_filter_unref(filter);
  }

  // Only the main frame's own loads are looked at: WebKitGTK does not tell which frame a
  // navigation decision is for, so decisions never end the flow (a frame's load of the
  // callback is blocked by the rules instead); the view's URI, its load events and a
  // response for the main frame's document are the main frame's.
  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                 gpointer data) {
    auto* self = static_cast<GtkAuthFlowWindow*>(data);
    const char* uri = nullptr;
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
      auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
      WebKitURIRequest* request = webkit_response_policy_decision_get_request(response);
      if (request && webkit_response_policy_decision_is_main_frame_main_resource(response))
        uri = webkit_uri_request_get_uri(request);
    }
    try {
      if (self->reached(uri) || type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        // The callback is never loaded, and a flow opens no second window.
        webkit_policy_decision_ignore(decision);
        return TRUE;
      }
    } catch (...) {
      platform::log("AuthController: a navigation check failed");
    }
    return FALSE;
  }

  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto* self = static_cast<GtkAuthFlowWindow*>(data);
    if (event != WEBKIT_LOAD_REDIRECTED && event != WEBKIT_LOAD_STARTED) return;
    try {
      if (self->reached(webkit_web_view_get_uri(view))) webkit_web_view_stop_loading(view);
    } catch (...) {
      platform::log("AuthController: a navigation check failed");
    }
  }

  static void onURIChanged(WebKitWebView* view, GParamSpec*, gpointer data) {
    auto* self = static_cast<GtkAuthFlowWindow*>(data);
    try {
      if (self->reached(webkit_web_view_get_uri(view))) webkit_web_view_stop_loading(view);
    } catch (...) {
      platform::log("AuthController: a navigation check failed");
    }
  }

  static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* failingURI, GError* error, gpointer data) {
    auto* self = static_cast<GtkAuthFlowWindow*>(data);
    try {
      // The main frame's load of the callback, which the rules blocked: the flow's end.
      if (self->reached(failingURI)) return TRUE;
    } catch (...) {
      platform::log("AuthController: a navigation check failed");
    }
    // Loads stopped here (the callback, a refused window) are not failures of the page.
    if (self->done_ || g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE) ||
        g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
      return TRUE;
    try {
      self->fail(std::string("The authentication page could not be loaded: ") +
                 (error && error->message ? error->message : "unknown error"));
    } catch (...) {
      platform::log("AuthController: reporting a load failure failed");
    }
    return TRUE;
  }

  static gboolean onTLSErrors(WebKitWebView* view, gchar* failingURI, GTlsCertificate* certificate,
                              GTlsCertificateFlags, gpointer data) {
    auto* self = static_cast<GtkAuthFlowWindow*>(data);
    try {
      auto url = platform::URL::parse(failingURI ? failingURI : "");
      std::string host = url ? url->host() : "";
      int port = url && url->port() ? *url->port() : 443;
      // A few times per host: the allowance reaches WebKit's network process on its own time,
      // so a load that follows at once may fail once more with the same certificate; past
      // that, a certificate that fails again after it was allowed stays refused.
      int& tries = self->allowedHosts_[host];
      if (url && tries < kCertificateTries && trustedByAdditionalAuthority(certificate, host, port)) {
        ++tries;
        webkit_web_context_allow_tls_certificate_for_host(flowContext(), certificate, host.c_str());
        webkit_web_view_load_uri(view, failingURI);
        return TRUE;
      }
      self->fail("The authentication page's certificate is not trusted.");
    } catch (...) {
      platform::log("AuthController: a certificate check failed");
    }
    return TRUE;
  }

  static void onProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data) {
    try {
      static_cast<GtkAuthFlowWindow*>(data)->fail("The authentication page stopped working.");
    } catch (...) {
      platform::log("AuthController: reporting a failure failed");
    }
  }

  static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction*, gpointer) { return nullptr; }

  static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
    auto* self = static_cast<GtkAuthFlowWindow*>(data);
    try {
      if (!self->done_) {
        self->done_ = true;
        if (self->events_.closedByUser) self->events_.closedByUser();
      }
    } catch (...) {
      platform::log("AuthController: reporting the closed window failed");
    }
    // The flow closes the window when it lets go of it.
    return TRUE;
  }

  AuthFlowEvents events_;
  std::string endpoint_;
  GObjectPtr<GtkWidget> window_;
  GObjectPtr<WebKitUserContentManager> contentManager_;
  GObjectPtr<GCancellable> cancellable_;
  GObjectPtr<WebKitWebView> view_;
  std::vector<SignalConnection> connections_;
  std::map<std::string, int> allowedHosts_;  // how often a certificate was allowed for the host
  bool done_ = false;
};

}  // namespace

void installGtkAuthFlowWindow() {
  AuthController::setFlowPresenter([](const platform::URL& endpoint,
                                      const std::shared_ptr<platform::ui::Window>& parent,
                                      AuthFlowEvents events) -> std::unique_ptr<AuthFlowWindow> {
    GtkWindow* over = nullptr;
    auto* main = platform::ui::GtkApplicationBackend::mainWindow();
    if (main && parent && main->rootView() == std::static_pointer_cast<platform::ui::View>(parent))
      over = main->window();
    return std::make_unique<GtkAuthFlowWindow>(endpoint, over, std::move(events));
  });
}
