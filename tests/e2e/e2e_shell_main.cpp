#include "VeltroShell.h"
#include "plugins/E2EPlugins.h"

// The shell with the end-to-end test plugins.
int main(int argc, char** argv) { return veltro::runShell(argc, argv, registerE2EPlugins); }
