#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

// Key-value settings persisted as a property list at
// <data root>/Library/Preferences/<name>.plist, where the standard defaults are named after
// the bundle identifier (paths::bundleIdentifier()). The file is read on first use and
// rewritten atomically on every change. Thread safe.
class UserDefaults {
 public:
  static UserDefaults& standard();
  // The same object for the same name until resetForTesting().
  static std::shared_ptr<UserDefaults> suite(const std::string& name);

  Value object(const std::string& key) const;  // null when absent
  std::optional<std::string> string(const std::string& key) const;
  bool boolean(const std::string& key) const;      // true, non-zero numbers, "YES"/"true"/"1"
  std::int64_t integer(const std::string& key) const;  // 0 when absent or not a number
  Value dictionaryRepresentation() const;
  // Setting null removes the key.
  void set(const std::string& key, Value value);
  void remove(const std::string& key);
  // Several keys in one write (a null value removes its key): no reader of the file, and no
  // crash, sees some of them changed and not the others.
  void setValues(const Value& changes);
  // Writes anything not yet on disk; false when the last write failed.
  bool synchronize();

  // Forgets every loaded value and suite, so the next access reads the files again (under
  // whatever data root is current by then).
  static void resetForTesting();

  explicit UserDefaults(std::string name);  // "" = the standard defaults

 private:
  void loadLocked() const;
  bool persistLocked();
  void unload();

  std::string name_;
  mutable std::mutex mutex_;
  mutable bool loaded_ = false;
  mutable std::string path_;
  mutable Value values_ = Value::object();
  bool dirty_ = false;
};

}  // namespace platform
