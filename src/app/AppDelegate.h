#pragma once

#include "host/HBRAppDelegate.h"

// The application's delegate, named "AppDelegate" for the entry function: it hosts a
// MainViewController.
class AppDelegate : public HBRAppDelegate {
 public:
  bool didFinishLaunchingWithOptions(const platform::Value& options) override;
};

// Registers the application's classes ("AppDelegate") and the host's, each only when no
// class is registered under its name yet, so a program may register its own first.
void HBRRegisterAppClasses();
