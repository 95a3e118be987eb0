#include "plugins/file/HBRFile.h"

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "host/HBRCommandDelegate.h"
#include "host/HBRSettings.h"
#include "host/HBRViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/CaughtException.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLProtocol.h"
#include "plugins/file/HBRAssetLibraryFilesystem.h"
#include "plugins/file/HBRFilesystemURLProtocol.h"
#include "plugins/file/HBRLocalFilesystem.h"

using platform::Value;

namespace {

constexpr const char* kDefaultExtraFileSystems = "library,library-nosync,documents,documents-nosync,cache,bundle,root";
constexpr const char* kConfigurationError =
    "File plugin configuration error: Please set iosPersistentFileLocation in config.xml to one of \"library\" "
    "(for new applications) or \"compatibility\" (for compatibility with previous versions)";

std::mutex gCurrentMutex;
std::shared_ptr<HBRFile> gCurrent;

// A whole number from the page, clamped to 64 bits; `fallback` for anything else.
std::int64_t int64Argument(const HBRInvokedUrlCommand& command, size_t index, std::int64_t fallback) {
  Value value = command.argumentAtIndex(index, nullptr, HBRArgumentKind::Number);
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) return INT64_MAX;
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_number_float()) {
    double number = value.get<double>();
    if (std::isnan(number)) return fallback;
    if (number >= 9.2e18) return INT64_MAX;
    if (number <= -9.2e18) return INT64_MIN;
    return std::int64_t(number);
  }
  return fallback;
}

std::optional<std::string> stringArgument(const HBRInvokedUrlCommand& command, size_t index) {
  Value value = command.argumentAtIndex(index, nullptr, HBRArgumentKind::String);
  if (!value.is_string()) return std::nullopt;
  return value.get<std::string>();
}

std::string directoryURL(const std::string& path) {
  return platform::URL::fileURL(platform::endsWith(path, "/") ? path : path + "/").absoluteString();
}

std::string parentPath(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string resolvingSymlinks(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return platform::fs::normalizePath(path);
}

}  // namespace

HBRFile::HBRFile() {
  registerAction("requestFileSystem", &HBRFile::requestFileSystem);
  registerAction("requestAllFileSystems", &HBRFile::requestAllFileSystems);
  registerAction("requestAllPaths", &HBRFile::requestAllPaths);
  registerAction("resolveLocalFileSystemURI", &HBRFile::resolveLocalFileSystemURI);
  registerAction("getFile", &HBRFile::getFile);
  registerAction("getDirectory", &HBRFile::getDirectory);
  registerAction("getParent", &HBRFile::getParent);
  registerAction("setMetadata", &HBRFile::setMetadata);
  registerAction("remove", &HBRFile::remove);
  registerAction("removeRecursively", &HBRFile::removeRecursively);
  registerAction("copyTo", &HBRFile::copyTo);
  registerAction("moveTo", &HBRFile::moveTo);
  registerAction("getFileMetadata", &HBRFile::getFileMetadata);
  registerAction("readEntries", &HBRFile::readEntries);
  registerAction("readAsText", &HBRFile::readAsText);
  registerAction("readAsDataURL", &HBRFile::readAsDataURL);
  registerAction("readAsArrayBuffer", &HBRFile::readAsArrayBuffer);
  registerAction("readAsBinaryString", &HBRFile::readAsBinaryString);
  registerAction("truncate", &HBRFile::truncate);
  registerAction("write", &HBRFile::write);
  registerAction("testFileExists", &HBRFile::testFileExists);
  registerAction("testDirectoryExists", &HBRFile::testDirectoryExists);
  registerAction("getFreeDiskSpace", &HBRFile::getFreeDiskSpace);
  registerAction("_getLocalFilesystemPath", &HBRFile::_getLocalFilesystemPath);
}

std::shared_ptr<HBRFile> HBRFile::current() {
  std::lock_guard lock(gCurrentMutex);
  return gCurrent;
}

