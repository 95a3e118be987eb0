#include "host/HBRJSON.h"

#include <cmath>

#include "platform/foundation/JSONText.h"
#include "platform/foundation/Log.h"

using platform::Value;

std::optional<std::string> hbr_JSONUnrepresentable(const Value& value) {
  switch (value.type()) {
    case Value::value_t::number_float:
      if (!std::isfinite(value.get<double>())) return "Invalid number value (infinite or NaN) in JSON write";
      return std::nullopt;
    case Value::value_t::binary:
      return "Invalid type in JSON write (data)";
    case Value::value_t::array:
      for (const auto& item : value)
        if (auto why = hbr_JSONUnrepresentable(item)) return why;
      return std::nullopt;
    case Value::value_t::object:
      for (const auto& item : value.items())
        if (auto why = hbr_JSONUnrepresentable(item.value())) return why;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

namespace {
std::optional<std::string> write(const Value& value, int indent, const char* errorFormat) {
  if (auto why = hbr_JSONUnrepresentable(value)) {
    platform::log(platform::stringf(errorFormat, why->c_str()));
    return std::nullopt;
  }
  // Text that is not valid UTF-8 is delivered with U+FFFD in place of the bad bytes.
  return platform::jsonText(value, indent);
}
}  // namespace

std::optional<std::string> hbr_JSONStringOfArray(const Value& array) {
  return write(array, -1, "NSArray JSONString error: %s");
}

std::optional<std::string> hbr_JSONStringOfArrayElement(const Value& value) {
  return write(value, -1, "NSArray JSONString error: %s");
}

std::optional<std::string> hbr_JSONStringOfDictionary(const Value& dictionary) {
  return write(dictionary, 2, "NSDictionary JSONString error: %s");
}

std::optional<Value> hbr_JSONObject(const std::string& text) {
  Value parsed = Value::parse(text, nullptr, false);
  if (parsed.is_discarded() || !(parsed.is_array() || parsed.is_object())) {
    const char* why = parsed.is_discarded() ? "The data couldn't be read because it isn't in the correct format."
                                            : "JSON text did not start with array or object.";
    platform::log(platform::stringf("NSString JSONObject error: %s, Malformed Data: %s", why, text.c_str()));
    return std::nullopt;
  }
  return parsed;
}

std::optional<Value> hbr_JSONFragment(const std::string& text) {
  Value parsed = Value::parse(text, nullptr, false);
  if (parsed.is_discarded()) {
    platform::log("NSString JSONObject error: The data couldn't be read because it isn't in the correct format.");
    return std::nullopt;
  }
  return parsed;
}
