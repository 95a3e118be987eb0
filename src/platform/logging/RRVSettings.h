#pragma once

#include <any>
#include <map>
#include <optional>
#include <string>

// The settings an element of the pipeline is configured with: plain values (numbers,
// booleans, strings) and shared objects (held as std::shared_ptr<T>) by name.
namespace roruv {

using RRVSettings = std::map<std::string, std::any>;

// The value under `key` when it is held as exactly `T`; none when it is absent or of
// another type.
template <typename T>
std::optional<T> settingAs(const RRVSettings& settings, const std::string& key) {
  auto it = settings.find(key);
  if (it == settings.end()) return std::nullopt;
  if (const T* value = std::any_cast<T>(&it->second)) return *value;
  return std::nullopt;
}

// A number under `key`, whichever arithmetic type holds it (booleans count as 0 and 1); none
// when it is absent or not a number.
std::optional<double> numberSetting(const RRVSettings& settings, const std::string& key);

}  // namespace roruv
