#include "plugins/file/HBRLocalFilesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MimeTypes.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"

using platform::Value;

namespace {

enum class Kind { None, File, Directory };

// What is at a path, following symbolic links (their targets were checked to lie inside the
// root before anyone asks).
Kind kindAt(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return Kind::None;
  return S_ISDIR(info.st_mode) ? Kind::Directory : Kind::File;
}

using platform::fs::realPathAllowingMissing;

std::string lastPathComponent(std::string_view path) {
  if (path == "/") return "/";
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string pathExtension(std::string_view path) {
  std::string name = lastPathComponent(path);
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot + 1 == name.size()) return "";
  return name.substr(dot + 1);
}

// A number or a boolean that is true, as an options dictionary from the page holds them.
bool isTrueNumber(const Value& options, const char* key) {
  if (!options.is_object()) return false;
  auto it = options.find(key);
  if (it == options.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number()) return it->get<double>() != 0;
  return false;
}

// The code of a copy or move that the platform refused.
HBRFileErrorCode codeForCopyFailure(long platformError) {
  switch (platformError) {
    case kFileReadUnknown:
    case kFileReadTooLarge: return NOT_READABLE_ERR;
    case kFileWriteOutOfSpace: return QUOTA_EXCEEDED_ERR;
    case kFileWriteNoPermission: return NO_MODIFICATION_ALLOWED_ERR;
    default: return INVALID_MODIFICATION_ERR;
  }
}

// A tree copied or moved to a place inside itself once links are resolved.
bool intoItself(const std::string& source, const std::string& destination) {
  auto realSource = realPathAllowingMissing(source);
  auto realDestination = realPathAllowingMissing(destination);
  return !realSource || !realDestination || platform::fs::isInside(*realDestination, *realSource);
}

HBRResultRef ok(Value message = nullptr) {
  return HBRPluginResult::resultWithStatus(HBRResultStatus::OK, std::move(message));
}

std::function<void(const std::string&)>& beforeOpeningCheckedPath() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

void runBeforeOpeningCheckedPath(const std::string& localPath) {
  if (const auto& hook = beforeOpeningCheckedPath()) hook(localPath);
}

}  // namespace

void HBRLocalFilesystem::setBeforeOpeningCheckedPath(std::function<void(const std::string& localPath)> hook) {
  beforeOpeningCheckedPath() = std::move(hook);
}

HBRLocalFilesystem::HBRLocalFilesystem(std::string name, std::string root, bool readOnly)
    : HBRFileSystem(std::move(name)), fsRoot_(platform::fs::normalizePath(root)), readOnly_(readOnly) {}

std::string HBRLocalFilesystem::stripQueryParametersFromPath(std::string_view path) {
  return std::string(path.substr(0, path.find('?')));
}

std::string HBRLocalFilesystem::normalizePath(std::string_view path) {
  bool absolute = !path.empty() && path.front() == '/';
  std::vector<std::string> kept;
  for (const std::string& component : platform::split(path, '/')) {
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(component);
  }
  return (absolute ? "/" : "") + platform::join(kept, "/");
}

std::optional<std::string> HBRLocalFilesystem::filesystemPathForFullPath(std::string_view fullPath) const {
  if (fullPath.find('\0') != std::string_view::npos) return std::nullopt;
  std::string inside = normalizePath("/" + stripQueryParametersFromPath(fullPath));
  std::string local = inside == "/" ? fsRoot_ : platform::fs::appendPath(fsRoot_, inside);
  // Resolved once: both checks below judge the same real path.
  auto real = realPathAllowingMissing(local);
  if (!staysInRoot(local, real)) {
    platform::log("Refused the path " + std::string(fullPath) + " of the file system \"" + name() +
                  "\": it leads outside the file system's root.");
    return std::nullopt;
  }
  if (!pageMayReach(local, real)) {
    platform::log("Refused the path " + std::string(fullPath) + " of the file system \"" + name() +
                  "\": the shell keeps it for itself.");
    return std::nullopt;
  }
  return local;
}

