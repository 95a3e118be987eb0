#include "app/HBRApplicationMain.h"

#include <signal.h>

#include <exception>

#include "app/AppDelegate.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Value.h"
#include "platform/ui/Application.h"
#include "shell/VLProtocolManagerPlugin.h"

void HBRPrepareProcess() {
  // A peer that closes a socket or pipe must not end the application: writes to it fail
  // with EPIPE instead, and the code that wrote handles the error.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

int HBRApplicationMain(int, char**) {
  HBRPrepareProcess();
  // What the platform would do while loading classes: before anything registers a URL
  // protocol, the protocol manager takes over the registration.
  VLProtocolManagerPlugin::load();
  HBRRegisterAppClasses();
  auto factory = HBRApplicationDelegateClassRegistry::shared().factory("AppDelegate");
  // Launching runs plugin code; nothing it throws may leave the entry function unreported.
  try {
    auto delegate = factory ? factory() : nullptr;
    if (!delegate) {
      platform::log("ERROR: The application delegate class \"AppDelegate\" could not be made.");
      return 1;
    }
    platform::ui::Application::shared().setDelegate(delegate);
    if (!delegate->didFinishLaunchingWithOptions(platform::Value::object())) {
      platform::log("ERROR: The application did not finish launching.");
      return 1;
    }
  } catch (const std::exception& e) {
    platform::log(std::string("ERROR: Launching the application failed: ") + e.what());
    return 1;
  } catch (...) {
    platform::log("ERROR: Launching the application failed.");
    return 1;
  }
  return 0;
}