std::optional<std::string> HBRFile::settingString(const std::string& key) const {
  auto vc = viewController();
  if (!vc) return std::nullopt;
  return harborStringSettingForKey(vc->settings(), key);
}

void HBRFile::pluginInitialize() {
  {
    std::lock_guard lock(gCurrentMutex);
    gCurrent = std::static_pointer_cast<HBRFile>(shared_from_this());
  }
  platform::URLProtocol::registerClass(platform::protocolClass<HBRFilesystemURLProtocol>());
  fileSystems_.clear();

  appLibraryPath_ = platform::fs::appendPath(platform::paths::library(), "files");
  appTempPath_ = platform::fs::normalizePath(platform::paths::tmp());
  rootDocsPath_ = platform::paths::documents();
  appDocsPath_ = platform::fs::appendPath(rootDocsPath_, "files");

  std::string location = platform::asciiLower(settingString("iosPersistentFileLocation").value_or("compatibility"));

  if (auto error = platform::fs::createDirectory(appTempPath_, true))
    platform::log("Unable to create temporary directory: " + error->localizedDescription());
  else
    registerFilesystem(std::make_shared<HBRLocalFilesystem>("temporary", appTempPath_));

  if (location == "library") {
    if (auto error = platform::fs::createDirectory(appLibraryPath_, true))
      platform::log("Unable to create library directory: " + error->localizedDescription());
    else
      registerFilesystem(std::make_shared<HBRLocalFilesystem>("persistent", appLibraryPath_));
  } else if (location == "compatibility") {
    registerFilesystem(std::make_shared<HBRLocalFilesystem>("persistent", rootDocsPath_));
  } else {
    // A broken configuration: reported and left without a "persistent" file system, while the
    // others keep working.
    platform::log(std::string("*** Assertion failure in HBRFile pluginInitialize: ") + kConfigurationError);
  }

  registerFilesystem(std::make_shared<HBRAssetLibraryFilesystem>(HBRFilesystemURL::kAssetsLibraryScheme));
  registerExtraFileSystems(getExtraFileSystemsPreference(), getAvailableFileSystems());
}

void HBRFile::registerFilesystem(const std::shared_ptr<HBRFileSystem>& fileSystem) {
  if (!fileSystem) return;
  if (commandDelegate()) {
    std::weak_ptr<HBRPlugin> weakSelf = std::static_pointer_cast<HBRPlugin>(shared_from_this());
    fileSystem->setUrlTransformer([weakSelf](const platform::URL& url) {
      auto self = weakSelf.lock();
      auto delegate = self ? self->commandDelegate() : nullptr;
      auto transform = delegate ? delegate->urlTransformer() : nullptr;
      return transform ? transform(url) : url;
    });
  }
  fileSystems_.push_back(fileSystem);
  // Every local file system protects the roots of all of them.
  std::vector<std::string> roots;
  for (const auto& registered : fileSystems_)
    if (auto* local = dynamic_cast<HBRLocalFilesystem*>(registered.get())) roots.push_back(local->fsRoot());
  for (const auto& registered : fileSystems_)
    if (auto* local = dynamic_cast<HBRLocalFilesystem*>(registered.get())) local->setProtectedRoots(roots);
}

std::shared_ptr<HBRFileSystem> HBRFile::fileSystemByName(const std::string& name) const {
  for (const auto& fileSystem : fileSystems_)
    if (fileSystem->name() == name) return fileSystem;
  return nullptr;
}

std::shared_ptr<HBRFileSystem> HBRFile::filesystemForURL(const HBRFilesystemURL& url) const {
  if (!url.fileSystemName()) return nullptr;
  return fileSystemByName(*url.fileSystemName());
}

HBRFilesystemURL HBRFile::fileSystemURLforArg(const std::string& argument) const {
  if (platform::startsWith(argument, "file://")) {
    auto url = platform::URL::parse(argument);
    if (!url || url->path().empty()) return HBRFilesystemURL();
    return fileSystemURLforLocalPath(resolvingSymlinks(url->path())).value_or(HBRFilesystemURL());
  }
  return HBRFilesystemURL::fileSystemURLWithString(argument);
}

