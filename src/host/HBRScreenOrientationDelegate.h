#pragma once

#include <string>
#include <vector>

#include "platform/foundation/Value.h"

// Interface orientations as the host counts them: 1 portrait, 2 portrait upside down,
// 3 landscape right, 4 landscape left. A mask holds one bit per orientation (1 << value).
enum HBRInterfaceOrientation : int {
  HBRInterfaceOrientationPortrait = 1,
  HBRInterfaceOrientationPortraitUpsideDown = 2,
  HBRInterfaceOrientationLandscapeRight = 3,
  HBRInterfaceOrientationLandscapeLeft = 4,
};

// What the window asks the controller that decides about rotation. A desktop window does
// not rotate, but the answers stay the web application's view of its device.
class HBRScreenOrientationDelegate {
 public:
  virtual ~HBRScreenOrientationDelegate() = default;
  virtual unsigned supportedInterfaceOrientations() const = 0;
  virtual bool shouldAutorotate() const = 0;
};

// Orientation names ("UIInterfaceOrientationPortrait", ...) to orientation values, in input
// order; unknown names and non-strings are skipped, and an empty result becomes portrait.
std::vector<int> hbr_parseInterfaceOrientations(const platform::Value& names);
// The mask of a list of orientation values.
unsigned hbr_interfaceOrientationMask(const std::vector<int>& orientations);
