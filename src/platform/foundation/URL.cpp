#include "platform/foundation/URL.h"

#include <glib.h>

#include <cstring>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Strings.h"

namespace platform {

namespace {

bool isAlpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool isUnreserved(unsigned char c) {
  return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isAllowed(unsigned char c, URLCharacterSet set) {
  if (c == '%' || c < 0x21 || c > 0x7E) return false;
  switch (set) {
    case URLCharacterSet::AllButWhitespace:
      return true;
    case URLCharacterSet::PathAllowed:
      return isUnreserved(c) || std::strchr("!$&'()*+,;=:@/", c) != nullptr;
    case URLCharacterSet::QueryAllowed:
    case URLCharacterSet::FragmentAllowed:
      return isUnreserved(c) || std::strchr("!$&'()*+,;=:@/?", c) != nullptr;
    case URLCharacterSet::QueryValueAllowed:
      return isUnreserved(c) || std::strchr("!$'()*,;:@/?", c) != nullptr;
    case URLCharacterSet::HostAllowed:
      return isUnreserved(c) || std::strchr("!$&'()*+,;=:[]", c) != nullptr;
  }
  return false;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isPercentEscape(std::string_view text, size_t i) {
  return i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0;
}

// What may appear in URL text at all: printable ASCII and well-formed escapes. Web engines
// take (and send) more than RFC 3986 allows: '\\', '^', '`', '{', '|' and '}' unescaped in a
// path, a query or a fragment, and '#' again inside a fragment. Only what they would escape
// themselves before sending it (blanks, '"', '<', '>') is refused here.
bool isLegalURLText(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x21 || c > 0x7E || std::strchr("\"<>", c) != nullptr) return false;
    if (c == '%' && !isPercentEscape(text, i)) return false;
  }
  return true;
}

// The characters above are not allowed in a host name, nor anywhere in the authority.
bool isLegalAuthority(std::string_view authority) {
  return authority.find_first_of("\\^`{|}") == std::string_view::npos;
}

bool isSchemeText(std::string_view s) {
  if (s.empty() || !isAlpha(static_cast<unsigned char>(s[0]))) return false;
  for (unsigned char c : s)
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
  return true;
}

constexpr GUriFlags kFlags = static_cast<GUriFlags>(G_URI_FLAGS_ENCODED | G_URI_FLAGS_NON_DNS);

}  // namespace

std::string percentEncode(std::string_view text, URLCharacterSet set) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (isAllowed(c, set)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (!isPercentEscape(text, i)) return std::nullopt;
    out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
    i += 2;
  }
  if (!g_utf8_validate_len(out.data(), out.size(), nullptr)) return std::nullopt;
  return out;
}

URL::URL() { path_.start = 0; }

std::optional<URL> URL::parse(std::string_view text) {
  if (text.empty() || !isLegalURLText(text)) return std::nullopt;
  return fromValidatedText(std::string(text));
}

std::optional<URL> URL::fromValidatedText(std::string text) {
  URL url;
  url.text_ = std::move(text);
  const std::string& t = url.text_;

  size_t pos = 0;
  size_t colon = t.find_first_of(":/?#");
  if (colon != std::string::npos && t[colon] == ':' && isSchemeText(std::string_view(t).substr(0, colon))) {
    url.scheme_ = {0, colon};
    pos = colon + 1;
  }
  if (t.compare(pos, 2, "//") == 0) {
    size_t end = t.find_first_of("/?#", pos + 2);
    if (end == std::string::npos) end = t.size();
    url.authority_ = {pos + 2, end - pos - 2};
    if (!isLegalAuthority(std::string_view(t).substr(pos + 2, end - pos - 2))) return std::nullopt;
    pos = end;
  }
  size_t pathEnd = t.find_first_of("?#", pos);
  if (pathEnd == std::string::npos) pathEnd = t.size();
  url.path_ = {pos, pathEnd - pos};
  pos = pathEnd;
  if (pos < t.size() && t[pos] == '?') {
    size_t end = t.find('#', pos);
    if (end == std::string::npos) end = t.size();
    url.query_ = {pos + 1, end - pos - 1};
    pos = end;
  }
  if (pos < t.size() && t[pos] == '#') url.fragment_ = {pos + 1, t.size() - pos - 1};

  // GUri checks the authority (IPv6 literals, port range) and reads host and port for us.
  gchar* host = nullptr;
  gint port = -1;
  GError* error = nullptr;
  if (!g_uri_split(t.c_str(), kFlags, nullptr, nullptr, &host, &port, nullptr, nullptr, nullptr,
                   &error)) {
    g_clear_error(&error);
    return std::nullopt;
  }
  url.host_ = host ? host : "";
  url.port_ = port;
  g_free(host);
  return url;
}

URL URL::fileURL(std::string_view path) {
  std::string absolute(path);
  if (absolute.empty() || absolute[0] != '/') {
    std::string base = fs::currentDirectory();
    if (base.empty() || base.back() != '/') base.push_back('/');
    absolute = base + absolute;
  }
  auto url = fromValidatedText("file://" + percentEncode(absolute, URLCharacterSet::PathAllowed));
  return url ? *url : URL();
}

