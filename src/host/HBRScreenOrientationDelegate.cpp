#include "host/HBRScreenOrientationDelegate.h"

std::vector<int> hbr_parseInterfaceOrientations(const platform::Value& names) {
  std::vector<int> orientations;
  if (names.is_array()) {
    for (const auto& name : names) {
      if (!name.is_string()) continue;
      const std::string& text = name.get_ref<const std::string&>();
      if (text == "UIInterfaceOrientationPortrait")
        orientations.push_back(HBRInterfaceOrientationPortrait);
      else if (text == "UIInterfaceOrientationPortraitUpsideDown")
        orientations.push_back(HBRInterfaceOrientationPortraitUpsideDown);
      else if (text == "UIInterfaceOrientationLandscapeLeft")
        orientations.push_back(HBRInterfaceOrientationLandscapeLeft);
      else if (text == "UIInterfaceOrientationLandscapeRight")
        orientations.push_back(HBRInterfaceOrientationLandscapeRight);
    }
  }
  // A package that names no orientation still has to be shown some way.
  if (orientations.empty()) orientations.push_back(HBRInterfaceOrientationPortrait);
  return orientations;
}

unsigned hbr_interfaceOrientationMask(const std::vector<int>& orientations) {
  unsigned mask = 0;
  for (int orientation : orientations)
    if (orientation >= HBRInterfaceOrientationPortrait &&
        orientation <= HBRInterfaceOrientationLandscapeLeft)
      mask |= 1u << orientation;
  return mask;
}
