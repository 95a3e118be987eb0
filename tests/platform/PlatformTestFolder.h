#pragma once

#include <string>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "support/TestSupport.h"

// A fresh temporary folder that is also the data root for the test's lifetime, so nothing a
// test writes lands in the user's real application data.
class PlatformTestFolder {
 public:
  PlatformTestFolder() { platform::paths::setDataRoot(dir_.file("data")); }
  ~PlatformTestFolder() { platform::paths::setDataRoot(""); }
  std::string operator/(const std::string& relative) const { return dir_.file(relative); }
  void write(const std::string& relative, const std::string& content) const {
    dir_.write(relative, content);
  }
  const std::string& path() const { return dir_.path(); }

 private:
  testing_support::TempDir dir_;
};
