#include "support/ScopedLocale.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>

namespace testing_support {

ScopedLocale::ScopedLocale(const std::string& name) {
  const char* current = std::setlocale(LC_ALL, nullptr);
  previous_ = current ? current : "C";
  ok_ = std::setlocale(LC_ALL, name.c_str()) != nullptr;
  if (!ok_) {
    ADD_FAILURE() << "The locale " << name
                  << " is not installed, so this test cannot run as its users would; "
                  << "scripts/setup.sh generates it (localedef -i "
                  << name.substr(0, name.find('.')) << " -f UTF-8 " << name << ").";
    return;
  }
  // A locale that does not write numbers with a comma would let the test pass for nothing.
  if (name.rfind("de_DE", 0) == 0 && std::strcmp(std::localeconv()->decimal_point, ",") != 0) {
    ok_ = false;
    ADD_FAILURE() << "The locale " << name << " does not write numbers with a decimal comma.";
  }
}

ScopedLocale::~ScopedLocale() { std::setlocale(LC_ALL, previous_.c_str()); }

}  // namespace testing_support
