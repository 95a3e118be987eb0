#include "platform/webkit/gtk/GtkWebView.h"

#include <JavaScriptCore/JavaScript.h>
#include <cairo.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLError.h"
#include "platform/webkit/gtk/GtkMediaEndpoint.h"
#include "platform/webkit/gtk/GtkPageScripts.h"
#include "platform/webkit/gtk/GtkPageValue.h"
#include "platform/webkit/gtk/GtkRequest.h"
#include "platform/webkit/gtk/GtkURLSchemeTask.h"
#include "platform/webkit/gtk/GtkWebContext.h"

namespace platform::webkit {
namespace {

using platform::gtk::GObjectPtr;

std::unordered_map<WebKitWebView*, GtkWebView*>& viewsByWidget() {
  static auto* views = new std::unordered_map<WebKitWebView*, GtkWebView*>();
  return *views;
}

// Set while a UI delegate makes the web view of a page's new window: WebKit wants that view
// related to the one that asked, so that both share one web process.
WebKitWebView* gRelatedView = nullptr;

void logException(const char* where) {
  try {
    throw;
  } catch (const std::exception& e) {
    log(std::string("GtkWebView: ") + where + " failed: " + e.what());
  } catch (...) {
    log(std::string("GtkWebView: ") + where + " failed");
  }
}

NavigationType navigationTypeFrom(WebKitNavigationType type) {
  switch (type) {
    case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED:
      return NavigationType::LinkActivated;
    case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED:
      return NavigationType::FormSubmitted;
    case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD:
      return NavigationType::BackForward;
    case WEBKIT_NAVIGATION_TYPE_RELOAD:
      return NavigationType::Reload;
    case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED:
      return NavigationType::FormResubmitted;
    default:
      return NavigationType::Other;
  }
}

NavigationAction actionFrom(WebKitNavigationAction* action, bool targetsMainFrame) {
  NavigationAction result;
  result.request = requestFrom(webkit_navigation_action_get_request(action));
  result.navigationType = navigationTypeFrom(webkit_navigation_action_get_navigation_type(action));
  // WebKitGTK does not say which frame a navigation targets; a navigation action is taken
  // for the main frame and a new-window action for none. Whether a gesture started it, it
  // does say (only the frame the user acted in gets one); the view checks that against real
  // input, since WebKit also counts the shell's own script evaluations as gestures.
  result.targetsMainFrame = targetsMainFrame;
  result.userGesture = webkit_navigation_action_is_user_gesture(action);
  return result;
}

long urlErrorCodeFrom(const GError* error) {
  if (error && error->domain == WEBKIT_NETWORK_ERROR) {
    switch (error->code) {
      case WEBKIT_NETWORK_ERROR_CANCELLED: return urlerror::kCancelled;
      case WEBKIT_NETWORK_ERROR_FILE_DOES_NOT_EXIST: return urlerror::kFileDoesNotExist;
      case WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL: return urlerror::kUnsupportedURL;
      case WEBKIT_NETWORK_ERROR_TRANSPORT: return urlerror::kNetworkConnectionLost;
      default: return urlerror::kUnknown;
    }
  }
  if (error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return urlerror::kCancelled;
  return urlerror::kUnknown;
}

// WebKit's load errors in the platform's terms: cancellation is -999 of NSURLErrorDomain,
// as the host's delegates expect.
Error loadErrorFrom(const GError* error, const char* failingURI) {
  std::string message = error && error->message ? error->message : "Load failed";
  Error result;
  if (error && error->domain == WEBKIT_POLICY_ERROR) {
    long code = error->code == WEBKIT_POLICY_ERROR_FAILED ? 199 : error->code;
    result = Error::make("WebKitErrorDomain", code, message);
  } else {
    result = urlerror::make(urlErrorCodeFrom(error));
    // WebKit's own words say more than the code's stock text, and a scheme handler's failure
    // must reach the delegate in the handler's words.
    result.userInfo["NSLocalizedDescription"] = message;
  }
  if (failingURI) result.userInfo["NSErrorFailingURLStringKey"] = failingURI;
  return result;
}

Error javaScriptErrorFrom(const GError* error) {
  std::string message = error && error->message ? error->message : "JavaScript evaluation failed";
  if (error && error->domain == WEBKIT_JAVASCRIPT_ERROR) {
    // The platform's codes: 4 an exception occurred, 5 a result of an unsupported type.
    long code = error->code == WEBKIT_JAVASCRIPT_ERROR_SCRIPT_FAILED ? 4 : 5;
    return Error::make(kWKErrorDomain, code, message);
  }
  return Error::make(error ? g_quark_to_string(error->domain) : kWKErrorDomain, error ? error->code : 1, message);
}

// A policy decision answered once; one left unanswered is ignored, so the page never waits
// for ever on a delegate that dropped its decision handler.
class PolicyAnswer {
 public:
  explicit PolicyAnswer(WebKitPolicyDecision* decision) : decision_(GObjectPtr<WebKitPolicyDecision>::retain(decision)) {}
  ~PolicyAnswer() {
    if (!answered_) {
      log("A navigation policy decision was never made; the navigation is cancelled.");
      webkit_policy_decision_ignore(decision_.get());
    }
  }
  void decide(bool allow) {
    if (answered_) return;
    answered_ = true;
    if (allow)
      webkit_policy_decision_use(decision_.get());
    else
      webkit_policy_decision_ignore(decision_.get());
  }

 private:
  GObjectPtr<WebKitPolicyDecision> decision_;
  bool answered_ = false;
};

// A script dialog answered once. WebKit is told on a later turn of the main loop, because it
// does not expect the dialog to close inside its own signal emission; one left unanswered
// closes with the default answer when the last reference goes.
class DialogAnswer : public std::enable_shared_from_this<DialogAnswer> {
 public:
  explicit DialogAnswer(WebKitScriptDialog* dialog) : dialog_(webkit_script_dialog_ref(dialog)) {}
  ~DialogAnswer() {
    if (!answered_) webkit_script_dialog_close(dialog_);
    webkit_script_dialog_unref(dialog_);
  }
  void confirm(bool confirmed) {
    if (answered_) return;
    answered_ = true;
    MainLoop::post([self = shared_from_this(), confirmed] {
      webkit_script_dialog_confirm_set_confirmed(self->dialog_, confirmed);
      webkit_script_dialog_close(self->dialog_);
    });
  }
  void prompt(std::optional<std::string> text) {
    if (answered_) return;
    answered_ = true;
    MainLoop::post([self = shared_from_this(), text = std::move(text)] {
      if (text) webkit_script_dialog_prompt_set_text(self->dialog_, text->c_str());
      webkit_script_dialog_close(self->dialog_);
    });
  }
  void dismiss() {
    if (answered_) return;
    answered_ = true;
    MainLoop::post([self = shared_from_this()] { webkit_script_dialog_close(self->dialog_); });
  }

 private:
  WebKitScriptDialog* dialog_;
  bool answered_ = false;
};

struct Evaluation {
  JavaScriptCompletion completion;
};

void evaluationFinished(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Evaluation> evaluation(static_cast<Evaluation*>(data));
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
  try {
    if (error) {
      Error failure = javaScriptErrorFrom(error);
      g_error_free(error);
      evaluation->completion(Value(), failure);
    } else {
      Value converted = valueFromJSC(value);
      g_object_unref(value);
      evaluation->completion(converted, std::nullopt);
    }
  } catch (...) {
    logException("a JavaScript completion");
  }
}

struct Snapshot {
  std::string path;
  std::function<void(const std::optional<Error>&)> completion;
};

void snapshotFinished(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Snapshot> snapshot(static_cast<Snapshot*>(data));
  GError* error = nullptr;
  cairo_surface_t* surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
  std::optional<Error> failure;
  if (!surface) {
    failure = Error::make(kWKErrorDomain, 1, error && error->message ? error->message : "No snapshot");
  } else {
    cairo_status_t status = cairo_surface_write_to_png(surface, snapshot->path.c_str());
    if (status != CAIRO_STATUS_SUCCESS)
      failure = Error::make(kCocoaErrorDomain, 512, std::string("Cannot write ") + snapshot->path + ": " +
                                                        cairo_status_to_string(status));
    cairo_surface_destroy(surface);
  }
  if (error) g_error_free(error);
  try {
    if (snapshot->completion) snapshot->completion(failure);
  } catch (...) {
    logException("a snapshot completion");
  }
}

}  // namespace

struct GtkWebView::MessageChannel {
  GtkWebView* view;
  std::string name;
  bool mainFrameOnly = false;
  platform::gtk::SignalConnection connection;
  // The page URL of the last message and its parsed form: a page sends many messages.
  std::string lastPageURL;
  std::optional<URL> lastPage;
};

std::shared_ptr<GtkWebView> GtkWebView::create(ui::Rect frame, const WebViewConfiguration& configuration) {
  auto view = std::shared_ptr<GtkWebView>(new GtkWebView(frame, configuration, gRelatedView));
  view->setUp();
  // Every view counts for the media endpoint: it serves a page's media only while no other
  // view shows a document of another origin.
  GtkMediaEndpoint::shared().addWebView(view);
  return view;
}

GtkWebView* GtkWebView::fromWidget(WebKitWebView* widget) {
  auto& views = viewsByWidget();
  auto it = views.find(widget);
  return it == views.end() ? nullptr : it->second;
}

GtkWebView::GtkWebView(ui::Rect frame, const WebViewConfiguration& configuration, WebKitWebView* relatedView)
    : WebView(frame), configuration_(completedConfiguration(configuration)) {
  if (relatedView) {
    // A page's new window shares the opener's context and settings.
    // It gets a content manager of its own, without the opener's handlers: a page's window
    // is not the application's page and never reaches the application's bridge.
    contentManager_ = GObjectPtr<WebKitUserContentManager>::adopt(webkit_user_content_manager_new());
    view_ = GObjectPtr<WebKitWebView>::adopt(WEBKIT_WEB_VIEW(g_object_new(
        WEBKIT_TYPE_WEB_VIEW, "related-view", relatedView, "user-content-manager", contentManager_.get(), nullptr)));
    settings_ = GObjectPtr<WebKitSettings>::retain(webkit_web_view_get_settings(view_.get()));
    if (GtkWebView* opener = fromWidget(relatedView)) context_ = opener->context_;
    viewsByWidget()[view_.get()] = this;
    return;
  }

  context_ = GtkWebContext::forPool(configuration_.processPool);
  contentManager_ = GObjectPtr<WebKitUserContentManager>::adopt(webkit_user_content_manager_new());
  // Before any other script of the page's world: the check the evaluations for one document
  // run behind exists before anything could try to take its name.
  installUserScript({documentCheckScript(), true, true});
  for (const UserScript& script : configuration_.userContentController->userScripts())
    installUserScript(script);
  // Every document, in every frame, describes itself to the shell from the bridge world.
  documentConnection_ = platform::gtk::connectSignal(
      contentManager_.get(), (std::string("script-message-received::") + kDocumentHandler).c_str(),
      onDocumentMessage, this);
  if (!webkit_user_content_manager_register_script_message_handler_in_world(contentManager_.get(), kDocumentHandler,
                                                                            kBridgeWorld))
    log("Cannot register the handler that documents describe themselves to.");
  std::string described = documentScript();
  WebKitUserScript* documentUserScript =
      webkit_user_script_new_for_world(described.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                                       WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, kBridgeWorld, nullptr, nullptr);
  webkit_user_content_manager_add_script(contentManager_.get(), documentUserScript);
  webkit_user_script_unref(documentUserScript);

  settings_ = GObjectPtr<WebKitSettings>::adopt(webkit_settings_new());
  webkit_settings_set_minimum_font_size(settings_.get(),
                                        static_cast<guint>(std::max(0.0, configuration_.preferences.minimumFontSize)));
  webkit_settings_set_media_playback_requires_user_gesture(
      settings_.get(), configuration_.mediaTypesRequiringUserActionForPlayback != kMediaTypeNone);
  webkit_settings_set_media_playback_allows_inline(settings_.get(), configuration_.allowsInlineMediaPlayback);
  applyUserAgent();

  for (const auto& [scheme, handler] : configuration_.urlSchemeHandlers)
    if (handler) context_->registerScheme(scheme);

  // Media that needs no user action may also start on its own, sound and all; otherwise
  // WebKit's default holds: only muted media starts on its own.
  WebKitWebsitePolicies* policies = webkit_website_policies_new_with_policies(
      "autoplay",
      configuration_.mediaTypesRequiringUserActionForPlayback == kMediaTypeNone ? WEBKIT_AUTOPLAY_ALLOW
                                                                                : WEBKIT_AUTOPLAY_ALLOW_WITHOUT_SOUND,
      nullptr);
  view_ = GObjectPtr<WebKitWebView>::adopt(WEBKIT_WEB_VIEW(g_object_new(
      WEBKIT_TYPE_WEB_VIEW, "web-context", context_->context(), "user-content-manager", contentManager_.get(),
      "settings", settings_.get(), "website-policies", policies, nullptr)));
  g_object_unref(policies);
  viewsByWidget()[view_.get()] = this;

  // The signal is connected before the handler is registered, so no message is lost.
  for (const auto& [name, handler] : configuration_.userContentController->handlers()) connectMessageChannel(name);
}

void GtkWebView::setUp() {
  using platform::gtk::connectSignal;
  gpointer instance = view_.get();
  connections_.push_back(connectSignal(instance, "decide-policy", onDecidePolicy, this));
  connections_.push_back(connectSignal(instance, "load-changed", onLoadChanged, this));
  connections_.push_back(connectSignal(instance, "load-failed", onLoadFailed, this));
  connections_.push_back(connectSignal(instance, "web-process-terminated", onWebProcessTerminated, this));
  connections_.push_back(connectSignal(instance, "script-dialog", onScriptDialog, this));
  connections_.push_back(connectSignal(instance, "create", onCreate, this));
  connections_.push_back(connectSignal(instance, "close", onClose, this));
  for (const char* signal : {"button-press-event", "button-release-event", "key-press-event", "touch-event"})
    connections_.push_back(connectSignal(instance, signal, onUserInput, this));
  connections_.push_back(connectSignal(instance, "authenticate", onAuthenticate, this));
  didChange();
}

void GtkWebView::setOpaque(bool opaque) {
  WebView::setOpaque(opaque);
  GdkRGBA background{1, 1, 1, opaque ? 1.0 : 0.0};
  webkit_web_view_set_background_color(view_.get(), &background);
}

namespace {

AuthenticationScheme authenticationSchemeFrom(WebKitAuthenticationScheme scheme) {
  switch (scheme) {
    case WEBKIT_AUTHENTICATION_SCHEME_DEFAULT: return AuthenticationScheme::Default;
    case WEBKIT_AUTHENTICATION_SCHEME_HTTP_BASIC: return AuthenticationScheme::HTTPBasic;
    case WEBKIT_AUTHENTICATION_SCHEME_HTTP_DIGEST: return AuthenticationScheme::HTTPDigest;
    case WEBKIT_AUTHENTICATION_SCHEME_HTML_FORM: return AuthenticationScheme::HTMLForm;
    case WEBKIT_AUTHENTICATION_SCHEME_NTLM: return AuthenticationScheme::NTLM;
    case WEBKIT_AUTHENTICATION_SCHEME_NEGOTIATE: return AuthenticationScheme::Negotiate;
    case WEBKIT_AUTHENTICATION_SCHEME_CLIENT_CERTIFICATE_REQUESTED: return AuthenticationScheme::ClientCertificate;
    case WEBKIT_AUTHENTICATION_SCHEME_SERVER_TRUST_EVALUATION_REQUESTED: return AuthenticationScheme::ServerTrust;
    default: return AuthenticationScheme::Unknown;
  }
}

// A challenge a delegate took: answered once, on the main thread, whatever thread the
// delegate answers on; one the delegate lets go of unanswered is cancelled.
class PendingChallenge {
 public:
  explicit PendingChallenge(WebKitAuthenticationRequest* request)
      : request_(GObjectPtrRequest::retain(request)) {}
  ~PendingChallenge() {
    if (answered_) return;
    // The last reference may go on any thread; WebKit's objects are the main thread's.
    MainLoop::post([request = std::move(request_)] { webkit_authentication_request_cancel(request.get()); });
  }
  void answer(AuthChallengeDisposition disposition, std::optional<URLCredential> credential) {
    if (answered_.exchange(true)) return;
    MainLoop::post([request = std::move(request_), disposition, credential = std::move(credential)] {
      switch (disposition) {
        case AuthChallengeDisposition::UseCredential:
          if (credential) {
            WebKitCredential* given = webkit_credential_new(credential->user.c_str(), credential->password.c_str(),
                                                            WEBKIT_CREDENTIAL_PERSISTENCE_FOR_SESSION);
            webkit_authentication_request_authenticate(request.get(), given);
            webkit_credential_free(given);
            return;
          }
          [[fallthrough]];
        case AuthChallengeDisposition::PerformDefaultHandling:
        case AuthChallengeDisposition::RejectProtectionSpace:
          webkit_authentication_request_authenticate(request.get(), nullptr);
          return;
        case AuthChallengeDisposition::CancelAuthenticationChallenge:
          webkit_authentication_request_cancel(request.get());
          return;
      }
    });
  }

