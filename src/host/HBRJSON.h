#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// JSON text helpers of the bridge. Failures are logged and give nullopt. A value that JSON
// cannot represent (a number that is not finite, raw bytes) is a failure, never "null".

// Compact text of an array.
std::optional<std::string> hbr_JSONStringOfArray(const platform::Value& array);
// The compact text `value` has as an element of an array (fragments included).
std::optional<std::string> hbr_JSONStringOfArrayElement(const platform::Value& value);
// The same, appended to `out`; false (and `out` unchanged) when it cannot be written.
bool hbr_appendJSONStringOfArrayElement(std::string& out, const platform::Value& value);
// Pretty-printed text of a dictionary.
std::optional<std::string> hbr_JSONStringOfDictionary(const platform::Value& dictionary);
// Parses an array or a dictionary.
std::optional<platform::Value> hbr_JSONObject(const std::string& text);
// Parses any JSON value, a bare string or number included.
std::optional<platform::Value> hbr_JSONFragment(const std::string& text);

// Why `value` cannot be written as JSON, or nullopt when it can.
std::optional<std::string> hbr_JSONUnrepresentable(const platform::Value& value);
