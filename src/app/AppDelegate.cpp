#include "app/AppDelegate.h"

#include "app/MainViewController.h"
#include "host/HBRWebViewEngine.h"
#include "plugins/sqlite/SQLitePlugin.h"
#include "shell/VLShellClasses.h"
#include "plugins/file/HBRFile.h"
#ifdef VELTRO_HAS_CAMERA_PLUGIN
#include "plugins/camera/VLCamera.h"
#endif

bool AppDelegate::didFinishLaunchingWithOptions(const platform::Value& options) {
  setViewController(HBRViewController::create<MainViewController>());
  return HBRAppDelegate::didFinishLaunchingWithOptions(options);
}

void HBRRegisterAppClasses() {
  HBRRegisterHostClasses();
  HBRRegisterBuiltInPluginClass<SQLitePlugin>("SQLitePlugin");
  VLRegisterShellClasses();
  HBRRegisterFilePlugin();
#ifdef VELTRO_HAS_CAMERA_PLUGIN
  VLRegisterCameraPlugin();
#endif
  auto& delegates = HBRApplicationDelegateClassRegistry::shared();
  if (!delegates.hasClass("AppDelegate"))
    delegates.registerClass("AppDelegate", [] { return std::make_shared<AppDelegate>(); });
}
