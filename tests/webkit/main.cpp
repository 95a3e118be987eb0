#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstring>
#include <memory>

#include "e2e/VirtualDisplay.h"
#include "platform/foundation/MainLoop.h"

// The GTK backend's tests open real windows: on the session's display, or on a private Xvfb.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  bool listing = false;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--gtest_list_tests") == 0) listing = true;
  if (listing) return RUN_ALL_TESTS();

  testing_support::VirtualDisplay display;
  if (!display.ok() || !gtk_init_check(&argc, &argv)) {
    fprintf(stderr, "No X display: cannot run the GTK backend's tests.\n");
    return 1;
  }
  platform::MainLoop::adoptCurrentThreadAsMain();
  return RUN_ALL_TESTS();
}
