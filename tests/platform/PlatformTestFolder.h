#pragma once

#include <glib.h>

#include <string>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"

// A fresh folder under the system temp dir for one test; it also becomes the data root, so
// nothing a test writes lands in the user's real application data.
class PlatformTestFolder {
 public:
  PlatformTestFolder() {
    std::string pattern = std::string(g_get_tmp_dir()) + "/veltro-platform-XXXXXX";
    path_ = g_mkdtemp(pattern.data()) ? pattern : std::string();
    platform::paths::setDataRoot(path_ + "/data");
  }
  ~PlatformTestFolder() {
    platform::paths::setDataRoot("");
    if (!path_.empty()) platform::fs::remove(path_);
  }
  std::string operator/(const std::string& relative) const {
    return platform::fs::appendPath(path_, relative);
  }
  void write(const std::string& relative, const std::string& content) const {
    std::string full = *this / relative;
    platform::fs::createDirectory(full.substr(0, full.rfind('/')), true);
    platform::fs::writeFileAtomically(full, content);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
