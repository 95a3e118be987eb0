#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace platform {

// An application package on disk: a folder with "Info.plist", "config.xml" and "www/".
// Reading is thread safe.
class Bundle {
 public:
  explicit Bundle(std::string path);

  // The package the shell runs: $VELTRO_APP_PACKAGE, else the current directory.
  static Bundle& main();
  // Replaces the main bundle. References handed out earlier stay valid (they keep reading
  // the old package), so a test can swap packages without dangling anything.
  static void setMainPath(std::string path);

  const std::string& bundlePath() const;
  std::string resourcePath() const;
  const Value& infoDictionary() const;  // an empty object when there is no usable Info.plist
  Value objectForInfoDictionaryKey(const std::string& key) const;  // null when absent

  // <bundle>/<directory>/<name>.<type> ("" type: the name as is), only when it exists and
  // stays inside the package.
  std::optional<std::string> pathForResource(const std::string& name, const std::string& type,
                                             const std::string& directory = "") const;

  // Looks the key up in <lang>.lproj/<table>.strings for "en", then "Base"; falls back to
  // value, then to the key itself.
  std::string localizedString(const std::string& key, const std::string& value,
                              const std::string& table = "Localizable") const;

  std::string bundleIdentifier() const;  // CFBundleIdentifier, "" when absent

 private:
  const Value& stringsTable(const std::string& language, const std::string& table) const;

  std::string path_;
  Value info_ = Value::object();
  mutable std::mutex tablesMutex_;
  mutable std::map<std::string, Value> tables_;
};

// Reads a ".strings" file: old-style "key" = "value"; pairs with comments, or a property
// list dictionary (what compiled packages carry). nullopt when nothing can be read.
std::optional<Value> parseStringsFile(std::string_view data);

}  // namespace platform
