#include "platform/foundation/JSONText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

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

// The length of the run at the start of `text` in which no byte needs a look of its own: no
// control character, no '"', no '\\' and, with `stopAtNonASCII`, nothing outside ASCII.
// Strings of megabytes pass here, sixteen bytes at a time where the processor has the
// instructions for it, eight otherwise.
size_t plainRun(std::string_view text, bool stopAtNonASCII) {
  const char* data = text.data();
  size_t at = 0;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), lastControl = _mm_set1_epi8(0x1F);
  for (; at + 16 <= text.size(); at += 16) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash));
    // Unsigned: a byte no larger than 0x1F is its own minimum with 0x1F.
    stop = _mm_or_si128(stop, _mm_cmpeq_epi8(_mm_min_epu8(chunk, lastControl), chunk));
    unsigned mask = unsigned(_mm_movemask_epi8(stop));
    if (stopAtNonASCII) mask |= unsigned(_mm_movemask_epi8(chunk));
    if (mask) return at + unsigned(__builtin_ctz(mask));
  }
#endif
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + at, sizeof word);
    auto has = [&](std::uint8_t b) { std::uint64_t x = word ^ (kOnes * b); return (x - kOnes) & ~x & kHighs; };
    if (((word - kOnes * 0x20) & ~word & kHighs) || has('"') || has('\\') || (stopAtNonASCII && (word & kHighs)))
      break;
  }
  for (; at < text.size(); ++at) {
    auto byte = static_cast<std::uint8_t>(data[at]);
    if (byte == '"' || byte == '\\' || byte < 0x20 || (stopAtNonASCII && byte >= 0x80)) break;
  }
  return at;
}

// The same text as the JSON library writes for a string, in long runs instead of byte by
// byte: answers carry strings of megabytes. Text with invalid UTF-8 is left to the library,
// whose replacement rule stays the one rule.
bool appendQuoted(std::string& out, std::string_view text) {
  static const char* const kHex = "0123456789abcdef";
  out += '"';
  size_t at = 0, run = 0;
  while (at < text.size()) {
    at += plainRun(text.substr(at), true);
    if (at >= text.size()) break;
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

template <typename Integer>
void appendDecimal(std::string& out, Integer number) {
  char buffer[24];
  auto written = std::to_chars(buffer, buffer + sizeof buffer, number);
  out.append(buffer, static_cast<size_t>(written.ptr - buffer));
}

void appendCompact(std::string& out, const Value& value) {
  switch (value.type()) {
    case Value::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      size_t mark = out.size();
      // Room for a long string at once, still growing geometrically over many of them, with a
      // little more for what closes the text around it: a string of megabytes is copied once.
      constexpr size_t kClosingRoom = 64;
      if (out.capacity() < mark + text.size() + 2)
        out.reserve(std::max(mark + text.size() + 2 + kClosingRoom, out.capacity() * 2));
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
      for (const auto& [key, item] : value.get_ref<const Value::object_t&>()) {
        if (!first) out += ',';
        first = false;
        // Written in place: a key made into a value of its own would be a copy for each.
        size_t mark = out.size();
        if (!appendQuoted(out, key)) {
          out.resize(mark);
          out += Value(key).dump(-1, ' ', false, Value::error_handler_t::replace);
        }
        out += ':';
        appendCompact(out, item);
      }
      out += '}';
      return;
    }
    // Scalars without the library's writer, which is set up anew for every value.
    case Value::value_t::null: out += "null"; return;
    case Value::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return;
    case Value::value_t::number_integer: appendDecimal(out, value.get<std::int64_t>()); return;
    case Value::value_t::number_unsigned: appendDecimal(out, value.get<std::uint64_t>()); return;
    default:
      out += value.dump(-1, ' ', false, Value::error_handler_t::replace);
  }
}

}  // namespace

void appendJSONText(std::string& out, const Value& value) { appendCompact(out, value); }

bool appendJSONString(std::string& out, std::string_view text) {
  size_t mark = out.size();
  if (appendQuoted(out, text)) return true;
  out.resize(mark);
  return false;
}

void appendJSONNumber(std::string& out, double number) {
  if (!std::isfinite(number)) {
    out += "null";
    return;
  }
  // The library's own shortest form, so that the text is the one its writer gives.
  char buffer[64];
  char* end = nlohmann::detail::to_chars(buffer, buffer + sizeof buffer, number);
  out.append(buffer, static_cast<size_t>(end - buffer));
}

