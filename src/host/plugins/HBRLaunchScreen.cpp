#include "host/plugins/HBRLaunchScreen.h"

#include "host/HBRViewController.h"

HBRLaunchScreen::HBRLaunchScreen() {
  registerAction("show", &HBRLaunchScreen::show);
  registerAction("hide", &HBRLaunchScreen::hide);
}

void HBRLaunchScreen::show(const HBRInvokedUrlCommand&) {
  if (auto vc = viewController()) vc->showLaunchScreen(true);
}

void HBRLaunchScreen::hide(const HBRInvokedUrlCommand&) {
  if (auto vc = viewController()) vc->showLaunchScreen(false);
}
