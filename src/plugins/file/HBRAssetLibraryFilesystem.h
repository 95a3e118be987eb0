#pragma once

#include <optional>
#include <string>

#include "plugins/file/HBRFileSystem.h"

// The read-only file system over the device photo library. Its entries are named by
// "assets-library" URLs, or by "hbrfile" URLs of the file system "assets-library"; it reads
// an asset's bytes and metadata and refuses every change. Each request asks a fresh library
// object, and reads and metadata answer on the thread the library answers on.
class HBRAssetLibraryFilesystem : public HBRFileSystem {
 public:
  explicit HBRAssetLibraryFilesystem(std::string name) : HBRFileSystem(std::move(name)) {}

  // The photo library's own URL for an entry; nullopt when the URL names no asset URL at all
  // (too short, or not parseable).
  std::optional<platform::URL> assetLibraryURLForLocalURL(const HBRFilesystemURL& url) const;
  static std::optional<std::string> getMimeTypeFromPath(const std::string& path);

  HBRResultRef entryForLocalURI(const HBRFilesystemURL& url) override;
  platform::Value makeEntryForLocalURL(const HBRFilesystemURL& url) override;
  platform::Value makeEntryForPath(const std::string& fullPath, bool isDirectory) override;
  HBRResultRef getFileForURL(const HBRFilesystemURL& url, const std::string& requestedPath,
                             const platform::Value& options) override;
  HBRResultRef getParentForURL(const HBRFilesystemURL& url) override;
  HBRResultRef setMetadataForURL(const HBRFilesystemURL& url, const platform::Value& metadata) override;
  HBRResultRef removeFileAtURL(const HBRFilesystemURL& url) override;
  HBRResultRef recursiveRemoveFileAtURL(const HBRFilesystemURL& url) override;
  HBRResultRef readEntriesAtURL(const HBRFilesystemURL& url) override;
  HBRResultRef truncateFileAtURL(const HBRFilesystemURL& url, std::uint64_t position) override;
  HBRResultRef writeToFileAtURL(const HBRFilesystemURL& url, std::string_view data, bool append) override;
  void copyFileToURL(const HBRFilesystemURL& destinationDirectory, const std::string& newName,
                     HBRFileSystem& sourceFileSystem, const HBRFilesystemURL& source, bool copy,
                     ResultCallback callback) override;
  std::optional<std::string> filesystemPathForURL(const HBRFilesystemURL& url) override;
  void readFileAtURL(const HBRFilesystemURL& url, std::int64_t start, std::int64_t end,
                     ReadCallback callback) override;
  void getFileMetadataForURL(const HBRFilesystemURL& url, ResultCallback callback) override;
};
