#include "appcache/VLResourcePath.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Strings.h"

namespace vlcache {

namespace {

// Decoding layers looked at: deeper encodings than this are refused outright.
constexpr int kDecodingLayers = 4;

bool harmlessLayer(const std::string& decoded) {
  for (unsigned char c : decoded)
    if (c < 0x20 || c == 0x7f || c == '\\') return false;
  for (const auto& segment : platform::split(decoded, '/'))
    if (segment == "." || segment == "..") return false;
  return true;
}

bool holdsEncodedSeparator(const std::string& text) {
  const std::string lower = platform::asciiLower(text);
  return platform::contains(lower, "%2f") || platform::contains(lower, "%5c");
}

}  // namespace

std::optional<std::string> servablePath(const platform::URL& url) {
  return decodedServablePath(url.encodedPath());
}

std::optional<std::string> decodedServablePath(const std::string& encoded) {
  if (holdsEncodedSeparator(encoded)) return std::nullopt;
  auto decoded = platform::percentDecode(encoded);
  if (!decoded || !harmlessLayer(*decoded)) return std::nullopt;
  std::string layer = *decoded;
  for (int depth = 1; layer.find('%') != std::string::npos; ++depth) {
    if (depth >= kDecodingLayers || holdsEncodedSeparator(layer)) return std::nullopt;
    auto next = platform::percentDecode(layer);
    // Text that does not decode again is a literal name, which nothing downstream decodes.
    if (!next || *next == layer) break;
    if (!harmlessLayer(*next)) return std::nullopt;
    layer = std::move(*next);
  }
  return decoded;
}

std::optional<std::string> fileInside(const std::string& root, const std::string& path) {
  const std::string base = platform::fs::normalizePath(root);
  const std::string joined = platform::fs::normalizePath(base + "/" + path);
  if (joined == base || !platform::fs::isInside(joined, base)) return std::nullopt;
  return joined;
}

}  // namespace vlcache
