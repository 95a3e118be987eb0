#include "platform/webkit/gtk/GtkURLSchemeTask.h"

#include <libsoup/soup.h>

#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/webkit/gtk/GtkRequest.h"
#include "platform/webkit/gtk/GtkWebView.h"

namespace platform::webkit {
namespace {

// What a posted call keeps of an argument: a view of the handler's buffer becomes a string
// of its own, everything else is copied.
std::string owned(std::string_view text) { return std::string(text); }
template <typename T>
T owned(const T& value) {
  return value;
}

}  // namespace

template <typename... Params, typename... Args>
bool GtkURLSchemeTask::postedToMainThread(void (GtkURLSchemeTask::*method)(Params...), const Args&... args) {
  if (MainLoop::isMainThread()) return false;
  MainLoop::post([self = shared_from_this(), method, ... copies = owned(args)] { ((*self).*method)(copies...); });
  return true;
}

GtkURLSchemeTask::GtkURLSchemeTask(WebKitURISchemeRequest* request, std::weak_ptr<GtkWebView> webView)
    : schemeRequest_(platform::gtk::GObjectPtr<WebKitURISchemeRequest>::retain(request)),
      webView_(std::move(webView)),
      request_(requestFrom(request)) {}

// A request WebKit was never answered would leave the page waiting for ever.
GtkURLSchemeTask::~GtkURLSchemeTask() { stop(); }

void GtkURLSchemeTask::didReceiveResponse(const URLResponse& response) {
  if (postedToMainThread(&GtkURLSchemeTask::didReceiveResponse, response)) return;
  if (done_) return;
  response_ = response;
}

void GtkURLSchemeTask::didReceiveData(std::string_view data) {
  if (postedToMainThread(&GtkURLSchemeTask::didReceiveData, data)) return;
  if (done_) return;
  body_.append(data);
}

void GtkURLSchemeTask::didFinish() {
  if (postedToMainThread(&GtkURLSchemeTask::didFinish)) return;
  if (done_) return;
  done_ = true;
  URLResponse response = response_.value_or(URLResponse(request_.url(), "", std::nullopt, std::nullopt));

  // The stream takes the collected body over; it is freed when WebKit has read it.
  auto* body = new std::string(std::move(body_));
  body_.clear();
  auto length = static_cast<gint64>(body->size());
  GBytes* bytes = g_bytes_new_with_free_func(
      body->data(), body->size(), [](gpointer data) { delete static_cast<std::string*>(data); }, body);
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  g_bytes_unref(bytes);
  WebKitURISchemeResponse* answer = webkit_uri_scheme_response_new(stream, length);
  g_object_unref(stream);

  // A plain (non-HTTP) response still reaches the page as a successful load.
  int status = response.isHTTP() ? response.statusCode() : 200;
  webkit_uri_scheme_response_set_status(answer, static_cast<guint>(status), nullptr);
  if (!response.mimeType().empty()) {
    std::string contentType = response.mimeType();
    if (response.textEncodingName()) contentType += "; charset=" + *response.textEncodingName();
    webkit_uri_scheme_response_set_content_type(answer, contentType.c_str());
  }
  if (response.isHTTP()) {
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    for (const auto& [name, value] : response.allHeaderFields())
      soup_message_headers_append(headers, name.c_str(), value.c_str());
    webkit_uri_scheme_response_set_http_headers(answer, headers);  // takes the headers
  }
  webkit_uri_scheme_request_finish_with_response(schemeRequest_.get(), answer);
  g_object_unref(answer);
  ended();
}

void GtkURLSchemeTask::didFailWithError(const Error& error) {
  if (postedToMainThread(&GtkURLSchemeTask::didFailWithError, error)) return;
  if (done_) return;
  done_ = true;
  GError* gerror = g_error_new_literal(g_quark_from_string(error.domain.c_str()), static_cast<gint>(error.code),
                                       error.localizedDescription().c_str());
  webkit_uri_scheme_request_finish_error(schemeRequest_.get(), gerror);
  g_error_free(gerror);
  ended();
}

void GtkURLSchemeTask::stop() {
  if (done_ || !schemeRequest_) return;
  done_ = true;
  GError* error = g_error_new_literal(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED, "Load cancelled");
  webkit_uri_scheme_request_finish_error(schemeRequest_.get(), error);
  g_error_free(error);
}

void GtkURLSchemeTask::ended() {
  // The view may hold the last reference to this task.
  auto keepAlive = shared_from_this();
  if (auto view = webView_.lock()) view->schemeTaskEnded(this);
}

}  // namespace platform::webkit
