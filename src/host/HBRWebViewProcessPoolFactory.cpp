#include "host/HBRWebViewProcessPoolFactory.h"

HBRWebViewProcessPoolFactory& HBRWebViewProcessPoolFactory::sharedFactory() {
  static HBRWebViewProcessPoolFactory* factory = new HBRWebViewProcessPoolFactory();
  return *factory;
}
