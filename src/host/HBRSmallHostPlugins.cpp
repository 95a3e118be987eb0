#include "host/HBRSmallHostPlugins.h"

#include "host/HBRConnection.h"
#include "host/HBRGestureHandler.h"
#include "host/HBRHandleOpenURL.h"
#include "host/HBRIntentAndNavigationFilter.h"
#include "host/HBRLaunchScreen.h"
#include "host/HBRLogger.h"

void HBRRegisterSmallHostPlugins() {
  HBRRegisterPluginClass<HBRIntentAndNavigationFilter>("HBRIntentAndNavigationFilter");
  HBRRegisterPluginClass<HBRConnection>("HBRConnection");
  HBRRegisterPluginClass<HBRLogger>("HBRLogger");
  HBRRegisterPluginClass<HBRLaunchScreen>("HBRLaunchScreen");
  HBRRegisterPluginClass<HBRGestureHandler>("HBRGestureHandler");
  HBRRegisterPluginClass<HBRHandleOpenURL>("HBRHandleOpenURL");
}
