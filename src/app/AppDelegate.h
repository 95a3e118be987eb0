#pragma once

#include "host/HBRAppDelegate.h"

// The application's delegate, named "AppDelegate" for the entry function: it hosts a
// MainViewController.
class AppDelegate : public HBRAppDelegate {
 public:
  bool didFinishLaunchingWithOptions(const platform::Value& options) override;
};

// Registers the application's classes ("AppDelegate"), the host's and the device plugins',
// each only when no class is registered under its name yet, so a program may register its
// own first.
void HBRRegisterAppClasses();
