#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "plugins/file/HBRFileSystem.h"

// The file system over one folder of the device, its root. Every full path that arrives is
// normalised ("..", "." and empty components go, and nothing climbs above the root) and the
// local path it names is checked again after symbolic links are followed: an entry whose
// real path lies outside the real root is refused, so neither ".." nor a link planted inside
// the root reaches the rest of the machine. A read-only file system refuses every change.
// Keeps no state but its name and root; every operation looks at the disk anew.
class HBRLocalFilesystem : public HBRFileSystem {
 public:
  HBRLocalFilesystem(std::string name, std::string root, bool readOnly = false);

  const std::string& fsRoot() const { return fsRoot_; }
  bool isReadOnly() const { return readOnly_; }

  // The text before the first "?".
  static std::string stripQueryParametersFromPath(std::string_view path);
  // Resolves ".." against the component before it (never above the start), drops "." and
  // empty components; keeps a leading "/" when there was one.
  static std::string normalizePath(std::string_view path);
  // The local path of a full path (query stripped, normalised), or nullopt when its real
  // path lies outside the real root.
  std::optional<std::string> filesystemPathForFullPath(std::string_view fullPath) const;
  // The full path of a local path inside the root (whole components), else nullopt.
  std::optional<std::string> fullPathForFileSystemPath(std::string_view localPath) const;
  std::optional<HBRFilesystemURL> URLforFullPath(const std::optional<std::string>& fullPath) const;
  // Whether a tree at local path `source` may be copied or moved to `destination`: not onto
  // itself and not below itself, compared by whole path components.
  static bool canCopyMoveSrc(std::string_view source, std::string_view destination);
  // Metadata's type: nullopt when nothing exists at the path; the extension's MIME type,
  // else "application/octet-stream".
  static std::optional<std::string> mimeTypeForFileAtPath(const std::string& path);
  // The MIME type of a path's extension, with the fallbacks for audio and style sheets
  // that the type database may not know; nullopt when there is none.
  static std::optional<std::string> getMimeTypeFromPath(const std::optional<std::string>& path);

  HBRResultRef entryForLocalURI(const HBRFilesystemURL& url) override;
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
  void readFileAtURL(const HBRFilesystemURL& url, std::int64_t start, std::int64_t end,
                     ReadCallback callback) override;
  void getFileMetadataForURL(const HBRFilesystemURL& url, ResultCallback callback) override;
  platform::Value makeEntryForLocalURL(const HBRFilesystemURL& url) override;
  platform::Value makeEntryForPath(const std::string& fullPath, bool isDirectory) override;
  std::optional<std::string> filesystemPathForURL(const HBRFilesystemURL& url) override;
  std::optional<HBRFilesystemURL> URLforFilesystemPath(const std::string& localPath) override;

 private:
  // Sets the file's length to `position`; the errno value on failure.
  static std::optional<int> truncateFile(const std::string& localPath, std::uint64_t position);
  HBRResultRef doRemove(const std::string& localPath);
  // The local path of a URL, or the error result that refuses it.
  std::optional<std::string> checkedPath(const HBRFilesystemURL& url, HBRResultRef& refusal) const;
  bool isRoot(const std::string& localPath) const;

  std::string fsRoot_;
  bool readOnly_;
};
