#pragma once

#include <gtest/gtest.h>

#include "platform/foundation/Value.h"

namespace testing_support {

// The parts of `found` that `expected` names: objects key by key, anything else whole.
inline platform::Value pick(const platform::Value& found, const platform::Value& expected) {
  if (!expected.is_object() || !found.is_object()) return found;
  platform::Value out = platform::Value::object();
  for (const auto& [key, value] : expected.items())
    out[key] = found.contains(key) ? pick(found[key], value) : platform::Value("<missing>");
  return out;
}

}  // namespace testing_support

// Expects what `found` holds at every place the JSON text `expected` names.
#define EXPECT_PICKED(found, expected)                                                              \
  EXPECT_EQ(testing_support::pick(found, platform::Value::parse(expected)), platform::Value::parse(expected)) \
      << (found).dump(2)
