// The plainest WebKitGTK program that does what the shell does, as the baseline of the
// web view benchmarks: a window, one scheme handler serving a folder, and one script message
// handler that answers each message with one webkit_web_view_evaluate_javascript and asks
// for no reply.
//
//   webview_bare --exit-on-load     exits once the page has loaded (start-up time)
//   webview_bare --www FOLDER       serves FOLDER (the benchmark page) and prints what the
//                                   page reports, with the memory of the process tree at
//                                   each point the page asked for and at the end
//   webview_bare --uri URI          the same for a page WebKit loads itself (a file:// page of
//                                   the media benchmark, whose clip WebKit reads as it would
//                                   for any browser)
#include <gtk/gtk.h>
#include <libsoup/soup.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ProcessTreeMemory.h"

namespace {

bool gExitOnLoad = false;
std::string gFolder;
std::string gURI;
int gStatus = 1;
// "name":{memory} for each point the page asked for, in order.
std::string gMeasured;

const char* kStartupPage =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>bare</title></head>"
    "<body><h1>Bare WebKitGTK</h1><p id=\"state\">loaded</p></body></html>";

const char* contentType(const std::string& path) {
  if (path.size() >= 3 && path.compare(path.size() - 3, 3, ".js") == 0) return "text/javascript";
  return "text/html";
}

void serve(WebKitURISchemeRequest* request, gpointer) {
  std::string path = webkit_uri_scheme_request_get_path(request);
  gchar* contents = nullptr;
  gsize length = 0;
  if (gFolder.empty()) {
    contents = g_strdup(kStartupPage);
    length = std::strlen(contents);
  } else if (path.find("..") != std::string::npos ||
             !g_file_get_contents((gFolder + path).c_str(), &contents, &length, nullptr)) {
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "not found");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  GInputStream* stream = g_memory_input_stream_new_from_data(contents, static_cast<gssize>(length), g_free);
  WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, static_cast<gint64>(length));
  webkit_uri_scheme_response_set_content_type(response, contentType(path));
  if (!gFolder.empty()) {
    // The kind of answer an application's own scheme owes its page (the shell's as well): a
    // status, the length, byte ranges offered, and the files kept to the page's own origin
    // and their declared type.
    webkit_uri_scheme_response_set_status(response, 200, nullptr);
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_append(headers, "Content-Type", contentType(path));
    soup_message_headers_append(headers, "Accept-Ranges", "bytes");
    soup_message_headers_append(headers, "Content-Length", std::to_string(length).c_str());
    soup_message_headers_append(headers, "Cross-Origin-Resource-Policy", "same-origin");
    soup_message_headers_append(headers, "X-Content-Type-Options", "nosniff");
    webkit_uri_scheme_response_set_http_headers(response, headers);  // takes the headers
  }
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
}

// The message is [id, args]; the answer hands the same back to the page.
void onMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer view) {
  char* json = jsc_value_to_json(webkit_javascript_result_get_js_value(result), 0);
  std::string script;
  script.reserve(std::strlen(json) + 12);
  script += "__answer(";
  script += json;
  script += ");";
  g_free(json);
  webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view), script.data(), static_cast<gssize>(script.size()), nullptr,
                                      nullptr, nullptr, nullptr, nullptr);
}

// The message is the name of the point; the page goes on once __measured() is called.
void onMemory(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer view) {
  ProcessTreeMemory memory = measureProcessTreeMemory();
  char* name = jsc_value_to_json(webkit_javascript_result_get_js_value(result), 0);
  gMeasured += std::string(gMeasured.empty() ? "" : ",") + name + ":" + memory.json();
  g_free(name);
  webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view), "__measured();", -1, nullptr, nullptr, nullptr, nullptr,
                                      nullptr);
}

void onDone(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
  ProcessTreeMemory memory = measureProcessTreeMemory();
  char* json = jsc_value_to_json(webkit_javascript_result_get_js_value(result), 0);
  std::printf("{\"report\":%s,\"memory\":{%s%s\"end\":%s}}\n", json, gMeasured.c_str(), gMeasured.empty() ? "" : ",",
              memory.json().c_str());
  std::fflush(stdout);
  g_free(json);
  gStatus = 0;
  gtk_main_quit();
}

void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer) {
  if (event == WEBKIT_LOAD_FINISHED && gExitOnLoad) {
    gStatus = 0;
    gtk_main_quit();
  }
}

gboolean onTimeout(gpointer) {
  std::fprintf(stderr, "webview_bare: timed out\n");
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--exit-on-load") == 0) gExitOnLoad = true;
    if (std::strcmp(argv[i], "--www") == 0 && i + 1 < argc) gFolder = argv[++i];
    if (std::strcmp(argv[i], "--uri") == 0 && i + 1 < argc) gURI = argv[++i];
  }
  if (!gExitOnLoad && gFolder.empty() && gURI.empty()) {
    std::fprintf(stderr, "usage: webview_bare --exit-on-load | --www FOLDER | --uri URI\n");
    return 2;
  }

  WebKitWebContext* context = webkit_web_context_new();
  webkit_web_context_register_uri_scheme(context, "bench", serve, nullptr, nullptr);
  // As the shell's own scheme: a page under it may fetch() from it.
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
  webkit_security_manager_register_uri_scheme_as_secure(security, "bench");
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "bench");
  WebKitUserContentManager* manager = webkit_user_content_manager_new();
  GtkWidget* view = GTK_WIDGET(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", manager, nullptr));
  g_signal_connect(manager, "script-message-received::bench", G_CALLBACK(onMessage), view);
  webkit_user_content_manager_register_script_message_handler(manager, "bench");
  g_signal_connect(manager, "script-message-received::memory", G_CALLBACK(onMemory), view);
  webkit_user_content_manager_register_script_message_handler(manager, "memory");
  g_signal_connect(manager, "script-message-received::done", G_CALLBACK(onDone), nullptr);
  webkit_user_content_manager_register_script_message_handler(manager, "done");
  g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), nullptr);

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 390, 844);
  gtk_container_add(GTK_CONTAINER(window), view);
  gtk_widget_show_all(window);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), gURI.empty() ? "bench://localhost/index.html" : gURI.c_str());
  g_timeout_add_seconds(600, onTimeout, nullptr);
  gtk_main();
  return gStatus;
}
