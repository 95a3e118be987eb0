#include "app/AppDelegate.h"

#include "app/MainViewController.h"
#include "appcache/VLDeepLinks.h"
#include "appcache/VLCache.h"
#include "appcache/VLHarborLoader.h"
#include "appcache/VLWKWebViewEngine.h"
#include "host/HBRWebViewEngine.h"
#include "plugins/auth/VLAuth.h"
#include "plugins/device/HBRDevice.h"
#include "plugins/sqlite/SQLitePlugin.h"
#include "plugins/statusbar/HBRStatusBar.h"
#include "shell/VLCrashHandler.h"
#include "shell/VLShellClasses.h"
#include "plugins/file/HBRFile.h"
#ifdef VELTRO_HAS_CAMERA_PLUGIN
#include "plugins/camera/VLCamera.h"
#endif
#include "plugins/http/VLHttpPlugin.h"

bool AppDelegate::didFinishLaunchingWithOptions(const platform::Value& options) {
  // Before any plugin code runs, so a crash while launching leaves its record too.
  VLCrashHandler::install();
  setViewController(HBRViewController::create<MainViewController>());
  bool launched = HBRAppDelegate::didFinishLaunchingWithOptions(options);
  // The plugins that start with the page have run by now, the logger's among them: the
  // records of earlier crashes can go to it.
  VLCrashHandler().deploy();
  return launched;
}

void HBRRegisterAppClasses() {
  HBRRegisterHostClasses();
  HBRRegisterBuiltInPluginClass<SQLitePlugin>("SQLitePlugin");
  VLRegisterShellClasses();
  VLRegisterWKWebViewEngine();
  HBRRegisterFilePlugin();
  VLRegisterHarborLoader();
  VLRegisterDeepLinksPlugin();
  VLRegisterCachePlugins();
#ifdef VELTRO_HAS_CAMERA_PLUGIN
  VLRegisterCameraPlugin();
#endif
  HBRRegisterDevicePlugin();
  HBRRegisterStatusBarPlugin();
  VLRegisterAuthPlugin();
  VLRegisterHttpPlugin();
  auto& delegates = HBRApplicationDelegateClassRegistry::shared();
  if (!delegates.hasClass("AppDelegate"))
    delegates.registerClass("AppDelegate", [] { return std::make_shared<AppDelegate>(); });
}
