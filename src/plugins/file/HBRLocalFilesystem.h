#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plugins/file/HBRFileSystem.h"

// The file system over one folder of the device, its root. Every full path that arrives is
// normalised ("..", "." and empty components go, and nothing climbs above the root) and the
// local path it names is checked again after symbolic links are followed: an entry whose
// real path lies outside the real root is refused, so neither ".." nor a link planted inside
// the root reaches the rest of the machine. What a page may not reach (the shell's own state,
// platform::paths::pageMayReach) answers as if it were not there. Files are opened once and
// checked on the descriptor: only regular files are read or written, never waiting on a FIFO,
// and a file that turns out to lie elsewhere is refused. No action removes, moves or replaces
// the root of any of the plugin's file systems, nor a folder that holds one. A read-only file
// system refuses every change. Keeps no state but its name, root and the roots of the other
// file systems; every operation looks at the disk anew.
class HBRLocalFilesystem : public HBRFileSystem {
 public:
  HBRLocalFilesystem(std::string name, std::string root, bool readOnly = false);

  const std::string& fsRoot() const { return fsRoot_; }
  bool isReadOnly() const { return readOnly_; }
  // The roots of every file system of the plugin, which no action removes or moves; set
  // before the file system is used. Without it only its own root is protected.
  void setProtectedRoots(std::vector<std::string> roots) { protectedRoots_ = std::move(roots); }

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
  HBRResultRef writeAtPosition(const HBRFilesystemURL& url, std::string_view data, std::uint64_t position) override;
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

  // For tests: called with the local path of a read or write whose path was checked with its
  // links resolved, just before the path is opened with links followed. What happens there is
  // what a program racing the shell could do (swap a link in), which only the check on the
  // descriptor catches. Set it while no operation runs; an empty one (the default) is skipped.
  static void setBeforeOpeningCheckedPath(std::function<void(const std::string& localPath)> hook);

 private:
  // Sets the file's length to `position`; the errno value on failure.
  std::optional<int> truncateFile(const std::string& localPath, std::uint64_t position) const;
  HBRResultRef doRemove(const std::string& localPath);
  // The local path of a URL, or the error result that refuses it.
  std::optional<std::string> checkedPath(const HBRFilesystemURL& url, HBRResultRef& refusal) const;
  // Whether the path is, or holds, the root of a file system (compared as written and with
  // links resolved).
  bool isRoot(const std::string& localPath) const;
  // Whether a local path made below the root still lies inside the real root once its links
  // are resolved (`real`, its real path as fs::realPathAllowingMissing gives it).
  bool staysInRoot(const std::string& localPath, const std::optional<std::string>& real) const;
  // platform::paths::pageMayReach for a file system inside the data root; elsewhere (a
  // folder of its own) only the root bounds it. `resolved`: the path's real path when the
  // caller has it already.
  bool pageMayReach(const std::string& path, const std::optional<std::string>& resolved = std::nullopt) const;
  // Whether the open file lies, links resolved, inside the root where a page may reach it.
  bool descriptorIsReachable(int fd) const;
  // Opens a regular file for writing (never a FIFO or device, nothing truncated before the
  // descriptor is checked); the descriptor or the errno value as a negative number.
  int openForWriting(const std::string& localPath, bool create) const;
  // The checks of openForWriting on a descriptor it opened: the descriptor, or -EACCES once
  // it is closed.
  int checkedForWriting(int fd, const std::string& localPath) const;
  // The local path of `url` and its file, opened with `flags` in one lookup, when that lookup
  // meets no link and checkedPath would pass the path: the path as written is then its own
  // real path, the one checkedPath judges. nullopt when a link, a missing file, a refusal or
  // anything else is in the way: the caller then takes checkedPath's way, which says why.
  std::optional<std::pair<std::string, int>> openWithoutLinks(const HBRFilesystemURL& url, int flags) const;

  std::string fsRoot_;
  bool readOnly_;
  std::vector<std::string> protectedRoots_;
};
