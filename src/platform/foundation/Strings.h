#pragma once

#include <locale.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform {

// ASCII-only case mapping: names, keys and header fields never depend on the locale.
std::string asciiLower(std::string_view text);
std::string asciiUpper(std::string_view text);
bool equalsIgnoreCase(std::string_view a, std::string_view b);
// Drops ASCII spaces and tabs at both ends (header values, list items).
std::string_view trim(std::string_view text);
bool contains(std::string_view text, std::string_view part);
bool startsWith(std::string_view text, std::string_view prefix);
bool endsWith(std::string_view text, std::string_view suffix);
std::vector<std::string> split(std::string_view text, char separator);
std::string join(const std::vector<std::string>& parts, std::string_view separator);

// Standard base64 without line breaks; decoding refuses anything that is not valid base64.
std::string base64Encode(const std::uint8_t* data, size_t size);
inline std::string base64Encode(const Bytes& bytes) { return base64Encode(bytes.data(), bytes.size()); }
std::optional<Bytes> base64Decode(std::string_view text);
// The same text appended to `out`, written in place: an answer of megabytes is made once.
void appendBase64(std::string& out, const std::uint8_t* data, size_t size);

// The platform's string-to-number rules, the same in every locale (GTK switches the C
// library to the user's, where "12.5" may read as 12). `decimalValue`: after leading blanks,
// the longest decimal number ("12.5", "-3e2"); nullopt when there is none or it is not finite
// ("inf", "nan", "1e999"). `boolValue`: after leading blanks and an optional sign and zeros,
// true when the text starts with 'Y', 'y', 'T', 't' or a digit 1-9.
std::optional<double> decimalValue(std::string_view text);
bool boolValue(std::string_view text);

// The "C" locale, made once: for the C library's "_l" functions (strtod_l) where a number is
// read or written as text. GTK switches the process to the user's locale when it starts, in
// which "1.5" may read as 1 and 1.5 be written "1,5".
locale_t cLocale();

// While it lives, the C library on this thread reads and writes numbers (and classifies
// characters) as in the "C" locale, whatever the process's locale is; the thread's locale
// from before comes back when it goes. For code that is not ours and reads or writes numbers
// through the C library (libplist's "<real>"), and for printf-style formatting.
class ScopedCLocale {
 public:
  ScopedCLocale() : previous_(uselocale(cLocale())) {}
  ~ScopedCLocale() { uselocale(previous_); }
  ScopedCLocale(const ScopedCLocale&) = delete;
  ScopedCLocale& operator=(const ScopedCLocale&) = delete;

 private:
  locale_t previous_;
};

// A random UUID in upper-case 8-4-4-4-12 form.
std::string makeUUID();

// Seconds since the Unix epoch, wall clock, with sub-millisecond precision.
double wallClockSeconds();
// Seconds on a clock that never jumps, for measuring intervals.
double monotonicSeconds();

// Numeric comparison of dotted versions ("9.3" < "13.0"): -1, 0 or 1.
int compareNumericVersions(std::string_view a, std::string_view b);

}  // namespace platform
