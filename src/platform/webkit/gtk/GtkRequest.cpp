#include "platform/webkit/gtk/GtkRequest.h"

#include <libsoup/soup.h>

#include <optional>
#include <string>

namespace platform::webkit {
namespace {

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// WebKit passes a "%" that starts no escape ("?q=%zz") on as it stands; the URL names the
// same resource with that "%" itself escaped.
std::optional<URL> parseAsWebKitSends(const char* uri) {
  std::string text = uri ? uri : "";
  if (auto url = URL::parse(text)) return url;
  std::string escaped;
  for (size_t i = 0; i < text.size(); ++i) {
    escaped += text[i];
    if (text[i] == '%' && !(i + 2 < text.size() && isHexDigit(text[i + 1]) && isHexDigit(text[i + 2])))
      escaped += "25";
  }
  return URL::parse(escaped);
}

URLRequest assemble(const char* uri, const char* method, SoupMessageHeaders* headers) {
  URLRequest result(parseAsWebKitSends(uri).value_or(URL()));
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