 private:
  using GObjectPtrRequest = platform::gtk::GObjectPtr<WebKitAuthenticationRequest>;
  GObjectPtrRequest request_;
  std::atomic<bool> answered_{false};
};

}  // namespace

gboolean GtkWebView::onAuthenticate(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer data) {
  auto* self = static_cast<GtkWebView*>(data);
  try {
    auto keepAlive = self->self();
    auto delegate = self->navigationDelegate();
    if (!delegate) return FALSE;
    AuthenticationChallenge challenge;
    if (const char* host = webkit_authentication_request_get_host(request)) challenge.host = host;
    challenge.port = int(webkit_authentication_request_get_port(request));
    if (const char* realm = webkit_authentication_request_get_realm(request)) challenge.realm = realm;
    challenge.scheme = authenticationSchemeFrom(webkit_authentication_request_get_scheme(request));
    challenge.isForProxy = webkit_authentication_request_is_for_proxy(request);
    challenge.isRetry = webkit_authentication_request_is_retry(request);
    if (WebKitCredential* proposed = webkit_authentication_request_get_proposed_credential(request)) {
      if (const char* user = webkit_credential_get_username(proposed)) challenge.proposedUser = std::string(user);
      webkit_credential_free(proposed);
    }
    auto pending = std::make_shared<PendingChallenge>(request);
    AuthenticationCompletion completion = [pending](AuthChallengeDisposition disposition,
                                                    std::optional<URLCredential> credential) {
      pending->answer(disposition, std::move(credential));
    };
    return delegate->didReceiveAuthenticationChallenge(*self, challenge, std::move(completion)) ? TRUE : FALSE;
  } catch (...) {
    logException("an authentication challenge");
    return FALSE;
  }
}

GtkWebView::~GtkWebView() {
  // Requests still open belong to a page that is going away: their handlers are told to stop.
  auto pending = std::move(pendingTasks_);
  for (const auto& task : pending) {
    try {
      if (auto handler = configuration_.handlerForScheme(task->request().url().scheme()))
        handler->stopURLSchemeTask(*this, task);
    } catch (...) {
      logException("stopping a scheme task");
    }
    task->stop();
  }
  connections_.clear();
  documentConnection_ = {};
  channels_.clear();
  viewsByWidget().erase(view_.get());
  if (GtkWidget* parent = gtk_widget_get_parent(widget())) gtk_container_remove(GTK_CONTAINER(parent), widget());
}

void GtkWebView::connectMessageChannel(const std::string& name) {
  for (const auto& channel : channels_)
    if (channel->name == name) return;
  auto channel = std::make_unique<MessageChannel>();
  channel->view = this;
  channel->name = name;
  channel->mainFrameOnly = configuration_.userContentController->originCheck(name) != nullptr;
  std::string signal = "script-message-received::" + name;
  channel->connection = platform::gtk::connectSignal(contentManager_.get(), signal.c_str(), onScriptMessage, channel.get());
  if (channel->mainFrameOnly) {
    if (!webkit_user_content_manager_register_script_message_handler_in_world(contentManager_.get(), name.c_str(),
                                                                              kBridgeWorld))
      log("Cannot register the script message handler '" + name + "'.");
    std::string relay = relayScript(name, *configuration_.userContentController->originPolicy(name));
    WebKitUserScript* relayUserScript =
        webkit_user_script_new_for_world(relay.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                         WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, kBridgeWorld, nullptr, nullptr);
    webkit_user_content_manager_add_script(contentManager_.get(), relayUserScript);
    webkit_user_script_unref(relayUserScript);
    installUserScript({pageScript(name), true, true});
  } else if (!webkit_user_content_manager_register_script_message_handler(contentManager_.get(), name.c_str())) {
    log("Cannot register the script message handler '" + name + "'.");
  }
  channels_.push_back(std::move(channel));
}

void GtkWebView::addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name) {
  configuration_.userContentController->addScriptMessageHandler(std::move(handler), name);
  connectMessageChannel(name);
}

void GtkWebView::addMainFrameScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name,
                                                  ScriptMessageOriginPolicy policy) {
  for (const auto& channel : channels_) {
    if (channel->name == name && !channel->mainFrameOnly) {
      // A channel every frame reaches cannot be narrowed afterwards: WebKit keeps its handler.
      log("The script message handler '" + name + "' is registered for every frame already.");
      return;
    }
  }
  configuration_.userContentController->addMainFrameScriptMessageHandler(std::move(handler), name, std::move(policy));
  connectMessageChannel(name);
}

