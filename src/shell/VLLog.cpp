#include "shell/VLLog.h"

#include <algorithm>
#include <cstdio>

#include "shell/VLLoggerEngine.h"

namespace {

using Milliseconds = std::chrono::milliseconds;
constexpr std::int64_t kMillisecondsPerDay = 86'400'000;
constexpr std::int64_t kNanosecondsPerMillisecond = 1'000'000;

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian calendar), so that no
// conversion ever goes through the process's time zone.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

void civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
}

bool isLeap(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned daysInMonth(std::int64_t year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

// Reads `count` ASCII digits at `position`.
bool digits(const std::string& text, size_t position, size_t count, unsigned& value) {
  value = 0;
  for (size_t i = position; i < position + count; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return true;
}

std::int64_t millisecondsSince1970(VLDate date) {
  return std::chrono::floor<Milliseconds>(date.time_since_epoch()).count();
}

}  // namespace

std::optional<VLDate> dateFromISO8061String(const std::string& text) {
  // yyyy-MM-ddTHH:mm:ss.SSSZ
  if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != '.' || text[23] != 'Z')
    return std::nullopt;
  unsigned year, month, day, hour, minute, second, millisecond;
  if (!digits(text, 0, 4, year) || !digits(text, 5, 2, month) || !digits(text, 8, 2, day) ||
      !digits(text, 11, 2, hour) || !digits(text, 14, 2, minute) || !digits(text, 17, 2, second) ||
      !digits(text, 20, 3, millisecond))
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59)
    return std::nullopt;
  std::int64_t days = daysFromCivil(year, month, day);
  // Four-digit years keep this within ±3e14 ms; the ticks of a VLDate hold only ±292 years.
  std::int64_t ms = days * kMillisecondsPerDay +
                    ((static_cast<std::int64_t>(hour) * 60 + minute) * 60 + second) * 1000 +
                    millisecond;
  constexpr auto kTicksPerMillisecond =
      std::chrono::duration_cast<VLDate::duration>(Milliseconds(1)).count();
  VLDate::duration::rep ticks;
  if (__builtin_mul_overflow(ms, kTicksPerMillisecond, &ticks)) return std::nullopt;
  return VLDate(VLDate::duration(ticks));
}

std::optional<std::int64_t> VLUnixNanoFromMilliseconds(std::int64_t milliseconds) {
  std::int64_t nanoseconds;
  if (milliseconds < 0 ||
      __builtin_mul_overflow(milliseconds, kNanosecondsPerMillisecond, &nanoseconds))
    return std::nullopt;
  return nanoseconds;
}

std::string VLTruncatedText(std::string text, std::size_t most) {
  most = std::max<std::size_t>(most, 64);
  if (text.size() <= most) return text;
  const std::string mark = " [truncated: " + std::to_string(text.size()) + " bytes in all]";
  std::size_t keep = most - mark.size();
  // Never cut a UTF-8 sequence: back up over its continuation bytes to its lead byte.
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  text.resize(keep);
  text += mark;
  return text;
}

namespace {

std::optional<std::string> validHexId(const std::string& text, std::size_t digits) {
  if (text.size() != digits) return std::nullopt;
  std::string id = text;
  bool allZero = true;
  for (char& c : id) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    allZero = allZero && c == '0';
  }
  if (allZero) return std::nullopt;
  return id;
}

VLLog::Text bounded(VLLog::Text text, std::size_t most) {
  if (text) text = VLTruncatedText(std::move(*text), most);
  return text;
}

}  // namespace

std::optional<std::string> VLValidTraceId(const std::string& text) { return validHexId(text, 32); }
std::optional<std::string> VLValidSpanId(const std::string& text) { return validHexId(text, 16); }

