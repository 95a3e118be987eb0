// Starts the cache engine on arbitrary bytes in place of its cache manifest file, as a damaged
// or edited "VLCacheManifest.plist" would be found at launch: the engine reads it, cleans up
// what no version needs and writes it back. Half of the inputs come with their content hash
// stored, as a file the engine wrote itself; the others are loaded as files nobody vouched for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "appcache/VLCacheLocations.h"
#include "appcache/VLFileChecksum.h"
#include "appcache/VLNativeCache.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string root = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                     "/veltro-cache-manifest-fuzz-XXXXXX";
  if (!mkdtemp(root.data())) std::abort();
  platform::paths::setDataRoot(root);
  // An empty package: entries that name package files find none to copy.
  platform::fs::createDirectory(root + "/package/www", true);
  platform::Bundle::setMainPath(root + "/package");
  if (platform::fs::createDirectory(VLCacheLocations::cacheDirectory(), true)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string path = VLNativeCache::manifestFilePath();
  if (platform::fs::writeFileAtomically(path, bytes)) return 0;
  auto& defaults = platform::UserDefaults::standard();
  if (size % 2)
    defaults.set(VLNativeCache::kFileHashKey, VLFileChecksum::contentHashOfData(bytes));
  else
    defaults.remove(VLNativeCache::kFileHashKey);
  defaults.remove(VLNativeCache::kPreviousFileHashKey);

  auto engine = VLNativeCache::make(false, 4, 30);
  (void)platform::serializePropertyListXML(engine->createCacheManifest());
  (void)engine->getRunningVersionToken();
  engine->upgradeCacheIfNeeded();
  return 0;
}