std::optional<std::string> HBRLocalFilesystem::fullPathForFileSystemPath(std::string_view localPath) const {
  if (localPath == fsRoot_) return std::string();
  if (fsRoot_ == "/") return platform::startsWith(localPath, "/") ? std::optional(std::string(localPath)) : std::nullopt;
  if (!platform::startsWith(localPath, fsRoot_) || localPath.size() <= fsRoot_.size() ||
      localPath[fsRoot_.size()] != '/')
    return std::nullopt;
  return std::string(localPath.substr(fsRoot_.size()));
}

std::optional<HBRFilesystemURL> HBRLocalFilesystem::URLforFullPath(const std::optional<std::string>& fullPath) const {
  if (!fullPath) return std::nullopt;
  std::string escaped = platform::percentEncode(*fullPath, platform::URLCharacterSet::PathAllowed);
  std::string text = std::string(HBRFilesystemURL::kScheme) + "://localhost/" + name() +
                     (platform::startsWith(*fullPath, "/") ? "" : "/") + escaped;
  auto url = platform::URL::parse(text);
  if (!url) return std::nullopt;
  return HBRFilesystemURL(*url);
}

bool HBRLocalFilesystem::canCopyMoveSrc(std::string_view source, std::string_view destination) {
  return !platform::fs::isInside(destination, source);
}

std::optional<std::string> HBRLocalFilesystem::mimeTypeForFileAtPath(const std::string& path) {
  if (!platform::fs::exists(path)) return std::nullopt;
  if (auto web = platform::webMimeTypeForExtension(pathExtension(path))) return web;
  return platform::mimeTypeForExtension(pathExtension(path)).value_or("application/octet-stream");
}

std::optional<std::string> HBRLocalFilesystem::getMimeTypeFromPath(const std::optional<std::string>& path) {
  if (!path) return std::nullopt;
  std::string extension = pathExtension(*path);
  if (extension.empty()) return std::nullopt;
  if (auto web = platform::webMimeTypeForExtension(extension)) return web;
  if (auto mime = platform::mimeTypeForExtension(extension)) return mime;
  std::string lowered = platform::asciiLower(extension);
  if (lowered == "m4a") return "audio/mp4";
  if (platform::contains(lowered, "wav")) return "audio/wav";
  if (platform::contains(lowered, "css")) return "text/css";
  return std::nullopt;
}

std::optional<std::string> HBRLocalFilesystem::checkedPath(const HBRFilesystemURL& url, HBRResultRef& refusal) const {
  if (!url.fullPath()) {
    refusal = HBRFileErrorResult(NOT_FOUND_ERR);
    return std::nullopt;
  }
  auto local = filesystemPathForFullPath(*url.fullPath());
  if (!local) {
    // What the shell keeps for itself answers as if it were not there.
    std::string inside = normalizePath("/" + stripQueryParametersFromPath(*url.fullPath()));
    std::string lexical = inside == "/" ? fsRoot_ : platform::fs::appendPath(fsRoot_, inside);
    refusal = HBRFileErrorResult(staysInRoot(lexical, realPathAllowingMissing(lexical)) ? NOT_FOUND_ERR : SECURITY_ERR);
  }
  return local;
}

bool HBRLocalFilesystem::isRoot(const std::string& localPath) const {
  std::string path = platform::fs::normalizePath(localPath);
  std::string real = realPathAllowingMissing(path).value_or(path);
  std::vector<std::string> roots = protectedRoots_;
  roots.push_back(fsRoot_);
  for (const std::string& root : roots) {
    std::string normal = platform::fs::normalizePath(root);
    std::string realRoot = realPathAllowingMissing(normal).value_or(normal);
    if (platform::fs::isInside(normal, path) || platform::fs::isInside(realRoot, real)) return true;
  }
  return false;
}

bool HBRLocalFilesystem::staysInRoot(const std::string& localPath, const std::optional<std::string>& real) const {
  if (!real) return false;
  // A path made below the root that no link bends is its own real path, and so is the root.
  if (*real == platform::fs::normalizePath(localPath) && platform::fs::isInside(localPath, fsRoot_)) return true;
  auto realRoot = realPathAllowingMissing(fsRoot_);
  return realRoot && platform::fs::isInside(*real, *realRoot);
}