std::optional<HBRFilesystemURL> HBRFile::fileSystemURLforLocalPath(const std::string& localPath) const {
  std::optional<HBRFilesystemURL> best;
  for (const auto& fileSystem : fileSystems_) {
    auto url = fileSystem->URLforFilesystemPath(localPath);
    if (!url || !url->fullPath()) continue;
    if (!best || url->fullPath()->size() < best->fullPath()->size()) best = url;
  }
  return best;
}

std::optional<std::string> HBRFile::filesystemPathForURL(const HBRFilesystemURL& url) const {
  if (!url.fileSystemName()) return std::nullopt;
  for (const auto& fileSystem : fileSystems_) {
    if (fileSystem->name() != *url.fileSystemName()) continue;
    if (auto path = fileSystem->filesystemPathForURL(url)) return path;
  }
  return std::nullopt;
}

Value HBRFile::makeEntryForPath(const std::string& fullPath, const std::string& fileSystemName, bool isDirectory) const {
  auto fileSystem = fileSystemByName(fileSystemName);
  return fileSystem ? fileSystem->makeEntryForPath(fullPath, isDirectory) : Value();
}

Value HBRFile::makeEntryForLocalURL(const HBRFilesystemURL& url) const {
  auto fileSystem = filesystemForURL(url);
  return fileSystem ? fileSystem->makeEntryForLocalURL(url) : Value();
}

Value HBRFile::makeEntryForURL(const platform::URL& url) const {
  return makeEntryForLocalURL(fileSystemURLforArg(url.absoluteString()));
}

Value HBRFile::getDirectoryEntry(const std::string& localPath, bool isDirectory) const {
  auto url = fileSystemURLforLocalPath(localPath);
  if (!url) return Value();
  return makeEntryForPath(*url->fullPath(), url->fileSystemName().value_or(""), isDirectory);
}

std::optional<std::string> HBRFile::getMimeTypeFromPath(const std::string& path) {
  return HBRLocalFilesystem::getMimeTypeFromPath(path);
}

std::optional<std::uint64_t> HBRFile::checkFreeDiskSpace(const std::string& path) {
  return platform::fs::freeSpace(path);
}

std::string HBRFile::encodePath(const std::string& text) {
  std::string plain = platform::percentDecode(text).value_or(text);
  return platform::percentEncode(plain, platform::URLCharacterSet::PathAllowed);
}

std::vector<std::string> HBRFile::getExtraFileSystemsPreference() const {
  std::string names = platform::asciiLower(settingString("iosExtraFilesystems").value_or(kDefaultExtraFileSystems));
  return platform::split(names, ',');
}

std::vector<HBRFile::AvailableFileSystem> HBRFile::getAvailableFileSystems() {
  std::string library = platform::paths::library();
  std::string documents = platform::paths::documents();
  // Without the mobile sandbox, "/" would be the user's whole machine and the package folder
  // would be writable: "root" is the application's data root and "bundle" is read-only.
  return {
      {"library", library, false},
      {"library-nosync", platform::fs::appendPath(library, "NoCloud"), false},
      {"documents", documents, false},
      {"documents-nosync", platform::fs::appendPath(documents, "NoCloud"), false},
      {"cache", platform::paths::caches(), false},
      {"bundle", platform::Bundle::main().bundlePath(), true},
      {"root", platform::paths::dataRoot(), false},
  };
}

void HBRFile::makeNonSyncable(const std::string& path) {
  platform::fs::createDirectory(path, true);
  platform::fs::setExcludedFromBackup(path, true);
}

