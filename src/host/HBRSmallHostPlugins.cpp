#include "host/HBRSmallHostPlugins.h"

#include "host/HBRConnection.h"
#include "host/HBRGestureHandler.h"
#include "host/HBRHandleOpenURL.h"
#include "host/HBRIntentAndNavigationFilter.h"
#include "host/HBRLaunchScreen.h"
#include "host/HBRLogger.h"

void HBRRegisterSmallHostPlugins() {
  HBRRegisterBuiltInPluginClass<HBRIntentAndNavigationFilter>("HBRIntentAndNavigationFilter");
  HBRRegisterBuiltInPluginClass<HBRConnection>("HBRConnection");
  HBRRegisterBuiltInPluginClass<HBRLogger>("HBRLogger");
  HBRRegisterBuiltInPluginClass<HBRLaunchScreen>("HBRLaunchScreen");
  HBRRegisterBuiltInPluginClass<HBRGestureHandler>("HBRGestureHandler");
  HBRRegisterBuiltInPluginClass<HBRHandleOpenURL>("HBRHandleOpenURL");
}