void GtkWebView::installUserScript(const UserScript& script) {
  WebKitUserScript* userScript = webkit_user_script_new(
      script.source.c_str(),
      script.mainFrameOnly ? WEBKIT_USER_CONTENT_INJECT_TOP_FRAME : WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
      script.atDocumentStart ? WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START : WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END,
      nullptr, nullptr);
  webkit_user_content_manager_add_script(contentManager_.get(), userScript);
  webkit_user_script_unref(userScript);
}

void GtkWebView::addUserScript(UserScript script) {
  // The live content manager gets it too: WebKit injects it from the next load on.
  installUserScript(script);
  configuration_.userContentController->addUserScript(std::move(script));
}

void GtkWebView::loadRequest(const URLRequest& request) {
  WebKitURIRequest* uriRequest = webkit_uri_request_new(request.url().absoluteString().c_str());
  if (SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(uriRequest)) {
    for (const auto& [name, value] : request.allHTTPHeaderFields())
      soup_message_headers_replace(headers, name.c_str(), value.c_str());
  }
  // WebKitGTK loads every request it is given with GET; a method or body cannot be set.
  if (request.httpMethod() != "GET") log("GtkWebView loads '" + request.url().absoluteString() + "' with GET.");
  webkit_web_view_load_request(view_.get(), uriRequest);
  g_object_unref(uriRequest);
}