void HBRFile::registerExtraFileSystems(const std::vector<std::string>& names,
                                       const std::vector<AvailableFileSystem>& available) {
  auto requested = [&](const std::string& name) { return std::find(names.begin(), names.end(), name) != names.end(); };
  for (const char* nosync : {"library-nosync", "documents-nosync"}) {
    if (!requested(nosync)) continue;
    for (const auto& entry : available)
      if (entry.name == nosync) makeNonSyncable(entry.root);
  }
  std::vector<std::string> done;
  for (const std::string& name : names) {
    if (std::find(done.begin(), done.end(), name) != done.end()) continue;
    auto found = std::find_if(available.begin(), available.end(),
                              [&](const AvailableFileSystem& entry) { return entry.name == name; });
    if (found == available.end()) {
      platform::log("Unrecognized extra filesystem identifier: " + name);
      continue;
    }
    registerFilesystem(std::make_shared<HBRLocalFilesystem>(found->name, found->root, found->readOnly));
    done.push_back(name);
  }
}

// Actions.

void HBRFile::send(const HBRInvokedUrlCommand& command, const HBRResultRef& result) {
  if (auto delegate = commandDelegate()) delegate->sendPluginResult(result, command.callbackId());
}

HBRFileSystem::ResultCallback HBRFile::replyTo(const HBRInvokedUrlCommand& command) {
  std::weak_ptr<HBRPlugin> weakSelf = std::static_pointer_cast<HBRPlugin>(shared_from_this());
  auto answered = std::make_shared<std::atomic<bool>>(false);
  return [weakSelf, answered, callbackId = command.callbackId()](HBRResultRef result) {
    if (answered->exchange(true)) return;
    auto self = weakSelf.lock();
    auto delegate = self ? self->commandDelegate() : nullptr;
    if (delegate) delegate->sendPluginResult(result, callbackId);
  };
}

void HBRFile::inBackground(const HBRInvokedUrlCommand& command, HBRFileErrorCode failure,
                          std::function<void(const HBRFileSystem::ResultCallback& reply)> job) {
  commandDelegate()->runInBackground([reply = replyTo(command), failure, job = std::move(job)] {
    try {
      job(reply);
    } catch (...) {
      platform::reportCaughtException("A file action");
      reply(HBRFileErrorResult(failure));
    }
  });
}

std::optional<HBRFile::Target> HBRFile::target(const HBRInvokedUrlCommand& command, size_t index) {
  if (auto argument = stringArgument(command, index)) {
    HBRFilesystemURL url = fileSystemURLforArg(*argument);
    if (auto fileSystem = filesystemForURL(url)) return Target{url, fileSystem};
  }
  send(command, HBRFileErrorResult(NOT_FOUND_ERR));
  return std::nullopt;
}

void HBRFile::requestFileSystem(const HBRInvokedUrlCommand& command) {
  std::int64_t type = int64Argument(command, 0, -1);
  std::int64_t size = int64Argument(command, 1, 0);
  if (type < 0 || std::uint64_t(type) >= fileSystems_.size()) {
    platform::log("No filesystem of type requested");
    return send(command, HBRFileErrorResult(NOT_FOUND_ERR, HBRResultStatus::Error));
  }
  auto free = checkFreeDiskSpace(rootDocsPath_);
  if (free && *free < std::uint64_t(size)) return send(command, HBRFileErrorResult(QUOTA_EXCEEDED_ERR));
  const auto& fileSystem = fileSystems_[size_t(type)];
  send(command, HBRPluginResult::resultWithStatus(
                    HBRResultStatus::OK,
                    Value{{"name", fileSystem->name()}, {"root", fileSystem->makeEntryForPath("/", true)}}));
}

void HBRFile::requestAllFileSystems(const HBRInvokedUrlCommand& command) {
  Value roots = Value::array();
  for (const auto& fileSystem : fileSystems_) roots.push_back(fileSystem->makeEntryForPath("/", true));
  send(command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, std::move(roots)));
}

