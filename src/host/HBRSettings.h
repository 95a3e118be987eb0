#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The settings dictionary: "config.xml" preferences under lower-cased keys. Lookups lower-case
// the key they are given, so every preference is found whatever the case it is asked in.

// The value stored under the key lower-cased, or nullopt.
std::optional<platform::Value> harborSettingForKey(const platform::Value& settings, const std::string& key);
bool harborBoolSettingForKey(const platform::Value& settings, const std::string& key, bool defaultValue);
double harborFloatSettingForKey(const platform::Value& settings, const std::string& key, double defaultValue);
// The string stored under the key, or nullopt when absent or not a string.
std::optional<std::string> harborStringSettingForKey(const platform::Value& settings, const std::string& key);
void setHarborSetting(platform::Value& settings, platform::Value value, const std::string& key);

// The platform's `floatValue` of a string: the leading decimal number, 0 when there is none.
float hbr_floatValue(const std::string& text);
