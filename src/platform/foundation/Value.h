#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {

// The one value type for dictionaries, arrays, strings, numbers, booleans and null.
// Byte buffers are JSON binary values, so a data object can travel inside arrays and
// dictionaries just as it does between plugins.
using Value = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

inline Value bytesValue(Bytes bytes) { return Value::binary(std::move(bytes)); }

}  // namespace platform
