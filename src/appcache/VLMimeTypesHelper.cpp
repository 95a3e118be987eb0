#include "appcache/VLMimeTypesHelper.h"

#include <mutex>

#include "appcache/VLCacheLog.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MimeTypes.h"

namespace {

std::mutex sharedMutex;
std::shared_ptr<VLMimeTypesHelper> sharedHelper;

// A table file is the package's own, but nothing stops it from being huge; a MIME table has
// no reason to be larger than this.
constexpr std::uint64_t kMaximumTableFileSize = 1 << 20;

}  // namespace

std::shared_ptr<VLMimeTypesHelper> VLMimeTypesHelper::sharedInstance() {
  std::lock_guard lock(sharedMutex);
  if (!sharedHelper) sharedHelper.reset(new VLMimeTypesHelper());
  return sharedHelper;
}

void VLMimeTypesHelper::resetSharedInstance() {
  std::lock_guard lock(sharedMutex);
  sharedHelper.reset();
}

VLMimeTypesHelper::VLMimeTypesHelper() {
  const std::string path =
      platform::fs::appendPath(platform::Bundle::main().bundlePath(), "www/mimetypes.manifest");
  if (!loadMimeTypesFromFilePath(path)) {
    vlcache::logDebug("Loading default mime types");
    loadDefaultMimeTypes();
  }
}

std::string VLMimeTypesHelper::getMimeTypeForExtension(std::string_view extension) const {
  std::shared_lock lock(mutex_);
  auto it = supportedMimeTypes_.find(extension);
  if (it != supportedMimeTypes_.end()) return it->second;
  return platform::webMimeTypeForExtension(extension).value_or(kUnknownMimeType);
}

bool VLMimeTypesHelper::loadMimeTypesFromFilePath(const std::string& path) {
  auto size = platform::fs::fileSize(path);
  std::optional<std::string> text;
  if (size && *size <= kMaximumTableFileSize) text = platform::fs::readFile(path);
  if (!text) {
    vlcache::logError(platform::stringf(
        "Failed to load mime types from manifest: %s",
        size ? "the file is too large to be a MIME table" : ("cannot read " + path).c_str()));
    return false;
  }
  platform::Value json;
  try {
    json = platform::Value::parse(*text);
  } catch (const platform::Value::exception& error) {
    vlcache::logError(std::string("Failed to serialize JSON data: ") + error.what());
    return false;
  }
  const platform::Value* table = nullptr;
  if (json.is_object()) {
    auto it = json.find("mimeTypes");
    if (it != json.end()) table = &*it;
  }
  if (table && !table->is_object()) {
    vlcache::logError("Failed to load mime types from manifest: \"mimeTypes\" is not an object");
    return false;
  }
  std::unique_lock lock(mutex_);
  if (table) {
    for (const auto& [extension, type] : table->items()) {
      if (type.is_string()) {
        supportedMimeTypes_[extension] = type.get<std::string>();
      } else {
        vlcache::logError("Failed to load mime types from manifest: the type of \"" + extension +
                          "\" is not a string");
      }
    }
  }
  return !supportedMimeTypes_.empty();
}

void VLMimeTypesHelper::loadDefaultMimeTypes() {
  std::unique_lock lock(mutex_);
  supportedMimeTypes_.insert({
      {"js", "text/javascript"},
      {"css", "text/css"},
      {"png", "image/png"},
      {"gif", "image/gif"},
      {"wav", "audio/wav"},
      {"svg", "image/svg+xml"},
      {"html", "text/html"},
      {"woff", "application/font-woff"},
      {"woff2", "application/font-woff2"},
      {"ttf", "application/octet-stream"},
      {"json", "application/json"},
  });
}

std::map<std::string, std::string> VLMimeTypesHelper::supportedMimeTypes() const {
  std::shared_lock lock(mutex_);
  return {supportedMimeTypes_.begin(), supportedMimeTypes_.end()};
}