void GtkWebView::loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) {
  webkit_web_view_load_html(view_.get(), html.c_str(), baseURL ? baseURL->absoluteString().c_str() : nullptr);
}

void GtkWebView::loadFileURL(const URL& url, const URL& readAccessURL) {
  // WebKitGTK cannot narrow file access to one folder; pages loaded from file URLs keep
  // WebKit's own rule that they cannot read other files through script.
  (void)readAccessURL;
  webkit_web_view_load_uri(view_.get(), url.absoluteString().c_str());
}

std::optional<URL> GtkWebView::url() const {
  const char* uri = webkit_web_view_get_uri(view_.get());
  if (!uri || !*uri) return std::nullopt;
  return URL::parse(uri);
}

std::optional<std::string> GtkWebView::title() const {
  // WebKitGTK has no title for a page without a <title> element, where the platform has an
  // empty one; no title at all means that no page is shown, as after the content process ended.
  if (webProcessTerminated_) return std::nullopt;
  const char* title = webkit_web_view_get_title(view_.get());
  if (title) return std::string(title);
  const char* uri = webkit_web_view_get_uri(view_.get());
  if (uri && *uri) return std::string();
  return std::nullopt;
}

void GtkWebView::reload() { webkit_web_view_reload(view_.get()); }

void GtkWebView::evaluateJavaScript(const std::string& script, JavaScriptCompletion completion) {
  if (!completion) {
    webkit_web_view_evaluate_javascript(view_.get(), script.data(), static_cast<gssize>(script.size()), nullptr,
                                        nullptr, nullptr, nullptr, nullptr);
    return;
  }
  webkit_web_view_evaluate_javascript(view_.get(), script.data(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                      nullptr, evaluationFinished, new Evaluation{std::move(completion)});
}

void GtkWebView::evaluateJavaScript(const std::string& script, JavaScriptCompletion completion,
                                    const std::string& documentToken) {
  evaluateJavaScript(scriptForDocument(script, documentToken), std::move(completion));
}

void GtkWebView::onDocumentMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  auto* self = static_cast<GtkWebView*>(data);
  try {
    // [top frame, origin, URL, token], from the document script of the bridge world.
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    if (!value || !jsc_value_is_array(value)) return;
    auto element = [value](unsigned index) {
      return GObjectPtr<JSCValue>::adopt(jsc_value_object_get_property_at_index(value, index));
    };
    auto text = [](const GObjectPtr<JSCValue>& part) {
      if (!part || !jsc_value_is_string(part.get())) return std::string();
      char* chars = jsc_value_to_string(part.get());
      std::string result = chars ? chars : "";
      g_free(chars);
      return result;
    };
    auto topFrame = element(0);
    PageDocument document{text(element(1)), text(element(2)), text(element(3))};
    bool top = topFrame && jsc_value_is_boolean(topFrame.get()) && jsc_value_to_boolean(topFrame.get());
    if (document.origin.empty()) document.origin = "null";
    if (!top || !isDocumentToken(document.token)) document.token.clear();
    self->didDescribeDocument(top, std::move(document));
  } catch (...) {
    logException("a document's description");
  }
}

