#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace veltro {

// What the command line asks of the shell.
struct ShellOptions {
  std::string packageDirectory;   // the application package; found when empty
  std::string dataRoot;           // the device folders' root; the default when empty
  std::string screenshotPath;     // write a PNG of the loaded start page and exit
  bool exitAfterLoad = false;     // exit as soon as the start page has loaded
  bool rebindDataRoot = false;    // the data root now belongs to this package (it was moved)
  int width = 390;
  int height = 844;
  double timeoutSeconds = 30.0;   // the limit for --screenshot and --exit-after-load
  bool help = false;
  // URLs to open: "--open-url URL", or an argument that starts with a URL scheme. A shell
  // already running on the same data root is handed them instead.
  std::vector<std::string> urls;
};

// Whether a command-line argument is a URL to open rather than a package folder.
bool looksLikeURL(const std::string& argument);

// Parses the arguments; nullopt with `error` set when they are not usable.
std::optional<ShellOptions> parseShellOptions(int argc, char** argv, std::string& error);

// The package used when none is named: "examples/app" of the current directory, of the
// source tree the program was built from, or of a folder above the executable.
std::optional<std::string> defaultPackageDirectory();

// Runs the shell: opens the package, installs the GTK backends, registers the plugin classes
// (then `registerExtraClasses`, for variants that carry more plugins) and runs the
// application until it ends. Answers the process exit status.
int runShell(int argc, char** argv, const std::function<void()>& registerExtraClasses);

}  // namespace veltro
