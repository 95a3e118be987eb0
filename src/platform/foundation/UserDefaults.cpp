#include "platform/foundation/UserDefaults.h"

#include <map>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"

namespace platform {

namespace {

std::mutex gSuitesMutex;
std::map<std::string, std::shared_ptr<UserDefaults>>& suites() {
  static auto* map = new std::map<std::string, std::shared_ptr<UserDefaults>>();
  return *map;
}

}  // namespace

UserDefaults::UserDefaults(std::string name) : name_(std::move(name)) {}

UserDefaults& UserDefaults::standard() {
  // Never destroyed: other statics may still write settings while the process exits.
  static auto* instance = new UserDefaults("");
  return *instance;
}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
  std::lock_guard lock(gSuitesMutex);
  auto& slot = suites()[name];
  if (!slot) slot = std::make_shared<UserDefaults>(name);
  return slot;
}

void UserDefaults::resetForTesting() {
  standard().unload();
  std::lock_guard lock(gSuitesMutex);
  for (auto& [name, defaults] : suites()) defaults->unload();
  suites().clear();
}

void UserDefaults::unload() {
  std::lock_guard lock(mutex_);
  loaded_ = false;
  dirty_ = false;
  path_.clear();
  values_ = Value::object();
}

void UserDefaults::loadLocked() const {
  if (loaded_) return;
  loaded_ = true;
  std::string name = name_.empty() ? paths::bundleIdentifier() : name_;
  // A suite name is a file name, not a path.
  for (char& c : name)
    if (c == '/') c = '_';
  path_ = fs::appendPath(paths::preferences(), name + ".plist");
  values_ = Value::object();
  if (!fs::exists(path_)) return;
  auto stored = readPropertyList(path_);
  if (stored && stored->is_object())
    values_ = std::move(*stored);
  else
    log("Ignoring unreadable defaults file " + path_);
}

bool UserDefaults::persistLocked() {
  if (auto error = writePropertyList(path_, values_)) {
    log("Cannot write defaults " + path_ + ": " + error->localizedDescription());
    dirty_ = true;
    return false;
  }
  dirty_ = false;
  return true;
}

Value UserDefaults::object(const std::string& key) const {
  std::lock_guard lock(mutex_);
  loadLocked();
  auto it = values_.find(key);
  return it == values_.end() ? Value() : *it;
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
  Value value = object(key);
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
  if (value.is_number_float()) return Value(value.get<double>()).dump();
  return std::nullopt;
}

bool UserDefaults::boolean(const std::string& key) const {
  Value value = object(key);
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return value.get<double>() != 0;
  if (value.is_string()) {
    const std::string& s = value.get_ref<const std::string&>();
    return s == "YES" || s == "yes" || s == "true" || s == "1";
  }
  return false;
}

std::int64_t UserDefaults::integer(const std::string& key) const {
  Value value = object(key);
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) return static_cast<std::int64_t>(value.get<double>());
  return 0;
}

Value UserDefaults::dictionaryRepresentation() const {
  std::lock_guard lock(mutex_);
  loadLocked();
  return values_;
}

void UserDefaults::set(const std::string& key, Value value) {
  if (value.is_null()) {
    remove(key);
    return;
  }
  std::lock_guard lock(mutex_);
  loadLocked();
  values_[key] = std::move(value);
  persistLocked();
}

void UserDefaults::setValues(const Value& changes) {
  if (!changes.is_object()) return;
  std::lock_guard lock(mutex_);
  loadLocked();
  for (const auto& [key, value] : changes.items()) {
    if (value.is_null())
      values_.erase(key);
    else
      values_[key] = value;
  }
  persistLocked();
}

void UserDefaults::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  loadLocked();
  if (values_.erase(key) > 0) persistLocked();
}

bool UserDefaults::synchronize() {
  std::lock_guard lock(mutex_);
  if (!loaded_ || !dirty_) return !dirty_;
  return persistLocked();
}

}  // namespace platform
