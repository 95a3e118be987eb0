#include "host/plugins/HBRSmallHostPlugins.h"

#include "host/plugins/HBRConnection.h"
#include "host/plugins/HBRGestureHandler.h"
#include "host/plugins/HBRHandleOpenURL.h"
#include "host/plugins/HBRIntentAndNavigationFilter.h"
#include "host/plugins/HBRLaunchScreen.h"
#include "host/plugins/HBRLogger.h"

void HBRRegisterSmallHostPlugins() {
  HBRRegisterBuiltInPluginClass<HBRIntentAndNavigationFilter>("HBRIntentAndNavigationFilter");
  HBRRegisterBuiltInPluginClass<HBRConnection>("HBRConnection");
  HBRRegisterBuiltInPluginClass<HBRLogger>("HBRLogger");
  HBRRegisterBuiltInPluginClass<HBRLaunchScreen>("HBRLaunchScreen");
  HBRRegisterBuiltInPluginClass<HBRGestureHandler>("HBRGestureHandler");
  HBRRegisterBuiltInPluginClass<HBRHandleOpenURL>("HBRHandleOpenURL");
}