std::string jsonText(const Value& value, int indent) {
  if (indent >= 0) return value.dump(indent, ' ', false, Value::error_handler_t::replace);
  std::string out;
  appendCompact(out, value);
  return out;
}

void appendUTF8FromUTF16(std::string& out, const std::uint16_t* units, std::size_t length) {
  // Written through a small buffer, so that `out` grows once for text that is all ASCII and
  // is never filled with anything but the text itself. Runs of ASCII go sixteen units at a
  // time where the processor has the instructions for it.
  constexpr size_t kChunk = 16384;
  char chunk[kChunk];
  size_t used = 0, at = 0;
  out.reserve(out.size() + length);
  while (at < length) {
    if (used > kChunk - 16) {
      out.append(chunk, used);
      used = 0;
    }
#if defined(__SSE2__)
    const __m128i nonASCII = _mm_set1_epi16(static_cast<short>(0xFF80));
    while (at + 16 <= length && used + 16 <= kChunk) {
      __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + at));
      __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + at + 8));
      __m128i outside = _mm_and_si128(_mm_or_si128(low, high), nonASCII);
      if (_mm_movemask_epi8(_mm_cmpeq_epi8(outside, _mm_setzero_si128())) != 0xFFFF) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(chunk + used), _mm_packus_epi16(low, high));
      used += 16;
      at += 16;
    }
#endif
    if (at >= length || used > kChunk - 16) continue;
    std::uint32_t unit = units[at++];
    if (unit < 0x80) {
      chunk[used++] = static_cast<char>(unit);
      continue;
    }
    if (unit < 0x800) {
      chunk[used++] = static_cast<char>(0xC0 | (unit >> 6));
      chunk[used++] = static_cast<char>(0x80 | (unit & 0x3F));
      continue;
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      if (unit <= 0xDBFF && at < length && units[at] >= 0xDC00 && units[at] <= 0xDFFF) {
        std::uint32_t code = 0x10000 + ((unit - 0xD800) << 10) + (units[at++] - 0xDC00);
        chunk[used++] = static_cast<char>(0xF0 | (code >> 18));
        chunk[used++] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        chunk[used++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        chunk[used++] = static_cast<char>(0x80 | (code & 0x3F));
        continue;
      }
      unit = 0xFFFD;
    }
    chunk[used++] = static_cast<char>(0xE0 | (unit >> 12));
    chunk[used++] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    chunk[used++] = static_cast<char>(0x80 | (unit & 0x3F));
  }
  out.append(chunk, used);
}

bool isValidUTF8(std::string_view bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
#if defined(__SSE2__)
    // ASCII, as most text is, sixty-four bytes at a time.
    while (at + 64 <= bytes.size()) {
      const auto* block = reinterpret_cast<const __m128i*>(bytes.data() + at);
      __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(block), _mm_loadu_si128(block + 1)),
                                 _mm_or_si128(_mm_loadu_si128(block + 2), _mm_loadu_si128(block + 3)));
      if (_mm_movemask_epi8(any)) break;
      at += 64;
    }
#endif
    if (at + 8 <= bytes.size()) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + at, sizeof word);
      if ((word & 0x8080808080808080ull) == 0) {
        at += 8;
        continue;
      }
    }
    if (at >= bytes.size()) break;
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

// JSON text (valid UTF-8) read in one pass, into the values the JSON library's own parser
// makes of it: the same number types, the last of duplicate keys, a byte order mark skipped.
// Strings are copied in long runs rather than byte by byte: commands carry strings of
// megabytes. Escapes of lone surrogates become U+FFFD. Containers are kept on a stack of
// their own, never on the call stack.
class Reader {
 public:
  enum class Failure { None, Format, Depth };

  Reader(std::string_view text, std::size_t maxDepth) : text_(text), maxDepth_(maxDepth) {}

  Failure read(Value& root) {
    skipByteOrderMark();
    if (broken()) return Failure::Format;
    if (Failure failure = readValue(root); failure != Failure::None) return failure;
    skipSpace();
    return at_ == text_.size() ? Failure::None : Failure::Format;
  }

  // A byte order mark at the start is skipped; a broken one is refused (the cursor is left
  // past every end, which `broken` tells).
  void skipByteOrderMark() {
    if (text_.size() >= 1 && static_cast<std::uint8_t>(text_[0]) == 0xEF) {
      if (text_.substr(0, 3) != "\xEF\xBB\xBF") {
        at_ = -1;
        return;
      }
      at_ = 3;
    }
  }