std::optional<URL> URL::resolve(std::string_view relative) const {
  if (!isLegalURLText(relative)) return std::nullopt;
  if (!isAbsolute()) {
    auto ref = parse(relative);
    if (ref && ref->isAbsolute()) return ref;
    return std::nullopt;
  }
  std::string ref(relative);
  GError* error = nullptr;
  gchar* resolved = g_uri_resolve_relative(text_.c_str(), ref.c_str(), kFlags, &error);
  if (!resolved) {
    g_clear_error(&error);
    return std::nullopt;
  }
  std::string result = resolved;
  g_free(resolved);
  return fromValidatedText(std::move(result));
}

std::string_view URL::slice(Range r) const {
  if (!r.present()) return {};
  return std::string_view(text_).substr(r.start, r.length);
}

bool URL::isEmpty() const { return text_.empty(); }
bool URL::isAbsolute() const { return scheme_.present(); }
const std::string& URL::absoluteString() const { return text_; }
std::string URL::scheme() const { return std::string(slice(scheme_)); }
std::string URL::host() const { return host_; }

std::optional<int> URL::port() const {
  if (port_ < 0) return std::nullopt;
  return port_;
}

std::string URL::encodedPath() const { return std::string(slice(path_)); }

std::string URL::pathKeepingTrailingSlash() const {
  return percentDecode(slice(path_)).value_or("");
}

std::string URL::path() const {
  std::string p = pathKeepingTrailingSlash();
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::optional<std::string> URL::query() const {
  if (!query_.present()) return std::nullopt;
  return std::string(slice(query_));
}

std::optional<std::string> URL::fragment() const {
  if (!fragment_.present()) return std::nullopt;
  return std::string(slice(fragment_));
}

std::string URL::resourceSpecifier() const {
  if (!scheme_.present()) return text_;
  return text_.substr(scheme_.length + 1);
}

std::vector<std::pair<std::string, std::string>> URL::queryItems() const {
  std::vector<std::pair<std::string, std::string>> items;
  std::string_view q = slice(query_);
  if (q.empty()) return items;
  size_t start = 0;
  while (start <= q.size()) {
    size_t end = q.find('&', start);
    if (end == std::string_view::npos) end = q.size();
    std::string_view item = q.substr(start, end - start);
    size_t eq = item.find('=');
    std::string_view name = item.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
    items.emplace_back(percentDecode(name).value_or(std::string(name)),
                       percentDecode(value).value_or(std::string(value)));
    start = end + 1;
  }
  return items;
}

std::string URL::lastPathComponent() const {
  std::string p = path();
  if (p.empty() || p == "/") return p;
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string URL::pathExtension() const {
  std::string last = lastPathComponent();
  size_t dot = last.rfind('.');
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string::npos || dot == 0) return "";
  return last.substr(dot + 1);
}

bool URL::hasDirectoryPath() const {
  std::string_view p = slice(path_);
  return !p.empty() && p.back() == '/';
}

bool URL::isFileURL() const { return equalsIgnoreCase(slice(scheme_), "file"); }

URL URL::withPath(std::string_view encodedPath) const {
  std::string text = text_.substr(0, path_.start);
  text += encodedPath;
  text += text_.substr(path_.start + path_.length);
  auto url = parse(text);
  return url ? *url : *this;
}

URL URL::appendingPathComponent(std::string_view component) const {
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  std::string encoded = percentEncode(component, URLCharacterSet::PathAllowed);
  std::string p(slice(path_));
  if (p.empty()) {
    if (authority_.present()) p = "/";
  } else if (p.back() != '/') {
    p.push_back('/');
  }
  return withPath(p + encoded);
}

URL URL::deletingLastPathComponent() const {
  std::string p(slice(path_));
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  p = slash == std::string::npos ? "" : p.substr(0, slash + 1);
  return withPath(p);
}

URL URL::withScheme(std::string_view scheme) const {
  // Only the scheme changes: nothing read from the rest depends on it (no scheme-based
  // normalisation), so the components move by the difference in length instead of being
  // read again. Anything else is read again in full.
  if (scheme_.present() && isSchemeText(scheme) && isLegalURLText(text_)) {
    URL url = *this;
    url.text_.replace(0, scheme_.length, scheme);
    for (Range* range : {&url.authority_, &url.path_, &url.query_, &url.fragment_})
      if (range->present()) range->start = range->start - scheme_.length + scheme.size();
    url.scheme_ = {0, scheme.size()};
    return url;
  }
  std::string text(scheme);
  text += scheme_.present() ? text_.substr(scheme_.length) : ":" + text_;
  auto url = parse(text);
  return url && url->isAbsolute() ? *url : *this;
}

URL URL::withoutFragment() const {
  if (!fragment_.present()) return *this;
  auto url = parse(text_.substr(0, fragment_.start - 1));
  return url ? *url : *this;
}

bool URL::operator==(const URL& other) const { return text_ == other.text_; }

}  // namespace platform
