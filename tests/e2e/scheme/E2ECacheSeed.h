#pragma once

#include "host/HBRPlugin.h"

// Stands in for the cache plugin in the end-to-end test of the "veltro" scheme: it makes the
// cache engine at start, makes the application of $VELTRO_E2E_CACHE_PLAN (a JSON file with
// "hostname", "application", "version", "resources" and "urlMaps") the current one, and,
// while that version is not the running one, starts caching it from the platform server.
// The page asks "runningVersion" until the version has been swapped in.
class E2ECacheSeed : public HBRPlugin {
 public:
  E2ECacheSeed();
  std::string className() const override { return "E2ECacheSeed"; }
  void pluginInitialize() override;
  void runningVersion(const HBRInvokedUrlCommand& command);
};

void registerE2ECacheSeed();