void GtkWebView::setMinimumFontSize(double size) {
  configuration_.preferences.minimumFontSize = size;
  webkit_settings_set_minimum_font_size(settings_.get(), static_cast<guint>(std::max(0.0, size)));
}

void GtkWebView::setAllowsBackForwardNavigationGestures(bool allow) {
  webkit_settings_set_enable_back_forward_navigation_gestures(settings_.get(), allow);
}

bool GtkWebView::allowsBackForwardNavigationGestures() const {
  return webkit_settings_get_enable_back_forward_navigation_gestures(settings_.get());
}

void GtkWebView::setCustomUserAgent(std::optional<std::string> userAgent) {
  customUserAgent_ = std::move(userAgent);
  applyUserAgent();
}

void GtkWebView::applyUserAgent() {
  if (customUserAgent_ && !customUserAgent_->empty()) {
    webkit_settings_set_user_agent(settings_.get(), customUserAgent_->c_str());
    return;
  }
  applyApplicationName(settings_.get(), configuration_.applicationNameForUserAgent
                                            ? *configuration_.applicationNameForUserAgent
                                            : configuration_.defaultApplicationNameForUserAgent);
}

void GtkWebView::applyApplicationName(WebKitSettings* settings, const std::string& name) {
  // The application's name follows WebKit's own user agent, as the platform appends it.
  webkit_settings_set_user_agent(settings, nullptr);
  if (name.empty()) return;
  size_t slash = name.rfind('/');
  if (slash != std::string::npos && name.find(' ', slash) == std::string::npos && slash + 1 < name.size()) {
    std::string application = name.substr(0, slash);
    std::string version = name.substr(slash + 1);
    webkit_settings_set_user_agent_with_application_details(settings, application.c_str(), version.c_str());
  } else {
    std::string agent = std::string(webkit_settings_get_user_agent(settings)) + " " + name;
    webkit_settings_set_user_agent(settings, agent.c_str());
  }
}

