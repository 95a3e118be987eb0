#include "E2ECacheSeed.h"
#include "VeltroShell.h"
#include "plugins/E2EPlugins.h"

// The shell with the end-to-end test plugins and the stand-in that fills the cache.
int main(int argc, char** argv) {
  return veltro::runShell(argc, argv, [] {
    registerE2EPlugins();
    registerE2ECacheSeed();
  });
}
