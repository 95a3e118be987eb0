#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// Text that is always deliverable: plugin results, log records, HTTP headers and file reads
// carry bytes from pages, packages and servers, which need not be valid UTF-8.
namespace platform {

// JSON text of `value`; bytes that are not valid UTF-8 become U+FFFD instead of an error.
// Numbers that are not finite are written as null (as the JSON library does).
std::string jsonText(const Value& value, int indent = -1);
// The compact text of `value` appended to `out`: a large answer is written once, in place.
void appendJSONText(std::string& out, const Value& value);
// Pieces of JSON text for answers written without building a value first, each the same text
// as `appendJSONText` writes for the value. A string that is not valid UTF-8 is refused:
// false, with `out` unchanged. A number that is not finite is written as null.
bool appendJSONString(std::string& out, std::string_view text);
void appendJSONNumber(std::string& out, double number);

bool isValidUTF8(std::string_view bytes);
// `length` UTF-16 code units (a JavaScript string's) appended to `out` as UTF-8. A surrogate
// without its partner becomes U+FFFD, as its escape does in `parseJSONText`.
void appendUTF8FromUTF16(std::string& out, const std::uint16_t* units, std::size_t length);
// `bytes` with every invalid sequence replaced by U+FFFD (one per maximal bad subpart).
std::string replacingInvalidUTF8(std::string_view bytes);

// A "binary string": each byte becomes the code point of the same number (U+0000-U+00FF),
// written as UTF-8, as page script reads a byte string.
std::string binaryString(std::string_view bytes);

// The deepest nesting of arrays and dictionaries taken from a page, a package or a server.
// Everything that walks such a value recursively (copies, comparisons, JSON writing, the
// JSON and property-list checks) stays far from the end of the stack below this depth.
inline constexpr std::size_t kMaxNestingDepth = 256;

// True when arrays and dictionaries in `value` nest deeper than `maxDepth` (a scalar has
// depth 0, `[]` depth 1). Walks without recursion, so it is safe on any value.
bool nestedDeeperThan(const Value& value, std::size_t maxDepth = kMaxNestingDepth);

// Parses JSON text from outside. Escapes of lone UTF-16 surrogates (which JavaScript strings
// may hold) become U+FFFD, as do bytes that are not valid UTF-8, so such text is never
// dropped. Text nested deeper than `maxDepth` is refused before anything is built. The text
// is taken whole: anything but blanks after the value refuses it, a NUL byte included (the
// JSON library stops reading at a NUL after the value, as at the end of a C string). Numbers
// read the same in every locale. On failure `error`, when given, says why.
std::optional<Value> parseJSONText(std::string_view text, std::string* error = nullptr,
                                   std::size_t maxDepth = kMaxNestingDepth);

// Reads the elements of JSON text that is an array one by one, by the rules of
// `parseJSONText`, so that the first ones can be put to use while the rest are still being
// read. `check` goes over the whole text first without building anything: an element is
// handed out only from text that parses whole. The text must outlive the reader.
class JSONArrayReader {
 public:
  explicit JSONArrayReader(std::string_view text, std::size_t maxDepth = kMaxNestingDepth);
  ~JSONArrayReader();
  JSONArrayReader(const JSONArrayReader&) = delete;
  JSONArrayReader& operator=(const JSONArrayReader&) = delete;

  enum class Shape { Array, OtherValue, Invalid };
  // Checks the whole text. `Invalid` is text that `parseJSONText` refuses, with the same
  // `error`; `OtherValue` is JSON text of something other than an array.
  Shape check(std::string* error = nullptr);
  // After a check that found an array: its next element, and how deeply its text nests (a
  // scalar 0, `[]` 1; never less than the element, more only where a key given again had
  // held something deeper). False after the last one.
  bool next(Value& element, std::size_t* depth = nullptr);
  // How far into the text the elements handed out so far reach, in characters.
  std::size_t position() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform
