#include "shell/VLOtelUtils.h"

#include <cmath>
#include <limits>

std::int64_t VLOtelUtils::severityFromLogLevel(std::int64_t level) {
  switch (level) {
    case 0:
      return 1;
    case 1:
      return 2;
    case 2:
      return 5;
    case 3:
      return 9;
    case 4:
      return 13;
    case 5:
      return 17;
    case 6:
      return 21;
    default:
      return 1;
  }
}

const char* VLOtelUtils::severityTextFromLogLevel(std::int64_t level) {
  switch (level) {
    case 2:
      return "Debug";
    case 3:
      return "Information";
    case 4:
      return "Warning";
    case 5:
      return "Error";
    case 6:
      return "Critical";
    default:
      return "Trace";
  }
}

bool VLOtelUtils::appendOtlpAttribute(platform::Value& list, const std::string& key,
                                      const platform::Value& value) {
  platform::Value encoded;
  if (value.is_string()) {
    encoded = {{"stringValue", value}};
  } else if (value.is_boolean()) {
    encoded = {{"boolValue", value}};
  } else if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      encoded = {{"doubleValue", value.get<double>()}};
    else
      encoded = {{"intValue", value.get<std::int64_t>()}};
  } else if (value.is_number_float()) {
    double number = value.get<double>();
    // Whole numbers within 64 bits are integers, as the record's reader expects.
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (std::isfinite(number) && std::fmod(number, 1.0) == 0 && number >= -kTwoTo63 &&
        number < kTwoTo63)
      encoded = {{"intValue", static_cast<std::int64_t>(number)}};
    else
      encoded = {{"doubleValue", number}};
  } else {
    return false;
  }
  list.push_back({{"key", key}, {"value", std::move(encoded)}});
  return true;
}

platform::Value VLOtelUtils::otlpAttributesFromDictionary(const platform::Value& dictionary) {
  platform::Value list = platform::Value::array();
  if (!dictionary.is_object()) return list;
  for (const auto& [key, value] : dictionary.items()) appendOtlpAttribute(list, key, value);
  return list;
}

platform::Value mergeDictionary(const platform::Value& first, const platform::Value& second) {
  platform::Value merged = second.is_object() ? second : platform::Value::object();
  if (first.is_object())
    for (const auto& [key, value] : first.items()) merged.emplace(key, value);
  return merged;
}