void HBRFile::requestAllPaths(const HBRInvokedUrlCommand& command) {
  std::string library = platform::paths::library();
  std::string cloud = platform::fs::appendPath(library, "Cloud");
  std::string noCloud = platform::fs::appendPath(library, "NoCloud");
  platform::fs::createDirectory(cloud, true);
  makeNonSyncable(noCloud);
  Value paths{{"applicationDirectory", directoryURL(platform::Bundle::main().bundlePath())},
              {"applicationStorageDirectory", directoryURL(parentPath(library))},
              {"dataDirectory", directoryURL(noCloud)},
              {"syncedDataDirectory", directoryURL(cloud)},
              {"documentsDirectory", directoryURL(platform::paths::documents())},
              {"cacheDirectory", directoryURL(platform::paths::caches())},
              {"tempDirectory", directoryURL(platform::paths::tmp())}};
  send(command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, std::move(paths)));
}

void HBRFile::resolveLocalFileSystemURI(const HBRInvokedUrlCommand& command) {
  auto argument = stringArgument(command, 0);
  HBRFilesystemURL url = argument ? fileSystemURLforArg(*argument) : HBRFilesystemURL();
  auto fileSystem = url.url() ? filesystemForURL(url) : nullptr;
  if (!fileSystem) return send(command, HBRFileErrorResult(ENCODING_ERR, HBRResultStatus::Error));
  send(command, fileSystem->entryForLocalURI(url));
}

void HBRFile::getFile(const HBRInvokedUrlCommand& command) {
  auto found = target(command, 0);
  if (!found) return;
  auto path = stringArgument(command, 1);
  if (!path) return send(command, HBRFileErrorResult(ENCODING_ERR));
  Value options = command.argumentAtIndex(2, nullptr, HBRArgumentKind::Dictionary);
  send(command, found->fileSystem->getFileForURL(found->url, *path, options));
}

void HBRFile::getDirectory(const HBRInvokedUrlCommand& command) {
  Value arguments = command.arguments();
  if (!arguments.is_array()) arguments = Value::array();
  while (arguments.size() < 3) arguments.push_back(nullptr);
  if (!arguments[2].is_object()) arguments[2] = Value::object();
  arguments[2]["getDir"] = 1;
  getFile(HBRInvokedUrlCommand(std::move(arguments), command.callbackId(), command.className(), command.methodName()));
}

void HBRFile::getParent(const HBRInvokedUrlCommand& command) {
  if (auto found = target(command, 0)) send(command, found->fileSystem->getParentForURL(found->url));
}

void HBRFile::setMetadata(const HBRInvokedUrlCommand& command) {
  if (auto found = target(command, 0))
    send(command, found->fileSystem->setMetadataForURL(found->url, command.argumentAtIndex(1)));
}

void HBRFile::remove(const HBRInvokedUrlCommand& command) { removeEntry(command, false); }
void HBRFile::removeRecursively(const HBRInvokedUrlCommand& command) { removeEntry(command, true); }

void HBRFile::removeEntry(const HBRInvokedUrlCommand& command, bool recursive) {
  auto found = target(command, 0);
  if (!found) return;
  if (found->url.fullPath().value_or("").empty())
    return send(command, HBRFileErrorResult(NO_MODIFICATION_ALLOWED_ERR));
  send(command, recursive ? found->fileSystem->recursiveRemoveFileAtURL(found->url)
                          : found->fileSystem->removeFileAtURL(found->url));
}

void HBRFile::copyTo(const HBRInvokedUrlCommand& command) { copyOrMove(command, true); }
void HBRFile::moveTo(const HBRInvokedUrlCommand& command) { copyOrMove(command, false); }

