#pragma once

#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// Text that is always deliverable: plugin results, log records, HTTP headers and file reads
// carry bytes from pages, packages and servers, which need not be valid UTF-8.
namespace platform {

// JSON text of `value`; bytes that are not valid UTF-8 become U+FFFD instead of an error.
// Numbers that are not finite are written as null (as the JSON library does).
std::string jsonText(const Value& value, int indent = -1);

bool isValidUTF8(std::string_view bytes);
// `bytes` with every invalid sequence replaced by U+FFFD (one per maximal bad subpart).
std::string replacingInvalidUTF8(std::string_view bytes);

// A "binary string": each byte becomes the code point of the same number (U+0000-U+00FF),
// written as UTF-8, as page script reads a byte string.
std::string binaryString(std::string_view bytes);

}  // namespace platform
