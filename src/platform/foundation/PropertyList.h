#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

// Property lists (XML or binary) to and from Value. Dictionaries, arrays, strings, integers,
// reals, booleans and data map one to one (data as Value::binary); a date reads as the
// string "yyyy-MM-ddTHH:mm:ssZ" in UTC. Null has no property-list form and is left out of
// dictionaries and arrays on write. Integers read back as signed 64-bit values.
namespace platform {

std::optional<Value> readPropertyList(const std::string& path);
std::optional<Value> parsePropertyList(std::string_view data);
// XML with dictionary keys in byte order, so equal content gives equal bytes. A top-level
// null gives "".
std::string serializePropertyListXML(const Value& value);
// Written atomically as XML.
std::optional<Error> writePropertyList(const std::string& path, const Value& value);

}  // namespace platform