void HBRFile::copyOrMove(const HBRInvokedUrlCommand& command, bool copy) {
  auto sourceText = stringArgument(command, 0);
  auto destinationText = stringArgument(command, 1);
  if (!sourceText || !destinationText) return send(command, HBRFileErrorResult(NOT_FOUND_ERR));
  HBRFilesystemURL source = fileSystemURLforArg(*sourceText);
  HBRFilesystemURL destination = fileSystemURLforArg(*destinationText);
  auto sourceFileSystem = filesystemForURL(source);
  auto destinationFileSystem = filesystemForURL(destination);
  if (!sourceFileSystem || !destinationFileSystem) return send(command, HBRFileErrorResult(NOT_FOUND_ERR));

  std::optional<std::string> newName;
  if (command.arguments().size() >= 3) {
    newName = stringArgument(command, 2);
  } else {
    std::string path = HBRLocalFilesystem::stripQueryParametersFromPath(source.fullPath().value_or(""));
    newName = path.substr(path.find_last_of('/') + 1);
  }
  if (!newName || newName->find(':') != std::string::npos) return send(command, HBRFileErrorResult(ENCODING_ERR));

  inBackground(command, ABORT_ERR,
               [source, destination, sourceFileSystem, destinationFileSystem, name = *newName,
                copy](const HBRFileSystem::ResultCallback& reply) {
                 destinationFileSystem->copyFileToURL(destination, name, *sourceFileSystem, source, copy, reply);
               });
}

void HBRFile::getFileMetadata(const HBRInvokedUrlCommand& command) {
  auto found = target(command, 0);
  if (!found) return;
  found->fileSystem->getFileMetadataForURL(found->url, replyTo(command));
}

void HBRFile::readEntries(const HBRInvokedUrlCommand& command) {
  if (auto found = target(command, 0)) send(command, found->fileSystem->readEntriesAtURL(found->url));
}

void HBRFile::read(const HBRInvokedUrlCommand& command, size_t startIndex,
                   std::function<HBRResultRef(std::string bytes, const std::optional<std::string>& mimeType)> reply) {
  auto found = target(command, 0);
  if (!found) return;
  std::int64_t start = int64Argument(command, startIndex, 0);
  std::int64_t end = int64Argument(command, startIndex + 1, -1);
  inBackground(command, NOT_READABLE_ERR,
               [found = *found, start, end, reply = std::move(reply)](const HBRFileSystem::ResultCallback& send) {
                 found.fileSystem->readFileAtURL(
                     found.url, start, end,
                     [send, reply](std::optional<std::string> bytes, std::optional<std::string> mimeType, int error) {
                       if (!bytes) return send(HBRFileErrorResult(HBRFileErrorCode(error ? error : NOT_FOUND_ERR)));
                       // Turning the bytes into a result may not fit in memory either.
                       try {
                         send(reply(std::move(*bytes), mimeType));
                       } catch (const std::bad_alloc&) {
                         send(HBRFileErrorResult(NOT_READABLE_ERR));
                       }
                     });
               });
}

void HBRFile::readAsText(const HBRInvokedUrlCommand& command) {
  if (!filesystemForURL(fileSystemURLforArg(stringArgument(command, 0).value_or(""))))
    return send(command, HBRFileErrorResult(NOT_FOUND_ERR));
  auto encoding = stringArgument(command, 1);
  if (!encoding || !platform::equalsIgnoreCase(*encoding, "UTF-8")) {
    platform::log("Only UTF-8 encodings are currently supported by readAsText");
    return send(command, HBRFileErrorResult(ENCODING_ERR));
  }
  read(command, 2, [](std::string bytes, const std::optional<std::string>&) {
    if (!platform::isValidUTF8(bytes)) return HBRFileErrorResult(ENCODING_ERR);
    return HBRPluginResult::resultWithStatus(HBRResultStatus::OK, std::move(bytes));
  });
}

void HBRFile::readAsDataURL(const HBRInvokedUrlCommand& command) {
  read(command, 1, [](std::string bytes, const std::optional<std::string>& mimeType) {
    std::string text = "data:" + mimeType.value_or("") + ";base64," +
                       platform::base64Encode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return HBRPluginResult::resultWithStatus(HBRResultStatus::OK, std::move(text));
  });
}