std::string GtkWebView::userAgent() const {
  const char* agent = webkit_settings_get_user_agent(settings_.get());
  return agent ? agent : "";
}

void GtkWebView::snapshotPNG(const std::string& path, std::function<void(const std::optional<Error>&)> completion) {
  webkit_web_view_get_snapshot(view_.get(), WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
                               snapshotFinished, new Snapshot{path, std::move(completion)});
}

void GtkWebView::didChange() {
  GtkWidget* w = widget();
  // A fully transparent view is not shown at all, so it cannot take the pointer either.
  gtk_widget_set_visible(w, !isHidden() && alpha() > 0.0);
  gtk_widget_set_opacity(w, alpha());
  if (auto color = backgroundColor()) {
    GdkRGBA rgba{color->red, color->green, color->blue, color->alpha};
    webkit_web_view_set_background_color(view_.get(), &rgba);
  }
}

void GtkWebView::startSchemeRequest(WebKitURISchemeRequest* request) {
  auto task = std::make_shared<GtkURLSchemeTask>(request, std::weak_ptr<GtkWebView>(self()));
  const char* scheme = webkit_uri_scheme_request_get_scheme(request);
  auto handler = configuration_.handlerForScheme(scheme ? scheme : "");
  if (!handler) {
    task->didFailWithError(urlerror::make(urlerror::kUnsupportedURL, &task->request().url()));
    return;
  }
  pendingTasks_.insert(task);
  auto keepAlive = self();
  handler->startURLSchemeTask(*this, task);
}

void GtkWebView::schemeTaskEnded(GtkURLSchemeTask* task) {
  for (auto it = pendingTasks_.begin(); it != pendingTasks_.end(); ++it) {
    if (it->get() == task) {
      pendingTasks_.erase(it);
      return;
    }
  }
}

