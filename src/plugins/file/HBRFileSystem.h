#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/HBRCommandDelegate.h"
#include "host/HBRPluginResult.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "plugins/file/HBRFilesystemURL.h"

// The error numbers the file plugin and its file systems send to JavaScript: the FileError
// codes of the W3C File API: Directories and System.
enum HBRFileErrorCode : int {
  NOT_FOUND_ERR = 1,
  SECURITY_ERR = 2,
  ABORT_ERR = 3,
  NOT_READABLE_ERR = 4,
  ENCODING_ERR = 5,
  NO_MODIFICATION_ALLOWED_ERR = 6,
  INVALID_STATE_ERR = 7,
  SYNTAX_ERR = 8,
  INVALID_MODIFICATION_ERR = 9,
  QUOTA_EXCEEDED_ERR = 10,
  TYPE_MISMATCH_ERR = 11,
  PATH_EXISTS_ERR = 12,
};

// The platform's file-error numbers that the file systems tell apart.
enum HBRPlatformFileError : long {
  kFileNoSuchFile = 4,
  kFileReadUnknown = 256,
  kFileReadNoSuchFile = 260,
  kFileReadTooLarge = 263,
  kFileWriteUnknown = 512,
  kFileWriteNoPermission = 513,
  kFileWriteOutOfSpace = 640,
};

// The one mapping from an errno value to the platform's file-error numbers. `reading` picks
// the read-side numbers where there are two (a missing file, an unknown failure).
long HBRPlatformFileErrorForErrno(int errnoValue, bool reading);
// The platform file-error number of an error from platform::fs (POSIX or file-manager
// domain); kFileWriteUnknown (or kFileReadUnknown) for anything else.
long HBRPlatformFileErrorFor(const platform::Error& error, bool reading);

using HBRResultRef = std::shared_ptr<HBRPluginResult>;

// An error result: the code as an integer message with the given status.
HBRResultRef HBRFileErrorResult(HBRFileErrorCode code, HBRResultStatus status = HBRResultStatus::IOException);

// A named file system of the file plugin. Entries are addressed by their full path inside
// it; every operation answers with a plugin result (or through its callback) and never
// throws. Operations may be called from several threads at once.
class HBRFileSystem {
 public:
  // Bytes (nullopt when nothing could be read), MIME type, and 0 or an HBRFileErrorCode.
  using ReadCallback =
      std::function<void(std::optional<std::string> bytes, std::optional<std::string> mimeType, int error)>;
  using ResultCallback = std::function<void(HBRResultRef)>;

  virtual ~HBRFileSystem() = default;

  virtual HBRResultRef entryForLocalURI(const HBRFilesystemURL& url) = 0;
  // Options: the boolean keys "create", "exclusive" and "getDir".
  virtual HBRResultRef getFileForURL(const HBRFilesystemURL& url, const std::string& requestedPath,
                                     const platform::Value& options) = 0;
  virtual HBRResultRef getParentForURL(const HBRFilesystemURL& url) = 0;
  virtual HBRResultRef setMetadataForURL(const HBRFilesystemURL& url, const platform::Value& metadata) = 0;
  virtual HBRResultRef removeFileAtURL(const HBRFilesystemURL& url) = 0;
  virtual HBRResultRef recursiveRemoveFileAtURL(const HBRFilesystemURL& url) = 0;
  virtual HBRResultRef readEntriesAtURL(const HBRFilesystemURL& url) = 0;
  virtual HBRResultRef truncateFileAtURL(const HBRFilesystemURL& url, std::uint64_t position) = 0;
  virtual HBRResultRef writeToFileAtURL(const HBRFilesystemURL& url, std::string_view data, bool append) = 0;
  // The page's write: the file cut (or extended) to `position`, then `data` written after it;
  // a missing file is made. A file that is there but cannot be cut is not written to:
  // appending would leave its old tail behind. By default truncateFileAtURL, then
  // writeToFileAtURL appending.
  virtual HBRResultRef writeAtPosition(const HBRFilesystemURL& url, std::string_view data, std::uint64_t position);
  // Called on the destination file system; `callback` runs exactly once.
  virtual void copyFileToURL(const HBRFilesystemURL& destinationDirectory, const std::string& newName,
                             HBRFileSystem& sourceFileSystem, const HBRFilesystemURL& source, bool copy,
                             ResultCallback callback) = 0;
  // An end below 0 reads to the end of the file; `callback` runs exactly once.
  virtual void readFileAtURL(const HBRFilesystemURL& url, std::int64_t start, std::int64_t end,
                             ReadCallback callback) = 0;
  virtual void getFileMetadataForURL(const HBRFilesystemURL& url, ResultCallback callback) = 0;
  // Null when the entry does not exist.
  virtual platform::Value makeEntryForLocalURL(const HBRFilesystemURL& url) = 0;
  virtual platform::Value makeEntryForPath(const std::string& fullPath, bool isDirectory) = 0;

  // Optional: the local path of an entry, and the URL of a local path inside this file system.
  virtual std::optional<std::string> filesystemPathForURL(const HBRFilesystemURL&) { return std::nullopt; }
  virtual std::optional<HBRFilesystemURL> URLforFilesystemPath(const std::string&) { return std::nullopt; }

  // Set once while the plugin starts, read afterwards.
  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  const HBRCommandDelegate::URLTransformer& urlTransformer() const { return urlTransformer_; }
  void setUrlTransformer(HBRCommandDelegate::URLTransformer transformer) { urlTransformer_ = std::move(transformer); }

 protected:
  explicit HBRFileSystem(std::string name) : name_(std::move(name)) {}

 private:
  std::string name_;
  HBRCommandDelegate::URLTransformer urlTransformer_;
};