  // Reads the whole value at the cursor (after any space) into `root` and leaves the cursor
  // right after it. `deepest()` tells afterwards how deeply it nested.
  Failure readValue(Value& root) {
    deepest_ = 0;
    Value* slot = &root;
    while (true) {
      skipSpace();
      Value* opened = nullptr;
      if (Failure failure = value(*slot, opened); failure != Failure::None) return failure;
      if (opened) {
        slot = opened;
        continue;
      }
      // After a value: the next slot of the innermost open container, or its end.
      while (true) {
        if (open_.empty()) return Failure::None;
        skipSpace();
        Value& container = *open_.back();
        char next = peek();
        if (next == ',') {
          ++at_;
          slot = nextSlot(container);
          if (!slot) return Failure::Format;
          break;
        }
        if (next == (container.is_array() ? ']' : '}')) {
          ++at_;
          open_.pop_back();
          continue;
        }
        return Failure::Format;
      }
    }
  }

  // The same grammar and limits as `readValue`, building nothing: whether the text at the
  // cursor is one whole value. Numbers are read as `readValue` reads them (one that is too
  // large for a double is no number).
  Failure skipValue() {
    std::vector<char> closers;  // what closes each open container
    while (true) {
      skipSpace();
      char c = peek();
      bool closed = true;
      if (c == '{' || c == '[') {
        ++at_;
        if (closers.size() + 1 > maxDepth_) return Failure::Depth;
        char closer = c == '{' ? '}' : ']';
        skipSpace();
        if (peek() == closer) {
          ++at_;
        } else {
          closers.push_back(closer);
          closed = false;
          if (closer == '}' && !skipKey()) return Failure::Format;
        }
      } else if (c == '"') {
        if (!string(nullptr)) return Failure::Format;
      } else if (c == 't' || c == 'f' || c == 'n') {
        std::string_view word = c == 't' ? "true" : c == 'f' ? "false" : "null";
        if (text_.substr(at_, word.size()) != word) return Failure::Format;
        at_ += word.size();
      } else {
        Value number;
        if (!this->number(number)) return Failure::Format;
      }
      if (!closed) continue;
      while (true) {
        if (closers.empty()) return Failure::None;
        skipSpace();
        char next = peek();
        if (next == ',') {
          ++at_;
          skipSpace();
          if (closers.back() == '}' && !skipKey()) return Failure::Format;
          break;
        }
        if (next == closers.back()) {
          ++at_;
          closers.pop_back();
          continue;
        }
        return Failure::Format;
      }
    }
  }

