#pragma once

#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

// File extension to MIME type, for cache entries and for files served from the package. The
// table comes from the package's "www/mimetypes.manifest" ({"mimeTypes": {"js": "..."}}); a
// file that gives no usable entry leaves the built-in table in force, while one that gives
// even a single entry replaces the whole built-in table. Lookups are case-sensitive. An
// extension the table does not name takes its type from the shell's table of web formats
// (any letter case), shared by every scheme, and else is "application/octet-stream".
class VLMimeTypesHelper {
 public:
  // The type of an extension that is in no table, nor among the web formats.
  static constexpr const char* kUnknownMimeType = "application/octet-stream";

  // Made on first use from the main bundle's table; safe from any thread.
  static std::shared_ptr<VLMimeTypesHelper> sharedInstance();
  // Forgets the shared instance, so the next use reads the table again.
  static void resetSharedInstance();

  std::string getMimeTypeForExtension(std::string_view extension) const;
  // Adds the file's entries; true when the table then holds at least one.
  bool loadMimeTypesFromFilePath(const std::string& path);
  void loadDefaultMimeTypes();
  std::map<std::string, std::string> supportedMimeTypes() const;

 private:
  VLMimeTypesHelper();

  mutable std::shared_mutex mutex_;
  std::map<std::string, std::string, std::less<>> supportedMimeTypes_;
};
