// Feeds arbitrary bytes, as "www/manifest.json" could hold them, through the manifest parser.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "appcache/VLManifestParser.h"
#include "platform/foundation/JSONText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto json = platform::parseJSONText(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!json) return 0;
  auto& parser = *VLManifestParser::sharedInstance();
  auto manifest = parser.getManifestInfo(*json);
  auto version = parser.getManifestVersion(*json);
  if (manifest) {
    // What the pre-bundle bootstrap hands the cache engine.
    (void)manifest->urlVersionsValue().dump();
    (void)manifest->urlMappingsValue().dump();
    (void)manifest->urlMappingsNoCacheValue().dump();
    (void)parser.getManifestUrl(manifest->versionToken());
  }
  (void)version;
  return 0;
}
