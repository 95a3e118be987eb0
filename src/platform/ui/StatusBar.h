#pragma once

#include "platform/ui/Geometry.h"

namespace platform::ui {

// Notification names of the status bar, posted on the default notification centre with the
// status bar as sender. The hidden change carries {"new": bool} as user-info, the frame
// change the new frame as {"x", "y", "width", "height"}.
inline constexpr const char* kStatusBarHiddenDidChangeNotification = "UIApplicationStatusBarHiddenDidChangeNotification";
inline constexpr const char* kApplicationDidChangeStatusBarFrameNotification =
    "UIApplicationDidChangeStatusBarFrameNotification";
inline constexpr const char* kStatusBarStyleDidChangeNotification = "UIApplicationStatusBarStyleDidChangeNotification";
// A tap on the status bar: what asks scroll views to scroll to their top.
inline constexpr const char* kStatusBarTappedNotification = "UIApplicationStatusBarTappedNotification";

// Status bar styles, with the values the web application's plugins use.
enum StatusBarStyle : int { kStatusBarStyleDefault = 0, kStatusBarStyleLightContent = 1, kStatusBarStyleDarkContent = 3 };

// The system status bar of the desktop's one screen: a strip across the top of the screen,
// `thickness` high while shown, nothing while hidden. The main window draws it over the
// application's views and reports taps on it. Main thread only, like the rest of the UI.
class StatusBar {
 public:
  static StatusBar& shared();

  bool isHidden() const { return hidden_; }
  // Posts the hidden change and the frame change when the value changes.
  void setHidden(bool hidden);
  int style() const { return style_; }
  void setStyle(int style);
  // The interface orientation the status bar is laid out for (1 portrait, 2 upside down,
  // 3 landscape right, 4 landscape left). The desktop never rotates; kept for the plugins
  // that ask.
  int orientation() const { return orientation_; }
  void setOrientation(int orientation) { orientation_ = orientation; }
  double thickness() const { return thickness_; }
  // Posts the frame change when the frame changes. Negative or non-finite values count as 0.
  void setThickness(double thickness);

  // In screen coordinates: (0, 0, screen width, thickness), or all zero while hidden.
  Rect frame() const;

  // A tap on the status bar (the window calls it on a click there).
  void tap();

  // Back to shown, default style, portrait, 20 points (for tests).
  void reset();

 private:
  void postFrameChange();

  bool hidden_ = false;
  int style_ = kStatusBarStyleDefault;
  int orientation_ = 1;
  double thickness_ = 20;
};

}  // namespace platform::ui
