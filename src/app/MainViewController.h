#pragma once

#include <string>

#include "host/HBRViewController.h"

// The application's view controller. Its launch view covers the web view from the start
// and fades out once the first page has loaded.
class MainViewController : public HBRViewController {
 public:
  std::string className() const override { return "MainViewController"; }
  void viewDidLoad() override;
};