void GtkWebView::onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  auto* channel = static_cast<MessageChannel*>(data);
  try {
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    if (channel->mainFrameOnly) {
      // The relay sends [page URL, body] (or [page URL, null, reason] for what it refused);
      // anything else did not come from it. Read through the engine's C API (kept by
      // WebKitGTK 4.1 for this use): no wrapper object is made for each part of each message.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
      RawArray message{webkit_javascript_result_get_global_context(result), nullptr};
      JSValueRef root = webkit_javascript_result_get_value(result);
#pragma GCC diagnostic pop
      if (message.context && root && JSValueIsArray(message.context, root))
        message.array = JSValueToObject(message.context, root, nullptr);
      RelayedMessage relayed = relayedFromRaw(message);
      DeliveringMessage delivering(*channel->view, isDocumentToken(relayed.document) ? relayed.document : std::string());
      std::string& pageURL = relayed.pageURL;
      if (pageURL != channel->lastPageURL || !channel->lastPage) {
        channel->lastPage = URL::parse(pageURL);
        channel->lastPageURL = std::move(pageURL);
      }
      const auto& url = channel->lastPage;
      const std::string& shownURL = channel->lastPageURL;
      const ScriptMessageOriginPolicy* policy =
          channel->view->configuration_.userContentController->originPolicy(channel->name);
      if (relayed.refused || !policy || !channel->view->acceptsMainFrameMessage(*policy, url)) {
        // A data: URL can be megabytes long; the log gets its start.
        std::string shown = shownURL.empty() ? "an unknown page" : shownURL.substr(0, 200);
        if (shownURL.size() > 200) shown += "...";
        if (relayed.tooLarge)
          log("Dropped a message to '" + channel->name + "' from " + shown + ": it is larger than " +
              std::to_string(policy ? policy->maxMessageBytes : 0) + " bytes.");
        else
          log("Dropped a message to '" + channel->name + "' from " + shown +
              ": only the application's own page may send it.");
        return;
      }
      // Most bodies are one JSON text: read straight from the engine's string.
      std::optional<std::string> text = utf8FromRawElement(message, 1);
      Value body;
      if (text) {
        body = parsedFromJSON(*text);
      } else {
        JSCValue* inner = jsc_value_object_get_property_at_index(value, 1);
        body = bodyFromPage(inner, rawElement(message, 1));
        if (inner) g_object_unref(inner);
      }
      if (auto handler = channel->view->configuration_.userContentController->handler(channel->name))
        handler->didReceiveScriptMessage(channel->name, std::move(body));
      return;
    }
    Value body = valueFromJSC(value);
    std::string name = channel->name;
    auto handler = channel->view->configuration_.userContentController->handler(name);
    if (handler) handler->didReceiveScriptMessage(name, std::move(body));
  } catch (...) {
    logException("a script message");
  }
}

gboolean GtkWebView::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                    gpointer data) {
  auto* self = static_cast<GtkWebView*>(data);
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
  try {
    auto delegate = self->navigationDelegate();
    if (!delegate) return FALSE;
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    NavigationAction navigation = actionFrom(action, type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION);
    navigation.userGesture = navigation.userGesture && self->hadRecentUserInput();
    // A main-frame navigation is its own main document; anything else stays in the page shown.
    if (navigation.targetsMainFrame)
      navigation.request.setMainDocumentURL(navigation.request.url());
    else
      navigation.request.setMainDocumentURL(self->url());
    auto answer = std::make_shared<PolicyAnswer>(decision);
    auto keepAlive = self->self();
    delegate->decidePolicyForNavigationAction(*self, navigation, [answer](bool allow) { answer->decide(allow); });
  } catch (...) {
    logException("a navigation policy decision");
  }
  return TRUE;
}

void GtkWebView::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  auto* self = static_cast<GtkWebView*>(data);
  try {
    auto keepAlive = self->self();
    if (event == WEBKIT_LOAD_COMMITTED) {
      // From here on the URI is the new document's own, and it changes only with the next
      // load or a navigation within this document.
      const char* uri = webkit_web_view_get_uri(self->view_.get());
      self->didCommitPage(uri && *uri ? URL::parse(uri) : std::nullopt);
      GtkMediaEndpoint::shared().pageChanged(self);
      if (auto delegate = self->navigationDelegate()) delegate->didCommitNavigation(*self);
    } else if (event == WEBKIT_LOAD_STARTED) {
      self->loadFailed_ = false;
      self->webProcessTerminated_ = false;
      if (auto delegate = self->navigationDelegate()) delegate->didStartProvisionalNavigation(*self);
    } else if (event == WEBKIT_LOAD_FINISHED) {
      // WebKit also finishes a load that failed; the failure was reported already.
      if (self->loadFailed_) return;
      if (auto delegate = self->navigationDelegate()) delegate->didFinishNavigation(*self);
    }
  } catch (...) {
    logException("a load event");
  }
}

gboolean GtkWebView::onLoadFailed(WebKitWebView*, WebKitLoadEvent event, gchar* uri, GError* error, gpointer data) {
  auto* self = static_cast<GtkWebView*>(data);
  try {
    auto keepAlive = self->self();
    self->loadFailed_ = true;
    Error failure = loadErrorFrom(error, uri);
    if (auto delegate = self->navigationDelegate()) {
      if (event == WEBKIT_LOAD_STARTED)
        delegate->didFailProvisionalNavigation(*self, failure);
      else
        delegate->didFailNavigation(*self, failure);
    }
  } catch (...) {
    logException("a load failure");
  }
  // The failure was handled here: WebKit shows no error page of its own.
  return TRUE;
}

