#include "platform/foundation/Strings.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace platform {

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string asciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

namespace {
char lowerASCII(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  // Every header lookup comes through here: compare in place rather than lowering copies.
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lowerASCII(a[i]) != lowerASCII(b[i])) return false;
  return true;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t pos = text.find(separator, start);
    if (pos == std::string_view::npos) {
      parts.emplace_back(text.substr(start));
      return parts;
    }
    parts.emplace_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each byte as a Base64 digit, or -1.
struct DecodeTable {
  std::int8_t value[256];
  constexpr DecodeTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  }
};
constexpr DecodeTable kDecode;

// The two digits of each 12 bits: half as many look-ups as one digit at a time.
struct PairTable {
  char pair[4096][2];
  constexpr PairTable() : pair() {
    for (int i = 0; i < 4096; ++i) {
      pair[i][0] = kAlphabet[i >> 6];
      pair[i][1] = kAlphabet[i & 63];
    }
  }
};
constexpr PairTable kPairs;

// The Base64 text of `size` bytes written at `to`, which has room for all of it (padding
// included). Payloads of megabytes pass through here, so the text is written where it stays.
void encodeBase64Into(char* to, const std::uint8_t* data, size_t size) {
  size_t i = 0;
  for (; i + 2 < size; i += 3, to += 4) {
    std::uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    std::memcpy(to, kPairs.pair[v >> 12], 2);
    std::memcpy(to + 2, kPairs.pair[v & 0xfff], 2);
  }
  if (i < size) {
    std::uint32_t v = data[i] << 16;
    if (i + 1 < size) v |= data[i + 1] << 8;
    to[0] = kAlphabet[(v >> 18) & 63];
    to[1] = kAlphabet[(v >> 12) & 63];
    to[2] = i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
    to[3] = '=';
  }
}
}  // namespace

std::string base64Encode(const std::uint8_t* data, size_t size) {
  std::string out((size + 2) / 3 * 4, '\0');
  encodeBase64Into(out.data(), data, size);
  return out;
}

void appendBase64(std::string& out, const std::uint8_t* data, size_t size) {
  size_t at = out.size();
  out.resize(at + (size + 2) / 3 * 4);
  encodeBase64Into(out.data() + at, data, size);
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = text[text.size() - 2] == '=' ? 2 : 1;
  Bytes out(text.size() / 4 * 3 - pad);
  auto digit = [&](size_t at) { return kDecode.value[static_cast<unsigned char>(text[at])]; };
  size_t whole = pad ? text.size() - 4 : text.size();
  size_t o = 0;
  for (size_t i = 0; i < whole; i += 4, o += 3) {
    int a = digit(i), b = digit(i + 1), c = digit(i + 2), d = digit(i + 3);
    // Any -1 (a byte outside the alphabet, '=' included) makes the sum negative.
    if ((a | b | c | d) < 0) return std::nullopt;
    std::uint32_t n = (a << 18) | (b << 12) | (c << 6) | d;
    out[o] = static_cast<std::uint8_t>(n >> 16);
    out[o + 1] = static_cast<std::uint8_t>(n >> 8);
    out[o + 2] = static_cast<std::uint8_t>(n);
  }
  if (pad) {
    // Padding only at the end of the last group, at most two characters of it.
    int a = digit(whole), b = digit(whole + 1), c = pad == 1 ? digit(whole + 2) : 0;
    if ((a | b | c) < 0) return std::nullopt;
    std::uint32_t n = (a << 18) | (b << 12) | (c << 6);
    out[o] = static_cast<std::uint8_t>(n >> 16);
    if (pad == 1) out[o + 1] = static_cast<std::uint8_t>(n >> 8);
  }
  return out;
}

std::string makeUUID() {
  gchar* raw = g_uuid_string_random();
  std::string out = asciiUpper(raw);
  g_free(raw);
  return out;
}

double monotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int compareNumericVersions(std::string_view a, std::string_view b) {
  auto pa = split(a, '.');
  auto pb = split(b, '.');
  for (size_t i = 0; i < std::max(pa.size(), pb.size()); ++i) {
    long x = i < pa.size() ? std::strtol(pa[i].c_str(), nullptr, 10) : 0;
    long y = i < pb.size() ? std::strtol(pb[i].c_str(), nullptr, 10) : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

double wallClockSeconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::optional<double> decimalValue(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
    ++at;
  if (at < text.size() && text[at] == '+') ++at;
  // Only digits, a point, a sign and an exponent make a number here; "inf" and "nan" do not.
  if (at >= text.size() || !(std::isdigit(static_cast<unsigned char>(text[at])) || text[at] == '-' || text[at] == '.'))
    return std::nullopt;
  double value = 0;
  auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), value);
  if (error != std::errc() || !std::isfinite(value)) return std::nullopt;
  return value;
}

locale_t cLocale() {
  // Never freed: threads may hold it as their locale until the process ends. The C library
  // hands out its own built-in "C" locale here, so this cannot fail for want of files.
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return locale;
}

bool boolValue(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
    ++at;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  while (at < text.size() && text[at] == '0') ++at;
  if (at >= text.size()) return false;
  char c = text[at];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace platform
