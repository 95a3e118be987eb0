#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/HBRPlugin.h"
#include "plugins/file/HBRFileSystem.h"
#include "plugins/file/HBRFilesystemURL.h"

// The file plugin: a file-system interface for the web application in the manner of the W3C
// File API: Directories and System. It keeps a registry of named file systems (the index of
// each is its type number), turns each action into a call on the file system that the
// action's URL names, and installs the "hbrfile" URL protocol. Every action answers, also
// for a URL that names no file system. Reads, writes, copies and moves run in the
// background; the registry is filled while the plugin starts and only read afterwards.
class HBRFile : public HBRPlugin {
 public:
  // One of the extra file systems the plugin can offer.
  struct AvailableFileSystem {
    std::string name;
    std::string root;
    bool readOnly = false;
  };

  HBRFile();
  std::string className() const override { return "HBRFile"; }
  void pluginInitialize() override;

  // The plugin the "hbrfile" URL protocol reads through: the last one initialised.
  static std::shared_ptr<HBRFile> current();

  // Registry.
  void registerFilesystem(const std::shared_ptr<HBRFileSystem>& fileSystem);
  std::shared_ptr<HBRFileSystem> fileSystemByName(const std::string& name) const;
  std::shared_ptr<HBRFileSystem> filesystemForURL(const HBRFilesystemURL& url) const;
  const std::vector<std::shared_ptr<HBRFileSystem>>& fileSystems() const { return fileSystems_; }

  // A "file://" URL (symbolic links resolved; the longest root that holds it wins), else an
  // "hbrfile" or "assets-library" URL, which may name no file system.
  HBRFilesystemURL fileSystemURLforArg(const std::string& argument) const;
  std::optional<HBRFilesystemURL> fileSystemURLforLocalPath(const std::string& localPath) const;
  std::optional<std::string> filesystemPathForURL(const HBRFilesystemURL& url) const;
  platform::Value makeEntryForPath(const std::string& fullPath, const std::string& fileSystemName, bool isDirectory) const;
  platform::Value makeEntryForLocalURL(const HBRFilesystemURL& url) const;
  platform::Value makeEntryForURL(const platform::URL& url) const;
  platform::Value getDirectoryEntry(const std::string& localPath, bool isDirectory) const;
  static std::optional<std::string> getMimeTypeFromPath(const std::string& path);
  static std::optional<std::uint64_t> checkFreeDiskSpace(const std::string& path);
  // Escapes removed, then added again, so that " " and "%20" both come out as "%20".
  static std::string encodePath(const std::string& text);

  // Start-up steps.
  std::vector<std::string> getExtraFileSystemsPreference() const;
  static std::vector<AvailableFileSystem> getAvailableFileSystems();
  void registerExtraFileSystems(const std::vector<std::string>& names,
                                const std::vector<AvailableFileSystem>& available);
  static void makeNonSyncable(const std::string& path);

  const std::string& rootDocsPath() const { return rootDocsPath_; }
  const std::string& appDocsPath() const { return appDocsPath_; }
  const std::string& appLibraryPath() const { return appLibraryPath_; }
  const std::string& appTempPath() const { return appTempPath_; }

  // Actions.
  void requestFileSystem(const HBRInvokedUrlCommand& command);
  void requestAllFileSystems(const HBRInvokedUrlCommand& command);
  void requestAllPaths(const HBRInvokedUrlCommand& command);
  void resolveLocalFileSystemURI(const HBRInvokedUrlCommand& command);
  void getFile(const HBRInvokedUrlCommand& command);
  void getDirectory(const HBRInvokedUrlCommand& command);
  void getParent(const HBRInvokedUrlCommand& command);
  void setMetadata(const HBRInvokedUrlCommand& command);
  void remove(const HBRInvokedUrlCommand& command);
  void removeRecursively(const HBRInvokedUrlCommand& command);
  void copyTo(const HBRInvokedUrlCommand& command);
  void moveTo(const HBRInvokedUrlCommand& command);
  void getFileMetadata(const HBRInvokedUrlCommand& command);
  void readEntries(const HBRInvokedUrlCommand& command);
  void readAsText(const HBRInvokedUrlCommand& command);
  void readAsDataURL(const HBRInvokedUrlCommand& command);
  void readAsArrayBuffer(const HBRInvokedUrlCommand& command);
  void readAsBinaryString(const HBRInvokedUrlCommand& command);
  void truncate(const HBRInvokedUrlCommand& command);
  void write(const HBRInvokedUrlCommand& command);
  void testFileExists(const HBRInvokedUrlCommand& command);
  void testDirectoryExists(const HBRInvokedUrlCommand& command);
  void getFreeDiskSpace(const HBRInvokedUrlCommand& command);
  void _getLocalFilesystemPath(const HBRInvokedUrlCommand& command);

 private:
  struct Target {
    HBRFilesystemURL url;
    std::shared_ptr<HBRFileSystem> fileSystem;
  };
  // The URL argument at `index` and its file system, or nullopt after answering the command
  // with status 6, code 1.
  std::optional<Target> target(const HBRInvokedUrlCommand& command, size_t index);
  void send(const HBRInvokedUrlCommand& command, const HBRResultRef& result);
  // Answers `command` later, from any thread, once (later answers are dropped); holds the
  // plugin weakly and not the command's arguments.
  HBRFileSystem::ResultCallback replyTo(const HBRInvokedUrlCommand& command);
  // Runs `job` in the background with the command's answer; a job that throws still answers,
  // with `failure`, unless it had answered already.
  void inBackground(const HBRInvokedUrlCommand& command, HBRFileErrorCode failure,
                    std::function<void(const HBRFileSystem::ResultCallback& reply)> job);
  void copyOrMove(const HBRInvokedUrlCommand& command, bool copy);
  // Refuses a file system's root before the file system is asked.
  void removeEntry(const HBRInvokedUrlCommand& command, bool recursive);
  // Reads the URL at argument 0 in the background and answers with `reply` of the bytes.
  void read(const HBRInvokedUrlCommand& command, size_t startIndex,
            std::function<HBRResultRef(std::string bytes, const std::optional<std::string>& mimeType)> reply);
  std::optional<std::string> settingString(const std::string& key) const;
  // The local path at argument 0 when it lies inside a registered file system.
  std::optional<std::string> localPathInsideAFileSystem(const HBRInvokedUrlCommand& command) const;

  std::string rootDocsPath_;
  std::string appDocsPath_;
  std::string appLibraryPath_;
  std::string appTempPath_;
  std::vector<std::shared_ptr<HBRFileSystem>> fileSystems_;
};

// Registers the file plugin's class ("HBRFile") so that "config.xml" can name it.
void HBRRegisterFilePlugin();
