#include "platform/webkit/gtk/GtkWebContext.h"

#include <map>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/webkit/gtk/GtkMediaEndpoint.h"
#include "platform/webkit/gtk/GtkWebView.h"

namespace platform::webkit {
namespace {

struct PoolEntry {
  std::weak_ptr<ProcessPool> pool;
  std::shared_ptr<GtkWebContext> context;
};

// Contexts by pool. An entry lives while its pool does; the web views hold their context
// themselves, so a context outlives its pool for as long as one of its views is alive.
std::map<const ProcessPool*, PoolEntry>& contextsByPool() {
  static auto* contexts = new std::map<const ProcessPool*, PoolEntry>();
  return *contexts;
}

// Whether bubblewrap, which WebKit's sandbox runs its web processes in, can make the
// namespaces it needs here: a container may refuse them. Asked once, by running it.
bool sandboxCanBeMade() {
  static const bool possible = [] {
    gchar* argv[] = {const_cast<gchar*>("bwrap"), const_cast<gchar*>("--unshare-all"),
                     const_cast<gchar*>("--die-with-parent"), const_cast<gchar*>("--ro-bind"), const_cast<gchar*>("/"),
                     const_cast<gchar*>("/"), const_cast<gchar*>("true"), nullptr};
    gint status = -1;
    GError* error = nullptr;
    bool ran = g_spawn_sync(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, nullptr, &status,
                            &error);
    std::string why = error && error->message ? error->message : "";
    if (error) g_error_free(error);
    bool ok = ran && g_spawn_check_wait_status(status, nullptr);
    if (!ok)
      log("WebKit's sandbox cannot be made here (bubblewrap " +
          (ran ? std::string("could not make its namespaces") : "did not run: " + why) +
          "); web pages run without it.");
    return ok;
  }();
  return possible;
}

std::shared_ptr<GtkWebContext> makeContext() {
  // Website data (local storage, IndexedDB, the cache) lives under the application's data
  // root, like every other device folder, so that each test run starts fresh.
  std::string data = fs::appendPath(paths::library(), "WebKit");
  std::string cache = fs::appendPath(paths::caches(), "WebKit");
  WebKitWebsiteDataManager* manager = webkit_website_data_manager_new(
      "base-data-directory", data.c_str(), "base-cache-directory", cache.c_str(), nullptr);
  WebKitWebContext* context = webkit_web_context_new_with_website_data_manager(manager);
  g_object_unref(manager);
  // Page content runs in WebKit's sandbox: its web processes see only the system's libraries
  // and data, the display and the folders given to them, and a network of their own. Where
  // bubblewrap cannot make it (a container that refuses namespaces), WebKit could start no
  // web process at all; the pages then run without it, and the log says so. WebKit also
  // honours WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1.
  if (sandboxCanBeMade()) webkit_web_context_set_sandbox_enabled(context, TRUE);
  return std::make_shared<GtkWebContext>(platform::gtk::GObjectPtr<WebKitWebContext>::adopt(context));
}

void routeSchemeRequest(WebKitURISchemeRequest* request, gpointer) {
  try {
    GtkWebView* view = GtkWebView::fromWidget(webkit_uri_scheme_request_get_web_view(request));
    if (view) {
      view->startSchemeRequest(request);
      return;
    }
  } catch (const std::exception& e) {
    log(std::string("Scheme request failed: ") + e.what());
  } catch (...) {
    log("Scheme request failed");
  }
  GError* error = g_error_new_literal(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL,
                                      "No handler for this request");
  webkit_uri_scheme_request_finish_error(request, error);
  g_error_free(error);
}

}  // namespace

std::shared_ptr<GtkWebContext> GtkWebContext::forPool(const std::shared_ptr<ProcessPool>& pool) {
  auto& contexts = contextsByPool();
  for (auto it = contexts.begin(); it != contexts.end();) {
    if (it->second.pool.expired() && it->first != nullptr)
      it = contexts.erase(it);
    else
      ++it;
  }
  auto found = contexts.find(pool.get());
  if (found != contexts.end()) return found->second.context;
  auto context = makeContext();
  contexts[pool.get()] = PoolEntry{pool, context};
  return context;
}

GtkWebContext::GtkWebContext(platform::gtk::GObjectPtr<WebKitWebContext> context) : context_(std::move(context)) {}

GtkWebContext::~GtkWebContext() = default;

bool GtkWebContext::registerScheme(const std::string& scheme) {
  if (scheme.empty() || WebView::handlesURLScheme(scheme)) {
    log("Cannot register a handler for the URL scheme '" + scheme + "': the web view handles it itself.");
    return false;
  }
  if (!schemes_.insert(scheme).second) return true;
  webkit_web_context_register_uri_scheme(context_.get(), scheme.c_str(), routeSchemeRequest, nullptr, nullptr);
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(context_.get());
  webkit_security_manager_register_uri_scheme_as_secure(security, scheme.c_str());
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, scheme.c_str());
  // WebKit's media player reads the scheme's media through the shell's media endpoint, which
  // the sandboxed web process reaches through the folders given to it here.
  GtkMediaEndpoint& endpoint = GtkMediaEndpoint::shared();
  endpoint.addScheme(scheme);
  if (!sandboxPathsAdded_) {
    auto paths = endpoint.sandboxPaths();
    for (const auto& each : paths)
      webkit_web_context_add_path_to_sandbox(context_.get(), each.path.c_str(), each.readOnly);
    sandboxPathsAdded_ = !paths.empty();
  }
  return true;
}

}  // namespace platform::webkit
