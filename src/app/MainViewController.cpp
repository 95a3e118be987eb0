#include "app/MainViewController.h"

void MainViewController::viewDidLoad() {
  HBRViewController::viewDidLoad();
  if (auto launch = launchView()) launch->setAlpha(1.0);
}
