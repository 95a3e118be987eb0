// The one-pass JSON reader (`platform::parseJSONText`), which reads every message the page
// sends, against the JSON library's own parser on the same bytes. The reader's documented
// differences are applied to the library's input first, or checked on their own:
//  - bytes that are not valid UTF-8 become U+FFFD, which the library would refuse;
//  - the escape of a lone UTF-16 surrogate becomes "\ufffd", which the library would refuse;
//  - text nested deeper than the reader's bound is refused, with its own error;
//  - a NUL byte refuses the whole text. The library stops reading at a NUL after the value
//    (the end of a C string); the reader takes the text it is handed whole, and a NUL is never
//    part of JSON text outside a string, where it is written "\u0000".
// Everything else must read to the same value, number types and the sign of zero included, or
// be refused by both. What the reader gives is then written (`jsonText`), which must be the
// library's text of it, and read again to the same value. Read element by element (as command
// batches are), the text must give the same elements or the same refusal.
// It runs in a German user's locale, as the shell does once GTK has started: numbers there are
// written "1,5" by the C library.
#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/JSONText.h"

using platform::Value;

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of "\uXXXX" at `at`, or -1.
int unitAt(const std::string& text, size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
  int unit = 0;
  for (size_t i = at + 2; i < at + 6; ++i) {
    int digit = hexDigit(text[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

// `text` with every escape of a surrogate that is not half of a pair, inside a string, written
// "\ufffd". Outside strings a backslash is no JSON anyway.
std::string withoutLoneSurrogates(std::string text) {
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!inString) {
      inString = text[i] == '"';
      continue;
    }
    if (text[i] == '"') {
      inString = false;
      continue;
    }
    if (text[i] != '\\') continue;
    int unit = unitAt(text, i);
    if (unit < 0) {
      ++i;  // a two-character escape (or a broken one, which both refuse)
      continue;
    }
    bool high = unit >= 0xD800 && unit <= 0xDBFF, low = unit >= 0xDC00 && unit <= 0xDFFF;
    int next = unitAt(text, i + 6);
    if (high && next >= 0xDC00 && next <= 0xDFFF) {
      i += 11;
      continue;
    }
    if (high || low) text.replace(i + 2, 4, "fffd");
    i += 5;
  }
  return text;
}

// The same value, kind for kind: 1 and 1.0, 0 and -0.0, 5 and 5u are different here, but
// with `anySignedness` an integer is the same as an unsigned one of its value: a signed 0
// (read from "-0") is written "0", which reads as unsigned.
bool same(const Value& a, const Value& b, bool anySignedness = false) {
  if (anySignedness && a.is_number_integer() && b.is_number_integer()) return a == b;
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Value::value_t::object: {
      if (a.size() != b.size()) return false;
      for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib)
        if (ia.key() != ib.key() || !same(*ia, *ib, anySignedness)) return false;
      return true;
    }
    case Value::value_t::array: {
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i], anySignedness)) return false;
      return true;
    }
    case Value::value_t::number_float: {
      double x = a.get<double>(), y = b.get<double>();
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    default:
      return a == b;
  }
}

[[noreturn]] void mismatch(const char* what, std::string_view input, const std::string& detail) {
  std::fprintf(stderr, "json_text_fuzzer: %s\n  input (%zu bytes): %.*s\n  %s\n", what,
               input.size(), static_cast<int>(std::min<size_t>(input.size(), 400)), input.data(),
               detail.c_str());
  std::abort();
}

std::string shown(const Value& value) {
  std::string text = value.dump(-1, ' ', false, Value::error_handler_t::replace);
  return text.size() > 400 ? text.substr(0, 400) + "..." : text;
}

// Read element by element, as a command batch is, the same text must give the same elements
// (with a depth no less than each one's) or the same refusal, and never an element out of text
// that does not read whole.
void checkElementByElement(std::string_view input, const std::optional<Value>& whole,
                           const std::string& wholeError) {
  using Shape = platform::JSONArrayReader::Shape;
  platform::JSONArrayReader reader(input);
  std::string error;
  Shape shape = reader.check(&error);
  Value element;
  std::size_t depth = 0, index = 0;
  if (!whole) {
    if (shape != Shape::Invalid || error != wholeError)
      mismatch("refused whole, not element by element", input, "error: " + error + "; whole: " + wholeError);
    if (reader.next(element)) mismatch("an element came out of text that does not read", input, shown(element));
    return;
  }
  if (shape != (whole->is_array() ? Shape::Array : Shape::OtherValue))
    mismatch("read whole, but element by element as another shape", input, "whole: " + shown(*whole));
  while (reader.next(element, &depth)) {
    if (index >= whole->size() || !same(element, (*whole)[index]))
      mismatch("an element read differently", input, "element " + std::to_string(index) + ": " + shown(element));
    if (platform::nestedDeeperThan(element, depth))
      mismatch("an element nests deeper than its depth says", input, "depth " + std::to_string(depth));
    ++index;
  }
  if (whole->is_array() && index != whole->size())
    mismatch("elements missing", input, std::to_string(index) + " of " + std::to_string(whole->size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // As GTK does for a user whose environment names this locale.
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8") ||
      std::strcmp(std::localeconv()->decimal_point, ",") != 0) {
    std::fprintf(stderr,
                 "json_text_fuzzer: the de_DE.UTF-8 locale (decimal comma) is not installed; "
                 "scripts/setup.sh generates it.\n");
    std::exit(2);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto ours = platform::parseJSONText(input, &error);
  checkElementByElement(input, ours, error);

  std::string prepared = withoutLoneSurrogates(platform::replacingInvalidUTF8(input));
  if (prepared.find('\0') != std::string::npos) {
    if (ours) mismatch("text with a NUL byte was read", input, "read as " + shown(*ours));
    return 0;
  }
  Value theirs = Value::parse(prepared.begin(), prepared.end(), nullptr, false);
  if (theirs.is_discarded()) {
    if (ours) mismatch("text the library refuses was read", input, "read as " + shown(*ours));
    return 0;
  }
  if (platform::nestedDeeperThan(theirs)) {
    if (ours || error.find("nested deeper than") == std::string::npos)
      mismatch("text nested too deep was not refused as such", input, "error: " + error);
    return 0;
  }
  if (!ours)
    mismatch("text the library reads was refused", input,
             "error: " + error + "; library: " + shown(theirs));
  if (!same(*ours, theirs))
    mismatch("read differently", input,
             "reader: " + shown(*ours) + "\n  library: " + shown(theirs));

  std::string written = platform::jsonText(*ours);
  std::string expected = ours->dump(-1, ' ', false, Value::error_handler_t::replace);
  if (written != expected)
    mismatch("written differently", input, "writer: " + written + "\n  library: " + expected);
  auto again = platform::parseJSONText(written);
  if (!again || !same(*again, *ours, true))
    mismatch("what was written does not read back", input, "written: " + written);
  return 0;
}
