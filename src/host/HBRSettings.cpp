#include "host/HBRSettings.h"

#include <cstdlib>

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
  const char* begin = text.c_str();
  char* end = nullptr;
  float value = std::strtof(begin, &end);
  return end == begin ? 0.0f : value;
}

double harborFloatSettingForKey(const Value& settings, const std::string& key, double defaultValue) {
  auto value = harborSettingForKey(settings, key);
  if (!value) return defaultValue;
  if (value->is_string()) return static_cast<double>(hbr_floatValue(value->get<std::string>()));
  if (value->is_boolean()) return value->get<bool>() ? 1.0 : 0.0;
  if (value->is_number()) return static_cast<double>(value->get<float>());
  return defaultValue;
}

void setHarborSetting(Value& settings, Value value, const std::string& key) {
  if (!settings.is_object()) settings = Value::object();
  settings[platform::asciiLower(key)] = std::move(value);
}
