#include "platform/foundation/Regex.h"

#include <glib.h>

namespace platform {

namespace {

std::shared_ptr<GRegex> compile(const std::string& pattern, int flags) {
  GError* error = nullptr;
  GRegex* regex = g_regex_new(pattern.c_str(), static_cast<GRegexCompileFlags>(flags),
                              static_cast<GRegexMatchFlags>(0), &error);
  if (!regex) {
    g_clear_error(&error);
    return nullptr;
  }
  return std::shared_ptr<GRegex>(regex, g_regex_unref);
}

// Owns a GMatchInfo for the length of one search.
struct Match {
  GMatchInfo* info = nullptr;
  ~Match() {
    if (info) g_match_info_free(info);
  }
};

std::vector<std::string> groups(GMatchInfo* info, const char* subject, int count) {
  std::vector<std::string> out;
  out.reserve(count + 1);
  for (int i = 0; i <= count; ++i) {
    gint start = -1, end = -1;
    if (g_match_info_fetch_pos(info, i, &start, &end) && start >= 0 && end >= start)
      out.emplace_back(subject + start, subject + end);
    else
      out.emplace_back();
  }
  return out;
}

}  // namespace

std::optional<Regex> Regex::make(std::string_view pattern, bool caseInsensitive, bool dotAll) {
  // GRegex takes a NUL-terminated pattern; an embedded NUL would silently cut it short.
  if (pattern.find('\0') != std::string_view::npos) return std::nullopt;
  int flags = 0;
  if (caseInsensitive) flags |= G_REGEX_CASELESS;
  if (dotAll) flags |= G_REGEX_DOTALL;
  Regex regex;
  regex.pattern_ = std::string(pattern);
  regex.utf8_ = compile(regex.pattern_, flags);
  if (!regex.utf8_) return std::nullopt;
  regex.raw_ = compile(regex.pattern_, flags | G_REGEX_RAW);
  return regex;
}

GRegex* Regex::regexFor(std::string_view text) const {
  if (g_utf8_validate_len(text.data(), text.size(), nullptr)) return utf8_.get();
  return raw_.get();
}

bool Regex::matches(std::string_view text) const {
  return firstMatch(text).has_value();
}

std::optional<std::vector<std::string>> Regex::firstMatch(std::string_view text) const {
  GRegex* regex = regexFor(text);
  if (!regex) return std::nullopt;
  Match match;
  GError* error = nullptr;
  // An empty view may carry a null pointer; GRegex wants a real string.
  const char* subject = text.data() ? text.data() : "";
  bool found = g_regex_match_full(regex, subject, static_cast<gssize>(text.size()), 0,
                                  static_cast<GRegexMatchFlags>(0), &match.info, &error);
  g_clear_error(&error);
  if (!found) return std::nullopt;
  return groups(match.info, subject, g_regex_get_capture_count(regex));
}

std::vector<std::vector<std::string>> Regex::allMatches(std::string_view text) const {
  std::vector<std::vector<std::string>> all;
  GRegex* regex = regexFor(text);
  if (!regex) return all;
  Match match;
  GError* error = nullptr;
  const char* subject = text.data() ? text.data() : "";
  int count = g_regex_get_capture_count(regex);
  bool found = g_regex_match_full(regex, subject, static_cast<gssize>(text.size()), 0,
                                  static_cast<GRegexMatchFlags>(0), &match.info, &error);
  while (found && !error) {
    all.push_back(groups(match.info, subject, count));
    found = g_match_info_next(match.info, &error);
  }
  g_clear_error(&error);
  return all;
}

std::string Regex::replaceAll(std::string_view text, std::string_view replacement) const {
  GRegex* regex = regexFor(text);
  if (!regex) return std::string(text);
  // Spliced by hand from the match positions: the replacement stays literal and NUL bytes in
  // the subject survive.
  Match match;
  GError* error = nullptr;
  const char* subject = text.data() ? text.data() : "";
  std::string out;
  size_t copied = 0;
  bool found = g_regex_match_full(regex, subject, static_cast<gssize>(text.size()), 0,
                                  static_cast<GRegexMatchFlags>(0), &match.info, &error);
  while (found && !error) {
    gint start = -1, end = -1;
    if (g_match_info_fetch_pos(match.info, 0, &start, &end) && start >= 0 &&
        static_cast<size_t>(start) >= copied) {
      out.append(text.substr(copied, start - copied));
      out.append(replacement);
      copied = end;
    }
    found = g_match_info_next(match.info, &error);
  }
  g_clear_error(&error);
  out.append(text.substr(copied));
  return out;
}

std::string Regex::escape(std::string_view literal) {
  gchar* escaped = g_regex_escape_string(literal.data() ? literal.data() : "",
                                         static_cast<gint>(literal.size()));
  std::string out = escaped;
  g_free(escaped);
  return out;
}

}  // namespace platform