  void skipSpace() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t'))
      ++at_;
  }
  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  bool atEnd() const { return at_ >= text_.size(); }
  void advance() { ++at_; }
  std::size_t position() const { return at_; }
  bool broken() const { return at_ == std::size_t(-1); }
  std::size_t deepest() const { return deepest_; }

 private:
  // Reads the value at the cursor into `slot`. A container that is not empty is left open,
  // and `opened` is its first slot.
  Failure value(Value& slot, Value*& opened) {
    switch (peek()) {
      case '{':
      case '[': {
        bool isObject = peek() == '{';
        ++at_;
        if (open_.size() + 1 > maxDepth_) return Failure::Depth;
        deepest_ = std::max(deepest_, open_.size() + 1);
        slot = isObject ? Value::object() : Value::array();
        skipSpace();
        if (peek() == (isObject ? '}' : ']')) {
          ++at_;
          return Failure::None;
        }
        open_.push_back(&slot);
        opened = firstSlot(slot);
        return opened ? Failure::None : Failure::Format;
      }
      case '"': {
        std::string text;
        if (!string(&text)) return Failure::Format;
        slot = std::move(text);
        return Failure::None;
      }
      case 't': return literal("true", true, slot);
      case 'f': return literal("false", false, slot);
      case 'n': return literal("null", nullptr, slot);
      default: return number(slot) ? Failure::None : Failure::Format;
    }
  }

  Value* firstSlot(Value& container) {
    if (container.is_array()) {
      container.get_ref<Value::array_t&>().emplace_back();
      return &container.get_ref<Value::array_t&>().back();
    }
    return keySlot(container);
  }
  Value* nextSlot(Value& container) {
    skipSpace();
    return firstSlot(container);
  }
  // Reads `"key" :` and answers the key's slot (a key given again is given its last value).
  Value* keySlot(Value& object) {
    std::string key;
    if (peek() != '"' || !string(&key)) return nullptr;
    skipSpace();
    if (peek() != ':') return nullptr;
    ++at_;
    Value* slot = &object.get_ref<Value::object_t&>()[std::move(key)];
    *slot = nullptr;
    return slot;
  }

  // Checks `"key" :` at the cursor, as `keySlot` reads it.
  bool skipKey() {
    if (peek() != '"' || !string(nullptr)) return false;
    skipSpace();
    if (peek() != ':') return false;
    ++at_;
    return true;
  }

  template <typename T>
  Failure literal(std::string_view word, T literalValue, Value& slot) {
    if (text_.substr(at_, word.size()) != word) return Failure::Format;
    at_ += word.size();
    slot = literalValue;
    return Failure::None;
  }

  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  // The code unit of "XXXX" at the cursor, or -1.
  int unit() {
    if (at_ + 4 > text_.size()) return -1;
    int value = 0;
    for (int i = 0; i < 4; ++i) {
      int digit = hex(text_[at_ + i]);
      if (digit < 0) return -1;
      value = value * 16 + digit;
    }
    at_ += 4;
    return value;
  }
  static void appendUTF8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  // The string at the cursor (its opening quote), unescaped into `out` (or only
  // checked, without one).
  bool string(std::string* out) {
    ++at_;
    while (true) {
      size_t run = at_;
      // Bytes of 0x80 and above are parts of valid sequences here; only controls, quotes and
      // backslashes stop the run.
      at_ += plainRun(text_.substr(at_), false);
      if (out) out->append(text_.substr(run, at_ - run));
      if (at_ >= text_.size()) return false;
      char c = text_[at_++];
      if (c == '"') return true;
      if (c != '\\') return false;  // a control character
      if (at_ >= text_.size()) return false;
      std::string scratch;  // an escape that is only checked is written here (no allocation)
      std::string& to = out ? *out : scratch;
      switch (text_[at_++]) {
        case '"': to += '"'; break;
        case '\\': to += '\\'; break;
        case '/': to += '/'; break;
        case 'b': to += '\b'; break;
        case 'f': to += '\f'; break;
        case 'n': to += '\n'; break;
        case 'r': to += '\r'; break;
        case 't': to += '\t'; break;
        case 'u': {
          int code = unit();
          if (code < 0) return false;
          if (code >= 0xD800 && code <= 0xDBFF && text_.substr(at_, 2) == "\\u") {
            size_t mark = at_;
            at_ += 2;
            int low = unit();
            if (low >= 0xDC00 && low <= 0xDFFF) {
              appendUTF8(to, 0x10000 + ((static_cast<std::uint32_t>(code) - 0xD800) << 10) +
                                  (static_cast<std::uint32_t>(low) - 0xDC00));
              break;
            }
            at_ = mark;  // the next escape is read on its own
          }
          if (code >= 0xD800 && code <= 0xDFFF) code = 0xFFFD;
          appendUTF8(to, static_cast<std::uint32_t>(code));
          break;
        }
        default: return false;
      }
    }
  }

  static bool isDigit(char c) { return c >= '0' && c <= '9'; }
  // A number as JSON writes it: an integer fits the JSON library's signed (negative) or
  // unsigned type, else it is read as a double, which must be finite.
  bool number(Value& slot) {
    size_t start = at_;
    bool negative = peek() == '-';
    if (negative) ++at_;
    if (peek() == '0') {
      ++at_;
    } else if (isDigit(peek())) {
      while (isDigit(peek())) ++at_;
    } else {
      return false;
    }
    bool integer = true;
    if (peek() == '.') {
      integer = false;
      ++at_;
      if (!isDigit(peek())) return false;
      while (isDigit(peek())) ++at_;
    }
    if (peek() == 'e' || peek() == 'E') {
      integer = false;
      ++at_;
      if (peek() == '+' || peek() == '-') ++at_;
      if (!isDigit(peek())) return false;
      while (isDigit(peek())) ++at_;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + at_;
    if (integer) {
      if (negative) {
        std::int64_t value = 0;
        auto [end, failure] = std::from_chars(first, last, value);
        if (failure == std::errc() && end == last) {
          slot = value;
          return true;
        }
      } else {
        std::uint64_t value = 0;
        auto [end, failure] = std::from_chars(first, last, value);
        if (failure == std::errc() && end == last) {
          slot = value;
          return true;
        }
      }
    }
    double value = 0;
    auto [end, failure] = std::from_chars(first, last, value);
    if (end != last || (failure != std::errc() && failure != std::errc::result_out_of_range)) return false;
    if (failure == std::errc::result_out_of_range) {
      // Too small rounds to zero with its sign (as strtod has it); too large is no number.
      // Read in the "C" locale: in the user's, which GTK sets, "1.5e-400" would read as 1.
      value = strtod_l(std::string(first, last).c_str(), nullptr, cLocale());
    }
    if (!std::isfinite(value)) return false;
    slot = value;
    return true;
  }

  std::string_view text_;
  std::size_t maxDepth_;
  std::size_t at_ = 0;
  std::vector<Value*> open_;
  std::size_t deepest_ = 0;
};

}  // namespace

