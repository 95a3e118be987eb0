#include "platform/foundation/Paths.h"

#include <glib.h>

#include <cstdlib>
#include <mutex>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"

namespace platform::paths {

namespace {

std::mutex gMutex;
std::string gRoot;
std::string gBundleIdentifier;

std::string defaultRoot(const std::string& identifier) {
  if (const char* env = std::getenv("VELTRO_DATA_ROOT"); env && *env) return env;
  std::string base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::appendPath(home && *home ? home : g_get_home_dir(), ".local/share");
  }
  return fs::appendPath(fs::appendPath(base, "veltro"), identifier);
}

std::string folder(const char* relative) {
  std::string path = relative ? fs::appendPath(dataRoot(), relative) : dataRoot();
  if (auto error = fs::createDirectory(path, true))
    log("Cannot create folder " + path + ": " + error->localizedDescription());
  return path;
}

}  // namespace

void setDataRoot(std::string root) {
  std::lock_guard lock(gMutex);
  gRoot = std::move(root);
}

std::string dataRoot() {
  {
    std::lock_guard lock(gMutex);
    if (!gRoot.empty()) return gRoot;
  }
  return defaultRoot(bundleIdentifier());
}

void setBundleIdentifier(std::string identifier) {
  std::lock_guard lock(gMutex);
  gBundleIdentifier = std::move(identifier);
}

std::string bundleIdentifier() {
  std::string identifier;
  {
    std::lock_guard lock(gMutex);
    identifier = gBundleIdentifier;
  }
  // The main bundle is asked outside our lock: it reads its Info.plist on first use. Any
  // entry point that opened a package gets its identifier, not only the shell.
  if (identifier.empty()) identifier = Bundle::main().bundleIdentifier();
  if (identifier.empty()) return "app";
  if (!isValidBundleIdentifier(identifier)) {
    static std::once_flag logged;
    std::call_once(logged, [&] {
      log("The bundle identifier '" + identifier + "' is not a reverse-DNS name; using 'app'.");
    });
    return "app";
  }
  return identifier;
}

bool isValidBundleIdentifier(const std::string& identifier) {
  if (identifier.empty() || identifier.size() > 255) return false;
  bool labelStart = true;
  for (char c : identifier) {
    if (c == '.') {
      if (labelStart) return false;  // a leading dot or two dots in a row
      labelStart = true;
      continue;
    }
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-') return false;
    labelStart = false;
  }
  return !labelStart;  // no trailing dot
}

std::string documents() { return folder("Documents"); }
std::string library() { return folder("Library"); }
std::string caches() { return folder("Library/Caches"); }
std::string applicationSupport() { return folder("Library/Application Support"); }
std::string preferences() { return folder("Library/Preferences"); }
std::string tmp() { return folder("tmp"); }

}  // namespace platform::paths
