#include "platform/ui/Device.h"

#include <glib.h>
#include <sys/utsname.h>

#include <mutex>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UserDefaults.h"

namespace platform::ui {

namespace {

std::mutex gRootMutex;
std::string gRoot;  // "" is the real file system

std::optional<std::string> systemFile(const std::string& path) {
  std::string root;
  {
    std::lock_guard lock(gRootMutex);
    root = gRoot;
  }
  auto text = fs::readFile(root + path);
  if (!text) return std::nullopt;
  std::string line(trim(text->substr(0, text->find('\n'))));
  if (line.empty()) return std::nullopt;
  return line;
}

// One key of os-release, its value unquoted.
std::optional<std::string> osRelease(const std::string& key) {
  std::string root;
  {
    std::lock_guard lock(gRootMutex);
    root = gRoot;
  }
  auto text = fs::readFile(root + "/etc/os-release");
  if (!text) text = fs::readFile(root + "/usr/lib/os-release");
  if (!text) return std::nullopt;
  for (const auto& line : split(*text, '\n')) {
    if (!startsWith(line, key + "=")) continue;
    std::string value(trim(std::string_view(line).substr(key.size() + 1)));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (!value.empty()) return value;
  }
  return std::nullopt;
}

struct utsname kernel() {
  struct utsname names {};
  uname(&names);
  return names;
}

}  // namespace

std::string Device::model() {
  if (auto product = systemFile("/sys/class/dmi/id/product_name")) return *product;
  return kernel().machine;
}

std::string Device::systemName() { return osRelease("NAME").value_or(kernel().sysname); }

std::string Device::operatingSystemVersion() {
  return osRelease("VERSION_ID").value_or(kernel().release);
}

std::optional<std::string> Device::identifierForVendor() {
  auto machineId = systemFile("/etc/machine-id");
  if (!machineId) return std::nullopt;
  auto parts = split(paths::bundleIdentifier(), '.');
  std::string vendor = parts.size() >= 2 ? parts[0] + "." + parts[1] : paths::bundleIdentifier();
  std::string seed = *machineId + "\n" + vendor;
  gchar* digest = g_compute_checksum_for_string(G_CHECKSUM_SHA256, seed.c_str(), -1);
  std::string hex = asciiUpper(digest);
  g_free(digest);
  // Shaped as a version-4, variant-1 UUID so that readers of the format accept it.
  hex[12] = '4';
  hex[16] = "89AB"[std::stoi(hex.substr(16, 1), nullptr, 16) & 3];
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
         hex.substr(20, 12);
}

std::string Device::installationIdentifier() {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  auto& defaults = UserDefaults::standard();
  if (auto stored = defaults.string("HBRUUID")) return *stored;
  std::string identifier = identifierForVendor().value_or(makeUUID());
  defaults.set("HBRUUID", identifier);
  defaults.synchronize();
  return identifier;
}

void Device::setSystemFilesRootForTesting(const std::string& root) {
  std::lock_guard lock(gRootMutex);
  gRoot = root;
}

}  // namespace platform::ui
