#include "platform/foundation/URL.h"

#include <gtest/gtest.h>

using platform::URL;
using platform::URLCharacterSet;

namespace {
URL mustParse(const char* text) {
  auto url = URL::parse(text);
  EXPECT_TRUE(url.has_value()) << text;
  return url.value_or(URL());
}
// "scheme host port path ?query #fragment", absent parts as "-".
std::string parts(const URL& url) {
  auto text = [](const auto& part) { return part ? *part : std::string("-"); };
  return url.scheme() + " " + url.host() + " " + (url.port() ? std::to_string(*url.port()) : "-") +
         " " + url.path() + " ?" + text(url.query()) + " #" + text(url.fragment());
}
}  // namespace

TEST(URL, ResolvesReferencesWithQueryAndFragment) {
  URL base = mustParse("https://example.com/app/www/index.html?v=1#top");
  auto resolve = [&](const char* ref) { return base.resolve(ref).value_or(URL()).absoluteString(); };
  EXPECT_EQ(resolve("../img/a.png?w=2#x"), "https://example.com/app/img/a.png?w=2#x");
  EXPECT_EQ(resolve("?q=2"), "https://example.com/app/www/index.html?q=2");
  EXPECT_EQ(resolve("#bottom"), "https://example.com/app/www/index.html?v=1#bottom");
  EXPECT_EQ(resolve("/root.js"), "https://example.com/root.js");
  EXPECT_EQ(resolve("//cdn.example.org/lib.js"), "https://cdn.example.org/lib.js");
  EXPECT_EQ(resolve("veltro://localhost/x"), "veltro://localhost/x");
  EXPECT_FALSE(base.resolve("bad ref").has_value());
  // A relative base can only take absolute references.
  EXPECT_FALSE(mustParse("a/b").resolve("c").has_value());
}

TEST(URL, ParseRejectsIllegalTextAndKeepsItAsWritten) {
  for (const char* bad : {"", "http://a/b c", "http://a/%zz", "http://a/<x>", "http://a/\"", "http://a:99999999/",
                          "http://h/\xC3\xA9", "http://a|b/", "http://a{b}/", "http://u^@h/"})
    EXPECT_FALSE(URL::parse(bad).has_value()) << bad;

  // What a web engine takes and sends unescaped is kept as written.
  URL loose = mustParse("app://localhost/a{b}/c|d\\e.html?q={1}|^`x#frag#more?");
  EXPECT_EQ(loose.absoluteString(), "app://localhost/a{b}/c|d\\e.html?q={1}|^`x#frag#more?");
  EXPECT_EQ(parts(loose), "app localhost - /a{b}/c|d\\e.html ?q={1}|^`x #frag#more?");
  EXPECT_EQ(mustParse("file:///w/index.html").resolve("?b=^{}#x#y").value_or(URL()).absoluteString(),
            "file:///w/index.html?b=^{}#x#y");

  URL relative = mustParse("www/index.html?x#y");
  EXPECT_FALSE(relative.isAbsolute());
  EXPECT_EQ(parts(relative), "  - www/index.html ?x #y");

  URL url = mustParse("HTTPS://user@Host.Example:8443/dir/file%20name.tar.gz?a=1&b=x%26y&c=a+b&d#frag");
  EXPECT_EQ(url.absoluteString(), "HTTPS://user@Host.Example:8443/dir/file%20name.tar.gz?a=1&b=x%26y&c=a+b&d#frag");
  EXPECT_EQ(parts(url), "HTTPS Host.Example 8443 /dir/file name.tar.gz ?a=1&b=x%26y&c=a+b&d #frag");
  EXPECT_EQ(url.encodedPath(), "/dir/file%20name.tar.gz");
  EXPECT_EQ(url.resourceSpecifier(), "//user@Host.Example:8443/dir/file%20name.tar.gz?a=1&b=x%26y&c=a+b&d#frag");
  EXPECT_EQ(url.lastPathComponent(), "file name.tar.gz");
  EXPECT_EQ(url.pathExtension(), "gz");
  using Items = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(url.queryItems(), (Items{{"a", "1"}, {"b", "x&y"}, {"c", "a+b"}, {"d", ""}}));

  EXPECT_EQ(parts(mustParse("http://h")), "http h -  ?- #-");
  EXPECT_EQ(parts(mustParse("http://h/?")), "http h - / ? #-");
  EXPECT_TRUE(URL().isEmpty());
}

