#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

typedef struct _GRegex GRegex;

namespace platform {

// A compiled regular expression (PCRE2 through GLib's GRegex). Copies share the compiled
// pattern; matching keeps its state per call, so one Regex may be used from several threads.
// Matching runs PCRE2's interpreter rather than its JIT: the JIT's fixed stack gives up on
// megabyte inputs, the interpreter keeps its backtracking state on the heap.
class Regex {
 public:
  // nullopt when the pattern does not compile.
  static std::optional<Regex> make(std::string_view pattern, bool caseInsensitive = false,
                                   bool dotAll = false);

  bool matches(std::string_view text) const;  // a match anywhere in the text
  // Group 0 (the whole match) followed by every capture group; a group that took no part
  // in the match is "".
  std::optional<std::vector<std::string>> firstMatch(std::string_view text) const;
  std::vector<std::vector<std::string>> allMatches(std::string_view text) const;
  // Every match replaced by the replacement taken literally (no back-references).
  std::string replaceAll(std::string_view text, std::string_view replacement) const;

  static std::string escape(std::string_view literal);

  const std::string& pattern() const { return pattern_; }

 private:
  Regex() = default;
  // Text that is not valid UTF-8 is matched byte-wise by a second compilation of the same
  // pattern, since GRegex in UTF-8 mode refuses such subjects.
  GRegex* regexFor(std::string_view text) const;

  std::string pattern_;
  std::shared_ptr<GRegex> utf8_;
  std::shared_ptr<GRegex> raw_;
};

}  // namespace platform
