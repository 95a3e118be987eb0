#pragma once

#include <optional>
#include <string>

#include "host/HBRPlugin.h"

// The long-press recognizer the handler sets up: it records the timing the setting asks
// for. A WebKitGTK web view offers no native gesture recognisers to compete with, so the
// suppression itself is done inside the page (see HBRGestureHandler).
struct HBRLongPressGestureRecognizer {
  double minimumPressDuration = 0.45;
  double allowableMovement = 200;
};

// Suppresses the web view's long-press gesture (the context menu and the touch callout)
// when "SuppressesLongPressGesture" is true.
class HBRGestureHandler : public HBRPlugin {
 public:
  std::string className() const override { return "HBRGestureHandler"; }

  void pluginInitialize() override;
  void applyLongPressFix();
  // The recognizer's action, which does nothing: winning the press is its only purpose.
  void handleLongPressGestures() {}

  const std::optional<HBRLongPressGestureRecognizer>& lpgr() const { return lpgr_; }
  // The page script that turns off the callout and the context menu; safe to run twice.
  static const std::string& longPressSuppressionScript();

 private:
  void applyToCurrentPage();

  std::optional<HBRLongPressGestureRecognizer> lpgr_;
};
