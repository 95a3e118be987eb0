#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Which characters percentEncode leaves alone. Everything else is written as %XX of its
// UTF-8 bytes; '%' itself is always escaped, and so is every byte outside printable ASCII.
enum class URLCharacterSet {
  PathAllowed,
  QueryAllowed,
  FragmentAllowed,
  HostAllowed,
  QueryValueAllowed,  // query characters minus & = + (safe for one name or value)
  AllButWhitespace,   // escapes only whitespace and % (plus control and non-ASCII bytes)
};

std::string percentEncode(std::string_view text, URLCharacterSet set);
// nullopt on a malformed %XX sequence or when the decoded bytes are not valid UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

// A URL reference kept exactly as written. Components are read off the original text, so
// absoluteString() round-trips byte for byte; GLib's GUri validates the authority and
// performs RFC 3986 resolution.
class URL {
 public:
  URL();

  // An absolute URL or a relative reference; nullopt for empty text, spaces, other
  // characters that may not appear in a URL, or a broken authority.
  static std::optional<URL> parse(std::string_view text);
  // "file://" + the percent-encoded absolute path; a relative path is taken from the
  // current directory.
  static URL fileURL(std::string_view path);

  // RFC 3986 resolution of a reference against this URL. When this URL has no scheme the
  // reference must itself be absolute.
  std::optional<URL> resolve(std::string_view relative) const;

  bool isEmpty() const;
  bool isAbsolute() const;  // has a scheme
  const std::string& absoluteString() const;
  std::string scheme() const;
  std::string host() const;
  std::optional<int> port() const;
  std::string path() const;
  std::string pathKeepingTrailingSlash() const;
  std::string encodedPath() const;
  std::optional<std::string> query() const;
  std::optional<std::string> fragment() const;
  std::string resourceSpecifier() const;
  std::vector<std::pair<std::string, std::string>> queryItems() const;
  std::string lastPathComponent() const;
  std::string pathExtension() const;
  bool hasDirectoryPath() const;  // the path ends with "/"
  bool isFileURL() const;

  URL appendingPathComponent(std::string_view component) const;
  URL deletingLastPathComponent() const;
  URL withScheme(std::string_view scheme) const;
  URL withoutFragment() const;

  bool operator==(const URL& other) const;

 private:
  // Byte ranges into text_; npos start means "absent".
  struct Range {
    size_t start = std::string::npos;
    size_t length = 0;
    bool present() const { return start != std::string::npos; }
  };

  static std::optional<URL> fromValidatedText(std::string text);
  std::string_view slice(Range r) const;
  URL withPath(std::string_view encodedPath) const;

  std::string text_;
  Range scheme_, authority_, path_, query_, fragment_;
  std::string host_;
  int port_ = -1;
};

}  // namespace platform