std::string ISO8061StringFromDate(VLDate date) {
  std::int64_t ms = millisecondsSince1970(date);
  std::int64_t days = ms >= 0 ? ms / kMillisecondsPerDay : -((-ms - 1) / kMillisecondsPerDay) - 1;
  std::int64_t inDay = ms - days * kMillisecondsPerDay;
  std::int64_t year;
  unsigned month, day;
  civilFromDays(days, year, month, day);
  // Written by hand: every log without an instant needs it.
  if (year < 0 || year > 9999) {
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ",
                  static_cast<long long>(year), month, day,
                  static_cast<unsigned>(inDay / 3'600'000),
                  static_cast<unsigned>(inDay / 60'000 % 60),
                  static_cast<unsigned>(inDay / 1000 % 60), static_cast<unsigned>(inDay % 1000));
    return text;
  }
  std::string text = "0000-00-00T00:00:00.000Z";
  auto put = [&](size_t position, size_t width, unsigned value) {
    for (size_t i = position + width; i-- > position; value /= 10)
      text[i] = static_cast<char>('0' + value % 10);
  };
  put(0, 4, static_cast<unsigned>(year));
  put(5, 2, month);
  put(8, 2, day);
  put(11, 2, static_cast<unsigned>(inDay / 3'600'000));
  put(14, 2, static_cast<unsigned>(inDay / 60'000 % 60));
  put(17, 2, static_cast<unsigned>(inDay / 1000 % 60));
  put(20, 3, static_cast<unsigned>(inDay % 1000));
  return text;
}

VLLog::VLLog(std::string message, Text source, std::int64_t level, platform::Value attributes,
             Text stack, Text traceId, Text spanId, Text instant)
    : level_(level),
      message_(VLTruncatedText(std::move(message), kMostMessageBytes)),
      source_(bounded(std::move(source), kMostSourceBytes)),
      stack_(bounded(std::move(stack), kMostStackBytes)) {
  if (traceId) traceId_ = VLValidTraceId(*traceId);
  if (spanId) spanId_ = VLValidSpanId(*spanId);
  if (attributes.is_object()) {
    attributes_ = platform::Value::object();
    std::size_t bytes = 0;
    for (const auto& [key, value] : attributes.items()) {
      const bool usable = !key.empty() && key.size() <= kMostAttributeKeyBytes &&
                          (value.is_string() || value.is_number() || value.is_boolean());
      if (!usable || attributes_.size() >= kMostAttributes) {
        ++droppedAttributesCount_;
        continue;
      }
      platform::Value kept = value.is_string()
                                 ? platform::Value(VLTruncatedText(
                                       value.get<std::string>(), kMostAttributeValueBytes))
                                 : value;
      const std::size_t size =
          key.size() + (kept.is_string() ? kept.get_ref<const std::string&>().size() : 8);
      if (bytes + size > kMostAttributeBytes) {
        ++droppedAttributesCount_;
        continue;
      }
      bytes += size;
      attributes_[key] = std::move(kept);
    }
  } else if (!attributes.is_null()) {
    ++droppedAttributesCount_;
  }
  VLDate now = std::chrono::system_clock::now();
  std::optional<std::int64_t> nanoseconds;
  if (instant) {
    instant_ = VLTruncatedText(std::move(*instant), kMostSourceBytes);
    if (auto moment = dateFromISO8061String(*instant_))
      nanoseconds = VLUnixNanoFromMilliseconds(millisecondsSince1970(*moment));
  }
  // A moment the text does not give, or one the record's times cannot hold, is not 1970:
  // the log was made now.
  if (!nanoseconds) nanoseconds = VLUnixNanoFromMilliseconds(millisecondsSince1970(now));
  timeUnixNano_ = nanoseconds.value_or(0);
  observedTimeUnixNano_ = timeUnixNano_;
}

std::string VLLog::instant() const {
  if (instant_) return *instant_;
  return ISO8061StringFromDate(VLDate(
      std::chrono::duration_cast<VLDate::duration>(std::chrono::nanoseconds(timeUnixNano_))));
}

const platform::Value& VLLog::attributes() const {
  // Most logs have none; they share one empty dictionary instead of making their own.
  static const platform::Value kNone = platform::Value::object();
  return attributes_.is_object() ? attributes_ : kNone;
}

const char* VLLog::legacyLogTypeFromLogLevel(std::int64_t level) {
  return level == VLLogLevelError || level == VLLogLevelFatal ? "error" : "general";
}
