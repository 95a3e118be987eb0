#include "VeltroShell.h"

#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/HBRApplicationMain.h"
#include "host/HBRAppDelegate.h"
#include "host/HBRPlugin.h"
#include "host/HBRWebViewEngine.h"
#include "platform/auth/gtk/GtkAuthFlowWindow.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/MainLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/URL.h"
#include "platform/ui/Application.h"
#include "platform/ui/gtk/GtkApplicationBackend.h"
#include "platform/ui/gtk/GtkSingleInstance.h"
#include "platform/ui/gtk/GtkWindowBackend.h"
#include "platform/webkit/gtk/GtkWebView.h"

namespace veltro {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: veltro-shell [--data-root DIR] [--screenshot FILE] [--width W --height H]\n"
    "                    [--exit-after-load] [--timeout SECONDS] [--open-url URL]\n"
    "                    [--rebind-data-root] [PACKAGE_DIR] [URL]\n"
    "\n"
    "Runs the web application of an application package (default: examples/app).\n"
    "  --data-root DIR     keep the device folders under DIR\n"
    "  --screenshot FILE   save a PNG of the window once the start page has loaded, then exit\n"
    "  --width, --height   the window's size in pixels (390 x 844)\n"
    "  --exit-after-load   exit as soon as the start page has loaded\n"
    "  --timeout SECONDS   give up on --screenshot or --exit-after-load after this long (30)\n"
    "  --open-url URL      open URL in the application (also: a URL argument); a shell already\n"
    "                      running on the same data root is handed the URL instead\n"
    "  --rebind-data-root  the package was moved on purpose: its data root, recorded as another\n"
    "                      package's, becomes this package's\n";

// How long the page is given after it loaded before the screenshot, so that the launch
// view's fade (at least 250 ms) has ended and the page has painted.
constexpr double kScreenshotSettleSeconds = 1.0;

// A finite decimal number and nothing else, read the same in every locale ("1.5", never "1,5").
bool parseNumber(const std::string& text, double& out) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size() && std::isfinite(out);
}

std::shared_ptr<platform::webkit::GtkWebView> findWebView(const std::shared_ptr<platform::ui::View>& view) {
  if (!view) return nullptr;
  if (auto webView = std::dynamic_pointer_cast<platform::webkit::GtkWebView>(view)) return webView;
  for (const auto& child : view->subviews())
    if (auto found = findWebView(child)) return found;
  return nullptr;
}

// What a run that ends after the start page's load knows of the page. The web content
// process that drew the page may end (and the engine reload the page) before the picture is
// taken: a picture then would be blank, so it waits for the page's next load instead.
struct PageWatch {
  std::string screenshot;
  double timeoutSeconds = 30;
  unsigned timeout = 0;        // the pending time-out, 0 when none
  unsigned loads = 0;          // how often the page has loaded
  unsigned processEnds = 0;    // how often the web content process has ended
  unsigned endsAtLoad = 0;     // that count at the latest load
  bool watchingProcess = false;
};

// Ends the run with status 3 unless the page loads within the time limit.
void armTimeout(const std::shared_ptr<PageWatch>& watch) {
  platform::MainLoop::cancel(watch->timeout);
  watch->timeout = platform::MainLoop::postAfter(watch->timeoutSeconds, [watch] {
    watch->timeout = 0;
    platform::log("The start page did not load in time.");
    platform::ui::Application::shared().terminate(3);
  });
}

// The page that was to be pictured has gone with its process: wait for its next load (which
// takes the picture), unless that load has come already.
void waitForReload(const std::shared_ptr<PageWatch>& watch, unsigned load) {
  if (watch->loads != load) return;
  platform::log("The web content process ended after the page loaded; waiting for the page to load again.");
  armTimeout(watch);
}

struct WindowShot {
  std::string path;
  platform::gtk::GObjectPtr<GtkWidget> content;  // the window's child: every view it shows
  platform::gtk::GObjectPtr<GtkWidget> web;
  std::shared_ptr<PageWatch> watch;
  unsigned load = 0;         // the load pictured
  unsigned processEnds = 0;  // as the shot began
};