namespace {
// Says why text did not parse: text nested too deep is refused as such, however it goes on.
void describeFailure(std::string_view text, Reader::Failure failure, std::size_t maxDepth, std::string* error) {
  if (failure == Reader::Failure::Format) {
    std::string scanned(text);
    if (scanJSONText(scanned, maxDepth) > maxDepth) failure = Reader::Failure::Depth;
  }
  if (!error) return;
  if (failure == Reader::Failure::Depth)
    *error = stringf("JSON text nested deeper than %zu levels", maxDepth);
  else
    *error = "The data couldn't be read because it isn't in the correct format.";
}
}  // namespace

std::optional<Value> parseJSONText(std::string_view text, std::string* error, std::size_t maxDepth) {
  std::string replaced;
  if (!isValidUTF8(text)) {
    replaced = replacingInvalidUTF8(text);
    text = replaced;
  }
  Value parsed;
  Reader::Failure failure = Reader(text, maxDepth).read(parsed);
  if (failure != Reader::Failure::None) {
    describeFailure(text, failure, maxDepth, error);
    return std::nullopt;
  }
  return parsed;
}

struct JSONArrayReader::State {
  State(std::string_view text, std::size_t maxDepth) : maxDepth(maxDepth) {
    if (!isValidUTF8(text)) {
      replaced = replacingInvalidUTF8(text);
      text = replaced;
    }
    this->text = text;
  }
  std::string replaced;
  std::string_view text;
  std::size_t maxDepth;
  std::optional<Reader> reader;  // on the first element once the text is known to be an array
  bool done = false;
};

JSONArrayReader::JSONArrayReader(std::string_view text, std::size_t maxDepth)
    : state_(std::make_unique<State>(text, maxDepth)) {}

JSONArrayReader::~JSONArrayReader() = default;

JSONArrayReader::Shape JSONArrayReader::check(std::string* error) {
  State& state = *state_;
  state.reader.reset();
  Reader whole(state.text, state.maxDepth);
  whole.skipByteOrderMark();
  Reader::Failure failure = Reader::Failure::Format;
  if (!whole.broken()) {
    failure = whole.skipValue();
    whole.skipSpace();
    if (failure == Reader::Failure::None && !whole.atEnd()) failure = Reader::Failure::Format;
  }
  if (failure != Reader::Failure::None) {
    describeFailure(state.text, failure, state.maxDepth, error);
    return Shape::Invalid;
  }
  // Whole and well formed: its elements can be read without a failure.
  Reader& reader = state.reader.emplace(state.text, state.maxDepth > 0 ? state.maxDepth - 1 : 0);
  reader.skipByteOrderMark();
  reader.skipSpace();
  if (reader.peek() != '[') {
    state.reader.reset();
    return Shape::OtherValue;
  }
  reader.advance();
  reader.skipSpace();
  state.done = reader.peek() == ']';
  return Shape::Array;
}

bool JSONArrayReader::next(Value& element, std::size_t* depth) {
  State& state = *state_;
  if (!state.reader || state.done) return false;
  Reader& reader = *state.reader;
  // The text was checked whole: a failure here would be a reader that disagrees with its own
  // check, and ends the elements rather than handing out part of one.
  if (reader.readValue(element) != Reader::Failure::None) {
    state.done = true;
    return false;
  }
  if (depth) *depth = reader.deepest();
  reader.skipSpace();
  if (reader.peek() == ',') {
    reader.advance();
  } else {
    state.done = true;
  }
  return true;
}

std::size_t JSONArrayReader::position() const {
  return state_->reader ? state_->reader->position() : 0;
}

}  // namespace platform
