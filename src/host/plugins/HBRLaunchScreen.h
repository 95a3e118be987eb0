#pragma once

#include <string>

#include "host/HBRPlugin.h"

// Lets the web application show and hide the launch view. Sends no result.
class HBRLaunchScreen : public HBRPlugin {
 public:
  HBRLaunchScreen();
  std::string className() const override { return "HBRLaunchScreen"; }

  void show(const HBRInvokedUrlCommand& command);
  void hide(const HBRInvokedUrlCommand& command);
};