// Writes the window's content (the status bar strip and other views around the web view
// included) with the web view's own snapshot in its place, since WebKit may draw the page
// where a plain drawing of the window cannot see it.
void windowShotFinished(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<WindowShot> shot(static_cast<WindowShot*>(data));
  GError* error = nullptr;
  cairo_surface_t* page = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
  if (shot->watch->processEnds != shot->processEnds) {
    if (page) cairo_surface_destroy(page);
    if (error) g_error_free(error);
    waitForReload(shot->watch, shot->load);
    return;
  }
  std::string failure;
  if (!page) {
    failure = error && error->message ? error->message : "no snapshot";
  } else {
    int width = gtk_widget_get_allocated_width(shot->content.get());
    int height = gtk_widget_get_allocated_height(shot->content.get());
    cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, std::max(1, width), std::max(1, height));
    cairo_t* cr = cairo_create(image);
    gtk_widget_draw(shot->content.get(), cr);
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(shot->web.get(), shot->content.get(), 0, 0, &x, &y);
    cairo_set_source_surface(cr, page, x, y);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_status_t status = cairo_surface_write_to_png(image, shot->path.c_str());
    if (status != CAIRO_STATUS_SUCCESS) failure = std::string("cannot write it: ") + cairo_status_to_string(status);
    cairo_surface_destroy(image);
    cairo_surface_destroy(page);
  }
  if (error) g_error_free(error);
  if (!failure.empty()) {
    platform::log("Screenshot failed: " + failure);
    platform::ui::Application::shared().terminate(4);
    return;
  }
  platform::log("Screenshot saved to " + shot->path);
  platform::ui::Application::shared().terminate(0);
}

void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data) {
  ++static_cast<PageWatch*>(data)->processEnds;
}

// Pictures the page of load number `load`, unless a later load will, or the page is gone.
void takeScreenshot(const std::shared_ptr<PageWatch>& watch, unsigned load) {
  if (watch->loads != load) return;
  if (watch->processEnds != watch->endsAtLoad) return waitForReload(watch, load);
  auto* window = platform::ui::GtkApplicationBackend::mainWindow();
  auto webView = window ? findWebView(window->rootView()) : nullptr;
  GtkWidget* content = window ? gtk_bin_get_child(GTK_BIN(window->window())) : nullptr;
  if (!webView || !content) {
    platform::log("No web view to take a screenshot of.");
    platform::ui::Application::shared().terminate(4);
    return;
  }
  auto* shot = new WindowShot{watch->screenshot, platform::gtk::GObjectPtr<GtkWidget>::retain(content),
                              platform::gtk::GObjectPtr<GtkWidget>::retain(webView->widget()), watch, load,
                              watch->processEnds};
  webkit_web_view_get_snapshot(webView->webKitView(), WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE,
                               nullptr, windowShotFinished, shot);
}

void pageDidLoad(const std::shared_ptr<PageWatch>& watch) {
  platform::MainLoop::cancel(watch->timeout);
  watch->timeout = 0;
  if (watch->screenshot.empty()) {
    platform::ui::Application::shared().terminate(0);
    return;
  }
  auto* window = platform::ui::GtkApplicationBackend::mainWindow();
  auto webView = window ? findWebView(window->rootView()) : nullptr;
  if (webView && !watch->watchingProcess) {
    watch->watchingProcess = true;
    g_signal_connect(webView->webKitView(), "web-process-terminated", G_CALLBACK(onWebProcessTerminated),
                     watch.get());
  }
  unsigned load = ++watch->loads;
  watch->endsAtLoad = watch->processEnds;
  platform::MainLoop::postAfter(kScreenshotSettleSeconds, [watch, load] { takeScreenshot(watch, load); });
}

// Ends the run once the start page has loaded: at once, or after a screenshot. A page that
// never loads ends the run with status 3 when the time is up; a page that loads late still
// gets its full settle time before the screenshot. When the web content process ends
// between the load and the picture, the reloaded page is waited for (with the same time
// limit) and pictured instead.
void watchStartPage(const ShellOptions& options) {
  // A start page the navigation policy refused never shows: the engine said why, and the
  // shell ends at once rather than keep an empty window.
  static platform::NotificationCenter::Token refused = 0;
  if (!refused)
    refused = platform::NotificationCenter::defaultCenter().addObserver(
        &refused, HBRStartPageRefusedNotification, nullptr,
        [](const platform::Notification&) { platform::ui::Application::shared().terminate(3); });
  if (options.screenshotPath.empty() && !options.exitAfterLoad) return;
  // Kept for the whole run, which ends with the process.
  static std::shared_ptr<PageWatch> watch = std::make_shared<PageWatch>();
  watch->screenshot = options.screenshotPath;
  watch->timeoutSeconds = options.timeoutSeconds;
  platform::NotificationCenter::defaultCenter().addObserver(
      watch.get(), HBRPageDidLoadNotification, nullptr, [](const platform::Notification&) { pageDidLoad(watch); });
  armTimeout(watch);
}

