#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/foundation/MainLoop.h"
#include "platform/webkit/gtk/GtkWebView.h"
#include "support/VirtualDisplay.h"

namespace {

// The GTK backend's tests open real windows: on the session's display, or on a private Xvfb.
// As an environment, it starts only when tests run, never for the listing ctest asks for.
class GtkTestDisplay : public ::testing::Environment {
 public:
  void SetUp() override {
    // As in the shell, before anything starts the engine in this process.
    platform::webkit::keepOptimizingCompilersOutOfThisProcess();
    display_ = std::make_unique<testing_support::VirtualDisplay>();
    if (!display_->ok() || !gtk_init_check(nullptr, nullptr)) {
      display_.reset();
      // A failed global set-up would show as skipped tests; without a display this program
      // has failed.
      std::fprintf(stderr, "No X display: cannot run the GTK backend's tests.\n");
      std::exit(1);
    }
    platform::MainLoop::adoptCurrentThreadAsMain();
  }
  void TearDown() override { display_.reset(); }

 private:
  std::unique_ptr<testing_support::VirtualDisplay> display_;
};

[[maybe_unused]] auto* const gDisplay = ::testing::AddGlobalTestEnvironment(new GtkTestDisplay);

}  // namespace
