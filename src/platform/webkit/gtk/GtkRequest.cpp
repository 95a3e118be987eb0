#include "platform/webkit/gtk/GtkRequest.h"

#include <libsoup/soup.h>

namespace platform::webkit {
namespace {

URLRequest assemble(const char* uri, const char* method, SoupMessageHeaders* headers) {
  URLRequest result(URL::parse(uri ? uri : "").value_or(URL()));
  result.setHTTPMethod(method ? method : "GET");
  if (headers) {
    soup_message_headers_foreach(
        headers,
        [](const char* name, const char* value, gpointer data) { static_cast<URLRequest*>(data)->addValue(value, name); },
        &result);
  }
  return result;
}

}  // namespace

URLRequest requestFrom(WebKitURIRequest* request) {
  if (!request) return assemble(nullptr, nullptr, nullptr);
  return assemble(webkit_uri_request_get_uri(request), webkit_uri_request_get_http_method(request),
                  webkit_uri_request_get_http_headers(request));
}

URLRequest requestFrom(WebKitURISchemeRequest* request) {
  return assemble(webkit_uri_scheme_request_get_uri(request), webkit_uri_scheme_request_get_http_method(request),
                  webkit_uri_scheme_request_get_http_headers(request));
}

}  // namespace platform::webkit