std::string executableDirectory() {
  std::error_code error;
  fs::path exe = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string() : exe.parent_path().string();
}

void openURL(const std::string& text) {
  auto url = platform::URL::parse(text);
  if (!url) {
    platform::log("Cannot open '" + text + "': it is not a URL.");
    return;
  }
  platform::ui::Application::shared().deliverOpenURL(url, platform::Value::object());
}

// Makes this process the one shell on its data root, or hands the URLs to the one running.
// Answers an exit status when this process is to end.
std::optional<int> claimDataRoot(const ShellOptions& options) {
  std::string message;
  auto role = platform::ui::GtkSingleInstance::claim(
      platform::paths::dataRoot(), options.urls,
      [](const std::string& url) {
        platform::log("Opening " + url + ", handed over by another veltro-shell.");
        openURL(url);
      },
      [] {
        if (auto* window = platform::ui::GtkApplicationBackend::mainWindow()) gtk_window_present(window->window());
      },
      message);
  switch (role) {
    case platform::ui::GtkSingleInstance::Role::Primary:
      return std::nullopt;
    case platform::ui::GtkSingleInstance::Role::HandedOver:
      std::fprintf(stderr, "veltro-shell: %s\n", message.c_str());
      return 0;
    case platform::ui::GtkSingleInstance::Role::Refused:
      std::fprintf(stderr, "veltro-shell: %s\n", message.c_str());
      return 2;
  }
  return 2;
}

int launch(int argc, char** argv, const std::vector<std::string>& urls) {
  // The entry function launches the application; the main loop is the caller's to run.
  int status = HBRApplicationMain(argc, argv);
  if (status != 0) return status;
  for (const auto& url : urls) openURL(url);
  return platform::ui::Application::shared().runMainLoop();
}

}  // namespace

std::optional<ShellOptions> parseShellOptions(int argc, char** argv, std::string& error) {
  ShellOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--data-root") {
      if (!value(options.dataRoot)) return std::nullopt;
    } else if (arg == "--screenshot") {
      if (!value(options.screenshotPath)) return std::nullopt;
    } else if (arg == "--exit-after-load") {
      options.exitAfterLoad = true;
    } else if (arg == "--rebind-data-root") {
      options.rebindDataRoot = true;
    } else if (arg == "--width" || arg == "--height" || arg == "--timeout") {
      double number = 0;
      if (!value(text)) return std::nullopt;
      if (!parseNumber(text, number) || number <= 0 || number > 100000) {
        error = arg + " needs a positive number, not '" + text + "'";
        return std::nullopt;
      }
      if (arg == "--width") options.width = static_cast<int>(number);
      if (arg == "--height") options.height = static_cast<int>(number);
      if (arg == "--timeout") options.timeoutSeconds = number;
    } else if (arg == "--open-url") {
      if (!value(text)) return std::nullopt;
      if (!looksLikeURL(text)) {
        error = "--open-url needs a URL with a scheme, not '" + text + "'";
        return std::nullopt;
      }
      options.urls.push_back(text);
    } else if (!arg.empty() && arg[0] == '-') {
      error = "unknown option " + arg;
      return std::nullopt;
    } else if (looksLikeURL(arg)) {
      options.urls.push_back(arg);
    } else if (options.packageDirectory.empty()) {
      options.packageDirectory = arg;
    } else {
      error = "only one package directory can be given";
      return std::nullopt;
    }
  }
  return options;
}

bool looksLikeURL(const std::string& argument) {
  // A scheme (a letter, then letters, digits, '+', '-' or '.') and a colon; a folder of that
  // name is still taken as a folder.
  size_t colon = argument.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!isAlpha(argument[0])) return false;
  for (size_t i = 1; i < colon; ++i) {
    char c = argument[i];
    if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  std::error_code error;
  return !fs::exists(argument, error);
}

