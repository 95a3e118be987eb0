#include "appcache/VLManifestParser.h"

#include "appcache/VLCacheOptions.h"
#include "shell/VLLogger.h"

using platform::Value;

namespace {

constexpr const char* kModule = "VLManifest";

void logError(const std::string& message) {
  if (auto logger = VLLogger::sharedInstance()) logger->logError(message, kModule);
}

const char* typeName(const Value& value) { return value.type_name(); }

// The member `key` of `object` when it has the expected kind; a member of another kind is
// reported and counts as absent.
const Value* member(const Value& object, const char* key, Value::value_t kind,
                    const char* where) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  if (it->type() != kind) {
    logError(std::string("Ignored \"") + key + "\" of " + where + ": expected " +
             Value(kind).type_name() + ", found " + typeName(*it));
    return nullptr;
  }
  return &*it;
}

// The "manifest" object of a manifest JSON dictionary, or none.
const Value* manifestObject(const Value& json) {
  return member(json, "manifest", Value::value_t::object, "the manifest file");
}

}  // namespace

std::shared_ptr<VLManifestParser> VLManifestParser::sharedInstance() {
  static const auto parser = std::make_shared<VLManifestParser>();
  return parser;
}

std::shared_ptr<VLManifest> VLManifestParser::getManifestInfo(const Value& json) {
  if (!json.is_object()) {
    logError("Failed to get manifest info with error: invalid or missing dictionary");
    return nullptr;
  }
  const Value* manifest = manifestObject(json);
  if (!manifest) return std::make_shared<VLManifest>();
  // Counted before anything is built from it: every entry costs memory and time at each start.
  size_t entries = 0;
  for (const char* key : {"urlVersions", "urlMappings", "urlMappingsNoCache"})
    if (auto it = manifest->find(key); it != manifest->end() && it->is_object())
      entries += it->size();
  if (entries > VLCacheOptions::kMaximumManifestEntries) {
    logError("Failed to get manifest info with error: the manifest has " +
             std::to_string(entries) + " entries, more than the " +
             std::to_string(VLCacheOptions::kMaximumManifestEntries) + " allowed");
    return nullptr;
  }
  std::optional<std::string> token;
  if (auto* value = member(*manifest, "versionToken", Value::value_t::string, "the manifest"))
    token = value->get<std::string>();
  return std::make_shared<VLManifest>(token, getURLVersionsFromJSON(*manifest),
                                      getURLMappingsFromJSON(*manifest, true),
                                      getURLMappingsFromJSON(*manifest, false));
}

std::optional<std::string> VLManifestParser::getManifestVersion(const Value& json) {
  if (!json.is_object()) {
    logError("Failed to get manifest version with error: invalid or missing dictionary");
    return std::nullopt;
  }
  const Value* manifest = manifestObject(json);
  if (!manifest) return std::nullopt;
  auto* value = member(*manifest, "versionToken", Value::value_t::string, "the manifest");
  return value ? std::optional<std::string>(value->get<std::string>()) : std::nullopt;
}

std::string VLManifestParser::getManifestUrl(const std::optional<std::string>& versionToken) {
  return versionToken ? "manifest.json?" + *versionToken : std::string("manifest.json");
}

std::vector<std::string> VLManifestParser::getURLVersionsFromJSON(const Value& manifest) {
  std::vector<std::string> list;
  const Value* versions = member(manifest, "urlVersions", Value::value_t::object, "the manifest");
  if (!versions) return list;
  for (const auto& [url, suffix] : versions->items()) {
    if (!suffix.is_string()) {
      logError("Ignored the version of " + url + " in \"urlVersions\": expected string, found " +
               typeName(suffix));
      continue;
    }
    list.push_back(url + suffix.get<std::string>());
  }
  return list;
}

VLManifest::Mappings VLManifestParser::getURLMappingsFromJSON(const Value& manifest,
                                                              bool withCache) {
  VLManifest::Mappings result;
  const Value* versions = member(manifest, "urlVersions", Value::value_t::object, "the manifest");
  if (!versions) return result;
  const char* key = withCache ? "urlMappings" : "urlMappingsNoCache";
  const Value* mappings = member(manifest, key, Value::value_t::object, "the manifest");
  if (!mappings) return result;
  for (const auto& [path, target] : mappings->items()) {
    if (!target.is_string()) {
      logError("Ignored the mapping of " + path + " in \"" + key +
               "\": expected string, found " + typeName(target));
      continue;
    }
    const std::string url = target.get<std::string>();
    if (url.find('?') != std::string::npos) {
      result[path] = url;
      continue;
    }
    auto suffix = versions->find(url);
    if (suffix != versions->end() && suffix->is_string())
      result[path] = url + suffix->get<std::string>();
  }
  return result;
}
