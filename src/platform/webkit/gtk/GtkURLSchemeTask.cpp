#include "platform/webkit/gtk/GtkURLSchemeTask.h"

#include <libsoup/soup.h>

#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/webkit/gtk/GtkWebView.h"

namespace platform::webkit {

GtkURLSchemeTask::GtkURLSchemeTask(WebKitURISchemeRequest* request, std::weak_ptr<GtkWebView> webView)
    : schemeRequest_(platform::gtk::GObjectPtr<WebKitURISchemeRequest>::retain(request)),
      webView_(std::move(webView)),
      request_(requestFrom(request)) {}

GtkURLSchemeTask::~GtkURLSchemeTask() {
  // A request WebKit was never answered would leave the page waiting for ever.
  if (!done_ && schemeRequest_) {
    GError* error = g_error_new_literal(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED, "Load cancelled");
    webkit_uri_scheme_request_finish_error(schemeRequest_.get(), error);
    g_error_free(error);
  }
}

URLRequest GtkURLSchemeTask::requestFrom(WebKitURISchemeRequest* request) {
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  URLRequest result(URL::parse(uri ? uri : "").value_or(URL()));
  const char* method = webkit_uri_scheme_request_get_http_method(request);
  result.setHTTPMethod(method ? method : "GET");
  if (SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request)) {
    soup_message_headers_foreach(
        headers,
        [](const char* name, const char* value, gpointer data) {
          static_cast<URLRequest*>(data)->addValue(value, name);
        },
        &result);
  }
  return result;
}

void GtkURLSchemeTask::didReceiveResponse(const URLResponse& response) {
  if (!MainLoop::isMainThread()) {
    MainLoop::post([self = shared_from_this(), response] { self->didReceiveResponse(response); });
    return;
  }
  if (done_) return;
  response_ = response;
}

void GtkURLSchemeTask::didReceiveData(std::string_view data) {
  if (!MainLoop::isMainThread()) {
    MainLoop::post([self = shared_from_this(), copy = std::string(data)] { self->didReceiveData(copy); });
    return;
  }
  if (done_) return;
  body_.append(data);
}

void GtkURLSchemeTask::didFinish() {
  if (!MainLoop::isMainThread()) {
    MainLoop::post([self = shared_from_this()] { self->didFinish(); });
    return;
  }
  if (done_) return;
  done_ = true;
  URLResponse response = response_.value_or(URLResponse(request_.url(), "", std::nullopt, std::nullopt));

  GBytes* bytes = g_bytes_new(body_.data(), body_.size());
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  g_bytes_unref(bytes);
  WebKitURISchemeResponse* answer = webkit_uri_scheme_response_new(stream, static_cast<gint64>(body_.size()));
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
  body_.clear();
  ended();
}

void GtkURLSchemeTask::didFailWithError(const Error& error) {
  if (!MainLoop::isMainThread()) {
    MainLoop::post([self = shared_from_this(), error] { self->didFailWithError(error); });
    return;
  }
  if (done_) return;
  done_ = true;
  GError* gerror = g_error_new_literal(g_quark_from_string(error.domain.c_str()), static_cast<gint>(error.code),
                                       error.localizedDescription().c_str());
  webkit_uri_scheme_request_finish_error(schemeRequest_.get(), gerror);
  g_error_free(gerror);
  ended();
}

void GtkURLSchemeTask::stop() {
  if (done_) return;
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
