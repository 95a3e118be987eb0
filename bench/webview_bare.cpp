// The plainest WebKitGTK program that does what the shell does, as the baseline of the
// web view benchmarks: a window, one scheme handler serving a page from memory, and one
// script message handler that answers each message through webkit_web_view_evaluate_javascript.
//
//   webview_bare --exit-on-load      exits once the page has loaded (start-up time)
//   webview_bare --rounds N          runs N sequential and N pipelined echo calls in the
//                                    page and prints the calls per second it measured
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool gExitOnLoad = false;
int gRounds = 0;
int gStatus = 1;

std::string page() {
  std::string rounds = std::to_string(gRounds);
  return R"(<!DOCTYPE html><html><head><meta charset="utf-8"><title>bare</title></head>
<body><h1>Bare WebKitGTK</h1><p id="state">loading</p><script>
'use strict';
var ROUNDS = )" + rounds + R"(;
var pending = {};
var nextId = 1;
window.__answer = function (message) {
  var callback = pending[message[0]];
  delete pending[message[0]];
  callback(message[1]);
};
function call(payload, callback) {
  var id = nextId++;
  pending[id] = callback;
  window.webkit.messageHandlers.bench.postMessage([id, payload]);
}
function sequential(done) {
  var left = ROUNDS, started = performance.now();
  function next() {
    if (left-- === 0) return done(ROUNDS * 1000 / (performance.now() - started));
    call(['hello', 42], next);
  }
  next();
}
function pipelined(done) {
  var answered = 0, started = performance.now();
  for (var i = 0; i < ROUNDS; i++) {
    call(['hello', 42], function () {
      if (++answered === ROUNDS) done(ROUNDS * 1000 / (performance.now() - started));
    });
  }
}
document.addEventListener('DOMContentLoaded', function () {
  if (ROUNDS <= 0) return;
  sequential(function (sequentialRate) {
    pipelined(function (pipelinedRate) {
      window.webkit.messageHandlers.done.postMessage({sequential: sequentialRate, pipelined: pipelinedRate});
    });
  });
});
</script></body></html>)";
}

void serve(WebKitURISchemeRequest* request, gpointer) {
  static const std::string body = page();
  GInputStream* stream = g_memory_input_stream_new_from_data(body.data(), static_cast<gssize>(body.size()), nullptr);
  WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, static_cast<gint64>(body.size()));
  webkit_uri_scheme_response_set_content_type(response, "text/html");
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
}

void onMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer view) {
  char* json = jsc_value_to_json(webkit_javascript_result_get_js_value(result), 0);
  std::string script = std::string("__answer(") + json + ");";
  g_free(json);
  webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view), script.data(), static_cast<gssize>(script.size()), nullptr,
                                      nullptr, nullptr, nullptr, nullptr);
}

void onDone(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
  char* json = jsc_value_to_json(webkit_javascript_result_get_js_value(result), 0);
  std::printf("%s\n", json);
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
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) gRounds = std::atoi(argv[++i]);
  }

  WebKitWebContext* context = webkit_web_context_new();
  webkit_web_context_register_uri_scheme(context, "bench", serve, nullptr, nullptr);
  WebKitUserContentManager* manager = webkit_user_content_manager_new();
  GtkWidget* view = GTK_WIDGET(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", manager, nullptr));
  g_signal_connect(manager, "script-message-received::bench", G_CALLBACK(onMessage), view);
  webkit_user_content_manager_register_script_message_handler(manager, "bench");
  g_signal_connect(manager, "script-message-received::done", G_CALLBACK(onDone), nullptr);
  webkit_user_content_manager_register_script_message_handler(manager, "done");
  g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), nullptr);

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 390, 844);
  gtk_container_add(GTK_CONTAINER(window), view);
  gtk_widget_show_all(window);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), "bench://localhost/index.html");
  g_timeout_add_seconds(120, onTimeout, nullptr);
  gtk_main();
  return gStatus;
}
