#pragma once

#include <string>

namespace testing_support {

// The C library's locale as GTK sets it when it starts, taken from a user whose environment
// names `name` (all categories, as gtk_init's setlocale(LC_ALL, "") does), while the object
// lives; the locale from before comes back when it goes. A locale that cannot be set is a
// test failure that says so, never a silent skip: scripts/setup.sh generates the locales the
// tests use ("de_DE.UTF-8", whose numbers have a decimal comma, and "tr_TR.UTF-8", whose
// upper-case 'I' has no single-byte lower case).
class ScopedLocale {
 public:
  explicit ScopedLocale(const std::string& name);
  ~ScopedLocale();
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;

  bool ok() const { return ok_; }

 private:
  std::string previous_;
  bool ok_ = false;
};

// A German user's locale: numbers are written "1,5" by the C library.
struct CommaDecimalLocale : ScopedLocale {
  CommaDecimalLocale() : ScopedLocale("de_DE.UTF-8") {}
};

}  // namespace testing_support