bool HBRLocalFilesystem::pageMayReach(const std::string& path, const std::optional<std::string>& resolved) const {
  // A file system over a folder elsewhere (not the data root's) is bounded by its root alone.
  std::string dataRoot = platform::fs::normalizePath(platform::paths::dataRoot());
  bool inDataRoot = platform::fs::isInside(fsRoot_, dataRoot);
  if (!inDataRoot) {
    auto realDataRoot = realPathAllowingMissing(dataRoot);
    auto realRoot = realPathAllowingMissing(fsRoot_);
    inDataRoot = realRoot && realDataRoot && platform::fs::isInside(*realRoot, *realDataRoot);
  }
  return !inDataRoot || platform::paths::pageMayReach(path, resolved);
}

bool HBRLocalFilesystem::descriptorIsReachable(int fd) const {
  std::string real = platform::fs::pathOfDescriptor(fd);
  if (real.empty()) return false;
  // The kernel names the file by real folders only: a name below the root as written says the
  // root was its own real path when the kernel named it.
  if (!platform::fs::isInside(real, fsRoot_)) {
    auto realRoot = realPathAllowingMissing(fsRoot_);
    if (!realRoot || !platform::fs::isInside(real, *realRoot)) return false;
  }
  return pageMayReach(real, real);
}

namespace {

// Never waiting on a FIFO while opening; checkedForWriting makes writes blocking again.
constexpr int kWriteFlags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

}  // namespace

std::optional<std::pair<std::string, int>> HBRLocalFilesystem::openWithoutLinks(const HBRFilesystemURL& url,
                                                                                 int flags) const {
  if (!url.fullPath() || url.fullPath()->find('\0') != std::string::npos) return std::nullopt;
  // The local path as filesystemPathForFullPath makes it, judged as it judges a path that is
  // its own real path.
  std::string inside = normalizePath("/" + stripQueryParametersFromPath(*url.fullPath()));
  std::string local = inside == "/" ? fsRoot_ : platform::fs::appendPath(fsRoot_, inside);
  std::optional<std::string> real = platform::fs::normalizePath(local);
  if (!staysInRoot(local, real) || !pageMayReach(local, real)) return std::nullopt;
  int fd = platform::fs::openWithoutLinks(local, flags);
  if (fd < 0) return std::nullopt;
  return std::pair(std::move(local), fd);
}

int HBRLocalFilesystem::openForWriting(const std::string& localPath, bool create) const {
  runBeforeOpeningCheckedPath(localPath);
  int fd = ::open(localPath.c_str(), kWriteFlags | (create ? O_CREAT : 0), 0600);
  if (fd < 0) return -errno;
  return checkedForWriting(fd, localPath);
}

