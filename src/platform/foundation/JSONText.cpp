#include "platform/foundation/JSONText.h"

#include <cstdint>

namespace platform {

namespace {

// Reads the UTF-8 sequence at `at`. Answers its length when it is valid; otherwise the length
// of its "maximal subpart" (the lead byte and the continuation bytes that could still have
// completed it), which one U+FFFD replaces. Overlong forms, surrogates and code points above
// U+10FFFF are invalid.
struct Sequence {
  bool valid;
  size_t length;
};

Sequence readSequence(std::string_view text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<std::uint8_t>(text[i]); };
  std::uint8_t lead = byte(at);
  if (lead < 0x80) return {true, 1};
  size_t length;
  std::uint8_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {false, 1};
  }
  for (size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return {false, i};
    std::uint8_t b = byte(at + i);
    bool ok = i == 1 ? (b >= low && b <= high) : ((b & 0xC0) == 0x80);
    if (!ok) return {false, i};
  }
  return {true, length};
}

}  // namespace

std::string jsonText(const Value& value, int indent) {
  return value.dump(indent, ' ', false, Value::error_handler_t::replace);
}

bool isValidUTF8(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    Sequence sequence = readSequence(bytes, at);
    if (!sequence.valid) return false;
    at += sequence.length;
  }
  return true;
}

std::string replacingInvalidUTF8(std::string_view bytes) {
  if (isValidUTF8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 16);
  for (size_t at = 0; at < bytes.size();) {
    Sequence sequence = readSequence(bytes, at);
    if (sequence.valid)
      out.append(bytes.substr(at, sequence.length));
    else
      out += "\xEF\xBF\xBD";
    at += sequence.length;
  }
  return out;
}

std::string binaryString(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    if (byte < 0x80) {
      out += static_cast<char>(byte);
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

}  // namespace platform
