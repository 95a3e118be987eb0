#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The five version strings of the running application.
class VLApplicationInfoProtocol {
 public:
  using Text = std::optional<std::string>;
  virtual ~VLApplicationInfoProtocol() = default;
  virtual Text getPlatformVersion() const = 0;
  virtual Text getNativeShellVersion() const = 0;
  virtual Text getAppVersion() const = 0;
  virtual Text getAppVersionNumber() const = 0;
  virtual Text getAppPackageIdentifier() const = 0;
};

// Read once from the settings of "config.xml" ("DefaultPlatformVersion",
// "NativeShellVersion") and the application package (its short version, version and
// identifier). A value that is missing, or is not a string, stays absent.
//
// The shared instance is replaced by every `initializeWithSettings`; it is read and replaced
// under one lock. An instance that was replaced knows it (`wasReplaced`), so whoever kept it
// can move on to the current one.
class VLApplicationInfo final : public VLApplicationInfoProtocol {
 public:
  explicit VLApplicationInfo(const platform::Value& settings);

  static std::shared_ptr<VLApplicationInfo> initializeWithSettings(const platform::Value& settings);
  // Null until `initializeWithSettings` ran.
  static std::shared_ptr<VLApplicationInfo> sharedInstance();
  // Forgets the shared instance (tests only).
  static void resetForTesting();

  bool wasReplaced() const { return replaced_; }

  Text getPlatformVersion() const override { return platformVersion_; }
  Text getNativeShellVersion() const override { return nativeShellVersion_; }
  Text getAppVersion() const override { return appVersion_; }
  Text getAppVersionNumber() const override { return appVersionNumber_; }
  Text getAppPackageIdentifier() const override { return appPackageIdentifier_; }

 private:
  const Text platformVersion_;
  const Text nativeShellVersion_;
  const Text appVersion_;
  const Text appVersionNumber_;
  const Text appPackageIdentifier_;
  std::atomic<bool> replaced_{false};
};