int HBRLocalFilesystem::checkedForWriting(int fd, const std::string& localPath) const {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !descriptorIsReachable(fd)) {
    ::close(fd);
    platform::log("Refused to write " + localPath + ": it is not a regular file of the file system \"" + name() + "\".");
    return -EACCES;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

std::optional<std::string> HBRLocalFilesystem::filesystemPathForURL(const HBRFilesystemURL& url) {
  if (!url.fullPath()) return std::nullopt;
  return filesystemPathForFullPath(*url.fullPath());
}

std::optional<HBRFilesystemURL> HBRLocalFilesystem::URLforFilesystemPath(const std::string& localPath) {
  std::string path = platform::fs::normalizePath(localPath);
  auto fullPath = fullPathForFileSystemPath(path);
  // A path whose links were resolved names the root by its real path.
  if (!fullPath) {
    auto realRoot = realPathAllowingMissing(fsRoot_);
    if (realRoot && *realRoot != fsRoot_) fullPath = HBRLocalFilesystem(name(), *realRoot).fullPathForFileSystemPath(path);
  }
  return URLforFullPath(fullPath);
}

Value HBRLocalFilesystem::makeEntryForPath(const std::string& fullPath, bool isDirectory) {
  std::string path = fullPath;
  std::string name = lastPathComponent(stripQueryParametersFromPath(path));
  if (isDirectory && !platform::endsWith(path, "/")) path += "/";
  std::string inside = normalizePath("/" + stripQueryParametersFromPath(path));
  std::string local = inside == "/" ? fsRoot_ : platform::fs::appendPath(fsRoot_, inside);
  platform::URL nativeURL = platform::URL::fileURL(isDirectory ? local + "/" : local);
  if (const auto& transform = urlTransformer()) nativeURL = transform(nativeURL);
  return Value{{"isFile", !isDirectory},
               {"isDirectory", isDirectory},
               {"name", name},
               {"fullPath", path},
               {"filesystemName", this->name()},
               {"nativeURL", nativeURL.absoluteString()}};
}

Value HBRLocalFilesystem::makeEntryForLocalURL(const HBRFilesystemURL& url) {
  HBRResultRef refusal;
  auto local = checkedPath(url, refusal);
  if (!local) return nullptr;
  Kind kind = kindAt(*local);
  if (kind == Kind::None) return nullptr;
  return makeEntryForPath(*url.fullPath(), kind == Kind::Directory);
}

HBRResultRef HBRLocalFilesystem::entryForLocalURI(const HBRFilesystemURL& url) {
  Value entry = makeEntryForLocalURL(url);
  if (entry.is_null()) return HBRFileErrorResult(NOT_FOUND_ERR);
  return ok(std::move(entry));
}

HBRResultRef HBRLocalFilesystem::getFileForURL(const HBRFilesystemURL& url, const std::string& requestedPath,
                                               const Value& options) {
  bool create = isTrueNumber(options, "create");
  bool exclusive = isTrueNumber(options, "exclusive");
  bool getDir = isTrueNumber(options, "getDir");
  if (requestedPath.find(':') != std::string::npos || requestedPath.find('\0') != std::string::npos)
    return HBRFileErrorResult(ENCODING_ERR);
  if (!url.fullPath()) return HBRFileErrorResult(NOT_FOUND_ERR);

  auto entryURL = URLforFullPath(normalizePath(*url.fullPath() + "/" + requestedPath));
  if (!entryURL) return HBRFileErrorResult(ENCODING_ERR);
  HBRResultRef refusal;
  auto local = checkedPath(*entryURL, refusal);
  if (!local) return refusal;
  Kind kind = kindAt(*local);

  if (kind != Kind::None && !create && (kind == Kind::Directory) != getDir) return HBRFileErrorResult(TYPE_MISMATCH_ERR);
  if (kind == Kind::None && !create) return HBRFileErrorResult(NOT_FOUND_ERR);
  if (kind != Kind::None && create && exclusive) return HBRFileErrorResult(PATH_EXISTS_ERR);
  if (kind == Kind::None) {
    if (readOnly_) return HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
    if (getDir) {
      if (auto error = platform::fs::createDirectory(*local, false)) {
        platform::log("error creating directory: " + error->localizedDescription());
        return HBRFileErrorResult(ABORT_ERR);
      }
    } else {
      int fd = ::open(local->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd < 0) return HBRFileErrorResult(ABORT_ERR);
      ::close(fd);
    }
  }
  return ok(makeEntryForPath(*entryURL->fullPath(), getDir));
}

HBRResultRef HBRLocalFilesystem::getParentForURL(const HBRFilesystemURL& url) {
  if (!url.fullPath()) return HBRFileErrorResult(NOT_FOUND_ERR);
  std::string path = normalizePath("/" + stripQueryParametersFromPath(*url.fullPath()));
  std::string parent = path == "/" ? "" : path.substr(0, path.find_last_of('/'));
  auto local = filesystemPathForFullPath(parent);
  if (!local) return HBRFileErrorResult(SECURITY_ERR);
  Kind kind = kindAt(*local);
  if (kind == Kind::None) return HBRFileErrorResult(NOT_FOUND_ERR);
  return ok(makeEntryForPath(parent, kind == Kind::Directory));
}

HBRResultRef HBRLocalFilesystem::setMetadataForURL(const HBRFilesystemURL& url, const Value& metadata) {
  auto failed = HBRPluginResult::resultWithStatus(HBRResultStatus::Error);
  HBRResultRef refusal;
  auto local = checkedPath(url, refusal);
  if (!local || readOnly_ || !metadata.is_object()) return failed;
  auto flag = metadata.find("com.apple.MobileBackup");
  if (flag == metadata.end() || !(flag->is_number() || flag->is_boolean())) return failed;
  bool excluded = flag->is_boolean() ? flag->get<bool>() : flag->get<double>() != 0;
  if (platform::fs::setExcludedFromBackup(*local, excluded)) return failed;
  return HBRPluginResult::resultWithStatus(HBRResultStatus::OK);
}

HBRResultRef HBRLocalFilesystem::doRemove(const std::string& localPath) {
  if (auto error = platform::fs::remove(localPath)) {
    platform::log("error removing filesystem entry at " + localPath + ": " + error->localizedDescription());
    switch (HBRPlatformFileErrorFor(*error, false)) {
      case kFileNoSuchFile: return HBRFileErrorResult(NOT_FOUND_ERR);
      case kFileWriteNoPermission: return HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
      default: return HBRFileErrorResult(ABORT_ERR);
    }
  }
  return HBRPluginResult::resultWithStatus(HBRResultStatus::OK);
}

HBRResultRef HBRLocalFilesystem::removeFileAtURL(const HBRFilesystemURL& url) {
  HBRResultRef refusal;
  auto local = checkedPath(url, refusal);
  if (!local) return refusal;
  if (readOnly_ || isRoot(*local)) return HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
  Kind kind = kindAt(*local);
  if (kind == Kind::None && !platform::fs::exists(*local)) return HBRFileErrorResult(NOT_FOUND_ERR);
  if (kind == Kind::Directory && !platform::fs::contentsOfDirectory(*local).empty())
    return HBRFileErrorResult(INVALID_MODIFICATION_ERR);
  return doRemove(*local);
}

HBRResultRef HBRLocalFilesystem::recursiveRemoveFileAtURL(const HBRFilesystemURL& url) {
  HBRResultRef refusal;
  auto local = checkedPath(url, refusal);
  if (!local) return refusal;
  if (readOnly_ || isRoot(*local)) return HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
  return doRemove(*local);
}

HBRResultRef HBRLocalFilesystem::readEntriesAtURL(const HBRFilesystemURL& url) {
  HBRResultRef refusal;
  auto local = checkedPath(url, refusal);
  if (!local) return refusal;
  if (kindAt(*local) != Kind::Directory) return HBRFileErrorResult(NOT_FOUND_ERR);
  Value entries = Value::array();
  for (const std::string& childName : platform::fs::contentsOfDirectory(*local)) {
    std::string child = platform::fs::appendPath(*local, childName);
    auto fullPath = fullPathForFileSystemPath(child);
    if (!fullPath || !pageMayReach(child)) continue;
    entries.push_back(makeEntryForPath(*fullPath, kindAt(child) == Kind::Directory));
  }
  return ok(std::move(entries));
}

std::optional<int> HBRLocalFilesystem::truncateFile(const std::string& localPath, std::uint64_t position) const {
  if (position > std::uint64_t(INT64_MAX)) return EFBIG;
  int fd = openForWriting(localPath, false);
  if (fd < 0) return -fd;
  std::optional<int> failure;
  if (::ftruncate(fd, off_t(position)) != 0 || ::fsync(fd) != 0) failure = errno;
  ::close(fd);
  return failure;
}

namespace {

// The code for a change the platform refused, by its file-error number.
HBRFileErrorCode codeForChangeFailure(long platformError) {
  switch (platformError) {
    case kFileNoSuchFile:
    case kFileReadNoSuchFile: return NOT_FOUND_ERR;
    case kFileWriteNoPermission: return NO_MODIFICATION_ALLOWED_ERR;
    case kFileWriteOutOfSpace: return QUOTA_EXCEEDED_ERR;
    default: return INVALID_MODIFICATION_ERR;
  }
}

}  // namespace

HBRResultRef HBRLocalFilesystem::truncateFileAtURL(const HBRFilesystemURL& url, std::uint64_t position) {
  HBRResultRef refusal;
  auto local = checkedPath(url, refusal);
  if (!local) return refusal;
  if (readOnly_) return HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
  if (kindAt(*local) == Kind::Directory) return HBRFileErrorResult(TYPE_MISMATCH_ERR);
  if (auto failure = truncateFile(*local, position))
    return HBRFileErrorResult(codeForChangeFailure(HBRPlatformFileErrorForErrno(*failure, false)));
  return HBRPluginResult::resultWithStatusAsNSInteger(HBRResultStatus::OK, std::int64_t(position));
}

namespace {

HBRResultRef changeFailure(int errnoValue, HBRResultStatus status = HBRResultStatus::IOException) {
  return HBRFileErrorResult(codeForChangeFailure(HBRPlatformFileErrorForErrno(errnoValue, false)), status);
}

// Writes all of `data` at the end of the open file and closes it.
HBRResultRef appendAndClose(int fd, std::string_view data) {
  if (::lseek(fd, 0, SEEK_END) < 0) {
    int error = errno;
    ::close(fd);
    return changeFailure(error, HBRResultStatus::Error);
  }
  size_t written = 0;
  int error = 0;
  while (written < data.size()) {
    ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    written += size_t(n);
  }
  if (::close(fd) != 0 && !error) error = errno;
  // A write that stopped short leaves part of the data behind: that is a failure, not a count.
  if (error || written != data.size()) return changeFailure(error ? error : EIO, HBRResultStatus::Error);
  return HBRPluginResult::resultWithStatusAsNSInteger(HBRResultStatus::OK, std::int64_t(written));
}

}  // namespace

HBRResultRef HBRLocalFilesystem::writeToFileAtURL(const HBRFilesystemURL& url, std::string_view data, bool append) {
  HBRResultRef refusal;
  auto local = checkedPath(url, refusal);
  if (!local) return refusal;
  if (readOnly_) return HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
  if (data.empty()) return HBRPluginResult::resultWithStatusAsDouble(HBRResultStatus::OK, 0);
  int fd = openForWriting(*local, true);
  if (fd < 0) return changeFailure(-fd, HBRResultStatus::Error);
  // Cut only once the descriptor is known to be the page's own file.
  if (!append && ::ftruncate(fd, 0) != 0) {
    int error = errno;
    ::close(fd);
    return changeFailure(error, HBRResultStatus::Error);
  }
  return appendAndClose(fd, data);
}

HBRResultRef HBRLocalFilesystem::writeAtPosition(const HBRFilesystemURL& url, std::string_view data,
                                                 std::uint64_t position) {
  // truncateFileAtURL and writeToFileAtURL in one: one check of the path and one descriptor,
  // checked before anything is cut, for both. An existing file that no link leads to is
  // looked up once, with the opening; anything else takes the way of the checked path.
  std::optional<std::string> local;
  int fd = -1;
  if (!readOnly_ && position <= std::uint64_t(INT64_MAX)) {
    if (auto opened = openWithoutLinks(url, kWriteFlags)) {
      local = std::move(opened->first);
      fd = checkedForWriting(opened->second, *local);
    }
  }
  if (!local) {
    HBRResultRef refusal;
    local = checkedPath(url, refusal);
    if (!local) return refusal;
    if (readOnly_) return HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
    if (position > std::uint64_t(INT64_MAX)) return changeFailure(EFBIG);
    fd = openForWriting(*local, false);
  }
  if (fd == -EISDIR) return HBRFileErrorResult(TYPE_MISMATCH_ERR);
  if (fd >= 0) {
    if (::ftruncate(fd, off_t(position)) != 0 || ::fsync(fd) != 0) {
      int error = errno;
      ::close(fd);
      return changeFailure(error);
    }
  } else if (codeForChangeFailure(HBRPlatformFileErrorForErrno(-fd, false)) != NOT_FOUND_ERR) {
    return changeFailure(-fd);
  }
  // A missing file is left missing by the cut; the data, if there is any, makes it.
  if (data.empty()) {
    if (fd >= 0) ::close(fd);
    return HBRPluginResult::resultWithStatusAsDouble(HBRResultStatus::OK, 0);
  }
  if (fd < 0) {
    fd = openForWriting(*local, true);
    if (fd < 0) return changeFailure(-fd, HBRResultStatus::Error);
  }
  return appendAndClose(fd, data);
}

void HBRLocalFilesystem::copyFileToURL(const HBRFilesystemURL& destinationDirectory, const std::string& newName,
                                       HBRFileSystem& sourceFileSystem, const HBRFilesystemURL& source, bool copy,
                                       ResultCallback callback) {
  // The new name is one component: nothing may climb out of the destination folder.
  if (newName.empty() || newName == "." || newName == ".." ||
      newName.find_first_of(std::string_view(":/\0", 3)) != std::string::npos)
    return callback(HBRFileErrorResult(ENCODING_ERR));
  if (readOnly_) return callback(HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR));
  HBRResultRef refusal;
  auto directory = checkedPath(destinationDirectory, refusal);
  if (!directory) return callback(refusal);
  std::string newLocal = platform::fs::appendPath(*directory, newName);
  std::string newFullPath = fullPathForFileSystemPath(newLocal).value_or("/" + newName);
  if (!filesystemPathForFullPath(newFullPath)) return callback(HBRFileErrorResult(SECURITY_ERR));
  if (kindAt(*directory) != Kind::Directory) return callback(HBRFileErrorResult(NOT_FOUND_ERR));

  auto* local = dynamic_cast<HBRLocalFilesystem*>(&sourceFileSystem);
  if (!local) {
    // Another kind of file system: its bytes, written here; the source stays.
    sourceFileSystem.readFileAtURL(
        source, 0, -1,
        [this, newLocal, newFullPath, callback](std::optional<std::string> bytes, std::optional<std::string>, int code) {
          if (!bytes) return callback(HBRFileErrorResult(HBRFileErrorCode(code ? code : NOT_FOUND_ERR)));
          if (platform::fs::writeFileAtomically(newLocal, *bytes)) return callback(HBRFileErrorResult(ABORT_ERR));
          callback(ok(makeEntryForPath(newFullPath, false)));
        });
    return;
  }

  auto sourceLocal = local->checkedPath(source, refusal);
  if (!sourceLocal) return callback(refusal);
  if (!platform::fs::exists(*sourceLocal)) return callback(HBRFileErrorResult(NOT_FOUND_ERR));
  // No root of any file system is moved away or replaced, and a tree that holds what the
  // page may not reach is not copied out of its place.
  if (!copy && (local->isReadOnly() || local->isRoot(*sourceLocal) || isRoot(newLocal)))
    return callback(HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR));
  if (!local->isReadOnly() && !platform::paths::pageMayReachAll(*sourceLocal)) {
    platform::log("Refused to copy or move " + *sourceLocal + ": it holds what the shell keeps for itself.");
    return callback(HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR));
  }
  if (platform::fs::normalizePath(newLocal) == platform::fs::normalizePath(*sourceLocal))
    return callback(HBRFileErrorResult(INVALID_MODIFICATION_ERR));
  bool sourceIsDirectory = kindAt(*sourceLocal) == Kind::Directory;
  Kind existing = kindAt(newLocal);
  bool somethingThere = existing != Kind::None || platform::fs::exists(newLocal);
  if (sourceIsDirectory && existing == Kind::File) return callback(HBRFileErrorResult(INVALID_MODIFICATION_ERR));

  std::optional<platform::Error> failure;
  if (copy) {
    if (sourceIsDirectory && (!canCopyMoveSrc(*sourceLocal, newLocal) || intoItself(*sourceLocal, newLocal)))
      return callback(HBRFileErrorResult(INVALID_MODIFICATION_ERR));
    if (somethingThere) return callback(HBRFileErrorResult(PATH_EXISTS_ERR));
    failure = platform::fs::copy(*sourceLocal, newLocal);
  } else {
    if (!sourceIsDirectory && existing == Kind::Directory) return callback(HBRFileErrorResult(INVALID_MODIFICATION_ERR));
    if (sourceIsDirectory && (!canCopyMoveSrc(*sourceLocal, newLocal) || intoItself(*sourceLocal, newLocal)))
      return callback(HBRFileErrorResult(INVALID_MODIFICATION_ERR));
    // What is replaced is only set aside until the move has succeeded, so that a failed
    // move leaves it where it was.
    std::optional<std::string> setAside;
    if (somethingThere) {
      if (existing == Kind::Directory && !platform::fs::contentsOfDirectory(newLocal).empty())
        return callback(HBRFileErrorResult(INVALID_MODIFICATION_ERR));
      setAside = platform::fs::appendPath(*directory, ".replaced-" + platform::makeUUID());
      if (::rename(newLocal.c_str(), setAside->c_str()) != 0) return callback(HBRFileErrorResult(INVALID_MODIFICATION_ERR));
    }
    failure = platform::fs::move(*sourceLocal, newLocal);
    if (setAside) {
      if (failure)
        ::rename(setAside->c_str(), newLocal.c_str());
      else
        platform::fs::remove(*setAside);
    }
  }
  if (failure) return callback(HBRFileErrorResult(codeForCopyFailure(HBRPlatformFileErrorFor(*failure, false))));
  callback(ok(makeEntryForPath(newFullPath, sourceIsDirectory)));
}

