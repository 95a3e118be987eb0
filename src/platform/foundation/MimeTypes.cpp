#include "platform/foundation/MimeTypes.h"

#include <gio/gio.h>

#include <algorithm>
#include <utility>

#include "platform/foundation/Strings.h"

namespace platform {
namespace {

// Formats a web page loads, with the types a browser needs to use them: module scripts and
// workers need a script type, streaming compilation needs "application/wasm", media elements
// and text tracks need theirs.
constexpr std::pair<std::string_view, std::string_view> kWebFormats[] = {
    {"aac", "audio/aac"},
    {"apng", "image/apng"},
    {"avif", "image/avif"},
    {"bmp", "image/bmp"},
    {"cjs", "text/javascript"},
    {"css", "text/css"},
    {"csv", "text/csv"},
    {"eot", "application/vnd.ms-fontobject"},
    {"flac", "audio/flac"},
    {"gif", "image/gif"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"ico", "image/x-icon"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"js", "text/javascript"},
    {"json", "application/json"},
    {"m4a", "audio/mp4"},
    {"m4v", "video/mp4"},
    {"map", "application/json"},
    {"md", "text/markdown"},
    {"mjs", "text/javascript"},
    {"mov", "video/quicktime"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"oga", "audio/ogg"},
    {"ogg", "audio/ogg"},
    {"ogv", "video/ogg"},
    {"opus", "audio/ogg"},
    {"otf", "font/otf"},
    {"pdf", "application/pdf"},
    {"png", "image/png"},
    {"svg", "image/svg+xml"},
    {"svgz", "image/svg+xml"},
    {"ttf", "font/ttf"},
    {"txt", "text/plain"},
    {"vtt", "text/vtt"},
    {"wasm", "application/wasm"},
    {"wav", "audio/wav"},
    {"weba", "audio/webm"},
    {"webm", "video/webm"},
    {"webmanifest", "application/manifest+json"},
    {"webp", "image/webp"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"xhtml", "application/xhtml+xml"},
    {"xml", "application/xml"},
    {"xsl", "application/xml"},
    {"zip", "application/zip"},
};

}  // namespace

std::optional<std::string> webMimeTypeForExtension(std::string_view extension) {
  std::string lowered = asciiLower(extension);
  auto it = std::find_if(std::begin(kWebFormats), std::end(kWebFormats),
                         [&](const auto& entry) { return entry.first == lowered; });
  if (it == std::end(kWebFormats)) return std::nullopt;
  return std::string(it->second);
}

std::optional<std::string> mimeTypeForExtension(std::string_view extension) {
  if (extension.empty() || extension.find('\0') != std::string_view::npos) return std::nullopt;
  std::string name = "file." + std::string(extension);
  gboolean uncertain = FALSE;
  gchar* type = g_content_type_guess(name.c_str(), nullptr, 0, &uncertain);
  if (!type) return std::nullopt;
  std::optional<std::string> mime;
  // An extension the database does not know comes back as the uncertain generic type.
  if (!(uncertain && g_content_type_is_unknown(type))) {
    if (gchar* m = g_content_type_get_mime_type(type)) {
      mime = m;
      g_free(m);
    }
  }
  g_free(type);
  return mime;
}

}  // namespace platform