void HBRFile::readAsArrayBuffer(const HBRInvokedUrlCommand& command) {
  read(command, 1, [](std::string bytes, const std::optional<std::string>&) {
    return HBRPluginResult::resultWithStatusAsArrayBufferFromString(HBRResultStatus::OK, std::move(bytes));
  });
}

void HBRFile::readAsBinaryString(const HBRInvokedUrlCommand& command) {
  read(command, 1, [](std::string bytes, const std::optional<std::string>&) {
    return HBRPluginResult::resultWithStatus(HBRResultStatus::OK, platform::binaryString(bytes));
  });
}

void HBRFile::truncate(const HBRInvokedUrlCommand& command) {
  auto found = target(command, 0);
  if (!found) return;
  std::int64_t size = int64Argument(command, 1, 0);
  if (size < 0) return send(command, HBRFileErrorResult(INVALID_MODIFICATION_ERR));
  send(command, found->fileSystem->truncateFileAtURL(found->url, std::uint64_t(size)));
}

void HBRFile::write(const HBRInvokedUrlCommand& command) {
  auto found = target(command, 0);
  if (!found) return;
  const Value& given = command.argumentAtIndex(1);
  if (!given.is_string() && !given.is_binary())
    return send(command, HBRPluginResult::resultWithStatusAsString(HBRResultStatus::Error, "Invalid parameter type"));
  std::int64_t position = int64Argument(command, 2, 0);
  if (position < 0) return send(command, HBRFileErrorResult(INVALID_MODIFICATION_ERR));
  // The command's arguments are kept, shared, until the write is done: the data (as large as
  // the page makes it) is not copied for the background.
  inBackground(command, ABORT_ERR, [found = *found, arguments = command.sharedArguments(),
                                    position](const HBRFileSystem::ResultCallback& send) {
    // Writing at a position keeps what lies before it and replaces the rest.
    const Value& data = (*arguments)[1];
    std::string_view bytes = data.is_string()
                                 ? std::string_view(data.get_ref<const std::string&>())
                                 : std::string_view(reinterpret_cast<const char*>(data.get_binary().data()),
                                                    data.get_binary().size());
    send(found.fileSystem->writeAtPosition(found.url, bytes, std::uint64_t(position)));
  });
}

std::optional<std::string> HBRFile::localPathInsideAFileSystem(const HBRInvokedUrlCommand& command) const {
  // Only paths inside one of the file systems are answered: the page learns nothing about
  // the rest of the machine.
  auto path = stringArgument(command, 0);
  auto url = path ? fileSystemURLforLocalPath(*path) : std::nullopt;
  return url ? filesystemPathForURL(*url) : std::nullopt;
}

void HBRFile::testFileExists(const HBRInvokedUrlCommand& command) {
  auto local = localPathInsideAFileSystem(command);
  send(command, HBRPluginResult::resultWithStatusAsInt(HBRResultStatus::OK, local && platform::fs::exists(*local)));
}

void HBRFile::testDirectoryExists(const HBRInvokedUrlCommand& command) {
  auto local = localPathInsideAFileSystem(command);
  send(command, HBRPluginResult::resultWithStatusAsInt(HBRResultStatus::OK, local && platform::fs::isDirectory(*local)));
}

void HBRFile::getFreeDiskSpace(const HBRInvokedUrlCommand& command) {
  auto free = checkFreeDiskSpace(rootDocsPath_);
  send(command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, std::to_string(free.value_or(0))));
}

void HBRFile::_getLocalFilesystemPath(const HBRInvokedUrlCommand& command) {
  auto argument = stringArgument(command, 0);
  auto path = argument ? filesystemPathForURL(fileSystemURLforArg(*argument)) : std::nullopt;
  if (!path) return send(command, HBRPluginResult::resultWithStatusAsString(HBRResultStatus::Error, "Cannot resolve URL to a file"));
  send(command, HBRPluginResult::resultWithStatus(HBRResultStatus::OK, *path));
}

void HBRRegisterFilePlugin() { HBRRegisterBuiltInPluginClass<HBRFile>("HBRFile"); }
