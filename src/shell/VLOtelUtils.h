#pragma once

#include <cstdint>

#include "platform/foundation/Value.h"

// OpenTelemetry's view of a log: severities and the attribute list of the OTLP JSON form.
class VLOtelUtils {
 public:
  // The log data model's severity number and text of a level (trace for unknown levels).
  static std::int64_t severityFromLogLevel(std::int64_t level);
  static const char* severityTextFromLogLevel(std::int64_t level);

  // One {"key", "value"} entry per entry of the dictionary, in its order: strings as
  // "stringValue", booleans as "boolValue" (never as numbers), whole numbers that fit 64 bits
  // as "intValue", other numbers as "doubleValue"; arrays, dictionaries and null are left out.
  static platform::Value otlpAttributesFromDictionary(const platform::Value& dictionary);
  static bool appendOtlpAttribute(platform::Value& list, const std::string& key,
                                  const platform::Value& value);
};

// A new dictionary with every entry of `second` and each entry of `first` whose key `second`
// lacks: on a clash `second` wins. A missing dictionary (null) counts as empty.
platform::Value mergeDictionary(const platform::Value& first, const platform::Value& second);