TEST(URL, PathsFileURLsAppendedComponentsAndSchemes) {
  URL dir = mustParse("http://h/app/www/");
  EXPECT_EQ(dir.path(), "/app/www");
  EXPECT_EQ(dir.pathKeepingTrailingSlash(), "/app/www/");
  EXPECT_EQ(dir.lastPathComponent(), "www");
  EXPECT_TRUE(dir.hasDirectoryPath());
  EXPECT_EQ(mustParse("http://h/").path(), "/");
  EXPECT_EQ(mustParse("http://h/.profile").pathExtension(), "");
  EXPECT_EQ(mustParse("http://h/a.b/c").pathExtension(), "");
  EXPECT_EQ(mustParse("http://h/index.HTML").pathExtension(), "HTML");
  // An undecodable path has no decoded form.
  EXPECT_EQ(mustParse("http://h/%FF").path(), "");

  // File URLs encode their path.
  URL file = URL::fileURL("/data/my app/a#b?.html");
  EXPECT_EQ(file.absoluteString(), "file:///data/my%20app/a%23b%3F.html");
  EXPECT_EQ(file.path(), "/data/my app/a#b?.html");
  EXPECT_TRUE(file.isFileURL());
  EXPECT_TRUE(mustParse("FILE:///x").isFileURL());
  EXPECT_FALSE(mustParse("files:///x").isFileURL());
  EXPECT_EQ(URL::fileURL("rel/x").path().front(), '/');

  // Appending components and replacing the scheme.
  EXPECT_EQ(mustParse("http://h/base").appendingPathComponent("my file.js").absoluteString(),
            "http://h/base/my%20file.js");
  EXPECT_EQ(mustParse("http://h/base/").appendingPathComponent("/x").absoluteString(), "http://h/base/x");
  EXPECT_EQ(mustParse("http://h/a?q=1#f").appendingPathComponent("b?c").absoluteString(),
            "http://h/a/b%3Fc?q=1#f");
  EXPECT_EQ(mustParse("http://h").appendingPathComponent("x").absoluteString(), "http://h/x");
  EXPECT_EQ(mustParse("http://h/a/b.js").deletingLastPathComponent().absoluteString(), "http://h/a/");
  EXPECT_EQ(mustParse("https://h:1/p?q#f").withScheme("veltro").absoluteString(), "veltro://h:1/p?q#f");
  EXPECT_EQ(mustParse("https://h/p#f").withoutFragment().absoluteString(), "https://h/p");
  EXPECT_EQ(mustParse("http://h/x"), mustParse("http://h/x"));
}

TEST(URL, PercentEncodingPerCharacterSet) {
  const std::string text = "a b&c=d+e/f?g#h%\xC3\xA9";
  EXPECT_EQ(platform::percentEncode(text, URLCharacterSet::QueryValueAllowed),
            "a%20b%26c%3Dd%2Be/f?g%23h%25%C3%A9");
  EXPECT_EQ(platform::percentEncode(text, URLCharacterSet::QueryAllowed), "a%20b&c=d+e/f?g%23h%25%C3%A9");
  EXPECT_EQ(platform::percentEncode(text, URLCharacterSet::FragmentAllowed),
            "a%20b&c=d+e/f?g%23h%25%C3%A9");
  EXPECT_EQ(platform::percentEncode(text, URLCharacterSet::PathAllowed), "a%20b&c=d+e/f%3Fg%23h%25%C3%A9");
  EXPECT_EQ(platform::percentEncode("[::1]:80/", URLCharacterSet::HostAllowed), "[::1]:80%2F");
  EXPECT_EQ(platform::percentEncode("a b\t<%>\n#", URLCharacterSet::AllButWhitespace), "a%20b%09<%25>%0A#");

  EXPECT_EQ(platform::percentDecode("%C3%a9+x%2F"), "\xC3\xA9+x/");
  for (const char* bad : {"%zz", "%4", "%", "%FF", "%C3"})
    EXPECT_FALSE(platform::percentDecode(bad).has_value()) << bad;
}

// A new scheme leaves every other component as a fresh reading of the new text gives it.
TEST(URL, ANewSchemeReadsAsTheSameURLReadAfresh) {
  for (const char* text : {"https://h:1/p?q#f", "https://user:pw@H.example:8443/a/b%20c/?x=1&y#frag",
                           "http://[::1]:80/", "https://h", "https://h?q", "https://h#f", "mailto:someone@example.com",
                           "file:///tmp/a%2Fb", "a+b.c-d://h/p", "https:///nohost/p"}) {
    for (const char* scheme : {"veltro", "https", "x", "a+b.c-d", "Veltro", "HTTPS"}) {
      SCOPED_TRACE(std::string(text) + " as " + scheme);
      const platform::URL url = mustParse(text);
      const platform::URL moved = url.withScheme(scheme);
      const std::string rest = std::string(text).substr(std::string(text).find(':'));
      const platform::URL fresh = mustParse((scheme + rest).c_str());
      EXPECT_EQ(moved.absoluteString(), fresh.absoluteString());
      EXPECT_EQ(moved.scheme(), fresh.scheme());
      EXPECT_EQ(moved.host(), fresh.host());
      EXPECT_EQ(moved.port(), fresh.port());
      EXPECT_EQ(moved.path(), fresh.path());
      EXPECT_EQ(moved.encodedPath(), fresh.encodedPath());
      EXPECT_EQ(moved.query(), fresh.query());
      EXPECT_EQ(moved.fragment(), fresh.fragment());
      EXPECT_EQ(moved.resourceSpecifier(), fresh.resourceSpecifier());
      EXPECT_EQ(moved.queryItems(), fresh.queryItems());
      EXPECT_EQ(moved.withScheme(url.scheme()).absoluteString(), url.absoluteString());
    }
  }
  // No scheme, or a text that is none: the URL as it was.
  EXPECT_EQ(mustParse("/p?q").withScheme("https").absoluteString(), "https:/p?q");
  for (const char* bad : {"", "1x", "a b"})
    EXPECT_EQ(mustParse("https://h/p").withScheme(bad).absoluteString(), "https://h/p") << bad;
}
