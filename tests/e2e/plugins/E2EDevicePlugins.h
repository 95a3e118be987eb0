#pragma once

#include <string>

#include "host/HBRPlugin.h"

// Hands the page what the test set for it: the environment variable "VELTRO_E2E_<NAME>"
// (names of capital letters and "_" only), or null.
class E2EEnvironment : public HBRPlugin {
 public:
  E2EEnvironment();
  std::string className() const override { return "E2EEnvironment"; }

  void get(const HBRInvokedUrlCommand& command);
};

void registerE2EDevicePlugins();
