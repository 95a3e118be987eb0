#pragma once

#include <string>

#include "host/HBRPlugin.h"

// Writes the web application's console lines to the process log. Sends no result.
class HBRLogger : public HBRPlugin {
 public:
  HBRLogger();
  std::string className() const override { return "HBRLogger"; }

  // Arguments: 0 the level, 1 the message. Level "LOG" logs the message alone, any other
  // level "<level>: <message>".
  void logLevel(const HBRInvokedUrlCommand& command);
};