std::optional<std::string> defaultPackageDirectory() {
  std::error_code error;
  std::vector<fs::path> candidates{fs::current_path(error) / "examples/app"};
#ifdef VELTRO_SOURCE_DIR
  candidates.emplace_back(fs::path(VELTRO_SOURCE_DIR) / "examples/app");
#endif
  for (fs::path dir = executableDirectory(); !dir.empty() && dir != dir.root_path(); dir = dir.parent_path())
    candidates.push_back(dir / "examples/app");
  for (const auto& candidate : candidates)
    if (fs::is_regular_file(candidate / "config.xml", error)) return candidate.string();
  return std::nullopt;
}

int runShell(int argc, char** argv, const std::function<void()>& registerExtraClasses) {
  // Bridge payloads of a megabyte and more are built on worker threads, each with its own
  // allocator arena, whose free top the allocator would otherwise keep for ever.
  platform::MainLoop::setUpAllocator();
  platform::webkit::keepOptimizingCompilersOutOfThisProcess();
  std::string error;
  auto parsed = parseShellOptions(argc, argv, error);
  if (!parsed) {
    std::fprintf(stderr, "veltro-shell: %s\n\n%s", error.c_str(), kUsage);
    return 2;
  }
  ShellOptions options = *parsed;
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.packageDirectory.empty()) {
    auto found = defaultPackageDirectory();
    if (!found) {
      std::fprintf(stderr, "veltro-shell: no application package given and examples/app not found\n");
      return 2;
    }
    options.packageDirectory = *found;
  }
  std::error_code fsError;
  fs::path package = fs::absolute(options.packageDirectory, fsError);
  // The web view names the package's files by URLs, whose paths are UTF-8: a folder whose
  // name is not would never load.
  if (!fsError && !g_utf8_validate(package.c_str(), -1, nullptr)) {
    gchar* shown = g_utf8_make_valid(package.c_str(), -1);
    std::fprintf(stderr, "veltro-shell: the package path '%s' is not valid UTF-8; rename the folder\n", shown);
    g_free(shown);
    return 2;
  }
  if (fsError || !fs::is_regular_file(package / "config.xml", fsError)) {
    std::fprintf(stderr, "veltro-shell: '%s' is not an application package (no config.xml)\n",
                 options.packageDirectory.c_str());
    return 2;
  }

  // The device folders follow the package's bundle identifier from here on.
  platform::Bundle::setMainPath(package.string());
  std::string identifier = platform::Bundle::main().bundleIdentifier();
  if (!identifier.empty() && !platform::paths::isValidBundleIdentifier(identifier)) {
    std::fprintf(stderr,
                 "veltro-shell: the bundle identifier '%s' in Info.plist is not a reverse-DNS name "
                 "(letters, digits and '-', in labels joined by single dots)\n",
                 identifier.c_str());
    return 2;
  }
  if (!options.dataRoot.empty()) platform::paths::setDataRoot(fs::absolute(options.dataRoot, fsError).string());
  // The data root is checked, then claimed, and only then written: a shell that another one
  // running on the root refuses or hands its URLs to leaves the root, and the package it is
  // recorded for, as they were.
  if (auto refusal = platform::paths::prepareDataRoot(package.string(), options.rebindDataRoot)) {
    std::fprintf(stderr, "veltro-shell: %s\n", refusal->c_str());
    return 2;
  }
  if (auto status = claimDataRoot(options)) return *status;
  if (auto refusal = platform::paths::bindDataRoot(package.string(), options.rebindDataRoot)) {
    std::fprintf(stderr, "veltro-shell: %s\n", refusal->c_str());
    return 2;
  }

  if (!platform::ui::GtkApplicationBackend::initialize(&argc, &argv)) return 2;
  platform::ui::Screen::setMainBounds({{0, 0}, {static_cast<double>(options.width), static_cast<double>(options.height)}});
  platform::webkit::installGtkWebViewFactory();
  platform::ui::GtkApplicationBackend::install();
  installGtkAuthFlowWindow();

  HBRRegisterHostClasses();
  if (registerExtraClasses) registerExtraClasses();

  watchStartPage(options);
  return launch(argc, argv, options.urls);
}

}  // namespace veltro
