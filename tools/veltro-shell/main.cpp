#include "VeltroShell.h"

int main(int argc, char** argv) { return veltro::runShell(argc, argv, nullptr); }