void GtkWebView::onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data) {
  auto* self = static_cast<GtkWebView*>(data);
  try {
    auto keepAlive = self->self();
    self->webProcessTerminated_ = true;
    self->didLoseDocuments();
    GtkMediaEndpoint::shared().pageChanged(self);
    if (auto delegate = self->navigationDelegate()) delegate->webContentProcessDidTerminate(*self);
  } catch (...) {
    logException("a web process end");
  }
}

gboolean GtkWebView::onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
  auto* self = static_cast<GtkWebView*>(data);
  auto answer = std::make_shared<DialogAnswer>(dialog);
  try {
    auto keepAlive = self->self();
    auto delegate = self->uiDelegate();
    std::string message = webkit_script_dialog_get_message(dialog) ? webkit_script_dialog_get_message(dialog) : "";
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
      case WEBKIT_SCRIPT_DIALOG_ALERT:
        if (delegate)
          delegate->runJavaScriptAlertPanel(*self, message, [answer] { answer->dismiss(); });
        else
          answer->dismiss();
        break;
      case WEBKIT_SCRIPT_DIALOG_CONFIRM:
        if (delegate)
          delegate->runJavaScriptConfirmPanel(*self, message, [answer](bool ok) { answer->confirm(ok); });
        else
          answer->confirm(false);
        break;
      case WEBKIT_SCRIPT_DIALOG_PROMPT: {
        const char* defaultText = webkit_script_dialog_prompt_get_default_text(dialog);
        if (delegate)
          delegate->runJavaScriptTextInputPanel(*self, message, defaultText ? defaultText : "",
                                                [answer](std::optional<std::string> text) { answer->prompt(std::move(text)); });
        else
          answer->prompt(std::nullopt);
        break;
      }
      default:
        // Leaving a page is never held up by a question the platform does not ask.
        answer->confirm(true);
        break;
    }
  } catch (...) {
    logException("a script dialog");
  }
  // An answer the delegate dropped unanswered closes the dialog on a later turn, never
  // inside WebKit's own emission.
  MainLoop::post([answer] {});
  return TRUE;
}

GtkWidget* GtkWebView::onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
  auto* self = static_cast<GtkWebView*>(data);
  try {
    auto keepAlive = self->self();
    auto delegate = self->uiDelegate();
    if (!delegate) return nullptr;
    NavigationAction navigation = actionFrom(action, false);
    navigation.userGesture = navigation.userGesture && self->hadRecentUserInput();
    WebKitWebView* previous = gRelatedView;
    gRelatedView = self->view_.get();
    std::shared_ptr<WebView> created;
    try {
      created = delegate->createWebView(*self, self->configuration_, navigation);
    } catch (...) {
      gRelatedView = previous;
      throw;
    }
    gRelatedView = previous;
    auto view = std::dynamic_pointer_cast<GtkWebView>(created);
    if (!view) return nullptr;
    if (webkit_web_view_get_context(view->webKitView()) != webkit_web_view_get_context(self->webKitView())) {
      log("A new window's web view must be made while the UI delegate is asked for it.");
      return nullptr;
    }
    view->opener_ = keepAlive;
    self->openedWindows_.push_back(view);
    return view->widget();
  } catch (...) {
    logException("a new window");
  }
  return nullptr;
}

void GtkWebView::onClose(WebKitWebView*, gpointer data) {
  auto* self = static_cast<GtkWebView*>(data);
  try {
    auto keepAlive = self->self();
    if (auto delegate = self->uiDelegate()) delegate->webViewDidClose(*self);
    if (auto opener = self->opener_.lock()) {
      auto& windows = opener->openedWindows_;
      windows.erase(std::remove(windows.begin(), windows.end(), keepAlive), windows.end());
    }
  } catch (...) {
    logException("a window close");
  }
}

gboolean GtkWebView::onUserInput(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<GtkWebView*>(data)->lastUserInput_ = std::chrono::steady_clock::now();
  return FALSE;  // WebKit handles the event as always
}

bool GtkWebView::hadRecentUserInput() const {
  // WebKit carries a gesture over to timers for a second; so do we.
  return lastUserInput_ != std::chrono::steady_clock::time_point{} &&
         std::chrono::steady_clock::now() - lastUserInput_ < std::chrono::seconds(1);
}

void keepOptimizingCompilersOutOfThisProcess() {
  static std::once_flag once;
  std::call_once(once, [] { jsc_options_set_boolean(JSC_OPTIONS_USE_DFG, FALSE); });
}

void installGtkWebViewFactory() {
  currentWebViewFactory() = [](ui::Rect frame, const WebViewConfiguration& configuration) -> std::shared_ptr<WebView> {
    return GtkWebView::create(frame, configuration);
  };
  currentDefaultUserAgentProvider() = [] {
    // Settings alone carry the agent a default view would send; no view, no web process.
    auto settings = GObjectPtr<WebKitSettings>::adopt(webkit_settings_new());
    GtkWebView::applyApplicationName(settings.get(), WebViewConfiguration().defaultApplicationNameForUserAgent);
    const char* agent = webkit_settings_get_user_agent(settings.get());
    return std::string(agent ? agent : "");
  };
}

}  // namespace platform::webkit
