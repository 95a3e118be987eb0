#include "platform/foundation/JSONText.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/foundation/Log.h"

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

namespace {

// The library's text of one value, which decides every escape and replacement.
void appendLibraryText(const Value& value, std::string& out) {
  out += value.dump(-1, ' ', false, Value::error_handler_t::replace);
}

// Strings are most of what answers carry (Base64 bodies, file contents), and the library
// writes them byte by byte through its UTF-8 decoder. Text of printable ASCII without quote
// or backslash needs no escape at all: it is copied whole; any other string is left to the
// library, so the text is the library's in every case.
bool needsNoEscape(const std::string& text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  auto hasZeroByte = [](std::uint64_t v) { return ((v - kOnes) & ~v & kHighs) != 0; };
  auto hasByteBelow = [](std::uint64_t v, std::uint64_t n) { return ((v - kOnes * n) & ~v & kHighs) != 0; };
  const char* at = text.data();
  size_t left = text.size();
  // Eight bytes at a time: none at or above 0x80, below 0x20, a quote or a backslash.
  for (; left >= 8; at += 8, left -= 8) {
    std::uint64_t v;
    std::memcpy(&v, at, 8);
    if ((v & kHighs) || hasByteBelow(v, 0x20) || hasZeroByte(v ^ (kOnes * '"')) || hasZeroByte(v ^ (kOnes * '\\')))
      return false;
  }
  return std::all_of(at, at + left, [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\';
  });
}

void appendString(const std::string& text, const Value* node, std::string& out) {
  if (needsNoEscape(text)) {
    out += '"';
    out += text;
    out += '"';
  } else if (node) {
    appendLibraryText(*node, out);
  } else {
    appendLibraryText(Value(text), out);
  }
}

// The compact form, written as the library writes it (members in the order it keeps them).
void appendCompact(const Value& value, std::string& out) {
  switch (value.type()) {
    case Value::value_t::object: {
      out += '{';
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out += ',';
        first = false;
        appendString(it.key(), nullptr, out);
        out += ':';
        appendCompact(it.value(), out);
      }
      out += '}';
      return;
    }
    case Value::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& item : value) {
        if (!first) out += ',';
        first = false;
        appendCompact(item, out);
      }
      out += ']';
      return;
    }
    case Value::value_t::string:
      appendString(value.get_ref<const std::string&>(), &value, out);
      return;
    default:
      appendLibraryText(value, out);
  }
}

}  // namespace

std::string jsonText(const Value& value, int indent) {
  if (indent >= 0) return value.dump(indent, ' ', false, Value::error_handler_t::replace);
  std::string out;
  appendCompact(value, out);
  return out;
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


bool nestedDeeperThan(const Value& value, std::size_t maxDepth) {
  // Each entry is a container and how deep it sits; its children are pushed one level deeper.
  std::vector<std::pair<const Value*, std::size_t>> pending{{&value, 0}};
  while (!pending.empty()) {
    auto [current, depth] = pending.back();
    pending.pop_back();
    if (!current->is_structured()) continue;
    if (depth + 1 > maxDepth) return true;
    for (const Value& child : *current)
      if (child.is_structured()) pending.emplace_back(&child, depth + 1);
  }
  return false;
}

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of the escape "\uXXXX" at `at`, or -1 when there is none.
int escapedUnit(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
  int unit = 0;
  for (std::size_t i = at + 2; i < at + 6; ++i) {
    int digit = hexDigit(text[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

bool isHighSurrogate(int unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(int unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// One pass over JSON text: the deepest nesting outside strings (stopping once it passes
// `maxDepth`), with each escaped lone surrogate rewritten in place as "\ufffd" (same length).
std::size_t scanJSONText(std::string& text, std::size_t maxDepth) {
  std::size_t depth = 0, deepest = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (!inString) {
      if (c == '"') {
        inString = true;
      } else if (c == '[' || c == '{') {
        deepest = std::max(deepest, ++depth);
        if (deepest > maxDepth) return deepest;
      } else if ((c == ']' || c == '}') && depth > 0) {
        --depth;
      }
      continue;
    }
    if (c == '"') {
      inString = false;
    } else if (c == '\\') {
      int unit = escapedUnit(text, i);
      if (unit < 0) {
        ++i;  // a two-character escape
        continue;
      }
      if (isHighSurrogate(unit) && isLowSurrogate(escapedUnit(text, i + 6))) {
        i += 11;  // a whole pair
        continue;
      }
      if (isHighSurrogate(unit) || isLowSurrogate(unit)) text.replace(i + 2, 4, "fffd");
      i += 5;
    }
  }
  return deepest;
}

}  // namespace

std::optional<Value> parseJSONText(std::string_view text, std::string* error, std::size_t maxDepth) {
  std::string clean = isValidUTF8(text) ? std::string(text) : replacingInvalidUTF8(text);
  if (scanJSONText(clean, maxDepth) > maxDepth) {
    if (error) *error = stringf("JSON text nested deeper than %zu levels", maxDepth);
    return std::nullopt;
  }
  Value parsed = Value::parse(clean, nullptr, false);
  if (parsed.is_discarded()) {
    if (error) *error = "The data couldn't be read because it isn't in the correct format.";
    return std::nullopt;
  }
  return parsed;
}

}  // namespace platform
