#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/TemporaryDataRoot.h"

// The one entry point of every test program. Each program runs under a fresh data root, so
// the shared cookie store, downloads and user defaults never touch the user's own. A program
// that needs more around its tests (a display, a toolkit) registers a gtest environment of
// its own.
//
// `--setlocale`: before any test, the program takes the C library's locale from the
// environment, as GTK does when the shell starts (setlocale(LC_ALL, "")), so that tests run
// as they would for a user of that locale (`LC_ALL=de_DE.UTF-8`, whose numbers have a decimal
// comma). A locale that cannot be set fails the program with the reason: the tests would
// otherwise pass in "C" for nothing.
int main(int argc, char** argv) {
  bool takeLocale = false;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--setlocale") == 0)
      takeLocale = true;
    else
      argv[kept++] = argv[i];
  }
  argc = kept;
  argv[argc] = nullptr;
  if (takeLocale) {
    const char* named = std::getenv("LC_ALL");
    const char* locale = std::setlocale(LC_ALL, "");
    if (!locale) {
      std::fprintf(
          stderr,
          "%s: the locale the environment names (LC_ALL=%s) is not installed; scripts/setup.sh "
          "generates de_DE.UTF-8 and tr_TR.UTF-8.\n",
          argv[0], named ? named : "");
      return 1;
    }
    std::fprintf(stderr, "%s: running in the locale %s (decimal point '%s')\n", argv[0], locale,
                 std::localeconv()->decimal_point);
  }
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new testing_support::TemporaryDataRoot);
  return RUN_ALL_TESTS();
}