void HBRLocalFilesystem::readFileAtURL(const HBRFilesystemURL& url, std::int64_t start, std::int64_t end,
                                       ReadCallback callback) {
  // Opened once, never waiting on a FIFO, and checked on the descriptor: a regular file that
  // really lies where a page may read it. A file that no link leads to is looked up once,
  // with the opening; anything else takes the way of the checked path.
  std::optional<std::string> local;
  std::optional<platform::fs::ReadableFile> opened;
  if (auto linkFree = openWithoutLinks(url, kReadFlags)) {
    local = std::move(linkFree->first);
    opened.emplace(platform::fs::ReadableFile::adopt(linkFree->second));
  } else {
    HBRResultRef refusal;
    local = checkedPath(url, refusal);
    if (!local) {
      int code = NOT_FOUND_ERR;
      if (refusal && refusal->message().is_number_integer()) code = refusal->message().get<int>();
      return callback(std::nullopt, "*/*", code);
    }
    runBeforeOpeningCheckedPath(*local);
    opened.emplace(platform::fs::ReadableFile::open(*local));
  }
  std::string mime = getMimeTypeFromPath(local).value_or("*/*");
  platform::fs::ReadableFile& file = *opened;
  if (!file.isOpen()) return callback(std::nullopt, mime, NOT_FOUND_ERR);
  if (!descriptorIsReachable(file.fd())) {
    platform::log("Refused to read " + *local + ": it lies outside the file system \"" + name() + "\".");
    return callback(std::nullopt, mime, NOT_FOUND_ERR);
  }
  // The buffer is never larger than what the file holds from the start on, whatever range
  // was asked for, nor than the process can hold.
  std::uint64_t size = file.size();
  std::uint64_t from = start > 0 ? std::uint64_t(start) : 0;
  std::uint64_t rest = from < size ? size - from : 0;
  std::uint64_t length = end < 0 || std::uint64_t(end) < from ? rest : std::min(std::uint64_t(end) - from, rest);
  if (length > platform::fs::maximumReadSize()) {
    platform::log("Refused to read " + std::to_string(length) + " bytes of " + *local +
                  ": more than the process can hold at once.");
    return callback(std::nullopt, mime, NOT_READABLE_ERR);
  }
  std::string bytes;
  try {
    bytes.resize(size_t(length));
  } catch (const std::bad_alloc&) {
    platform::log("Could not hold " + std::to_string(length) + " bytes of " + *local + ".");
    return callback(std::nullopt, mime, NOT_READABLE_ERR);
  }
  size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = ::pread(file.fd(), bytes.data() + got, bytes.size() - got, off_t(from + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  bytes.resize(got);
  callback(std::move(bytes), mime, 0);
}

void HBRLocalFilesystem::getFileMetadataForURL(const HBRFilesystemURL& url, ResultCallback callback) {
  HBRResultRef refusal;
  auto local = checkedPath(url, refusal);
  if (!local) return callback(refusal);
  struct stat info;
  if (::stat(local->c_str(), &info) != 0) {
    int error = errno;
    platform::log("error getting metadata: " + std::string(std::strerror(error)));
    long platformError = HBRPlatformFileErrorForErrno(error, true);
    return callback(HBRFileErrorResult(
        platformError == kFileNoSuchFile || platformError == kFileReadNoSuchFile ? NOT_FOUND_ERR : ABORT_ERR,
        HBRResultStatus::Error));
  }
  auto type = mimeTypeForFileAtPath(*local);
  Value metadata{{"fullPath", *url.fullPath()},
                 {"type", type ? Value(*type) : Value()},
                 {"name", lastPathComponent(*local)},
                 {"size", S_ISREG(info.st_mode) ? std::uint64_t(info.st_size) : std::uint64_t(0)},
                 {"lastModifiedDate", double(info.st_mtim.tv_sec) * 1000.0 + double(info.st_mtim.tv_nsec) / 1e6}};
  callback(ok(std::move(metadata)));
}
