#include "host/HBRSettings.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

using platform::Value;

std::optional<Value> harborSettingForKey(const Value& settings, const std::string& key) {
  if (!settings.is_object()) return std::nullopt;
  auto it = settings.find(platform::asciiLower(key));
  if (it == settings.end() || it->is_null()) return std::nullopt;
  return *it;
}

std::optional<std::string> harborStringSettingForKey(const Value& settings, const std::string& key) {
  auto value = harborSettingForKey(settings, key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

bool harborBoolSettingForKey(const Value& settings, const std::string& key, bool defaultValue) {
  auto value = harborSettingForKey(settings, key);
  if (!value) {
    platform::log(platform::stringf("The preference key \"%s\" is not defined and will default to \"%s\"",
                                    key.c_str(), defaultValue ? "TRUE" : "FALSE"));
    return defaultValue;
  }
  if (value->is_string()) {
    std::string text = platform::asciiLower(value->get<std::string>());
    if (text == "true" || text == "1") return true;
    if (text == "false" || text == "0") return false;
    return defaultValue;
  }
  // A boolean is the number 1 or 0 on the platform, and so compares equal to them.
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number()) {
    double n = value->get<double>();
    if (n == 1) return true;
    if (n == 0) return false;
  }
  return defaultValue;
}

float hbr_floatValue(const std::string& text) {
  auto value = platform::decimalValue(text);
  if (!value) return 0.0f;
  // Beyond the range of a float the platform's value is no longer finite either.
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (std::fabs(*value) > std::numeric_limits<float>::max()) return *value > 0 ? kInfinity : -kInfinity;
  return static_cast<float>(*value);
}

double harborFloatSettingForKey(const Value& settings, const std::string& key, double defaultValue) {
  auto value = harborSettingForKey(settings, key);
  if (!value) return defaultValue;
  double result = defaultValue;
  if (value->is_string()) {
    // Text that is no number ("inf" and "nan" included) reads as 0, as the platform reads it.
    result = static_cast<double>(hbr_floatValue(value->get_ref<const std::string&>()));
  } else if (value->is_boolean()) {
    result = value->get<bool>() ? 1.0 : 0.0;
  } else if (value->is_number()) {
    double number = value->get<double>();
    result = std::fabs(number) <= std::numeric_limits<float>::max() ? static_cast<float>(number) : NAN;
  }
  // A number too big for a float is refused: a timer or a fade cannot run for ever.
  if (!std::isfinite(result)) {
    platform::log(platform::stringf("The preference \"%s\" is not a finite number; using %g.", key.c_str(),
                                    defaultValue));
    return defaultValue;
  }
  return result;
}

void setHarborSetting(Value& settings, Value value, const std::string& key) {
  if (!settings.is_object()) settings = Value::object();
  settings[platform::asciiLower(key)] = std::move(value);
}
