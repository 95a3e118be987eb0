#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

// The shell's windows as the desktop sees them on the test's X display: what a window
// manager would list, and the close a person asks for with a window's close button. X errors
// about windows that went away meanwhile are ignored.
class DesktopWindows {
 public:
  struct Shown {
    unsigned long id = 0;
    std::string title;
  };

  // On the X display named `display` (":99").
  explicit DesktopWindows(const std::string& display);
  ~DesktopWindows();
  DesktopWindows(const DesktopWindows&) = delete;
  DesktopWindows& operator=(const DesktopWindows&) = delete;

  bool ok() const { return display_ != nullptr; }
  // The top-level windows of process `pid` that are on screen.
  std::vector<Shown> shownBy(pid_t pid);
  // Asks the window to close, as a window manager does (WM_DELETE_WINDOW).
  void close(unsigned long window);

 private:
  void* display_ = nullptr;
};

}  // namespace e2e
