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

// True when none of the eight bytes needs a look of its own: no control character, no '"',
// no '\\' and nothing outside ASCII.
bool plainWord(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  auto hasByte = [&](std::uint8_t b) { std::uint64_t x = word ^ (kOnes * b); return (x - kOnes) & ~x & kHighs; };
  return ((word - kOnes * 0x20) & ~word & kHighs) == 0 && (word & kHighs) == 0 && !hasByte('"') && !hasByte('\\');
}

// The same text as the JSON library writes for a string, in long runs instead of byte by
// byte: answers carry strings of megabytes. Text with invalid UTF-8 is left to the library,
// whose replacement rule stays the one rule.
bool appendQuoted(std::string& out, std::string_view text) {
  static const char* const kHex = "0123456789abcdef";
  out += '"';
  size_t at = 0, run = 0;
  while (at < text.size()) {
    if (at + 8 <= text.size()) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + at, sizeof word);
      if (plainWord(word)) {
        at += 8;
        continue;
      }
    }
    auto byte = static_cast<std::uint8_t>(text[at]);
    if (byte >= 0x80) {
      Sequence sequence = readSequence(text, at);
      if (!sequence.valid) return false;
      at += sequence.length;
      continue;
    }
    if (byte >= 0x20 && byte != '"' && byte != '\\') {
      ++at;
      continue;
    }
    out.append(text.substr(run, at - run));
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
    run = ++at;
  }
  out.append(text.substr(run));
  out += '"';
  return true;
}

void appendCompact(std::string& out, const Value& value) {
  switch (value.type()) {
    case Value::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      size_t mark = out.size();
      // Room for a long string at once, still growing geometrically over many of them.
      if (out.capacity() < mark + text.size() + 2) out.reserve(std::max(mark + text.size() + 2, out.capacity() * 2));
      if (!appendQuoted(out, text)) {
        out.resize(mark);
        out += value.dump(-1, ' ', false, Value::error_handler_t::replace);
      }
      return;
    }
    case Value::value_t::array: {
      out += '[';
      bool first = true;
      for (const Value& item : value) {
        if (!first) out += ',';
        first = false;
        appendCompact(out, item);
      }
      out += ']';
      return;
    }
    case Value::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : value.items()) {
        if (!first) out += ',';
        first = false;
        appendCompact(out, Value(key));
        out += ':';
        appendCompact(out, item);
      }
      out += '}';
      return;
    }
    default:
      out += value.dump(-1, ' ', false, Value::error_handler_t::replace);
  }
}

}  // namespace

void appendJSONText(std::string& out, const Value& value) { appendCompact(out, value); }

std::string jsonText(const Value& value, int indent) {
  if (indent >= 0) return value.dump(indent, ' ', false, Value::error_handler_t::replace);
  std::string out;
  appendCompact(out, value);
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
